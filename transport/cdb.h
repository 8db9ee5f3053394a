// A command descriptor block of 6 to 16 bytes; bytes not set are zero.
#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace transport {

struct Cdb {
    std::array<uint8_t, 16> b{};
    uint8_t len = 0;

    Cdb() = default;
    // Cdb{12, {0xE0, 0xF4, 0xE7}}: length 12, the named leading bytes, the rest zero.
    Cdb(uint8_t length, std::initializer_list<uint8_t> bytes) : len(length) {
        size_t i = 0;
        for (uint8_t v : bytes) {
            if (i >= b.size()) break;
            b[i++] = v;
        }
    }
    uint8_t& operator[](size_t i) { return b[i]; }
    uint8_t operator[](size_t i) const { return b[i]; }
    const uint8_t* data() const { return b.data(); }
    std::string hex() const;  // lower case, exactly len bytes
};

}  // namespace transport
