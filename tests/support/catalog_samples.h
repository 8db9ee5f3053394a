// The bytes of an image from our generator's catalogue, for tests that need a firmware file.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_catalog.h"

namespace testing_support {

inline std::vector<uint8_t> catalogBytes(std::string_view name) {
    std::vector<uint8_t> out;
    std::string error;
    for (const firmware::CatalogImage& c : firmware::imageCatalog())
        if (name == c.name && !firmware::generateImage(c, out, error)) ADD_FAILURE() << error;
    EXPECT_FALSE(out.empty()) << "no catalogue image " << name;
    return out;
}

}  // namespace testing_support
