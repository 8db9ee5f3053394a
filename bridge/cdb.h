// Pure CDB builders for every command the two programs send to a bridge or to the disk behind
// it. Both wrapper sets (IDEAccess for the Windows program, qvaccess for the macOS one) call
// these; where the programs differ, the difference is a parameter or a row of Binding.
// Multi-byte fields are big-endian; bytes not named are zero.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>

#include "sys/bytes.h"
#include "transport/cdb.h"

namespace vendor {

using transport::Cdb;

// How one program lays its commands out.
struct Binding {
    uint8_t bufferCdbLen;      // READ/WRITE BUFFER: 10 bytes on Windows, 12 on macOS
    uint8_t identifyDevice;    // QV_GetDiskIdentify byte 8
    int flashStatusLen;        // QV_SerialFlashStatus data length
    bool nvramReadLengthHigh;  // QV_GetNVRAM_529 fills the top length byte
};
constexpr Binding kWindowsBinding{10, 0x40, 1, true};
constexpr Binding kMacBinding{12, 0xA0, 4, false};

// Flash parameter record: the SPI opcodes the bridge uses for this flash, its type and (on
// Windows) its capacity. Detection starts from these defaults.
struct _VenderCmdPara {
    uint8_t chipEraseOp = 0xC7;
    uint8_t blockEraseOp = 0xD8;
    uint8_t programOp = 0x02;
    uint32_t flashType = 0;   // a byte on Windows, 32 bits on macOS
    uint8_t sectorEraseOp = 0x20;
    uint32_t capacityKiB = 64;
};

namespace cdb {

// The bytes of a field, least significant first, as the builders lay them out big-endian.
constexpr uint8_t b0(uint32_t v) { return sys::byteOf(v, 0); }
constexpr uint8_t b1(uint32_t v) { return sys::byteOf(v, 1); }
constexpr uint8_t b2(uint32_t v) { return sys::byteOf(v, 2); }
constexpr uint8_t b3(uint32_t v) { return sys::byteOf(v, 3); }

// --- standard SCSI and ATA ---
inline Cdb inquiry(uint8_t alloc) { return Cdb{12, {0x12, 0, 0, 0, alloc}}; }
// The INQUIRY the kernel sends every device it attaches: six bytes, 36 bytes of data. Devices
// that are not ours see nothing from us beyond it (some hang on any other length).
constexpr uint8_t kStandardInquiryLength = 36;
inline Cdb standardInquiry() { return Cdb{6, {0x12, 0, 0, 0, kStandardInquiryLength}}; }
inline Cdb readCapacity16() {
    Cdb c{16, {0x9E, 0x10}};
    c[13] = 16;
    return c;
}
inline Cdb readBuffer(uint8_t mode, uint8_t id, uint32_t offset, uint32_t len, uint8_t cdbLen) {
    return Cdb{cdbLen, {0x3C, mode, id, b2(offset), b1(offset), b0(offset), b2(len), b1(len), b0(len)}};
}
// Mode 15 (activate) carries only its mode byte, whatever offset and length the caller has.
inline Cdb writeBuffer(uint8_t mode, uint8_t id, uint32_t offset, uint32_t len, uint8_t cdbLen) {
    if (mode == 0x0F) return Cdb{cdbLen, {0x3B, 0x0F}};
    return Cdb{cdbLen, {0x3B, mode, id, b2(offset), b1(offset), b0(offset), b2(len), b1(len), b0(len)}};
}
inline Cdb getDiskIdentify(uint8_t device) {
    return Cdb{12, {0xA1, 0x08, 0x0B, 0, 0, 0, 0, 0, device, 0xEC}};
}
// ATA PASS-THROUGH(16) READ/WRITE DMA EXT: count and LBA in the 48-bit register positions.
inline Cdb ataDmaExt(bool write, uint64_t lba, uint16_t count) {
    const auto l = [lba](int i) { return static_cast<uint8_t>(lba >> (8 * i)); };
    return Cdb{16, {0x85, static_cast<uint8_t>(write ? 0x17 : 0x15), static_cast<uint8_t>(write ? 0x03 : 0x0B),
                    0, 0, b1(count), b0(count), l(3), l(0), l(4), l(1), l(5), l(2), 0x60,
                    static_cast<uint8_t>(write ? 0x35 : 0x25), 0}};
}
// ATA PASS-THROUGH(16) FLUSH CACHE EXT: the drive writes out what its cache holds.
inline Cdb ataFlushCacheExt() { return Cdb{16, {0x85, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0xEA}}; }

// --- chip information and control ---
inline Cdb getChipInfo() { return Cdb{12, {0xE0, 0xF4, 0xE7}}; }
inline Cdb getChipInfoAlt() { return Cdb{12, {0xFE, 0xF4, 0xE7}}; }
inline Cdb oddInquiry() { return Cdb{12, {0xFF, 0x04, 0x30, 0x08}}; }
inline Cdb chipReset256() { return Cdb{12, {0xFF, 0x04, 0x26, 'Q', 'V'}}; }
inline Cdb getChipStatus(uint8_t len) { return Cdb{12, {0xFF, 0x04, 0xA0, len}}; }
inline Cdb flashPrepare() { return Cdb{12, {0xFF, 0x04, 0x25}}; }
inline Cdb prepareFlashProbe() { return Cdb{12, {0xDF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFC}}; }
inline Cdb writeProductInfo(uint16_t a, uint16_t b) {
    return Cdb{12, {0xC3, 0x30, 0, 0, b1(a), b0(a), b1(b), b0(b), 0, 0x48}};
}

// --- registers, GPIO, NVRAM (sub-command in byte 11) ---
inline Cdb getGpio() { return Cdb{12, {0xDF, 0x10, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xFF}}; }
inline Cdb getRegister(uint16_t addr, uint16_t len) {
    return Cdb{12, {0xDF, 0x10, 0, b1(len), b0(len), 0, b1(addr), b0(addr), 0, 0, 0, 0xFD}};
}
inline Cdb setRegister(uint16_t addr, uint16_t len) {
    return Cdb{12, {0xDF, 0x00, 0, b1(len), b0(len), 0, b1(addr), b0(addr), 0, 0, 0, 0xFE}};
}
inline Cdb getNvram529(uint32_t addr, uint32_t len, bool lengthHigh) {
    return Cdb{12, {0xDF, 0x10, static_cast<uint8_t>(lengthHigh ? b2(len) : 0), b1(len), b0(len), 0, 0, 0,
                    b2(addr), b1(addr), b0(addr), 0xFA}};
}
// The erase mode keeps bits 0-2 and 7: a mode of 0x7B goes out as 0x03.
inline Cdb setNvram529(uint32_t addr, uint32_t len, uint8_t mode) {
    return Cdb{12, {0xDF, static_cast<uint8_t>(mode & 0x87), b2(len), b1(len), b0(len), 0, 0, 0,
                    b2(addr), b1(addr), b0(addr), 0xFB}};
}
// The second form: mode byte 1 when the flag is set, else 0; the top length byte stays 0.
inline Cdb setNvram529Flag(uint32_t addr, uint32_t len, bool flag) {
    return Cdb{12, {0xDF, static_cast<uint8_t>(flag ? 1 : 0), 0, b1(len), b0(len), 0, 0, 0,
                    b2(addr), b1(addr), b0(addr), 0xFB}};
}

// --- serial flash (FF 04, sub-command in byte 2) ---
// 16-bit form: the parameter value in bytes 7-8; 8-bit form: the value divided by 4 in byte 7.
inline Cdb serialFlashSetPara256(const _VenderCmdPara& p, bool sixteenBit, uint16_t value) {
    Cdb c{12, {0xFF, 0x04, 0x0F, p.chipEraseOp, p.blockEraseOp, p.programOp, p.sectorEraseOp}};
    if (sixteenBit) {
        c[7] = b1(value);
        c[8] = b0(value);
    } else {
        c[7] = static_cast<uint8_t>(value >> 2);
    }
    return c;
}
inline Cdb serialFlashRead(uint32_t a) { return Cdb{12, {0xFF, 0x04, 0x10, b2(a), b1(a), b0(a)}}; }
inline Cdb serialFlashWrite(uint32_t a) { return Cdb{12, {0xFF, 0x04, 0x11, b2(a), b1(a), b0(a)}}; }
inline Cdb serialFlashStatus() { return Cdb{12, {0xFF, 0x04, 0x12}}; }
inline Cdb serialFlashChipErase() { return Cdb{12, {0xFF, 0x04, 0x13}}; }
inline Cdb serialFlashSectorErase(uint32_t a) { return Cdb{12, {0xFF, 0x04, 0x14, b2(a), b1(a), b0(a)}}; }
inline Cdb serialFlashReadId(uint8_t n, uint8_t op, bool flag) {
    return Cdb{12, {0xFF, 0x04, 0x15, n, op, static_cast<uint8_t>(flag ? 3 : 0)}};
}
// A raw SPI cycle: up to 7 SPI bytes; `continues` when a data phase or a reply follows.
inline Cdb serialFlashCommand(const uint8_t* spi, uint8_t n, bool continues) {
    Cdb c{12, {0xFF, 0x04, 0x20, n, static_cast<uint8_t>(continues ? 1 : 0)}};
    for (uint8_t i = 0; i < n && i < 7; ++i) c[5 + i] = spi[i];
    return c;
}
inline Cdb serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) {
    return serialFlashCommand(spi.begin(), static_cast<uint8_t>(spi.size()), continues);
}
inline Cdb serialFlashResponse(uint8_t n) { return Cdb{12, {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, n}}; }
inline Cdb serialFlashData(uint16_t len) {
    return Cdb{12, {0xFF, 0x04, 0x22, 0, 0, 0, 0, b1(len), b0(len)}};
}
inline Cdb serialFlashType() { return Cdb{12, {0xFF, 0x04, 0x23, 0x04}}; }

// --- the QVR294 family's flash access ---
inline Cdb flashErase294(uint8_t vv, uint32_t a, int mode) {
    const bool m2 = mode == 2;
    return Cdb{12, {0xB4, vv, b3(a), b2(a), b1(a), b0(a), 0, 0, 0, 0x31,
                    static_cast<uint8_t>(m2 ? 0x21 : 0x00), static_cast<uint8_t>(m2 ? 0x52 : 0x60)}};
}
inline Cdb bufferDownload294(uint8_t vv, uint8_t ww) { return Cdb{12, {0xB2, 0, 0, 0, 0, vv, 0, 0, ww}}; }
inline Cdb flashProgram294(uint8_t vv, uint32_t a, uint16_t n, uint16_t c) {
    return Cdb{12, {0xB3, vv, b3(a), b2(a), b1(a), b0(a), b1(n), b0(n), b1(c), b0(c), 0xE5, 0x02}};
}
inline Cdb flashLoad294(uint8_t vv, uint32_t a, uint16_t n, uint16_t c) {
    return Cdb{12, {0xB6, vv, b3(a), b2(a), b1(a), b0(a), b1(n), b0(n), b1(c), b0(c)}};
}
inline Cdb bufferUpload294(uint8_t vv, uint8_t ww) { return Cdb{12, {0xB5, vv, ww}}; }

// --- reading a command back, for failure reports ---

// The flash address a command works on: the serial-flash read, write and sector erase, the direct
// flash read and write, the buffer data transfers, the QVR294 flash commands.
inline std::optional<uint32_t> flashAddressOf(const Cdb& c) {
    const auto be24 = [&c](int i) { return uint32_t{c[i]} << 16 | uint32_t{c[i + 1]} << 8 | c[i + 2]; };
    switch (c[0]) {
        case 0xFF:
            if (c[1] == 0x04 && (c[2] == 0x10 || c[2] == 0x11 || c[2] == 0x14)) return be24(3);
            return std::nullopt;
        case 0xDF:
            if (c.len >= 12 && (c[11] == 0xFA || c[11] == 0xFB)) return be24(8);
            return std::nullopt;
        case 0x3B:
        case 0x3C:
            if (c[1] == 0x03 || c[1] == 0x0F) return std::nullopt;   // descriptor, activate
            return be24(3);
        case 0xB3:
        case 0xB4:
        case 0xB6: return uint32_t{c[2]} << 24 | be24(3);
        default: return std::nullopt;
    }
}

// Whether a command may change the flash, the product area or the disk: an erase, a write, a
// raw SPI cycle that programs, erases or writes the status register, a buffer download.
inline bool changesDevice(const Cdb& c) {
    switch (c[0]) {
        case 0xFF: {
            if (c[1] != 0x04) return false;
            if (c[2] == 0x11 || c[2] == 0x13 || c[2] == 0x14 || c[2] == 0x22) return true;
            if (c[2] != 0x20) return false;
            constexpr uint8_t kChangingSpiOps[] = {0x01, 0x02, 0x20, 0x52, 0x60, 0x62, 0xAD, 0xAF, 0xC7, 0xD7, 0xD8};
            for (uint8_t op : kChangingSpiOps)
                if (c[5] == op) return true;
            return false;
        }
        case 0xDF: return c.len >= 12 && c[11] == 0xFB;
        case 0x3B:
        case 0xB2:
        case 0xB3:
        case 0xB4:
        case 0xC3:
        case 0x8A: return true;
        case 0x85: return c[1] == 0x17;   // ATA PASS-THROUGH WRITE DMA EXT
        default: return false;
    }
}

}  // namespace cdb
}  // namespace vendor
