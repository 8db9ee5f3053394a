// What `q55x image FILE` reports about a firmware file: its layout, signature blocks, chip code,
// own NVRAM and the checksums stored and computed. Reads nothing but the bytes it is given.
#pragma once
#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

#include "image/image.h"

namespace cli {

nlohmann::json inspectFirmwareImage(const firmware::FileImage& file);
void printImageInspection(std::ostream& out, const std::string& path, const nlohmann::json& doc);

}  // namespace cli
