#include "reply_script.h"

#include <algorithm>

#include "sys/clock.h"
#include "sys/message_box.h"

namespace fuzz_support {

namespace {

// Reply layout: flags, length (two bytes, little-endian, up to 2047), then the data bytes.
//   flags bit 0: the device cannot be opened     bit 1: the pass-through call fails
//         bit 2: CHECK CONDITION with sense      bit 3: a residual is reported
//         bit 4: a transport error               bit 5: the reported length is the data length
constexpr size_t kMaxReplies = 64;
constexpr size_t kMaxReplyData = 2047;

}  // namespace

size_t scriptReplies(testing_support::FakeBackend& backend, const uint8_t* data, size_t size) {
    backend.clear();
    size_t at = 0;
    for (size_t n = 0; n < kMaxReplies && size - at >= 3; ++n) {
        const uint8_t flags = data[at];
        const size_t len = std::min<size_t>((data[at + 1] | data[at + 2] << 8) & kMaxReplyData, size - at - 3);
        at += 3;
        testing_support::Reply r;
        if (flags & 0x01) r = testing_support::unopenable();
        if (flags & 0x02) r.platformOk = false;
        if (flags & 0x04) r = testing_support::checkCondition({0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0});
        if (flags & 0x08) r.residual = static_cast<uint32_t>(len ? len : 1);
        if (flags & 0x10) r.hostStatus = 7;
        r.dataIn.assign(data + at, data + at + len);
        if (flags & 0x20) r.reported = static_cast<long>(len);
        at += len;
        backend.push(std::move(r));
    }
    return size - at;
}

testing_support::FakeBackend& installFuzzBackend() {
    static sys::VirtualClock clock;
    static testing_support::FakeBackend backend;
    static bool installed = false;
    if (!installed) {
        installed = true;
        sys::setClock(&clock);
        sys::setMessageBoxHandler([](std::string_view, std::string_view, sys::MsgIcon) { return 1; });
        transport::setBackend(&backend);
    }
    return backend;
}

}  // namespace fuzz_support
