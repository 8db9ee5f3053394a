// The byte helpers every layer shares: rounding a length up to a unit, big-endian fields as the
// CDBs and the chips' records carry them, and hex text for traces, dumps and messages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sys {

constexpr size_t roundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// Byte `n` of `v`, counted from the least significant (0).
constexpr uint8_t byteOf(uint64_t v, unsigned n) { return static_cast<uint8_t>(v >> (8 * n)); }

constexpr uint32_t be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
constexpr uint32_t be24(const uint8_t* p) { return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]; }
constexpr uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | be24(p + 1); }

// Two digits a byte, no separators: lower case (traces, JSON) or upper case (messages).
std::string toHex(const uint8_t* p, size_t n);
std::string toHexUpper(const uint8_t* p, size_t n);
inline std::string hexByte(unsigned v) {
    const uint8_t b = static_cast<uint8_t>(v);
    return toHexUpper(&b, 1);
}

}  // namespace sys
