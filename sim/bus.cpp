#include "sim/bus.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "sys/clock.h"
#include "sys/debug.h"

namespace sim {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

Bus::~Bus() {
    std::string error;
    if (!saveState(error)) sys::debugOut("sim: " + error + "\n");
}

bool Bus::addEnclosure(std::string_view text, std::string& error) {
    EnclosureConfig config;
    if (!parseEnclosureConfig(text, config, error)) return false;
    return addEnclosure(config, error);
}

bool Bus::addEnclosure(const EnclosureConfig& config, std::string& error) {
    std::unique_ptr<Enclosure> e = Enclosure::create(config, error);
    if (!e) return false;
    if (config.realClock && clock_) clock_->followRealTime(true);
    std::vector<BusEvent> events;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        Slot slot;
        if (config.sharedState) {
            // The first process to make the enclosure writes it, so that the others start from it.
            slot.shared = std::make_unique<SharedStateLock>(config.stateFile);
            bool stale = false;
            std::string why;
            if (slot.shared->take(stale, why) && !std::filesystem::exists(config.stateFile) && e->saveState(why))
                slot.shared->written();
            slot.shared->release();
        }
        slot.enclosure = std::move(e);
        slot.number = nextNumber_++;
        slots_.push_back(std::move(slot));
        attach(slots_.size() - 1, events);
    }
    notify(events);
    return true;
}

size_t Bus::enclosureCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return slots_.size();
}

Enclosure& Bus::enclosure(size_t index) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return *slots_.at(index).enclosure;
}

DeviceInfo Bus::makeDevice(size_t index, uint32_t number) const {
    const Enclosure& e = *slots_[index].enclosure;
    DeviceInfo d;
    d.number = number;
    d.bus = e.config().bus;
    d.model = e.config().model;
    d.enclosure = index;
    char serial[32];
    std::snprintf(serial, sizeof serial, "%010u", number);
    d.usbSerial = e.config().usbSerial ? *e.config().usbSerial : serial;
    d.diskInUse = e.config().diskInUse;
    const std::string model = lower(e.config().model);
    // Windows names a USB disk by its serial only when the serial is there and no other device
    // of the kind shows it; otherwise by the port it hangs on.
    char byPort[32];
    std::snprintf(byPort, sizeof byPort, "7&%08x&0&0", 0x1d2c3b00u + number);
    const bool ownSerial = !d.usbSerial.empty() && !serialShown(d.usbSerial, e.config().model);
    const std::string instance = ownSerial ? lower(d.usbSerial) + "&0" : std::string(byPort);
    switch (d.bus) {
        case BusKind::Usb:
            d.windowsPath = "\\\\?\\usbstor#disk&ven_corvane&prod_" + model + "&rev_0100#" + instance + "#" + kDiskInterfaceGuid;
            break;
        case BusKind::Uas:
            d.windowsPath = "\\\\?\\scsi#disk&ven_corvane&prod_" + model + "#4&" + serial + "&0&000000#" + kDiskInterfaceGuid;
            break;
        case BusKind::Ieee1394:
            d.windowsPath = "\\\\?\\sbp2#corvane&" + model + "&lun0#1&" + serial + "&0#" + kDiskInterfaceGuid;
            break;
    }
    d.linuxPath = "sim:/dev/sg" + std::to_string(number);
    d.makerObject = kMakerObjectBase + number;

    const ChipPersona& chip = e.persona();
    std::tie(d.usbVendor, d.usbProduct) = e.config().hostUsbIds.value_or(e.usbIds());
    const RegistryEntry usbDevice{std::string("Corvane ") + chip.productName,
                                  {{"idVendor", d.usbVendor}, {"idProduct", d.usbProduct}, {"locationID", usbLocationOf(index)}}};
    switch (d.bus) {
        case BusKind::Usb:
            d.registryParents = {{"IOSCSIPeripheralDeviceNub", {}}, {"IOSCSILogicalUnitNub", {}},
                                 {"IOUSBMassStorageDriver", {}}, usbDevice, {"AppleUSBEHCIPort", {}}};
            break;
        case BusKind::Uas:
            d.registryParents = {{"IOSCSIPeripheralDeviceNub", {}}, {"IOSCSILogicalUnitNub", {}},
                                 {"IOUSBAttachedSCSI", {}}, {"IOUSBInterface", {}}, usbDevice,
                                 {"AppleUSBXHCIPort", {}}};
            break;
        case BusKind::Ieee1394:
            d.registryParents = {{"IOSCSIPeripheralDeviceNub", {}}, {"IOFireWireSerialBusProtocolTransport", {}},
                                 {"IOFireWireSBP2LUN", {}},
                                 {"IOFireWireDevice", {{"GUID", kFireWireGuidBase + number}}},
                                 {"IOFireWireController", {}}};
            break;
    }
    d.registryChildren = {{"IOBlockStorageServices", {}}, {"IOBlockStorageDriver", {}},
                          {std::string("Corvane ") + chip.productName + " Media", {}}};
    return d;
}

bool Bus::serialShown(const std::string& serial, const std::string& model) const {
    for (const Slot& s : slots_)
        for (const DeviceInfo& d : s.attached)
            if (d.usbSerial == serial && d.model == model) return true;
    return false;
}

bool RegistryEntry::property(std::string_view key, uint64_t& value) const {
    for (const auto& [k, v] : properties)
        if (k == key) {
            value = v;
            return true;
        }
    return false;
}

void Bus::attach(size_t index, std::vector<BusEvent>& events) {
    Slot& s = slots_[index];
    s.returning = false;
    s.attached.clear();
    s.attached.push_back(makeDevice(index, s.number));
    events.push_back({BusEvent::Kind::Arrival, s.attached.back()});
}

