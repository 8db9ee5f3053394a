// Ctrl-C, a terminal closed, a shutdown's SIGTERM while an update writes: stopping there would leave
// the enclosure without firmware it can start. For the span of a write, SIGINT, SIGTERM and SIGHUP
// are taken down and acted on at the next safe point: before the first erase the command ends and
// nothing has changed; after it, the update is let finish.
#pragma once

namespace cli {

class DeferredInterrupts {
public:
    DeferredInterrupts();
    ~DeferredInterrupts();
    DeferredInterrupts(const DeferredInterrupts&) = delete;
    DeferredInterrupts& operator=(const DeferredInterrupts&) = delete;
    // The signal received since, or 0.
    static int received();
};

}  // namespace cli
