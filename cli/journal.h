// The journal of an update: what q55x writes down, and makes the file system keep, before it sends
// the first command that erases or writes, so that an update cut short by a power cut, a pulled
// cable, the host going down or q55x itself being killed can be finished or undone afterwards by
// `q55x recover`. One journal per enclosure, in the user's state folder next to the backups:
//
//   <id>.journal   JSON: the enclosure's identity, the procedure and its options, the kept
//                  stretches (the bytes themselves), the backup file, the stage reached
//   <id>.image     a copy of the image the update writes (its size and CRC-32 in the journal)
//
// Each file is written beside its name, flushed, renamed over it, and the folder flushed, so a
// journal is either there whole or not at all.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/update_window.h"

namespace cli {

// What makes the file system keep what was written: the file's own data, and the folder entry
// that names it (a new or renamed name survives a power cut only once its folder is flushed).
// Tests put a recorder in its place.
class Durability {
public:
    virtual ~Durability() = default;
    virtual bool syncFile(const std::string& path) = 0;
    virtual bool syncFolder(const std::string& path) = 0;
};
Durability& durability();
// Returns the previous one; null puts back fsync.
Durability* setDurability(Durability* d);

// $XDG_STATE_HOME/q55x/journals, else ~/.local/state/q55x/journals: the user's own (0700), its
// files 0600.
std::string journalDirectory();

// What names an enclosure across a reset and a power cut: the chip type, the identity bytes of
// the chip information record (signature, USB ids, chip code, revision: not its code state or
// version, which an update changes), the serial number the system reports for the USB device (or
// the 1394 unit's GUID) where there is one. The node it was attached at is a hint only: nodes are
// numbered as they come.
struct EnclosureIdentity {
    int chipType = 0;
    std::vector<uint8_t> chipInfo;
    std::string serial;
    std::string port;   // the USB port it was plugged into, where known
    std::string path;
    // What names its lock (serial, else port, else node).
    std::string lockKey() const;
    bool sameEnclosure(const EnclosureIdentity& other) const {
        return chipType == other.chipType && chipInfo == other.chipInfo && serial == other.serial;
    }
    // Still the enclosure `asked` was read from at the same node, moments later: the same
    // enclosure on the same port (a twin put in its place answers alike, but on another port).
    bool unchangedSince(const EnclosureIdentity& asked) const { return sameEnclosure(asked) && port == asked.port; }
};

// How recovery puts a kept stretch back.
enum class PutBack : uint8_t {
    InImage,         // it stands in the journal's image, written with it
    BeforeRerun,     // the procedure keeps what it finds: it goes back before the procedure runs again
    ProductRecord,   // the chip writes it itself, into its product area
};

struct KeptStretch {
    std::string what;            // "NVRAM", "NVRAM copy", "settings bytes", "product record"
    uint32_t at = 0;
    std::vector<uint8_t> bytes;  // as read twice, agreeing, before anything was erased
    PutBack putBack = PutBack::InImage;
};

// How far an update got. Recorded as it happens; a stage is never taken back.
enum class Stage : uint8_t { Started, EraseBegun, Writing, Verified, ResetSent, BackOnBus, Done };
const char* stageName(Stage s);

struct Journal {
    std::string id;
    std::string command;          // "flash" or "update"
    std::string procedure;        // the family's procedure, by name (journalProcedureName)
    std::string file;             // the firmware file the user named; empty for the carried image
    std::string chipName;
    std::string versionBefore;    // the firmware the chip ran, where it says
    std::string started;          // UTC
    EnclosureIdentity identity;
    // The update's options, as the procedure is to be run again.
    bool includeNvram = false;    // what the user asked for
    bool productSn = false;
    firmware::Settings settings;
    // The image recovery writes: the file as the update writes it, with the kept stretches that
    // go with it in their places, so it is written whole ("Include 4K NVRAM").
    uint64_t imageBytes = 0;
    uint32_t imageCrc = 0;
    bool imageWhole = true;
    std::vector<KeptStretch> kept;
    std::string backup;           // the copy of the whole flash taken first; empty with --no-backup
    uint64_t backupBytes = 0;     // its size and CRC-32 when the journal was made
    uint32_t backupCrc = 0;
    bool restoreBegun = false;    // `recover --restore` began writing the backup: the stages are no longer the update's
    Stage stage = Stage::Started;
    uint32_t writtenUpTo = 0;     // the end of the highest flash range written
    unsigned recoveries = 0;      // times `q55x recover` took it up
};

class JournalStore {
public:
    explicit JournalStore(std::string dir = journalDirectory());
    const std::string& dir() const { return dir_; }
    std::string journalPath(const std::string& id) const;
    std::string imagePath(const std::string& id) const;
    // Where a restore stages the backup it checked.
    std::string restorePath(const std::string& id) const;
    // Writes `bytes` to `path` in the folder as a journal's own files are written.
    bool writeCopy(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) const;

    // A new journal for `j` (its id chosen from its chip and the time) with its image copy, both
    // flushed with their folder. False with the reason when either cannot be written.
    bool create(Journal& j, const std::vector<uint8_t>& image, std::string& error);
    // Writes the journal again (a new stage).
    bool save(const Journal& j, std::string& error);
    // Closes a journal: its files are removed.
    bool remove(const std::string& id, std::string& error);

    struct Listing {
        std::vector<Journal> journals;            // oldest first
        std::vector<std::string> unreadable;      // journal files that do not parse, by path
        std::vector<std::string> why;             // for each, why
        std::string problem;                      // the folder itself cannot be trusted: why
    };
    Listing list() const;
    bool load(const std::string& id, Journal& j, std::string& error) const;
    // The image copy, checked against the size and CRC the journal holds.
    bool readImage(const Journal& j, std::vector<uint8_t>& image, std::string& error) const;

private:
    std::string dir_;
};

// The backup a journal names, checked against the size and CRC it recorded.
bool readBackup(const Journal& j, std::vector<uint8_t>& bytes, std::string& error);

// CRC-32 (IEEE, reflected) of the image copy.
uint32_t imageCrc32(const std::vector<uint8_t>& bytes);

}  // namespace cli
