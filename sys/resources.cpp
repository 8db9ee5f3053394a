#include "sys/resources.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace sys {

bool platformLoadResource(std::string_view name, std::string_view type, std::vector<uint8_t>& out);

namespace {
std::mutex gMutex;
ResourceLoader gLoader;
}  // namespace

bool loadResource(std::string_view name, std::string_view type, std::vector<uint8_t>& out) {
    ResourceLoader loader;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        loader = gLoader;
    }
    out.clear();
    return loader ? loader(name, type, out) : platformLoadResource(name, type, out);
}

ResourceLoader setResourceLoader(ResourceLoader loader) {
    std::lock_guard<std::mutex> lock(gMutex);
    std::swap(gLoader, loader);
    return loader;
}

ResourceLoader folderResources(std::string folder) {
    return [folder](std::string_view name, std::string_view type, std::vector<uint8_t>& out) {
        std::string path = folder;
        if (!path.empty() && path.back() != '/' && path.back() != '\\') path.push_back('/');
        path.append(name).append(".").append(type);
        std::ifstream f(path, std::ios::binary);
        if (!f) return false;
        out.assign(std::istreambuf_iterator<char>(f), {});
        return !f.bad();
    };
}

}  // namespace sys
