// The Windows program carries its images as resources of type "FW".
#include <windows.h>

#include <string>
#include <vector>

#include "sys/resources.h"

namespace sys {

std::string programFolder() {
    char buf[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::string p(buf, n);
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

bool platformLoadResource(std::string_view name, std::string_view type, std::vector<uint8_t>& out) {
    const std::string n(name), t(type);
    HRSRC r = FindResourceA(nullptr, n.c_str(), t.c_str());
    if (!r) return false;
    HGLOBAL g = LoadResource(nullptr, r);
    const DWORD size = SizeofResource(nullptr, r);
    const void* p = g ? LockResource(g) : nullptr;
    if (!p) return false;
    const auto* b = static_cast<const uint8_t*>(p);
    out.assign(b, b + size);
    return true;
}

}  // namespace sys
