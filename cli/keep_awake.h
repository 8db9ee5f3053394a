// A suspend or a shutdown in the middle of a write cuts the bridge's power as surely as a pulled
// cable. While q55x writes a bridge's flash it holds logind's "block" inhibitor for sleep and
// shutdown, where the system has logind and q55x was built with it; elsewhere it goes on without
// one, and -v says so.
#pragma once
#include <functional>
#include <memory>
#include <string>

namespace cli {

class Context;

class KeepAwake {
public:
    // What keeps the machine awake while it lives.
    struct Hold {
        virtual ~Hold() = default;
    };
    // Takes a hold, or gives null with the reason.
    using Taker = std::function<std::unique_ptr<Hold>(std::string& why)>;
    // Tests put a recorder in logind's place; an empty one puts logind back. Returns the previous.
    static Taker setTaker(Taker taker);

    explicit KeepAwake(Context& ctx);
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;

private:
    std::unique_ptr<Hold> hold_;
};

// logind's inhibitor: Inhibit("sleep:shutdown", "q55x", "updating firmware", "block") on the
// system bus, held by the file descriptor it returns. Null with the reason where there is none.
std::unique_ptr<KeepAwake::Hold> takeLogindInhibitor(std::string& why);

}  // namespace cli
