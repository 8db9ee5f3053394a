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
    return "usage: FwUpdateMac [--sim ENCLOSURE]... [--auto-continue [--report FILE]] [--show-raid]\n";
}

}  // namespace macapp
