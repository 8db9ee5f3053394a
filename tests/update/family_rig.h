// What the tests of the serial-flash, legacy, 1394, QVR294 and disk-resident procedures and of the
// Run dispatch share: the enclosure rig with the device selected, what its command log says of the
// commands that matter to these procedures, and the files and NVRAM the cases are made of.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/catalog_samples.h"
#include "support/enclosure_rig.h"
#include "sys/bytes.h"
#include "image/format/crc.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sim/session.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"

namespace family_tests {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using firmware::RunProcedure;

using sys::be24;

// What the rig's command log says of the commands that matter here, and the faults a test puts on
// them: a command refused before it reaches the bus, a read whose last byte comes back spoilt.
class Recorder {
public:
    explicit Recorder(testing_support::CommandLog& log) : log_(log) {}
    struct Stretch {
        uint32_t at, len;
        bool operator==(const Stretch&) const = default;
    };
    std::vector<uint32_t> unitErases() const {
        std::vector<uint32_t> out;
        for (const auto& c : log_.sent)
            if (serial(c.cdb, 0x14)) out.push_back(be24(&c.cdb[3]));
        return out;
    }
    int chipErases() const { return count([](const Bytes& c) { return serial(c, 0x13); }); }
    std::vector<Stretch> writes() const { return stretches(0x11); }
    std::vector<Stretch> reads() const { return stretches(0x10); }
    std::vector<Bytes> cdbs294() const {
        std::vector<Bytes> out;
        for (const auto& c : log_.sent)
            if (c.cdb[0] >= 0xB2 && c.cdb[0] <= 0xB6) out.push_back(c.cdb);
        return out;
    }
    std::vector<uint32_t> directReads() const {   // transfer lengths
        std::vector<uint32_t> out;
        for (const auto& c : log_.sent)
            if (direct(c.cdb, 0xFA)) out.push_back(c.xferLen);
        return out;
    }
    // Nothing that erases or programs the flash went out.
    bool wroteNothing() const {
        return unitErases().empty() && chipErases() == 0 && writes().empty() &&
               count([](const Bytes& c) { return direct(c, 0xFB); }) == 0;
    }
    void refuse(std::function<bool(const Bytes&)> f) { log_.refuse = std::move(f); }
    // Flash, disk and direct reads that `f` picks come back with their last byte spoilt.
    void spoilRead(std::function<bool(const Bytes&)> f) {
        log_.alter = [f = std::move(f)](const transport::Request& req, transport::Result&) {
            const Bytes cdb(req.cdb, req.cdb + req.cdbLen);
            const bool diskRead = cdb[0] == 0x85 && req.cdbLen >= 15 && cdb[14] == 0x25;
            if ((serial(cdb, 0x10) || diskRead || direct(cdb, 0xFA)) && f(cdb) && req.data && req.xferLen)
                req.data[req.xferLen - 1] ^= 0x5A;
        };
    }

private:
    static bool serial(const Bytes& c, uint8_t sub) { return c.size() >= 3 && c[0] == 0xFF && c[1] == 0x04 && c[2] == sub; }
    static bool direct(const Bytes& c, uint8_t sub) { return c.size() >= 12 && c[0] == 0xDF && c[11] == sub; }
    int count(bool (*pick)(const Bytes&)) const {
        return static_cast<int>(std::count_if(log_.sent.begin(), log_.sent.end(), [&](const auto& c) { return pick(c.cdb); }));
    }
    std::vector<Stretch> stretches(uint8_t sub) const {
        std::vector<Stretch> out;
        for (const auto& c : log_.sent)
            if (serial(c.cdb, sub)) out.push_back({be24(&c.cdb[3]), c.xferLen});
        return out;
    }
    testing_support::CommandLog& log_;
};

inline std::ostream& operator<<(std::ostream& os, const Recorder::Stretch& s) { return os << '{' << s.at << ',' << s.len << '}'; }

inline Bytes sample(std::string_view name) { return testing_support::catalogBytes(name); }

inline Bytes pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + seed * 29 + (i >> 8));
    return v;
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The shared rig, with the device selected as the window selects it.
struct Rig : testing_support::EnclosureRig {
    Recorder recorder{commands};
    explicit Rig(const std::string& text) : EnclosureRig(text) { identify(); }
    Bytes disk(uint64_t lba, size_t blocks) {
        const uint32_t ss = enc->disk().sectorSize();
        Bytes out(blocks * ss);
        EXPECT_TRUE(enc->disk().read(lba, blocks, out.data()));
        return out;
    }
};

inline const std::string kPowerCycleBox = "Message: Please Turn-Off the Power and Turn-On Again!";
inline const std::string kLegacyBox = "Message: Please Turn-Off the Power and Turn-On Again !";
inline const Bytes kNoBytes;

// A chip NVRAM unlike any file's, with the validity marker.
inline Bytes chipNvram(unsigned seed) {
    Bytes n = pattern(4096, seed);
    n[126] = 'Q';
    n[127] = 'V';
    return n;
}

}  // namespace family_tests
