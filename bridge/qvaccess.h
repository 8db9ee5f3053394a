// The macOS program's command wrappers over the maker library's scsiCdbExecute: every CDB goes
// out with length 12, data from the device (and commands without data) with direction 1, data to
// the device with direction 2. Each command is sent once. They return true on success.
#pragma once
#include <cstdint>
#include <initializer_list>

#include "bridge/cdb.h"

namespace qvaccess {

using Device = uint32_t;   // the maker library's device object
using vendor::_VenderCmdPara;

bool QV_Inquiry(Device dev, uint8_t* buf, int len);
bool QV_ReadBuffer(Device dev, uint8_t mode, uint8_t id, uint32_t offset, uint8_t* buf, int len);
bool QV_WriteBuffer(Device dev, uint8_t mode, uint8_t id, uint32_t offset, const uint8_t* buf, int len);
bool QV_GetDiskIdentify(Device dev, uint8_t* buf512);

bool QV_GetChipInfo(Device dev, uint8_t* buf, int len);
bool QV_ODDInquiry(Device dev, uint8_t* buf, int len);   // len >= 8
bool QV_ChipReset256(Device dev);
bool QV_GetChipStatus(Device dev, uint8_t* buf, int len);
// True when the chip status (20 bytes) can be read and its byte 19 is 1.
bool QV_Is256ExternalCode(Device dev);

bool GetGPIO(Device dev, uint8_t* buf2);
bool GetRegister(Device dev, uint16_t addr, uint8_t* buf, int len);
bool QV_GetNVRAM_529(Device dev, uint32_t addr, uint8_t* buf, int len);
bool QV_SetNVRAM_529(Device dev, uint32_t addr, const uint8_t* buf, int len, uint8_t mode);

bool QV_SerialFlashSetPara256(Device dev, const _VenderCmdPara& para, bool sixteenBit, uint16_t value = 32);
bool QV_SerialFlashRead(Device dev, uint32_t addr, uint8_t* buf, int len);
bool QV_SerialFlashWrite(Device dev, uint32_t addr, const uint8_t* buf, int len);
bool QV_SerialFlashStatus(Device dev, uint8_t* buf4);   // four bytes; byte 0 is the status
bool QV_SerialFlashChipErase(Device dev);
bool QV_SerialFlashSectorErase(Device dev, uint32_t addr);
bool QV_SerialFlashReadID(Device dev, uint8_t count, uint8_t opcode, bool flag, uint8_t* buf);
bool QV_SerialFlashWriteEnable(Device dev);
// One SPI cycle of at most seven bytes that ends with the command (no data phase, no reply).
bool QV_SerialFlashCycle(Device dev, std::initializer_list<uint8_t> spi);
bool QV_SerialFlashWriteStatusAMC(Device dev);
bool QV_SerialFlashResponse(Device dev, uint8_t count, uint8_t* buf, int len);
bool QV_SerialFlashType(Device dev, uint8_t* buf4);
// Fails only when the read-id prologue fails; the response's own outcome is not looked at.
bool QV_FlashTypeChkID(Device dev, uint8_t opcode, uint8_t* buf, int len);

}  // namespace qvaccess
