#include "update/run_dispatch.h"

#include <string>

#include "bridge/IDEAccess.h"
#include "identify/chip_table.h"
#include "image/image.h"
#include "update/direct_update.h"
#include "update/progress.h"
#include "update/update_texts.h"

namespace firmware {

namespace {

bool probeHolds(vendor::RunProbe probe, const SelectedDevice& dev, const std::string& firmwareFile) {
    switch (probe) {
        case vendor::RunProbe::FlashUnknown: return dev.flash.type == vendor::kFlashUnknown;
        case vendor::RunProbe::Ieee1394: return dev.busKind() == vendor::Bus::Ieee1394;
        case vendor::RunProbe::Sst25: return dev.flash.sst25;
        case vendor::RunProbe::SstFlash: return dev.flash.type == vendor::kFlashSst;
        case vendor::RunProbe::FileTooBig: return !FileFitsFlash(firmwareFile, dev.flash.capacityKiB);
        case vendor::RunProbe::Old227:
            return !IDEAccess::IsRegister505EReady(dev.path) && dev.chip.revision <= 4;
    }
    return false;
}

}  // namespace

RunProcedure chooseRunProcedure(const SelectedDevice& dev, const std::string& firmwareFile) {
    const vendor::RunRoute& route = vendor::chipRow(dev.chip.type).run;
    // A family whose procedure depends on the bus is not updated on a bus nobody can tell.
    for (uint8_t i = 0; i < route.stepCount; ++i)
        if (route.steps[i].probe == vendor::RunProbe::Ieee1394 && !dev.busKind()) return RunProcedure::None;
    for (uint8_t i = 0; i < route.stepCount; ++i)
        if (probeHolds(route.steps[i].probe, dev, firmwareFile)) return route.steps[i].then;
    return route.usual;
}

bool takes1394Route(const SelectedDevice& dev) {
    if (dev.busKind() != vendor::Bus::Ieee1394) return false;
    const vendor::RunRoute& route = vendor::chipRow(dev.chip.type).run;
    for (uint8_t i = 0; i < route.stepCount; ++i)
        if (route.steps[i].probe == vendor::RunProbe::Ieee1394) return route.steps[i].then == RunProcedure::Qvd525Over1394;
    return false;
}

RunPlan describeRun(RunProcedure p) {
    switch (p) {
        case RunProcedure::DirectUpdate:
            return {p, "RunDirectUpdate", "direct flash write with erase in front, read back and compare"};
        case RunProcedure::Series528:
            return {p, "UpdateFlash_528Series",
                    "erase in 32 KiB units, 16 KiB pages through the bridge's flash write, each read back and compared"};
        case RunProcedure::Sst:
            return {p, "UpdateFlashSst",
                    "erase in 32 KiB units, 16 KiB pages by SPI cycles for the flash's own type, each read back and compared"};
        case RunProcedure::Legacy:
            return {p, "UpdateFlashLegacy", "erase, 8 KiB chunks through the bridge's flash write, read back and compare"};
        case RunProcedure::Qvd525Over1394:
            return {p, "UpdateFlash525Over1394", "256-byte direct writes over 1394 that erase in front of 0 and 0x8000, read back and compare"};
        case RunProcedure::Qvr294:
            return {p, "UpdateFlash294", "erase, 512-byte pieces through the chip's buffer, read back and compare"};
        case RunProcedure::DiskResident:
            return {p, "UpdateDiskResident", "the firmware area on the attached disk, written and read back in 64 KiB units"};
        case RunProcedure::FileTooBig: return {p, "none", kTextFileBiggerThanFlash};
        case RunProcedure::None: break;
    }
    return {RunProcedure::None, "none", "none: this chip has no update procedure"};
}

RunPlan planRun(const SelectedDevice& dev, const std::string& firmwareFile) {
    return describeRun(chooseRunProcedure(dev, firmwareFile));
}

bool runChosenProcedure(RunProcedure p, UpdateWindow& w, SelectedDevice& dev) {
    switch (p) {
        case RunProcedure::None: return false;
        case RunProcedure::DirectUpdate: return RunDirectUpdate(w, dev);
        case RunProcedure::Series528: return UpdateFlash_528Series(w, dev);
        case RunProcedure::Sst: return UpdateFlashSst(w, dev);
        case RunProcedure::Legacy: return UpdateFlashLegacy(w, dev);
        case RunProcedure::Qvd525Over1394: return UpdateFlash525Over1394(w, dev);
        case RunProcedure::Qvr294: return UpdateFlash294(w, dev);
        case RunProcedure::DiskResident: return UpdateDiskResident(w, dev);
        case RunProcedure::FileTooBig:
            w.messageBox(kTextFileBiggerThanFlash, Progress::kMessageTitle, sys::MsgIcon::None);
            return false;
    }
    return false;
}

}  // namespace firmware
