#include "identify/flash_detect.h"

#include <algorithm>

#include "transport/scsi.h"
#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

namespace vendor {

namespace {

constexpr int kMaxProbeLen = 6;

bool probeVia(BridgePort& port, FlashVariant v, ProbeSend send, uint8_t op, uint8_t* buf, uint8_t len) {
    switch (send) {
        case ProbeSend::Own:
            if (v == FlashVariant::WinReadId) return port.serialFlashReadId(len, op, op == 0xAB, buf);
            return port.flashTypeChkId(op, buf, len);
        case ProbeSend::ReadId: return port.serialFlashReadId(len, op, false, buf);
        case ProbeSend::ReadIdFlag: return port.serialFlashReadId(len, op, true, buf);
    }
    return false;
}

bool holds(const ByteIs& t, const uint8_t* reply) { return t.at < 0 || reply[t.at] == t.value; }

void apply(const MakerRule& r, _VenderCmdPara& record) {
    record.flashType = r.type;
    if (r.ops.chipErase) record.chipEraseOp = r.ops.chipErase;
    if (r.ops.blockErase) record.blockEraseOp = r.ops.blockErase;
    if (r.ops.program) record.programOp = r.ops.program;
    if (r.ops.sectorErase) record.sectorEraseOp = r.ops.sectorErase;
}

// The fallback probes of the capacity rules, each sent at most once per sizing.
struct FallbackReplies {
    bool asked[4] = {};
    bool ok[4] = {};
    uint8_t bytes[4][kMaxProbeLen] = {};

    const uint8_t* get(BridgePort& port, FlashVariant v, CapacityReply which) {
        const int i = static_cast<int>(which);
        if (!asked[i]) {
            asked[i] = true;
            const uint8_t op = which == CapacityReply::Op15 ? 0x15 : 0xAB;
            const uint8_t len = which == CapacityReply::Ab6 ? 6 : 4;
            ok[i] = probeVia(port, v, ProbeSend::Own, op, bytes[i], len);
        }
        return ok[i] ? bytes[i] : nullptr;
    }
};

bool sameGuard(const CapacityRule& a, const CapacityRule& b) {
    const auto eq = [](const ByteIs& x, const ByteIs& y) { return x.at == y.at && x.value == y.value; };
    return a.type == b.type && a.reply == b.reply && eq(a.jedec[0], b.jedec[0]) &&
           eq(a.jedec[1], b.jedec[1]) && eq(a.own, b.own);
}

}  // namespace

bool detectFlashVendor(BridgePort& port, FlashVariant variant, _VenderCmdPara& record) {
    const uint8_t bit = variantBit(variant);
    const auto probes = flashProbes();
    for (size_t p = 0; p < probes.size(); ++p) {
        const FlashProbe& probe = probes[p];
        if (!(probe.variants & bit)) continue;
        uint8_t reply[kMaxProbeLen] = {};
        const bool ok = probeVia(port, variant, probe.send, probe.opcode, reply, probe.len);
        if (!ok && p == 0) {
            // No answer to the JEDEC id at all: an unknown flash, which is not an error.
            record.flashType = kFlashUnknown;
            return true;
        }
        if (!ok) continue;
        for (const MakerRule& r : makerRules()) {
            if (r.probe != p || !(r.variants & bit)) continue;
            if (holds(r.a, reply) && holds(r.b, reply)) {
                apply(r, record);
                return true;
            }
        }
    }
    return false;
}

JedecReply detectFlashCapacity(BridgePort& port, FlashVariant variant, _VenderCmdPara& record) {
    if (record.flashType == kFlashUnknown) detectFlashVendor(port, variant, record);
    JedecReply j;
    j.ok = probeVia(port, variant, ProbeSend::Own, 0x9F, j.id.data(), 4);
    record.capacityKiB = kDefaultCapacityKiB;

    const uint8_t bit = variantBit(variant);
    FallbackReplies fallback;
    const auto rules = capacityRules();
    for (size_t i = 0; i < rules.size();) {
        size_t end = i + 1;
        while (end < rules.size() && sameGuard(rules[i], rules[end])) ++end;
        const CapacityRule& g = rules[i];
        const size_t groupBegin = i;
        i = end;
        if (g.type != record.flashType) continue;

        const bool needsJedec = g.jedec[0].at >= 0 || g.jedec[1].at >= 0;
        if (needsJedec && !(j.ok && holds(g.jedec[0], j.id.data()) && holds(g.jedec[1], j.id.data())))
            continue;
        const uint8_t* reply = g.reply == CapacityReply::Jedec ? j.id.data() : fallback.get(port, variant, g.reply);
        if (!reply || !holds(g.own, reply)) continue;

        // This group decides, whether or not one of its sizes fits.
        for (size_t k = groupBegin; k < end; ++k) {
            const CapacityRule& r = rules[k];
            const uint8_t key = reply[r.keyAt];
            if ((r.variants & bit) && key >= r.lo && key <= r.hi) {
                record.capacityKiB = r.kibAtLo << (key - r.lo);
                break;
            }
        }
        break;
    }
    return j;
}

}  // namespace vendor

