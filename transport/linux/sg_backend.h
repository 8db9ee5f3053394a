// Linux pass-through: SG_IO on the /dev/sgN node (or the /dev/sdX node) of a disk.
//
// Real hardware is precious: a device whose SCSI host does not sit behind usb-storage, uas or
// firewire-sbp2 is only ever sent the harmless standard commands (TEST UNIT READY, INQUIRY,
// READ CAPACITY); every other command to it fails without reaching the device.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/backend.h"

namespace transport {

// The kernel driver that carries the device's SCSI host: "usb-storage", "uas", "firewire_sbp2",
// or empty when the device is none of these (an internal disk, say) or cannot be resolved.
std::string bridgeTransportOf(std::string_view devPath, const std::string& sysfsRoot = "/sys");

// What sysfs tells of a node without a command to the device: the driver that carries it (as
// bridgeTransportOf), the USB vendor and product of the USB device above it, or the vendor
// (company id) of the 1394 unit or device above it.
struct NodeIdentity {
    std::string transport;
    std::optional<uint16_t> usbVendor, usbProduct;
    std::optional<uint32_t> fireWireVendor;
    std::string serial;   // the USB device's serial number, or the 1394 unit's GUID
    std::string port;     // where it is plugged in: the USB device's port path ("1-2.3"), the 1394 node ("fw1")
};
NodeIdentity identifyNode(std::string_view devPath, const std::string& sysfsRoot = "/sys");

// The node's sysfs class entry as it stands now ("<inode>:<creation time>"): a node that comes back
// as another device has a new entry, and so another text; empty when sysfs has no entry for it.
std::string nodeInstanceOf(std::string_view devPath, const std::string& sysfsRoot = "/sys");

// Commands that may go to any device, bridge or not.
bool isHarmlessStandardCommand(const uint8_t* cdb, uint8_t cdbLen);

// The system calls one command makes, as a seam: the kernel's own for the platform backend, a
// pretend kernel in tests (a stop and continue mid-command, a node another program holds).
class SgSystem {
public:
    virtual ~SgSystem() = default;
    virtual int open(const char* path, int flags);           // -1 with errno set on failure
    virtual int close(int fd);
    virtual int ioctlSgIo(int fd, void* hdr);                 // SG_IO on a block node
    virtual long submit(int fd, const void* hdr, size_t n);   // write() of the request to a generic node
    virtual int waitReadable(int fd, int timeoutMs);          // poll(): >0 ready, 0 time-out, -1 errno
    virtual long collect(int fd, void* hdr, size_t n);        // read() of the completed request
};
SgSystem& systemSgCalls();

// Opens that find the node held exclusively by another program are tried again this often, this
// far apart (through the clock seam), before the command fails with EBUSY.
constexpr int kBusyOpenTries = 5;
constexpr unsigned kBusyOpenPauseMs = 200;

// After a command that ended with a host status, the node is looked at this often, this long,
// for the kernel taking it away (the device left the bus mid-command).
constexpr unsigned kDepartureLookMs = 50;
constexpr unsigned kDepartureWaitMs = 1000;

class LinuxSgBackend final : public Backend {
public:
    explicit LinuxSgBackend(std::string sysfsRoot = "/sys", SgSystem& sys = systemSgCalls())
        : sysfs_(std::move(sysfsRoot)), sys_(sys) {}
    Result execute(const Request& req) override;

private:
    // The transport of a node, looked up in sysfs once per device: a node that comes back as
    // another device has a new sysfs entry and is looked up again.
    bool isBridgeNode(const std::string& path);
    bool nodeGoesAway(const std::string& path) const;

    struct Verdict {
        std::string instance;   // nodeInstanceOf when it was looked up
        bool bridge = false;
    };
    std::string sysfs_;
    SgSystem& sys_;
    std::mutex mutex_;
    std::map<std::string, Verdict> verdicts_;
};

}  // namespace transport

namespace transport {

// The /dev/sgN nodes of SCSI devices behind usb-storage, uas or firewire-sbp2, in node order.
std::vector<std::string> scanBridgeNodes(const std::string& sysfsRoot = "/sys");

// What Linux shows of a bridge's disk in place of drive letters: its block device ("/dev/sdb")
// and the mount points of its partitions, from a mounts table in /proc/mounts format.
struct LinuxVolumes {
    std::string blockDevice;
    std::vector<std::string> mounts;
};
LinuxVolumes volumesOf(std::string_view sgPath, const std::string& sysfsRoot = "/sys",
                       const std::string& mountsFile = "/proc/mounts");

// The largest data phase the kernel lets through to the disk behind a node, in bytes (its block
// queue's max_hw_sectors_kb); 0 when sysfs does not say.
uint32_t transferLimitOf(std::string_view devPath, const std::string& sysfsRoot = "/sys");

// The SCSI generic node ("/dev/sgN") of any name of a disk: the sg node itself, its block node
// ("/dev/sdb"), or a link to either (/dev/disk/by-id/..., /dev/disk/by-path/...). The name as given
// when it names none (the backend then sends it nothing but standard commands).
std::string sgNodeOf(const std::string& name, const std::string& sysfsRoot = "/sys");

// The persistent names udev gives a block device ("sdb"): the first link to it under
// <devRoot>/disk/by-id and <devRoot>/disk/by-path, in name order, partitions aside.
struct PersistentNames {
    std::string byId, byPath;
};
PersistentNames persistentNamesOf(const std::string& blockName, const std::string& devRoot = "/dev");

}  // namespace transport
