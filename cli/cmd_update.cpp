// q55x update: the one-button update from a terminal. A QVR298 whose firmware has the embedded
// image's firmware ID but another version is given the embedded image through its RAM buffer,
// verified, reset, and waited for.
#include <memory>
#include <ostream>

#include "cli/commands.h"
#include "cli/failure_report.h"
#include "cli/fanout.h"
#include "cli/guards.h"
#include "cli/interrupts.h"
#include "cli/keep_awake.h"
#include "cli/terminal_window.h"
#include "update/buffer_update.h"
#include "image/image.h"
#include "update/settings.h"
#include "bridge/IDEAccess.h"
#include "discovery/discovery.h"
#include "identify/chip_version.h"
#include "identify/flash_detect.h"
#include "cli/update_journal.h"

namespace cli {

namespace {

constexpr const char* kPass = "Update    Pass!!";
constexpr const char* kFail = "Update    Fail!!";
constexpr const char* kChipNotSupported = "Chip not support!!";

struct UpdateOptions {
    std::string settingsFile;
    WriteGuards guards;
    bool all = false;
    int jobs = 0;
};

std::string dotted(const uint8_t* v) {
    char t[32];
    std::snprintf(t, sizeof t, "%02d.%02d.%02d.%02d", v[0], v[1], v[2], v[3]);
    return t;
}

std::string versionOf(const std::string& path, const vendor::ChipId& chip, vendor::FlashType flashType) {
    const auto v = IDEAccess::FormatFirmwareVersion(path, chip.type, flashType);
    return v.shown ? v.text : std::string();
}

int runUpdate(Context& ctx, const UpdateOptions& o) {
    const bool json = ctx.options().json;
    firmware::Settings settings;
    if (!o.settingsFile.empty()) {
        const auto loaded = firmware::loadSettings(o.settingsFile);
        if (!loaded.fileRead) return ctx.fail(kExitUsage, "cannot read the settings file " + o.settingsFile);
        if (!loaded.ok) return ctx.fail(kExitUsage, loaded.error);
        settings = loaded.settings;
        ctx.acceptUsbIds(settings.vid, settings.pid);
    }

    const auto listing = vendor::listBridges(ctx.commandCandidates(), {});
    if (listing.devices.empty()) return ctx.failNoDevice();
    if (int rc = refuseAmbiguousDevice(ctx, o.guards, listing.devices)) return rc;
    const vendor::ListedDevice& d = listing.devices.front();
    if (!vendor::chipRow(d.chip.type).oneButton) return ctx.fail(kExitRefused, kChipNotSupported);

    // Judged as the window judges it, on the chip information and the embedded image's header.
    uint8_t info[16] = {};
    uint8_t header[firmware::kHeaderSize] = {};
    if (firmware::FailureWatch watch; !IDEAccess::QV_GetChipInfo(d.record.path, info, sizeof info))
        return failBeforeWriting(ctx, "Get chip information fail !", watch, kReadingChipInfo);
    if (firmware::LoadEmbeddedImage(header, sizeof header, 0, sizeof header) != firmware::kEmbeddedImageSize)
        return ctx.fail(kExitFailed, "the embedded firmware image is missing");
    switch (firmware::compareWithEmbedded(info, sizeof info, header, sizeof header)) {
        case firmware::EmbeddedVersionCheck::FirmwareIdMismatch:
            return ctx.fail(kExitRefused, firmware::kTextFirmwareIdMismatch);
        case firmware::EmbeddedVersionCheck::AlreadyUpdated:
            if (o.guards.allowReinstall) break;
            if (json) ctx.printJson({{"device", d.record.path}, {"result", firmware::kTextAlreadyUpdated}, {"ok", true}});
            else ctx.out() << firmware::kTextAlreadyUpdated << "\n";
            return kExitNothingToDo;
        case firmware::EmbeddedVersionCheck::Unreadable:
            return ctx.fail(kExitFailed, "Not Corvane Chip!!");
        case firmware::EmbeddedVersionCheck::UpdateOffered:
            break;
    }

    const uint8_t* imageVersion = header + firmware::kHeaderVersionOffset;
    if (compareVersions(imageVersion, info + 12) < 0 && !o.guards.allowOlder)
        return ctx.fail(kExitRefused, "The embedded firmware " + dotted(imageVersion) + " is older than the chip's " +
                                         dotted(info + 12) + "; use --allow-older to write it.");

    firmware::SelectedDevice dev;
    dev.path = d.record.path;
    dev.bus = d.bus;
    dev.chip = d.chip;
    dev.flash = IDEAccess::DetectFlash(dev.path, d.chip.type, d.chip.revision, {.bus = d.bus});
    const std::string before = versionOf(dev.path, dev.chip, dev.flash.type);

    if (o.guards.dryRun) {
        const std::string plan =
            "one-button update of " + dev.path + " (QVR298, firmware " + before + ")\n"
            "  procedure: buffer path without RAM download, then chip reset and wait for re-attachment\n"
            "  erases:    what the bridge erases as it programs through its buffer\n"
            "  writes:    the embedded image, " + std::to_string(firmware::kEmbeddedImageSize) +
            " bytes from flash address 0, firmware " + dotted(imageVersion) + "\n"
            "  keeps:     nothing (this family keeps no NVRAM in its image area)\n"
            "  backup:    " + (o.guards.noBackup ? std::string("none (--no-backup)") : "the whole flash, under " + backupDirectory()) + "\n";
        if (json) ctx.printJson({{"device", dev.path}, {"dry_run", true}, {"plan", plan}});
        else ctx.out() << plan;
        return kExitOk;
    }
    // From here on the enclosure is this command's alone, until it returns.
    std::unique_ptr<EnclosureLock> owner;
    if (int rc = ctx.own(dev.path, "update", owner)) return rc;
    std::unique_ptr<DiskHold> disk;
    if (int rc = refuseWhileDiskInUse(ctx, dev.path, o.guards.force, disk)) return rc;
    if (int rc = refuseWhileInterrupted(ctx, dev.path, dev.chip.type)) return rc;
    const EnclosureIdentity asked = identityOf(ctx, dev.path, dev.chip.type);
    if (int rc = confirmWrite(ctx, o.guards, "Update " + dev.path + " from " + before + " to " + dotted(imageVersion) + "?"))
        return rc;
    if (int rc = stillTheSame(ctx, dev.path, asked)) return rc;

    const DeferredInterrupts interrupts;
    const KeepAwake awake(ctx);
    TerminalWindow w(ctx.out(), ctx.windowMode());
    w.settings_ = settings;
    std::string backup;
    if (!o.guards.noBackup) {
        w.setExpectedBytes(uint64_t(dev.flash.capacityKiB) * 1024);
        if (int rc = backupFlash(ctx, w, dev, backup)) return rc;
        w.endLine();
        if (!json) ctx.out() << "backup of the flash: " << backup << "\n";
    }
    if (DeferredInterrupts::received()) return endInterrupted(ctx, nullptr);
    w.setExpectedBytes(firmware::kEmbeddedImageSize, uint64_t(dev.flash.capacityKiB) * 1024);
    if (!json) ctx.out() << "Updating firmware. Please wait...\n";
    std::vector<std::string> found;
    const auto allPaths = [&ctx] {
        std::vector<std::string> paths;
        for (const auto& c : ctx.candidates()) paths.push_back(c.path);
        return paths;
    };
    // After its reset the bridge is found again by who it is, not by the node it comes back at.
    const firmware::DeviceScan scan = firmware::scanForUpdatedBridge(
        ctx.bridgeIdentityOf(dev.path), allPaths(), allPaths, [&ctx](const std::string& p) { return ctx.bridgeIdentityOf(p); });
    UpdateJournal journal;
    UpdateJournal::Request request;
    request.command = "update";
    request.plan.procedure = firmware::RunProcedure::DirectUpdate;
    request.plan.oneButton = true;
    request.plan.file.resize(firmware::kEmbeddedImageSize);
    firmware::LoadEmbeddedImage(request.plan.file.data(), request.plan.file.size(), 0, 0);
    request.settings = settings;
    request.backup = backup;
    request.versionBefore = before;
    if (int rc = journal.begin(ctx, dev, request)) return rc;
    if (DeferredInterrupts::received()) return endInterrupted(ctx, &journal);
    firmware::FailureWatch watch;
    firmware::WatchedWindow watched(w, watch);
    bool ok = firmware::UpdateWithEmbeddedImage(watched, dev);
    if (ok) {
        journal.stage(Stage::Verified);
        ok = firmware::ResetAndReattach(watched, dev, scan, found);
        if (!ok) watch.noteNotBack(firmware::reattachWaitSeconds());
        if (ok) journal.stage(Stage::BackOnBus);
    }
    const std::string journalLine = journal.end(ok, watch.deviceChanged());
    if (DeferredInterrupts::received())
        ctx.err() << "q55x: the interrupt came while the flash was written; the update was let finish.\n";

    w.endLine();
    std::string after;
    if (ok && !found.empty()) {
        const vendor::ChipId chip = IDEAccess::DetectChipType(found.front());
        after = versionOf(found.front(), chip, dev.flash.type);
    }
    FailureReport failure;
    if (!ok) failure = {kFail, watch.cause(), {}};
    if (!ok) failure.next = journalLine.empty() ? nextStep(failure.cause, dev, backup) : UpdateJournal::nextStep(failure.cause);
    if (json) {
        nlohmann::json doc{{"device", dev.path},
                           {"result", ok ? kPass : kFail},
                           {"ok", ok},
                           {"version_before", before},
                           {"version_after", after},
                           {"backup", backup},
                           {"status", w.status()}};
        if (!ok) doc["error"] = errorJson(failure);
        if (!journalLine.empty()) doc["journal"] = journal.id();
        ctx.printJson(doc);
    } else {
        ctx.out() << (ok ? kPass : kFail) << "\n";
        if (!after.empty()) ctx.out() << "firmware now " << after << "\n";
        if (!ok) printFailure(ctx, failure);
        if (!journalLine.empty()) ctx.out() << journalLine << "\n";
    }
    return ok ? kExitOk : exitCodeOf(failure);
}

}  // namespace

Runner addUpdateCommand(CLI::App& app) {
    auto o = std::make_shared<UpdateOptions>();
    CLI::App* sub = app.add_subcommand("update", "The one-button update: write the embedded firmware into a QVR298");
    sub->add_option("--settings", o->settingsFile, "Read VID, PID, SerialNum and ChipReset from this settings file");
    sub->add_flag("--all", o->all, "Update every attached QVR298 at once");
    sub->add_option("--jobs", o->jobs, "With --all: at most this many devices at a time")->check(CLI::PositiveNumber);
    addWriteGuardOptions(*sub, o->guards);
    return [o](Context& ctx) {
        if (!o->all) return runUpdate(ctx, *o);
        UpdateOptions one = *o;
        one.guards.yes = true;   // asked once for all
        acceptSettingsIds(ctx, o->settingsFile);
        FanOut f{"update", o->jobs, [](const vendor::ListedDevice& d) { return vendor::chipRow(d.chip.type).oneButton; }};
        return runOnAll(ctx, o->guards, f, [one](Context& c) { return runUpdate(c, one); });
    };
}

}  // namespace cli
