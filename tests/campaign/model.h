// The expected-flash model: for a procedure, the chip and its flash as they stand before it, the
// file (or the image the program carries) and the options, what the flash (or the disk) must hold
// after a reported success, which stretches a failure must leave as they were, and whether the
// written rules refuse the update before anything is erased.
//
// It is written from the rules the procedures follow (where the file's bytes go, what is erased in
// front of them, what is kept, stamped and checked) and from what the hardware does with each
// command (the erase unit the bridge uses, NOR programming, the chip programming through its
// buffer), never by calling the procedures or their helpers: the checksums, the bank stamps, the
// file checks and the erase planning are stated here again on their own.
//
// It adds the hardware's effects (what each erase and page does to the bytes around them); where
// it restates a procedure's decision (what is kept, how much is compared, what is refused), it
// says so, and the judge's promises (promises.h) decide: a run that breaks a promise fails, even
// where the model agrees with it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "campaign/bench.h"
#include "sim/chip_personas.h"
#include "sim/enclosure.h"
#include "sim/flash_parts.h"

namespace campaign {

// Which procedure runs: the Windows program's (the "Run" button's choice, the one-button update,
// the bank recovery on selection) and the macOS program's update threads.
enum class Route : uint8_t {
    Direct,      // RunDirectUpdate, direct commands
    Buffer,      // RunDirectUpdate with "Read/Write Buffer" (QVR29x)
    OneButton,   // UpdateWithEmbeddedImage + ResetAndReattach (QVR298)
    Series528,   // UpdateFlash_528Series
    Sst,         // UpdateFlashSst
    Legacy,      // UpdateFlashLegacy
    Over1394,    // UpdateFlash525Over1394
    Qvr294,      // UpdateFlash294
    Disk,        // UpdateDiskResident
    Mac298,      // qvr298_update_func
    Mac529,      // qvd529_update_func
    Mac528,      // UpdateFlash_528Series (macOS), the QVD528 by its thread, the QVD523 by the routine
};
const char* routeName(Route r);

struct ModelInput {
    Route route = Route::Direct;
    uint8_t chipType = 0;                  // the Windows chip type
    std::string chipCode;                  // its three digits, as the chip's files name it
    const sim::ChipPersona* persona = nullptr;
    const sim::FlashPart* part = nullptr;  // null: no flash
    sim::BootState boot = sim::BootState::Firmware;
    // What identification stored for the selected device (Windows), or what the macOS thread
    // finds out itself.
    uint8_t flashType = 0;
    int amicModel = -1, atmelModel = -1;
    uint32_t knownKiB = 64;
    uint32_t probedKiB = 64;               // what the flash's own identification reply says of its size
    bool flashParameterSent = false;
    bool bankRecoveryOnSelection = false;  // the window looks at both banks when the device is selected
    // The file, or the image the program carries.
    std::vector<uint8_t> file;
    bool includeNvram = false, productSn = false;
    std::string serialNum = "00000000000000000000";
    uint64_t diskSectors = 0;              // the disk behind the bridge, for the disk-resident firmware
    uint32_t diskSectorSize = 512;
    bool areaFromR = false;                // the chip's status says the disk area counts from R, not R - 1
    Store before;
};

struct Stretch {
    uint32_t at = 0, len = 0;
    const char* what = "";
};

enum class Verdict : uint8_t { Success, Refuse, Fail };
const char* verdictName(Verdict v);

struct Expect {
    Verdict verdict = Verdict::Success;
    Store after;                  // a success leaves exactly this
    std::vector<Stretch> kept;    // a failure leaves these as they were in `before`
    std::string why;              // the rule behind a refusal or a failure
    // The bank recovery on selection, when the window runs one: what the flash holds after it,
    // before the update starts.
    bool recovered = false;
    Store afterSelection;
};

Expect expectedStore(const ModelInput& in);

// The chip's own bank check, stated on its own (signature block and CRC-16 of the code region).
bool modelBankValid(const uint8_t* bank, uint8_t chipType);

}  // namespace campaign
