// Why an update failed, in one line a person can act on: the step that failed (in words), the
// flash address where one applies, and the command the step ended on with its SCSI status,
// sense, host and driver status, or what no command tells (a compare that did not match, a
// bridge that did not come back after its reset).
//
// The procedures are not changed for it: a FailureWatch sees every command the thread sends (at
// the transport's trace point) and every text the procedure shows (its status line and message
// boxes through a WatchedWindow, the macOS lines through macPrint). A text that names a failed
// step takes the cause at once; otherwise it is made when the caller asks, from the last step
// shown and the last failed command.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_window.h"
#include "transport/trace.h"

namespace firmware {

struct FailedCommand {
    std::string cdb;              // hex, as in the command trace
    bool opened = true;           // false: the device could not be opened (gone, or no rights)
    uint32_t sysError = 0;        // the system's error code
    uint8_t status = 0;           // SCSI status (2: CHECK CONDITION)
    uint8_t host = 0, driver = 0;
    std::vector<uint8_t> sense;   // as the device returned it
    bool dataOut = false;
    uint32_t length = 0, residual = 0;   // the data phase, and what of it did not move
};

struct FailureCause {
    std::string step;                    // "erasing the flash", ...
    std::optional<uint32_t> address;     // the flash address the failing command or compare was at
    std::optional<FailedCommand> command;
    std::string detail;                  // what no command says
    bool deviceChanged = false;          // an erase or a write had been sent before it failed

    bool known() const { return !step.empty() || command || !detail.empty(); }
    // "programming the flash at 0x004000: FF 04 11 ... ended with status 2 (CHECK CONDITION),
    // sense 70 00 0B ...: ABORTED COMMAND, ASC/ASCQ 00/00"
    // `errorText` names a system error code where the platform can (strerror on Linux).
    std::string line(std::string (*errorText)(uint32_t) = nullptr) const;
};

class FailureWatch {
public:
    FailureWatch();
    ~FailureWatch();
    FailureWatch(const FailureWatch&) = delete;
    FailureWatch& operator=(const FailureWatch&) = delete;

    // A text the procedure showed (status line, message box, debug or macOS line).
    void noteText(std::string_view text);
    // The bridge was reset and did not come back within `seconds`.
    void noteNotBack(unsigned seconds);
    // A check of the caller's own failed: the step in words and what it found.
    void noteFailure(std::string step, std::string detail);
    FailureCause cause() const;
    bool deviceChanged() const { return changed_; }
    // The steps the procedure showed, in words and in order, each once.
    const std::vector<std::string>& steps() const { return steps_; }

    // The watch of this thread, if one is installed (macPrint tells it its lines).
    static FailureWatch* current();

private:
    void onCommand(const transport::TraceEntry& e);

    FailureWatch* previous_;
    std::string step_;
    std::vector<std::string> steps_;
    std::optional<FailedCommand> lastFailed_;
    std::string lastShortRead_;                   // "a read returned only N of M bytes (command ...)"
    std::optional<uint32_t> lastFailedAddress_;   // the failing command's own address, where it names one
    std::optional<uint32_t> lastAddress_;         // of the last command that went through
    bool changed_ = false;
    std::optional<FailureCause> taken_;
    transport::ScopedCommandListener listener_;
};

// Passes everything to the window it wraps, and tells the watch what the procedure shows.
class WatchedWindow final : public UpdateWindow {
public:
    WatchedWindow(UpdateWindow& inner, FailureWatch& watch) : w_(inner), watch_(watch) {}
    void setStatus(std::string_view text) override { watch_.noteText(text); w_.setStatus(text); }
    void appendStatus(std::string_view text) override { watch_.noteText(text); w_.appendStatus(text); }
    std::string status() const override { return w_.status(); }
    void setProgress(int position) override { w_.setProgress(position); }
    bool includeNvram() const override { return w_.includeNvram(); }
    void setIncludeNvram(bool on) override { w_.setIncludeNvram(on); }
    bool readWriteBuffer() const override { return w_.readWriteBuffer(); }
    bool setProductSn() const override { return w_.setProductSn(); }
    void hideProductSn() override { w_.hideProductSn(); }
    bool updateButtonEnabled() const override { return w_.updateButtonEnabled(); }
    void setUpdateButtonEnabled(bool on) override { w_.setUpdateButtonEnabled(on); }
    std::string firmwareFile() const override { return w_.firmwareFile(); }
    const Settings& settings() const override { return w_.settings(); }
    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override {
        watch_.noteText(text);
        return w_.messageBox(text, title, icon);
    }
    void processMessages() override { w_.processMessages(); }
    void debug(std::string_view text) override { watch_.noteText(text); w_.debug(text); }

private:
    UpdateWindow& w_;
    FailureWatch& watch_;
};

}  // namespace firmware
