#include "win_app/program.h"

#include <fstream>
#include <memory>

#include "update/settings.h"
#include "win_app/Fwupdate.h"
#include "win_app/application.h"
#include "win_app/report.h"
#include "win_app/sim_devices.h"

namespace winapp {

bool parseProgramOptions(const std::vector<std::string>& args, ProgramOptions& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == "--sim") {
            std::string s;
            if (!value(s)) return false;
            out.sims.push_back(s);
        } else if (a == "--auto-update") {
            out.autoUpdate = true;
        } else if (a == "--report") {
            if (!value(out.reportFile)) return false;
        } else if (a == "--settings") {
            if (!value(out.settingsFile)) return false;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (!out.reportFile.empty() && !out.autoUpdate) {
        error = "--report goes with --auto-update";
        return false;
    }
    return true;
}

std::string usageText() {
    return "Q55xFwTool [--sim ENCLOSURE]... [--auto-update [--report FILE]] [--settings FILE]\n"
           "  --sim ENCLOSURE  attach an emulated enclosure (MODEL[,key=value]...) instead of real devices\n"
           "  --auto-update    press the update button once it is offered, wait for the end, and exit\n"
           "                   0 on \"Update    Pass!!\", 1 otherwise\n"
           "  --report FILE    with --auto-update: write the state of every control to FILE as JSON\n"
           "  --settings FILE  read the settings from FILE instead of FwUpdateTool.ini\n";
}

namespace {

bool writeReport(const std::string& file, const TQ55xFwTool& form, const winform::Application& app, bool pressed,
                 const std::string& result, const std::string& atEnd, const std::string& afterRescan) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << "{\n\"application\":" << winform::jsonString(app.title()) << ",\n\"caption\":" << winform::jsonString(form.caption())
        << ",\n\"pressed\":" << (pressed ? "true" : "false") << ",\n\"result\":" << winform::jsonString(result)
        << ",\n\"ok\":" << (result == kTextPass ? "true" : "false") << ",\n\"controls\":" << atEnd
        << ",\n\"afterRescan\":" << afterRescan << "\n}\n";
    return static_cast<bool>(out);
}

// Start, scan, press the one button once it is offered, wait for the end, report, close.
int runAutoUpdate(winform::Application& app, TQ55xFwTool& form, const std::string& reportFile) {
    app.runUntil([&] { return form.YesBtn.enabled(); }, kAutoWaitForOfferMs);
    const bool pressed = form.YesBtn.enabled();
    if (pressed) form.YesBtn.click();
    const std::string result = form.devpnl.caption();
    const std::string atEnd = winform::controlsJson(form);
    // The bridge came back during the update; the scan that follows shows what it runs now.
    app.runUntil([&] { return !app.timerActive(kRescanTimerId) && !form.rescanPending(); }, kAutoWaitForRescanMs);
    const std::string afterRescan = winform::controlsJson(form);
    app.ui().debugOut("Q55xFwTool: " + result + "\n");
    bool written = true;
    if (!reportFile.empty()) written = writeReport(reportFile, form, app, pressed, result, atEnd, afterRescan);
    form.close();
    return written && result == kTextPass ? kExitPass : kExitFail;
}

}  // namespace

int runProgram(winform::UiBackend& ui, const ProgramOptions& options) {
    const firmware::SettingsLoad loaded =
        options.settingsFile.empty() ? firmware::loadSettings() : firmware::loadSettings(options.settingsFile);
    if (!loaded.ok) {
        ui.messageBox(loaded.error, "Error", sys::MsgIcon::Error);
        return kExitFail;
    }

    std::unique_ptr<SimDevices> sim;
    if (!options.sims.empty()) {
        sim = std::make_unique<SimDevices>();
        std::string error;
        if (!sim->attach(options.sims, error)) {
            ui.messageBox(error, "Error", sys::MsgIcon::Error);
            return kExitUsage;
        }
    }

    winform::Application app(ui, sim != nullptr);
    app.setTitle(kApplicationTitle);
    if (sim) {
        sim->onDeviceChange = [&app](winform::DeviceEvent e) { app.postDeviceChange(e); };
        app.addWatch(kSimHotPlugPollMs, [&sim] { sim->bus().devices(); });
    }

    TQ55xFwTool form(app, loaded.settings);
    if (!ui.createWindow(form, app)) {
        ui.messageBox("The main window could not be created.", "Error", sys::MsgIcon::Error);
        return kExitFail;
    }
    form.FormCreate();
    ui.showWindow(form);

    int rc = kExitPass;
    if (options.autoUpdate) {
        rc = runAutoUpdate(app, form, options.reportFile);
    } else {
        app.run();
        form.close();
    }
    if (sim) sim->onDeviceChange = nullptr;
    return rc;
}

}  // namespace winapp
