#include "sim/win_devices.h"

namespace sim {

namespace {
constexpr uint32_t kInternalDisk = 0;
}

bool SimWinDevices::openDiskInterfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    interfaces_.clear();
    for (const auto& d : bus_.devices()) interfaces_.push_back(d.windowsPath);
    return true;
}

bool SimWinDevices::diskInterfacePath(unsigned index, std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= interfaces_.size()) return false;
    path = interfaces_[index];
    return true;
}

std::map<char, uint32_t> SimWinDevices::volumes() {
    std::map<char, uint32_t> v{{'C', kInternalDisk}};
    char next = 'E';
    for (const auto& d : bus_.devices())
        if (next <= 'Z') v[next++] = d.number;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [letter, number] : extraVolumes_) v[letter] = number;
    return v;
}

bool SimWinDevices::deviceNumber(const std::string& path, transport::StorageDeviceNumber& out) {
    for (const auto& d : bus_.devices()) {
        // Paths are compared as the window stores them: lower case.
        std::string a = d.windowsPath, b = path;
        for (auto* s : {&a, &b})
            for (char& c : *s)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (a == b) {
            out = {kFileDeviceDisk, d.number, 0};
            return true;
        }
    }
    if (path.size() == 6 && path.rfind("\\\\.\\", 0) == 0 && path[5] == ':') {
        const auto v = volumes();
        auto it = v.find(path[4]);
        if (it == v.end()) return false;
        out = {kFileDeviceDisk, it->second, 1};
        return true;
    }
    return false;
}

uint32_t SimWinDevices::logicalDriveMask() {
    uint32_t mask = 0;
    for (const auto& [letter, number] : volumes()) mask |= 1u << (letter - 'A');
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [letter, remote] : network_) mask |= 1u << (letter - 'A');
    return mask;
}

transport::DriveKind SimWinDevices::driveType(const std::string& root) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!root.empty() && network_.count(root[0])) return transport::DriveKind::Remote;
    return root.rfind("C:", 0) == 0 ? transport::DriveKind::Fixed : transport::DriveKind::Removable;
}

void SimWinDevices::addVolume(char letter, uint32_t deviceNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    extraVolumes_[letter] = deviceNumber;
}

void SimWinDevices::addNetworkDrive(char letter) {
    std::lock_guard<std::mutex> lock(mutex_);
    network_[letter] = true;
}

}  // namespace sim
