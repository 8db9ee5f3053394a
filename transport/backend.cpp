#include "transport/backend.h"

#include <atomic>

namespace transport {

namespace {
std::atomic<Backend*> gBackend{nullptr};
}

Backend& backend() {
    Backend* b = gBackend.load();
    return b ? *b : platformBackend();
}

void setBackend(Backend* b) { gBackend.store(b); }

}  // namespace transport
