// The main window on the headless backend against emulated enclosures behind the Windows
// discovery seam, on the emulator's virtual clock: the rig every win_app test starts from.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/image_catalog.h"
#include "sys/resources.h"
#include "transport/backend.h"
#include "win_app/Fwupdate.h"
#include "win_app/application.h"
#include "win_app/headless_backend.h"
#include "win_app/report.h"
#include "win_app/sim_devices.h"

namespace wintest {

using Bytes = std::vector<uint8_t>;

// Every command that reaches the emulated bus, in order.
class CommandLog final : public transport::Backend {
public:
    explicit CommandLog(transport::Backend& inner) : inner_(inner) {}
    struct Sent {
        Bytes cdb;
        Bytes data;   // bytes sent (data-out commands)
    };
    std::vector<Sent> sent;
    std::function<void(const Sent&)> onCommand;
    transport::Result execute(const transport::Request& r) override {
        Sent s{Bytes(r.cdb, r.cdb + r.cdbLen), {}};
        if (r.dir == transport::Direction::Out && r.data) s.data.assign(r.data, r.data + r.xferLen);
        sent.push_back(std::move(s));
        if (onCommand) onCommand(sent.back());
        return inner_.execute(r);
    }
    size_t count(uint8_t op) const {
        return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [op](const Sent& s) { return s.cdb[0] == op; }));
    }
    // Commands that carried data to the device.
    size_t dataOut() const {
        return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [](const Sent& s) { return !s.data.empty(); }));
    }

private:
    transport::Backend& inner_;
};

// A sample firmware file of our image generator, written to a temporary file.
// Test programs run side by side (ctest -j): each process writes its sample files under a name
// of its own, so one never reads another's half-written copy.
inline const std::string& processTag() {
    static const std::string tag = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return tag;
}

inline std::string sampleFile(const std::string& name) {
    for (const firmware::CatalogImage& c : firmware::imageCatalog()) {
        if (!c.sample || name != c.name) continue;
        Bytes bytes;
        std::string error;
        EXPECT_TRUE(firmware::generateImage(c, bytes, error)) << error;
        const auto path = std::filesystem::temp_directory_path() / ("q55x_winapp_" + processTag() + "_" + name + "." + c.type);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    ADD_FAILURE() << "no sample " << name;
    return {};
}

struct FormRig {
    winapp::SimDevices sim;
    CommandLog log{sim.bus()};
    transport::ScopedBackend scopedLog{log};
    sys::ResourceLoader previousLoader = sys::setResourceLoader(firmware::catalogResources());
    winform::HeadlessBackend ui;
    winform::Application app{ui, true};
    std::unique_ptr<winapp::TQ55xFwTool> form;

    explicit FormRig(std::initializer_list<const char*> enclosures, const firmware::Settings& settings = {}) {
        for (const char* e : enclosures) add(e);
        sim.onDeviceChange = [this](winform::DeviceEvent e) { app.postDeviceChange(e); };
        app.addWatch(winapp::kSimHotPlugPollMs, [this] { sim.bus().devices(); });
        form = std::make_unique<winapp::TQ55xFwTool>(app, settings);
        EXPECT_TRUE(ui.createWindow(*form, app));
        form->FormCreate();
        app.processMessages();   // the arrivals of the enclosures attached before the window
        app.stopTimer(winapp::kRescanTimerId);
        log.sent.clear();
    }
    ~FormRig() {
        sim.onDeviceChange = nullptr;
        form.reset();
        sys::setResourceLoader(previousLoader);
    }
    void add(const char* enclosure) {
        std::string error;
        ASSERT_TRUE(sim.bus().addEnclosure(enclosure, error)) << error;
    }
    winapp::TQ55xFwTool& f() { return *form; }
    sim::Enclosure& enclosure(size_t i = 0) { return sim.bus().enclosure(i); }
    Bytes flash(size_t at, size_t n) {
        auto& fl = enclosure().flash();
        return Bytes(fl.begin() + static_cast<long>(at), fl.begin() + static_cast<long>(at + n));
    }
    // The version bytes the chip reports now (12-15 of its chip information).
    Bytes reportedVersion() {
        const auto info = enclosure().chipInfo();
        return Bytes(info.begin() + 12, info.begin() + 16);
    }
    std::vector<std::string> boxes() const {
        std::vector<std::string> out;
        for (const auto& b : ui.boxes) out.push_back(b.title + ": " + b.text);
        return out;
    }
    // The user picks a firmware file with "Load File".
    void load(const std::string& file) {
        ui.dialogAnswers.push_back(file);
        form->LoadBtnClick();
    }
};

}  // namespace wintest
