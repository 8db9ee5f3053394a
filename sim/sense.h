// Every sense reply the emulated bridge gives, by name: what the host reads in the fixed-format
// sense data (key at byte 2, ASC and ASCQ at bytes 12 and 13) when a command ends in CHECK
// CONDITION.
#pragma once
#include <cstdint>

namespace sim {

struct Sense {
    uint8_t key, asc, ascq;
};

namespace sense {

// ILLEGAL REQUEST: a command the chip does not take, or takes only otherwise.
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};      // invalid command operation code
constexpr Sense kAddressOutOfRange{0x05, 0x21, 0x00};  // logical block address out of range
constexpr Sense kInvalidField{0x05, 0x24, 0x00};       // invalid field in CDB
constexpr Sense kInvalidParameter{0x05, 0x26, 0x00};   // invalid field in parameter list
constexpr Sense kSequenceError{0x05, 0x2C, 0x00};      // command sequence error
// HARDWARE ERROR, internal target failure: the flash did not finish (stuck busy) or is missing.
constexpr Sense kFlashNotDone{0x04, 0x44, 0x00};
// NOT READY, becoming ready: the buffer commands while the chip settles (the notready fault).
constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
// ABORTED COMMAND: the fail and failevery faults.
constexpr Sense kAborted{0x0B, 0x00, 0x00};

}  // namespace sense
}  // namespace sim
