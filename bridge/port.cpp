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

}  // namespace vendor
