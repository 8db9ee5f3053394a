// One SPI NOR flash beside the bridge: its bytes, its status register and its timing. Two ways
// in: the operations the bridge performs on its own (read, program, erase; the bridge sends the
// write enable and waits between the steps of one operation itself), and raw SPI transfers that
// the host spells out opcode by opcode, which behave as the part would on the wire (write enable
// needed, commands ignored while busy).
//
// The part is as unkind as a real one unless told to be gentle: an operation the bridge passes on
// while the part is busy is lost and a read then returns what an undriven bus does (FF), protection
// bits hold off program and erase, a program wraps inside its page, addresses wrap at the end of
// the part, and power lost while a program or erase runs leaves the bits it was changing half way,
// some of them reading differently from one read to the next. Gentle is the behaviour of the
// emulator's first versions, kept for comparison: everything queued, nothing protected or wrapped,
// a power cut only ever between two bytes of one command.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
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

    void setGentle(bool on) { gentle_ = on; }
    bool gentle() const { return gentle_; }
    void setTimes(FlashTimes t) { times_ = t; }
    void seed(uint64_t s) { rng_.seed(static_cast<std::mt19937_64::result_type>(s)); }
    // Power comes on: the write-enable latch and any auto-increment mode are gone, and a part
    // whose protection is volatile comes up locked.
    void powerOn();
    // The status register's non-volatile bits (protection, SRWD), for the state file.
    uint8_t keptStatus() const { return statusBits_ & (kStatusProtect | kStatusSrwd); }
    void setKeptStatus(uint8_t s) { statusBits_ = s & (kStatusProtect | kStatusSrwd); }
    // The chip's own flash writers (its direct write, its buffer programming) clear the block
    // protection with a status write of 00 before they erase; the serial-flash set does not.
    void unprotectForChip() { statusBits_ &= static_cast<uint8_t>(~kStatusProtect); }
    // An operation the bridge passes on now reaches the part (false: it is busy and drops it).
    bool takesCommands() const { return gentle_ || !busy(); }

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

    // Operations the bridge runs itself. Gentle: out-of-range requests change nothing and return
    // false. Otherwise addresses wrap at the end of the part, a program goes out page by page
    // from `addr` (each wrapping inside its page), and a protected part ignores program and erase.
    bool read(uint32_t addr, uint8_t* out, size_t len) const;
    bool program(uint32_t addr, const uint8_t* data, size_t len);         // NOR: old & data
    bool eraseUnitAt(uint32_t addr, uint32_t unit, uint32_t ms);           // unit containing addr
    void eraseChip();
    // The bridge's erase by SPI opcode: the part's unit for that opcode, nothing when it has none.
    void eraseByOpcode(uint8_t op, uint32_t addr);
    // How long this part takes for a unit (the times it was told to take).
    uint32_t eraseMs(uint32_t unit) const { return eraseMsOf(*part_, unit, times_); }
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

    // Power lost at the instant `us` (at or before now): an operation still running then leaves
    // its bits half way (unstable ones read differently each time), one that was to start after
    // it never happened. The part is idle afterwards. Gentle: nothing changes.
    void cutPowerAt(uint64_t us);
    // Bytes whose bits a cut left unstable.
    size_t unstableBytes() const;

private:
    // A program or erase the part is (or was) busy with: its span of time and the bytes before.
    struct Running {
        uint64_t startUs, endUs;
        uint32_t base;
        std::vector<uint8_t> before;
    };

    bool writeByte(uint32_t addr, uint8_t value);   // NOR program of one byte, under the budget
    uint8_t byteAt(uint32_t addr) const;           // what a read sees, unstable bits included
    bool isProtected() const { return !gentle_ && (statusBits_ & kStatusProtect); }
    // Records the bytes [base, base+len) before an operation that runs for `us` from when the
    // part is next free, and occupies it for that time.
    void begin(uint32_t base, uint32_t len, uint64_t us);
    void programPiece(uint32_t addr, const uint8_t* data, size_t len);
    bool eraseRange(uint32_t base, uint32_t len);
    uint8_t replyByte(uint8_t op, size_t pos, uint32_t addr) const;
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
    bool gentle_ = false;
    FlashTimes times_ = FlashTimes::Typical;
    std::vector<Running> running_;
    std::vector<uint8_t> unstable_;   // per byte, the bits a cut left unstable (empty: none)
    mutable std::mt19937_64 rng_{1};
};

}  // namespace sim
