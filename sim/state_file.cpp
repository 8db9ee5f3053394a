#include "sim/state_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/format/crc.h"

namespace sim {

namespace {

constexpr char kMagic[8] = {'Q', '5', '5', 'X', 'S', 'I', 'M', '\0'};
constexpr uint32_t kFormatVersion = 1;

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void section(std::vector<uint8_t>& b, const char tag[4], const std::vector<uint8_t>& payload) {
    b.insert(b.end(), tag, tag + 4);
    put64(b, payload.size());
    b.insert(b.end(), payload.begin(), payload.end());
}

uint32_t checksum(const std::vector<uint8_t>& b, size_t n) {
    std::vector<uint8_t> padded(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    padded.resize((n + 3) / 4 * 4, 0);
    return firmware::fn_298cal_crc32(padded.data(), padded.size());
}

// A bounds-checked reader over the loaded bytes.
struct Reader {
    const std::vector<uint8_t>& b;
    size_t at = 0;
    bool take(size_t n) const { return n <= b.size() - at; }
    bool u32(uint32_t& v) {
        if (!take(4)) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(b[at + i]) << (8 * i);
        at += 4;
        return true;
    }
    bool u64(uint64_t& v) {
        if (!take(8)) return false;
        v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(b[at + i]) << (8 * i);
        at += 8;
        return true;
    }
};

}  // namespace

bool saveStateFile(const std::string& path, const EnclosureState& s, std::string& error) {
    std::vector<uint8_t> b(kMagic, kMagic + 8);
    put32(b, kFormatVersion);
    section(b, "MODL", std::vector<uint8_t>(s.model.begin(), s.model.end()));
    section(b, "PART", std::vector<uint8_t>(s.flashPart.begin(), s.flashPart.end()));
    section(b, "FLSH", s.flash);
    section(b, "SREG", std::vector<uint8_t>{s.flashStatus});
    std::vector<uint8_t> disk;
    put32(disk, s.sectorSize);
    put64(disk, s.sectors);
    put64(disk, s.blocks.size());
    for (const auto& [lba, data] : s.blocks) {
        put64(disk, lba);
        std::vector<uint8_t> sector(data);
        sector.resize(s.sectorSize, 0);
        disk.insert(disk.end(), sector.begin(), sector.end());
    }
    section(b, "DISK", disk);
    std::vector<uint8_t> crc;
    put32(crc, checksum(b, b.size()));
    section(b, "END ", crc);

    // Written beside the file and renamed over it, so a run stopped halfway never leaves half a state.
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return error = "cannot write " + tmp, false;
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        if (!f) return error = "cannot write " + tmp, false;
    }
    // std::filesystem::rename replaces the file where std::rename will not (Windows).
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
        return error = "cannot replace " + path, false;
    }
    return true;
}

SharedStateLock::SharedStateLock(const std::string& statePath) : file_(makeFileLock(statePath + ".lock")) {}

SharedStateLock::~SharedStateLock() = default;

bool SharedStateLock::take(bool& stale, std::string& error) {
    if (!file_->lock(error)) return false;
    const uint64_t g = file_->readCount();
    stale = !seenAny_ || g != seen_;
    seen_ = g;
    seenAny_ = true;
    return true;
}

void SharedStateLock::written() { file_->writeCount(++seen_); }

void SharedStateLock::release() { file_->unlock(); }

bool loadStateFile(const std::string& path, EnclosureState& out, bool& exists, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    exists = static_cast<bool>(f);
    if (!f) return error = "no state file " + path, false;
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto bad = [&](const std::string& why) {
        error = "state file " + path + ": " + why;
        return false;
    };
    if (b.size() < 12 || std::memcmp(b.data(), kMagic, 8) != 0) return bad("not a state file");
    Reader r{b, 8};
    uint32_t version = 0;
    if (!r.u32(version) || version != kFormatVersion) return bad("unknown format version");

    EnclosureState s;
    bool haveModel = false, havePart = false, haveFlash = false, haveDisk = false, haveEnd = false;
    while (r.at < b.size() && !haveEnd) {
        const size_t sectionStart = r.at;
        if (!r.take(4)) return bad("truncated section");
        const std::string tag(b.begin() + static_cast<std::ptrdiff_t>(r.at), b.begin() + static_cast<std::ptrdiff_t>(r.at + 4));
        r.at += 4;
        uint64_t len = 0;
        if (!r.u64(len) || !r.take(len)) return bad("section " + tag + " longer than the file");
        const auto begin = b.begin() + static_cast<std::ptrdiff_t>(r.at);
        const auto end = begin + static_cast<std::ptrdiff_t>(len);
        if (tag == "MODL") {
            s.model.assign(begin, end);
            haveModel = true;
        } else if (tag == "PART") {
            s.flashPart.assign(begin, end);
            havePart = true;
        } else if (tag == "FLSH") {
            s.flash.assign(begin, end);
            haveFlash = true;
        } else if (tag == "SREG") {
            if (len != 1) return bad("bad status section");
            s.flashStatus = *begin;
        } else if (tag == "DISK") {
            Reader d{b, r.at};
            uint64_t count = 0;
            if (!d.u32(s.sectorSize) || !d.u64(s.sectors) || !d.u64(count)) return bad("short disk section");
            if (s.sectorSize != 512 && s.sectorSize != 4096) return bad("bad sector size");
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t lba = 0;
                if (!d.u64(lba) || d.at > r.at + len || !d.take(s.sectorSize) || d.at + s.sectorSize > r.at + len)
                    return bad("short disk section");
                if (lba >= s.sectors) return bad("disk block past the end of the disk");
                s.blocks[lba].assign(b.begin() + static_cast<std::ptrdiff_t>(d.at),
                                     b.begin() + static_cast<std::ptrdiff_t>(d.at + s.sectorSize));
                d.at += s.sectorSize;
            }
            haveDisk = true;
        } else if (tag == "END ") {
            Reader e{b, r.at};
            uint32_t crc = 0;
            if (len != 4 || !e.u32(crc)) return bad("bad end section");
            if (crc != checksum(b, sectionStart)) return bad("checksum mismatch");
            haveEnd = true;
        } else {
            return bad("unknown section " + tag);
        }
        r.at += len;
    }
    if (!haveModel || !havePart || !haveFlash || !haveDisk || !haveEnd) return bad("missing sections");
    out = std::move(s);
    return true;
}

}  // namespace sim
