#include "campaign/fork_pool.h"
#include "campaign/bench.h"

#include <cstdio>

#include "sys/clock.h"
#include "transport/backend.h"
#include "bridge/IDEAccess.h"
#include "update/direct_update.h"

namespace campaign {

// Sits between the procedures and the bus, and in front of the session's clock: every command and
// every wait of a run passes here, so a run that never ends is caught in virtual time or in
// commands, whichever it spends. The flash status reads of a readiness wait count in virtual time
// only (each wait is bounded by its own poll limit, and every poll takes its interval): a stuck
// flash under a procedure of many small transfers polls a great deal, and still ends.
class Guard final : public transport::Backend, public sys::Clock {
public:
    Guard(sim::Session& s, const Bounds& b) : session_(s), bounds_(b), clockScope_(*this), backendScope_(*this) {}

    transport::Result execute(const transport::Request& req) override {
        ++commands_;
        const bool statusPoll = req.cdbLen >= 3 && req.cdb[0] == 0xFF && req.cdb[1] == 0x04 && req.cdb[2] == 0x12;
        if (statusPoll) ++polls_;
        if (!pending_.empty()) {
            sim::Enclosure& e = session_.bus().enclosure(0);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (e.commandCount() + 1 >= it->first) {
                    it->second(e);
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (bounds_.commands && (commands_ - polls_) - (phaseCommands_ - phasePolls_) > bounds_.commands)
            exceeded("commands");
        return session_.bus().execute(req);
    }
    void sleepMs(unsigned ms) override {
        session_.clock().sleepMs(ms);
        if (bounds_.virtualMs && nowMs() - phaseMs_ > bounds_.virtualMs) exceeded("virtual time");
    }
    uint64_t nowMs() const override { return session_.clock().nowMs(); }

    void startPhase() {
        phaseCommands_ = commands_;
        phasePolls_ = polls_;
        phaseMs_ = nowMs();
    }
    uint64_t phaseCommands() const { return commands_ - phaseCommands_; }
    uint64_t phaseMs() const { return nowMs() - phaseMs_; }
    void at(uint64_t enclosureCommand, std::function<void(sim::Enclosure&)> action) {
        pending_.emplace_back(enclosureCommand, std::move(action));
    }

private:
    void exceeded(const char* what) {
        if (bounds_.onExceeded) bounds_.onExceeded(what);
    }

    sim::Session& session_;
    Bounds bounds_;
    sys::ScopedClock clockScope_;
    transport::ScopedBackend backendScope_;
    uint64_t commands_ = 0, phaseCommands_ = 0, phaseMs_ = 0, polls_ = 0, phasePolls_ = 0;
    std::vector<std::pair<uint64_t, std::function<void(sim::Enclosure&)>>> pending_;
};

std::string describeDifference(const Store& got, const Store& want) {
    char t[112];
    if (got.flash.size() != want.flash.size()) return "flash sizes differ";
    for (size_t i = 0; i < got.flash.size(); ++i)
        if (got.flash[i] != want.flash[i]) {
            size_t n = 0;
            for (size_t j = i; j < got.flash.size(); ++j) n += got.flash[j] != want.flash[j];
            std::snprintf(t, sizeof t, "flash 0x%06zX holds %02X, the model %02X (%zu bytes differ)", i, got.flash[i],
                          want.flash[i], n);
            return t;
        }
    for (const auto& [lba, bytes] : want.disk) {
        auto it = got.disk.find(lba);
        if (it == got.disk.end() || it->second != bytes) {
            std::snprintf(t, sizeof t, "disk block %llu differs from the model", static_cast<unsigned long long>(lba));
            return t;
        }
    }
    return "disk holds blocks the model does not";
}

Bench::Bench(const std::string& text, const Store* store, const Bounds& bounds)
    : session_(std::make_unique<sim::Session>()) {
    if (!session_->bus().addEnclosure(withRunKeys(text), error_)) return;
    enc_ = &session_->bus().enclosure(0);
    if (store) {
        if (store->flash.size() != enc_->flash().size()) {
            error_ = "stored flash does not fit the enclosure";
            return;
        }
        enc_->flash() = store->flash;
        enc_->disk().blocks() = store->disk;
        enc_->reboot();
    }
    guard_ = std::make_unique<Guard>(*session_, bounds);
    ok_ = true;
}

Bench::~Bench() = default;

Store Bench::store() {
    enc_->cutPowerIfDue();   // a timed cut whose instant passed after the last command
    return {enc_->flash(), enc_->disk().blocks()};
}

void Bench::powerCycle() { enc_->hasFlash() ? enc_->flashChip()->powerOn() : void(), enc_->reboot(); }

void Bench::select(bool bankRecovery, bool linuxPath) {
    record_ = {};
    dev_ = {};
    const sim::DeviceInfo& d = session_->bus().deviceOf(0);
    dev_.path = record_.path = linuxPath ? d.linuxPath : d.windowsPath;
    // On Linux the bus comes from discovery (the node's name does not tell it), as q55x has it.
    if (linuxPath)
        dev_.bus = d.bus == sim::BusKind::Ieee1394 ? vendor::Bus::Ieee1394
                   : d.bus == sim::BusKind::Uas    ? vendor::Bus::Uas
                                                   : vendor::Bus::Usb;
    dev_.chip = IDEAccess::DetectChipType(dev_.path);
    dev_.flash = IDEAccess::DetectFlash(dev_.path, dev_.chip.type, dev_.chip.revision, {.bus = dev_.bus});
    dev_.record = &record_;
    // The window runs the bank recovery on selection for the QVR256 and the QVR253.
    if (bankRecovery && (dev_.chip.type == 13 || dev_.chip.type == 27)) firmware::RecoverFirmwareBank(w_, dev_);
}

uint32_t Bench::makerObject() { return session_->bus().deviceOf(0).makerObject; }

std::vector<std::string> Bench::scan() {
    std::vector<std::string> paths;
    for (const sim::DeviceInfo& d : session_->bus().devices()) paths.push_back(d.linuxPath);
    return paths;
}

void Bench::startPhase() { guard_->startPhase(); }
uint64_t Bench::phaseCommands() const { return guard_->phaseCommands(); }
uint64_t Bench::phaseMs() const { return guard_->phaseMs(); }

void Bench::atCommand(uint64_t afterCommands, std::function<void(sim::Enclosure&)> action) {
    guard_->at(enc_->commandCount() + afterCommands, std::move(action));
}

}  // namespace campaign
