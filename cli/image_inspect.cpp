#include "cli/image_inspect.h"

#include <cstdio>
#include <cstring>

#include "image/format/crc.h"
#include "identify/chip_table.h"

namespace cli {

namespace {

std::string chars(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '.');
    return s;
}

}  // namespace

nlohmann::json inspectFirmwareImage(const firmware::FileImage& f) {
    nlohmann::json j;
    const auto& b = f.bytes;
    j["size"] = b.size();

    // Signature blocks wherever a family keeps one.
    nlohmann::json sigs = nlohmann::json::array();
    std::string chipCode;
    int revision = -1;
    long signatureOffset = -1;
    for (const uint32_t off : {0u, 4096u, 0x4000u, 0x7FF0u, 0xBFF0u}) {
        uint8_t blk[firmware::kSignatureBlockSize];
        if (!f.block(off, sizeof blk, blk) || std::memcmp(blk, firmware::kSignature, 4) != 0) continue;
        sigs.push_back({{"offset", off}, {"chip_code", chars(blk + 4, 3)}, {"revision", blk[8]}});
        if (signatureOffset < 0) {
            signatureOffset = off;
            chipCode = chars(blk + 4, 3);
            revision = blk[8];
        }
    }
    uint8_t alt[firmware::kSignatureBlockSize];
    const bool qvd523Block = f.block(128, sizeof alt, alt) && std::memcmp(alt, firmware::kQvd523Signature, 3) == 0;
    if (qvd523Block) {
        sigs.push_back({{"offset", 128}, {"chip_code", chars(alt + 4, 3)}, {"revision", alt[7]}, {"alternative", true}});
        if (signatureOffset < 0) {
            signatureOffset = 128;
            chipCode = chars(alt + 4, 3);
        }
    }
    j["signatures"] = sigs;
    j["signature_offset"] = signatureOffset;
    j["chip_code"] = chipCode;
    j["revision_byte"] = revision;

    // The header ("Corvane QVRnnn" at 10) at the start of the code.
    long headerAt = -1;
    for (const uint32_t off : {0u, 4096u}) {
        uint8_t h[firmware::kHeaderSize];
        if (f.block(off, sizeof h, h) && std::memcmp(h + firmware::kHeaderTextOffset, "Corvane ", 8) == 0) {
            headerAt = off;
            const uint8_t* v = h + firmware::kHeaderVersionOffset;
            const bool ascii = v[0] >= '0' && v[0] <= '9';
            char text[32];
            std::snprintf(text, sizeof text, "%d.%02d.%02d.%02d", ascii ? v[0] - '0' : v[0], ascii ? v[1] - '0' : v[1],
                          ascii ? v[2] - '0' : v[2], ascii ? v[3] - '0' : v[3]);
            j["version"] = text;
            j["product"] = chars(h + firmware::kHeaderTextOffset, 14);
            if (chipCode.empty()) chipCode = chars(h + firmware::kHeaderChipCodeOffset, 3);
            j["chip_code"] = chipCode;
            break;
        }
    }
    if (headerAt < 0) j["version"] = nullptr;
    j["header_offset"] = headerAt;

    // Own NVRAM ahead of the code: the code's signature stands at 4096 rather than at 0.
    const int typeByCode = vendor::chipTypeOfCode(chipCode);
    j["carries_nvram"] = typeByCode ? firmware::fn_bCheckFwIncludeNVRAM(f, static_cast<vendor::ChipType>(typeByCode))
                                    : false;

    // Region CRC-16 of the single-bank families.
    const uint32_t end = chipCode == "253" ? 0x8000 : 0xC000;
    uint8_t sig[4];
    if ((chipCode == "256" || chipCode == "296" || chipCode == "253") && f.block(end - 16, 4, sig) &&
        b.size() >= end) {
        j["crc16_stored"] = static_cast<int>(b[end - 2] << 8 | b[end - 1]);
        j["crc16_computed"] = firmware::Crc16Words(b.data(), end - 4, 0);
        j["crc16_region_end"] = end;
    } else {
        j["crc16_stored"] = nullptr;
        j["crc16_computed"] = nullptr;
    }

    // Bank signatures and CRC-32 of the two-bank images.
    nlohmann::json banks = nlohmann::json::array();
    for (size_t base = 0; base + firmware::kBankSize <= b.size() && base < 2 * firmware::kBankSize;
         base += firmware::kBankSize) {
        const uint8_t* bank = b.data() + base;
        const uint32_t stored = uint32_t(bank[0x3FC]) << 24 | uint32_t(bank[0x3FD]) << 16 |
                                uint32_t(bank[0x3FE]) << 8 | bank[0x3FF];
        banks.push_back({{"offset", base},
                         {"signature_ok", std::memcmp(bank + 0x200, firmware::kBankSignature, 4) == 0},
                         {"tail_copy_ok", std::memcmp(bank + 0x208, bank + firmware::kBankSize - 4, 4) == 0},
                         {"crc32_stored", stored},
                         {"crc32_computed", firmware::fn_298cal_crc32(bank, firmware::kBankCrcOffset)}});
    }
    j["banks"] = banks;

    std::string family = "unknown";
    if (!banks.empty() && banks[0]["signature_ok"].get<bool>()) family = "two-bank (QVR29x)";
    else if (!j["crc16_stored"].is_null()) family = "single-bank (QVR256/296/253)";
    else if (qvd523Block) family = "NVRAM first, QVD523 block at 128";
    else if (signatureOffset == 4096) family = "NVRAM first, code at 4096";
    else if (signatureOffset == 0) family = "code at 0";
    else if (signatureOffset == 0x4000) family = "code signature at 0x4000";
    j["family"] = family;
    return j;
}

void printImageInspection(std::ostream& out, const std::string& path, const nlohmann::json& j) {
    out << path << ": " << j["size"].get<size_t>() << " bytes, " << j["family"].get<std::string>() << "\n";
    if (!j["chip_code"].get<std::string>().empty()) out << "  chip code      " << j["chip_code"].get<std::string>() << "\n";
    if (!j["version"].is_null()) out << "  version        " << j["version"].get<std::string>() << "\n";
    for (const auto& s : j["signatures"])
        out << "  signature      at 0x" << std::hex << s["offset"].get<long>() << std::dec << " chip code "
            << s["chip_code"].get<std::string>() << "\n";
    out << "  own NVRAM      " << (j["carries_nvram"].get<bool>() ? "yes (4 KiB ahead of the code)" : "no") << "\n";
    if (!j["crc16_stored"].is_null()) {
        const int st = j["crc16_stored"], co = j["crc16_computed"];
        char line[96];
        std::snprintf(line, sizeof line, "  region CRC-16  stored %04X, computed %04X%s\n", st, co,
                      st == co ? "" : "  MISMATCH");
        out << line;
    }
    for (const auto& bank : j["banks"]) {
        const uint32_t st = bank["crc32_stored"], co = bank["crc32_computed"];
        char line[128];
        std::snprintf(line, sizeof line, "  bank at 0x%05lX signature %s, CRC-32 stored %08X, computed %08X%s\n",
                      bank["offset"].get<long>(), bank["signature_ok"].get<bool>() ? "ok" : "missing", st, co,
                      st == co ? "" : "  MISMATCH");
        out << line;
    }
    if (j.contains("matches")) {
        out << "  matches chip   " << j["chip"].get<std::string>() << ": " << (j["matches"].get<bool>() ? "yes" : "no")
            << "\n";
    }
}

}  // namespace cli
