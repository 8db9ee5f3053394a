// One SPI NOR flash beside the bridge: its bytes, its status register and its timing. Two ways
// in: the operations the bridge performs on its own (read, program, erase, which wait for the
// flash themselves), and raw SPI transfers that the host spells out opcode by opcode, which
// behave as the part would on the wire (write enable needed, commands ignored while busy).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/flash_parts.h"

namespace sim {

// Status register bits.
constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusWel = 0x02;
constexpr uint8_t kStatusProtect = 0x3C;   // block protection bits
constexpr uint8_t kStatusSrwd = 0x80;

class SpiFlash {
public:
    explicit SpiFlash(const FlashPart& part);

    const FlashPart& part() const { return *part_; }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

    // Time: the busy bit stays set until the clock reaches readyAtUs().
    bool busy() const;
    uint8_t status() const;
    uint64_t readyAtUs() const { return readyAtUs_; }
    uint64_t readyAtMs() const { return (readyAtUs_ + 999) / 1000; }
    // Time the part has spent programming and erasing since it was made (microseconds).
    uint64_t busyUs() const { return busyUs_; }
    void setStuckBusy(bool on) { stuckBusy_ = on; }
    bool stuckBusy() const { return stuckBusy_; }

    // Operations the bridge runs itself. Out-of-range requests change nothing and return false.
    bool read(uint32_t addr, uint8_t* out, size_t len) const;
    bool program(uint32_t addr, const uint8_t* data, size_t len);         // NOR: old & data
    bool eraseUnitAt(uint32_t addr, uint32_t unit, uint32_t ms);           // unit containing addr
    void eraseChip();
    // Start of a bridge operation: it waits for the flash, then keeps it busy for `us`.
    void occupyUs(uint64_t us);
    // The bridge holds the command until the flash is done: time passes on the clock. Returns
    // how long it held it (microseconds).
    uint64_t waitUntilReady();

    // A raw SPI transfer: `mosi` is everything the host clocks out (opcode first); returns the
    // `misoLen` bytes the part drives back after it.
    std::vector<uint8_t> transfer(const std::vector<uint8_t>& mosi, size_t misoLen);

    // A power cut in the middle of the next write: only `bytes` more flash bytes change, then
    // the flash stops taking data. cutHappened() tells whether the budget ran out.
    void limitWrites(uint32_t bytes) { budget_ = bytes; }
    void clearWriteLimit() { budget_ = -1; }
    bool cutHappened() const { return cut_; }
    // How many times a byte of the flash has changed value since it was made.
    uint64_t changes() const { return changes_; }

private:
    bool writeByte(uint32_t addr, uint8_t value);   // NOR program of one byte, under the budget
    bool eraseRange(uint32_t base, uint32_t len);
    uint8_t replyByte(uint8_t op, size_t pos, uint32_t addr) const;
    void rawProgramPage(uint32_t addr, const uint8_t* data, size_t len);
    void rawErase(uint8_t op, uint32_t addr);
    void sstProgram(uint8_t op, const std::vector<uint8_t>& mosi);

    const FlashPart* part_;
    std::vector<uint8_t> bytes_;
    uint8_t statusBits_ = 0;     // WEL, protection, SRWD (busy is computed)
    bool statusWriteEnabled_ = false;   // 0x50 seen
    bool aai_ = false;           // SST auto-increment programming in progress
    uint32_t aaiAddr_ = 0;
    uint64_t readyAtUs_ = 0;
    uint64_t busyUs_ = 0;
    bool stuckBusy_ = false;
    int64_t budget_ = -1;        // flash bytes that may still change; -1: no limit
    bool cut_ = false;
    uint64_t changes_ = 0;
};

}  // namespace sim
