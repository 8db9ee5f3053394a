// The part of the I/O registry and its notifications that discovery uses, as a seam: service
// matching by class, first-match and interest notifications delivered through a notification
// port on a run loop, walks up and down the service plane with entry names and number properties.
// The shapes follow the system's own calls so discovery reads as it would over the real thing;
// the emulator (sim_services.h) and the Linux storage devices (linux_services.h) stand behind it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace iokit {

using kern_return_t = int;
using io_object_t = uint32_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
using io_registry_entry_t = io_object_t;
using natural_t = uint32_t;

constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t kIOReturnError = static_cast<kern_return_t>(0xE00002BC);
constexpr kern_return_t kIOReturnNoDevice = static_cast<kern_return_t>(0xE00002C0);
constexpr kern_return_t kIOReturnNotFound = static_cast<kern_return_t>(0xE00002F0);
constexpr natural_t kIOMessageServiceIsTerminated = 0xE0000010;
constexpr io_object_t IO_OBJECT_NULL = 0;

constexpr const char* kIOServicePlane = "IOService";
constexpr const char* kIOFirstMatchNotification = "IOServiceFirstMatch";
constexpr const char* kIOGeneralInterest = "IOGeneralInterest";
constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";

// What IOServiceMatching returns: the class a service must be of.
struct MatchingDictionary {
    std::string className;
};

using IOServiceMatchingCallback = void (*)(void* refCon, io_iterator_t iterator);
using IOServiceInterestCallback = void (*)(void* refCon, io_service_t service, natural_t messageType,
                                           void* messageArgument);

struct NotificationPort;   // opaque, made by the services
struct RunLoop;            // opaque: the run loop of the thread that asked for it

class Services {
public:
    virtual ~Services() = default;

    // IOServiceMatching: null when the class cannot be matched.
    virtual std::unique_ptr<MatchingDictionary> serviceMatching(std::string_view className) = 0;

    virtual NotificationPort* notificationPortCreate() = 0;
    virtual void notificationPortDestroy(NotificationPort* port) = 0;
    // CFRunLoopAddSource of the port's run-loop source to `loop` in `mode`.
    virtual void addPortToRunLoop(NotificationPort* port, RunLoop* loop, std::string_view mode) = 0;

    // IOServiceAddMatchingNotification: `iterator` receives the services that already match;
    // the callback runs on the port's run loop whenever new ones arrive, with the same iterator.
    virtual kern_return_t addMatchingNotification(NotificationPort* port, std::string_view type,
                                                  const MatchingDictionary& matching,
                                                  IOServiceMatchingCallback callback, void* refCon,
                                                  io_iterator_t* iterator) = 0;
    // IOServiceAddInterestNotification: the callback runs on the port's run loop with each
    // message of the service (its termination when it leaves).
    virtual kern_return_t addInterestNotification(NotificationPort* port, io_service_t service,
                                                  std::string_view type, IOServiceInterestCallback callback,
                                                  void* refCon, io_object_t* notification) = 0;
    // IOIteratorNext: the next service not yet taken, or IO_OBJECT_NULL.
    virtual io_object_t iteratorNext(io_iterator_t iterator) = 0;
    virtual kern_return_t objectRelease(io_object_t object) = 0;

    // Registry walks. The first parent / first child in `plane`.
    virtual kern_return_t registryEntryGetParentEntry(io_registry_entry_t entry, std::string_view plane,
                                                      io_registry_entry_t* parent) = 0;
    virtual kern_return_t registryEntryGetChildEntry(io_registry_entry_t entry, std::string_view plane,
                                                     io_registry_entry_t* child) = 0;
    virtual kern_return_t registryEntryGetName(io_registry_entry_t entry, std::string& name) = 0;
    // A number property read as 64 or 32 bits; false when the entry has no such property.
    virtual bool numberProperty64(io_registry_entry_t entry, std::string_view key, uint64_t& value) = 0;
    virtual bool numberProperty32(io_registry_entry_t entry, std::string_view key, uint32_t& value) = 0;

    // CFRunLoopGetCurrent / CFRunLoopRun / CFRunLoopStop. runLoopRun delivers the notifications of
    // the ports added to the loop until runLoopStop; runLoopRunFor delivers what is pending, waiting
    // at most `ms` milliseconds for the first (0: only what is already pending), and returns how
    // many callbacks ran.
    virtual RunLoop* runLoopGetCurrent() = 0;
    virtual void runLoopRun(RunLoop* loop) = 0;
    virtual int runLoopRunFor(RunLoop* loop, unsigned ms) = 0;
    virtual void runLoopStop(RunLoop* loop) = 0;
};

// The services discovery uses; null until the program installs some.
Services* services();
void setServices(Services* s);

}  // namespace iokit
