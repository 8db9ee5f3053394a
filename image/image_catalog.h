// Every image our programs carry or our tests use, made by our own generator from parameters:
// the Windows program's embedded update image and manufacturing images, the macOS bundle
// images, and sample firmware files for each family. The build writes them to files
// (q55x-imagegen); tests and demos can also have them served from memory.
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/format/image_builder.h"
#include "sys/resources.h"

namespace firmware {

struct CatalogImage {
    const char* name;   // resource name, or file name in samples/
    const char* type;   // resource type ("FW", "bin", "BIN"), or file extension
    bool sample;        // a sample firmware file (samples/NAME.TYPE) rather than a carried image
    ImageParams params;
    uint32_t keep;      // 0: the whole image; else only its first `keep` bytes
    uint32_t dropFront; // bytes cut from the front (code-only files of the families whose update puts
                        // the code behind the chip's kept NVRAM)
    bool qvd523Block;   // the QVD523's alternative block at file offset 128
    const char* signatureChars = nullptr;   // four characters replacing the code signature's chip code
};

std::span<const CatalogImage> imageCatalog();
bool generateImage(const CatalogImage& c, std::vector<uint8_t>& out, std::string& error);
// Writes every image as DIR/NAME.TYPE and every sample as DIR/samples/NAME.TYPE.
bool writeCatalog(const std::string& dir, std::string& error);
// Serves the carried images (not the samples) from memory.
sys::ResourceLoader catalogResources();

}  // namespace firmware
