// What an update procedure of the Windows program needs of its window: the status line with its
// "." per step, the progress bar, the option check boxes, the firmware file name, the settings,
// message boxes, a chance to process pending window messages, and the debug output. The main
// window implements it, q55x implements it for the terminal, tests record it; that is how the
// same procedures run everywhere.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys/message_box.h"
#include "bridge/bus.h"
#include "identify/chip_detect.h"
#include "discovery/device_table.h"
#include "identify/flash_detect.h"

namespace firmware {

// The settings file's values (the reader fills them; these are the defaults without a file).
struct Settings {
    uint16_t vid = 0x728D;
    uint16_t pid = 0x7A3C;
    // 20 characters. The default is the same for every bridge that is updated without a settings
    // file (or without this key): such bridges all carry the serial "00000000000000000000", and a
    // host that tells enclosures apart by their serial sees them as one.
    std::string serialNum = "00000000000000000000";
    int32_t chipReset = 0;                             // 1: the chip restarts itself after an update
};

class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;

    // StatusEdit
    virtual void setStatus(std::string_view text) = 0;
    virtual void appendStatus(std::string_view text) = 0;   // "." after each transfer step
    virtual std::string status() const = 0;
    // ProgressBar1
    virtual void setProgress(int position) = 0;
    // The option check boxes as the window set them for the selected device.
    virtual bool includeNvram() const = 0;        // NVRAMCheck, "Include 4K NVRAM"
    virtual void setIncludeNvram(bool on) = 0;
    virtual bool readWriteBuffer() const = 0;     // ReadWriteBufferChk, "Read/Write Buffer"
    virtual bool setProductSn() const = 0;        // SetPrdSNchk, "Setting ProductSN(In-Code)"
    virtual void hideProductSn() = 0;
    // UpdateBtn, disabled while a bank recovery runs.
    virtual bool updateButtonEnabled() const = 0;
    virtual void setUpdateButtonEnabled(bool on) = 0;
    // FwFilenameEdit
    virtual std::string firmwareFile() const = 0;
    virtual const Settings& settings() const = 0;
    // A message box with its title ("Message" unless another is named); returns the button.
    virtual int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) = 0;
    virtual void processMessages() = 0;
    virtual void debug(std::string_view text) = 0;
};

// The selected device as the window knows it: path, bus, chip, flash facts, its table entry.
struct SelectedDevice {
    std::string path;
    std::optional<vendor::Bus> bus;   // as discovery found it; empty: judged from a Windows path's text
    vendor::ChipId chip;
    vendor::FlashFacts flash;
    vendor::DeviceRecord* record = nullptr;   // for the recovery mark; may be null

    // Empty when neither discovery nor the path tells.
    std::optional<vendor::Bus> busKind() const { return bus ? bus : vendor::busOfPath(path); }
};

// Whether identification knows the flash: a maker type, or an AMIC or ATMEL model. The
// serial-flash procedures, which erase with the flash's own opcodes and prepare it by its maker,
// refuse an unknown one before anything is erased (kTextUnknownFlash); the direct-command ones
// plan with the unknown type's units, verify every attempt and fall back to a chip erase.
bool flashKnown(const SelectedDevice& dev);
// The flash size in bytes a file's extent `needed` is checked against before anything is erased:
// what identification measured; for the chips whose identification leaves the size at its
// default, and only when `needed` is larger than that, what the flash's own identification reply
// says (read-only probes).
uint64_t flashBytesFor(const SelectedDevice& dev, uint64_t needed);

// A window that records everything, for tests and for programs without a real one. Message boxes
// answer 1 (OK); `onMessages` runs whenever messages would be processed.
class RecordingWindow : public UpdateWindow {
public:
    void setStatus(std::string_view text) override;
    void appendStatus(std::string_view text) override;
    std::string status() const override { return status_; }
    void setProgress(int position) override { progress_ = position; }
    bool includeNvram() const override { return includeNvram_; }
    void setIncludeNvram(bool on) override { includeNvram_ = on; }
    bool readWriteBuffer() const override { return readWriteBuffer_; }
    bool setProductSn() const override { return setProductSn_; }
    void hideProductSn() override { productSnHidden_ = true; }
    bool updateButtonEnabled() const override { return updateButton_; }
    void setUpdateButtonEnabled(bool on) override { updateButton_ = on; }
    std::string firmwareFile() const override { return firmwareFile_; }
    const Settings& settings() const override { return settings_; }
    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    void processMessages() override;
    void debug(std::string_view text) override { debugText_ += text; }

    // Set up by the caller.
    bool includeNvram_ = false;
    bool readWriteBuffer_ = false;
    bool setProductSn_ = true;
    bool updateButton_ = true;
    std::string firmwareFile_;
    Settings settings_;
    std::function<void()> onMessages;

    // What happened.
    std::string status_;
    std::vector<std::string> statusHistory;   // every text the status line was set to
    int progress_ = 0;
    bool productSnHidden_ = false;
    struct Box {
        std::string text, title;
        sys::MsgIcon icon;
    };
    std::vector<Box> boxes;
    std::string debugText_;
    int messagesProcessed = 0;
};

// Standard output of the macOS procedures ("update_func: ..." lines); tests and the app capture it.
void macPrint(std::string_view line);
using MacOutputSink = std::function<void(std::string_view)>;
MacOutputSink setMacOutputSink(MacOutputSink sink);   // empty: standard output

}  // namespace firmware
