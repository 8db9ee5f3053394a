#include "sys/debug.h"

#include <mutex>

namespace sys {

void platformDebugOut(std::string_view text);  // sys/debug_<platform>.cpp

namespace {
std::mutex gMutex;
DebugSink gSink;
MessagePump gPump;
}  // namespace

void debugOut(std::string_view text) {
    DebugSink sink;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        sink = gSink;
    }
    if (sink) sink(text);
    else platformDebugOut(text);
}

DebugSink setDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> lock(gMutex);
    std::swap(gSink, sink);
    return sink;
}

void processMessages() {
    MessagePump pump;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        pump = gPump;
    }
    if (pump) pump();
}

MessagePump setMessagePump(MessagePump pump) {
    std::lock_guard<std::mutex> lock(gMutex);
    std::swap(gPump, pump);
    return pump;
}

}  // namespace sys
