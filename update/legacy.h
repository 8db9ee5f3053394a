// The legacy bridges' update (QV8455x, the QVD525 on USB, the QVD276, the q556E with serial flash):
// the flash erased by the flash's own opcodes (the AMIC boot sectors one by one), written in 8 KiB
// chunks through the bridge's serial-flash commands, the 512 settings bytes at 0x8000 carried
// across, all read back and compared.
#pragma once
#include "update/update_window.h"

namespace firmware {

bool UpdateFlashLegacy(UpdateWindow& w, SelectedDevice& dev);

}  // namespace firmware
