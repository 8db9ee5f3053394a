// q55x-ffs-bridge: an emulated bridge enclosure on a real USB bus. It is the function of a
// configfs gadget (FunctionFS, mass storage class, Bulk-Only Transport); with dummy_hcd the host
// side of the same kernel binds usb-storage to it, so every command the tools send travels
// through SG_IO, the SCSI mid-layer, usb-storage, the USB core and back.
//
//   q55x-ffs-bridge --ffs DIR --gadget CONFIGFS-DIR --udc NAME --sim ENCLOSURE
//
// The caller binds the gadget to the UDC once the program says "ready". A chip reset takes the
// device off the bus (the gadget is unbound from the UDC) for the enclosure's reset time and brings it back after the chip's boot, as a real bridge re-enumerates; a drop or a power
// cut takes it off for good. Standard error gets one line per command for the timing reports:
//   CMD <CBW arrival us> <CSW sent us> <service us> <opcode> <CDB byte 1> <length> <status>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/enclosure.h"
#include "sim/enclosure_config.h"
#include "sys/clock.h"
#include "kernel_e2e/bot_target.h"

namespace {

using kernel_e2e::Cbw;
using kernel_e2e::CswStatus;

// Larger than anything usb-storage sends in one command (its max_sectors bounds it far lower).
constexpr uint32_t kMaxTransfer = 16u << 20;
// Data-in shorter than asked for ends with a short packet; a length that is a whole number of
// packets (64 bytes at full speed, 512 at high speed) would not, so that reply is padded.
constexpr uint32_t kSmallestPacket = 64;

struct __attribute__((packed)) InterfaceDescs {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio in, out;
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 head;
    __le32 fsCount, hsCount;
    InterfaceDescs fs, hs;
};

struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head head;
    __le16 lang;
    char text[7];
};

void fillInterface(InterfaceDescs& d, uint16_t maxPacket) {
    std::memset(&d, 0, sizeof d);
    d.intf.bLength = sizeof d.intf;
    d.intf.bDescriptorType = USB_DT_INTERFACE;
    d.intf.bNumEndpoints = 2;
    d.intf.bInterfaceClass = USB_CLASS_MASS_STORAGE;
    d.intf.bInterfaceSubClass = 0x06;   // SCSI transparent command set
    d.intf.bInterfaceProtocol = 0x50;   // Bulk-Only Transport
    d.intf.iInterface = 1;
    for (usb_endpoint_descriptor_no_audio* e : {&d.in, &d.out}) {
        e->bLength = sizeof *e;
        e->bDescriptorType = USB_DT_ENDPOINT;
        e->bmAttributes = USB_ENDPOINT_XFER_BULK;
        e->wMaxPacketSize = htole16(maxPacket);
    }
    d.in.bEndpointAddress = 1 | USB_DIR_IN;
    d.out.bEndpointAddress = 2 | USB_DIR_OUT;
}

uint64_t nowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Class requests on endpoint 0: GET MAX LUN (one LUN) and the Bulk-Only reset; anything else stalls.
void serveEp0(int ep0) {
    usb_functionfs_event ev;
    while (read(ep0, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev)) {
        if (ev.type != FUNCTIONFS_SETUP) {
            std::fprintf(stderr, "FFS: event %d\n", ev.type);
            continue;
        }
        uint8_t zero = 0;
        const bool in = (ev.u.setup.bRequestType & USB_DIR_IN) != 0;
        ssize_t rc = 0;
        if (ev.u.setup.bRequest == 0xFE && in) rc = write(ep0, &zero, 1);
        else if (ev.u.setup.bRequest == 0xFF && !in) rc = read(ep0, &zero, 0);
        else rc = in ? read(ep0, &zero, 0) : write(ep0, &zero, 0);   // the wrong direction stalls
        (void)rc;
    }
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Data-out ends when the host's length has arrived or a short packet closes the transfer; a
// FunctionFS read returns early only at a short packet.
uint32_t readOut(int fd, uint8_t* p, uint32_t n) {
    uint32_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        const bool shortPacket = static_cast<uint32_t>(r) < n - got;
        got += static_cast<uint32_t>(r);
        if (shortPacket) break;
    }
    return got;
}

// The gadget's place on the bus: bound to the UDC or not. Unbinding and binding again through
// configfs is what a cable pull looks like to the host, and FunctionFS keeps its endpoints across
// it. (The UDC's soft_connect would be lighter, but dummy_hcd does not answer again after it.)
class Attachment {
public:
    Attachment(std::string gadget, std::string udc) : file_(std::move(gadget) + "/UDC"), udc_(std::move(udc)) {}
    bool set(bool on) const {
        const int fd = open(file_.c_str(), O_WRONLY);
        if (fd < 0) return false;
        const std::string text = on ? udc_ + "\n" : "\n";
        const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        std::fprintf(stderr, "FFS: %s%s\n", on ? "attached" : "detached", ok ? "" : " (failed)");
        return ok;
    }
private:
    std::string file_, udc_;
};

