// What the enclosure's own files share: the request and result types of the transport seam, the
// data a command carried, the sizes of the chip's buffers, the big-endian fields of the CDBs.
// Not for use outside sim/enclosure*.cpp and sim/commands_*.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sys/bytes.h"
#include "transport/backend.h"

namespace sim::detail {

using sys::be16;
using sys::be24;
using sys::be32;
using transport::Direction;
using transport::Request;
using transport::Result;

constexpr uint32_t kSectorSize4K = 0x1000;
constexpr uint32_t kChipBufferSize = 0x10000;   // the QVR294's chip buffer

// The bytes the host sent with a data-out command, when it sent at least `need` of them.
inline const uint8_t* dataOut(const Request& req, size_t need) {
    if (need == 0) return req.data;
    if (req.dir != Direction::Out || req.data == nullptr || req.xferLen < need) return nullptr;
    return req.data;
}

}  // namespace sim::detail
