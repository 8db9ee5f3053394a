// q55x recover: an interrupted update, taken up from its journal. It finishes the update (the
// family's procedure runs again from the journal's copy of the image, from the ROM loader or the
// manufacturing code where the chip fell back to them, with the kept stretches in their places) or,
// with --restore, writes the backup taken before it back; either is checked against the journal
// and the journal is closed. Journals of enclosures that are not attached are listed, never acted
// on; a device that is not the journal's enclosure is refused. With no journal open it is the bank
// recovery of the QVR256 and QVR253, as it always was.
//
// q55x journal: the open journals, one of them in full, or one forgotten.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>

#include "cli/commands.h"
#include "cli/failure_report.h"
#include "cli/guards.h"
#include "cli/keep_awake.h"
#include "cli/state_files.h"
#include "cli/terminal_window.h"
#include "cli/update_journal.h"
#include "update/buffer_update.h"
#include "update/failure_cause.h"
#include "update/run_dispatch.h"
#include "update/flash_backup.h"
#include "image/image.h"
#include "update/update_texts.h"
#include "sys/bytes.h"
#include "sys/clock.h"
#include "transport/cdb.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_table.h"
#include "discovery/discovery.h"
#include "flash/flash_buffer_ops.h"
#include "flash/flash_ops.h"

