#include "cli/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli/context.h"
#include "cli/enclosure_lock.h"
#include "cli/state_files.h"
#include "sys/bytes.h"
#include "transport/cdb.h"
#include "identify/chip_table.h"

namespace cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// 2: with a checksum over the body and the backup's size and CRC. A journal of format 1 (written
// before) is still taken up: it may be an update interrupted across the upgrade.
constexpr int kFormat = 2;
constexpr int kOldestFormat = 1;
constexpr const char* kJournalExt = ".journal";
constexpr const char* kImageExt = ".image";

class Fsync final : public Durability {
public:
    bool syncFile(const std::string& path) override { return syncPath(path, O_RDONLY); }
    bool syncFolder(const std::string& path) override { return syncPath(path, O_RDONLY | O_DIRECTORY); }

private:
    static bool syncPath(const std::string& path, int flags) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = ::fsync(fd) == 0;
        ::close(fd);
        return ok;
    }
};

Fsync gFsync;
Durability* gDurability = &gFsync;

// Written beside its name, flushed, renamed over it, the folder flushed: the name then stands for
// the whole file or for what it stood for before.
bool writeDurably(const fs::path& path, const uint8_t* data, size_t n, std::string& error) {
    const fs::path tmp = path.string() + ".tmp";
    // A name left by a run cut short goes first; the new file is made afresh, the user's own and
    // no one else's, never through a link someone put in its place.
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return error = "cannot write " + tmp.string(), false;
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    ::close(fd);
    if (done != n) {
        std::remove(tmp.c_str());
        return error = "cannot write " + tmp.string(), false;
    }
    if (!durability().syncFile(tmp.string())) {
        std::remove(tmp.c_str());
        return error = "cannot flush " + tmp.string() + " to the disk", false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return error = "cannot rename " + tmp.string() + " to " + path.string(), false;
    }
    if (!durability().syncFolder(path.parent_path().string()))
        return error = "cannot flush the folder " + path.parent_path().string(), false;
    return true;
}

std::string hex(const std::vector<uint8_t>& b) { return sys::toHex(b.data(), b.size()); }

const char* putBackName(PutBack p) {
    switch (p) {
        case PutBack::InImage: return "with the image";
        case PutBack::BeforeRerun: return "before the procedure";
        case PutBack::ProductRecord: return "product record command";
    }
    return "";
}

json toJson(const Journal& j) {
    json kept = json::array();
    for (const KeptStretch& k : j.kept)
        kept.push_back({{"what", k.what}, {"at", k.at}, {"bytes", hex(k.bytes)}, {"put_back", putBackName(k.putBack)}});
    return {{"q55x_journal", kFormat},
            {"id", j.id},
            {"command", j.command},
            {"procedure", j.procedure},
            {"file", j.file},
            {"started", j.started},
            {"enclosure",
             {{"chip", j.chipName},
              {"chip_type", j.identity.chipType},
              {"chip_info", hex(j.identity.chipInfo)},
              {"serial", j.identity.serial},
              {"port", j.identity.port},
              {"path", j.identity.path},
              {"firmware", j.versionBefore}}},
            {"options",
             {{"include_nvram", j.includeNvram},
              {"product_sn", j.productSn},
              {"vid", j.settings.vid},
              {"pid", j.settings.pid},
              {"serial_num", j.settings.serialNum},
              {"chip_reset", j.settings.chipReset}}},
            {"image", {{"bytes", j.imageBytes}, {"crc32", j.imageCrc}, {"whole", j.imageWhole}}},
            {"kept", kept},
            {"backup", j.backup},
            {"backup_bytes", j.backupBytes},
            {"backup_crc32", j.backupCrc},
            {"restore_begun", j.restoreBegun},
            {"stage", stageName(j.stage)},
            {"written_up_to", j.writtenUpTo},
            {"recoveries", j.recoveries}};
}

// CRC-32 of the journal's body as written, the checksum left out.
uint32_t bodyCrc(json d) {
    d.erase("checksum");
    const std::string text = d.dump();
    return imageCrc32(std::vector<uint8_t>(text.begin(), text.end()));
}