int usage() {
    std::fprintf(stderr, "usage: q55x-ffs-bridge --ffs DIR --gadget CONFIGFS-DIR --udc NAME --sim ENCLOSURE\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = "/dev/ffs", gadget, udc, simText;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--ffs") dir = argv[i + 1];
        else if (key == "--gadget") gadget = argv[i + 1];
        else if (key == "--udc") udc = argv[i + 1];
        else if (key == "--sim") simText = argv[i + 1];
        else return usage();
    }
    if (argc % 2 == 0 || gadget.empty() || udc.empty() || simText.empty()) return usage();

    sim::EnclosureConfig config;
    std::string error;
    if (!sim::parseEnclosureConfig(simText, config, error)) {
        std::fprintf(stderr, "--sim: %s\n", error.c_str());
        return 64;
    }
    std::unique_ptr<sim::Enclosure> enclosure = sim::Enclosure::create(config, error);
    if (!enclosure) {
        std::fprintf(stderr, "--sim: %s\n", error.c_str());
        return 1;
    }
    kernel_e2e::BridgeTarget target(*enclosure);
    const Attachment attachment(gadget, udc);

    Descriptors descs;
    std::memset(&descs, 0, sizeof descs);
    descs.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descs.head.length = htole32(sizeof descs);
    descs.head.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descs.fsCount = descs.hsCount = htole32(3);
    fillInterface(descs.fs, 64);
    fillInterface(descs.hs, 512);
    Strings strings;
    std::memset(&strings, 0, sizeof strings);
    strings.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    strings.head.length = htole32(sizeof strings);
    strings.head.str_count = htole32(1);
    strings.head.lang_count = htole32(1);
    strings.lang = htole16(0x0409);
    std::memcpy(strings.text, "bridge", 7);

    const std::string ep0Path = dir + "/ep0", inPath = dir + "/ep1", outPath = dir + "/ep2";
    const int ep0 = open(ep0Path.c_str(), O_RDWR);
    if (ep0 < 0) return std::perror(ep0Path.c_str()), 1;
    if (write(ep0, &descs, sizeof descs) < 0) return std::perror("descriptors"), 1;
    if (write(ep0, &strings, sizeof strings) < 0) return std::perror("strings"), 1;
    std::thread(serveEp0, ep0).detach();
    const int epIn = open(inPath.c_str(), O_RDWR), epOut = open(outPath.c_str(), O_RDWR);
    if (epIn < 0 || epOut < 0) return std::perror("endpoints"), 1;
    std::fprintf(stderr, "FFS: ready, %s\n", simText.c_str());

    std::vector<uint8_t> data;
    for (;;) {
        uint8_t wrapper[512];
        const ssize_t n = read(epOut, wrapper, sizeof wrapper);
        if (n < 0) {
            // Off the bus (a reset, the host's reset recovery) or interrupted: wait for the next CBW.
            if (errno == ESHUTDOWN || errno == ECONNRESET || errno == EINTR || errno == EAGAIN) {
                sys::sleepMs(10);
                continue;
            }
            return std::perror("CBW"), 1;
        }
        const uint64_t tCbw = nowUs();
        Cbw cbw;
        if (!kernel_e2e::parseCbw(wrapper, static_cast<size_t>(n), cbw) || cbw.dataLength > kMaxTransfer) {
            // No wrapper to answer: the host's reset recovery (Bulk-Only reset, clear halt) follows.
            std::fprintf(stderr, "FFS: bad CBW (%zd bytes)\n", n);
            continue;
        }
        data.assign(cbw.dataLength, 0);
        uint32_t received = 0;
        if (!cbw.dataIn && cbw.dataLength) received = readOut(epOut, data.data(), cbw.dataLength);

        const uint64_t tExec = nowUs();
        const kernel_e2e::TargetReply reply = target.execute(cbw, data.data(), received);
        const uint64_t serviceUs = nowUs() - tExec;

        if (reply.bus == sim::CommandOutcome::Drop || reply.bus == sim::CommandOutcome::PowerCut) {
            // Gone mid-command: no data, no status, and it does not come back.
            attachment.set(false);
            std::fprintf(stderr, "FFS: off the bus for good\n");
            for (;;) sys::sleepMs(1000);
        }
        if (cbw.dataIn && cbw.dataLength) {
            uint32_t send = reply.moved;
            if (reply.status != CswStatus::Passed || (send < cbw.dataLength && send % kSmallestPacket == 0)) {
                std::fill(data.begin() + send, data.end(), 0);
                send = cbw.dataLength;
            }
            writeAll(epIn, data.data(), send);
        }
        const auto csw = kernel_e2e::makeCsw(cbw.tag, reply.residue, reply.status);
        writeAll(epIn, csw.data(), csw.size());
        std::fprintf(stderr, "CMD %llu %llu %llu %02x %02x %u %d\n", static_cast<unsigned long long>(tCbw),
                     static_cast<unsigned long long>(nowUs()), static_cast<unsigned long long>(serviceUs), cbw.cdb[0],
                     cbw.cdb[1], cbw.dataLength, static_cast<int>(reply.status));

        if (reply.bus == sim::CommandOutcome::Reset) {
            // The chip restarts: off the bus for its reset time, then it boots from its flash and
            // enumerates again.
            attachment.set(false);
            sys::sleepMs(config.resetDelayMs);
            enclosure->reboot();
            if (!enclosure->faults().noReturn()) attachment.set(true);
        }
    }
}
