// The QVR29x bridges' buffer path: the image goes to the chip through WRITE BUFFER and the chip
// programs its flash itself, optionally after a manufacturing image has been downloaded into its
// RAM; the flash is read back through READ BUFFER. Also the one-button update with the embedded
// image, the wait for the bridge to come back after its reset, and the macOS update thread of
// the QVR298.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/update_window.h"

namespace firmware {

// `image` holds `imageSize` bytes (at least `length`); the first `length` bytes are programmed
// from flash address `start`, in 4096-byte commands and a shorter last one when `length` is not
// a multiple of 4096. False at once (nothing sent) for a null image, a `length` of 0 or above
// `imageSize`, or a range beyond the 24-bit buffer offsets. With "Setting ProductSN(In-Code)"
// ticked, a product record the chip refuses fails the download as well.
bool DownloadViaBuffer(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, const uint8_t* image,
                       size_t imageSize, uint32_t length, bool downloadFirst);
// Reads `length` flash bytes from `start` into `buffer` (of `bufferSize` bytes). The chip gives
// back its buffer capacity, or 256 KiB while the manufacturing code runs from RAM, whatever
// `length` is; bytes past what it gave back come out as zeros, and nothing is written to `buffer`
// beyond `length`. False (nothing read) when `length` exceeds `bufferSize`.
bool ReadFlashViaBuffer(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, uint8_t* buffer,
                        size_t bufferSize, uint32_t length);

// The one-button update: the embedded image through the buffer path, read back and compared
// over everything programmed (both banks), the bank signature blocks excepted. No messages.
bool UpdateWithEmbeddedImage(UpdateWindow& w, const SelectedDevice& dev);

// The scan used while waiting for the bridge: the Windows program's discovery, or q55x's.
using DeviceScan = std::function<std::vector<std::string>()>;
// Sends the chip reset, waits 2000 ms, then scans up to 60 times 500 ms apart until exactly one
// device is found. True when the last scan found any device; `found` receives its paths.
bool ResetAndReattach(UpdateWindow& w, const SelectedDevice& dev, const DeviceScan& scan,
                      std::vector<std::string>& found);
// The longest ResetAndReattach waits for the bridge, in whole seconds.
unsigned reattachWaitSeconds();

// Who a bridge is, as far as the host can tell without sending it a command: the serial number
// its USB device or 1394 unit reports (its GUID), the USB port it is plugged into, and the node it
// is at now. Any of them may be empty where the platform does not know it.
struct BridgeIdentity {
    std::string serial;
    std::string port;
    std::string node;
    // "serial S", else "port P", else "node N": what names it while no other bridge shares its
    // serial (the name of its lock, and how enclosures that answer alike are found).
    std::string name() const;
};
using IdentityOf = std::function<BridgeIdentity(const std::string& path)>;

// The scan to wait with for the updated bridge after its reset: it passes on the one bridge whose
// identity is the updated one's, whatever node it comes back at, and nothing else. While the
// updated bridge is off the bus, the others are all a plain scan sees, and counted, one of them
// would pass for it. The bridge is known by its serial where no other bridge attached before the
// update (`pathsBefore`, the scan taken just before it) shares it, else by its port, else
// (neither known) by its own node only; where its port is known it must agree as well. A twin
// (one serial, another port) and a newcomer never count; when two fit, neither does.
DeviceScan scanForUpdatedBridge(const BridgeIdentity& updated, const std::vector<std::string>& pathsBefore,
                                DeviceScan scanAll, IdentityOf identityOf);

// The macOS update thread's work for the selected controller: 0 on success, -1 on failure.
// `showResult` is called with true or false for the wizard's success or failure window.
int qvr298_update_func(uint32_t device, const std::function<void(bool)>& showResult);

// How many bytes a read-back of these chips is compared over after `written` bytes were
// programmed: everything written, and bank 0 (0x20000 bytes) at least. A damaged second bank
// is the copy the chip falls back to, so it is never left out.
size_t bufferCompareLength(size_t written);
// Image offsets every read-back comparison of these chips skips: the bank signature blocks.
bool inBankSignatureArea(size_t offset);
// First offset in [0, length) where a and b differ outside the bank signature areas, or -1.
long firstDifferenceOutsideBankSignatures(const uint8_t* a, const uint8_t* b, size_t length);

}  // namespace firmware
