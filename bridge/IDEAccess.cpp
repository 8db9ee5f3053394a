#include "bridge/IDEAccess.h"

#include <cassert>
#include <cstdio>
#include <string>

#include "sys/bytes.h"
#include "sys/debug.h"
#include "transport/scsi.h"

namespace IDEAccess {

using namespace transport;
namespace cdb = vendor::cdb;
constexpr const vendor::Binding& kB = vendor::kWindowsBinding;

namespace {

bool in(Path path, const Cdb& c, uint8_t* buf, int len, int* reported = nullptr) {
    int got = 0;
    const bool ok = ScsiDataIn(path, c, buf, len, &got);
    if (reported) *reported = got;
    return ok;
}

// Flash, NVRAM, buffer and disk contents are kept, written back or compared: a read that brought
// fewer bytes than asked for failed, where a short identification reply is only short.
bool inWhole(Path path, const Cdb& c, uint8_t* buf, int len) {
    int got = 0;
    return ScsiDataIn(path, c, buf, len, &got) && got >= len;
}

bool out(Path path, const Cdb& c, const uint8_t* buf = nullptr, int len = 0) {
    int got = 0;
    return ScsiDataOut(path, c, buf, len, &got);
}

bool isBecomingReady(const uint8_t* sense) {
    return sense[2] == 0x02 && sense[12] == 0x04 && sense[13] == 0x01;
}

void reportBufferFailure(const char* name, const uint8_t* sense) {
    std::string line = std::string(name) + ".SenseData 12: ";
    for (int i = 0; i < 18; ++i) {
        if (i) line.push_back('.');
        line += sys::hexByte(sense[i]);
    }
    line.push_back('\n');
    sys::debugOut(line);
}

// The buffer commands go through the sense variants and are retried while the device is
// becoming ready.
template <typename Send>
bool withBecomingReadyRetry(const char* name, Send send) {
    uint8_t sense[18] = {};
    bool ok = false;
    for (int attempt = 1; attempt <= kBufferRetryAttempts; ++attempt) {
        ok = send(sense);
        if (ok || !isBecomingReady(sense) || attempt == kBufferRetryAttempts) break;
        sys::processMessages();
    }
    if (!ok) reportBufferFailure(name, sense);
    return ok;
}

}  // namespace

bool QV_Inquiry(Path path, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    return in(path, cdb::inquiry(static_cast<uint8_t>(len)), buf, len);
}

bool StandardInquiry(Path path, uint8_t* buf36) { return in(path, cdb::standardInquiry(), buf36, cdb::kStandardInquiryLength); }

bool QV_ReadCapacity16(Path path, uint8_t* buf16) { return inWhole(path, cdb::readCapacity16(), buf16, 16); }

bool QV_ReadBuffer(Path path, uint8_t mode, uint8_t id, uint32_t offset, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFFFF) return false;
    const Cdb c = cdb::readBuffer(mode, id, offset, static_cast<uint32_t>(len), kB.bufferCdbLen);
    return withBecomingReadyRetry("QV_ReadBuffer", [&](uint8_t* sense) {
        int got = 0;
        return ScsiDataInSense(path, c, buf, len, &got, sense, 18) && got >= len;
    });
}

bool QV_WriteBuffer(Path path, uint8_t mode, uint8_t id, uint32_t offset, const uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFFFF) return false;
    if (mode == 0x0F) len = 0;   // activate: no data
    const Cdb c = cdb::writeBuffer(mode, id, offset, static_cast<uint32_t>(len), kB.bufferCdbLen);
    return withBecomingReadyRetry("QV_WriteBuffer", [&](uint8_t* sense) {
        int got = 0;
        return ScsiDataOutSense(path, c, buf, len, &got, sense, 18);
    });
}

bool QV_GetDiskIdentify(Path path, uint8_t* buf512) {
    return inWhole(path, cdb::getDiskIdentify(kB.identifyDevice), buf512, 512);
}

bool QV_DiskReadDmaExt(Path path, uint64_t lba, uint8_t* buf, int len, int sectorSize) {
    if (sectorSize <= 0 || len <= 0 || len % sectorSize != 0 || len / sectorSize > 0xFFFF) return false;
    return inWhole(path, cdb::ataDmaExt(false, lba, static_cast<uint16_t>(len / sectorSize)), buf, len);
}

bool QV_DiskWriteDmaExt(Path path, uint64_t lba, const uint8_t* buf, int len, int sectorSize) {
    if (sectorSize <= 0 || len <= 0 || len % sectorSize != 0 || len / sectorSize > 0xFFFF) return false;
    return out(path, cdb::ataDmaExt(true, lba, static_cast<uint16_t>(len / sectorSize)), buf, len);
}

bool QV_DiskFlushCache(Path path) { return out(path, cdb::ataFlushCacheExt()); }

bool QV_GetChipInfo(Path path, uint8_t* buf, int len, int* reported) {
    return in(path, cdb::getChipInfo(), buf, len, reported);
}

bool QV_GetChipInfoAlt(Path path, uint8_t* buf, int len) { return in(path, cdb::getChipInfoAlt(), buf, len); }

bool QV_ODDInquiry(Path path, uint8_t* buf, int len) {
    assert(len >= 0x08 && "length >= 0x08");
    if (len < 0x08) return false;
    return in(path, cdb::oddInquiry(), buf, len);
}

bool QV_ChipReset256(Path path) { return in(path, cdb::chipReset256(), nullptr, 0); }

bool QV_GetChipStatus(Path path, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    return in(path, cdb::getChipStatus(static_cast<uint8_t>(len)), buf, len);
}