namespace cli {

namespace {

using firmware::RunProcedure;

constexpr unsigned kBeforeFirstScanMs = 2000, kBetweenScansMs = 500;
constexpr int kScans = 60;
constexpr uint32_t k1394Piece = 256;

struct RecoverOptions {
    bool restore = false;
    bool yes = false;
    bool dryRun = false;
    std::string journal;   // --journal ID
    bool force = false;    // write while the disk behind the bridge is in use
};


std::string hex6(uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%06X", v);
    return t;
}

std::string identityWords(const EnclosureIdentity& id, const std::string& chip) {
    std::string s = chip;
    if (!id.serial.empty()) s += ", serial " + id.serial;
    if (!id.chipInfo.empty()) s += ", chip information " + sys::toHex(id.chipInfo.data(), id.chipInfo.size());
    return s;
}

std::string stageWords(const Journal& j) {
    if (j.restoreBegun) return "a restore of the backup was begun and not finished";
    switch (j.stage) {
        case Stage::Started:
            return j.backup.empty() ? "started; no erase had been recorded" : "the backup was taken; no erase had been recorded";
        case Stage::EraseBegun: return "the flash was being erased";
        case Stage::Writing: return "the flash was being written, up to " + hex6(j.writtenUpTo);
        case Stage::Verified: return "written and verified";
        case Stage::ResetSent: return "written and verified; the chip had been reset";
        case Stage::BackOnBus: return "written and verified; the chip was back after its reset";
        case Stage::Done: return "done";
    }
    return "";
}

std::string keptWords(const Journal& j) {
    if (j.kept.empty()) return "nothing (the image is written whole)";
    std::string s;
    for (const KeptStretch& k : j.kept)
        s += (s.empty() ? "" : ", ") + std::to_string(k.bytes.size()) + " bytes of " + k.what + " at " + hex6(k.at);
    return s;
}

std::string describe(const Journal& j, const std::string& path, bool restore) {
    std::string s = "Interrupted update (journal " + j.id + "):\n";
    s += "  enclosure: " + identityWords(j.identity, j.chipName) + ", now at " + path + "\n";
    s += "  update:    " + (j.command == "update" ? std::string("q55x update (the image q55x carries)") : "q55x flash " + j.file) +
         ", started " + j.started + (j.versionBefore.empty() ? "" : " on firmware " + j.versionBefore) + "\n";
    s += "  reached:   " + stageWords(j) + "\n";
    s += "  keeps:     " + keptWords(j) + "\n";
    s += "  backup:    " + (j.backup.empty() ? std::string("none (--no-backup)") : j.backup) + "\n";
    if (restore)
        s += "  will:      write the backup back through the " + j.procedure +
             " procedure, compare the flash with it, and close the journal\n";
    else
        s += "  will:      write the update again through the " + j.procedure +
             " procedure from the journal's copy of its image, with what it keeps in place, check what it keeps, "
             "and close the journal\n";
    return s;
}

// Waits for the enclosure to come back after its reset, by its identity (its node may be another).
std::optional<vendor::ListedDevice> waitForEnclosure(Context& ctx, const EnclosureIdentity& id) {
    sys::sleepMs(kBeforeFirstScanMs);
    for (int i = 0; i < kScans; ++i) {
        for (const vendor::ListedDevice& d : vendor::listBridges(ctx.candidates(), {}).devices)
            if (identityOf(ctx, d.record.path, d.chip.type).sameEnclosure(id)) return d;
        sys::sleepMs(kBetweenScansMs);
    }
    return std::nullopt;
}

bool holds(const firmware::SelectedDevice& dev, const KeptStretch& k) {
    std::vector<uint8_t> now;
    return readStretchTwice(dev, k.at, k.bytes.size(), now) && now == k.bytes;
}

// The bytes a procedure keeps from the flash itself (the legacy and 1394 settings bytes) go back
// before it runs again. They can only have been lost to an erase of the unit that holds them and
// the code in front, which the procedure erases again: the unit is erased, the bytes programmed and
// read back.
bool putBackBeforeRerun(const firmware::SelectedDevice& dev, const KeptStretch& k) {
    const uint32_t n = static_cast<uint32_t>(k.bytes.size());
    if (firmware::takes1394Route(dev)) {
        for (uint32_t pos = 0; pos < n; pos += k1394Piece) {
            IDEAccess::WaitFlashReady(dev.path);
            if (!IDEAccess::QV_SetNVRAM_529(dev.path, k.at + pos, k.bytes.data() + pos,
                                            static_cast<int>(std::min(k1394Piece, n - pos)), pos == 0))
                return false;
        }
    } else {
        const vendor::FlashType type = dev.flash.type;
        if (dev.flash.atmelModel != -1 && !(IDEAccess::QV_SerialFlashCommand(dev.path, {0x06}, false) &&
                                            IDEAccess::WaitFlashWriteEnabled(dev.path)))
            return false;
        if (type == vendor::kFlashSt || type == vendor::kFlashMxic) IDEAccess::QV_SFWriteEnable(dev.path);
        IDEAccess::WaitFlashReady(dev.path);
        if (!IDEAccess::QV_SerialFlashSectorErase(dev.path, k.at)) return false;
        IDEAccess::WaitFlashReady(dev.path);
        const bool written = dev.flash.flashParameterSent
                                 ? IDEAccess::ProgramFlashBySpi(dev.path, k.at, k.bytes.data(), n, type, dev.flash.sst25)
                                 : IDEAccess::QV_SerialFlashWrite(dev.path, k.at, k.bytes.data(), static_cast<int>(n));
        if (!written) return false;
    }
    return holds(dev, k);
}

bool answersBufferDescriptor(const std::string& path) {
    uint8_t d[4] = {};
    return IDEAccess::QV_ReadBuffer(path, vendor::kBufferDescriptorMode, 0, 0, d, sizeof d);
}

// What the procedure changes in a file it is given whole: the bank signature blocks it stamps, the
// region checksum of a single-bank file of one bank.
bool stampedByProcedure(vendor::ChipType t, size_t offset, size_t fileSize) {
    if (vendor::chipRow(t).layout == vendor::FlashLayout::TwoBank) return firmware::inBankSignatureArea(offset);
    const uint32_t end = firmware::codeRegionEnd(t);
    return end && fileSize <= 0x10000 && (offset == end - 2 || offset == end - 1);
}

struct Result {
    bool ok = false;
    std::string path;        // where the enclosure is now
    std::string status;      // the procedure's last text
    std::string message;     // what became of it, in words
    std::optional<FailureReport> failure;
};

class Recovery {
public:
    Recovery(Context& ctx, JournalStore& store, Journal& j) : ctx_(ctx), store_(store), j_(j) {}

