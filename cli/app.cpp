#include <CLI/CLI.hpp>
#include <unistd.h>

#include <iostream>
#include <map>
#include <ostream>
#include <sstream>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "cli/update_journal.h"

namespace cli {

namespace {

// `q55x sim --help` documents the --sim grammar.
Runner addSimCommandImpl(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("sim", "The virtual enclosure: the grammar of --sim ENCLOSURE");
    sub->footer(simHelp());
    return [sub](Context& ctx) {
        ctx.out() << sub->help();
        return static_cast<int>(kExitOk);
    };
}

}  // namespace

Runner addSimCommand(CLI::App& app) { return addSimCommandImpl(app); }

const char* versionText() { return Q55X_VERSION; }

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"q55x: identify and update the firmware of Corvane bridge chips"};
    app.name("q55x");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("q55x ") + versionText());
    app.fallthrough();

    GlobalOptions g;
    app.add_option("--sim", g.sims, "Attach an emulated enclosure instead of real devices (see `q55x sim --help`)")
        ->take_all()
        ->expected(1);
    app.add_option("--device", g.device, "Device path to work on (default: the first bridge found)");
    app.add_option("--trace", g.trace, "Append one JSON line per SCSI command to FILE");
    app.add_flag("--json", g.json, "Print exactly one JSON document");
    app.add_flag("--probe-all", g.probeAll,
                 "Also ask USB and 1394 storage devices that do not introduce themselves as our bridges "
                 "(a vendor command: other makers' bridges may take it for one of their own)");
    app.add_flag("-v,--verbose", g.verbose, "Show each SCSI command on stderr: CDB, status, sense, the first bytes of its data");
    app.add_option("--progress", g.progress,
                   "How updates show progress: a bar (default on a terminal) or plain lines")
        ->check(CLI::IsMember({"auto", "bar", "lines"}));

    std::map<CLI::App*, Runner> runners;
    auto add = [&](Runner (*adder)(CLI::App&)) {
        const size_t before = app.get_subcommands({}).size();
        Runner r = adder(app);
        runners[app.get_subcommands({})[before]] = std::move(r);
    };
    add(addListCommand);
    add(addInfoCommand);
    add(addUpdateCommand);
    add(addFlashCommand);
    add(addRecoverCommand);
    add(addJournalCommand);
    add(addBackupCommand);
    add(addVerifyCommand);
    add(addImageCommand);
    add(addRawCommand);
    add(addSimCommand);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << "\n";
        return kExitOk;
    } catch (const CLI::CallForAllHelp& e) {
        out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        // A subcommand's own --help also arrives here.
        if (e.get_exit_code() == 0) {
            for (auto& [sub, _] : runners)
                if (sub->parsed()) {
                    out << sub->help();
                    return kExitOk;
                }
            out << app.help();
            return kExitOk;
        }
        if (g.json) {
            out << nlohmann::json{{"error", {{"code", kExitUsage}, {"message", e.what()}}}}.dump(2) << "\n";
        } else {
            err << "q55x: " << e.what() << "\nRun with --help for more information.\n";
        }
        return kExitUsage;
    }

    g.progressBar = g.progress == "bar" || (g.progress == "auto" && &out == &std::cout && ::isatty(STDOUT_FILENO));
    for (auto& [sub, run] : runners) {
        if (!sub->parsed()) continue;
        Context ctx(g, out, err);
        const bool needsDevices = sub->get_name() != "sim" && sub->get_name() != "image";
        if (needsDevices && !ctx.attach()) return kExitUsage;
        if (needsDevices && sub->get_name() != "recover" && sub->get_name() != "journal") noticeInterruptedUpdates(ctx);
        return run(ctx);
    }
    return kExitUsage;
}

int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<const char*> argv{"q55x"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return runCli(static_cast<int>(argv.size()), argv.data(), out, err);
}

}  // namespace cli
