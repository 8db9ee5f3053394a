// Moving a firmware image through the QVR29x bridges' RAM buffer (macOS): the chip takes the
// image by WRITE BUFFER and programs its flash itself, and gives the flash back by READ BUFFER.
// The buffer descriptor (READ BUFFER mode 3) says whether the chip is ready for that.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vendor {

// READ BUFFER mode 3, buffer 0, 4 bytes: byte 0 the offset boundary (a power of two), bytes 1-3
// the capacity, big-endian.
struct BufferDescriptor {
    uint8_t boundary = 0;
    uint32_t capacity = 0;
};

inline BufferDescriptor bufferDescriptorOf(const uint8_t* reply4) {
    return {reply4[0], static_cast<uint32_t>(reply4[1]) << 16 | static_cast<uint32_t>(reply4[2]) << 8 | reply4[3]};
}

constexpr uint8_t kBufferDescriptorMode = 3;
constexpr uint8_t kBufferDataMode = 1;
constexpr uint8_t kBufferProgramMode = 14;
constexpr uint8_t kBufferBoundary4K = 12;          // firmware running: the buffer programs flash
constexpr uint8_t kRamLoaderBoundary = 0xFF;       // ROM loader: the buffer takes a RAM image
constexpr uint32_t kRamLoaderCapacity = 0x10000;
constexpr uint32_t kBufferTransferUnit = 4096;     // bytes per READ/WRITE BUFFER command
constexpr uint32_t kBufferImageRounding = 512;
constexpr uint32_t kMfgCodeReadLength = 0x40000;   // what a chip on manufacturing code gives back
constexpr uint32_t kBufferOffsetSpace = 0x1000000; // 24-bit buffer offsets

}  // namespace vendor

namespace qvaccess {

using Device = uint32_t;

// Programs the flash through the RAM buffer from buffer offset `offset`. The amount is the
// descriptor's capacity rounded up to 512 bytes, whatever `imageLength` is; bytes beyond the
// caller's image go out as zeros, the same bytes a zero-filled image buffer of full size gives.
// A chip on its manufacturing code is erased first (NVRAM write of mode 3, length 0).
// `alternate` (the RAM download) is not carried out here: it always fails, after reading the
// descriptor and before anything else is sent.
// False when the descriptor cannot be read, its boundary is not 12, its capacity is 0, the range
// leaves the 24-bit offsets, or a command fails.
bool fn_WriteBuffer298(Device dev, uint32_t offset, const uint8_t* image, size_t imageLength, bool alternate);

// Reads the flash back through buffer `bufferId` from `offset`: 0x40000 bytes when the chip runs
// its manufacturing code, else the descriptor's capacity, then hands the first `length` bytes to
// `out` (zeros past what was read), also after a failed read. Nothing is written to `out` beyond
// `length`, and when the descriptor cannot be read or is not the 4 KiB one, nothing at all.
bool fn_ReadBuffer298(Device dev, uint32_t offset, uint8_t* out, size_t length, uint8_t bufferId);

}  // namespace qvaccess
