#include "update/serial_flash.h"

#include <algorithm>
#include <cstring>

#include "flash/flash_ops.h"

namespace firmware {

bool SerialFlash::read(uint32_t addr, uint8_t* buf, uint32_t len) const {
    return port_.serialFlashRead(addr, buf, static_cast<int>(len));
}

bool SerialFlash::write(uint32_t addr, const uint8_t* data, uint32_t len) const {
    if (spi_.on) return vendor::programFlashBySpi(port_, addr, data, len, spi_.flashType, spi_.sst25);
    return port_.serialFlashWrite(addr, data, static_cast<int>(len));
}

bool SerialFlash::eraseUnit(uint32_t addr) const { return port_.serialFlashSectorErase(addr); }

bool SerialFlash::waitReady() const { return vendor::waitFlashReady(port_); }

bool SerialFlash::enableWrite() const {
    return port_.serialFlashWriteEnable() && vendor::waitFlashWriteLatch(port_, vendor::kFlashStatusWriteLatch);
}

void SerialFlash::unprotect() const { vendor::writeEnableAndUnprotect(port_); }

bool allErased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

bool writeVerified(const SerialFlash& flash, const Progress& p, uint32_t at, const uint8_t* data, uint32_t len,
                   uint8_t* readBack) {
    flash.waitReady();
    if (!flash.write(at, data, len)) return p.fail(kTextWriteCommandFail);
    flash.waitReady();
    if (!flash.read(at, readBack, len)) return p.fail(kTextWriteCommandFail);
    if (std::memcmp(data, readBack, len) != 0) return p.fail(kTextCompareFail);
    p.step();
    return true;
}

bool prepareFlashForWrite(const SerialFlash& flash, const Progress& p, bool atmel, bool unprotect) {
    if (atmel && !flash.enableWrite()) return p.fail(kTextAtmelFail);
    if (unprotect) flash.unprotect();
    return true;
}

}  // namespace firmware
