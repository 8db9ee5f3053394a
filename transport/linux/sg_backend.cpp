#include "transport/linux/sg_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sys/clock.h"

namespace transport {

namespace fs = std::filesystem;

namespace {

std::string deviceNodeName(std::string_view devPath) {
    const std::string_view prefix = "/dev/";
    if (devPath.substr(0, prefix.size()) != prefix) return {};
    std::string name(devPath.substr(prefix.size()));
    if (name.empty() || name.find('/') != std::string::npos) return {};
    return name;
}

}  // namespace

std::string bridgeTransportOf(std::string_view devPath, const std::string& sysfsRoot) {
    const std::string name = deviceNodeName(devPath);
    if (name.empty()) return {};
    fs::path link;
    if (name.rfind("sg", 0) == 0) link = fs::path(sysfsRoot) / "class/scsi_generic" / name / "device";
    else if (name.rfind("sd", 0) == 0) link = fs::path(sysfsRoot) / "block" / name / "device";
    else return {};
    std::error_code ec;
    fs::path dev = fs::canonical(link, ec);
    if (ec) return {};
    const fs::path devicesRoot = fs::weakly_canonical(fs::path(sysfsRoot) / "devices", ec);
    // Walk up from the SCSI device towards the root, looking at the driver bound to each level:
    // the USB interface (usb-storage, uas) or the FireWire unit (firewire_sbp2) above the host.
    for (fs::path p = dev; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (!devicesRoot.empty() && p == devicesRoot) break;
        fs::path drv = fs::read_symlink(p / "driver", ec);
        if (!ec) {
            const std::string d = drv.filename().string();
            if (d == "usb-storage" || d == "uas" || d == "firewire_sbp2") return d;
        }
        ec.clear();
    }
    return {};
}

namespace {

std::string readLine(const fs::path& p) {
    std::ifstream f(p);
    std::string s;
    std::getline(f, s);
    return s;
}

std::optional<uint64_t> readHexFile(const fs::path& p) {
    std::ifstream f(p);
    std::string s;
    if (!std::getline(f, s) || s.empty()) return std::nullopt;
    char* end = nullptr;
    const uint64_t v = std::strtoull(s.c_str(), &end, 16);
    if (end == s.c_str() || (*end != '\0' && *end != ' ' && *end != '\n')) return std::nullopt;
    return v;
}

}  // namespace

NodeIdentity identifyNode(std::string_view devPath, const std::string& sysfsRoot) {
    NodeIdentity id;
    id.transport = bridgeTransportOf(devPath, sysfsRoot);
    if (id.transport.empty()) return id;
    const std::string name = deviceNodeName(devPath);
    const fs::path link = name.rfind("sg", 0) == 0 ? fs::path(sysfsRoot) / "class/scsi_generic" / name / "device"
                                                   : fs::path(sysfsRoot) / "block" / name / "device";
    std::error_code ec;
    const fs::path dev = fs::canonical(link, ec);
    if (ec) return id;
    // Above the SCSI device (whose own "vendor" is the INQUIRY text): the USB device with its
    // idVendor and idProduct, or the 1394 unit or device with its vendor.
    const fs::path devicesRoot = fs::weakly_canonical(fs::path(sysfsRoot) / "devices", ec);
    for (fs::path p = dev.parent_path(); !p.empty() && p != p.root_path() && p != devicesRoot; p = p.parent_path()) {
        if (id.transport == "firewire_sbp2") {
            if (const auto v = readHexFile(p / "vendor")) {
                id.fireWireVendor = static_cast<uint32_t>(*v);
                id.serial = readLine(p / "guid");
                id.port = p.filename().string();
                break;
            }
            continue;
        }
        const auto vid = readHexFile(p / "idVendor");
        const auto pid = readHexFile(p / "idProduct");
        if (vid && pid) {
            id.usbVendor = static_cast<uint16_t>(*vid);
            id.usbProduct = static_cast<uint16_t>(*pid);
            id.serial = readLine(p / "serial");
            id.port = p.filename().string();
            break;
        }
    }
    return id;
}

bool isHarmlessStandardCommand(const uint8_t* cdb, uint8_t cdbLen) {
    if (cdb == nullptr || cdbLen == 0) return false;
    switch (cdb[0]) {
        case 0x00:  // TEST UNIT READY
        case 0x12:  // INQUIRY
        case 0x25:  // READ CAPACITY(10)
            return true;
        case 0x9E:  // SERVICE ACTION IN(16) / READ CAPACITY(16)
            return cdbLen >= 2 && (cdb[1] & 0x1F) == 0x10;
        default:
            return false;
    }
}

std::string nodeInstanceOf(std::string_view devPath, const std::string& sysfsRoot) {
    const std::string name = deviceNodeName(devPath);
    if (name.empty()) return {};
    const std::string entry = sysfsRoot + (name.rfind("sg", 0) == 0 ? "/class/scsi_generic/" : "/block/") + name;
    struct stat st {};
    if (::lstat(entry.c_str(), &st) != 0) return {};
    return std::to_string(st.st_ino) + ":" + std::to_string(int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec);
}

bool LinuxSgBackend::isBridgeNode(const std::string& path) {
    const std::string instance = nodeInstanceOf(path, sysfs_);
    if (instance.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = verdicts_.find(path);
    if (it != verdicts_.end() && it->second.instance == instance) return it->second.bridge;
    const bool bridge = !bridgeTransportOf(path, sysfs_).empty();
    verdicts_[path] = {instance, bridge};
    return bridge;
}

int SgSystem::open(const char* path, int flags) { return ::open(path, flags); }
int SgSystem::close(int fd) { return ::close(fd); }
int SgSystem::ioctlSgIo(int fd, void* hdr) { return ::ioctl(fd, SG_IO, hdr); }
long SgSystem::submit(int fd, const void* hdr, size_t n) { return ::write(fd, hdr, n); }
int SgSystem::waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
}
long SgSystem::collect(int fd, void* hdr, size_t n) { return ::read(fd, hdr, n); }

SgSystem& systemSgCalls() {
    static SgSystem s;
    return s;
}

namespace {

bool isGenericNode(const std::string& path) { return deviceNodeName(path).rfind("sg", 0) == 0; }

// One request on a generic node, submitted once and then collected. SG_IO on such a node waits
// interruptibly, and a stop and continue (Ctrl-Z, fg) restarts the whole call: the command would
// go to the device a second time. Here only the wait is ever repeated; the command went once.
int submitThenCollect(SgSystem& sys, int fd, sg_io_hdr_t& io) {
    if (sys.submit(fd, &io, sizeof io) < 0) return -1;
    // The kernel ends the command at its own time-out; the wait allows for that and a little more.
    const int waitMs = io.timeout >= INT_MAX - 5000 ? -1 : static_cast<int>(io.timeout) + 5000;
    for (;;) {
        const int ready = sys.waitReadable(fd, waitMs);
        if (ready > 0) break;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return -1;
    }
    for (;;) {
        if (sys.collect(fd, &io, sizeof io) >= 0) return 0;
        if (errno != EINTR && errno != EAGAIN) return -1;
    }
}

}  // namespace

Result LinuxSgBackend::execute(const Request& req) {
    Result r;
    const std::string path(req.path);
    if (!isHarmlessStandardCommand(req.cdb, req.cdbLen) && !isBridgeNode(path))
        return r;  // not a bridge of ours: never opened, never sent
    if (exceedsTransferLimit(req, transferLimitOf(path, sysfs_))) {
        r.lastError = EOVERFLOW;
        return r;
    }

    int flags = O_RDWR | O_NONBLOCK;
    if (req.sharing == Sharing::Exclusive) flags |= O_EXCL;
    // Another program (a disk tool, the desktop's volume manager probing the disk) may hold the
    // node for a moment: the open is tried again before the command fails as busy.
    int fd = -1;
    for (int attempt = 1; (fd = sys_.open(path.c_str(), flags)) < 0; ++attempt) {
        if (errno != EBUSY || attempt >= kBusyOpenTries) break;
        sys::sleepMs(kBusyOpenPauseMs);
    }
    if (fd < 0) {
        r.lastError = static_cast<uint32_t>(errno);
        return r;
    }
    r.opened = true;

    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmd_len = req.cdbLen;
    io.cmdp = const_cast<unsigned char*>(req.cdb);
    io.mx_sb_len = static_cast<unsigned char>(kMaxSense);
    io.sbp = r.sense.data();
    io.dxfer_len = req.xferLen;
    io.dxferp = req.xferLen ? req.data : nullptr;
    io.dxfer_direction = req.xferLen == 0           ? SG_DXFER_NONE
                         : req.dir == Direction::In ? SG_DXFER_FROM_DEV
                                                    : SG_DXFER_TO_DEV;
    io.timeout = req.timeoutSec > UINT_MAX / 1000 ? UINT_MAX : req.timeoutSec * 1000;

    errno = 0;
    const int rc = isGenericNode(path) ? submitThenCollect(sys_, fd, io) : sys_.ioctlSgIo(fd, &io);
    r.lastError = rc < 0 ? static_cast<uint32_t>(errno) : 0;
    sys_.close(fd);

    r.platformOk = rc == 0;
    r.scsiStatus = io.status;
    r.hostStatus = static_cast<uint8_t>(io.host_status);
    // DRIVER_SENSE only says that sense bytes came back; it is not an error by itself.
    r.driverStatus = static_cast<uint8_t>(io.driver_status & ~0x08);
    r.residual = io.resid > 0 ? static_cast<uint32_t>(io.resid) : 0;
    r.reported = req.xferLen - std::min(req.xferLen, r.residual);
    r.senseValid = io.sb_len_wr;
    // A device that leaves the bus mid-command ends it with a host status (usb-storage: DID_ERROR),
    // and the kernel takes its node away a moment later: then the command failed because the
    // enclosure left, and says so.
    if (r.hostStatus != 0 && r.lastError == 0 && nodeGoesAway(path)) r.lastError = ENODEV;
    return r;
}

bool LinuxSgBackend::nodeGoesAway(const std::string& path) const {
    for (unsigned waitedMs = 0;; waitedMs += kDepartureLookMs) {
        if (nodeInstanceOf(path, sysfs_).empty()) return true;
        if (waitedMs >= kDepartureWaitMs) return false;
        sys::sleepMs(kDepartureLookMs);
    }
}

std::vector<std::string> scanBridgeNodes(const std::string& sysfsRoot) {
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(sysfsRoot) / "class/scsi_generic", ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("sg", 0) != 0) continue;
        const std::string node = "/dev/" + name;
        if (bridgeTransportOf(node, sysfsRoot).empty()) continue;
        found.emplace_back(std::atoi(name.c_str() + 2), node);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (auto& f : found) nodes.push_back(std::move(f.second));
    return nodes;
}

