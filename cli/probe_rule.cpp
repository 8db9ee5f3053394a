#include "cli/probe_rule.h"

#include <cerrno>

#include "bridge/IDEAccess.h"
#include "discovery/discovery.h"
#include "transport/scsi.h"

namespace cli {

namespace {

bool deniedByRights() {
    const transport::Result& r = transport::lastResult();
    return !r.opened && (r.lastError == EACCES || r.lastError == EPERM);
}

// INQUIRY bytes 8-31 (vendor, then product) with their padding folded: "Seagate Expansion".
std::string identificationOf(const uint8_t* inq) {
    std::string s;
    bool gap = false;
    for (int i = 8; i < 32; ++i) {
        const char c = static_cast<char>(inq[i]);
        if (i == 16 || c <= 0x20 || c >= 0x7F) gap = true;
        if (c <= 0x20 || c >= 0x7F) continue;
        if (gap && !s.empty()) s += ' ';
        s += c;
        gap = false;
    }
    return s;
}

}  // namespace

bool introducesItselfAsOurs(std::optional<uint16_t> usbVendor, std::optional<uint16_t> usbProduct,
                            std::optional<uint32_t> fireWireVendor, const ProbePolicy& policy) {
    if (usbVendor == vendor::kMakerUsbVendorId) return true;
    if (policy.settingsVid && usbVendor == policy.settingsVid && usbProduct == policy.settingsPid) return true;
    return fireWireVendor == vendor::kMakerFireWireVendorId;
}

NodeProber::Answer NodeProber::foreignInquiry(const ScanNode& node) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = answers_.find(node.path);
        if (it != answers_.end() && it->second.instance == node.instance) return it->second;
    }
    Answer a;
    a.instance = node.instance;
    uint8_t inq[vendor::cdb::kStandardInquiryLength] = {};
    if (IDEAccess::StandardInquiry(node.path, inq)) {
        a.names = identificationOf(inq);
    } else if (deniedByRights()) {
        a.denied = true;
        return a;   // nothing reached the device: asked again once the rights are there
    }
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[node.path] = a;
    return a;
}

ScanResult NodeProber::scan(const std::vector<ScanNode>& nodes, const ProbePolicy& policy) {
    ScanResult r;
    for (const ScanNode& n : nodes) {
        if (!n.oursById && !policy.all) {
            const Answer a = foreignInquiry(n);
            if (a.denied) r.denied.push_back(n.path);
            else r.unprobed.push_back(n.path + (a.names.empty() ? "" : " (" + a.names + ")"));
            continue;
        }
        if (!askOurs_ && n.oursById) {
            r.bridges.push_back({n.path, n.bus});
            continue;
        }
        bool bridge = vendor::IsBridgeByInquiry(n.path);
        if (!bridge && deniedByRights()) {
            r.denied.push_back(n.path);
            continue;
        }
        uint8_t gpio[2] = {};
        if (!bridge) bridge = IDEAccess::GetGPIO(n.path, gpio);
        if (bridge) r.bridges.push_back({n.path, n.bus});
    }
    return r;
}

std::optional<vendor::Candidate> NodeProber::named(const ScanNode& node, const ProbePolicy& policy, bool& unprobed) {
    unprobed = false;
    if (node.oursById || policy.all) return vendor::Candidate{node.path, node.bus};
    unprobed = !foreignInquiry(node).denied;
    return std::nullopt;
}

}  // namespace cli
