// The state file's lock where there is flock(2).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "sim/state_file.h"

namespace sim {

namespace {

class FlockFile final : public FileLock {
public:
    explicit FlockFile(std::string path) : path_(std::move(path)) {}
    ~FlockFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool lock(std::string& error) override {
        if (fd_ < 0 && (fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) < 0)
            return error = "cannot open " + path_, false;
        while (::flock(fd_, LOCK_EX) != 0)
            if (errno != EINTR) return error = "cannot lock " + path_, false;
        return true;
    }
    void unlock() override {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    uint64_t readCount() override {
        uint8_t b[8] = {};
        uint64_t n = 0;
        if (::pread(fd_, b, sizeof b, 0) == static_cast<ssize_t>(sizeof b))
            for (int i = 7; i >= 0; --i) n = n << 8 | b[i];
        return n;
    }
    void writeCount(uint64_t n) override {
        uint8_t b[8];
        for (uint8_t& x : b) x = static_cast<uint8_t>(n), n >>= 8;
        if (::pwrite(fd_, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) {
            // The others load the state again at the next count that does reach the file.
        }
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<FileLock> makeFileLock(const std::string& path) { return std::make_unique<FlockFile>(path); }

}  // namespace sim