LinuxVolumes volumesOf(std::string_view sgPath, const std::string& sysfsRoot, const std::string& mountsFile) {
    LinuxVolumes v;
    const std::string name = deviceNodeName(sgPath);
    if (name.rfind("sg", 0) != 0) return v;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(sysfsRoot) / "class/scsi_generic" / name / "device/block", ec)) {
        v.blockDevice = "/dev/" + e.path().filename().string();
        break;
    }
    if (v.blockDevice.empty()) return v;
    std::ifstream mounts(mountsFile);
    std::string dev, dir, rest;
    while (mounts >> dev >> dir && std::getline(mounts, rest)) {
        // Partitions of sdb are sdb1, sdb2, ...; sdbb is another disk.
        if (dev.rfind(v.blockDevice, 0) != 0) continue;
        const std::string tail = dev.substr(v.blockDevice.size());
        if (tail.find_first_not_of("0123456789") != std::string::npos) continue;
        v.mounts.push_back(dir);
    }
    return v;
}

uint32_t transferLimitOf(std::string_view devPath, const std::string& sysfsRoot) {
    const LinuxVolumes v = volumesOf(devPath, sysfsRoot, "/dev/null");
    std::string block = v.blockDevice.empty() ? deviceNodeName(devPath) : v.blockDevice.substr(5);
    std::ifstream f(fs::path(sysfsRoot) / "block" / block / "queue/max_hw_sectors_kb");
    uint64_t kib = 0;
    if (!(f >> kib) || kib == 0 || kib > 4u * 1024 * 1024) return 0;
    return static_cast<uint32_t>(kib * 1024);
}