namespace IDEAccess {

using namespace vendor;

namespace {

// The read-id prologue FF 04 20 01 01 9F and its 4-byte reply, as the model checks send them: the
// response asks for no bytes in its CDB and reads four all the same.
bool readModelId(Path path, uint8_t* reply4) {
    if (!transport::ScsiDataIn(path, cdb::serialFlashCommand({0x9F}, true), nullptr, 0, nullptr)) return false;
    return QV_SerialFlashResponse(path, 0, reply4, 4);
}

struct AmicModelRow {
    uint8_t code;   // reply byte 3 after 7F 37 20
    int model;
};
constexpr AmicModelRow kAmicModels[] = {{0x12, 1}, {0x11, 3}, {0x20, 4}, {0x10, 5}};

// The chip's own flash type; a value outside the table is a flash the chip does not know either.
FlashType chipReportedFlashType(BridgePort& port) {
    uint8_t reply[4] = {};
    if (!port.serialFlashType(reply)) return kFlashUnknown;
    return reply[0] < kFlashTypeCount ? reply[0] : kFlashUnknown;
}

// The chip's report of 0 or 3 (ST, which the chips also report for parts they cannot tell
// apart) is checked by probing; the probe's verdict replaces it.
void probeUnlessReported(BridgePort& port, FlashVariant v, FlashFacts& f) {
    if (f.para.flashType != kFlashUnknown && f.para.flashType != kFlashSt) return;
    _VenderCmdPara probed;
    probed.capacityKiB = f.para.capacityKiB;
    detectFlashVendor(port, v, probed);
    f.para = probed;
}

// MXIC parts C2 22 10/11/13 need the bridge told their command set; SST25 parts are written
// word by word.
void tellBridgeAboutFlash(Path path, const ChipRow& chip, FlashFacts& f) {
    if (f.para.flashType == kFlashMxic) {
        const uint32_t type = f.para.flashType;
        const uint32_t capacity = f.para.capacityKiB;
        f.para = _VenderCmdPara{};
        f.para.flashType = type;
        f.para.capacityKiB = capacity;
        const auto& id = f.jedec.id;
        if (f.jedec.ok && id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13))
            f.flashParameterSent = QV_SerialFlashSetPara256(path, f.para, chip.flashParameter16Bit, 32);
    } else if (f.para.flashType == kFlashSst) {
        f.sst25 = f.jedec.ok && f.jedec.id[0] == 0xBF && f.jedec.id[1] == 0x25;
    }
}

bool takesFirmwareThroughRamBuffer(Path path, RamBufferPath how) {
    if (how != RamBufferPath::Probe) return how == RamBufferPath::Yes;
    uint8_t descriptor[4] = {};
    return QV_ReadBuffer(path, 3, 0, 0, descriptor, 4);
}

void viaReadId(Path path, BridgePort& port, const ChipRow& chip, const FlashProbeOptions& o, FlashFacts& f) {
    constexpr FlashVariant v = FlashVariant::WinReadId;
    probeUnlessReported(port, v, f);
    f.jedec = detectFlashCapacity(port, v, f.para);
    if (f.para.flashType == kFlashUnknown && QV_PrepareFlashProbe(path)) {
        detectFlashVendor(port, v, f.para);
        f.jedec = detectFlashCapacity(port, v, f.para);
    }
    f.ramBuffer = takesFirmwareThroughRamBuffer(path, o.ramBuffer);
    if (!f.ramBuffer) tellBridgeAboutFlash(path, chip, f);
}

void viaChkId(Path path, BridgePort& port, const ChipRow& chip, bool withCapacity, FlashFacts& f) {
    constexpr FlashVariant v = FlashVariant::WinChkId;
    probeUnlessReported(port, v, f);
    if (withCapacity) f.jedec = detectFlashCapacity(port, v, f.para);
    if (f.para.flashType == kFlashMxic || f.para.flashType == kFlashSst) {
        f.jedec = JedecReply{};
        f.jedec.ok = port.flashTypeChkId(0x9F, f.jedec.id.data(), 4);
        tellBridgeAboutFlash(path, chip, f);
    }
}

void viaModelChecks(Path path, BridgePort& port, FlashFacts& f) {
    f.amicModel = AmicModel(path);
    if (f.amicModel != -1) {
        f.name = "AMIC";
        return;
    }
    f.atmelModel = QV_ATMEL_FlashChk(path);
    if (f.atmelModel != -1) {
        f.name = "ATMEL";
        return;
    }
    f.para.flashType = chipReportedFlashType(port);
    if (f.para.flashType == kFlashUnknown) detectFlashVendor(port, FlashVariant::WinChkId, f.para);
}

}  // namespace

