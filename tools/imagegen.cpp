// q55x-imagegen DIR: writes every image our programs carry and every sample firmware file.
#include <cstdio>
#include <string>

#include "image/image_catalog.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: q55x-imagegen DIR\n");
        return 64;
    }
    std::string error;
    if (!firmware::writeCatalog(argv[1], error)) {
        std::fprintf(stderr, "q55x-imagegen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
