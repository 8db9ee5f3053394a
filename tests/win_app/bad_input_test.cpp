// The window's "Load File" and "Run" handed files that are no firmware: empty, a directory,
// missing, larger than any flash, larger than the flash addresses reach. Whatever the family's
// procedure, the user reads why, and no command carries data to the enclosure, whose flash stays
// as it was.
#include <algorithm>

#include <filesystem>
#include <fstream>

#include "win_app/fixture.h"

using wintest::Bytes;
using wintest::FormRig;
namespace fs = std::filesystem;

namespace {

struct BadFiles {
    fs::path dir = fs::temp_directory_path() / ("q55x_winapp_badinput_" + wintest::processTag());
    BadFiles() {
        fs::remove_all(dir);
        fs::create_directories(dir / "folder.bin");
        std::ofstream(dir / "empty.bin").close();
        sparse("huge.bin", firmware::kMaxFirmwareFile + 1);
        sparse("beyond24bit.bin", (16u << 20) + 1);
    }
    ~BadFiles() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void sparse(const char* name, uintmax_t size) const {
        std::ofstream(dir / name).close();
        fs::resize_file(dir / name, size);
    }
    std::string operator()(const char* name) const { return (dir / name).string(); }
};

// Raw SPI cycles (FF 04 20) that change the flash: anything but an identification, a status
// read or a data read. The write enable and the status unprotect carry no data, so a count of
// data-out commands does not see them.
size_t flashChangingSpiCycles(const wintest::CommandLog& log) {
    size_t n = 0;
    for (const auto& s : log.sent) {
        if (s.cdb.size() < 6 || s.cdb[0] != 0xFF || s.cdb[1] != 0x04 || s.cdb[2] != 0x20) continue;
        switch (s.cdb[5]) {
            case 0x9F: case 0x90: case 0xAB: case 0x15: case 0x05: case 0x03: case 0x0B: break;
            default: ++n;
        }
    }
    return n;
}

// Everything the user was shown: the status line and the message boxes.
std::string shown(FormRig& rig) {
    std::string s = rig.f().StatusEdit.text();
    for (const std::string& b : rig.boxes()) s += " | " + b;
    return s;
}

}  // namespace

TEST(WinAppBadInput, RunRefusesFilesThatAreNoFirmware) {
    const BadFiles files;
    int runs = 0;
    struct Case { const char* enclosure; const char* file; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             // The QVD528's own procedure: reads the chip's NVRAM, then refuses before it touches
             // the flash's protection bits.
             {"qvd528", "empty.bin", "The firmware file seems not match this chip!"},
             {"qvd528", "folder.bin", "Open File Error!!"},
             {"qvd528", "missing.bin", "Open File Error!!"},
             {"qvd528", "huge.bin", "Open File Error!!"},
             {"qvd528", "beyond24bit.bin", "The firmware file seems not match this chip!"},
             // The direct update of the single-bank and QVR29x families.
             {"qvr256", "empty.bin", "The firmware file seems not match this chip!"},
             {"qvr256", "folder.bin", "Open File Error!!"},
             {"qvr256", "huge.bin", "Open File Error!!"},
             // The legacy bridges.
             {"qv84556", "empty.bin", "The firmware file seems not match this chip!"},
             {"qv84556", "folder.bin", "Open File Error!!"},
             {"qv84556", "beyond24bit.bin", "The firmware file seems not match this chip!"}}) {
        SCOPED_TRACE(std::string(c.enclosure) + " " + c.file);
        FormRig rig({c.enclosure});
        const Bytes before = rig.enclosure().flash();
        rig.load(files(c.file));
        rig.ui.boxes.clear();
        // The window offers "Run" for these files; Run says why it refuses them: a file that can
        // be read is checked against the chip first, one that cannot reaches the procedure.
        if (rig.f().UpdateBtn.enabled()) {
            ++runs;
            rig.f().UpdateBtn.click();
            EXPECT_NE(shown(rig).find(c.says), std::string::npos) << shown(rig);
        }
        EXPECT_EQ(rig.log.dataOut(), 0u) << shown(rig);
        EXPECT_EQ(flashChangingSpiCycles(rig.log), 0u) << "write enable or status write; " << shown(rig);
        EXPECT_TRUE(rig.enclosure().flash() == before) << "the flash changed; " << shown(rig);
    }
    EXPECT_EQ(runs, 11) << "each case reaches its family's procedure";
}

TEST(WinAppBadInput, LoadFileOfTheQvr29xFamily) {
    const BadFiles files;
    struct Case { const char* file; const char* status; };
    for (const Case& c : std::initializer_list<Case>{
             {"folder.bin", "Open FW File Error!!"},
             {"missing.bin", "Open FW File Error!!"},
             {"empty.bin", "Allocate FW file buffers Error!!"},
             {"huge.bin", "Allocate FW file buffers Error!!"}}) {
        SCOPED_TRACE(c.file);
        FormRig rig({"qvr298,fw=31.01.01.10"});
        const Bytes before = rig.enclosure().flash();
        rig.load(files(c.file));
        EXPECT_EQ(rig.f().StatusEdit.text(), c.status);
        EXPECT_FALSE(rig.f().UpdateBtn.enabled());
        EXPECT_EQ(rig.log.dataOut(), 0u);
        EXPECT_TRUE(rig.enclosure().flash() == before);
    }
}

TEST(WinAppBadInput, MoreBridgesThanTheScanHasSlotsFor) {
    // 18 bridges: 16 are listed, and the user is told once that 2 were left out, not again at
    // every rescan while they stay.
    FormRig rig({"qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298",
                 "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298", "qvr298"});
    const std::string warning =
        "Warning: 2 device(s) were left out: the tool lists at most 16 devices, each with a path of at most 255 characters.";
    EXPECT_EQ(rig.f().DeviceList.items().size(), 16u);
    const auto warnings = [&] {
        const std::vector<std::string> boxes = rig.boxes();
        return std::count(boxes.begin(), boxes.end(), warning);
    };
    EXPECT_EQ(warnings(), 1) << shown(rig);
    rig.f().RefreshBtnClick();
    EXPECT_EQ(warnings(), 1) << shown(rig);
}
