// Firmware files as the programs read them: the match against every chip type and revision, the
// own-NVRAM test, the QVR29x chip-code test against a chip information record, the one-button
// version texts, and what `q55x image FILE` reports about the file.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "cli/image_inspect.h"
#include "image/image.h"
#include "identify/chip_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    firmware::FileImage file;
    file.opened = true;
    file.bytes.assign(data, data + size);

    for (int type = 0; type < vendor::kChipTypeCount; ++type) {
        const auto t = static_cast<vendor::ChipType>(type);
        for (int revision = 0; revision <= 3; ++revision) firmware::FileMatchesChip(file, t, revision);
        firmware::fn_bCheckFwIncludeNVRAM(file, t);
    }

    // The first 16 bytes stand for the chip information record, the first 32 for a header.
    firmware::CodeFileMatchesChip(file, data, size);
    firmware::updateButtonCaption(data, size);
    firmware::compareWithEmbedded(data, size, data, size);
    if (size >= 0x10000) {
        for (const vendor::ChipType t : {13, 14, 15, 16, 17, 18, 27}) firmware::ValidateBank(data, size, t);
    }

    const nlohmann::json doc = cli::inspectFirmwareImage(file);
    std::ostringstream text;
    cli::printImageInspection(text, "fuzz.bin", doc);
    (void)doc.dump();
    return 0;
}
