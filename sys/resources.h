// Firmware images carried by the programs: resources of type "FW" inside the Windows program,
// resources of the macOS bundle, files installed beside the Linux tool. Every program looks them
// up by name and type through this seam; tests install their own images.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

// Fills `out` with the whole resource; false when there is none.
using ResourceLoader = std::function<bool(std::string_view name, std::string_view type, std::vector<uint8_t>& out)>;

bool loadResource(std::string_view name, std::string_view type, std::vector<uint8_t>& out);
ResourceLoader setResourceLoader(ResourceLoader loader);   // empty: the platform's own

// Files named NAME.TYPE in a folder (the Linux tool's images, a bundle's Resources folder).
ResourceLoader folderResources(std::string folder);

// The folder of the running program, or empty when it cannot be told.
std::string programFolder();

}  // namespace sys
