// The QVD525 on a 1394 connection: the file written in 256-byte direct writes that erase in front of
// flash 0 and 0x8000, read back piece by piece and compared; only a verified write sends the user
// to the power switch.
#pragma once
#include "update/update_window.h"

namespace firmware {

bool UpdateFlash525Over1394(UpdateWindow& w, SelectedDevice& dev);

}  // namespace firmware