bool fromJson(const json& d, Journal& j) {
    if (!d.is_object()) return false;
    const int format = d.value("q55x_journal", 0);
    if (format < kOldestFormat || format > kFormat) return false;
    if (format >= 2 && d.value("checksum", 0u) != bodyCrc(d)) return false;
    j.id = d.at("id").get<std::string>();
    j.command = d.at("command").get<std::string>();
    j.procedure = d.at("procedure").get<std::string>();
    j.file = d.value("file", "");
    j.started = d.value("started", "");
    const json& e = d.at("enclosure");
    j.chipName = e.value("chip", "");
    j.identity.chipType = e.at("chip_type").get<int>();
    if (!parseHex(e.value("chip_info", ""), j.identity.chipInfo)) return false;
    j.identity.serial = e.value("serial", "");
    j.identity.port = e.value("port", "");
    j.identity.path = e.value("path", "");
    j.versionBefore = e.value("firmware", "");
    const json& o = d.at("options");
    j.includeNvram = o.value("include_nvram", false);
    j.productSn = o.value("product_sn", false);
    j.settings.vid = o.value("vid", j.settings.vid);
    j.settings.pid = o.value("pid", j.settings.pid);
    j.settings.serialNum = o.value("serial_num", j.settings.serialNum);
    j.settings.chipReset = o.value("chip_reset", 0);
    const json& im = d.at("image");
    j.imageBytes = im.at("bytes").get<uint64_t>();
    j.imageCrc = im.at("crc32").get<uint32_t>();
    j.imageWhole = im.value("whole", true);
    for (const json& k : d.at("kept")) {
        KeptStretch s;
        s.what = k.at("what").get<std::string>();
        s.at = k.at("at").get<uint32_t>();
        if (!parseHex(k.at("bytes").get<std::string>(), s.bytes) || s.bytes.empty()) return false;
        const std::string how = k.value("put_back", "");
        s.putBack = how == putBackName(PutBack::BeforeRerun)     ? PutBack::BeforeRerun
                    : how == putBackName(PutBack::ProductRecord) ? PutBack::ProductRecord
                                                                 : PutBack::InImage;
        j.kept.push_back(std::move(s));
    }
    j.backup = d.value("backup", "");
    j.backupBytes = d.value("backup_bytes", uint64_t{0});
    j.backupCrc = d.value("backup_crc32", 0u);
    j.restoreBegun = d.value("restore_begun", false);
    const std::string stage = d.value("stage", "");
    for (Stage s : {Stage::Started, Stage::EraseBegun, Stage::Writing, Stage::Verified, Stage::ResetSent,
                    Stage::BackOnBus, Stage::Done})
        if (stage == stageName(s)) j.stage = s;
    j.writtenUpTo = d.value("written_up_to", 0u);
    j.recoveries = d.value("recoveries", 0u);
    return true;
}

std::string utcNow(const char* format) {
    char text[40];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

// A journal is named by its chip ("qvd528" of "QVD528 Series") and the time it was started.
std::string nameOf(std::string_view chip) {
    std::string out;
    for (char c : chip.substr(0, chip.find(' '))) out.push_back(std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '-');
    return out.empty() ? "bridge" : out;
}

}  // namespace

Durability& durability() { return *gDurability; }

std::string EnclosureIdentity::lockKey() const { return cli::lockKey(serial, port, path); }

Durability* setDurability(Durability* d) {
    Durability* previous = gDurability;
    gDurability = d ? d : &gFsync;
    return previous == &gFsync ? nullptr : previous;
}

std::string journalDirectory() { return stateDirectory() + "/journals"; }

const char* stageName(Stage s) {
    switch (s) {
        case Stage::Started: return "started";
        case Stage::EraseBegun: return "erase begun";
        case Stage::Writing: return "writing";
        case Stage::Verified: return "verified";
        case Stage::ResetSent: return "reset sent";
        case Stage::BackOnBus: return "back on the bus";
        case Stage::Done: return "done";
    }
    return "";
}

