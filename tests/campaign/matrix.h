// The oracle's matrix: every family and procedure of both programs and of q55x, over file sizes
// and layouts, options, chip states and flash parts with different erase units. A case is data;
// preparing its enclosure, running its procedure and stating what the model is given are the
// same few functions for every case, and the power-cut campaign uses them too.
#pragma once
#include <string>
#include <vector>

#include "campaign/bench.h"
#include "campaign/model.h"
#include "image/format/image_builder.h"

namespace campaign {

enum class Program : uint8_t { Windows, Mac, Cli };
// Unmarked: the NVRAM without its "QV" validity mark; Blank: nothing in the flash at all;
// AreaMarked: the disk's firmware area already marked by an earlier update.
enum class ChipState : uint8_t { Firmware, RomCode, MfgInFlash, BankDamaged, Unmarked, Blank, AreaMarked };

struct Family {
    const char* key;
    const char* persona;                 // --sim model
    const char* extra;                   // further --sim keys
    uint8_t chipType;                    // Windows chip type
    const char* code;                    // chip code digits
    const char* sample;                  // the catalogue image its files are shaped from ("": built here)
    firmware::ImageLayout layout;
    uint32_t codeEnd;                    // single-bank families
    std::vector<const char*> flashes;    // flash parts by name, the family's own first
    std::vector<Route> routes;           // what the two programs run for it
    const char* bundle;                  // the image a program carries for it, or nullptr
};

struct Shape {
    std::string name;
    size_t size = 0;
    bool codeOnly = false;               // the code without the NVRAM in front of it
};

struct OracleCase {
    const Family* family = nullptr;
    Route route = Route::Direct;
    Program program = Program::Windows;
    std::string flash;                   // part name; "none" for no flash
    ChipState state = ChipState::Firmware;
    Shape shape;
    bool includeNvram = false, productSn = false;
    int chipReset = 0;
    bool cliUpdate = false;              // q55x update rather than q55x flash
    bool backup = false;                 // q55x takes its backup of the flash first
    // A case of the power-cut campaign may name its enclosure and its file itself.
    std::string enclosure;
    std::vector<uint8_t> file;
    std::string label() const;
};

std::vector<OracleCase> oracleMatrix(bool bounded);
const std::vector<Family>& families();
const Family* familyByKey(const std::string& key);

// The bytes a case hands its procedure: its firmware file, or the image its program carries.
std::vector<uint8_t> caseFile(const OracleCase& c);
std::string enclosureText(const OracleCase& c);
// The version of the firmware the case's file carries whole (its code region complete), or empty.
std::vector<uint8_t> caseVersion(const OracleCase& c);
// The chip state and the patterns of the stretches its procedures promise to keep (and of the
// bytes around them); the caller powers the enclosure on afterwards.
void prepareCase(Bench& b, const OracleCase& c);
// The window looks at both banks when this case's device is selected.
bool recoveryOnSelection(const OracleCase& c);
// What the model is given: the facts identification stored (Windows, on a selected bench), or
// those the macOS thread finds out itself, the file and the options.
// q55x runs the procedure its own view of the device chooses (`filePath` holds caseFile(c)).
ModelInput modelInput(Bench& b, const OracleCase& c, const Store& before, const std::string& filePath);
// Runs the Windows or macOS procedure on a prepared bench (Windows: selected); `filePath` holds
// caseFile(c) for the Windows procedures. True when the program told the user it passed. The
// Windows "Run" takes the case's procedure, or with `asChosen` whatever the window chooses (a
// re-run after a power cut may find the chip in another state).
bool runOn(Bench& b, const OracleCase& c, const std::string& filePath, bool asChosen = false);
// The Windows "Run" chooses the case's procedure (or refuses a file larger than the flash).
bool dispatchedAsExpected(Bench& b, const OracleCase& c, const std::string& filePath);
// Runs q55x on an enclosure holding `before`; `after` receives what it holds afterwards and
// `message` the line q55x ended with. True on exit status 0. Its state folder (backups, journals)
// is `dir`/state-home.
bool runCli(const OracleCase& c, const Store& before, const std::string& dir, Store& after, std::string& message);
// The enclosure of a case as the state file q55x's --sim state= loads, and what such a file holds.
bool saveCaseState(const OracleCase& c, const Store& s, const std::string& path, std::string& error);
bool loadCaseState(const std::string& path, Store& s, std::string& error);
// q55x's update of a case: `update` for the one-button update, else `flash FILE` with the case's
// options; asked nothing, refusing neither a reinstall nor an older version.
std::vector<std::string> cliUpdateArgs(const OracleCase& c, const std::string& file);

}  // namespace campaign
