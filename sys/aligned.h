// Data areas handed to a device are zero-filled and aligned to 8192 bytes. The three classic
// routines keep their names for the places that mirror them; our own code holds such an area in
// an AlignedBuffer, which frees it on every path.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace sys {

constexpr size_t kDeviceAlignment = 8192;

// Allocates size + alignment zero-filled bytes; nullptr when that cannot be had.
void* MEMALLOC_ALIGN(size_t size, size_t alignment = kDeviceAlignment);
// The first address at or above p that is a multiple of alignment (a power of two).
inline uint8_t* MEMADDR_ALIGN(void* p, size_t alignment = kDeviceAlignment) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<uint8_t*>((a + alignment - 1) & ~(uintptr_t)(alignment - 1));
}
// Frees a block from MEMALLOC_ALIGN; nullptr is allowed.
void MEMALLOC_FREE(void* block);

// Owned, zero-filled, 8192-aligned area of a fixed size.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(size_t size) { reset(size); }
    // Returns false when the memory cannot be had (the buffer is then empty).
    bool reset(size_t size);
    bool ok() const { return block_ != nullptr; }   // false before the first reset() and after a failed one
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint8_t& operator[](size_t i) { return data_[i]; }
    const uint8_t& operator[](size_t i) const { return data_[i]; }
    void zero() { if (data_) std::memset(data_, 0, size_); }

private:
    struct Free { void operator()(void* p) const { MEMALLOC_FREE(p); } };
    std::unique_ptr<void, Free> block_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace sys