    Result finish(const vendor::ListedDevice& found) {
        std::vector<uint8_t> image;
        std::string error;
        if (!store_.readImage(j_, image, error))
            return failed(error + "; `q55x recover --restore` puts the backup back instead.");
        if (!select(found)) return r_;
        ++j_.recoveries;
        store_.save(j_, error);

        // Written and verified before it was cut short: only what it keeps is looked at.
        if (j_.stage >= Stage::Verified && !j_.restoreBegun && keptInPlace())
            return closed("The update had been written and verified before it was interrupted, and what it keeps is in "
                          "place. Power the enclosure off and on if it does not show the new firmware.");

        for (const KeptStretch& k : j_.kept)
            if (k.putBack == PutBack::BeforeRerun && !holds(dev_, k) && !putBackBeforeRerun(dev_, k))
                return failed("The " + k.what + " at " + hex6(k.at) + " could not be put back before the update ran again.");

        const bool oneButton = j_.command == "update";
        const bool recordKept = std::any_of(j_.kept.begin(), j_.kept.end(),
                                            [](const KeptStretch& k) { return k.putBack == PutBack::ProductRecord; });
        const std::string file = store_.imagePath(j_.id);
        if (!run(file, j_.productSn && !recordKept, oneButton)) return r_;
        if (!comeBackIfReset()) return r_;

        for (const KeptStretch& k : j_.kept)
            if (k.putBack == PutBack::ProductRecord && !holds(dev_, k))
                IDEAccess::QV_WriteProductInfo(dev_.path, j_.settings.vid, j_.settings.pid, k.bytes.data());
        for (const KeptStretch& k : j_.kept)
            if (!holds(dev_, k))
                return failed("The update is written, but the " + k.what + " at " + hex6(k.at) +
                              " does not hold what the journal kept; the journal stays open.");
        return closed("The update is finished: the image is written and verified, and what it keeps is in place.");
    }

    Result restore(const vendor::ListedDevice& found) {
        if (j_.backup.empty())
            return failed("No backup was taken before this update (--no-backup): `q55x recover` can only finish it.");
        firmware::FileImage backup;
        std::string error;
        if (!readBackup(j_, backup.bytes, error) || backup.bytes.empty())
            return failed("The backup cannot be used: " + (error.empty() ? j_.backup + " is empty" : error) + ".");
        backup.opened = true;
        // The procedure reads the backup as checked, from the journal's own folder: the file the
        // journal names could be changed between the check and the write.
        const std::string copy = store_.restorePath(j_.id);
        if (!store_.writeCopy(copy, backup.bytes, error)) return failed("The backup cannot be staged for writing: " + error + ".");
        struct Unlink {
            std::string path;
            ~Unlink() { std::remove(path.c_str()); }
        } unlink{copy};
        if (!select(found)) return r_;
        // From here the journal's stages are the restore's: a later `q55x recover` runs the update
        // again in full instead of trusting "written and verified".
        j_.restoreBegun = true;
        store_.save(j_, error);
        const vendor::ChipType t = dev_.chip.type;
        if (backup.bytes.size() > uint64_t{dev_.flash.capacityKiB} * 1024)
            return failed("The backup " + j_.backup + " is larger than the flash this chip reports now.");
        const RunProcedure p = procedureFor(copy);
        // A copy of the whole flash goes back through a procedure that writes a file whole: not to
        // the disk, and to the serial-flash families only as the firmware with its NVRAM it holds.
        const bool whole = p == RunProcedure::DirectUpdate || p == RunProcedure::Legacy ||
                           p == RunProcedure::Qvd525Over1394 || p == RunProcedure::Qvr294 ||
                           ((p == RunProcedure::Series528 || p == RunProcedure::Sst) &&
                            firmware::fn_bCheckFwIncludeNVRAM(backup, t));
        if (!whole)
            return failed("The " + j_.chipName + "'s procedure cannot write this copy of the flash back whole; keep " +
                          j_.backup + " for support.");
        if (!run(copy, false, false)) return r_;
        if (!comeBackIfReset()) return r_;

        firmware::RecordingWindow quiet;
        std::vector<uint8_t> flash;
        if (!firmware::readFlash(quiet, dev_, static_cast<uint32_t>(backup.bytes.size()), flash, error))
            return failed("The backup was written, but the flash could not be read back to compare (" + error + ").");
        for (size_t i = 0; i < backup.bytes.size(); ++i)
            if (flash[i] != backup.bytes[i] && !stampedByProcedure(t, i, backup.bytes.size()))
                return failed("The backup was written, but the flash differs from it at " + hex6(static_cast<uint32_t>(i)) +
                              "; the journal stays open.");
        return closed("The flash holds the backup taken before the update again.");
    }

private:
    bool select(const vendor::ListedDevice& found) {
        dev_ = selectedDevice(found, record_);
        r_.path = dev_.path;
        return true;
    }

    bool keptInPlace() {
        return std::all_of(j_.kept.begin(), j_.kept.end(), [this](const KeptStretch& k) { return holds(dev_, k); });
    }

