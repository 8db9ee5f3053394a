// Where the power-cut campaign cuts a run: during its Nth command, and at instants spread evenly
// over its virtual time, so that cuts land where the time goes (the flash's busy time).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace campaign {

struct CutPoint {
    uint64_t command = 0, atUs = 0;   // cut during that command (1-based), or (0) at that instant
};
// About perKind of each (every stride-th command instead, when given; the first and last three always).
std::vector<CutPoint> cutPoints(uint64_t commands, uint64_t runUs, uint64_t perKind, uint64_t stride);
std::string instantsText(const std::vector<uint64_t>& us);   // "12.5,40.1,..." (ms) for a table cell

}  // namespace campaign
