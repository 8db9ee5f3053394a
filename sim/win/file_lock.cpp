// The state file's lock on Windows: LockFileEx over the whole file.
#include <windows.h>

#include "sim/state_file.h"

namespace sim {

namespace {

class LockedFile final : public FileLock {
public:
    explicit LockedFile(std::string path) : path_(std::move(path)) {}
    ~LockedFile() override {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    bool lock(std::string& error) override {
        if (h_ == INVALID_HANDLE_VALUE)
            h_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) return error = "cannot open " + path_, false;
        OVERLAPPED whole{};
        if (!LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) return error = "cannot lock " + path_, false;
        return true;
    }
    void unlock() override {
        OVERLAPPED whole{};
        if (h_ != INVALID_HANDLE_VALUE) UnlockFileEx(h_, 0, MAXDWORD, MAXDWORD, &whole);
    }
    uint64_t readCount() override {
        uint8_t b[8] = {};
        DWORD got = 0;
        OVERLAPPED at{};
        uint64_t n = 0;
        if (ReadFile(h_, b, sizeof b, &got, &at) && got == sizeof b)
            for (int i = 7; i >= 0; --i) n = n << 8 | b[i];
        return n;
    }
    void writeCount(uint64_t n) override {
        uint8_t b[8];
        for (uint8_t& x : b) x = static_cast<uint8_t>(n), n >>= 8;
        DWORD put = 0;
        OVERLAPPED at{};
        WriteFile(h_, b, sizeof b, &put, &at);
    }

private:
    std::string path_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<FileLock> makeFileLock(const std::string& path) { return std::make_unique<LockedFile>(path); }

}  // namespace sim
