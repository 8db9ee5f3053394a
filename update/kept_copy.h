// The bytes an update keeps (the chip's NVRAM, the settings bytes of the legacy bridges) are read
// before the flash is erased and go back from that copy alone. A copy spoilt on its way from the
// chip would be written back as if it were the chip's own, and the read-back compare that follows
// could not tell: it compares the flash with the same spoilt copy. So the stretch is read until
// two reads in a row agree, before anything is erased.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace firmware {

constexpr int kKeptCopyReads = 3;

// `read` fills the buffer it is given with the `length` bytes of the stretch. True, with the copy
// in `kept`, when two reads in a row of at most kKeptCopyReads agree; false when a read fails or
// no two agree.
inline bool readKeptCopy(const std::function<bool(uint8_t*)>& read, uint8_t* kept, size_t length) {
    if (!read(kept)) return false;
    std::vector<uint8_t> again(length);
    for (int i = 1; i < kKeptCopyReads; ++i) {
        if (!read(again.data())) return false;
        if (std::memcmp(kept, again.data(), length) == 0) return true;
        std::memcpy(kept, again.data(), length);
    }
    return false;
}

}  // namespace firmware
