#include "cli/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace cli {

namespace fs = std::filesystem;

namespace {

std::string octal(mode_t m) {
    char t[8];
    std::snprintf(t, sizeof t, "%04o", static_cast<unsigned>(m & 07777));
    return t;
}

// Whose a file is, in the words of the refusal: root never acts on what another user keeps.
std::string notYours(const std::string& path, uid_t owner) {
    return path + " belongs to uid " + std::to_string(owner) + ", not to you (uid " + std::to_string(::geteuid()) +
           "): q55x acts only on journals and backups of its own user. Run q55x as that user (with sudo, `sudo -H` "
           "keeps root out of the user's home)";
}

}  // namespace

std::string stateDirectory() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/q55x";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/q55x";
}

bool checkPrivateFolder(const std::string& dir, std::string& error) {
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0) return error = "cannot read the folder " + dir + ": " + std::strerror(errno), false;
    if (!S_ISDIR(st.st_mode)) return error = dir + " is not a folder (a link or a file stands there); remove it", false;
    if (st.st_uid != ::geteuid()) return error = notYours(dir, st.st_uid), false;
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return error = "the folder " + dir + " may be written by others (mode " + octal(st.st_mode) + "); `chmod 700 " + dir +
                       "` closes it",
               false;
    return true;
}

bool makePrivateFolder(const std::string& dir, std::string& error) {
    const fs::path top = stateDirectory();
    std::error_code ec;
    for (const fs::path& p : {top, fs::path(dir)}) {
        if (!fs::exists(fs::symlink_status(p, ec))) {
            fs::create_directories(p.parent_path(), ec);
            if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
                return error = "cannot make the folder " + p.string() + ": " + std::strerror(errno), false;
        }
        if (!checkPrivateFolder(p.string(), error)) return false;
    }
    return true;
}

bool readOwnFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& bytes, std::string& error) {
    // O_NONBLOCK: a FIFO put in a file's place does not hold the open; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return error = errno == ELOOP ? path + " is a link; q55x reads its own files only" : "cannot open " + path + ": " + std::strerror(errno),
               false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) error = "cannot read " + path;
    else if (!S_ISREG(st.st_mode)) ok = false, error = path + " is not a plain file";
    else if (st.st_uid != ::geteuid()) ok = false, error = notYours(path, st.st_uid);
    else if (static_cast<uint64_t>(st.st_size) > limit)
        ok = false, error = path + " is larger (" + std::to_string(st.st_size) + " bytes) than q55x ever writes there";
    if (ok) {
        bytes.assign(static_cast<size_t>(st.st_size), 0);
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        if (got != bytes.size()) ok = false, error = "cannot read " + path + " whole";
    }
    ::close(fd);
    return ok;
}

}  // namespace cli
