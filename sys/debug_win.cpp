#include <windows.h>

#include <string>
#include <string_view>

namespace sys {

void platformDebugOut(std::string_view text) {
    std::string s(text);
    OutputDebugStringA(s.c_str());
}

}  // namespace sys
