#include "mac_app/registry/iokit.h"

#include <atomic>

namespace iokit {

namespace {
std::atomic<Services*> gServices{nullptr};
}

Services* services() { return gServices.load(); }
void setServices(Services* s) { gServices.store(s); }

}  // namespace iokit
