// Which storage devices a scan sends a vendor command, the same on the machine's own devices and on
// the emulated bus. A device that introduces itself as ours (our USB or 1394 vendor id, or the
// VID/PID of a settings file) is asked whether it is a bridge; any other device is sent nothing
// but the INQUIRY the kernel itself sends it at every attach, six bytes of CDB and 36 of data,
// once while the node stays the same device, however often the scans come (the wait for a bridge
// after its reset scans twice a second for up to half a minute); --probe-all asks it all the same.
#pragma once
#include <mutex>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include "cli/session.h"

namespace cli {

// What gives a node reason to be taken for one of our bridges before any command: our USB vendor
// id, the VID/PID a settings file names, or the 1394 vendor of our bridges.
bool introducesItselfAsOurs(std::optional<uint16_t> usbVendor, std::optional<uint16_t> usbProduct,
                            std::optional<uint32_t> fireWireVendor, const ProbePolicy& policy);

struct ScanNode {
    std::string path;
    std::string instance;          // changes when another device takes the node
    bool oursById = false;         // our USB or 1394 vendor id, or the settings file's VID and PID
    std::optional<vendor::Bus> bus;
};

struct ScanResult {
    std::vector<vendor::Candidate> bridges;
    std::vector<std::string> denied;     // nodes that could not be opened for lack of rights
    std::vector<std::string> unprobed;   // "/dev/sg2 (Seagate Expansion)": left unasked
};

class NodeProber {
public:
    // `askOurs`: a device that introduces itself as ours is still asked whether it is a bridge (the
    // machine's devices); the emulator's are bridges all.
    explicit NodeProber(bool askOurs) : askOurs_(askOurs) {}
    ScanResult scan(const std::vector<ScanNode>& nodes, const ProbePolicy& policy);
    // A device the user named: a candidate when the rule lets it be asked; else empty, with
    // `unprobed` set unless it was denied for lack of rights.
    std::optional<vendor::Candidate> named(const ScanNode& node, const ProbePolicy& policy, bool& unprobed);

private:
    struct Answer {
        std::string instance;
        bool denied = false;
        std::string names;   // vendor and product identification as the device gives them
    };
    Answer foreignInquiry(const ScanNode& node);

    bool askOurs_;
    std::mutex mutex_;
    std::map<std::string, Answer> answers_;   // by node
};

}  // namespace cli