    // The family's procedure on `file`, written whole, as the window's Run button would take it for
    // the device as it is now (the chip may have fallen back to its ROM code or loader).
    // The QVR29x go through their buffer path, from whatever code the chip runs now (firmware, ROM
    // loader, manufacturing code); the others take the procedure the window's Run would take.
    RunProcedure procedureFor(const std::string& file) const {
        return vendor::chipRow(dev_.chip.type).ramBuffer ? RunProcedure::DirectUpdate : firmware::chooseRunProcedure(dev_, file);
    }

    bool run(const std::string& file, bool productSn, bool oneButton) {
        const vendor::ChipType t = dev_.chip.type;
        // Made before the window and the failure watch, whose command listeners nest inside its own.
        watch_ = std::make_unique<StageWatch>(store_, j_);
        TerminalWindow w(ctx_.out(), ctx_.windowMode());
        std::error_code ec;
        w.setExpectedBytes(std::filesystem::file_size(file, ec), uint64_t{dev_.flash.capacityKiB} * 1024);
        w.settings_ = j_.settings;
        w.firmwareFile_ = file;
        w.includeNvram_ = true;
        w.setProductSn_ = productSn;
        const RunProcedure p = procedureFor(file);
        if (vendor::chipRow(t).ramBuffer) w.readWriteBuffer_ = answersBufferDescriptor(dev_.path);
        if (p == RunProcedure::None || p == RunProcedure::FileTooBig) {
            failed(std::string("q55x cannot update the ") + std::string(vendor::chipDisplayName(t)) + " it finds now.");
            return false;
        }
        firmware::FailureWatch fw;
        firmware::WatchedWindow watched(w, fw);
        bool ok = firmware::runChosenProcedure(p, watched, dev_) && w.status() == firmware::kTextSuccess;
        // The one-button update resets the chip to start what it wrote.
        if (ok && oneButton && !watch_->resetSeen()) IDEAccess::QV_ChipReset256(dev_.path);
        w.endLine();
        r_.status = w.status();
        if (!ok) {
            FailureReport f{w.status(), fw.cause(), {}};
            f.next = "The journal stays open: run `q55x recover` again once the enclosure answers, or `q55x recover "
                     "--restore` to put the backup back.";
            r_.failure = f;
            r_.message = "The update could not be finished.";
            return false;
        }
        watch_->set(Stage::Verified);
        return true;
    }

    bool comeBackIfReset() {
        if (!watch_ || !watch_->resetSeen()) return true;
        const std::optional<vendor::ListedDevice> back = waitForEnclosure(ctx_, j_.identity);
        if (!back) {
            failed("The chip was reset and did not come back within " + std::to_string(firmware::reattachWaitSeconds()) +
                   " s. Turn the enclosure off and on again, then run `q55x recover` to check it.");
            return false;
        }
        watch_->set(Stage::BackOnBus);
        select(*back);
        return true;
    }

    Result failed(const std::string& message) {
        if (watch_) watch_->stop();
        r_.ok = false;
        r_.message = message;
        return r_;
    }

    Result closed(const std::string& message) {
        if (watch_) watch_->stop();
        std::string error;
        r_.ok = store_.remove(j_.id, error);
        r_.message = r_.ok ? message : message + " The journal could not be closed: " + error;
        return r_;
    }

