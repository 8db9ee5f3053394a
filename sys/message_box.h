// Message boxes: the few places where a procedure below the window must stop and tell the user
// something (chip identification's "Get chip information fail !"). The Windows window installs a
// handler that shows the system's message box; without one the text goes to the debug output,
// so a procedure never blocks on a dialog nobody can see. Tests install a recorder.
#pragma once
#include <functional>
#include <string_view>

namespace sys {

enum class MsgIcon { None, Error, Warning, Information };

// What the handler returns is what the user pressed (the system's button code); the default
// handler returns 1 (OK).
using MessageBoxHandler = std::function<int(std::string_view text, std::string_view title, MsgIcon icon)>;

int messageBox(std::string_view text, std::string_view title, MsgIcon icon);
// Replaces the handler; an empty function restores the default. Returns the old handler.
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

}  // namespace sys
