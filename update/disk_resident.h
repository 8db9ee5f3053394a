// The q556E bridge without serial flash keeps its firmware on the attached disk: a 256-block area
// below a 256-block boundary near the disk's end, marked with where it was placed, written and
// read back in 64 KiB units.
#pragma once
#include "update/update_window.h"

namespace firmware {

bool UpdateDiskResident(UpdateWindow& w, SelectedDevice& dev);

}  // namespace firmware
