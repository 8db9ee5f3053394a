// Device replies from the fuzzer's bytes: each command sent to the scripted backend of the test
// suites is answered by the next reply read from the input, and once the input is used up by GOOD
// and zeros (the backend's own default). A reply can fail at every level the success rule knows
// (device not opened, pass-through failure, CHECK CONDITION, residual, transport error), carry
// fewer or more data bytes than asked for, and report any transfer length.
#pragma once
#include <cstddef>
#include <cstdint>

#include "support/fake_backend.h"

namespace fuzz_support {

constexpr const char* kFuzzDevicePath = "\\\\?\\usbstor#disk&ven_q55x&prod_fuzz#0001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// Queues the replies that `data` describes; returns the bytes it did not use.
size_t scriptReplies(testing_support::FakeBackend& backend, const uint8_t* data, size_t size);

// Installs a virtual clock, a silent message-box handler and the backend for the whole process
// (each input then only rescripts the backend).
testing_support::FakeBackend& installFuzzBackend();

}  // namespace fuzz_support