void Bus::detach(size_t index, std::vector<BusEvent>& events) {
    Slot& s = slots_[index];
    for (const DeviceInfo& d : s.attached) events.push_back({BusEvent::Kind::Removal, d});
    s.attached.clear();
}

void Bus::bringBackDue(std::vector<BusEvent>& events) {
    const uint64_t now = sys::nowMs();
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot& s = slots_[i];
        if (!s.returning || now < s.returnAtMs) continue;
        {
            std::lock_guard<std::mutex> one(*s.busy);   // a command that raced the reset is done first
            enterShared(*s.enclosure, s.shared.get());
            s.enclosure->reboot();
            leaveShared(s.shared.get(), false);
        }
        if (s.enclosure->faults().renode()) s.number = nextNumber_++;
        attach(i, events);
        if (s.enclosure->faults().twins()) {
            s.attached.push_back(makeDevice(i, nextNumber_++));
            events.push_back({BusEvent::Kind::Arrival, s.attached.back()});
        }
    }
}

void Bus::notify(const std::vector<BusEvent>& events) {
    if (events.empty()) return;
    std::vector<BusListener> listeners;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (const auto& [id, l] : listeners_) listeners.push_back(l);
    }
    for (const BusEvent& e : events)
        for (const BusListener& l : listeners) l(e);
}

std::vector<DeviceInfo> Bus::devices() {
    std::vector<BusEvent> events;
    std::vector<DeviceInfo> out;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        bringBackDue(events);
        for (const Slot& s : slots_) out.insert(out.end(), s.attached.begin(), s.attached.end());
    }
    notify(events);
    std::sort(out.begin(), out.end(), [](const DeviceInfo& a, const DeviceInfo& b) { return a.number < b.number; });
    return out;
}

DeviceInfo Bus::deviceOf(size_t enclosure) {
    for (const DeviceInfo& d : devices())
        if (d.enclosure == enclosure) return d;
    return {};
}

int Bus::subscribe(BusListener listener) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    listeners_.emplace_back(nextListener_, std::move(listener));
    return nextListener_++;
}

void Bus::unsubscribe(int id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

bool Bus::saveState(std::string& error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bool ok = true;
    for (const Slot& s : slots_) {
        // A shared enclosure was written after each command: this process's copy may be older.
        if (s.shared) continue;
        std::string why;
        if (!s.enclosure->saveState(why)) {
            ok = false;
            error = why;
        }
    }
    return ok;
}

transport::Result Bus::execute(const transport::Request& req) {
    std::vector<BusEvent> events;
    transport::Result r;
    Enclosure* target = nullptr;
    std::mutex* targetBusy = nullptr;
    uint64_t* targetPersisted = nullptr;
    SharedStateLock* targetShared = nullptr;
    size_t index = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        bringBackDue(events);
        const std::string want = lower(req.path);
        index = slots_.size();
        for (size_t i = 0; i < slots_.size() && index == slots_.size(); ++i)
            for (const DeviceInfo& d : slots_[i].attached)
                if (want == d.windowsPath || want == d.linuxPath) index = i;
        if (index == slots_.size()) {
            r.lastError = 2;   // the path names no device present: as the system's "not found"
        } else {
            target = slots_[index].enclosure.get();
            targetBusy = slots_[index].busy.get();
            targetPersisted = slots_[index].persisted.get();
            targetShared = slots_[index].shared.get();
        }
    }
    if (target) {
        // The bus stays free while the enclosure works: a command that takes time (on the wire, or
        // held until the flash is done) holds up no other enclosure.
        CommandOutcome outcome = CommandOutcome::Stay;
        {
            std::lock_guard<std::mutex> one(*targetBusy);
            enterShared(*target, targetShared);
            r = target->execute(req, outcome);
            const bool written = target->config().persistEach && persistChanges(*target, *targetPersisted);
            leaveShared(targetShared, written);
        }
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        Slot& s = slots_[index];
        switch (outcome) {
            case CommandOutcome::Stay: break;
            case CommandOutcome::Reset:
                detach(index, events);
                if (!s.enclosure->faults().noReturn()) {
                    const uint32_t jitter = s.enclosure->faults().resetJitterMs();
                    s.returning = true;
                    s.returnAtMs = sys::nowMs() + s.enclosure->config().resetDelayMs +
                                   (jitter ? s.enclosure->faults().random() % (jitter + 1) : 0);
                }
                break;
            case CommandOutcome::Drop:
            case CommandOutcome::PowerCut: detach(index, events); break;
        }
    }
    notify(events);
    return r;
}

bool Bus::persistChanges(Enclosure& e, uint64_t& persisted) {
    const uint64_t changes = (e.hasFlash() ? e.flashChip()->changes() : 0) + e.disk().changes();
    if (changes == persisted) return false;
    std::string error;
    if (!e.saveState(error)) return sys::debugOut("sim: " + error + "\n"), false;
    persisted = changes;
    return true;
}

void Bus::enterShared(Enclosure& e, SharedStateLock* shared) {
    if (!shared) return;
    bool stale = false;
    std::string error;
    if (!shared->take(stale, error)) return sys::debugOut("sim: " + error + "\n");
    if (stale && !e.reloadState(error)) sys::debugOut("sim: " + error + "\n");
}

void Bus::leaveShared(SharedStateLock* shared, bool written) {
    if (!shared) return;
    if (written) shared->written();
    shared->release();
}

std::vector<maclib::MakerDevice> Bus::list() {
    std::vector<maclib::MakerDevice> out;
    for (const DeviceInfo& d : devices()) out.push_back({d.makerObject, d.linuxPath});
    return out;
}

}  // namespace sim
