// The Windows program's command wrappers: one per command, each the CDB builder plus one
// transport operation. They return true on success; reply bytes are copied into the caller's
// buffer even on failure, and callers use them only on success.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "bridge/cdb.h"

namespace IDEAccess {

using Path = std::string_view;
using vendor::_VenderCmdPara;

// Standard SCSI and ATA
bool QV_Inquiry(Path path, uint8_t* buf, int len);
bool StandardInquiry(Path path, uint8_t* buf36);   // the kernel's own: 6-byte CDB, 36 bytes
bool QV_ReadCapacity16(Path path, uint8_t* buf16);
// READ/WRITE BUFFER retry while the device reports NOT READY, becoming ready (02/04/01), at most
// 31 attempts, letting the window process its messages in between.
bool QV_ReadBuffer(Path path, uint8_t mode, uint8_t id, uint32_t offset, uint8_t* buf, int len);
bool QV_WriteBuffer(Path path, uint8_t mode, uint8_t id, uint32_t offset, const uint8_t* buf, int len);
bool QV_GetDiskIdentify(Path path, uint8_t* buf512);
bool QV_DiskReadDmaExt(Path path, uint64_t lba, uint8_t* buf, int len, int sectorSize);
bool QV_DiskWriteDmaExt(Path path, uint64_t lba, const uint8_t* buf, int len, int sectorSize);
bool QV_DiskFlushCache(Path path);

// Chip information and control
bool QV_GetChipInfo(Path path, uint8_t* buf, int len, int* reported = nullptr);
bool QV_GetChipInfoAlt(Path path, uint8_t* buf, int len);
bool QV_ODDInquiry(Path path, uint8_t* buf, int len);   // len >= 8
bool QV_ChipReset256(Path path);
bool QV_GetChipStatus(Path path, uint8_t* buf, int len);
bool QV_FlashPrepare(Path path);
bool QV_PrepareFlashProbe(Path path);
bool QV_WriteProductInfo(Path path, uint16_t a, uint16_t b, const uint8_t* record72);

// Registers, GPIO, NVRAM
bool GetGPIO(Path path, uint8_t* buf2);
bool GetRegister(Path path, uint16_t addr, uint8_t* buf, int len);
bool SetRegister(Path path, uint16_t addr, const uint8_t* buf, int len);
bool QV_GetNVRAM_529(Path path, uint32_t addr, uint8_t* buf, int len);
bool QV_SetNVRAM_529(Path path, uint32_t addr, const uint8_t* buf, int len, uint8_t mode);
bool QV_SetNVRAM_529(Path path, uint32_t addr, const uint8_t* buf, int len, bool flag);  // second form

// Serial flash
bool QV_SerialFlashSetPara256(Path path, const _VenderCmdPara& para, bool sixteenBit, uint16_t value = 32);
bool QV_SerialFlashRead(Path path, uint32_t addr, uint8_t* buf, int len);
bool QV_SerialFlashWrite(Path path, uint32_t addr, const uint8_t* buf, int len);
bool QV_SerialFlashStatus(Path path, uint8_t* status);   // one byte, carried as two
bool QV_SerialFlashChipErase(Path path);
bool QV_SerialFlashSectorErase(Path path, uint32_t addr);
bool QV_SerialFlashReadID(Path path, uint8_t count, uint8_t opcode, bool flag, uint8_t* buf);
// A raw SPI cycle without data, through the data-out operation.
bool QV_SerialFlashCommand(Path path, std::initializer_list<uint8_t> spi, bool continues);
bool QV_SerialFlashWriteEnable(Path path);
bool QV_SerialFlashWriteStatusAMC(Path path);
bool QV_SerialFlashResponse(Path path, uint8_t count, uint8_t* buf, int len);
bool QV_SerialFlashData(Path path, const uint8_t* data, int len);
bool QV_SerialFlashType(Path path, uint8_t* buf4);
// Read-id prologue FF 04 20 01 01 OP and the response; fails when either command fails.
bool QV_FlashTypeChkID(Path path, uint8_t opcode, uint8_t* buf, int len);

// The QVR294 family
bool QV_FlashErase294(Path path, uint8_t vv, uint32_t addr, int mode);
bool QV_BufferDownload294(Path path, uint8_t vv, uint8_t ww, const uint8_t* buf512);
bool QV_FlashProgram294(Path path, uint8_t vv, uint32_t addr, uint16_t count, uint16_t chipOffset);
bool QV_FlashLoad294(Path path, uint8_t vv, uint32_t addr, uint16_t count, uint16_t chipOffset);
bool QV_BufferUpload294(Path path, uint8_t vv, uint8_t ww, uint8_t* buf512);

constexpr int kBufferRetryAttempts = 31;

}  // namespace IDEAccess
