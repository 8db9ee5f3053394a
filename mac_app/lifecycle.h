// How the program ends: what must happen first (the emulated enclosures save their state), and
// the end itself. Worker threads may still run, so the end does not run static destructors.
#pragma once
#include <functional>

namespace macapp {

void setBeforeExit(std::function<void()> hook);
void beforeExit();             // runs the hook once
[[noreturn]] void endProgram(int status);

}  // namespace macapp
