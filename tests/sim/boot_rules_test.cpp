// The chip's boot decision against the image code the tools stamp images with: every catalogue
// image, whole and with one byte changed where a rule looks, as each chip of its layout finds it.
#include <gtest/gtest.h>

#include <span>

#include "image/format/image_builder.h"
#include "sim/boot_rules.h"
#include "support/catalog_samples.h"

TEST(SimBootRules, AgreeWithTheImageCodeOnTheCatalogue) {
    size_t count = 0, booted = 0;
    const sim::ChipPersona* personas = sim::chipPersonas(&count);
    for (const firmware::CatalogImage& image : firmware::imageCatalog())
        for (const size_t at : {0x0, 0x16, 0x201, 0x3FD, 0x1005, 0xBFF4, 0x1FFFE}) {
            std::vector<uint8_t> flash = testing_support::catalogBytes(image.name);
            flash.resize(std::max<size_t>(flash.size(), 0x40000), 0xFF);
            flash[at] ^= at ? 0x10 : 0;
            for (const sim::ChipPersona& p : std::span(personas, count)) {
                if (p.layout != image.params.layout || p.versionCount == 0) continue;
                const int rev = p.revision - '0';
                const firmware::FoundImage tools = firmware::findImage(flash.data(), flash.size(), p.layout, p.codeEnd, p.chipCode,
                                                                       p.versionCount, rev == 1 || rev == 2 ? p.ownSignature[rev - 1] : nullptr);
                const sim::BootImage chip = sim::chooseBootImage(flash.data(), flash.size(), p, rev);
                EXPECT_TRUE(chip.found == tools.valid && (!chip.found || (chip.codeStart == tools.codeStart && chip.version == tools.version &&
                                                                          chip.manufacturing == tools.manufacturing)))
                    << image.name << " as " << p.model << ", changed at " << at;
                booted += chip.found;
            }
        }
    EXPECT_GT(booted, 10u);
}
