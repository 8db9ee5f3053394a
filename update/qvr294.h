// The QVR294's update through its own chip-buffer commands: the flash erased, the image sent in
// 512-byte pieces that the chip programs from its buffer, read back the same way and compared,
// in up to three attempts.
#pragma once
#include "update/update_window.h"

namespace firmware {

bool UpdateFlash294(UpdateWindow& w, SelectedDevice& dev);

}  // namespace firmware