    Context& ctx_;
    JournalStore& store_;
    Journal& j_;
    vendor::DeviceRecord record_;
    firmware::SelectedDevice dev_;
    std::unique_ptr<StageWatch> watch_;
    Result r_;
};

struct Match {
    enum class Kind { Attached, NotAttached, Refused } kind = Kind::NotAttached;
    const AttachedBridge* bridge = nullptr;
    std::string reason;
};

// The journal's enclosure among the attached bridges. A device the user pointed at that is not
// the journal's enclosure is refused: with --device, when the journal was last there or was named
// with --journal; without, when the journal was named and another device is where it was last.
Match matchJournal(const Journal& j, const std::vector<AttachedBridge>& attached, const std::string& device, bool named) {
    std::vector<const AttachedBridge*> same;
    for (const AttachedBridge& a : attached)
        if (a.identity.sameEnclosure(j.identity)) same.push_back(&a);
    Match m;
    if (same.size() > 1) {
        // Twins answer alike: which one's update this was is not for q55x to guess.
        std::string paths;
        for (const AttachedBridge* a : same) paths += (paths.empty() ? "" : ", ") + a->device.record.path;
        m.kind = Match::Kind::Refused;
        m.reason = std::to_string(same.size()) + " attached enclosures answer as this journal's " + j.chipName + " (" + paths +
                   "): name one with --device.";
        return m;
    } else if (same.size() == 1) {
        m.bridge = same.front();
    }
    if (m.bridge) {
        m.kind = Match::Kind::Attached;
        return m;
    }
    for (const AttachedBridge& a : attached) {
        const std::string& at = a.device.record.path;
        const bool pointed = device.empty() ? named && at == j.identity.path : at == device && (named || at == j.identity.path);
        if (pointed) {
            m.kind = Match::Kind::Refused;
            m.reason = "the device at " + a.device.record.path + " is a " +
                       identityWords(a.identity, std::string(vendor::chipDisplayName(a.device.chip.type))) +
                       ", not the journal's " + identityWords(j.identity, j.chipName) + "; nothing was done.";
            return m;
        }
    }
    return m;
}

int runRecover(Context& ctx, const RecoverOptions& o) {
    JournalStore store;
    JournalStore::Listing listing = store.list();
    if (!listing.problem.empty())
        return ctx.fail(kExitFailed, "The journals of interrupted updates cannot be trusted: " + listing.problem + "; nothing was done.");
    if (listing.journals.empty() && listing.unreadable.empty() && o.journal.empty() && !o.restore)
        return runBankRecovery(ctx);
    const bool json = ctx.options().json;
    for (size_t i = 0; i < listing.unreadable.size(); ++i)
        ctx.err() << "q55x: the journal " << listing.unreadable[i] << " cannot be read; it is left as it is (" << listing.why[i] << ").\n";
    if (!o.journal.empty()) {
        std::erase_if(listing.journals, [&](const Journal& j) { return j.id != o.journal; });
        if (listing.journals.empty()) return ctx.fail(kExitUsage, "no open journal " + o.journal + " in " + store.dir());
    }

    const std::vector<AttachedBridge> attached = attachedBridges(ctx);
    nlohmann::json done = nlohmann::json::array(), absent = nlohmann::json::array(), refused = nlohmann::json::array(),
                   running = nlohmann::json::array();
    bool anyFailed = false, anyActed = false;
    for (Journal& j : listing.journals) {
        // A journal whose enclosure another q55x holds is that one's running update, not an
        // interrupted one.
        if (const std::optional<LockHolder> h = heldElsewhere(j.identity.lockKey())) {
            running.push_back({{"journal", j.id}, {"held_by", h->words()}, {"pid", h->pid}});
            if (!json) ctx.out() << "Journal " << j.id << ": running (" << h->words() << "); nothing done.\n";
            continue;
        }
        const Match m = matchJournal(j, attached, ctx.options().device, !o.journal.empty());
        if (m.kind == Match::Kind::NotAttached) {
            absent.push_back({{"journal", j.id}, {"chip", j.chipName}, {"last_at", j.identity.path}, {"stage", stageName(j.stage)}});
            if (!json)
                ctx.out() << "Journal " << j.id << ": the " << identityWords(j.identity, j.chipName) << " (last at "
                          << j.identity.path << ", " << stageWords(j) << ") is not attached; nothing done.\n";
            continue;
        }
        if (m.kind == Match::Kind::Refused) {
            anyFailed = true;
            refused.push_back({{"journal", j.id}, {"reason", m.reason}});
            if (!json) ctx.out() << "Journal " << j.id << ": refused: " << m.reason << "\n";
            continue;
        }
        anyActed = true;
        const std::string path = m.bridge->device.record.path;
        if (!json) ctx.out() << describe(j, path, o.restore);
        if (o.dryRun) {
            done.push_back({{"journal", j.id}, {"device", path}, {"action", o.restore ? "restore" : "finish"}, {"dry_run", true}});
            continue;
        }
        WriteGuards guards;
        guards.yes = o.yes;
        if (int rc = confirmWrite(ctx, guards, o.restore ? "Write the backup back?" : "Finish the update?")) return rc;
        std::unique_ptr<DiskHold> disk;
        if (refuseWhileDiskInUse(ctx, path, o.force, disk)) {
            anyFailed = true;
            continue;
        }
        std::unique_ptr<EnclosureLock> owner;
        if (ctx.own(j.identity.lockKey(), "the enclosure of journal " + j.id, o.restore ? "restore" : "recover", owner)) {
            anyFailed = true;
            continue;
        }
        // The question may have waited a long time: the device is identified again before the
        // first write, and one that is no longer the enclosure asked about is left alone.
        if (!identityOf(ctx, path, m.bridge->device.chip.type).unchangedSince(m.bridge->identity)) {
            anyFailed = true;
            const std::string why = "the device at " + path + " is no longer the enclosure the question was about; nothing was written.";
            refused.push_back({{"journal", j.id}, {"reason", why}});
            if (!json) ctx.out() << "Journal " << j.id << ": refused: " << why << "\n";
            continue;
        }
        const KeepAwake awake(ctx);
        Recovery recovery(ctx, store, j);
        const Result r = o.restore ? recovery.restore(m.bridge->device) : recovery.finish(m.bridge->device);
        anyFailed |= !r.ok;
        nlohmann::json doc{{"journal", j.id}, {"device", r.path}, {"action", o.restore ? "restore" : "finish"},
                           {"ok", r.ok},     {"status", r.status}, {"message", r.message}};
        if (r.failure) doc["error"] = errorJson(*r.failure);
        done.push_back(doc);
        if (!json) {
            ctx.out() << r.message << "\n";
            if (r.failure) printFailure(ctx, *r.failure);
        }
    }
    // A journal named with --journal is the whole of the request: it never falls through to
    // whatever device happens to be attached.
    if (!o.journal.empty() && !anyActed && refused.empty()) {
        if (json) ctx.printJson({{"recovered", done}, {"not_attached", absent}, {"refused", refused}, {"running", running}});
        return json ? kExitNoDevice : ctx.fail(kExitNoDevice, "The enclosure of journal " + o.journal + " is not attached or is held by another q55x; nothing was done.");
    }
    // Nor does it while a journal cannot be read: that one may be this enclosure's.
    if (!anyActed && refused.empty() && running.empty() && !o.restore && !listing.unreadable.empty())
        return ctx.fail(kExitFailed, "Nothing was done: a journal that cannot be read may be an attached enclosure's. "
                                     "`q55x journal show ID` shows it; `q55x journal discard ID --yes` removes it.");
    if (!anyActed && refused.empty() && running.empty() && !o.restore) {
        // Nothing of an attached enclosure was interrupted: what recover always did.
        if (json)
            for (const auto& a : absent)
                ctx.err() << "q55x: journal " << a["journal"].get<std::string>() << ": its enclosure is not attached.\n";
        return runBankRecovery(ctx);
    }
    if (json) ctx.printJson({{"recovered", done}, {"not_attached", absent}, {"refused", refused}, {"running", running}});
    if (anyFailed) return kExitFailed;
    if (anyActed) return kExitOk;
    return json ? kExitNothingToDo : ctx.fail(kExitNothingToDo, "No interrupted update of an attached enclosure to undo.");
}

// --- q55x journal ---------------------------------------------------------------------------------

int runJournal(Context& ctx, const std::string& action, const std::string& id, bool yes) {
    JournalStore store;
    const bool json = ctx.options().json;
    if (action == "list") {
        const JournalStore::Listing listing = store.list();
        if (!listing.problem.empty()) return ctx.fail(kExitFailed, "The journals cannot be trusted: " + listing.problem + ".");
        const std::vector<AttachedBridge> attached = listing.journals.empty() ? std::vector<AttachedBridge>{} : attachedBridges(ctx);
        nlohmann::json all = nlohmann::json::array();
        for (const Journal& j : listing.journals) {
            std::string at;
            for (const AttachedBridge& a : attached)
                if (a.identity.sameEnclosure(j.identity)) at = a.device.record.path;
            const std::optional<LockHolder> held = heldElsewhere(j.identity.lockKey());
            all.push_back({{"journal", j.id}, {"chip", j.chipName}, {"command", j.command}, {"started", j.started},
                           {"stage", stageName(j.stage)}, {"attached_at", at}, {"backup", j.backup},
                           {"running", held ? held->words() : std::string()}});
            if (!json)
                ctx.out() << j.id << "  " << j.chipName << "  q55x " << (j.command == "update" ? "update" : "flash " + j.file)
                          << "  " << j.started << "  " << stageName(j.stage) << "  "
                          << (held ? "running (" + held->words() + ")"
                              : at.empty() ? "not attached (last at " + j.identity.path + ")"
                                           : "attached at " + at)
                          << "\n";
        }
        for (const std::string& bad : listing.unreadable)
            if (!json) ctx.out() << bad << "  cannot be read\n";
        if (json) ctx.printJson({{"journals", all}, {"unreadable", listing.unreadable}, {"folder", store.dir()}});
        else if (all.empty() && listing.unreadable.empty()) ctx.out() << "No open journal in " << store.dir() << ".\n";
        return kExitOk;
    }
    Journal j;
    std::string error;
    if (id.empty()) return ctx.fail(kExitUsage, "name the journal: q55x journal " + action + " ID");
    if (id.find('/') != std::string::npos || id.find("..") != std::string::npos)
        return ctx.fail(kExitUsage, "no journal " + id + " in " + store.dir());
    const bool readable = store.load(id, j, error);
    std::vector<uint8_t> text;
    std::string why;
    // One that cannot be read is shown as it stands, and discarded only when asked with --yes.
    if (!readable && !readOwnFile(store.journalPath(id), kJournalLimit, text, why) && error.rfind("no journal", 0) == 0)
        return ctx.fail(kExitUsage, error);
    if (action == "show") {
        if (readable) readOwnFile(store.journalPath(id), kJournalLimit, text, why);
        ctx.out() << std::string(text.begin(), text.end());
        return kExitOk;
    }
    // The kept stretches of an update without a backup are in the journal and nowhere else.
    const bool onlyCopy = !readable || (!j.kept.empty() && (j.backup.empty() || !std::filesystem::exists(j.backup)));
    if (onlyCopy && !yes) {
        const std::string what = readable ? "holds the only copy of what the update kept (" + keptWords(j) + ")"
                                          : "cannot be read (" + error + ") and may hold the only copy of what its update kept";
        if (json || !::isatty(STDIN_FILENO))
            return ctx.fail(kExitUsage, "The journal " + id + " " + what + ". `q55x journal show " + id +
                                            "` shows it; `q55x journal discard " + id + " --yes` discards it all the same.");
        ctx.err() << "The journal " << id << " " << what << ". Discard it? [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
            return ctx.fail(kExitNothingToDo, "nothing discarded");
    }
    if (!store.remove(id, error)) return ctx.fail(kExitFailed, error);
    const std::string kept = j.backup.empty() ? "" : " The backup taken before it stays in " + j.backup + ".";
    if (json) ctx.printJson({{"journal", id}, {"discarded", true}, {"backup", j.backup}});
    else ctx.out() << "Journal " << id << " discarded: q55x no longer knows that this update was interrupted." << kept << "\n";
    return kExitOk;
}

}  // namespace

Runner addRecoverCommand(CLI::App& app) {
    auto o = std::make_shared<RecoverOptions>();
    CLI::App* sub = app.add_subcommand(
        "recover", "Finish (or with --restore undo) an interrupted update from its journal; with none open, copy the "
                   "valid firmware bank of a QVR256 or QVR253 over its damaged one");
    sub->add_flag("--restore", o->restore, "Write the backup taken before the update back instead of finishing it");
    sub->add_option("--journal", o->journal, "Take up this journal only");
    sub->add_flag("-y,--yes", o->yes, "Do not ask before writing (required when not on a terminal)");
    sub->add_flag("--dry-run", o->dryRun, "Show what was interrupted and what would be done; write nothing");
    sub->add_flag("--force", o->force, "Write even while the disk behind the bridge is mounted, held or used as swap");
    return [o](Context& ctx) { return runRecover(ctx, *o); };
}

Runner addJournalCommand(CLI::App& app) {
    auto action = std::make_shared<std::string>("list");
    auto id = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("journal", "The journals of interrupted updates: list, show ID, discard ID");
    sub->add_option("action", *action, "list (default), show or discard")->check(CLI::IsMember({"list", "show", "discard"}));
    sub->add_option("id", *id, "The journal, as `q55x journal` lists it");
    auto yes = std::make_shared<bool>(false);
    sub->add_flag("-y,--yes", *yes, "Discard without asking, even a journal that holds the only copy of what its update kept");
    return [action, id, yes](Context& ctx) { return runJournal(ctx, *action, *id, *yes); };
}

}  // namespace cli
