// The one way everything above the wrappers reaches a device: identification, flash probing, the
// flash operations and the update procedures send their commands through a port. They are written
// once against this interface; the Windows port carries a device path and goes through the
// IDEAccess wrappers, the macOS port carries the maker library's device object and goes through
// the qvaccess wrappers. What differs between the programs beyond the wrappers is a row of data
// (ChipBinding, FlashVariant, FlashWaits), never a second copy of a procedure.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "bridge/program.h"

namespace vendor {

class BridgePort {
public:
    virtual ~BridgePort() = default;
    // Which program's wrappers carry the commands (the waits keep a row of rules per program).
    virtual Program program() const = 0;

    // Identification.
    virtual bool inquiry(uint8_t* buf, int len) = 0;
    virtual bool getGpio(uint8_t* buf2) = 0;
    // `reported` (may be null) receives the transfer length the platform reports; the macOS
    // library does not tell, so its port reports the length asked for on success.
    virtual bool getChipInfo(uint8_t* buf, int len, int* reported) = 0;
    virtual bool oddInquiry(uint8_t* buf, int len) = 0;
    virtual bool getRegister(uint16_t addr, uint8_t* buf, int len) = 0;
    // The QVR294 buffer upload (B5 64 01). The macOS program never sends it: its port fails.
    virtual bool bufferUpload294(uint8_t* buf512) = 0;
    virtual bool getDiskIdentify(uint8_t* buf512) = 0;
    virtual bool serialFlashType(uint8_t* buf4) = 0;
    virtual bool flashTypeChkId(uint8_t opcode, uint8_t* buf, int len) = 0;
    virtual bool serialFlashReadId(uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) = 0;

    // The bridge's serial-flash commands.
    virtual bool serialFlashRead(uint32_t addr, uint8_t* buf, int len) = 0;
    virtual bool serialFlashWrite(uint32_t addr, const uint8_t* data, int len) = 0;
    virtual bool serialFlashSectorErase(uint32_t addr) = 0;
    virtual bool serialFlashStatus(uint8_t* buf4) = 0;
    virtual bool serialFlashWriteEnable() = 0;
    virtual bool serialFlashWriteStatusUnprotect() = 0;
    // Raw SPI cycles (Windows): an opcode with its address or data bytes, then a data phase. The
    // macOS program never sends them: its port fails.
    virtual bool serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) = 0;
    virtual bool serialFlashData(const uint8_t* data, int len) = 0;

    // The direct flash commands: a write that may erase the unit in front of it, and a read.
    virtual bool directWrite(uint32_t addr, const uint8_t* data, int len, uint8_t eraseMode) = 0;
    virtual bool directRead(uint32_t addr, uint8_t* buf, int len) = 0;
};

// The Windows port: a device path, the IDEAccess wrappers.
class WinPort final : public BridgePort {
public:
    explicit WinPort(std::string_view path) : path_(path) {}
    Program program() const override { return Program::Windows; }
    bool inquiry(uint8_t* buf, int len) override;
    bool getGpio(uint8_t* buf2) override;
    bool getChipInfo(uint8_t* buf, int len, int* reported) override;
    bool oddInquiry(uint8_t* buf, int len) override;
    bool getRegister(uint16_t addr, uint8_t* buf, int len) override;
    bool bufferUpload294(uint8_t* buf512) override;
    bool getDiskIdentify(uint8_t* buf512) override;
    bool serialFlashType(uint8_t* buf4) override;
    bool flashTypeChkId(uint8_t opcode, uint8_t* buf, int len) override;
    bool serialFlashReadId(uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) override;
    bool serialFlashRead(uint32_t addr, uint8_t* buf, int len) override;
    bool serialFlashWrite(uint32_t addr, const uint8_t* data, int len) override;
    bool serialFlashSectorErase(uint32_t addr) override;
    bool serialFlashStatus(uint8_t* buf4) override;
    bool serialFlashWriteEnable() override;
    bool serialFlashWriteStatusUnprotect() override;
    bool serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) override;
    bool serialFlashData(const uint8_t* data, int len) override;
    bool directWrite(uint32_t addr, const uint8_t* data, int len, uint8_t eraseMode) override;
    bool directRead(uint32_t addr, uint8_t* buf, int len) override;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The macOS port: the maker library's device object, the qvaccess wrappers.
class MacPort final : public BridgePort {
public:
    explicit MacPort(uint32_t device) : dev_(device) {}
    Program program() const override { return Program::Mac; }
    bool inquiry(uint8_t* buf, int len) override;
    bool getGpio(uint8_t* buf2) override;
    bool getChipInfo(uint8_t* buf, int len, int* reported) override;
    bool oddInquiry(uint8_t* buf, int len) override;
    bool getRegister(uint16_t addr, uint8_t* buf, int len) override;
    bool bufferUpload294(uint8_t* buf512) override;
    bool getDiskIdentify(uint8_t* buf512) override;
    bool serialFlashType(uint8_t* buf4) override;
    bool flashTypeChkId(uint8_t opcode, uint8_t* buf, int len) override;
    bool serialFlashReadId(uint8_t count, uint8_t opcode, bool flag, uint8_t* buf) override;
    bool serialFlashRead(uint32_t addr, uint8_t* buf, int len) override;
    bool serialFlashWrite(uint32_t addr, const uint8_t* data, int len) override;
    bool serialFlashSectorErase(uint32_t addr) override;
    bool serialFlashStatus(uint8_t* buf4) override;
    bool serialFlashWriteEnable() override;
    bool serialFlashWriteStatusUnprotect() override;
    bool serialFlashCommand(std::initializer_list<uint8_t> spi, bool continues) override;
    bool serialFlashData(const uint8_t* data, int len) override;
    bool directWrite(uint32_t addr, const uint8_t* data, int len, uint8_t eraseMode) override;
    bool directRead(uint32_t addr, uint8_t* buf, int len) override;

private:
    uint32_t dev_;
};

}  // namespace vendor
