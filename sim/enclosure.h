// One virtual enclosure: a bridge chip (its persona), the SPI flash beside it, the disk behind it,
// and the faults it is told to show. It answers one command at a time; the bus decides whether
// it is attached and carries out resets and departures.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/chip_personas.h"
#include "sim/disk.h"
#include "sim/enclosure_config.h"
#include "sim/faults.h"
#include "sim/sense.h"
#include "sim/spi_flash.h"
#include "transport/backend.h"

namespace sim {

// What the chip runs after its boot.
//   Firmware            a valid firmware in flash. Buffer-command chips: chip information byte 6 = 1,
//                       bytes 12-15 the header version; descriptor boundary 12, capacity = flash
//                       size (at most 512 KiB); WRITE BUFFER mode 14 programs flash.
//   RomCode             no valid firmware: the internal ROM code. Buffer-command chips act as the
//                       ROM loader: byte 6 = 2, version "0000", descriptor boundary 0xFF, capacity
//                       64 KiB; WRITE BUFFER mode 6 with 64 KiB downloads a manufacturing image.
//   ManufacturingRam    a downloaded manufacturing image runs from RAM: byte 6 = 2, bytes 8-10 and
//                       the version from the downloaded header, descriptor as for Firmware. A reset
//                       loses it.
//   ManufacturingFlash  the flash holds a manufacturing image (ASCII version, flag 'M'): byte 6 = 3.
enum class BootState : uint8_t { Firmware, RomCode, ManufacturingRam, ManufacturingFlash };
const char* bootStateName(BootState s);

// What a command did to the enclosure's place on the bus.
enum class CommandOutcome : uint8_t { Stay, Reset, Drop, PowerCut };

constexpr uint32_t kProductAreaOffset = 0x44000;
constexpr uint32_t kProductAreaSize = 4096;
constexpr uint32_t kProductRecordSize = 72;
constexpr uint32_t kRamBufferSize = 0x10000;
constexpr uint32_t kBufferCapacityLimit = 0x80000;

class Enclosure {
public:
    // False with a reason when the configuration cannot be built (bad state file, say).
    static std::unique_ptr<Enclosure> create(const EnclosureConfig& config, std::string& error);

    const ChipPersona& persona() const { return *persona_; }
    const EnclosureConfig& config() const { return config_; }
    Faults& faults() { return faults_; }
    Disk& disk() { return disk_; }

    bool hasFlash() const { return flash_ != nullptr; }
    SpiFlash* flashChip() { return flash_.get(); }
    // The flash bytes (empty without flash). Tests may change them; the chip sees the change at
    // its next boot.
    std::vector<uint8_t>& flash();
    // The chip's 4 KiB settings area as it stands in flash (empty for chips that keep none).
    std::vector<uint8_t> nvram() const;

    BootState bootState() const { return state_; }
    int resetCount() const { return resets_; }
    uint64_t commandCount() const { return commands_; }
    // Time on the clock this enclosure took: its commands on the wire (bus_timing.h), and the
    // commands it held until its flash was done (microseconds, since it was made).
    uint64_t transferUs() const { return transferUs_; }
    uint64_t heldUs() const { return heldUs_; }
    bool poweredOff() const { return poweredOff_; }
    // Power goes when the clock has reached the instant faults().powerCutAtUs() names, whether or
    // not a command is under way then: true when it went now.
    bool cutPowerIfDue();
    std::vector<uint8_t> chipInfo() const;         // the 16-byte chip information record
    // The USB vendor and product identifiers the chip answers with now: its ROM loader and
    // manufacturing code may answer with others (romid=).
    std::pair<uint16_t, uint16_t> usbIds() const;
    std::vector<uint8_t> bufferDescriptor() const; // READ BUFFER mode 3

    // What the chip does at power-on and after every reset: reads its flash and starts the
    // firmware it finds there, or its ROM code.
    void reboot();

    transport::Result execute(const transport::Request& req, CommandOutcome& outcome);

    // Saves flash and disk to the state file, when the configuration names one.
    bool saveState(std::string& error) const;
    // Takes the flash and disk as the state file holds them now (another process wrote them);
    // the chip goes on running what it runs. False, with nothing changed, when it cannot be read.
    bool reloadState(std::string& error);

private:
    struct Reply {
        bool good = true;
        Sense sense{};
        std::vector<uint8_t> data;
        bool flashOrDiskRead = false;   // counts for the bit-flip fault
        // The chip sends `data` and no more: asked for more, it leaves a residual. (Otherwise the
        // reply fills what was asked for, zeros after `data`.)
        bool exactLength = false;
        CommandOutcome outcome = CommandOutcome::Stay;
    };

    Enclosure(const EnclosureConfig& config, const ChipPersona& persona, const FlashPart* part);

    // A command the chip refuses: CHECK CONDITION with this sense.
    static Reply refused(Sense s) {
        Reply r;
        r.good = false;
        r.sense = s;
        return r;
    }

    // The command handlers (command_dispatch.cpp, commands_*.cpp).
    Reply dispatch(const transport::Request& req);
    Reply inquiry(const transport::Request& req);
    Reply serialFlash(const transport::Request& req);
    Reply registerOrNvram(const transport::Request& req);
    Reply readBuffer(const transport::Request& req);
    Reply writeBuffer(const transport::Request& req);
    Reply productInfo(const transport::Request& req);
    Reply flash294(const transport::Request& req);
    Reply ata(const transport::Request& req);

    std::vector<uint8_t> chipStatus() const;
    std::string imageChipCode() const;
    void eraseByMode(uint8_t mode, uint32_t addr);
    void noteChipErased() { bufferErased_.clear(); }
    // Power lost at the instant `us`: what the flash was doing then stays half done, RAM and
    // buffers are lost, the device is gone.
    void losePower(uint64_t us);
    bool programThroughBuffer(uint32_t offset, const uint8_t* data, uint32_t len);
    bool running() const { return state_ != BootState::RomCode; }
    uint32_t capacity() const;

    EnclosureConfig config_;
    const ChipPersona* persona_;
    std::unique_ptr<SpiFlash> flash_;
    std::vector<uint8_t> noFlash_;
    Disk disk_;
    Faults faults_;

    BootState state_ = BootState::RomCode;
    std::vector<uint8_t> version_;         // version bytes of the running image
    std::vector<uint8_t> ram_;             // RAM download buffer (ROM loader)
    std::vector<uint8_t> chipBuffer_;      // QVR294 chip buffer
    std::vector<uint8_t> registers_;       // 64 KiB register space
    std::optional<std::vector<uint8_t>> pendingSpi_;   // a raw SPI cycle waiting for its data or reply
    uint8_t sectorEraseOp_ = 0x20;
    uint8_t chipEraseOp_ = 0xC7, programOp_ = 0x02;   // as FF 04 0F last set them
    bool paraSet_ = false;                 // FF 04 0F was sent since the chip started
    std::set<uint32_t> bufferErased_;      // 4 KiB sectors erased by buffer programming since a chip erase
    int resets_ = 0;
    uint64_t commands_ = 0, matching_ = 0, dataIns_ = 0, reads_ = 0, statusReads_ = 0;
    uint64_t notReadyUntilMs_ = 0;         // the buffer commands answer NOT READY until then
    uint64_t transferUs_ = 0, heldUs_ = 0;
    bool poweredOff_ = false;
};

}  // namespace sim
