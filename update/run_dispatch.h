// The update procedures of the bridges outside the direct-command families: the QVD528/QVD523
// (and, by its register test, the QVR227) with their NVRAM carried across the update, the legacy
// QV8455x / QVD525 / QVD276 / q556E bridges, the flash-type-aware write, the QVD525 on a 1394
// connection, the QVR294 with its own buffer commands, and the q556E bridge whose firmware lives
// on the attached disk. Each reports through the window and returns whether the update was
// written and verified.
#pragma once
#include <cstdint>
#include <functional>

#include "update/update_window.h"

namespace firmware {

bool UpdateFlash_528Series(UpdateWindow& w, SelectedDevice& dev);
bool UpdateFlashLegacy(UpdateWindow& w, SelectedDevice& dev);
bool UpdateFlashSst(UpdateWindow& w, SelectedDevice& dev);
bool UpdateFlash525Over1394(UpdateWindow& w, SelectedDevice& dev);
bool UpdateFlash294(UpdateWindow& w, SelectedDevice& dev);
bool UpdateDiskResident(UpdateWindow& w, SelectedDevice& dev);

// macOS: the QVD528 update thread (bundle image "QVD528UFW"), 0 or -1, the wizard's window shown
// through `showResult` either way; and the routine it shares with the QVD523, which takes the
// chip by its Windows chip type (7 QVD528, 11 QVD523) and is true only when every page and the
// last carry were written and verified.
int qvd528_update_func(uint32_t device, const std::function<void(bool)>& showResult);
bool UpdateFlash_528Series(uint32_t device, vendor::ChipType chipType, const uint8_t* image, size_t size);

// Which procedure the "Run" button takes for the selected device (the window's dispatch, as the
// chip table's row gives it), so the Windows program and q55x choose alike.
using vendor::RunProcedure;
RunProcedure chooseRunProcedure(const SelectedDevice& dev, const std::string& firmwareFile);

// The "Run" update as it will go: the procedure, the name q55x reports it by ("procedure" in
// --json, the function's name), and a line saying what it does. A dry run shows it, the real run
// runs it: both take it from here.
struct RunPlan {
    RunProcedure procedure = RunProcedure::None;
    const char* name = "none";
    const char* steps = "";
};
RunPlan planRun(const SelectedDevice& dev, const std::string& firmwareFile);
RunPlan describeRun(RunProcedure p);
// Runs what chooseRunProcedure chose; false for None and FileTooBig (after its message box).
bool runChosenProcedure(RunProcedure p, UpdateWindow& w, SelectedDevice& dev);

}  // namespace firmware
