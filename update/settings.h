// The settings file "FwUpdateTool.ini": one stream of tokens in which a key is found wherever it
// stands and its value is the next token. Read once at start; a missing file means the defaults.
#pragma once
#include <string>
#include <string_view>

#include "update/update_window.h"

namespace firmware {

constexpr const char* kSettingsFileName = "FwUpdateTool.ini";

// The value of `key` in `text` (a working copy, which the lookup changes), or `def`.
// Short lookups: separators space = , tab LF CR, values up to 7 characters.
// Long lookups: separators = , tab LF CR (a space belongs to the token), up to 63 characters.
std::string shortSettingLookup(std::string& text, std::string_view key, std::string_view def);
std::string longSettingLookup(std::string& text, std::string_view key, std::string_view def);

struct SettingsLoad {
    Settings settings;
    bool ok = true;              // false: a VID or PID is not hexadecimal, or the file is no settings file
    std::string error;           // names the key and the value, or what is wrong with the file
    bool fileRead = false;       // the file was there and could be read
};
// Parses the file's bytes (the size rounded up to 32, a terminator after it).
SettingsLoad parseSettings(std::string_view fileBytes);
// Reads the file; a file that cannot be opened gives the defaults. A file larger than 1 MiB, or
// one with control bytes other than white space (binary data, UTF-16), is refused (ok false).
SettingsLoad loadSettings(const std::string& path = kSettingsFileName);

}  // namespace firmware
