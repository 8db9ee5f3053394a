// The state of a window as one JSON document: every control with its name, kind, caption or
// text, enabled, visible, colours and position, and what its kind adds (checked, items and
// index, progress position). The unattended run writes it for CI; tests read it back.
#pragma once
#include <string>
#include <string_view>

#include "win_app/controls.h"

namespace winform {

std::string jsonString(std::string_view s);
std::string colorName(Color c);   // "clBlue", ..., or "0x00BBGGRR"
// One JSON array with an object per control (the form first).
std::string controlsJson(const Form& form);

}  // namespace winform
