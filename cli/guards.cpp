#include "cli/guards.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/disk_use.h"
#include "cli/failure_report.h"
#include "cli/update_journal.h"
#include "cli/state_files.h"
#include "update/flash_backup.h"
#include "update/settings.h"
#include "identify/chip_table.h"

namespace cli {

namespace fs = std::filesystem;

void addWriteGuardOptions(CLI::App& sub, WriteGuards& g) {
    sub.add_flag("-y,--yes", g.yes, "Do not ask before writing (required when not on a terminal)");
    sub.add_flag("--no-backup", g.noBackup, "Do not keep a copy of the flash before writing");
    sub.add_flag("--dry-run", g.dryRun, "Show what would be erased, written and kept; send identification only");
    sub.add_flag("--allow-reinstall", g.allowReinstall, "Write even when the chip runs this version already");
    sub.add_flag("--allow-older", g.allowOlder, "Write even when the chip runs a newer version");
    sub.add_flag("--force", g.force, "Write even while the disk behind the bridge is mounted, held or used as swap");
}

std::string backupDirectory() { return stateDirectory() + "/backups"; }

void acceptSettingsIds(Context& ctx, const std::string& settingsFile) {
    if (settingsFile.empty()) return;
    const auto loaded = firmware::loadSettings(settingsFile);
    if (loaded.ok) ctx.acceptUsbIds(loaded.settings.vid, loaded.settings.pid);
}

int refuseAmbiguousDevice(Context& ctx, const WriteGuards& g, const std::vector<vendor::ListedDevice>& found) {
    if (!g.yes || g.dryRun || !ctx.options().device.empty() || found.size() < 2) return 0;
    std::string paths;
    for (const auto& d : found) paths += " " + d.record.path;
    return ctx.fail(kExitRefused, std::to_string(found.size()) + " bridges are attached (" + paths.substr(1) +
                                      "); name one with --device, or use --all. Nothing written.");
}

int confirmWrite(Context& ctx, const WriteGuards& g, const std::string& question) {
    if (g.yes) return 0;
    if (!::isatty(STDIN_FILENO) || ctx.options().json)
        return ctx.fail(kExitUsage, "refusing to write without --yes when not asked on a terminal");
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
        return ctx.fail(kExitNothingToDo, "nothing written");
    return 0;
}

int backupFlash(Context& ctx, firmware::UpdateWindow& w, const firmware::SelectedDevice& dev, std::string& where) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (firmware::FailureWatch watch; !firmware::readFlash(w, dev, 0, bytes, error))
        return failBeforeWriting(ctx, "backup of the flash failed (" + error + "); nothing written. Use --no-backup to write without one.",
                                 watch, "reading the flash for the backup", error);
    std::error_code ec;
    const fs::path dir = backupDirectory();
    if (!makePrivateFolder(dir.string(), error)) return ctx.fail(kExitFailed, "cannot keep the backup: " + error + "; nothing written");
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&now));
    std::string chip(vendor::chipRow(dev.chip.type).code);
    fs::path file = dir / ("qvr" + chip + "-" + stamp + ".bin");
    // The name is claimed by making the file: never one that stands there, never through a link.
    int fd = -1;
    for (int n = 1; (fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0 && errno == EEXIST; ++n)
        file = dir / ("qvr" + chip + "-" + stamp + "-" + std::to_string(n) + ".bin");
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    if (fd >= 0) ::close(fd);
    if (fd < 0 || done != bytes.size())
        return ctx.fail(kExitFailed, "cannot write the backup to " + file.string() + "; nothing written");
    where = file.string();
    return 0;
}

int refuseWhileDiskInUse(Context& ctx, const std::string& path, bool force, std::unique_ptr<DiskHold>& hold) {
    std::vector<std::string> users = ctx.diskUsers(path);
    bool busy = false;
    std::string why;
    if (users.empty() && !(hold = ctx.holdDisk(path, busy, why))) {
        if (busy) users.push_back(why.substr(0, why.find(':')) + " is open for another program's sole use (or mounted where q55x cannot see it)");
        else if (ctx.options().verbose > 0) ctx.err() << "q55x: the disk behind " << path << " is not held for this update alone (" << why << ").\n";
    }
    if (users.empty()) return 0;
    std::string uses;
    for (const std::string& u : users) uses += (uses.empty() ? "" : "; ") + u;
    if (force) {
        ctx.err() << "q55x: warning: the disk behind " << path << " is in use (" << uses
                  << "); writing all the same (--force). The bridge's reset drops the disk with what it has not written yet.\n";
        return 0;
    }
    return ctx.fail(kExitFailed, "The disk behind " + path + " is in use: " + uses +
                                     ". The bridge's reset after the update drops the disk with whatever the host has not "
                                     "written to it yet, so nothing was written. First " + howToFreeDisk(users) +
                                     "; or use --force to write all the same.");
}

int endInterrupted(Context& ctx, UpdateJournal* journal) {
    if (journal) journal->end(false, false);
    ctx.fail(kExitCancelled, "Interrupted before anything was erased: nothing changed on the enclosure.");
    return kExitCancelled;
}

int compareVersions(const uint8_t* candidate, const uint8_t* current) {
    const int c = std::memcmp(candidate, current, 4);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace cli
