#include <cstdio>
#include <string_view>

namespace sys {

void platformDebugOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace sys
