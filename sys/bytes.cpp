#include "sys/bytes.h"

namespace sys {

namespace {

std::string hexWith(const char* digits, const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

}  // namespace

std::string toHex(const uint8_t* p, size_t n) { return hexWith("0123456789abcdef", p, n); }
std::string toHexUpper(const uint8_t* p, size_t n) { return hexWith("0123456789ABCDEF", p, n); }

}  // namespace sys
