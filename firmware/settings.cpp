#include "firmware/settings.h"

#include <cerrno>
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

bool hexToU16(const std::string& value, uint16_t& out) {
    const std::string text = "0x" + value;
    if (value.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (errno != 0 || end == text.c_str() + 2 || *end != '\0') return false;
    out = static_cast<uint16_t>(v & 0xFFFF);
    return true;
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

    if (!hexToU16(vid, r.settings.vid)) {
        r.ok = false;
        r.error = "'" + vid + "' is not a valid hexadecimal value for VID";
    } else if (!hexToU16(pid, r.settings.pid)) {
        r.ok = false;
        r.error = "'" + pid + "' is not a valid hexadecimal value for PID";
    }
    r.settings.serialNum = serial.substr(0, 20);
    r.settings.chipReset = decimal(reset);
    return r;
}

SettingsLoad loadSettings(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return parseSettings({});
    std::string bytes;
    bytes.assign(std::istreambuf_iterator<char>(f), {});
    if (bytes.size() > kMaxSettingsFile) bytes.resize(kMaxSettingsFile);
    return parseSettings(bytes);
}

}  // namespace firmware
