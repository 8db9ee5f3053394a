#include "win_app/application.h"

#include <algorithm>
#include <limits>

#include "sys/clock.h"

namespace winform {

namespace {
constexpr uint64_t kVirtualIdleRealMs = 5;
}  // namespace

Application::Application(UiBackend& ui, bool virtualTime) : ui_(ui), virtualTime_(virtualTime) {
    oldPump_ = sys::setMessagePump([this] { processMessages(); });
    oldBox_ = sys::setMessageBoxHandler(
        [this](std::string_view text, std::string_view title, sys::MsgIcon icon) { return ui_.messageBox(text, title, icon); });
    oldSink_ = sys::setDebugSink([this](std::string_view text) { ui_.debugOut(text); });
}

Application::~Application() {
    sys::setMessagePump(std::move(oldPump_));
    sys::setMessageBoxHandler(std::move(oldBox_));
    sys::setDebugSink(std::move(oldSink_));
}

void Application::setTitle(std::string_view title) {
    title_ = title;
    ui_.setApplicationTitle(title);
}

void Application::startTimer(unsigned id, unsigned ms) { timers_[id] = Timer{ms, sys::nowMs() + ms}; }

void Application::stopTimer(unsigned id) { timers_.erase(id); }

std::optional<uint64_t> Application::nextTimerDue() const {
    std::optional<uint64_t> due;
    for (const auto& [id, t] : timers_)
        if (!due || t.dueMs < *due) due = t.dueMs;
    return due;
}

void Application::addWatch(unsigned periodMs, std::function<void()> work) {
    periodMs = std::max(1u, periodMs);
    watches_.push_back({periodMs, sys::nowMs() + periodMs, std::move(work)});
}

std::optional<uint64_t> Application::nextDue() const {
    std::optional<uint64_t> due = nextTimerDue();
    for (const Watch& w : watches_)
        if (!due || w.dueMs < *due) due = w.dueMs;
    return due;
}

void Application::fireDueTimers() {
    const uint64_t now = sys::nowMs();
    for (size_t i = 0; i < watches_.size(); ++i) {
        if (watches_[i].dueMs > now) continue;
        watches_[i].dueMs = now + watches_[i].periodMs;
        watches_[i].work();
    }
    std::vector<std::pair<uint64_t, unsigned>> due;
    for (const auto& [id, t] : timers_)
        if (t.dueMs <= now) due.emplace_back(t.dueMs, id);
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
        auto it = timers_.find(id);
        // An earlier handler may have stopped or restarted it.
        if (it == timers_.end() || it->second.dueMs > now) continue;
        // As with the system's timer message, the next one comes a whole interval later; a
        // handler that processes messages does not see this one again.
        it->second.dueMs = now + std::max(1u, it->second.intervalMs);
        if (handlers_.timer) handlers_.timer(id);
    }
}

void Application::deliverPosted() {
    std::vector<DeviceEvent> events;
    events.swap(posted_);
    for (DeviceEvent e : events) deviceChanged(e);
}

void Application::processMessages() {
    if (!ui_.pumpNative()) quit_ = true;
    deliverPosted();
    fireDueTimers();
}

void Application::idleUntil(uint64_t targetMs) {
    const uint64_t now = sys::nowMs();
    if (targetMs <= now) return;
    if (virtualTime_) {
        // Virtual time moves on at once; a few real milliseconds are still given to the native
        // queue, so an idle window neither spins nor stops answering its user.
        ui_.waitNative(std::min<uint64_t>(targetMs - now, kVirtualIdleRealMs));
        sys::sleepMs(static_cast<unsigned>(std::min<uint64_t>(targetMs - now, 1u << 30)));
    } else {
        ui_.waitNative(targetMs - now);
    }
}

void Application::runUntil(const std::function<bool()>& done, uint64_t limitMs) {
    const uint64_t end = sys::nowMs() + limitMs;
    while (!quit_) {
        processMessages();
        if (quit_ || (done && done())) return;
        const uint64_t now = sys::nowMs();
        if (now >= end) return;
        const auto due = nextDue();
        idleUntil(due ? std::min(*due, end) : end);
    }
}

void Application::run() {
    while (!quit_) {
        processMessages();
        if (quit_) return;
        const auto due = nextDue();
        if (!due) {
            if (!ui_.waitNative(std::numeric_limits<uint64_t>::max())) return;
            continue;
        }
        idleUntil(*due);
    }
}

void Application::deviceChanged(DeviceEvent e) {
    if (handlers_.deviceChange) handlers_.deviceChange(e);
}

void Application::closeRequested() {
    if (handlers_.closeRequested) handlers_.closeRequested();
}

bool Application::sessionEndQueried() { return !handlers_.sessionEndQueried || handlers_.sessionEndQueried(); }

bool Application::sleepQueried() { return !handlers_.sleepQueried || handlers_.sleepQueried(); }

}  // namespace winform
