// The one rig the tests of the emulator, the flash operations and the update procedures start
// from: an emulated enclosure on a bus of its own, reached through either program's wrappers
// (`path`, `makerObject`), with every command on its way to the bus kept in `commands`, the device
// selected as the window selects it (`identify`, into `dev`), a window that records what a
// procedure shows (`w`), and the firmware file the user picks.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/IDEAccess.h"
#include "identify/chip_detect.h"
#include "identify/flash_detect.h"
#include "sim/session.h"
#include "transport/backend.h"
#include "update/update_window.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Commands on their way from the code under test to the emulated bus: each is kept with the data
// it sent; a test may refuse one before it reaches the bus (CHECK CONDITION) or alter the answer
// that comes back.
class CommandLog final : public transport::Backend {
public:
    struct Sent {
        Bytes cdb, data;   // data: what a data-out command sent
        uint32_t xferLen = 0;
    };
    explicit CommandLog(transport::Backend& next) : next_(next) {}
    transport::Result execute(const transport::Request& req) override {
        Sent s{Bytes(req.cdb, req.cdb + req.cdbLen), {}, req.xferLen};
        if (req.dir == transport::Direction::Out && req.data) s.data.assign(req.data, req.data + req.xferLen);
        sent.push_back(std::move(s));
        if (refuse && refuse(sent.back().cdb)) return transport::Result{true, true, 0, 2};
        if (swallow && swallow(sent.back().cdb)) return transport::Result{true, true, 0, 0, 0, 0, req.xferLen};
        transport::Result r = next_.execute(req);
        if (alter) alter(req, r);
        return r;
    }
    size_t count(uint8_t op) const {
        return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [&](const Sent& s) { return s.cdb[0] == op; }));
    }

    std::vector<Sent> sent;
    std::function<bool(const Bytes& cdb)> refuse;
    std::function<bool(const Bytes& cdb)> swallow;   // answered GOOD without reaching the bus
    std::function<void(const transport::Request&, transport::Result&)> alter;

private:
    transport::Backend& next_;
};

struct EnclosureRig {
    sim::Session session;
    CommandLog commands{session.bus()};
    transport::ScopedBackend scoped{commands};
    sim::Enclosure* enc = nullptr;
    std::string path;            // the Windows device path
    uint32_t makerObject = 0;    // the macOS device object
    vendor::DeviceRecord record;
    firmware::SelectedDevice dev;
    firmware::RecordingWindow w;

    // `prepare` changes the enclosure before its chip boots again (a blank flash, say).
    explicit EnclosureRig(const std::string& text, const std::function<void(sim::Enclosure&)>& prepare = {}) {
        std::string error;
        EXPECT_TRUE(session.bus().addEnclosure(text, error)) << error;
        enc = &session.bus().enclosure(0);
        if (prepare) {
            prepare(*enc);
            enc->reboot();
        }
        const sim::DeviceInfo d = session.bus().deviceOf(0);
        path = d.windowsPath;
        makerObject = d.makerObject;
    }
    ~EnclosureRig() {
        if (!w.firmwareFile_.empty()) std::filesystem::remove(w.firmwareFile_);
    }
    EnclosureRig(const EnclosureRig&) = delete;
    EnclosureRig& operator=(const EnclosureRig&) = delete;

    // As the window does when the device is selected: its chip and flash. What identification
    // sent is not the test's: the log starts afresh.
    void identify() {
        dev.path = record.path = session.bus().deviceOf(0).windowsPath;
        dev.chip = IDEAccess::DetectChipType(dev.path);
        dev.flash = IDEAccess::DetectFlash(dev.path, dev.chip.type, dev.chip.revision);
        dev.record = &record;
        commands.sent.clear();
    }
    // The firmware file the user chose.
    void pick(const Bytes& bytes) {
        const auto* t = ::testing::UnitTest::GetInstance()->current_test_info();
        w.firmwareFile_ = (std::filesystem::temp_directory_path() /
                           (std::string("q55x_") + t->test_suite_name() + "_" + t->name() + ".bin"))
                              .string();
        std::ofstream(w.firmwareFile_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Bytes flash(size_t at, size_t n) const { return Bytes(enc->flash().begin() + at, enc->flash().begin() + at + n); }
    void setFlash(size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), enc->flash().begin() + at); }
    Bytes chipInfo() {
        Bytes b(16, 0);
        EXPECT_TRUE(IDEAccess::QV_GetChipInfo(session.bus().deviceOf(0).windowsPath, b.data(), 16));
        return b;
    }
    // The version bytes the chip reports once it is back on the bus after its reset.
    Bytes versionAfterReset(size_t n) {
        session.clock().advanceMs(enc->config().resetDelayMs + 1);
        const Bytes info = chipInfo();
        return Bytes(info.begin() + 12, info.begin() + 12 + static_cast<long>(n));
    }
    // Resets the chip and waits on the virtual clock until it is back.
    void resetAndWait() {
        ASSERT_TRUE(IDEAccess::QV_ChipReset256(path));
        session.clock().advanceMs(3000);
        path = session.bus().deviceOf(0).windowsPath;
        ASSERT_FALSE(path.empty());
    }
    bool said(std::string_view text) const {
        return std::find(w.statusHistory.begin(), w.statusHistory.end(), text) != w.statusHistory.end();
    }
    // The boxes the procedure showed, as "Title: text".
    std::vector<std::string> boxes() const {
        std::vector<std::string> out;
        for (const auto& b : w.boxes) out.push_back(b.title + ": " + b.text);
        return out;
    }
};

}  // namespace testing_support
