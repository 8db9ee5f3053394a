#include "sim/disk.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

void putWord(std::vector<uint8_t>& id, int word, uint16_t v) {
    id[word * 2] = static_cast<uint8_t>(v);
    id[word * 2 + 1] = static_cast<uint8_t>(v >> 8);
}

// ATA strings: two characters per word, the first in the high byte, padded with blanks.
void putString(std::vector<uint8_t>& id, int word, int words, const char* text) {
    const size_t n = std::strlen(text);
    for (int i = 0; i < words * 2; ++i) {
        const char c = static_cast<size_t>(i) < n ? text[i] : ' ';
        id[word * 2 + (i ^ 1)] = static_cast<uint8_t>(c);
    }
}

}  // namespace

std::vector<uint8_t> Disk::identify() const {
    std::vector<uint8_t> id(512, 0);
    putWord(id, 0, 0x0040);
    putString(id, 10, 10, "QVSIM0000000001");
    putString(id, 23, 4, "SIM1.0");
    putString(id, 27, 20, "Corvane virtual disk");
    putWord(id, 49, 0x0300);   // DMA and LBA
    putWord(id, 83, 0x4400);   // 48-bit addressing
    putWord(id, 86, 0x0400);
    const uint64_t lba28 = std::min<uint64_t>(sectors_, 0x0FFFFFFF);
    putWord(id, 60, static_cast<uint16_t>(lba28));
    putWord(id, 61, static_cast<uint16_t>(lba28 >> 16));
    for (int i = 0; i < 4; ++i) putWord(id, 100 + i, static_cast<uint16_t>(sectors_ >> (16 * i)));
    if (sectorSize_ > 512) {
        // Logical sectors larger than 256 words: words 117-118 give the size in words.
        putWord(id, 106, 0x5000);
        const uint32_t words = sectorSize_ / 2;
        putWord(id, 117, static_cast<uint16_t>(words));
        putWord(id, 118, static_cast<uint16_t>(words >> 16));
    } else {
        putWord(id, 106, 0x4000);
    }
    return id;
}

bool Disk::read(uint64_t lba, uint64_t count, uint8_t* out) const {
    if (!inRange(lba, count)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* dst = out + i * sectorSize_;
        const auto cached = cache_.find(lba + i);
        const auto stored = blocks_.find(lba + i);
        if (cached != cache_.end()) std::memcpy(dst, cached->second.data(), sectorSize_);
        else if (stored != blocks_.end()) std::memcpy(dst, stored->second.data(), sectorSize_);
        else std::memset(dst, 0, sectorSize_);
    }
    return true;
}

bool Disk::write(uint64_t lba, uint64_t count, const uint8_t* data) {
    if (!inRange(lba, count)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* src = data + i * sectorSize_;
        (cacheOn_ ? cache_ : blocks_)[lba + i].assign(src, src + sectorSize_);
    }
    changes_ += count;
    return true;
}

void Disk::flush() {
    for (auto& [lba, block] : cache_) blocks_[lba] = std::move(block);
    cache_.clear();
}

std::map<uint64_t, std::vector<uint8_t>> Disk::contents() const {
    std::map<uint64_t, std::vector<uint8_t>> all = blocks_;
    for (const auto& [lba, block] : cache_) all[lba] = block;
    return all;
}

}  // namespace sim
