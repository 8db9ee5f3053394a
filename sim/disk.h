// The disk behind the bridge: IDENTIFY data, capacity and sparse block storage. Blocks never
// written read as zeros. With its write cache on, written blocks wait in the cache (reads see
// them) until a flush puts them on the medium; a power loss forgets them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace sim {

class Disk {
public:
    Disk(uint64_t sectors, uint32_t sectorSize) : sectors_(sectors), sectorSize_(sectorSize) {}

    uint64_t sectors() const { return sectors_; }
    uint32_t sectorSize() const { return sectorSize_; }

    // 512 bytes of ATA IDENTIFY DEVICE data.
    std::vector<uint8_t> identify() const;
    // False (nothing moved) when the range leaves the disk or the buffer is not whole sectors.
    bool read(uint64_t lba, uint64_t count, uint8_t* out) const;
    bool write(uint64_t lba, uint64_t count, const uint8_t* data);

    void setWriteCache(bool on) { cacheOn_ = on; }
    void flush();
    void loseCache() { cache_.clear(); }
    size_t cachedBlocks() const { return cache_.size(); }
    // What the disk holds once its cache is written out (what a drive that keeps power keeps).
    std::map<uint64_t, std::vector<uint8_t>> contents() const;

    // The blocks on the medium.
    const std::map<uint64_t, std::vector<uint8_t>>& blocks() const { return blocks_; }
    std::map<uint64_t, std::vector<uint8_t>>& blocks() { return blocks_; }
    // How many block writes the disk has taken since it was made.
    uint64_t changes() const { return changes_; }

private:
    bool inRange(uint64_t lba, uint64_t count) const { return lba <= sectors_ && count <= sectors_ - lba; }

    uint64_t sectors_;
    uint32_t sectorSize_;
    std::map<uint64_t, std::vector<uint8_t>> blocks_;
    std::map<uint64_t, std::vector<uint8_t>> cache_;
    bool cacheOn_ = false;
    uint64_t changes_ = 0;
};

}  // namespace sim
