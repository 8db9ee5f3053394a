#include "sys/message_box.h"

#include <mutex>
#include <string>

#include "sys/debug.h"

namespace sys {

namespace {
std::mutex gMutex;
MessageBoxHandler gHandler;
}  // namespace

int messageBox(std::string_view text, std::string_view title, MsgIcon icon) {
    MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        handler = gHandler;
    }
    if (handler) return handler(text, title, icon);
    std::string line;
    line.reserve(title.size() + text.size() + 3);
    line.append(title).append(": ").append(text).push_back('\n');
    debugOut(line);
    return 1;
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(gMutex);
    std::swap(gHandler, handler);
    return handler;
}

}  // namespace sys
