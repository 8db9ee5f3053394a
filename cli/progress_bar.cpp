#include "cli/progress_bar.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "sys/clock.h"

namespace cli {

namespace {

constexpr int kBarWidth = 30;
// Status polls, chip records and the like move a few bytes; data moves in sectors or more.
constexpr uint32_t kDataTransferMin = 256;

const char* labelOf(ProgressStage s) {
    switch (s) {
    case ProgressStage::Erase: return "Erasing";
    case ProgressStage::Write: return "Writing";
    case ProgressStage::ReadBack: return "Reading";
    case ProgressStage::None: break;
    }
    return "";
}

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

std::string kib(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", static_cast<double>(bytes) / 1024.0);
    return b;
}

}  // namespace

ProgressStage stageOfStatus(std::string_view text) {
    // Results and errors name a stage too ("Programming Fail!!", "Read Fail!!"): they are messages.
    for (std::string_view w : {"Fail", "fail", "rror", "Success", "!!"})
        if (contains(text, w)) return ProgressStage::None;
    if (contains(text, "Eras")) return ProgressStage::Erase;
    if (contains(text, "Program") || contains(text, "Download") || contains(text, "Writ"))
        return ProgressStage::Write;
    if (contains(text, "Read") || contains(text, "Compar") || contains(text, "Verif"))
        return ProgressStage::ReadBack;
    return ProgressStage::None;
}

void ProgressBar::begin(ProgressStage stage) {
    if (stage == stage_) return;
    end();
    stage_ = stage;
    bytes_ = 0;
    commands_ = 0;
    startMs_ = lastMs_ = sys::nowMs();
    if (stage_ != ProgressStage::None) draw(true);
}

void ProgressBar::onCommand(const transport::TraceEntry& e) {
    if (stage_ == ProgressStage::None || !e.ok) return;
    ++commands_;
    lastMs_ = sys::nowMs();
    const bool moves = stage_ == ProgressStage::Write ? e.dir == transport::Direction::Out
                                                      : e.dir == transport::Direction::In;
    if (stage_ != ProgressStage::Erase && moves && e.xfer >= kDataTransferMin) bytes_ += e.xfer;
    draw(false);
}

void ProgressBar::end() {
    if (stage_ == ProgressStage::None) return;
    draw(true);
    out_ << "\n" << std::flush;
    stage_ = ProgressStage::None;
    drawn_.clear();
}

std::string ProgressBar::line() const {
    const uint64_t elapsed = (lastMs_ - startMs_) / 1000;
    const uint64_t expected = total();
    std::string bar(kBarWidth, '-');
    std::string percent = " --%";
    if (stage_ == ProgressStage::Erase) {
        // An indicator: a block of four that walks along the bar with every command.
        const size_t at = static_cast<size_t>(commands_ % (kBarWidth - 3));
        std::fill_n(bar.begin() + static_cast<std::ptrdiff_t>(at), 4, '#');
    } else if (expected > 0) {
        const uint64_t done = std::min(bytes_, expected);
        std::fill_n(bar.begin(), static_cast<std::ptrdiff_t>(done * kBarWidth / expected), '#');
        char p[8];
        std::snprintf(p, sizeof p, "%3u%%", static_cast<unsigned>(done * 100 / expected));
        percent = p;
    }
    char head[16];
    std::snprintf(head, sizeof head, "%-10s", labelOf(stage_));
    std::string s = std::string(head) + " [" + bar + "] " + percent + "  ";
    if (stage_ == ProgressStage::Erase) {
        s += std::to_string(commands_) + " commands";
    } else {
        s += kib(bytes_);
        if (expected > 0) s.append("/").append(kib(expected));
        s += " KiB";
    }
    char t[32];
    std::snprintf(t, sizeof t, "  %02u:%02u", static_cast<unsigned>(elapsed / 60), static_cast<unsigned>(elapsed % 60));
    return s + t;
}

void ProgressBar::draw(bool force) {
    std::string l = line();
    if (!force && l == drawn_) return;
    // Redrawn when the bar, the percent or the time moves, not for every command's bytes.
    const auto shape = [](const std::string& x) {
        const size_t bytesAt = x.find("]") + 6;
        const size_t timeAt = x.rfind("  ");
        return x.size() < bytesAt || timeAt < bytesAt ? x : x.substr(0, bytesAt) + x.substr(timeAt);
    };
    if (!force && !drawn_.empty() && shape(l) == shape(drawn_)) return;
    // Back to the start of the line, the new text, and the rest of the old one cleared.
    out_ << "\r" << l << "\x1b[K" << std::flush;
    drawn_ = std::move(l);
}

}  // namespace cli