uint32_t imageCrc32(const std::vector<uint8_t>& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        c ^= b;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

JournalStore::JournalStore(std::string dir) : dir_(std::move(dir)) {}

std::string JournalStore::journalPath(const std::string& id) const { return dir_ + "/" + id + kJournalExt; }
std::string JournalStore::imagePath(const std::string& id) const { return dir_ + "/" + id + kImageExt; }
std::string JournalStore::restorePath(const std::string& id) const { return dir_ + "/" + id + ".restore"; }

bool JournalStore::writeCopy(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) const {
    return makePrivateFolder(dir_, error) && writeDurably(path, bytes.data(), bytes.size(), error);
}

bool JournalStore::create(Journal& j, const std::vector<uint8_t>& image, std::string& error) {
    std::error_code ec;
    if (!makePrivateFolder(dir_, error)) return false;
    // The folder that holds the journal folder gets its new entry flushed too, the first time.
    durability().syncFolder(fs::path(dir_).parent_path().string());
    if (j.started.empty()) j.started = utcNow("%Y-%m-%d %H:%M:%S UTC");
    const std::string base = nameOf(j.chipName) + "-" + utcNow("%Y%m%d-%H%M%S");
    // The name is claimed by creating its image file: updates of several enclosures at once each
    // get one of their own.
    j.id = base;
    for (int n = 1;; ++n) {
        const int fd = fs::exists(journalPath(j.id), ec) ? -1 : ::open(imagePath(j.id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        if (errno != EEXIST && !fs::exists(journalPath(j.id), ec)) return error = "cannot write in " + dir_, false;
        j.id = base + "-" + std::to_string(n);
    }
    j.imageBytes = image.size();
    j.imageCrc = imageCrc32(image);
    // The image first: a journal never names a copy that is not there whole.
    if (writeDurably(imagePath(j.id), image.data(), image.size(), error) && save(j, error)) return true;
    fs::remove(imagePath(j.id), ec);
    return false;
}

bool JournalStore::save(const Journal& j, std::string& error) {
    json d = toJson(j);
    d["checksum"] = bodyCrc(d);
    const std::string text = d.dump(2) + "\n";
    return writeDurably(journalPath(j.id), reinterpret_cast<const uint8_t*>(text.data()), text.size(), error);
}

bool JournalStore::remove(const std::string& id, std::string& error) {
    std::error_code ec;
    // The journal goes first: an image copy without its journal is only a file too many.
    fs::remove(journalPath(id), ec);
    if (ec) return error = "cannot remove " + journalPath(id) + ": " + ec.message(), false;
    fs::remove(imagePath(id), ec);
    durability().syncFolder(dir_);
    return true;
}

JournalStore::Listing JournalStore::list() const {
    Listing out;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir_, ec))) return out;
    if (!checkPrivateFolder(dir_, out.problem)) return out;
    std::vector<fs::path> files;
    for (auto it = fs::directory_iterator(dir_, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->path().extension() == kJournalExt) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const fs::path& p : files) {
        Journal j;
        std::string error;
        if (load(p.stem().string(), j, error)) out.journals.push_back(std::move(j));
        else out.unreadable.push_back(p.string()), out.why.push_back(error);
    }
    std::stable_sort(out.journals.begin(), out.journals.end(),
                     [](const Journal& a, const Journal& b) { return a.started < b.started; });
    return out;
}

bool JournalStore::load(const std::string& id, Journal& j, std::string& error) const {
    std::vector<uint8_t> text;
    if (!fs::exists(fs::symlink_status(journalPath(id)))) return error = "no journal " + id, false;
    if (!readOwnFile(journalPath(id), kJournalLimit, text, error)) return false;
    const json d = json::parse(text.begin(), text.end(), nullptr, false);
    try {
        if (!d.is_discarded() && fromJson(d, j) && j.id == id) return true;
    } catch (const json::exception&) {
    }
    return error = "the journal " + journalPath(id) + " cannot be read (damaged, or changed since q55x wrote it)", false;
}

bool JournalStore::readImage(const Journal& j, std::vector<uint8_t>& image, std::string& error) const {
    if (!readOwnFile(imagePath(j.id), kFlashCopyLimit, image, error))
        return error = "the journal's copy of the image cannot be used (" + error + ")", false;
    if (image.size() != j.imageBytes || imageCrc32(image) != j.imageCrc)
        return error = "the journal's copy of the image is damaged (" + imagePath(j.id) + ")", false;
    return true;
}

bool readBackup(const Journal& j, std::vector<uint8_t>& bytes, std::string& error) {
    if (!readOwnFile(j.backup, kFlashCopyLimit, bytes, error)) return false;
    // A journal of format 1 recorded no size: the folder checks are all it has.
    if (j.backupBytes && (bytes.size() != j.backupBytes || imageCrc32(bytes) != j.backupCrc))
        return error = "the backup " + j.backup + " is not the one taken before the update (its size or CRC changed)", false;
    return true;
}

}  // namespace cli
