// q55x list / q55x info: every bridge with its chip, revision, firmware version and flash.
#include <iomanip>
#include <ostream>
#include <sstream>

#include "sys/bytes.h"
#include "cli/session.h"
#include "cli/commands.h"
#include "transport/scsi.h"
#include "image/image.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_version.h"
#include "identify/flash_detect.h"

namespace cli {

namespace {

struct BankState {
    bool checked = false;
    bool valid[2] = {false, false};
};

// The two 64 KiB banks of a QVR256 or QVR253 on a flash of 128 KiB or more, read and validated.
// Identification only looks: the recovery itself runs on request (q55x recover).
BankState checkBanks(const std::string& path, vendor::ChipType type, uint32_t flashKiB) {
    BankState b;
    if (!vendor::keepsTwoBanks(vendor::chipRow(type)) || flashKiB <= 127) return b;
    std::vector<uint8_t> bank(0x10000);
    for (int i = 0; i < 2; ++i) {
        for (uint32_t off = 0; off < bank.size(); off += 8192)
            if (!IDEAccess::QV_GetNVRAM_529(path, i * 0x10000u + off, bank.data() + off, 8192)) return b;
        b.valid[i] = firmware::ValidateBank(bank.data(), bank.size(), type);
    }
    b.checked = true;
    return b;
}

std::string bankAdvice(const BankState& b) {
    if (!b.checked || b.valid[0] == b.valid[1]) return {};
    return b.valid[0] ? "bank 1 damaged, bank 0 valid: run q55x recover"
                      : "bank 0 damaged, bank 1 valid: run q55x recover";
}

struct Identified {
    vendor::ListedDevice device;
    NodeFacts node;
    BankState banks;
    std::string chipName;
    IDEAccess::ChipPresentation presentation;
    vendor::FlashFacts flash;
    IDEAccess::FirmwareVersionText version;
    std::vector<uint8_t> chipInfo;
};

Identified identify(const vendor::ListedDevice& d) {
    Identified id;
    id.device = d;
    const std::string& path = d.record.path;
    id.chipName = IDEAccess::ChipLabel(path, d.chip.type);
    id.presentation = IDEAccess::ChipSupportOf(path, d.chip.type);
    if (id.presentation.showFlash) id.flash = IDEAccess::DetectFlash(path, d.chip.type, d.chip.revision, {.bus = d.bus});
    if (id.presentation.showVersion || id.presentation.showFlash)
        id.version = IDEAccess::FormatFirmwareVersion(path, d.chip.type, id.flash.type);
    id.banks = checkBanks(path, d.chip.type, id.flash.capacityKiB);
    id.chipInfo.assign(16, 0);
    if (!IDEAccess::QV_GetChipInfo(path, id.chipInfo.data(), 16)) id.chipInfo.clear();
    return id;
}

const char* busName(const vendor::ListedDevice& d) {
    if (!d.busKnown) return "unknown";
    switch (d.bus) {
        case vendor::Bus::Uas: return "uas";
        case vendor::Bus::Ieee1394: return "1394";
        case vendor::Bus::Usb: break;
    }
    return "usb";
}

std::string hex4(std::optional<uint16_t> v) {
    char t[8] = "";
    if (v) std::snprintf(t, sizeof t, "%04x", *v);
    return t;
}

nlohmann::json toJson(const Identified& id, bool details) {
    const auto& d = id.device;
    const auto& n = id.node;
    const bool internal = id.version.shown && id.version.text == IDEAccess::kInternalCodeText;
    nlohmann::json j{{"path", d.record.path},
                     {"bus", busName(d)},
                     {"bus_label", d.busLabel},
                     {"product", d.product},
                     {"volumes", n.mounts},
                     {"sg_node", n.sg},
                     {"block_node", n.block},
                     {"by_id", n.byId},
                     {"by_path", n.byPath},
                     {"usb_vendor", hex4(n.usbVendor)},
                     {"usb_product", hex4(n.usbProduct)},
                     {"serial", n.serial},
                     {"port", n.port},
                     {"chip_type", d.chip.type},
                     {"chip_name", id.chipName},
                     {"revision", d.chip.revision},
                     {"firmware", id.version.shown ? id.version.text : std::string()},
                     {"internal_code", internal},
                     {"status", !id.presentation.statusText.empty() ? id.presentation.statusText : id.version.statusText},
                     {"flash_type", id.flash.type},
                     {"flash_name", id.presentation.showFlash ? id.flash.name : std::string()},
                     {"flash_kib", id.flash.capacityKiB},
                     {"block_size", id.flash.blockSize},
                     {"sector_size", id.flash.sectorSize}};
    if (id.banks.checked) {
        j["banks_valid"] = {id.banks.valid[0], id.banks.valid[1]};
        j["advice"] = bankAdvice(id.banks);
    }
    if (details) {
        j["chip_info"] = sys::toHex(id.chipInfo.data(), id.chipInfo.size());
        j["jedec"] = id.flash.jedec.ok ? sys::toHex(id.flash.jedec.id.data(), id.flash.jedec.id.size()) : "";
        j["amic_model"] = id.flash.amicModel;
        j["atmel_model"] = id.flash.atmelModel;
    }
    return j;
}

void printText(std::ostream& out, const Identified& id, bool details) {
    const auto j = toJson(id, details);
    out << j["path"].get<std::string>() << "  " << j["bus"].get<std::string>() << "  "
        << j["product"].get<std::string>() << "\n";
    out << "  chip      " << id.chipName << " (type " << int(id.device.chip.type) << ", revision "
        << int(id.device.chip.revision) << ")\n";
    if (id.version.shown) out << "  firmware  " << id.version.text << "\n";
    const std::string status = j["status"];
    if (!status.empty()) out << "  status    " << status << "\n";
    if (id.presentation.showFlash) {
        out << "  flash     " << id.flash.name << ", " << id.flash.capacityKiB << " KiB, erase units "
            << id.flash.blockSize / 1024 << " KiB / " << id.flash.sectorSize / 1024 << " KiB\n";
    }
    if (const std::string advice = bankAdvice(id.banks); !advice.empty()) out << "  banks     " << advice << "\n";
    const NodeFacts& n = id.node;
    if (!n.block.empty()) out << "  block     " << n.block << "\n";
    if (!n.byId.empty()) out << "  by-id     " << n.byId << "\n";
    if (!n.byPath.empty()) out << "  by-path   " << n.byPath << "\n";
    if (n.usbVendor) out << "  usb       " << hex4(n.usbVendor) << ":" << hex4(n.usbProduct) << (n.port.empty() ? "" : " at port " + n.port) << "\n";
    else if (!n.port.empty()) out << "  node      " << n.port << "\n";
    if (!n.serial.empty()) out << "  serial    " << n.serial << "\n";
    if (!n.mounts.empty()) {
        out << "  volumes  ";
        for (const auto& m : n.mounts) out << " " << m;
        out << "\n";
    }
    if (details) {
        out << "  chip info " << j["chip_info"].get<std::string>() << "\n";
        if (!j["jedec"].get<std::string>().empty()) out << "  jedec id  " << j["jedec"].get<std::string>() << "\n";
    }
}

std::vector<Identified> scan(Context& ctx, const std::string& only) {
    const std::vector<vendor::Candidate> candidates = only.empty() ? ctx.commandCandidates() : ctx.candidateFor(only);
    const auto listing = vendor::listBridges(candidates, [&](const std::string& p) { return ctx.volumesOf(p); });
    std::vector<Identified> out;
    for (const auto& d : listing.devices) {
        out.push_back(identify(d));
        out.back().node = ctx.factsOf(d.record.path);
    }
    return out;
}

int runList(Context& ctx) {
    const auto found = scan(ctx, {});
    // An enclosure another q55x holds is listed by who holds it, and sent nothing.
    const std::vector<Context::Busy> busy = ctx.busy();
    if (found.empty() && busy.empty()) return ctx.failNoDevice();
    if (ctx.options().json) {
        nlohmann::json arr = nlohmann::json::array();
        for (const auto& id : found) arr.push_back(toJson(id, false));
        for (const auto& b : busy) arr.push_back({{"path", b.path}, {"busy", b.holder.brief()}, {"pid", b.holder.pid}});
        ctx.printJson(arr);
    } else {
        for (const auto& id : found) printText(ctx.out(), id, false);
        for (const auto& b : busy) ctx.out() << b.path << "  " << b.holder.brief() << "\n";
    }
    return kExitOk;
}

int runInfo(Context& ctx) {
    const std::string path = ctx.selectDevice();
    auto found = path.empty() ? std::vector<Identified>{} : scan(ctx, path);
    if (found.empty()) return ctx.failNoDevice();
    if (ctx.options().json) ctx.printJson(toJson(found.front(), true));
    else printText(ctx.out(), found.front(), true);
    return kExitOk;
}

}  // namespace

Runner addListCommand(CLI::App& app) {
    app.add_subcommand("list", "List the attached bridges with chip, firmware and flash");
    return runList;
}

Runner addInfoCommand(CLI::App& app) {
    app.add_subcommand("info", "Show one bridge in detail (the chip information record, the flash's JEDEC id)");
    return runInfo;
}

}  // namespace cli
