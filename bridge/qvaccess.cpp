#include "bridge/qvaccess.h"

#include <cassert>

#include "transport/maclib/qvlib.h"
#include "transport/scsi.h"

namespace qvaccess {

namespace cdb = vendor::cdb;
using transport::Cdb;
constexpr const vendor::Binding& kB = vendor::kMacBinding;

namespace {

bool exec(Device dev, Cdb c, const void* buf, int len, int direction) {
    c.len = 12;   // the library always takes 12 bytes; a 10-byte command is padded with zeros
    return scsiCdbExecute(dev, c.data(), 12, const_cast<void*>(buf), len, 0, direction) == 0;
}
bool in(Device dev, const Cdb& c, uint8_t* buf = nullptr, int len = 0) {
    return exec(dev, c, buf, len, maclib::kDirFromDevice);
}
bool out(Device dev, const Cdb& c, const uint8_t* buf = nullptr, int len = 0) {
    return exec(dev, c, buf, len, maclib::kDirToDevice);
}

}  // namespace

bool QV_Inquiry(Device dev, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    return in(dev, cdb::inquiry(static_cast<uint8_t>(len)), buf, len);
}

bool QV_ReadBuffer(Device dev, uint8_t mode, uint8_t id, uint32_t offset, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFFFF) return false;
    return in(dev, cdb::readBuffer(mode, id, offset, static_cast<uint32_t>(len), kB.bufferCdbLen), buf, len);
}

bool QV_WriteBuffer(Device dev, uint8_t mode, uint8_t id, uint32_t offset, const uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFFFF) return false;
    if (mode == 0x0F) len = 0;
    return out(dev, cdb::writeBuffer(mode, id, offset, static_cast<uint32_t>(len), kB.bufferCdbLen), buf, len);
}

bool QV_GetDiskIdentify(Device dev, uint8_t* buf512) {
    return in(dev, cdb::getDiskIdentify(kB.identifyDevice), buf512, 512);
}

bool QV_GetChipInfo(Device dev, uint8_t* buf, int len) { return in(dev, cdb::getChipInfo(), buf, len); }

bool QV_ODDInquiry(Device dev, uint8_t* buf, int len) {
    assert(len >= 0x08 && "length >= 0x08");
    if (len < 0x08) return false;
    return in(dev, cdb::oddInquiry(), buf, len);
}

bool QV_ChipReset256(Device dev) { return in(dev, cdb::chipReset256()); }

bool QV_GetChipStatus(Device dev, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    return in(dev, cdb::getChipStatus(static_cast<uint8_t>(len)), buf, len);
}

bool QV_Is256ExternalCode(Device dev) {
    uint8_t status[20] = {};
    return in(dev, cdb::getChipStatus(20), status, 20) && status[19] == 1;
}

bool GetGPIO(Device dev, uint8_t* buf2) { return in(dev, cdb::getGpio(), buf2, 2); }

bool GetRegister(Device dev, uint16_t addr, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFF) return false;
    return in(dev, cdb::getRegister(addr, static_cast<uint16_t>(len)), buf, len);
}

bool QV_GetNVRAM_529(Device dev, uint32_t addr, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFF) return false;   // the top length byte stays 0 here
    return in(dev, cdb::getNvram529(addr, static_cast<uint32_t>(len), kB.nvramReadLengthHigh), buf, len);
}

bool QV_SetNVRAM_529(Device dev, uint32_t addr, const uint8_t* buf, int len, uint8_t mode) {
    if (len < 0 || len > 0xFFFFFF) return false;
    return out(dev, cdb::setNvram529(addr, static_cast<uint32_t>(len), mode), buf, len);
}

bool QV_SerialFlashSetPara256(Device dev, const _VenderCmdPara& para, bool sixteenBit, uint16_t value) {
    return out(dev, cdb::serialFlashSetPara256(para, sixteenBit, value));
}

bool QV_SerialFlashRead(Device dev, uint32_t addr, uint8_t* buf, int len) {
    return in(dev, cdb::serialFlashRead(addr), buf, len);
}

bool QV_SerialFlashWrite(Device dev, uint32_t addr, const uint8_t* buf, int len) {
    return out(dev, cdb::serialFlashWrite(addr), buf, len);
}

bool QV_SerialFlashStatus(Device dev, uint8_t* buf4) {
    return in(dev, cdb::serialFlashStatus(), buf4, kB.flashStatusLen);
}

bool QV_SerialFlashChipErase(Device dev) { return in(dev, cdb::serialFlashChipErase()); }
bool QV_SerialFlashSectorErase(Device dev, uint32_t addr) { return in(dev, cdb::serialFlashSectorErase(addr)); }

bool QV_SerialFlashReadID(Device dev, uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) {
    return in(dev, cdb::serialFlashReadId(count, opcode, flag), buf, count);
}

bool QV_SerialFlashWriteEnable(Device dev) { return QV_SerialFlashCycle(dev, {0x06}); }

bool QV_SerialFlashCycle(Device dev, std::initializer_list<uint8_t> spi) {
    if (spi.size() == 0 || spi.size() > 7) return false;
    return out(dev, cdb::serialFlashCommand(spi, false));
}

bool QV_SerialFlashWriteStatusAMC(Device dev) {
    static const uint8_t data[2] = {0x01, 0x00};
    return out(dev, cdb::serialFlashCommand({0x01, 0x00}, false), data, 2);
}

bool QV_SerialFlashResponse(Device dev, uint8_t count, uint8_t* buf, int len) {
    return in(dev, cdb::serialFlashResponse(count), buf, len);
}

bool QV_SerialFlashType(Device dev, uint8_t* buf4) { return in(dev, cdb::serialFlashType(), buf4, 4); }

bool QV_FlashTypeChkID(Device dev, uint8_t opcode, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    if (!in(dev, cdb::serialFlashCommand({opcode}, true))) return false;
    in(dev, cdb::serialFlashResponse(static_cast<uint8_t>(len)), buf, len);
    return true;
}

}  // namespace qvaccess
