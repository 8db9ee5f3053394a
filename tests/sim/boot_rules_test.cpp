// The chip's boot decision held against the image code the tools stamp images with: on every
// catalogue image, placed in a flash as a chip of each persona of its layout would find it, whole
// and with a byte changed where each rule looks, both must agree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/format/image_builder.h"
#include "sim/boot_rules.h"
#include "support/catalog_samples.h"

namespace {

TEST(SimBootRules, AgreeWithTheImageCodeOnTheCatalogue) {
    size_t count = 0, booted = 0;
    const sim::ChipPersona* personas = sim::chipPersonas(&count);
    for (const firmware::CatalogImage& image : firmware::imageCatalog()) {
        const std::vector<uint8_t> bytes = testing_support::catalogBytes(image.name);
        // Unchanged; then one byte changed in the header, in the first bank's marks, in its tail.
        for (const size_t at : {size_t{0}, size_t{22}, size_t{0x201}, size_t{0x3FD}, size_t{0x1000 + 5}, size_t{0xBFF4},
                                size_t{0x1FFFE}}) {
            std::vector<uint8_t> flash(std::max<size_t>(bytes.size(), 0x40000), 0xFF);
            std::copy(bytes.begin(), bytes.end(), flash.begin());
            if (at) flash[at] ^= 0x10;
            for (size_t i = 0; i < count; ++i) {
                const sim::ChipPersona& p = personas[i];
                if (p.layout != image.params.layout || p.versionCount == 0) continue;
                SCOPED_TRACE(std::string(image.name) + " as " + p.model + ", changed at " + std::to_string(at));
                const int revision = p.revision - '0';
                const char* own = revision == 1 || revision == 2 ? p.ownSignature[size_t(revision - 1)] : nullptr;
                const firmware::FoundImage tools = firmware::findImage(flash.data(), flash.size(), p.layout, p.codeEnd,
                                                                       p.chipCode, p.versionCount, own);
                const sim::BootImage chip = sim::chooseBootImage(flash.data(), flash.size(), p, revision);
                ASSERT_EQ(chip.found, tools.valid);
                if (!chip.found) continue;
                ++booted;
                EXPECT_EQ(chip.codeStart, tools.codeStart);
                EXPECT_EQ(chip.version, tools.version);
                EXPECT_EQ(chip.manufacturing, tools.manufacturing);
            }
        }
    }
    EXPECT_GT(booted, 10u) << "the catalogue holds bootable images";
}

}  // namespace
