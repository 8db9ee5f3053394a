// The Linux tool finds its images in the folder named by Q55X_IMAGES, else in "images" beside the
// program (or next to its folder, as in the build tree), else in the installed package's folder.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "sys/resources.h"

namespace sys {

std::string programFolder() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string p(buf, static_cast<size_t>(n));
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

bool platformLoadResource(std::string_view name, std::string_view type, std::vector<uint8_t>& out) {
    std::vector<std::string> folders;
    if (const char* env = std::getenv("Q55X_IMAGES"); env && *env) folders.emplace_back(env);
    if (const std::string here = programFolder(); !here.empty()) {
        folders.push_back(here + "/images");
        folders.push_back(here + "/../images");   // the build tree: build/cli/q55x, build/images
        folders.push_back(here + "/../share/q55x/images");
    }
    for (const auto& f : folders)
        if (folderResources(f)(name, type, out)) return true;
    return false;
}

}  // namespace sys