bool QV_FlashPrepare(Path path) { return out(path, cdb::flashPrepare()); }
bool QV_PrepareFlashProbe(Path path) { return in(path, cdb::prepareFlashProbe(), nullptr, 0); }

bool QV_WriteProductInfo(Path path, uint16_t a, uint16_t b, const uint8_t* record72) {
    return out(path, cdb::writeProductInfo(a, b), record72, 72);
}

bool GetGPIO(Path path, uint8_t* buf2) { return in(path, cdb::getGpio(), buf2, 2); }

bool GetRegister(Path path, uint16_t addr, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFF) return false;
    return in(path, cdb::getRegister(addr, static_cast<uint16_t>(len)), buf, len);
}

bool SetRegister(Path path, uint16_t addr, const uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFF) return false;
    return out(path, cdb::setRegister(addr, static_cast<uint16_t>(len)), buf, len);
}

bool QV_GetNVRAM_529(Path path, uint32_t addr, uint8_t* buf, int len) {
    if (len < 0 || len > 0xFFFFFF) return false;
    return inWhole(path, cdb::getNvram529(addr, static_cast<uint32_t>(len), kB.nvramReadLengthHigh), buf, len);
}

bool QV_SetNVRAM_529(Path path, uint32_t addr, const uint8_t* buf, int len, uint8_t mode) {
    if (len < 0 || len > 0xFFFFFF) return false;
    return out(path, cdb::setNvram529(addr, static_cast<uint32_t>(len), mode), buf, len);
}

bool QV_SetNVRAM_529(Path path, uint32_t addr, const uint8_t* buf, int len, bool flag) {
    if (len < 0 || len > 0xFFFF) return false;
    return out(path, cdb::setNvram529Flag(addr, static_cast<uint32_t>(len), flag), buf, len);
}

bool QV_SerialFlashSetPara256(Path path, const _VenderCmdPara& para, bool sixteenBit, uint16_t value) {
    return out(path, cdb::serialFlashSetPara256(para, sixteenBit, value));
}

bool QV_SerialFlashRead(Path path, uint32_t addr, uint8_t* buf, int len) {
    return inWhole(path, cdb::serialFlashRead(addr), buf, len);
}

bool QV_SerialFlashWrite(Path path, uint32_t addr, const uint8_t* buf, int len) {
    return out(path, cdb::serialFlashWrite(addr), buf, len);
}

bool QV_SerialFlashStatus(Path path, uint8_t* status) {
    return in(path, cdb::serialFlashStatus(), status, kB.flashStatusLen);
}

bool QV_SerialFlashChipErase(Path path) { return out(path, cdb::serialFlashChipErase()); }
bool QV_SerialFlashSectorErase(Path path, uint32_t addr) { return out(path, cdb::serialFlashSectorErase(addr)); }

bool QV_SerialFlashReadID(Path path, uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) {
    return in(path, cdb::serialFlashReadId(count, opcode, flag), buf, count);
}

bool QV_SerialFlashCommand(Path path, std::initializer_list<uint8_t> spi, bool continues) {
    if (spi.size() > 7) return false;
    return out(path, cdb::serialFlashCommand(spi, continues));
}

bool QV_SerialFlashWriteEnable(Path path) { return QV_SerialFlashCommand(path, {0x06}, false); }

bool QV_SerialFlashWriteStatusAMC(Path path) {
    static const uint8_t data[2] = {0x01, 0x00};
    return out(path, cdb::serialFlashCommand({0x01, 0x00}, false), data, 2);
}

bool QV_SerialFlashResponse(Path path, uint8_t count, uint8_t* buf, int len) {
    return in(path, cdb::serialFlashResponse(count), buf, len);
}

bool QV_SerialFlashData(Path path, const uint8_t* data, int len) {
    if (len < 0 || len > 0xFFFF) return false;
    return out(path, cdb::serialFlashData(static_cast<uint16_t>(len)), data, len);
}

bool QV_SerialFlashType(Path path, uint8_t* buf4) { return in(path, cdb::serialFlashType(), buf4, 4); }

bool QV_FlashTypeChkID(Path path, uint8_t opcode, uint8_t* buf, int len) {
    if (len < 0 || len > 255) return false;
    if (!in(path, cdb::serialFlashCommand({opcode}, true), nullptr, 0)) return false;
    return in(path, cdb::serialFlashResponse(static_cast<uint8_t>(len)), buf, len);
}

bool QV_FlashErase294(Path path, uint8_t vv, uint32_t addr, int mode) {
    return in(path, cdb::flashErase294(vv, addr, mode), nullptr, 0);
}

bool QV_BufferDownload294(Path path, uint8_t vv, uint8_t ww, const uint8_t* buf512) {
    return out(path, cdb::bufferDownload294(vv, ww), buf512, 512);
}

bool QV_FlashProgram294(Path path, uint8_t vv, uint32_t addr, uint16_t count, uint16_t chipOffset) {
    return in(path, cdb::flashProgram294(vv, addr, count, chipOffset), nullptr, 0);
}

bool QV_FlashLoad294(Path path, uint8_t vv, uint32_t addr, uint16_t count, uint16_t chipOffset) {
    return in(path, cdb::flashLoad294(vv, addr, count, chipOffset), nullptr, 0);
}

bool QV_BufferUpload294(Path path, uint8_t vv, uint8_t ww, uint8_t* buf512) {
    return inWhole(path, cdb::bufferUpload294(vv, ww), buf512, 512);
}

}  // namespace IDEAccess
