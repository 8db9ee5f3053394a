#include "mac_app/options.h"

#include <string_view>

namespace macapp {

bool parseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i] ? argv[i] : "";
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc || !argv[i + 1]) {
                error = std::string(a) + " needs a value";
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (a == "--sim") {
            std::string s;
            if (!value(s)) return false;
            out.sim.push_back(s);
        } else if (a == "--report") {
            if (!value(out.report)) return false;
        } else if (a == "--auto-continue") {
            out.autoContinue = true;
        } else if (a == "--auto-continue-limit") {
            std::string seconds;
            if (!value(seconds)) return false;
            // Whole seconds, 1 to a day.
            unsigned long n = 0;
            bool digits = !seconds.empty() && seconds.size() <= 5;
            for (const char ch : seconds) {
                digits = digits && ch >= '0' && ch <= '9';
                if (digits) n = n * 10 + static_cast<unsigned long>(ch - '0');
            }
            if (!digits || n == 0 || n > 86400) {
                error = "--auto-continue-limit needs a number of seconds from 1 to 86400";
                return false;
            }
            out.autoContinueLimitS = static_cast<unsigned>(n);
        } else if (a == "--show-raid") {
            out.showRaid = true;
        } else if (a.rfind("--", 0) == 0) {
            error = "unknown option " + std::string(a);
            return false;
        }
    }
    return true;
}

const char* usageText() {
    return "usage: FwUpdateMac [--sim ENCLOSURE]... [--auto-continue [--auto-continue-limit SECONDS] [--report FILE]]\n"
           "                   [--show-raid]\n";
}

}  // namespace macapp
