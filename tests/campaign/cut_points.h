// Where the power-cut campaign cuts a run: during its Nth command, and at instants spread evenly
// over its virtual time, so that cuts land where the time goes (the flash's busy time).
#pragma once
#include <cstdint>
#include <vector>

namespace campaign {

struct CutPoint { uint64_t command = 0, atUs = 0; };   // during that command (1-based), or (0) at that instant
// About perKind of each (every stride-th command instead, when given; the first and last three always).
std::vector<CutPoint> cutPoints(uint64_t commands, uint64_t runUs, uint64_t perKind, uint64_t stride);

}  // namespace campaign
