// Diagnostics: the debug output on Windows, standard error elsewhere. Tests install a recorder.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace sys {

using DebugSink = std::function<void(std::string_view)>;

// Writes one piece of diagnostic text (the caller supplies any line feed).
void debugOut(std::string_view text);
// Replaces the sink; an empty function restores the platform's default. Returns the old sink.
DebugSink setDebugSink(DebugSink sink);

// Lets the user interface process pending events while a procedure waits or retries. The
// Windows window installs its message pump here, the macOS app its run loop, tests a counter.
using MessagePump = std::function<void()>;
void processMessages();
MessagePump setMessagePump(MessagePump pump);

}  // namespace sys
