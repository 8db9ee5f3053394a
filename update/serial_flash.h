// The serial-flash steps the 528-series and legacy procedures are written in, over the device's
// port: read, write (the bridge's own program command, or on Windows the flash-type-aware write by
// SPI cycles), unit erase, the readiness wait, the ATMEL write enable and the status unprotect.
#pragma once
#include <cstddef>
#include <cstdint>

#include "bridge/port.h"
#include "identify/flash_types.h"
#include "update/progress.h"

namespace firmware {

// The flash-type-aware write of the Windows program (SST and MXIC parts the bridge cannot write).
struct SpiWrite {
    bool on = false;
    vendor::FlashType flashType = vendor::kFlashUnknown;
    bool sst25 = false;
};

class SerialFlash {
public:
    explicit SerialFlash(vendor::BridgePort& port, SpiWrite spi = {}) : port_(port), spi_(spi) {}
    bool read(uint32_t addr, uint8_t* buf, uint32_t len) const;
    // Programs an erased stretch.
    bool write(uint32_t addr, const uint8_t* data, uint32_t len) const;
    bool eraseUnit(uint32_t addr) const;
    bool waitReady() const;
    // Write enable (06) and the wait for the write-enable latch.
    bool enableWrite() const;
    // Write enable with the status unprotect; its outcome does not decide anything.
    void unprotect() const;

private:
    vendor::BridgePort& port_;
    SpiWrite spi_;
};

bool allErased(const uint8_t* p, size_t n);

// Writes one stretch, reads it back and compares it; a "." when it holds.
bool writeVerified(const SerialFlash& flash, const Progress& p, uint32_t at, const uint8_t* data, uint32_t len,
                   uint8_t* readBack);

// The write enable an ATMEL part needs before anything is erased, and the status unprotect of the
// parts that may come up protected.
bool prepareFlashForWrite(const SerialFlash& flash, const Progress& p, bool atmel, bool unprotect);

}  // namespace firmware
