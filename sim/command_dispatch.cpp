#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/enclosure_internal.h"

// Which handler answers a command: by its operation code, and only when the chip's persona has
// the command set (an unknown or missing command is refused as the part refuses it). The
// identification commands every chip answers are here too: INQUIRY and the chip information.
namespace sim {

using namespace detail;


Enclosure::Reply Enclosure::dispatch(const Request& req) {
    const uint8_t* c = req.cdb;
    const uint32_t sets = persona_->commands;
    const Reply bad = refused(sense::kInvalidOpcode);
    switch (c[0]) {
        case 0x00: return Reply{};                 // TEST UNIT READY
        case 0x12: return inquiry(req);
        case 0xE0:
        case 0xFE: {
            if (c[1] != 0xF4 || c[2] != 0xE7) return bad;
            if (c[0] == 0xFE && !(sets & kChipInfoAltCmd)) return bad;
            Reply r;
            r.data = chipInfo();
            if (config_.chipInfoLength) {
                r.data.resize(config_.chipInfoLength);
                r.exactLength = true;
            }
            return r;
        }
        case 0xFF:
            if (c[1] != 0x04) return bad;
            return serialFlash(req);
        case 0xDF: return registerOrNvram(req);
        case 0x3C: return (sets & kBufferCmds) ? readBuffer(req) : bad;
        case 0x3B: return (sets & kBufferCmds) ? writeBuffer(req) : bad;
        case 0xC3: return (sets & kProductInfoCmd) ? productInfo(req) : bad;
        case 0xB2:
        case 0xB3:
        case 0xB4:
        case 0xB5:
        case 0xB6: return (sets & kFlash294Cmds) ? flash294(req) : bad;
        case 0xA1:
        case 0x85:
        case 0x35:
        case 0x91:
        case 0x9E:
        case 0x88:
        case 0x8A: return (sets & kAtaCmds) ? ata(req) : bad;
        default: return bad;
    }
}


Enclosure::Reply Enclosure::inquiry(const Request&) {
    Reply r;
    r.data.assign(96, 0);
    r.data[2] = 0x06;
    r.data[3] = 0x02;
    r.data[4] = 91;
    std::memcpy(r.data.data() + 8, "Corvane ", 8);
    const char* product = persona_->inquiryProduct;
    for (size_t i = 0; i < 16; ++i) r.data[16 + i] = (product && i < std::strlen(product)) ? product[i] : ' ';
    std::memcpy(r.data.data() + 32, "0100", 4);
    if (persona_->inquiryCode) std::memcpy(r.data.data() + 36, persona_->inquiryCode, 4);
    return r;
}

}  // namespace sim
