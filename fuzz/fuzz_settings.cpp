// The settings reader over any file contents: FwUpdateTool.ini is whatever the user left beside
// the program, binary garbage included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/settings.h"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const firmware::SettingsLoad r = firmware::parseSettings(bytes);
    // The serial number written to the bridge is 20 bytes at most; a failed load names its key.
    require(r.settings.serialNum.size() <= 20);
    require(r.ok == r.error.empty());

    // The lookups themselves, with the first line as the key.
    const size_t eol = bytes.find('\n');
    const std::string_view key = bytes.substr(0, eol == std::string_view::npos ? 0 : eol);
    std::string work(bytes);
    require(firmware::shortSettingLookup(work, key, "d").size() <= 7);
    work.assign(bytes);
    require(firmware::longSettingLookup(work, key, "d").size() <= 63);
    return 0;
}
