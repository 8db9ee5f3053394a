// The file behind state=: what an enclosure keeps across runs (its flash and its disk), so that a
// procedure interrupted in one run can be looked at, or resumed, in the next.
//
// Layout (integers little-endian):
//   "Q55XSIM\0"  magic, 8 bytes
//   u32          format version (1)
//   sections     u32 tag (four ASCII letters), u64 payload length, payload
//     "MODL"     chip model name
//     "PART"     flash part name, empty when the enclosure has no flash
//     "FLSH"     flash bytes (as long as the part is large)
//     "SREG"     one byte: the flash's non-volatile status bits (optional: 0 when absent)
//     "DISK"     u32 sector size, u64 sectors, u64 block count, then per block u64 LBA + sector bytes
//     "END "     u32 CRC-32 (fn_298cal_crc32) of every byte before this section, zero-padded to a
//                multiple of four
// Loading checks the magic, the version, every length against what is left of the file, the
// CRC, and that the sections agree with each other; any failure leaves the caller's data alone.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct EnclosureState {
    std::string model;
    std::string flashPart;
    std::vector<uint8_t> flash;
    uint8_t flashStatus = 0;   // the flash's non-volatile status bits (protection)
    uint32_t sectorSize = 512;
    uint64_t sectors = 0;
    std::map<uint64_t, std::vector<uint8_t>> blocks;
};

bool saveStateFile(const std::string& path, const EnclosureState& s, std::string& error);

// An advisory lock on a file that holds across processes and is let go by the system when its
// holder ends, however it ends; the file's first eight bytes are read and written under it. One
// implementation per platform (posix/, win/).
class FileLock {
public:
    virtual ~FileLock() = default;
    virtual bool lock(std::string& error) = 0;   // waits for another holder
    virtual void unlock() = 0;
    virtual uint64_t readCount() = 0;            // 0 when the file holds none yet
    virtual void writeCount(uint64_t n) = 0;
};
std::unique_ptr<FileLock> makeFileLock(const std::string& path);

// persist=shared: the state file is the one enclosure several processes reach, as a real node is.
// Each command runs under an flock of FILE.lock, on the flash and disk as the file holds them, and
// what it changed is written back before the lock is let go. The lock file counts the writes, so a
// process knows when another has written since it last looked.
class SharedStateLock {
public:
    explicit SharedStateLock(const std::string& statePath);
    ~SharedStateLock();
    SharedStateLock(const SharedStateLock&) = delete;
    SharedStateLock& operator=(const SharedStateLock&) = delete;
    // Waits for another process's command to end and takes the lock. `stale` tells that another
    // process has written the state since this one last saw it (the caller loads it again).
    bool take(bool& stale, std::string& error);
    // The state was written under the lock.
    void written();
    void release();

private:
    std::unique_ptr<FileLock> file_;
    uint64_t seen_ = 0;
    bool seenAny_ = false;
};
// False with a reason; `exists` tells a missing file (nothing to load) from a bad one.
bool loadStateFile(const std::string& path, EnclosureState& s, bool& exists, std::string& error);

}  // namespace sim
