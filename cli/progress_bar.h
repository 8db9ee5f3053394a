// The progress display of a terminal: one line per stage (erase, write, read-back) that is
// redrawn in place, with the stage, a bar, the percent, the bytes moved and the elapsed time.
//
//   Writing    [##############----------------]  47%  120.0/256.0 KiB  00:02
//
// Bytes are counted from the commands themselves (every data transfer of a sector or more in the
// stage), so the display follows every family's procedure without the procedure knowing of it.
// Erasing has no byte count a procedure reports; its bar moves as an indicator.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "transport/trace.h"

namespace cli {

enum class ProgressStage { None, Erase, Write, ReadBack };

// The stage a status text starts, or None for a text that is a message of its own.
ProgressStage stageOfStatus(std::string_view text);

class ProgressBar {
public:
    // `expectedBytes` is what the update writes (and reads back); 0 when unknown.
    ProgressBar(std::ostream& out, uint64_t expectedBytes) : out_(out), expected_(expectedBytes) {}

    // What the stage is expected to move, and what it can move at most (the flash): a read-back
    // of the whole flash after a smaller image is measured against the flash.
    void setExpectedBytes(uint64_t n, uint64_t ceiling = 0) {
        expected_ = n;
        ceiling_ = ceiling;
    }
    // Starts a stage (ending the line of the one before); the same stage again continues it.
    void begin(ProgressStage stage);
    void onCommand(const transport::TraceEntry& e);
    // Ends the line in progress, if any, at its last state.
    void end();
    bool active() const { return stage_ != ProgressStage::None; }

    // The line as it stands (without the carriage return); for tests and for drawing.
    std::string line() const;

private:
    void draw(bool force);
    uint64_t total() const { return bytes_ > expected_ && ceiling_ > expected_ ? ceiling_ : expected_; }

    std::ostream& out_;
    uint64_t expected_;
    uint64_t ceiling_ = 0;
    ProgressStage stage_ = ProgressStage::None;
    uint64_t bytes_ = 0;
    uint64_t commands_ = 0;
    uint64_t startMs_ = 0;
    uint64_t lastMs_ = 0;   // the stage's last command: a finished stage keeps its time
    std::string drawn_;
};

}  // namespace cli
