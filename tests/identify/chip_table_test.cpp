// The chip table held against what it models: the macOS program's own code table, and the
// emulator's personas (the hardware as the emulator plays it). Every persona is identified by
// both programs as a row whose facts are the persona's; every chip type identification can
// produce is played by a persona.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sim/session.h"
#include "transport/maclib/qvlib.h"
#include "identify/chip_detect.h"
#include "identify/chip_table.h"

namespace {

using vendor::ChipRow;

TEST(ChipTable, MacNumbersAreTheMacCodeTable) {
    // Each macOS number names one row, whose code is the macOS table's code for that number.
    for (int m = 0; m < vendor::kQVChipTypeCount; ++m) {
        SCOPED_TRACE(m);
        const ChipRow& row = vendor::chipRowOfMac(static_cast<uint32_t>(m));
        EXPECT_EQ(row.mac, m);
        EXPECT_EQ(row.code, std::string(vendor::tbl_QVChipString[m]));
    }
    // A code lookup gives the two programs the same model.
    for (const char* code : {"552", "553", "556", "528", "525", "529", "523", "227", "256", "296", "298", "253", "276"})
        EXPECT_EQ(vendor::chipRow(vendor::chipTypeOfCode(code)).mac, vendor::qvChipTypeOfCode(code)) << code;
}

TEST(ChipTable, EveryPersonaIsARowAndEveryIdentifiableRowAPersona) {
    std::set<int> played;
    size_t count = 0;
    const sim::ChipPersona* personas = sim::chipPersonas(&count);
    for (size_t i = 0; i < count; ++i) {
        const sim::ChipPersona& p = personas[i];
        SCOPED_TRACE(p.model);
        sim::Session session;
        std::string error;
        ASSERT_TRUE(session.bus().addEnclosure(p.model, error)) << error;
        const sim::DeviceInfo& d = session.bus().deviceOf(0);

        const vendor::ChipId win = IDEAccess::DetectChipType(d.windowsPath);
        const ChipRow& row = vendor::chipRow(win.type);
        ASSERT_NE(win.type, 0) << "the Windows program does not know the model";
        played.insert(win.type);

        // The macOS program knows the same row; where it has no number for the model, or tells it
        // apart by its ODD string (which the emulated maker library's short reply does not bring),
        // the row of its code.
        ASSERT_EQ(openConnection(d.makerObject), 0);
        const uint64_t mac = qvaccess::QV_GetChipID_Version(d.makerObject);
        closeConnection(d.makerObject);
        const ChipRow& macRow = vendor::chipRowOfMac(static_cast<uint32_t>(mac & 0xFFFFFFFFu));
        if (row.mac != vendor::kNoMacType && row.identity.odd.text.empty()) {
            EXPECT_EQ(&macRow, &row);
        } else {
            EXPECT_TRUE(macRow.win == 0 || macRow.code == row.code) << "macOS: " << int(macRow.win);
        }

        // What the row says of the chip is what the chip is.
        if (p.chipCode) {
            EXPECT_TRUE(row.code == p.chipCode || row.identity.infoAlias == p.chipCode) << row.code;
        }
        const vendor::FlashLayout layout = p.layout == sim::ImageLayout::TwoBank      ? vendor::FlashLayout::TwoBank
                                           : p.layout == sim::ImageLayout::SingleBank ? vendor::FlashLayout::SingleBank
                                                                                      : vendor::FlashLayout::NvramFirst;
        EXPECT_EQ(row.layout, layout);
        if (layout == vendor::FlashLayout::SingleBank) {
            EXPECT_EQ(row.codeEnd, p.codeEnd);
        }
        if (row.run.usual != vendor::RunProcedure::None) {
            EXPECT_NE(row.read, vendor::ReadRoute::None) << "an update without a backup";
            EXPECT_EQ(row.support, vendor::ChipSupport::FlashAndVersion);
        }
    }
    // Identification gives 0 for what it does not know and never produces 10 or 19 to 25 (their
    // codes belong to earlier rows); every other row is a model the emulator plays.
    for (const ChipRow& row : vendor::chipTable()) {
        const bool neverProduced = row.win == 0 || row.win == 10 || (row.win >= 19 && row.win <= 25);
        EXPECT_EQ(played.count(row.win) == 1, !neverProduced) << "chip type " << int(row.win) << " " << row.name;
    }
}

}  // namespace
