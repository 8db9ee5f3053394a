// logind's sleep and shutdown inhibitor through sd-bus.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/keep_awake.h"

namespace cli {

namespace {

// logind keeps the inhibitor while any copy of its descriptor is open.
struct Inhibitor final : KeepAwake::Hold {
    explicit Inhibitor(int f) : fd(f) {}
    ~Inhibitor() override { ::close(fd); }
    int fd;
};

}  // namespace

std::unique_ptr<KeepAwake::Hold> takeLogindInhibitor(std::string& why) {
    sd_bus* bus = nullptr;
    if (const int r = sd_bus_open_system(&bus); r < 0) return why = std::string("no system bus: ") + std::strerror(-r), nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::unique_ptr<KeepAwake::Hold> hold;
    int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "Inhibit", &error, &reply, "ssss", "sleep:shutdown", "q55x", "updating firmware", "block");
    int fd = -1;
    if (r < 0) why = std::string("logind refused the inhibitor: ") + (error.message ? error.message : std::strerror(-r));
    else if ((r = sd_bus_message_read(reply, "h", &fd)) < 0) why = std::string("logind's answer: ") + std::strerror(-r);
    // The reply owns its descriptor: the hold keeps a copy of its own.
    else if (const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3); own < 0) why = std::string("cannot keep the inhibitor: ") + std::strerror(errno);
    else hold = std::make_unique<Inhibitor>(own);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return hold;
}

}  // namespace cli
