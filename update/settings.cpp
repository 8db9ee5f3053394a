#include "update/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace firmware {

namespace {

constexpr const char* kShortSeparators = " =,\t\n\r";
constexpr const char* kLongSeparators = "=,\t\n\r";
constexpr size_t kShortCapacity = 7;
constexpr size_t kLongCapacity = 63;
constexpr size_t kMaxSettingsFile = 1u << 20;   // larger files are not settings files

void upperAz(std::string& s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

// Tokens as the C library's splitter finds them: runs of separators count as one. The text ends at
// its first zero byte, as a C string does.
std::vector<std::string> tokens(const std::string& text, const char* separators) {
    std::vector<std::string> out;
    const size_t end = std::min(text.size(), text.find('\0'));
    size_t i = 0;
    while (i < end) {
        while (i < end && std::strchr(separators, text[i])) ++i;
        const size_t start = i;
        while (i < end && !std::strchr(separators, text[i])) ++i;
        if (i > start) out.emplace_back(text, start, i - start);
    }
    return out;
}

std::string lookup(std::string& text, std::string_view key, std::string_view def, const char* separators,
                   size_t capacity) {
    std::string wanted(key);
    upperAz(wanted);
    auto toks = tokens(text, separators);
    for (size_t i = 0; i < toks.size(); ++i) {
        std::string t = toks[i];
        upperAz(t);
        if (t != wanted) continue;
        // The first match ends the search; a missing or too long value gives the default.
        if (i + 1 >= toks.size() || toks[i + 1].size() > capacity) return std::string(def);
        return toks[i + 1];
    }
    return std::string(def);
}

// A value as the error message shows it: bytes that are not printable text are written as \xHH,
// so that what a damaged file holds never reaches the terminal or the message box raw.
std::string printable(const std::string& value) {
    std::string out;
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

// Text, as an editor writes it: no control bytes other than white space (and the end-of-file
// mark old editors leave). Returns the offset of the first other byte, or npos.
size_t firstBinaryByte(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if ((b < 0x20 && b != '\t' && b != '\n' && b != '\v' && b != '\f' && b != '\r' && b != 0x1A) || b == 0x7F)
            return i;
    }
    return std::string_view::npos;
}

enum class HexValue { Ok, NotHexadecimal, TooLarge };

// A USB identifier is 16 bits: a larger value ("10000") is refused rather than cut to its low
// bits, which would write another vendor's or product's identity (0) into the bridge.
HexValue hexToU16(const std::string& value, uint16_t& out) {
    const std::string text = "0x" + value;
    if (value.empty()) return HexValue::NotHexadecimal;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (errno != 0 || end == text.c_str() + 2 || *end != '\0') return HexValue::NotHexadecimal;
    if (v > 0xFFFF) return HexValue::TooLarge;
    out = static_cast<uint16_t>(v);
    return HexValue::Ok;
}

// The error text for a VID or PID that cannot be used; empty when it can.
std::string identifierError(const char* key, const std::string& value, uint16_t& out) {
    switch (hexToU16(value, out)) {
        case HexValue::Ok: return {};
        case HexValue::NotHexadecimal:
            return std::string("'") + printable(value) + "' is not a valid hexadecimal value for " + key;
        case HexValue::TooLarge:
            return std::string("'") + printable(value) + "' is larger than FFFF, the largest value for " + key;
    }
    return {};
}

// As the C library's decimal conversion: white space, a sign, digits; anything else gives 0.
int32_t decimal(const std::string& value) {
    return static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

}  // namespace

std::string shortSettingLookup(std::string& text, std::string_view key, std::string_view def) {
    return lookup(text, key, def, kShortSeparators, kShortCapacity);
}

std::string longSettingLookup(std::string& text, std::string_view key, std::string_view def) {
    return lookup(text, key, def, kLongSeparators, kLongCapacity);
}

SettingsLoad parseSettings(std::string_view fileBytes) {
    SettingsLoad r;
    // The size is raised to the next multiple of 32 and a terminator follows.
    const size_t size = (fileBytes.size() + 31) / 32 * 32;
    std::string pristine(size + 1, '\0');
    if (!fileBytes.empty()) std::memcpy(pristine.data(), fileBytes.data(), fileBytes.size());

    std::string work = pristine;
    const std::string vid = shortSettingLookup(work, "VID", "728D");
    work = pristine;
    const std::string pid = shortSettingLookup(work, "PID", "7A3C");
    work = pristine;
    const std::string serial = longSettingLookup(work, "SerialNum", "00000000000000000000");
    work = pristine;
    const std::string reset = shortSettingLookup(work, "ChipReset", "0");

    r.error = identifierError("VID", vid, r.settings.vid);
    if (r.error.empty()) r.error = identifierError("PID", pid, r.settings.pid);
    r.ok = r.error.empty();
    r.settings.serialNum = serial.substr(0, 20);
    r.settings.chipReset = decimal(reset);
    return r;
}

SettingsLoad loadSettings(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return parseSettings({});
    // Never more than one byte past the limit is read, so a huge file (or an endless one such as
    // a device node) costs no more than a small one.
    std::string bytes(kMaxSettingsFile + 1, '\0');
    f.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (f.bad()) return parseSettings({});   // a directory opens and then cannot be read
    bytes.resize(static_cast<size_t>(f.gcount()));

    // A file that is too large or is not text is not a settings file: it is refused whole rather
    // than have identities written to a bridge from whatever its bytes happen to spell.
    if (bytes.size() > kMaxSettingsFile) {
        SettingsLoad r;
        r.ok = false;
        r.error = path + " is larger than 1 MiB: not a settings file";
        r.fileRead = true;
        return r;
    }
    if (const size_t at = firstBinaryByte(bytes); at != std::string_view::npos) {
        SettingsLoad r;
        r.ok = false;
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(bytes[at]));
        r.error = path + " is not a text file (byte " + byte + " at offset " + std::to_string(at) +
                  "): not a settings file";
        r.fileRead = true;
        return r;
    }
    SettingsLoad r = parseSettings(bytes);
    r.fileRead = true;
    return r;
}

}  // namespace firmware
