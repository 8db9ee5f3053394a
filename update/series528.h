// The 528-series update of the QVD528 and QVD523 (and, on Windows, of the QVR227 when its register
// test selects it): the flash erased in 32 KiB units and programmed, read back and compared in
// 16 KiB pages through the bridge's serial-flash commands, with the chip's 4 KiB NVRAM carried
// across the update. Both programs' forms, the Windows flash-type-aware variant (UpdateFlashSst)
// and the macOS update thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "identify/chip_table.h"
#include "update/update_window.h"

namespace firmware {

bool UpdateFlash_528Series(UpdateWindow& w, SelectedDevice& dev);
// The same erase and page scheme with the flash-type-aware write, the file taken whole.
bool UpdateFlashSst(UpdateWindow& w, SelectedDevice& dev);

// macOS: the QVD528 update thread (bundle image "QVD528UFW"), 0 or -1, the wizard's window shown
// through `showResult` either way; and the routine it shares with the QVD523, which takes the
// chip by its Windows chip type and is true only when every page and the last carry were written
// and verified.
int qvd528_update_func(uint32_t device, const std::function<void(bool)>& showResult);
bool UpdateFlash_528Series(uint32_t device, vendor::ChipType chipType, const uint8_t* image, size_t size);

}  // namespace firmware
