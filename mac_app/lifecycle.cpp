#include "mac_app/lifecycle.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace macapp {

namespace {
std::mutex gMutex;
std::function<void()> gHook;
}  // namespace

void setBeforeExit(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gMutex);
    gHook = std::move(hook);
}

void beforeExit() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        std::swap(hook, gHook);
    }
    if (hook) hook();
}

void endProgram(int status) {
    std::fflush(nullptr);
    std::quick_exit(status);
}

}  // namespace macapp
