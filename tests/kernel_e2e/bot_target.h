// The USB side of an emulated bridge as the kernel's usb-storage driver meets it: Bulk-Only
// Transport command and status wrappers, and the SCSI target behind them. The target hands every
// command to a virtual enclosure, except the few that a real bridge answers in its USB function
// rather than through its chip's command set:
//   REQUEST SENSE      usb-storage asks for the sense after every failed command (autosense)
//   READ CAPACITY(10)  and READ(10)/WRITE(10): the block layer's commands, carried to the disk as
//                      READ CAPACITY(16) and READ(16)/WRITE(16), which the enclosure answers
// Nothing here touches a device: the FunctionFS program (ffs_bridge.cpp) moves the bytes.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "sim/enclosure.h"

namespace kernel_e2e {

constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint32_t kCbwSignature = 0x43425355;   // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;   // "USBS"

enum class CswStatus : uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

struct Cbw {
    uint32_t tag = 0;
    uint32_t dataLength = 0;   // dCBWDataTransferLength: what the host will move
    bool dataIn = false;
    uint8_t lun = 0;
    uint8_t cdbLen = 0;
    std::array<uint8_t, 16> cdb{};
};

// False for anything that is not a meaningful CBW: wrong size or signature, a CDB length outside
// 1..16, reserved bits set. Such a wrapper is answered by stalling, never by running its bytes.
bool parseCbw(const uint8_t* bytes, size_t size, Cbw& out);
std::array<uint8_t, kCswSize> makeCsw(uint32_t tag, uint32_t residue, CswStatus status);

struct TargetReply {
    CswStatus status = CswStatus::Passed;
    uint32_t moved = 0;        // data-in bytes produced (data-out: bytes taken)
    uint32_t residue = 0;      // dCSWDataResidue
    sim::CommandOutcome bus = sim::CommandOutcome::Stay;
};

class BridgeTarget {
public:
    explicit BridgeTarget(sim::Enclosure& enclosure) : enclosure_(enclosure) {}

    // Runs one command. Data-in: `data` has room for cbw.dataLength bytes. Data-out: `data` holds
    // the `received` bytes the host sent.
    TargetReply execute(const Cbw& cbw, uint8_t* data, uint32_t received);

    // The 18 bytes REQUEST SENSE returns now (fixed format).
    const std::array<uint8_t, 18>& pendingSense() const { return sense_; }

private:
    TargetReply forward(const Cbw& cbw, const uint8_t* cdb, uint8_t cdbLen, uint8_t* data, uint32_t xferLen);
    TargetReply requestSense(const Cbw& cbw, uint8_t* data);
    TargetReply readCapacity10(const Cbw& cbw, uint8_t* data);
    void setSense(uint8_t key, uint8_t asc, uint8_t ascq);

    sim::Enclosure& enclosure_;
    std::array<uint8_t, 18> sense_{0x70, 0, 0, 0, 0, 0, 0, 10};
};

}  // namespace kernel_e2e
