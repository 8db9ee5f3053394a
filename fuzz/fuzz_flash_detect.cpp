// Flash identification fed any JEDEC (0x9F), 0x90, 0xAB and 0x15 replies and any chip report of
// its flash type, through every route the chip types take and every probe variant.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reply_script.h"
#include "identify/flash_detect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& backend = fuzz_support::installFuzzBackend();
    if (size < 3) return 0;
    const vendor::ChipType chip = static_cast<vendor::ChipType>(data[0] % vendor::kChipTypeCount);
    const uint8_t revision = data[1] & 7;
    const auto variant = static_cast<vendor::FlashVariant>(data[2] % 3);
    const char* path = fuzz_support::kFuzzDevicePath;

    fuzz_support::scriptReplies(backend, data + 3, size - 3);
    const vendor::FlashFacts f = IDEAccess::DetectFlash(path, chip, revision);
    // The facts index the erase-unit tables and size the update buffers.
    if (f.type >= vendor::kFlashTypeCount || f.capacityKiB == 0) std::abort();

    fuzz_support::scriptReplies(backend, data + 3, size - 3);
    vendor::_VenderCmdPara record;
    IDEAccess::DetectFlashVendor(path, record, variant);
    IDEAccess::DetectFlashCapacity(path, record, variant);
    if (record.capacityKiB == 0) std::abort();

    fuzz_support::scriptReplies(backend, data + 3, size - 3);
    IDEAccess::AmicModel(path);
    IDEAccess::QV_ATMEL_FlashChk(path);
    return 0;
}
