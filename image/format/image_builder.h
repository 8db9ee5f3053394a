// Well-formed firmware images for every flash layout of the bridge families, made from a few
// parameters, and the reader that finds the header and version in such an image again. Nothing
// here knows about the emulator: it is the image generator's library as much as the boot code's.
//
// Layouts:
//   TwoBank     (QVR29x, QVR294) two 128 KiB banks, each stamped with its bank signature block and
//               CRC-32 (image/format/crc.h); the header stands at the start of each bank and the code
//               signature block at bank offset 0xBFF0.
//   SingleBank  (QVR256, QVR296, QVR253) one code region of E bytes (0xC000 or 0x8000): header at 0,
//               signature block at E-16, CRC-16 of bytes 0..E-5 at E-2 (high byte first), the 4 KiB
//               NVRAM at E; on flash of 128 KiB and more the 64 KiB bank is kept twice.
//   NvramFirst  (QVD52x, QV8455x, QVR227) the 4 KiB NVRAM at 0, the code at 4096 starting with its
//               signature block, the header following it inside the code.
//   RamImage    (the QVR29x manufacturing images) 64 KiB of code for the chip's RAM, header at 0;
//               never booted from flash.
//
// Header at the start of the code: bytes 2-5 the model as four zero-padded digits (two-bank and
// single-bank layouts), 10-23 the product text ("Corvane QVR298", chip code in its last three
// bytes), 24 the manufacturing flag ('M' in a manufacturing image), 25.. the version bytes: binary
// numbers, or ASCII digits in a manufacturing image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

enum class ImageLayout : uint8_t { TwoBank, SingleBank, NvramFirst, RamImage };

constexpr size_t kHeaderTextOffset = 10;
constexpr size_t kHeaderTextLength = 14;
constexpr size_t kHeaderChipCodeOffset = 21;
constexpr size_t kHeaderFlagOffset = 24;
constexpr size_t kHeaderVersionOffset = 25;
constexpr size_t kMaxVersionBytes = 5;
constexpr uint8_t kManufacturingFlag = 'M';
constexpr size_t kNvramSize = 4096;
constexpr uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr size_t kTwoBankSignatureOffset = 0xC000 - 16;   // in each bank of a two-bank image

struct ImageParams {
    ImageLayout layout = ImageLayout::TwoBank;
    std::string chipCode = "298";          // three digits
    char revision = '0';                   // fourth chip-code character
    std::string productText;               // 14 characters; empty: "Corvane QVR" + chip code
    std::vector<uint8_t> version{31, 1, 1, 10};   // 1 to 5 numbers
    bool manufacturing = false;            // ASCII-digit version and the manufacturing flag
    uint32_t codeEnd = 0xC000;             // single-bank layout: end of the code region
    uint32_t size = 0;                     // 0: the layout's usual size (see imageSize)
    bool twoCopies = false;                // single-bank layout: the bank again at 0x10000
};

// Usual sizes: two-bank 256 KiB, single-bank 64 KiB (128 KiB with two copies), NVRAM-first 64 KiB.
uint32_t imageSize(const ImageParams& p);

// Builds the image; false with a reason when the parameters cannot make a well-formed one.
bool buildImage(const ImageParams& p, std::vector<uint8_t>& image, std::string& error);

// What a bridge finds when it boots from `flash`.
struct FoundImage {
    bool valid = false;
    int bank = 0;                          // two-bank layout: the bank booted from
    uint32_t codeStart = 0;                // where the header stands
    std::string chipCode;                  // header (or signature block) chip code, three digits
    std::vector<uint8_t> version;          // header version bytes as stored
    bool manufacturing = false;
};

// Looks for a valid image of `chipCode` in `flash` laid out as `layout`. A two-bank image is valid
// when a bank carries its signature block, a matching CRC-32 and, at bank offset 0x208, the copy of
// its own last four bytes (a bank cut short does not), and a header naming the chip; the first
// valid bank wins. `versionBytes` version bytes are read. `ownChars`, when given, are four
// characters that an NVRAM-first code signature block may carry after its signature bytes in place
// of the chip code and revision digit (the QVD525 names itself "q525" or "5257" there).
FoundImage findImage(const uint8_t* flash, size_t size, ImageLayout layout, uint32_t codeEnd,
                     const std::string& chipCode, size_t versionBytes, const char* ownChars = nullptr);

// The model digits of the product text for a chip code ("Corvane QVR298").
std::string defaultProductText(const std::string& chipCode);

}  // namespace firmware
