// The two programs whose commands the bridge layer carries. They number the chip models
// differently, lay some commands out differently (cdb.h's Binding) and wait on the flash by rules
// of their own (the flash operations' rows); everything else they share.
#pragma once
#include <cstdint>

namespace vendor {

enum class Program : uint8_t { Windows = 0, Mac = 1 };

}  // namespace vendor