std::string sgNodeOf(const std::string& name, const std::string& sysfsRoot) {
    std::error_code ec;
    const fs::path real = fs::canonical(name, ec);
    const std::string node = (ec ? fs::path(name) : real).filename().string();
    if (node.rfind("sg", 0) == 0) return "/dev/" + node;
    for (const auto& e : fs::directory_iterator(fs::path(sysfsRoot) / "class/scsi_generic", ec))
        if (fs::exists(e.path() / "device/block" / node)) return "/dev/" + e.path().filename().string();
    return name;
}

PersistentNames persistentNamesOf(const std::string& blockName, const std::string& devRoot) {
    PersistentNames n;
    if (blockName.empty()) return n;
    const auto first = [&](const char* folder) {
        std::vector<std::string> links;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fs::path(devRoot) / "disk" / folder, ec)) {
            const fs::path target = fs::read_symlink(e.path(), ec);
            if (!ec && target.filename() == blockName) links.push_back(e.path().string());
            ec.clear();
        }
        std::sort(links.begin(), links.end());
        return links.empty() ? std::string() : links.front();
    };
    n.byId = first("by-id");
    n.byPath = first("by-path");
    return n;
}

Backend& platformBackend() {
    static LinuxSgBackend b;
    return b;
}

}  // namespace transport
