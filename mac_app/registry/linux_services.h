// The registry over Linux: the SCSI generic nodes behind usb-storage, uas or firewire-sbp2 are
// the services (and the devices our maker library lists), with a registry made up from sysfs:
// the USB device above the node gives idVendor and idProduct, a uas transport puts an
// "IOUSBAttachedSCSI" entry below it, a FireWire unit gives its GUID; the media entry is named
// from the SCSI vendor and model. Kernel uevents (netlink) for scsi_generic nodes make the run
// loop look again; without the socket it looks every two seconds.
#pragma once
#include <string>
#include <vector>

#include "mac_app/registry/snapshot_services.h"
#include "transport/maclib/qvlib.h"

namespace iokit {

class LinuxServices final : public SnapshotServices, public maclib::MakerDeviceSource {
public:
    // `listenForEvents`: open the uevent socket (the program); tests look only when asked.
    explicit LinuxServices(std::string sysfsRoot = "/sys", bool listenForEvents = true);
    ~LinuxServices() override;
    LinuxServices(const LinuxServices&) = delete;
    LinuxServices& operator=(const LinuxServices&) = delete;

    // The device object of /dev/sgN: kObjectBase + N.
    static constexpr uint32_t kObjectBase = 0x1000;

    // Looks at sysfs again and tells what came and went.
    void rescan();
    // The record the registry gives a node (empty object when the node is not a bridge of ours).
    ServiceRecord recordOf(const std::string& node) const;

    std::vector<maclib::MakerDevice> list() override;

protected:
    void waitForChanges(unsigned ms) override;

private:
    std::string sysfs_;
    int socket_ = -1;
    unsigned sinceScanMs_ = 0;
    std::vector<maclib::MakerDevice> known_;
};

}  // namespace iokit
