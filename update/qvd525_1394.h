// The QVD525 on a 1394 connection: the file written in 256-byte direct writes that erase in front of
// flash 0 and 0x8000, read back piece by piece and compared; only a verified write sends the user
// to the power switch.
#pragma once
#include "update/update_window.h"

namespace firmware {

bool UpdateFlash525Over1394(UpdateWindow& w, SelectedDevice& dev);
// Reads `length` flash bytes from `start` as this bridge takes them over 1394: direct reads of one
// 256-byte piece each. The update's own reads and every backup, verify and restore go this way.
bool readFlash525Over1394(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, uint8_t* buffer, size_t length);

}  // namespace firmware
