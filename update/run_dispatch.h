// The "Run" button of the Windows program, which q55x flash shares: the procedure the chip table's
// row gives the selected device, the plan a dry run shows, and the run itself. Every family's
// procedure is reachable from here.
#pragma once
#include <string>

#include "identify/chip_table.h"
#include "update/direct_update.h"
#include "update/disk_resident.h"
#include "update/legacy.h"
#include "update/qvd525_1394.h"
#include "update/qvr294.h"
#include "update/series528.h"
#include "update/update_window.h"

namespace firmware {

// Which procedure the "Run" button takes for the selected device (the window's dispatch, as the
// chip table's row gives it), so the Windows program and q55x choose alike.
using vendor::RunProcedure;
RunProcedure chooseRunProcedure(const SelectedDevice& dev, const std::string& firmwareFile);
// The device sits on 1394 and its row sends it to the family's 1394 procedure there: its flash is
// read and written through that procedure's commands.
bool takes1394Route(const SelectedDevice& dev);

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
