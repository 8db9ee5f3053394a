#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/enclosure_internal.h"

// The disk behind the bridge: ATA pass-through (IDENTIFY, READ/WRITE DMA EXT, FLUSH CACHE (EXT)),
// READ CAPACITY(16), READ/WRITE(16) and SYNCHRONIZE CACHE(10)/(16).
namespace sim {

using namespace detail;


Enclosure::Reply Enclosure::ata(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const uint32_t ss = disk_.sectorSize();
    const auto isFlushCache = [](uint8_t ataCommand) { return ataCommand == 0xE7 || ataCommand == 0xEA; };
    switch (c[0]) {
        case 0x35:   // SYNCHRONIZE CACHE(10)
        case 0x91:   // SYNCHRONIZE CACHE(16)
            disk_.flush();
            return r;
        case 0xA1:   // ATA PASS-THROUGH(12): IDENTIFY DEVICE, FLUSH CACHE (EXT)
            if (isFlushCache(c[9])) {
                disk_.flush();
                return r;
            }
            if (c[9] != 0xEC) return refused(sense::kInvalidField);
            r.data = disk_.identify();
            return r;
        case 0x9E: {   // READ CAPACITY(16)
            if ((c[1] & 0x1F) != 0x10) return refused(sense::kInvalidField);
            r.data.assign(32, 0);
            const uint64_t last = disk_.sectors() - 1;
            for (int i = 0; i < 8; ++i) r.data[i] = static_cast<uint8_t>(last >> (56 - 8 * i));
            r.data[8] = static_cast<uint8_t>(ss >> 24);
            r.data[9] = static_cast<uint8_t>(ss >> 16);
            r.data[10] = static_cast<uint8_t>(ss >> 8);
            r.data[11] = static_cast<uint8_t>(ss);
            return r;
        }
        case 0x85: {   // ATA PASS-THROUGH(16): READ / WRITE DMA EXT
            if (req.cdbLen < 16) return refused(sense::kInvalidField);
            if (isFlushCache(c[14])) {
                disk_.flush();
                return r;
            }
            const bool write = c[14] == 0x35;
            if (!write && c[14] != 0x25) return refused(sense::kInvalidField);
            const uint64_t count = be16(c + 5);
            const uint64_t lba = uint64_t(c[11]) << 40 | uint64_t(c[9]) << 32 | uint64_t(c[7]) << 24 |
                                 uint64_t(c[12]) << 16 | uint64_t(c[10]) << 8 | c[8];
            const uint64_t bytes = count * ss;
            if (req.xferLen < bytes) return refused(sense::kInvalidField);
            if (write) {
                const uint8_t* d = dataOut(req, bytes);
                if (!d || !disk_.write(lba, count, d)) return refused(sense::kAddressOutOfRange);
                return r;
            }
            r.flashOrDiskRead = true;
            r.data.assign(bytes, 0);
            if (!disk_.read(lba, count, r.data.data())) return refused(sense::kAddressOutOfRange);
            return r;
        }
        case 0x88:
        case 0x8A: {   // READ(16) / WRITE(16)
            if (req.cdbLen < 16) return refused(sense::kInvalidField);
            uint64_t lba = 0;
            for (int i = 0; i < 8; ++i) lba = lba << 8 | c[2 + i];
            const uint64_t count = be32(c + 10);
            const uint64_t bytes = count * ss;
            if (req.xferLen < bytes) return refused(sense::kInvalidField);
            if (c[0] == 0x8A) {
                const uint8_t* d = dataOut(req, bytes);
                if (!d || !disk_.write(lba, count, d)) return refused(sense::kAddressOutOfRange);
                return r;
            }
            r.flashOrDiskRead = true;
            r.data.assign(bytes, 0);
            if (!disk_.read(lba, count, r.data.data())) return refused(sense::kAddressOutOfRange);
            return r;
        }
        default: return refused(sense::kInvalidOpcode);
    }
}

}  // namespace sim
