// Discovery of the bridge controllers: the notification thread, the arrival and departure
// handlers, and the rebuild of the controller list (qvtool::scandevices, in discovery.cpp).
// Everything reaches the registry through iokit::services() and the window through
// raid::window(); every pause goes through the clock seam.
#pragma once
#include "mac_app/registry/iokit.h"

namespace raid {

// The matching class of the maker library's devices.
constexpr const char* kServiceClass = "qvPeripheralDeviceType00";

extern iokit::NotificationPort* gNotifyPort;
extern iokit::io_iterator_t gAddedIter;
extern iokit::RunLoop* gRunLoop;

// The body of the discovery thread: registers for arrivals, handles the controllers already
// attached, then runs the thread's run loop until it is stopped.
void start_device_notification();
// Ends a discovery thread's run loop (program exit, tests).
void stop_device_notification();

// The first-match handler; the window's refresh calls it with no reference and iterator 0.
void DeviceAdded(void* refCon, iokit::io_iterator_t iterator);
// The interest handler: a controller's termination, when no warm boot is pending.
void DeviceRemoved(void* refCon, iokit::io_service_t service, iokit::natural_t messageType, void* messageArgument);

// What discovery makes of a chip for the wizard: whether its firmware may be updated.
enum class Readiness { NotSupported, Unreadable, AlreadyUpdated, FirmwareIdMismatch, Offered };
Readiness readiness_of(uint32_t device, uint64_t chipId);
constexpr const char* kTextAlreadyUpdated = "The device already updated!";
constexpr const char* kTextFirmwareIdMismatch = "The device firmware ID not match!";

// A departure's rebuild is waited for (the removal pause): Continue stays off meanwhile and no
// update starts until the list stands again.
bool rebuild_pending();

// Pauses of the handlers (ms).
constexpr unsigned kRemovalSettleMs = 2000;
constexpr unsigned kMismatchPauseMs = 1000;

}  // namespace raid
