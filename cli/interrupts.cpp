#include "cli/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace cli {

namespace {

constexpr int kDeferred[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> gReceived{0};
std::atomic<int> gDepth{0};
struct sigaction gPrevious[3];

void onSignal(int sig) {
    if (gReceived.exchange(sig) != 0) return;
    static const char kText[] =
        "\nq55x: interrupted: stopping at the next safe point. Stopping while the flash is written would leave the "
        "enclosure without firmware it can start.\n";
    if (::write(STDERR_FILENO, kText, sizeof kText - 1) < 0) {
    }
}

}  // namespace

DeferredInterrupts::DeferredInterrupts() {
    if (gDepth++ > 0) return;   // several devices at once: the outermost holds them
    gReceived = 0;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(kDeferred[i], &sa, &gPrevious[i]);
}

DeferredInterrupts::~DeferredInterrupts() {
    if (--gDepth > 0) return;
    for (int i = 0; i < 3; ++i) ::sigaction(kDeferred[i], &gPrevious[i], nullptr);
}

int DeferredInterrupts::received() { return gReceived; }

}  // namespace cli
