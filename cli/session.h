// Where a command's devices come from: the platform's bridges, or emulated enclosures (--sim).
#pragma once
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/disk_use.h"
#include "discovery/device_table.h"

namespace cli {

// Which devices discovery may send a vendor command without being asked: those that introduce
// themselves as ours by their vendor id, and with a settings file the USB device with its VID and
// PID; `all` takes every node behind usb-storage, uas or firewire-sbp2 (probe_rule.h).
struct ProbePolicy {
    bool all = false;
    std::optional<uint16_t> settingsVid, settingsPid;
};

// What the system knows of a bridge's node without a command to it, for `list`.
struct NodeFacts {
    std::string sg, block;          // "/dev/sg2", "/dev/sdb"
    std::string byId, byPath;       // udev's persistent names of the disk
    std::optional<uint16_t> usbVendor, usbProduct;
    std::string serial;             // USB serial number or 1394 GUID
    std::string port;               // USB port path ("1-2.3") or 1394 node
    std::vector<std::string> mounts;
};

class DeviceSession {
public:
    virtual ~DeviceSession() = default;
    // The candidate bridges, in discovery order, with their bus.
    virtual std::vector<vendor::Candidate> candidates(const ProbePolicy& policy) = 0;
    // The storage devices the last scan left unasked under its probe policy, each as "node (name)".
    virtual std::vector<std::string> leftUnprobed() const { return {}; }
    // What stands in for drive letters: the block device and its mounted volumes.
    virtual std::string volumesOf(const std::string& path) = 0;
    // The bus of a device named by the user (--device), as discovery would find it.
    virtual std::optional<vendor::Bus> busOf(const std::string& path) = 0;
    // The node a name the user gave stands for (/dev/sdb, /dev/disk/by-id/... for /dev/sg2).
    virtual std::string resolveNode(const std::string& path) { return path; }
    // A device the user named, under the same rule as discovery: empty (and counted as left
    // unprobed) when the policy does not let it be sent a vendor command.
    virtual std::optional<vendor::Candidate> named(const std::string& path, const ProbePolicy&) {
        return vendor::Candidate{path, busOf(path)};
    }
    // The largest data phase the device's host lets through, in bytes; 0 when nobody says.
    virtual uint32_t transferLimit(const std::string&) { return 0; }
    virtual NodeFacts factsOf(const std::string& path) {
        NodeFacts f;
        f.sg = path;
        return f;
    }
    // What the last scan could not do and the user should know (devices denied for lack of rights).
    virtual std::vector<std::string> takeWarnings() { return {}; }
    // The serial number the system reports for the device behind a node (USB serial, 1394 GUID).
    virtual std::string serialOf(const std::string&) { return {}; }
    // The USB port the device is plugged into (its sysfs device path); empty where unknown.
    virtual std::string portOf(const std::string&) { return {}; }
    // What on the host uses the disk behind the device (mounts, holders, swap), one line each.
    virtual std::vector<std::string> diskUsers(const std::string&) { return {}; }
    // The disk behind the device opened for this process alone, for the span of a write, where
    // the platform has such an open: nobody mounts it or claims it while the object lives. Null
    // when it is not held: `busy` says something else has it mounted or open for itself (the
    // mount tables do not show every such use: another mount namespace, a virtual machine), else
    // `why` says why it was not tried or failed.
    virtual std::unique_ptr<DiskHold> holdDisk(const std::string&, bool& busy, std::string& why) {
        busy = false;
        why = "this platform has no exclusive open of a disk";
        return nullptr;
    }
    // Which nodes the scans of this thread pass over while it stands: those another q55x holds (an
    // update under way) are sent nothing, not even an INQUIRY. Per thread, since the devices of a
    // run over many are scanned at once.
    class LeaveAlone {
    public:
        explicit LeaveAlone(std::function<bool(const std::string& node)> f) : previous_(std::exchange(current(), std::move(f))) {}
        ~LeaveAlone() { current() = std::move(previous_); }
        LeaveAlone(const LeaveAlone&) = delete;
        LeaveAlone& operator=(const LeaveAlone&) = delete;

    private:
        std::function<bool(const std::string&)> previous_;
    };

protected:
    static bool leftAlone(const std::string& node) { return current() && current()(node); }

private:
    static std::function<bool(const std::string&)>& current() {
        thread_local std::function<bool(const std::string&)> f;
        return f;
    }
};

std::unique_ptr<DeviceSession> makeHardwareSession(const std::string& sysfsRoot = "/sys", const std::string& devRoot = "/dev");
// What the commands take for the machine's own devices (tests set a pretend sysfs tree); an empty
// function restores the real one. Returns the previous one.
using HardwareSessionFactory = std::function<std::unique_ptr<DeviceSession>()>;
HardwareSessionFactory setHardwareSessionFactory(HardwareSessionFactory factory);
std::unique_ptr<DeviceSession> attachHardware();
// What a user without rights on bridges' nodes reads (`nodes`: one, or a list): the rule that
// grants them and how to install it.
std::string permissionAdvice(const std::string& nodes);
// Attaches the enclosures (installing the emulator as the transport backend and its virtual
// clock). Returns null and fills `error` when an enclosure text is not valid.
std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>& enclosures, std::string& error);
// The --sim grammar, for `q55x sim --help`.
std::string simHelp();

}  // namespace cli
