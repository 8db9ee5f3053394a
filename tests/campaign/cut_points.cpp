#include "campaign/cut_points.h"

#include <algorithm>

namespace campaign {

std::vector<CutPoint> cutPoints(uint64_t commands, uint64_t runUs, uint64_t perKind, uint64_t stride) {
    std::vector<CutPoint> out;
    const uint64_t step = stride ? stride : std::max<uint64_t>(1, (commands + perKind - 1) / std::max<uint64_t>(perKind, 1));
    for (uint64_t k = 1; k <= commands; ++k)
        if (k % step == 0 || k <= 3 || k + 3 > commands) out.push_back({k, 0});
    // One instant in each of perKind equal slices of the run, placed by a fixed sequence (repeatable).
    const uint64_t slices = std::min(perKind, runUs);
    for (uint64_t i = 0, mix = 0x9E3779B97F4A7C15ull; i < slices; ++i) {
        mix ^= mix >> 29, mix *= 0xBF58476D1CE4E5B9ull, mix ^= mix >> 32;
        const uint64_t from = runUs * i / slices, to = runUs * (i + 1) / slices;
        out.push_back({0, 1 + from + mix % std::max<uint64_t>(1, to - from)});
    }
    return out;
}

}  // namespace campaign
