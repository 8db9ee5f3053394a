#include "image/image_catalog.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "image/image.h"

namespace firmware {

namespace {

using L = ImageLayout;

ImageParams twoBank(const char* code, std::vector<uint8_t> v) {
    ImageParams p;
    p.layout = L::TwoBank;
    p.chipCode = code;
    p.version = std::move(v);
    return p;
}

ImageParams ramImage(const char* code, std::vector<uint8_t> v) {
    ImageParams p;
    p.layout = L::RamImage;
    p.chipCode = code;
    p.version = std::move(v);
    p.manufacturing = true;
    return p;
}

ImageParams singleBank(const char* code, uint32_t codeEnd, std::vector<uint8_t> v) {
    ImageParams p;
    p.layout = L::SingleBank;
    p.chipCode = code;
    p.codeEnd = codeEnd;
    p.version = std::move(v);
    return p;
}

ImageParams nvramFirst(const char* code, std::vector<uint8_t> v, uint32_t size = 0, char revision = '0') {
    ImageParams p;
    p.revision = revision;
    p.layout = L::NvramFirst;
    p.chipCode = code;
    p.version = std::move(v);
    p.size = size;
    return p;
}

const CatalogImage kCatalog[] = {
    // Carried by the Windows program (resources of type "FW").
    {"FW_FOR_UPDATE", "FW", false, twoBank("298", {31, 1, 1, 15}), 0, 0, false},
    {"QVR297_ROM0_MFG", "FW", false, ramImage("297", {0, 1, 0, 0}), 0, 0, false},
    {"QVR298_ROM0_MFG", "FW", false, ramImage("298", {0, 1, 0, 0}), 0, 0, false},
    {"QVR297_ROM1_MFG", "FW", false, ramImage("297", {1, 1, 0, 0}), 0, 0, false},
    {"QVR298_ROM1_MFG", "FW", false, ramImage("298", {1, 1, 0, 0}), 0, 0, false},
    {"QVR295_ROM1_MFG", "FW", false, ramImage("295", {1, 1, 0, 0}), 0, 0, false},
    {"QVR292_ROM1_MFG", "FW", false, ramImage("292", {1, 1, 0, 0}), 0, 0, false},
    // Carried by the macOS bundle.
    {"qvr298_v031.001.001.015", "bin", false, twoBank("298", {31, 1, 1, 15}), 0, 0, false},
    // The macOS update of the single-bank QVR293/QVR296 series: code at 0, NVRAM area at 0xC000.
    {"QVR293_PM_v20.05.03.03", "BIN", false, singleBank("296", 0xC000, {20, 5, 3, 3}), 0, 0, false},
    {"QVD528UFW", "BIN", false, nvramFirst("528", {2, 1, 0, 7}), 0, 0, false},
    // Sample firmware files, one or more per family.
    {"qvr298_31.01.01.20", "bin", true, twoBank("298", {31, 1, 1, 20}), 0, 0, false},
    {"qvr298_31.01.01.21_128k", "bin", true, twoBank("298", {31, 1, 1, 21}), 0x20000, 0, false},
    {"qvr297_31.02.00.05", "bin", true, twoBank("297", {31, 2, 0, 5}), 0, 0, false},
    {"qvr295_31.03.00.02", "bin", true, twoBank("295", {31, 3, 0, 2}), 0, 0, false},
    {"qvr292_31.04.00.02", "bin", true, twoBank("292", {31, 4, 0, 2}), 0, 0, false},
    {"qvr294_31.05.00.01", "bin", true, twoBank("294", {31, 5, 0, 1}), 0, 0, false},
    {"qvr256_1.02.03", "bin", true, singleBank("256", 0xC000, {1, 2, 3}), 0, 0, false},
    {"qvr296_1.02.04", "bin", true, singleBank("296", 0xC000, {1, 2, 4}), 0, 0, false},
    {"qvr253_1.02.05", "bin", true, singleBank("253", 0x8000, {1, 2, 5}), 0, 0, false},
    {"qvd529_with_nvram", "bin", true, nvramFirst("529", {20, 5, 3, 4}), 0, 0, false},
    {"qvd529_code_only", "bin", true, nvramFirst("529", {20, 5, 3, 4}), 0, 4096, false},
    // Revision bytes and characters as the emulated chips of each family expect them.
    {"qvd528_with_nvram", "bin", true, nvramFirst("528", {2, 1, 0, 8}, 0, '1'), 0, 0, false},
    {"qvd528_code_only", "bin", true, nvramFirst("528", {2, 1, 0, 8}, 0, '1'), 0, 4096, false},
    {"qvd523_with_nvram", "bin", true, nvramFirst("523", {3, 0, 0, 2}), 0, 0, true},
    {"qvr227_with_nvram", "bin", true, nvramFirst("227", {9, 18, 1, 17}), 0, 0, false},
    // The legacy bridges and the QVD525 are written from flash address 0 exactly as the file is,
    // and they boot the code behind their 4 KiB NVRAM: their files are whole flash images, NVRAM
    // first. 32 KiB, so the settings bytes at 0x8000 stay as the chip has them.
    {"qvd525_with_nvram", "bin", true, nvramFirst("525", {1, 0, 5}, 0x8000), 0, 0, false, "q525"},
    {"qv84552_with_nvram", "bin", true, nvramFirst("552", {1, 5, 2}, 0x8000, '1'), 0, 0, false},
    {"qv84556_with_nvram", "bin", true, nvramFirst("556", {1, 5, 6}, 0x8000, '1'), 0, 0, false},
};

}  // namespace

std::span<const CatalogImage> imageCatalog() { return kCatalog; }

bool generateImage(const CatalogImage& c, std::vector<uint8_t>& out, std::string& error) {
    if (!buildImage(c.params, out, error)) return false;
    if (c.qvd523Block && out.size() >= 128 + kSignatureBlockSize) {
        std::memcpy(out.data() + 128, kQvd523Signature, 4);
        std::memcpy(out.data() + 132, c.params.chipCode.data(), 3);
        out[135] = static_cast<uint8_t>(c.params.revision);
    }
    if (c.signatureChars && out.size() >= kNvramSize + kSignatureBlockSize)
        std::memcpy(out.data() + kNvramSize + 4, c.signatureChars, 4);
    if (c.keep && c.keep < out.size()) out.resize(c.keep);
    if (c.dropFront) {
        if (c.dropFront >= out.size()) return error = "nothing left of the image", false;
        out.erase(out.begin(), out.begin() + c.dropFront);
    }
    return true;
}

bool writeCatalog(const std::string& dir, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "samples", ec);
    if (ec) return error = "cannot make " + dir, false;
    for (const CatalogImage& c : kCatalog) {
        std::vector<uint8_t> bytes;
        if (!generateImage(c, bytes, error)) return error = std::string(c.name) + ": " + error, false;
        const fs::path p = fs::path(dir) / (c.sample ? "samples" : "") / (std::string(c.name) + "." + c.type);
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        if (!f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
            return error = "cannot write " + p.string(), false;
    }
    return true;
}

sys::ResourceLoader catalogResources() {
    return [](std::string_view name, std::string_view type, std::vector<uint8_t>& out) {
        for (const CatalogImage& c : kCatalog) {
            if (c.sample || name != c.name || type != c.type) continue;
            std::string error;
            return generateImage(c, out, error);
        }
        return false;
    };
}

}  // namespace firmware
