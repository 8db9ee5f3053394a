#include "bridge/port.h"

#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

namespace vendor {

bool WinPort::inquiry(uint8_t* buf, int len) { return IDEAccess::QV_Inquiry(path_, buf, len); }
bool WinPort::getGpio(uint8_t* buf2) { return IDEAccess::GetGPIO(path_, buf2); }
bool WinPort::getChipInfo(uint8_t* buf, int len, int* reported) {
    return IDEAccess::QV_GetChipInfo(path_, buf, len, reported);
}
bool WinPort::oddInquiry(uint8_t* buf, int len) { return IDEAccess::QV_ODDInquiry(path_, buf, len); }
bool WinPort::getRegister(uint16_t addr, uint8_t* buf, int len) {
    return IDEAccess::GetRegister(path_, addr, buf, len);
}
bool WinPort::bufferUpload294(uint8_t* buf512) {
    return IDEAccess::QV_BufferUpload294(path_, 0x64, 0x01, buf512);
}
bool WinPort::getDiskIdentify(uint8_t* buf512) { return IDEAccess::QV_GetDiskIdentify(path_, buf512); }
bool WinPort::serialFlashType(uint8_t* buf4) { return IDEAccess::QV_SerialFlashType(path_, buf4); }
bool WinPort::flashTypeChkId(uint8_t opcode, uint8_t* buf, int len) {
    return IDEAccess::QV_FlashTypeChkID(path_, opcode, buf, len);
}
bool WinPort::serialFlashReadId(uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) {
    return IDEAccess::QV_SerialFlashReadID(path_, count, opcode, flag, buf);
}

bool WinPort::serialFlashRead(uint32_t addr, uint8_t* buf, int len) {
    return IDEAccess::QV_SerialFlashRead(path_, addr, buf, len);
}
bool WinPort::serialFlashWrite(uint32_t addr, const uint8_t* data, int len) {
    return IDEAccess::QV_SerialFlashWrite(path_, addr, data, len);
}
bool WinPort::serialFlashSectorErase(uint32_t addr) { return IDEAccess::QV_SerialFlashSectorErase(path_, addr); }
bool WinPort::serialFlashStatus(uint8_t* buf4) { return IDEAccess::QV_SerialFlashStatus(path_, buf4); }
bool WinPort::serialFlashWriteEnable() { return IDEAccess::QV_SerialFlashWriteEnable(path_); }
bool WinPort::serialFlashWriteStatusUnprotect() { return IDEAccess::QV_SerialFlashWriteStatusAMC(path_); }
bool WinPort::serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) {
    return IDEAccess::QV_SerialFlashCommand(path_, spi, continues);
}
bool WinPort::serialFlashData(const uint8_t* data, int len) { return IDEAccess::QV_SerialFlashData(path_, data, len); }
bool WinPort::directWrite(uint32_t addr, const uint8_t* data, int len, uint8_t eraseMode) {
    return IDEAccess::QV_SetNVRAM_529(path_, addr, data, len, eraseMode);
}
bool WinPort::directRead(uint32_t addr, uint8_t* buf, int len) {
    return IDEAccess::QV_GetNVRAM_529(path_, addr, buf, len);
}

bool MacPort::inquiry(uint8_t* buf, int len) { return qvaccess::QV_Inquiry(dev_, buf, len); }
bool MacPort::getGpio(uint8_t* buf2) { return qvaccess::GetGPIO(dev_, buf2); }
bool MacPort::getChipInfo(uint8_t* buf, int len, int* reported) {
    const bool ok = qvaccess::QV_GetChipInfo(dev_, buf, len);
    if (ok && reported) *reported = len;
    return ok;
}
bool MacPort::oddInquiry(uint8_t* buf, int len) { return qvaccess::QV_ODDInquiry(dev_, buf, len); }
bool MacPort::getRegister(uint16_t addr, uint8_t* buf, int len) {
    return qvaccess::GetRegister(dev_, addr, buf, len);
}
bool MacPort::bufferUpload294(uint8_t*) { return false; }
bool MacPort::getDiskIdentify(uint8_t* buf512) { return qvaccess::QV_GetDiskIdentify(dev_, buf512); }
bool MacPort::serialFlashType(uint8_t* buf4) { return qvaccess::QV_SerialFlashType(dev_, buf4); }
bool MacPort::flashTypeChkId(uint8_t opcode, uint8_t* buf, int len) {
    return qvaccess::QV_FlashTypeChkID(dev_, opcode, buf, len);
}
bool MacPort::serialFlashReadId(uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) {
    return qvaccess::QV_SerialFlashReadID(dev_, count, opcode, flag, buf);
}

bool MacPort::serialFlashRead(uint32_t addr, uint8_t* buf, int len) {
    return qvaccess::QV_SerialFlashRead(dev_, addr, buf, len);
}
bool MacPort::serialFlashWrite(uint32_t addr, const uint8_t* data, int len) {
    return qvaccess::QV_SerialFlashWrite(dev_, addr, data, len);
}
bool MacPort::serialFlashSectorErase(uint32_t addr) { return qvaccess::QV_SerialFlashSectorErase(dev_, addr); }
bool MacPort::serialFlashStatus(uint8_t* buf4) { return qvaccess::QV_SerialFlashStatus(dev_, buf4); }
bool MacPort::serialFlashWriteEnable() { return qvaccess::QV_SerialFlashWriteEnable(dev_); }
bool MacPort::serialFlashWriteStatusUnprotect() { return qvaccess::QV_SerialFlashWriteStatusAMC(dev_); }
// The macOS program has no data phase: only a cycle that ends with its command goes out.
bool MacPort::serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) {
    return !continues && qvaccess::QV_SerialFlashCycle(dev_, spi);
}
bool MacPort::serialFlashData(const uint8_t*, int) { return false; }
bool MacPort::directWrite(uint32_t addr, const uint8_t* data, int len, uint8_t eraseMode) {
    return qvaccess::QV_SetNVRAM_529(dev_, addr, data, len, eraseMode);
}
bool MacPort::directRead(uint32_t addr, uint8_t* buf, int len) { return qvaccess::QV_GetNVRAM_529(dev_, addr, buf, len); }

}  // namespace vendor
