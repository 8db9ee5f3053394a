// q55x flash FILE: the "Run" update of the Windows program from a terminal, through each family's
// own procedure. q55x recover: the bank recovery of the single-bank families, on request.
#include <algorithm>
#include <memory>
#include <ostream>

#include "cli/commands.h"
#include "cli/failure_report.h"
#include "cli/fanout.h"
#include "cli/guards.h"
#include "cli/interrupts.h"
#include "cli/keep_awake.h"
#include "cli/terminal_window.h"
#include "update/direct_update.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "update/settings.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_version.h"
#include "flash/flash_buffer_ops.h"
#include "identify/flash_detect.h"
#include "cli/update_journal.h"

namespace cli {

namespace {

struct FlashOptions {
    WriteGuards guards;
    bool all = false;
    int jobs = 0;
    std::string file;
    bool includeNvram = false;
    bool buffer = false;
    bool noProductSn = false;
    std::string settingsFile;
};

// The selected device as the window would have it after selecting it.
// `found` receives every bridge the choice was made from.
bool selectDevice(Context& ctx, firmware::SelectedDevice& dev, vendor::DeviceRecord& record,
                  std::vector<vendor::ListedDevice>* found = nullptr) {
    const auto listing = vendor::listBridges(ctx.commandCandidates(), {});
    if (found) *found = listing.devices;
    if (listing.devices.empty()) return false;
    const auto& d = listing.devices.front();
    record = d.record;
    dev.path = d.record.path;
    dev.bus = d.bus;
    dev.chip = d.chip;
    dev.record = &record;
    const auto presentation = IDEAccess::ChipSupportOf(dev.path, d.chip.type);
    if (presentation.showFlash) dev.flash = IDEAccess::DetectFlash(dev.path, d.chip.type, d.chip.revision, {.bus = d.bus});
    return true;
}

// The bridge takes firmware through its RAM buffer when it answers the descriptor read.
bool answersBufferDescriptor(const std::string& path) {
    uint8_t d[4] = {};
    return IDEAccess::QV_ReadBuffer(path, 3, 0, 0, d, sizeof d);
}

int runFlash(Context& ctx, const FlashOptions& o) {
    firmware::Settings settings;
    if (!o.settingsFile.empty()) {
        const auto loaded = firmware::loadSettings(o.settingsFile);
        if (!loaded.fileRead) return ctx.fail(kExitUsage, "cannot read the settings file " + o.settingsFile);
        if (!loaded.ok) return ctx.fail(kExitUsage, loaded.error);
        settings = loaded.settings;
        ctx.acceptUsbIds(settings.vid, settings.pid);
    }
    const firmware::FileImage file = firmware::readFirmwareFile(o.file);
    if (!file.opened) return ctx.fail(kExitFailed, "Open File Error!!");
    if (file.tooLarge) return ctx.fail(kExitFailed, "The firmware file is larger than any flash.");
    if (file.bytes.empty()) return ctx.fail(kExitFailed, "The firmware file is empty.");

    firmware::SelectedDevice dev;
    vendor::DeviceRecord record;
    std::vector<vendor::ListedDevice> found;
    if (!selectDevice(ctx, dev, record, &found)) return ctx.failNoDevice();
    if (int rc = refuseAmbiguousDevice(ctx, o.guards, found)) return rc;
    const vendor::ChipType type = dev.chip.type;
    const vendor::ChipRow& row = vendor::chipRow(type);

    // The file is matched to the chip and to its flash before anything is erased.
    if (row.fileCheck == vendor::FileCheck::ChipCode) {
        uint8_t info[16] = {};
        if (firmware::FailureWatch watch; !IDEAccess::QV_GetChipInfo(dev.path, info, sizeof info))
            return failBeforeWriting(ctx, "Get chip information fail !", watch, kReadingChipInfo);
        if (firmware::CodeFileMatchesChip(file, info, sizeof info) != firmware::CodeFileMatch::Match)
            return ctx.fail(kExitRefused, "FW file not Match.");
        // The file's version (header bytes 25-28) against the one the chip runs.
        uint8_t fileVersion[4];
        if (info[6] == 1 && file.block(firmware::kHeaderVersionOffset, 4, fileVersion)) {
            const int order = compareVersions(fileVersion, info + 12);
            if (order == 0 && !o.guards.allowReinstall)
                return ctx.fail(kExitNothingToDo, "The chip runs this version already; use --allow-reinstall to write it again.");
            if (order < 0 && !o.guards.allowOlder)
                return ctx.fail(kExitRefused, "The file is older than the chip's firmware; use --allow-older to write it.");
        }
    } else if (row.fileCheck == vendor::FileCheck::Signature && !firmware::FileMatchesChip(file, type, dev.chip.revision)) {
        // As in the window: a mismatch stops the Run update, except on the chips whose files carry
        // no signature the check could read.
        return ctx.fail(kExitRefused, "The firmware file seems not match this chip!");
    }
    // Where identification measures the flash (the direct-command bridges), the file must fit it; the
    // other families' procedures judge sizes themselves.
    if (vendor::measuresCapacity(row.flash) && file.bytes.size() > uint64_t(dev.flash.capacityKiB) * 1024)
        return ctx.fail(kExitRefused, "The firmware file size is bigger than the flash size!");

    // The procedure the window's "Run" button would take for this device: what the dry run
    // reports is what the real run runs.
    const firmware::RunPlan plan = firmware::planRun(dev, o.file);
    if (plan.procedure == firmware::RunProcedure::None)
        return ctx.fail(kExitRefused, std::string("q55x cannot update the ") + std::string(vendor::chipDisplayName(type)) + ".");
    if (plan.procedure == firmware::RunProcedure::FileTooBig) return ctx.fail(kExitRefused, plan.steps);
    // The SST form writes a file that carries its own NVRAM whole: its first 4 KiB replace the
    // chip's (the enclosure's settings and serial). That happens only when the user asked for it.
    if (plan.procedure == firmware::RunProcedure::Sst && !o.includeNvram &&
        firmware::carriesOwnNvram(file, type) && file.bytes.size() >= firmware::kNvramSize)
        return ctx.fail(kExitRefused, plan.name + std::string(" writes the file whole: its first 4 KiB replace the chip's NVRAM "
                                                           "(the enclosure's settings and serial). Add --include-nvram to "
                                                           "write it so. Nothing written."));

    // The largest command the procedure sends: the RAM buffer download and the disk's firmware units
    // are 64 KiB, every other procedure (and the backup) at most 16 KiB. A host that takes less is
    // found out here, before the backup and before anything is erased, not by a failed command.
    const uint32_t needed = plan.procedure == firmware::RunProcedure::DiskResident || row.ramBuffer ? 64 * 1024 : 16 * 1024;
    if (const uint32_t limit = ctx.transferLimit(dev.path); limit != 0 && limit < needed)
        return ctx.fail(kExitRefused, plan.name + std::string(" sends ") + std::to_string(needed / 1024) +
                                          " KiB in one command, and the host lets at most " + std::to_string(limit / 1024) +
                                          " KiB through to " + dev.path + " (its transfer limit, max_hw_sectors_kb). Nothing written.");

    const bool json = ctx.options().json;
    if (o.guards.dryRun) {
        // What the journal of the real run would keep: the procedure's own rule, not the option alone
        // (a file without NVRAM of its own leaves the chip's in place, whatever was asked).
        UpdatePlan asked;
        asked.procedure = plan.procedure;
        asked.file = file.bytes;
        asked.includeNvram = o.includeNvram;
        const std::vector<KeptPlan> kept = keptStretches(dev, asked);
        const bool keepNvram = std::any_of(kept.begin(), kept.end(), [](const KeptPlan& k) { return k.what == "NVRAM"; });
        std::string text = "update of " + dev.path + " (" + std::string(vendor::chipDisplayName(type)) + ") from " +
                           o.file + " (" + std::to_string(file.bytes.size()) + " bytes)\n";
        text += std::string("  procedure: ") + plan.name + ": " + plan.steps + "\n";
        text += std::string("  keeps:     ") + (keepNvram ? "the chip's 4 KiB NVRAM" : "nothing; the file is written whole") + "\n";
        text += "  backup:    " + (o.guards.noBackup ? std::string("none (--no-backup)") : "the whole flash, under " + backupDirectory()) + "\n";
        if (json) ctx.printJson({{"device", dev.path}, {"dry_run", true}, {"procedure", plan.name}, {"plan", text}});
        else ctx.out() << text;
        return kExitOk;
    }
    // From here on the enclosure is this command's alone, until it returns.
    std::unique_ptr<EnclosureLock> owner;
    if (int rc = ctx.own(dev.path, "flash", owner)) return rc;
    std::unique_ptr<DiskHold> disk;
    if (int rc = refuseWhileDiskInUse(ctx, dev.path, o.guards.force, disk)) return rc;
    if (int rc = refuseWhileInterrupted(ctx, dev.path, type)) return rc;
    const EnclosureIdentity asked = identityOf(ctx, dev.path, type);
    if (int rc = confirmWrite(ctx, o.guards, "Write " + o.file + " to " + dev.path + "?")) return rc;
    if (int rc = stillTheSame(ctx, dev.path, asked)) return rc;

    const DeferredInterrupts interrupts;
    const KeepAwake awake(ctx);
    TerminalWindow w(ctx.out(), ctx.windowMode());
    std::string backup;
    if (!o.guards.noBackup) {
        w.setExpectedBytes(uint64_t(dev.flash.capacityKiB) * 1024);
        if (int rc = backupFlash(ctx, w, dev, backup)) return rc;
        w.endLine();
        if (!json) ctx.out() << "backup of the flash: " << backup << "\n";
    }
    if (DeferredInterrupts::received()) return endInterrupted(ctx, nullptr);
    w.setExpectedBytes(file.bytes.size(), uint64_t(dev.flash.capacityKiB) * 1024);
    w.settings_ = settings;
    w.firmwareFile_ = o.file;
    w.includeNvram_ = o.includeNvram;
    w.setProductSn_ = !o.noProductSn;
    if (row.ramBuffer) {
        w.readWriteBuffer_ = answersBufferDescriptor(dev.path);
        if (o.buffer && !w.readWriteBuffer_)
            return ctx.fail(kExitRefused, "This bridge does not take firmware through its buffer.");
    } else if (o.buffer) {
        return ctx.fail(kExitUsage, "--buffer applies to the QVR297, QVR298, QVR295 and QVR292 only");
    }

    UpdateJournal journal;
    UpdateJournal::Request request;
    request.command = "flash";
    request.file = o.file;
    request.plan.procedure = plan.procedure;
    request.plan.file = file.bytes;
    request.plan.includeNvram = o.includeNvram;
    request.plan.productSn = w.setProductSn_;
    request.settings = settings;
    request.backup = backup;
    if (int rc = journal.begin(ctx, dev, request)) return rc;
    if (DeferredInterrupts::received()) return endInterrupted(ctx, &journal);
    firmware::FailureWatch watch;
    firmware::WatchedWindow watched(w, watch);
    const bool ok = firmware::runChosenProcedure(plan.procedure, watched, dev);
    w.endLine();
    if (DeferredInterrupts::received())
        ctx.err() << "q55x: the interrupt came while the flash was written; the update was let finish.\n";
    const bool success = ok && w.status() == "Programming Success!!";
    const std::string journalLine = journal.end(success, watch.deviceChanged());
    FailureReport failure;
    if (!success) failure = {w.status(), watch.cause(), {}};
    if (!success) failure.next = journalLine.empty() ? nextStep(failure.cause, dev, backup) : UpdateJournal::nextStep(failure.cause);
    if (ctx.options().json) {
        nlohmann::json boxes = nlohmann::json::array();
        for (const auto& b : w.boxes) boxes.push_back({{"title", b.title}, {"text", b.text}});
        nlohmann::json doc{{"device", dev.path}, {"ok", success}, {"procedure", plan.name},
                           {"status", w.status()}, {"messages", boxes}, {"backup", backup}};
        if (!success) doc["error"] = errorJson(failure);
        if (!journalLine.empty()) doc["journal"] = journal.id();
        ctx.printJson(doc);
    } else {
        ctx.out() << (success ? "Update finished." : "Update failed: " + w.status()) << "\n";
        if (!success) printFailure(ctx, failure);
        if (!journalLine.empty()) ctx.out() << journalLine << "\n";
    }
    return success ? kExitOk : exitCodeOf(failure);
}

}  // namespace

int runBankRecovery(Context& ctx) {
    firmware::SelectedDevice dev;
    vendor::DeviceRecord record;
    if (!selectDevice(ctx, dev, record)) return ctx.failNoDevice();
    if (!vendor::keepsTwoBanks(vendor::chipRow(dev.chip.type)))
        return ctx.fail(kExitNothingToDo, "Only the QVR256 and QVR253 keep two banks to recover from.");
    TerminalWindow w(ctx.out(), ctx.windowMode());
    firmware::FailureWatch watch;
    firmware::WatchedWindow watched(w, watch);
    const bool ok = firmware::RecoverFirmwareBank(watched, dev);
    w.endLine();
    const std::string status = w.status();
    const bool recovered = status == "FW Recovery successful!!";
    const bool failed = !ok || status == "FW Recovery Fail!!";
    FailureReport failure;
    if (failed) failure = {status, watch.cause(), {}};
    if (failed) failure.next = nextStep(failure.cause, dev, {});
    if (ctx.options().json) {
        nlohmann::json doc{{"device", dev.path}, {"ok", ok && !failed}, {"status", status}};
        if (failed) doc["error"] = errorJson(failure);
        ctx.printJson(doc);
    } else if (status.empty()) {
        ctx.out() << "Both banks are valid; nothing to recover.\n";
    } else if (failed) {
        printFailure(ctx, failure);
    }
    if (failed) return exitCodeOf(failure);
    return recovered ? kExitOk : kExitNothingToDo;
}

Runner addFlashCommand(CLI::App& app) {
    auto o = std::make_shared<FlashOptions>();
    CLI::App* sub = app.add_subcommand("flash", "Write a firmware file through the chip family's own procedure");
    sub->add_option("file", o->file, "The firmware file")->required();
    sub->add_flag("--include-nvram", o->includeNvram, "Write the file's own 4 KiB NVRAM instead of keeping the chip's");
    sub->add_flag("--buffer", o->buffer, "Require the QVR29x buffer path");
    sub->add_flag("--no-product-sn", o->noProductSn, "Do not write the product serial number (buffer path)");
    sub->add_option("--settings", o->settingsFile, "Read VID, PID, SerialNum and ChipReset from this settings file");
    sub->add_flag("--all", o->all, "Write the file into every attached bridge at once");
    sub->add_option("--jobs", o->jobs, "With --all: at most this many devices at a time")->check(CLI::PositiveNumber);
    addWriteGuardOptions(*sub, o->guards);
    return [o](Context& ctx) {
        if (!o->all) return runFlash(ctx, *o);
        FlashOptions one = *o;
        one.guards.yes = true;   // asked once for all
        acceptSettingsIds(ctx, o->settingsFile);
        FanOut f{"flash " + o->file, o->jobs, {}};
        return runOnAll(ctx, o->guards, f, [one](Context& c) { return runFlash(c, one); });
    };
}

}  // namespace cli
