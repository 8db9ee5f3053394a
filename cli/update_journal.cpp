#include "cli/update_journal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <set>

#include "cli/failure_report.h"
#include "cli/state_files.h"
#include "update/direct_update.h"
#include "update/update_texts.h"
#include "update/flash_backup.h"
#include "update/qvd525_1394.h"
#include "image/image.h"
#include "update/kept_copy.h"
#include "bridge/IDEAccess.h"
#include "bridge/cdb.h"
#include "identify/chip_table.h"
#include "discovery/discovery.h"
#include "identify/chip_version.h"
#include "flash/flash_buffer_ops.h"
#include "flash/flash_ops.h"

namespace cli {

namespace {

using firmware::RunProcedure;
using vendor::ChipType;

constexpr uint32_t kNvram = firmware::kNvramSize;
constexpr uint32_t kSecondBank = 0x10000;       // the single-bank chips' copy
constexpr uint32_t kTwoBankFile = 0x20000;      // a single-bank file that carries both banks
constexpr uint32_t kQvr29xBank = 0x20000;
constexpr uint32_t kTwoPassAboveKiB = 127;
constexpr uint32_t kLegacySettingsAt = 0x8000, kLegacySettingsLen = 512, kLegacyKeepsUpTo = 0x8000;
constexpr uint32_t k1394SettingsAt = 0x8000, k1394SettingsLen = 1024, k1394Least = 0x8000;
constexpr uint32_t kProductArea = 0x44000, kProductRecordLen = 72;
constexpr uint8_t kProductRecordMark = 0x42;
constexpr uint32_t kQvd523DataAt = 128, kQvd523DataEnd = 208;
constexpr uint32_t kSerialPiece = 16384;
constexpr uint32_t kBufferPage = 4096;
constexpr uint32_t kProgressEvery = 0x10000;    // a new stage line for each further 64 KiB written
// The chip information record's identity: signature and USB ids, chip code and revision.
constexpr size_t kIdentityBytes[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11};
constexpr uint8_t kCodeStateRomLoader = 2;

bool isSingleBank(ChipType t) { return vendor::chipRow(t).layout == vendor::FlashLayout::SingleBank; }
bool keepsTwoBanks(ChipType t) { return vendor::keepsTwoBanks(vendor::chipRow(t)); }
uint32_t singleBankNvramAt(ChipType t) { return vendor::chipRow(t).nvram.at; }
// The QVD523 takes the image's own bytes 128-207 into the NVRAM it keeps.
bool takesQvd523Data(ChipType t) { return vendor::chipRow(t).series528 == vendor::Series528Rules::Qvd523; }

bool startsWithCode(const std::vector<uint8_t>& f) { return firmware::startsWithCode(f.data(), f.size()); }

bool carriesNvram(ChipType t, const std::vector<uint8_t>& f) {
    firmware::FileImage image;
    image.opened = true;
    image.bytes = f;
    return firmware::carriesOwnNvram(image, t);
}

// One read of a stretch through the family's own read path.
bool readStretch(const firmware::SelectedDevice& dev, uint32_t at, uint8_t* out, size_t len) {
    const ChipType t = dev.chip.type;
    uint8_t d[4] = {};
    const bool descriptor = vendor::chipRow(t).ramBuffer && IDEAccess::QV_ReadBuffer(dev.path, vendor::kBufferDescriptorMode, 0, 0, d, 4);
    switch (firmware::readPathFor(dev, descriptor)) {
        case firmware::ReadPath::Buffer: {
            std::vector<uint8_t> page(kBufferPage);
            for (uint32_t a = at / kBufferPage * kBufferPage; a < at + len; a += kBufferPage) {
                if (!IDEAccess::QV_ReadBuffer(dev.path, 1, 0, a, page.data(), kBufferPage)) return false;
                for (uint32_t i = 0; i < kBufferPage; ++i)
                    if (a + i >= at && a + i < at + len) out[a + i - at] = page[i];
            }
            return true;
        }
        case firmware::ReadPath::Direct: {
            firmware::RecordingWindow quiet;
            return firmware::fn_SerialFlashRead529(quiet, dev, firmware::directUpdateStateFor(dev), at, out, len);
        }
        case firmware::ReadPath::Over1394: {
            firmware::RecordingWindow quiet;
            return firmware::readFlash525Over1394(quiet, dev, at, out, len);
        }
        case firmware::ReadPath::SerialFlash:
            for (size_t pos = 0; pos < len; pos += kSerialPiece) {
                const size_t n = std::min<size_t>(kSerialPiece, len - pos);
                IDEAccess::WaitFlashReady(dev.path);
                if (!IDEAccess::QV_SerialFlashRead(dev.path, at + static_cast<uint32_t>(pos), out + pos, static_cast<int>(n)))
                    return false;
            }
            return true;
        case firmware::ReadPath::Qvr294:
        case firmware::ReadPath::None: break;
    }
    return false;
}

bool sameIdentity(const EnclosureIdentity& a, const EnclosureIdentity& b) { return a.sameEnclosure(b); }

// The journals of the updates this process is running (several enclosures at once): open, but not
// interrupted.
std::mutex gRunningMutex;
std::set<std::string> gRunning;

void running(const std::string& id, bool on) {
    std::lock_guard<std::mutex> lock(gRunningMutex);
    if (on) gRunning.insert(id);
    else gRunning.erase(id);
}

bool isRunning(const std::string& id) {
    std::lock_guard<std::mutex> lock(gRunningMutex);
    return gRunning.count(id) > 0;
}

// The open journals that may be an attached enclosure's: those that name no serial number, or one
// of theirs. Telling the others apart takes no command.
std::vector<Journal> interruptedFor(Context& ctx, const std::vector<std::string>& paths) {
    std::vector<Journal> out;
    std::set<std::string> serials;
    for (const std::string& p : paths) serials.insert(ctx.serialOf(p));
    for (Journal& j : JournalStore().list().journals)
        if (!isRunning(j.id) && !heldElsewhere(j.identity.lockKey()) &&
            (j.identity.serial.empty() || serials.count(j.identity.serial)))
            out.push_back(std::move(j));
    return out;
}

}  // namespace

std::string journalProcedureName(RunProcedure p, bool oneButton) {
    if (oneButton) return "one-button";
    switch (p) {
        case RunProcedure::DirectUpdate: return "direct";
        case RunProcedure::Series528: return "528";
        case RunProcedure::Sst: return "sst";
        case RunProcedure::Legacy: return "legacy";
        case RunProcedure::Qvd525Over1394: return "1394";
        case RunProcedure::Qvr294: return "294";
        case RunProcedure::DiskResident: return "disk";
        case RunProcedure::None:
        case RunProcedure::FileTooBig: break;
    }
    return "none";
}

EnclosureIdentity identityOf(Context& ctx, const std::string& path, ChipType type) {
    EnclosureIdentity id;
    id.chipType = type;
    id.path = path;
    id.serial = ctx.serialOf(path);
    id.port = ctx.portOf(path);
    uint8_t info[16] = {};
    if (IDEAccess::QV_GetChipInfo(path, info, sizeof info) && info[0] == 0xF4 && info[1] == 0xE7)
        for (size_t i : kIdentityBytes) id.chipInfo.push_back(info[i]);
    return id;
}

int stillTheSame(Context& ctx, const std::string& path, const EnclosureIdentity& asked) {
    if (identityOf(ctx, path, static_cast<ChipType>(asked.chipType)).unchangedSince(asked)) return 0;
    return ctx.fail(kExitFailed, "The device at " + path + " is no longer the enclosure the question was about (it was "
                                 "unplugged or another took its place); nothing was written. Run the command again.");
}

std::vector<AttachedBridge> attachedBridges(Context& ctx) {
    std::vector<AttachedBridge> out;
    for (const vendor::ListedDevice& d : vendor::listBridges(ctx.commandCandidates(), {}).devices)
        out.push_back({d, identityOf(ctx, d.record.path, d.chip.type)});
    return out;
}

firmware::SelectedDevice selectedDevice(const vendor::ListedDevice& d, vendor::DeviceRecord& record) {
    firmware::SelectedDevice dev;
    record = d.record;
    dev.path = d.record.path;
    dev.bus = d.bus;
    dev.chip = d.chip;
    dev.record = &record;
    if (IDEAccess::ChipSupportOf(dev.path, d.chip.type).showFlash)
        dev.flash = IDEAccess::DetectFlash(dev.path, d.chip.type, d.chip.revision, {.bus = d.bus});
    return dev;
}

bool readStretchTwice(const firmware::SelectedDevice& dev, uint32_t at, size_t len, std::vector<uint8_t>& out) {
    out.assign(len, 0);
    return firmware::readKeptCopy([&](uint8_t* b) { return readStretch(dev, at, b, len); }, out.data(), len);
}

std::vector<KeptPlan> keptStretches(const firmware::SelectedDevice& dev, const UpdatePlan& p) {
    const ChipType t = dev.chip.type;
    const std::vector<uint8_t>& f = p.file;
    const size_t s = f.size();
    const uint64_t flashBytes = uint64_t{dev.flash.capacityKiB} * 1024;
    std::vector<KeptPlan> out;
    switch (p.oneButton ? RunProcedure::DirectUpdate : p.procedure) {
        case RunProcedure::DirectUpdate:
            if (vendor::chipRow(t).ramBuffer) {
                // The product record from an earlier update, where the image does not reach it and
                // the chip is not erased whole (from the ROM loader, the buffer path erases it and
                // writes the settings' record, or none).
                const uint64_t extent = s == kQvr29xBank && flashBytes >= 2 * kQvr29xBank ? 2 * kQvr29xBank : s;
                if (flashBytes >= kProductArea + kBufferPage && extent <= kProductArea && !p.chipOnRomLoader)
                    out.push_back({"product record", kProductArea, kProductRecordLen, PutBack::ProductRecord});
            } else if (isSingleBank(t)) {
                if (p.includeNvram && firmware::carriesSingleBankNvram(s, t)) break;
                const uint32_t n = singleBankNvramAt(t);
                out.push_back({"NVRAM", n, kNvram});
                if (keepsTwoBanks(t) && dev.flash.capacityKiB > kTwoPassAboveKiB)
                    out.push_back({"NVRAM copy", kSecondBank + n, kNvram, PutBack::InImage, 0});
            } else if (!p.includeNvram || startsWithCode(f)) {
                out.push_back({"NVRAM", 0, kNvram});
            }
            break;
        case RunProcedure::Series528:
        case RunProcedure::Sst: {
            // The flash-type-aware form takes "Include 4K NVRAM" as ticked.
            const bool include = p.procedure == RunProcedure::Sst || p.includeNvram;
            const bool carries = carriesNvram(t, f);
            if (carries && include) break;
            // The QVD523 takes the image's own bytes 128-207 into the NVRAM it keeps.
            if (takesQvd523Data(t) && carries && s >= kQvd523DataEnd) {
                out.push_back({"NVRAM", 0, kQvd523DataAt});
                out.push_back({"NVRAM", kQvd523DataEnd, kNvram - kQvd523DataEnd});
            } else {
                out.push_back({"NVRAM", 0, kNvram});
            }
            break;
        }
        case RunProcedure::Legacy:
            if (s <= kLegacyKeepsUpTo)
                out.push_back({"settings bytes", kLegacySettingsAt, kLegacySettingsLen, PutBack::BeforeRerun});
            break;
        case RunProcedure::Qvd525Over1394:
            if ((std::max<size_t>(s, k1394Least) + 255) / 256 * 256 <= k1394Least)
                out.push_back({"settings bytes", k1394SettingsAt, k1394SettingsLen, PutBack::BeforeRerun});
            break;
        default: break;
    }
    return out;
}

std::vector<uint8_t> imageWithKept(const firmware::SelectedDevice& dev, const UpdatePlan& p,
                                   const std::vector<KeptPlan>& plan, const std::vector<std::vector<uint8_t>>& bytes) {
    const ChipType t = dev.chip.type;
    std::vector<uint8_t> image = p.file;
    const auto nvramAt = [&](uint32_t at) -> const std::vector<uint8_t>* {
        for (size_t i = 0; i < plan.size(); ++i)
            if (plan[i].at == at && plan[i].putBack == PutBack::InImage && plan[i].copyOf < 0) return &bytes[i];
        return nullptr;
    };
    const auto put = [&image](uint32_t at, const std::vector<uint8_t>& b) {
        if (image.size() < at + b.size()) image.resize(at + b.size(), 0);
        std::copy(b.begin(), b.end(), image.begin() + at);
    };
    const RunProcedure proc = p.oneButton ? RunProcedure::DirectUpdate : p.procedure;
    if (proc == RunProcedure::DirectUpdate && isSingleBank(t)) {
        // The single-bank chips: the file at 0, the kept NVRAM over its place (and over the second
        // bank's of a file that carries both banks).
        const uint32_t n = singleBankNvramAt(t);
        if (const auto* kept = nvramAt(n)) {
            put(n, *kept);
            if (keepsTwoBanks(t) && p.file.size() >= kTwoBankFile) put(kSecondBank + n, *kept);
        }
        return image;
    }
    if (proc != RunProcedure::DirectUpdate && proc != RunProcedure::Series528 && proc != RunProcedure::Sst) return image;
    // The chips that keep their NVRAM in front of the code: the kept NVRAM, then the code, from
    // the file's 4 KiB on or, for a file that starts with its code, the whole file.
    std::vector<uint8_t> nvram;
    for (size_t i = 0; i < plan.size(); ++i)
        if (plan[i].at < kNvram) {
            nvram.resize(kNvram, 0);
            std::copy(bytes[i].begin(), bytes[i].end(), nvram.begin() + plan[i].at);
        }
    if (nvram.empty()) return image;
    const bool ownNvram = proc == RunProcedure::DirectUpdate ? !startsWithCode(p.file) : carriesNvram(t, p.file);
    if (takesQvd523Data(t) && ownNvram && p.file.size() >= kQvd523DataEnd)
        std::copy(p.file.begin() + kQvd523DataAt, p.file.begin() + kQvd523DataEnd, nvram.begin() + kQvd523DataAt);
    image = nvram;
    if (!ownNvram) image.insert(image.end(), p.file.begin(), p.file.end());
    else if (p.file.size() > kNvram) image.insert(image.end(), p.file.begin() + kNvram, p.file.end());
    return image;
}

// --- the stages of a running update ------------------------------------------------------------

StageWatch::StageWatch(JournalStore& store, Journal& journal)
    : store_(store), j_(journal), listener_([this](const transport::TraceEntry& e) { onCommand(e); }) {}

void StageWatch::set(Stage s) {
    if (stopped_ || s <= j_.stage) return;
    j_.stage = s;
    save();
}

void StageWatch::save() {
    std::string error;
    store_.save(j_, error);   // a stage that cannot be written leaves the one before: recovery reads less
}

void StageWatch::onCommand(const transport::TraceEntry& e) {
    if (stopped_ || !e.cdb || !e.opened) return;
    const vendor::Cdb& c = *e.cdb;
    const bool reset = (c[0] == 0xFF && c[1] == 0x04 && c[2] == 0x26) || (c[0] == 0x3B && (c[1] & 0x1F) == 0x0F);
    if (reset) {
        resetSeen_ = true;
        set(Stage::ResetSent);
        return;
    }
    if (!vendor::cdb::changesDevice(c)) return;
    if (j_.stage < Stage::EraseBegun) set(Stage::EraseBegun);
    const auto at = vendor::cdb::flashAddressOf(c);
    if (!at) return;
    const uint32_t end = *at + static_cast<uint32_t>(e.dir == transport::Direction::Out ? e.len : 0);
    if (end <= j_.writtenUpTo) return;
    const bool crossed = end / kProgressEvery != j_.writtenUpTo / kProgressEvery;
    j_.writtenUpTo = end;
    if (e.len > 0 && j_.stage < Stage::Writing) set(Stage::Writing);
    else if (crossed && j_.stage == Stage::Writing) save();
}

// --- the journal of an update -------------------------------------------------------------------

int UpdateJournal::begin(Context& ctx, const firmware::SelectedDevice& dev, const Request& r) {
    j_ = {};
    j_.command = r.command;
    j_.procedure = journalProcedureName(r.plan.procedure, r.plan.oneButton);
    j_.file = r.file;
    j_.chipName = std::string(vendor::chipDisplayName(dev.chip.type));
    j_.versionBefore = r.versionBefore;
    j_.identity = identityOf(ctx, dev.path, dev.chip.type);
    j_.includeNvram = r.plan.includeNvram;
    j_.productSn = r.plan.productSn;
    j_.settings = r.settings;
    j_.backup = r.backup;

    UpdatePlan up = r.plan;
    uint8_t info[16] = {};
    up.chipOnRomLoader = vendor::chipRow(dev.chip.type).ramBuffer && IDEAccess::QV_GetChipInfo(dev.path, info, sizeof info) &&
                         info[6] == kCodeStateRomLoader;
    const std::vector<KeptPlan> plan = keptStretches(dev, up);
    std::vector<std::vector<uint8_t>> bytes(plan.size());
    {
        // A stretch that cannot be read twice alike cannot be kept: the update stops as the
        // procedure's own backup read would, before anything is erased.
        firmware::FailureWatch watch;
        for (size_t i = 0; i < plan.size(); ++i) {
            const KeptPlan& k = plan[i];
            if (k.copyOf >= 0) {
                bytes[i] = bytes[static_cast<size_t>(k.copyOf)];
            } else if (!readStretchTwice(dev, k.at, k.len, bytes[i])) {
                watch.noteText(firmware::kTextBackupNvramFail);
                FailureReport f{firmware::kTextBackupNvramFail, watch.cause(), {}};
                f.next = cli::nextStep(f.cause, dev, r.backup);
                if (ctx.options().json) {
                    ctx.printJson({{"device", dev.path}, {"ok", false}, {"status", f.message}, {"error", errorJson(f)}});
                } else {
                    ctx.out() << "Update failed: " << f.message << "\n";
                    printFailure(ctx, f);
                }
                return kExitFailed;
            }
            // Only a record an earlier update wrote is kept.
            if (k.putBack == PutBack::ProductRecord && bytes[i][0] != kProductRecordMark) continue;
            j_.kept.push_back({k.what, k.at, bytes[i], k.putBack});
        }
    }
    const std::vector<uint8_t> image = imageWithKept(dev, up, plan, bytes);

    // The backup is what --restore writes back: it must outlive a power cut as the journal does,
    // its name with it, before the journal names it; its size and CRC go into the journal.
    if (!r.backup.empty()) {
        std::vector<uint8_t> copy;
        std::string why;
        if (!durability().syncFile(r.backup) || !durability().syncFolder(std::filesystem::path(r.backup).parent_path().string()))
            return ctx.fail(kExitFailed, "cannot flush the backup " + r.backup + " to the disk; nothing was written.");
        if (!readOwnFile(r.backup, kFlashCopyLimit, copy, why))
            return ctx.fail(kExitFailed, "cannot read the backup back (" + why + "); nothing was written.");
        j_.backupBytes = copy.size();
        j_.backupCrc = imageCrc32(copy);
    }
    std::string error;
    if (!store_.create(j_, image, error))
        return ctx.fail(kExitFailed, "cannot keep the update's journal (" + error + "); nothing was written.");
    open_ = true;
    running(j_.id, true);
    watch_ = std::make_unique<StageWatch>(store_, j_);
    return 0;
}

std::string UpdateJournal::end(bool ok, bool deviceChanged) {
    if (watch_) watch_->stop();
    if (!open_) return {};
    open_ = false;
    running(j_.id, false);
    std::string error;
    if (ok || !deviceChanged) {
        store_.remove(j_.id, error);
        return {};
    }
    return "journal: " + store_.journalPath(j_.id);
}

std::string UpdateJournal::nextStep(const firmware::FailureCause& cause) {
    if (!cause.detail.empty() && cause.step == "waiting for the bridge after its reset")
        return "The firmware was written and verified before the reset. Turn the enclosure off and on again, then run "
               "`q55x recover --yes`: it checks the update and closes its journal.";
    return "The flash was changed before the update stopped. Reconnect the enclosure if it left the bus (power it off "
           "and on), then run `q55x recover --yes`: it finishes the update from its journal, with what the update keeps "
           "in place. `q55x recover --restore --yes` puts the flash back as it was instead.";
}

// --- open journals and the commands that meet them ---------------------------------------------

int refuseWhileInterrupted(Context& ctx, const std::string& path, ChipType type) {
    const JournalStore::Listing listing = JournalStore().list();
    if (!listing.problem.empty())
        return ctx.fail(kExitFailed, "The journals of interrupted updates cannot be trusted: " + listing.problem +
                                         ". Nothing was written: an update needs its journal.");
    // A journal that cannot be read may be this enclosure's: nothing tells otherwise.
    for (size_t i = 0; i < listing.unreadable.size(); ++i) {
        const std::string id = std::filesystem::path(listing.unreadable[i]).stem().string();
        return ctx.fail(kExitFailed, "The journal " + listing.unreadable[i] + " cannot be read (" + listing.why[i] +
                                         "). It may be this enclosure's interrupted update, so nothing was written. "
                                         "`q55x journal show " + id + "` shows it; once it is known not to be needed, "
                                         "`q55x journal discard " + id + " --yes` removes it.");
    }
    if (listing.journals.empty()) return 0;
    std::vector<Journal> open = interruptedFor(ctx, {path});
    if (open.empty()) return 0;
    const EnclosureIdentity identity = identityOf(ctx, path, type);
    // A journal that names this enclosure's serial (or, with none, its chip) but another identity
    // may still be its own: a chip that fell back to its ROM loader answers with other identifiers.
    const auto mayBe = [&](const Journal& j) {
        return !j.identity.serial.empty() ? j.identity.serial == identity.serial
                                          : identity.serial.empty() || j.identity.chipType == identity.chipType;
    };
    std::erase_if(open, [&](const Journal& j) { return !sameIdentity(j.identity, identity) && !mayBe(j); });
    if (open.empty()) return 0;
    const Journal& j = open.front();
    if (!sameIdentity(j.identity, identity))
        return ctx.fail(kExitRefused, "The open journal " + j.id + " names a " + j.chipName + " that may be this enclosure, "
                                         "though it answers differently now. Nothing was written. If it is, power the enclosure off and on "
                                         "and run `q55x recover`; if it is not, `q55x journal discard " + j.id + "` forgets it.");
    return ctx.fail(kExitRefused, "The last update of this " + j.chipName + " was interrupted (journal " + j.id +
                                     "): finish it with `q55x recover`, or undo it with `q55x recover --restore`, "
                                     "before another; `q55x journal discard " + j.id + "` forgets it.");
}

void noticeInterruptedUpdates(Context& ctx) {
    // Without an open journal nothing is asked of any device.
    if (JournalStore().list().journals.empty()) return;
    std::vector<std::string> paths;
    for (const vendor::Candidate& c : ctx.commandCandidates()) paths.push_back(c.path);
    const std::vector<Journal> open = interruptedFor(ctx, paths);
    if (open.empty()) return;
    const std::vector<AttachedBridge> attached = attachedBridges(ctx);
    for (const Journal& j : open)
        for (const AttachedBridge& a : attached)
            if (sameIdentity(j.identity, a.identity))
                ctx.err() << "q55x: the update of the " << j.chipName << " at " << a.device.record.path
                          << " was interrupted (journal " << j.id << ", " << stageName(j.stage)
                          << "): `q55x recover` finishes it, `q55x recover --restore` puts the flash back as it was.\n";
}

}  // namespace cli
