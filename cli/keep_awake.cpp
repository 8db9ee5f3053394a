#include "cli/keep_awake.h"

#include <mutex>
#include <ostream>
#include <utility>

#include "cli/context.h"

namespace cli {

namespace {

std::mutex gTakerMutex;
KeepAwake::Taker gTaker;

}  // namespace

KeepAwake::Taker KeepAwake::setTaker(Taker taker) {
    std::lock_guard<std::mutex> lock(gTakerMutex);
    return std::exchange(gTaker, std::move(taker));
}

KeepAwake::KeepAwake(Context& ctx) {
    Taker taker;
    {
        std::lock_guard<std::mutex> lock(gTakerMutex);
        taker = gTaker;
    }
    std::string why;
    hold_ = taker ? taker(why) : takeLogindInhibitor(why);
    if (!hold_ && ctx.options().verbose > 0)
        ctx.err() << "q55x: nothing keeps the machine from sleeping or shutting down during the write (" << why << ").\n";
}

}  // namespace cli
