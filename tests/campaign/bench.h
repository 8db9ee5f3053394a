// One virtual enclosure on its own bus and clock, with what a campaign case needs around it: the
// window a Windows procedure reports to, the selected device as the window would know it, the
// maker-library device object of the macOS procedures, and a guard between the procedures and the
// bus that bounds every run in commands and virtual time.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "update/update_window.h"
#include "sim/session.h"
#include "discovery/device_table.h"

namespace campaign {

using Bytes = std::vector<uint8_t>;

// What stays of an enclosure when its power is gone: the flash and the disk.
struct Store {
    Bytes flash;
    std::map<uint64_t, Bytes> disk;
    bool operator==(const Store&) const = default;
};

// What the chip says about itself after a boot: the state it booted into and its chip information.
struct BootSignature {
    sim::BootState state = sim::BootState::RomCode;
    Bytes info;
    bool operator==(const BootSignature&) const = default;
};

// Where two stores first differ, in one line ("flash 0x00C000 holds FF, the model 5A ...").
std::string describeDifference(const Store& got, const Store& want);

// A run that goes past these is a hang; `onExceeded` ends the case (it does not return).
struct Bounds {
    uint64_t commands = 0;      // 0: no bound
    uint64_t virtualMs = 0;
    std::function<void(const char* what)> onExceeded;
};

class Guard;

class Bench {
public:
    // `text` is the enclosure's --sim text; with `store`, the enclosure is powered on with that
    // flash and disk instead of the ones the text would give it.
    Bench(const std::string& text, const Store* store, const Bounds& bounds);
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    sim::Session& session() { return *session_; }
    sim::Enclosure& enclosure() { return *enc_; }
    Store store();

    // As the window does when the device is selected (and the bank recovery it runs then for the
    // single-bank families that keep two banks); `linuxPath`: as q55x selects it, by its Linux node.
    void select(bool bankRecovery, bool linuxPath = false);
    firmware::SelectedDevice& device() { return dev_; }
    firmware::RecordingWindow& window() { return w_; }
    uint32_t makerObject();
    std::vector<std::string> scan();

    // The enclosure is switched off and on again: its RAM is lost, it boots from flash.
    void powerCycle();
    BootSignature bootSignature() { return {enc_->bootState(), enc_->chipInfo()}; }

    // Starts counting a new phase against the bounds.
    void startPhase();
    uint64_t phaseCommands() const;
    uint64_t phaseMs() const;
    // Runs `action` once the enclosure has seen `afterCommands` more commands (mid-run faults).
    void atCommand(uint64_t afterCommands, std::function<void(sim::Enclosure&)> action);

private:
    bool ok_ = false;
    std::string error_;
    std::unique_ptr<sim::Session> session_;
    std::unique_ptr<Guard> guard_;
    sim::Enclosure* enc_ = nullptr;
    vendor::DeviceRecord record_;
    firmware::SelectedDevice dev_;
    firmware::RecordingWindow w_;
};

}  // namespace campaign
