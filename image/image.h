// Firmware images: where they come from, the fields the tools read or write in them, the tests
// that tie an image to a chip, the size limits, and the version shown for the one-button update.
// Firmware files are read with every offset checked: a file too short for the block a test wants
// simply does not match.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/format/image_builder.h"
#include "identify/chip_table.h"

namespace firmware {

// Images carried by the programs.
constexpr const char* kEmbeddedImageName = "FW_FOR_UPDATE";
constexpr const char* kImageResourceType = "FW";
constexpr uint32_t kEmbeddedImageSize = 262144;
constexpr uint32_t kMfgImageSize = 65536;
constexpr const char* kMacQvr298Image = "qvr298_v031.001.001.015";   // type "bin"
constexpr const char* kMacQvd529Image = "QVR293_PM_v20.05.03.03";    // type "BIN"
constexpr const char* kMacQvd528Image = "QVD528UFW";                 // type "BIN"

// Header of the embedded update image (and of the manufacturing images); the offsets of its
// fields are those of the image builder (kHeaderTextOffset, kHeaderChipCodeOffset,
// kHeaderVersionOffset).
constexpr size_t kHeaderSize = 32;

// Copies `length` bytes of the embedded update image from `offset` into `dest` (0, or a length
// that runs past the end, means up to the end; never more than `destSize`). Returns the image's
// total size, or 0 when the program carries none (then nothing is copied).
uint32_t LoadEmbeddedImage(uint8_t* dest, size_t destSize, uint32_t offset, uint32_t length);
// The same for a manufacturing image: 1 "QVR297_ROM0_MFG", 2 "QVR298_ROM0_MFG",
// 11 "QVR297_ROM1_MFG", 12 "QVR298_ROM1_MFG", 13 "QVR295_ROM1_MFG", 15 "QVR292_ROM1_MFG";
// any other number gives 0.
uint32_t LoadMfgImage(uint8_t* dest, size_t destSize, uint32_t offset, uint32_t length, int imageNumber);
const char* mfgImageName(int imageNumber);   // nullptr for an unknown number
// Which manufacturing image a chip takes by its chip code and ROM variant; 0 for none.
int mfgImageNumberFor(std::string_view chipCode, uint8_t romVariant);

// --- signature blocks ---------------------------------------------------------------------
constexpr uint8_t kQvd523Signature[4] = {0xE9, 0xAC, 0x67, 0x32};
constexpr size_t kSignatureBlockSize = 10;

// Where a chip's firmware file keeps its signature block (the chip table's row says).
using vendor::SignatureLocation;
SignatureLocation signatureLocation(vendor::ChipType type);

// --- reading firmware files -----------------------------------------------------------------
// A firmware file read whole (files larger than any flash are refused before they are read).
// Only a regular file opens: a directory, a device node or a pipe is no firmware file.
struct FileImage {
    bool opened = false;
    bool tooLarge = false;       // opened, but larger than any flash: `bytes` stays empty
    std::vector<uint8_t> bytes;
    // `n` bytes at `offset`, or false when the file is shorter.
    bool block(size_t offset, size_t n, uint8_t* out) const;
};
constexpr size_t kMaxFirmwareFile = 64u << 20;
FileImage readFirmwareFile(const std::string& path);

// A firmware file goes to the flash in whole pages of this many bytes.
constexpr size_t kFileRounding = 256;

// The file starts with its code's signature block, and so carries no 4 KiB NVRAM in front of its
// code. On the chips that read their NVRAM at flash 0 and their code from 4 KiB on, such a file
// written from 0 would leave the chip on its ROM code; read from 4 KiB on, it would lose its first
// 4 KiB.
bool startsWithCode(const uint8_t* bytes, size_t size);
bool startsWithCode(const FileImage& f);

// --- matching a file to a chip ------------------------------------------------------------
// "Open Firmware File Error!!" (title "Error") when the file cannot be opened.
bool FileMatchesChip(const std::string& path, vendor::ChipType type, int revision);
bool FileMatchesChip(const FileImage& file, vendor::ChipType type, int revision);
// The file carries its own 4 KiB NVRAM ahead of code for this chip.
bool fn_bCheckFwIncludeNVRAM(const std::string& path, vendor::ChipType type);
bool fn_bCheckFwIncludeNVRAM(const FileImage& file, vendor::ChipType type);
// What the serial-flash procedures take a file to carry: its own 4 KiB NVRAM by the chip's row
// (unless the file starts with its code) or by its signature block behind one.
bool carriesOwnNvram(const FileImage& file, vendor::ChipType type);
// The single-bank chips keep their NVRAM behind their code region: a file carries it only when it
// reaches the NVRAM's end. A shorter one has nothing of its own to put there, whatever "Include
// 4K NVRAM" says, and the chip's NVRAM stays.
bool carriesSingleBankNvram(size_t fileSize, vendor::ChipType type);
// The file length is at most (flash size in KiB, lowest 24 bits) x 1024.
bool FileFitsFlash(const std::string& path, uint32_t flashKiB);

// A QVR29x file picked for the "Run" update: its chip code (bytes 21-23) against the chip
// information record (code state byte 6, ROM variant byte 7, chip code 8-10).
enum class CodeFileMatch { Match, Mismatch /* "FW file not Match." */, Refused /* no message */ };
CodeFileMatch CodeFileMatchesChip(const FileImage& file, const uint8_t* chipInfo, size_t infoLen);

// --- single-bank families -------------------------------------------------------------------
// Code region end of the single-bank families: 0xC000 (QVR256, QVR296), 0x8000 (QVR253); 0 for others.
uint32_t codeRegionEnd(vendor::ChipType type);
// A 64 KiB bank with the chip's signature block and a matching region CRC-16.
bool ValidateBank(const uint8_t* bank, size_t size, vendor::ChipType type);
// Stores the region CRC-16 at E-2, E-1 (high byte first); false when the buffer is too short.
bool stampRegionCrc(uint8_t* image, size_t size, uint32_t codeEnd);

// --- the one-button update -----------------------------------------------------------------
// "Update firmware to version %02d.%02d.%02d.%02d" from header bytes 25-28: ASCII digits when
// byte 25 is one, raw numbers otherwise.
std::string updateButtonCaption(const uint8_t* header, size_t headerLen);
// The chip information record against the embedded image header.
enum class EmbeddedVersionCheck { FirmwareIdMismatch, AlreadyUpdated, UpdateOffered, Unreadable };
EmbeddedVersionCheck compareWithEmbedded(const uint8_t* chipInfo, size_t infoLen, const uint8_t* header,
                                         size_t headerLen);
constexpr const char* kTextFirmwareIdMismatch = "Firmware ID not match!!";
constexpr const char* kTextAlreadyUpdated = "Firmware already updated.";

}  // namespace firmware
