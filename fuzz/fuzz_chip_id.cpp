// Chip identification and the version texts of the window, every device reply taken from the
// fuzzer: inquiry, GPIO, chip information (of any length), ODD string, registers, status records,
// NVRAM and flash reads. Both programs' bindings run over the same replies.
#include <cstddef>
#include <cstdint>

#include "reply_script.h"
#include "identify/chip_detect.h"
#include "identify/chip_version.h"
#include "identify/flash_types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& backend = fuzz_support::installFuzzBackend();
    if (size < 2) return 0;
    const vendor::ChipType forced = static_cast<vendor::ChipType>(data[0] % vendor::kChipTypeCount);
    const vendor::FlashType flashType = static_cast<vendor::FlashType>(data[1] % vendor::kFlashTypeCount);
    const char* path = fuzz_support::kFuzzDevicePath;

    fuzz_support::scriptReplies(backend, data + 2, size - 2);
    const vendor::ChipId id = IDEAccess::DetectChipType(path);
    const vendor::ChipType type = id.type < vendor::kChipTypeCount ? id.type : forced;
    IDEAccess::ChipLabel(path, type);
    IDEAccess::ChipSupportOf(path, type);
    IDEAccess::FormatFirmwareVersion(path, type, flashType);

    // The same replies for a chip type of the input's choosing, and for the macOS binding.
    fuzz_support::scriptReplies(backend, data + 2, size - 2);
    IDEAccess::FormatFirmwareVersion(path, forced, flashType);
    IDEAccess::ChipSupportOf(path, forced);
    fuzz_support::scriptReplies(backend, data + 2, size - 2);
    vendor::WinPort port(path);
    vendor::detectChip(port, vendor::kMacChipBinding);
    vendor::is298RunMfgCode(port);
    return 0;
}
