// The bus the virtual enclosures sit on. It is one more backend behind the transport seam and the
// device source of the maker library, so every program reaches an enclosure by the same paths
// it would use for real hardware:
//
//   Windows  \\?\usbstor#disk&ven_corvane&prod_qvr298&rev_0100#000000000N&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
//            (uas: \\?\scsi#disk&ven_corvane&prod_qvr298#4&...; 1394: \\?\sbp2#corvane&qvr298&lun0#1&...)
//   Linux    sim:/dev/sgN  (never a real node, so a slip cannot reach a real disk)
//   maker    device object 0x5A00 + N
//
// N numbers the attachments of this bus from 1. A device keeps its number across resets (unless
// it comes back at another node, renode=1); the second of a pair of twins gets a new one. Resets, departures and returns run on the virtual
// clock: the bus looks at the clock whenever it is asked something and brings devices back whose
// time has come, telling its listeners.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/enclosure.h"
#include "sim/state_file.h"
#include "sys/clock.h"
#include "transport/backend.h"
#include "transport/maclib/qvlib.h"
#include "transport/win_devices.h"

namespace sim {

// One entry of the registry the macOS program walks from a device object: its name and the
// properties discovery reads ("idVendor", "idProduct" of a USB device, "GUID" of a 1394 unit).
struct RegistryEntry {
    std::string name;
    std::vector<std::pair<std::string, uint64_t>> properties;
    bool property(std::string_view key, uint64_t& value) const;
};

struct DeviceInfo {
    uint32_t number = 0;
    std::string windowsPath;
    std::string linuxPath;
    uint32_t makerObject = 0;
    BusKind bus = BusKind::Usb;
    std::string model;
    size_t enclosure = 0;   // index into the bus's enclosures
    // From the device object up the service plane, nearest first: four steps reach the USB device
    // (idVendor, idProduct) or the 1394 unit (a name with "FireWire", its GUID); a UAS transport
    // puts an "IOUSBAttachedSCSI" entry in between, so its USB device is one step further.
    std::vector<RegistryEntry> registryParents;
    // Down the service plane, first children in turn; the third is the media, named for the product.
    std::vector<RegistryEntry> registryChildren;
    // The serial number the USB device reports (empty: none). Windows names a USB disk by it, or,
    // when it has none or another device of its kind already shows the same one, by its port.
    std::string usbSerial;
    // The USB identifiers the host sees (USB and UAS devices).
    uint16_t usbVendor = 0, usbProduct = 0;
    // The host has a file system of the disk mounted: what a "disk in use" query finds.
    bool diskInUse = false;
};

struct BusEvent {
    enum class Kind { Arrival, Removal } kind;
    DeviceInfo device;
};
using BusListener = std::function<void(const BusEvent&)>;

using transport::kDiskInterfaceGuid;
constexpr uint32_t kMakerObjectBase = 0x5A00;
// The USB location of an enclosure's port, as the system numbers it: the bus in the top byte,
// then one nibble per hub port. Each enclosure sits on a port of its own and keeps it across a
// restart, so twins are told apart and a bridge that comes back is the same one.
constexpr uint32_t kUsbLocationBase = 0x14000000;
constexpr uint32_t usbLocationOf(size_t port) { return kUsbLocationBase | static_cast<uint32_t>(((port % 15) + 1) << 20) | static_cast<uint32_t>((port / 15) << 16); }
// The enclosures' 1394 units carry the bridge maker's company id (0x0030E0) in the top bits of
// their GUID, as the real ones do.
constexpr uint32_t kBridgeMakerCompanyId = 0x0030E0;
constexpr uint64_t kFireWireGuidBase = (uint64_t{kBridgeMakerCompanyId} << 40) | 0xF000000000ull;

class Bus final : public transport::Backend, public maclib::MakerDeviceSource {
public:
    Bus() = default;
    ~Bus() override;   // saves the state of every enclosure that has a state file
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Adds an enclosure from its --sim text; false with a reason (usage error). The device
    // arrives at once.
    bool addEnclosure(std::string_view text, std::string& error);
    bool addEnclosure(const EnclosureConfig& config, std::string& error);

    size_t enclosureCount() const;
    // Enclosures live as long as the bus; the reference stays valid.
    Enclosure& enclosure(size_t index);

    // Devices present now, in attachment order.
    std::vector<DeviceInfo> devices();
    // The first present device of an enclosure (empty paths when it is off the bus).
    DeviceInfo deviceOf(size_t enclosure);

    int subscribe(BusListener listener);
    void unsubscribe(int id);

    bool saveState(std::string& error);

    // The virtual clock the bus runs on (sim::Session sets it); an enclosure with clock=real makes
    // it follow real time.
    void runOn(sys::VirtualClock* clock) { clock_ = clock; }

    transport::Result execute(const transport::Request& req) override;
    std::vector<maclib::MakerDevice> list() override;

private:
    struct Slot {
        std::unique_ptr<Enclosure> enclosure;
        // One command at a time per enclosure; commands to different enclosures run side by side
        // (their transfer and flash times pass in parallel when the clock follows real time).
        std::unique_ptr<std::mutex> busy = std::make_unique<std::mutex>();
        std::vector<DeviceInfo> attached;   // empty while off the bus
        uint32_t number = 0;                // the device's own number
        bool returning = false;
        uint64_t returnAtMs = 0;
        // The flash and disk changes the state file holds (persist=each).
        std::unique_ptr<uint64_t> persisted = std::make_unique<uint64_t>(0);
        // persist=shared: the lock every command of every process runs under.
        std::unique_ptr<SharedStateLock> shared;
    };

    // persist=each: the state file follows every command that changed the flash or the disk.
    // True when it was written.
    static bool persistChanges(Enclosure& e, uint64_t& persisted);
    // persist=shared: takes the slot's lock and the state as the file holds it now. The caller
    // holds the slot's busy mutex, and ends with leaveShared.
    static void enterShared(Enclosure& e, SharedStateLock* shared);
    static void leaveShared(SharedStateLock* shared, bool written);

    DeviceInfo makeDevice(size_t index, uint32_t number) const;
    bool serialShown(const std::string& serial, const std::string& model) const;
    void attach(size_t index, std::vector<BusEvent>& events);
    void detach(size_t index, std::vector<BusEvent>& events);
    void bringBackDue(std::vector<BusEvent>& events);
    void notify(const std::vector<BusEvent>& events);

    mutable std::recursive_mutex mutex_;
    std::vector<Slot> slots_;
    uint32_t nextNumber_ = 1;
    std::vector<std::pair<int, BusListener>> listeners_;
    int nextListener_ = 1;
    sys::VirtualClock* clock_ = nullptr;
};

}  // namespace sim
