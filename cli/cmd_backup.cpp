// q55x backup FILE: the whole flash read out through the family's read path.
// q55x verify FILE: the flash read back and compared with a file.
#include <fstream>
#include <memory>
#include <ostream>

#include "cli/commands.h"
#include "cli/failure_report.h"
#include "cli/terminal_window.h"
#include "update/flash_backup.h"
#include "image/image.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_version.h"
#include "identify/flash_detect.h"

namespace cli {

namespace {

bool selectForRead(Context& ctx, firmware::SelectedDevice& dev) {
    const auto listing = vendor::listBridges(ctx.commandCandidates(), {});
    if (listing.devices.empty()) return false;
    const auto& d = listing.devices.front();
    dev.path = d.record.path;
    dev.bus = d.bus;
    dev.chip = d.chip;
    if (IDEAccess::ChipSupportOf(dev.path, d.chip.type).showFlash)
        dev.flash = IDEAccess::DetectFlash(dev.path, d.chip.type, d.chip.revision, {.bus = d.bus});
    return true;
}

int runBackup(Context& ctx, const std::string& file) {
    firmware::SelectedDevice dev;
    if (!selectForRead(ctx, dev)) return ctx.failNoDevice();
    TerminalWindow w(ctx.out(), ctx.windowMode());
    w.setExpectedBytes(uint64_t(dev.flash.capacityKiB) * 1024);
    std::vector<uint8_t> bytes;
    std::string error;
    if (firmware::FailureWatch watch; !firmware::readFlash(w, dev, 0, bytes, error))
        return failBeforeWriting(ctx, error, watch, "reading the flash", error);
    w.endLine();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        return ctx.fail(kExitFailed, "cannot write " + file);
    if (ctx.options().json) ctx.printJson({{"device", dev.path}, {"file", file}, {"bytes", bytes.size()}});
    else ctx.out() << bytes.size() << " bytes of flash written to " << file << "\n";
    return kExitOk;
}

int runVerify(Context& ctx, const std::string& file) {
    const firmware::FileImage f = firmware::readFirmwareFile(file);
    if (!f.opened || f.bytes.empty()) return ctx.fail(kExitFailed, "Open Firmware File Error!!");
    firmware::SelectedDevice dev;
    if (!selectForRead(ctx, dev)) return ctx.failNoDevice();
    if (f.bytes.size() > uint64_t(dev.flash.capacityKiB) * 1024)
        return ctx.fail(kExitFailed, "The firmware file size is bigger than the flash size!");
    TerminalWindow w(ctx.out(), ctx.windowMode());
    w.setExpectedBytes(f.bytes.size());
    std::vector<uint8_t> flash;
    std::string error;
    if (firmware::FailureWatch watch; !firmware::readFlash(w, dev, static_cast<uint32_t>(f.bytes.size()), flash, error))
        return failBeforeWriting(ctx, error, watch, "reading the flash", error);
    w.endLine();
    long first = -1;
    size_t differing = 0;
    for (size_t i = 0; i < f.bytes.size(); ++i) {
        if (flash[i] == f.bytes[i]) continue;
        if (first < 0) first = static_cast<long>(i);
        ++differing;
    }
    if (ctx.options().json) {
        nlohmann::json j{{"device", dev.path}, {"file", file}, {"bytes", f.bytes.size()}, {"differing", differing}};
        j["first_difference"] = first < 0 ? nlohmann::json(nullptr) : nlohmann::json(first);
        ctx.printJson(j);
    } else if (first < 0) {
        ctx.out() << "the flash holds " << file << " (" << f.bytes.size() << " bytes)\n";
    } else {
        char line[160];
        std::snprintf(line, sizeof line, "first difference at 0x%06lX: flash %02X, file %02X; %zu bytes differ\n", first,
                      flash[static_cast<size_t>(first)], f.bytes[static_cast<size_t>(first)], differing);
        ctx.out() << line;
    }
    return first < 0 ? kExitOk : kExitVerifyMismatch;
}

}  // namespace

Runner addBackupCommand(CLI::App& app) {
    auto file = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("backup", "Read the whole flash into FILE");
    sub->add_option("file", *file, "Where to write the flash contents")->required();
    return [file](Context& ctx) { return runBackup(ctx, *file); };
}

Runner addVerifyCommand(CLI::App& app) {
    auto file = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("verify", "Compare the flash with FILE; exit 7 on a difference");
    sub->add_option("file", *file, "The file the flash should hold from address 0")->required();
    return [file](Context& ctx) { return runVerify(ctx, *file); };
}

}  // namespace cli
