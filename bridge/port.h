// The commands that chip identification, flash probing and the disk queries send, over one
// device of either program. Those procedures are written once against this interface; the
// Windows port carries a device path and goes through the IDEAccess wrappers, the macOS port
// carries the maker library's device object and goes through the qvaccess wrappers. What differs
// between the programs beyond the wrappers is a row of data (ChipBinding, FlashVariant), never a
// second copy of a procedure.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace vendor {

class BridgePort {
public:
    virtual ~BridgePort() = default;

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
};

class WinPort final : public BridgePort {
public:
    explicit WinPort(std::string_view path) : path_(path) {}
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

private:
    std::string path_;
};

class MacPort final : public BridgePort {
public:
    explicit MacPort(uint32_t device) : dev_(device) {}
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

private:
    uint32_t dev_;
};

}  // namespace vendor