bool DetectFlashVendor(Path path, _VenderCmdPara& record, FlashVariant variant) {
    WinPort port(path);
    return detectFlashVendor(port, variant, record);
}

bool DetectFlashCapacity(Path path, _VenderCmdPara& record, FlashVariant variant) {
    WinPort port(path);
    detectFlashCapacity(port, variant, record);
    return true;
}

int AmicModel(Path path) {
    uint8_t id[4] = {};
    if (!readModelId(path, id) || id[0] != 0x7F || id[1] != 0x37 || id[2] != 0x20) return -1;
    for (const AmicModelRow& r : kAmicModels)
        if (r.code == id[3]) return r.model;
    return -1;
}

int QV_ATMEL_FlashChk(Path path) {
    uint8_t id[4] = {};
    if (!readModelId(path, id) || id[0] != 0x1F) return -1;
    return id[1] == 0x65 ? 1 : id[1] == 0x66 ? 2 : 0;
}

FlashFacts DetectFlash(Path path, ChipType chipType, uint8_t revision, const FlashProbeOptions& options) {
    FlashFacts f;
    const ChipRow& chip = chipRow(chipType);
    FlashRoute route = chip.flash;
    if (route == FlashRoute::ChipReportOnSbp2) {
        // Where neither discovery nor the path tells the bus, the flash is not guessed at: it stays
        // unknown, and the procedures that need it refuse before writing.
        const std::optional<Bus> bus = options.bus ? options.bus : busOfPath(path);
        route = !bus ? FlashRoute::None : *bus == Bus::Ieee1394 ? FlashRoute::ChipReport : FlashRoute::ModelChecks;
    }
    if (route == FlashRoute::None) return f;
    f.shown = true;

    WinPort port(path);
    if (route == FlashRoute::ModelChecks) {
        viaModelChecks(path, port, f);
    } else {
        f.para.flashType = chipReportedFlashType(port);
        if (route == FlashRoute::ChipReportThenReadId)
            viaReadId(path, port, chip, options, f);
        else if (route == FlashRoute::ChipReportThenChkId)
            viaChkId(path, port, chip, true, f);
        else if (route == FlashRoute::ChipReportThenChkIdFromRev5 && revision > 4)
            viaChkId(path, port, chip, false, f);
    }

    const FlashType t = f.para.flashType < kFlashTypeCount ? static_cast<FlashType>(f.para.flashType) : kFlashUnknown;
    f.type = t;
    if (f.name.empty()) f.name = flashTypeName(t);
    f.capacityKiB = f.para.capacityKiB;
    f.blockSize = tbl_FlashBlockSize[t];
    f.sectorSize = tbl_FlashSectorSize[t];
    return f;
}

}  // namespace IDEAccess

namespace qvaccess {

bool fn_SerialFalshType(Device dev, vendor::_VenderCmdPara& record) {
    vendor::MacPort port(dev);
    return vendor::detectFlashVendor(port, vendor::FlashVariant::MacChkId, record);
}

uint32_t FlashTypeForUpdate(Device dev) {
    uint8_t reply[4] = {};
    if (QV_SerialFlashType(dev, reply) && reply[0] != 0) return reply[0];
    vendor::_VenderCmdPara record;
    fn_SerialFalshType(dev, record);
    return record.flashType;
}

}  // namespace qvaccess
