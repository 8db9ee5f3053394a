#include "update/update_window.h"

#include "identify/chip_table.h"
#include "update/failure_cause.h"

#include <cstdio>
#include <mutex>

namespace firmware {

void RecordingWindow::setStatus(std::string_view text) {
    status_ = text;
    statusHistory.push_back(status_);
}

void RecordingWindow::appendStatus(std::string_view text) { status_ += text; }

int RecordingWindow::messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) {
    boxes.push_back({std::string(text), std::string(title), icon});
    return 1;
}

void RecordingWindow::processMessages() {
    ++messagesProcessed;
    if (onMessages) onMessages();
}

bool flashKnown(const SelectedDevice& dev) {
    return dev.flash.type != vendor::kFlashUnknown || dev.flash.amicModel != -1 || dev.flash.atmelModel != -1;
}

uint64_t flashBytesFor(const SelectedDevice& dev, uint64_t needed) {
    const uint64_t known = uint64_t{dev.flash.capacityKiB} * 1024;
    if (needed <= known || vendor::measuresCapacity(vendor::chipRow(dev.chip.type).flash)) return known;
    vendor::_VenderCmdPara probed = dev.flash.para;
    IDEAccess::DetectFlashCapacity(dev.path, probed);
    return uint64_t{probed.capacityKiB} * 1024;
}

namespace {
std::mutex gMacMutex;
MacOutputSink gMacSink;
}  // namespace

void macPrint(std::string_view line) {
    if (FailureWatch* watch = FailureWatch::current()) watch->noteText(line);
    MacOutputSink sink;
    {
        std::lock_guard<std::mutex> lock(gMacMutex);
        sink = gMacSink;
    }
    if (sink) {
        sink(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

MacOutputSink setMacOutputSink(MacOutputSink sink) {
    std::lock_guard<std::mutex> lock(gMacMutex);
    std::swap(gMacSink, sink);
    return sink;
}

}  // namespace firmware
