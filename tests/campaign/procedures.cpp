#include "campaign/procedures.h"

#include "campaign/matrix.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "image/image_catalog.h"

namespace campaign {

namespace {

using firmware::RunProcedure;

// The sample files the Windows procedures are given, from our image catalogue.
constexpr const char* kSampleFiles[] = {
    "qvr298_31.01.01.20", "qvr256_1.02.03",   "qvr296_1.02.04",   "qvr253_1.02.05",   "qvd529_with_nvram",
    "qvd528_with_nvram",  "qvd523_with_nvram", "qv84556_with_nvram", "qvd525_with_nvram", "qvr294_31.05.00.01",
};

std::string fileFor(const std::string& dir, const char* name) { return dir + "/" + name + ".bin"; }

// The Windows program's "Run" button: the procedure the window's dispatch chooses for the file,
// which must be the one the row is about.
std::function<bool(Bench&)> runButton(std::string file, RunProcedure expected, bool readWriteBuffer = false) {
    return [file, expected, readWriteBuffer](Bench& b) {
        firmware::RecordingWindow& w = b.window();
        w.firmwareFile_ = file;
        w.readWriteBuffer_ = readWriteBuffer;
        w.setProductSn_ = false;
        const RunProcedure p = firmware::chooseRunProcedure(b.device(), file);
        if (p != expected) return false;
        return firmware::runChosenProcedure(p, w, b.device());
    };
}

// The one-button update as the window runs it: written, then the chip reset and its return.
bool oneButton(Bench& b) {
    std::vector<std::string> found;
    return firmware::UpdateWithEmbeddedImage(b.window(), b.device()) &&
           firmware::ResetAndReattach(b.window(), b.device(), [&b] { return b.scan(); }, found);
}

std::function<bool(Bench&)> macThread(int (*thread)(uint32_t, const std::function<void(bool)>&)) {
    return [thread](Bench& b) {
        bool shown = false, shownOk = false;
        const int rc = thread(b.makerObject(), [&](bool ok) { shown = true, shownOk = ok; });
        // The wizard's window is what the user reads; both must say success.
        return rc == 0 && shown && shownOk;
    };
}

// Each recovery step starts from a selection, as the user would, in the program that runs it.
RecoveryStep windowsStep(const char* label, std::function<bool(Bench&)> run) {
    return {label, [run](Bench& b) {
                b.select(true);
                return run(b);
            }};
}
RecoveryStep macStep(const char* label, std::function<bool(Bench&)> run) {
    return {label, [run](Bench& b) { return run(b); }};
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes carried(const char* name, const char* type) {
    Bytes out;
    firmware::catalogResources()(name, type, out);
    return out;
}

// A procedure as the campaign runs it: its family, its way, the file and the options.
OracleCase subjectOf(const char* family, Route route, const Bytes& file, bool productSn = false) {
    OracleCase c;
    c.family = familyByKey(family);
    c.route = route;
    c.program = route == Route::Mac298 || route == Route::Mac529 || route == Route::Mac528 ? Program::Mac : Program::Windows;
    c.file = file;
    c.productSn = productSn;
    return c;
}

void fill(Bench& b, const Kept& k) {
    const Bytes p = keptPattern(k);
    std::copy(p.begin(), p.end(), b.enclosure().flash().begin() + k.at);
    // An earlier update left the same settings in both banks.
    if (k.mirror) std::copy(p.begin(), p.end(), b.enclosure().flash().begin() + k.mirror);
}

// Procedures over input shapes the catalogue's samples do not have: files that end before the kept
// NVRAM or carry both banks, that start with their code, a 128 KiB QVR29x file, the buffer path
// from the ROM loader with the product record, flash parts of other makers and erase units.
void shapedProcedures(const std::string& dir, const RecoveryStep& buffer, std::vector<Procedure>& out) {
    struct Row {
        const char* key;
        const char* title;
        const char* family;
        Route route;
        const char* flash;
        ChipState state;
        Shape shape;
        bool productSn;
        std::vector<Kept> kept;
    };
    const Row rows[] = {
        {"256-code-area", "RunDirectUpdate, a file that ends where the NVRAM starts (QVR256)", "qvr256", Route::Direct,
         "MX25L1006E", ChipState::Firmware, {"code area", 0xC000}, false, {{0xC000, 4096}}},
        {"256-both-banks", "RunDirectUpdate, a file with both banks (QVR256)", "qvr256", Route::Direct, "MX25L1006E",
         ChipState::Firmware, {"two banks", 0x20000}, false, {{0xC000, 4096}}},
        {"253-amic", "RunDirectUpdate, a file that ends inside the NVRAM, AMIC flash (QVR253)", "qvr253", Route::Direct,
         "A25L010", ChipState::Firmware, {"ends inside the NVRAM", 0x8800}, false, {{0x8000, 4096}}},
        {"298-one-bank", "RunDirectUpdate, a one-bank file written to both banks (QVR298)", "qvr298", Route::Direct, "W25X40",
         ChipState::Firmware, {"one bank", 0x20000}, false, {}},
        {"298-rom-loader", "RunDirectUpdate, Read/Write Buffer from the ROM loader with the product record (QVR298)", "qvr298",
         Route::Buffer, "W25X40", ChipState::RomCode, {"two banks", 0x40000}, true, {}},
        {"529-code-only", "RunDirectUpdate, the code alone to the flash's end (QVD529)", "qvd529", Route::Direct,
         "MX25L1006E", ChipState::Firmware, {"code only, flash size - 4 KiB", 0x20000 - 4096, true}, false, {{0, 4096}}},
        {"227-rom-code", "UpdateFlash_528Series, the code alone to a chip on its ROM code (QVR227)", "qvr227",
         Route::Series528, "MX25L1006E", ChipState::RomCode, {"code only", 0xF000, true}, false, {{0, 4096}}},
        {"528-code-only", "UpdateFlash_528Series, the code alone (QVD528)", "qvd528", Route::Series528, "MX25L512",
         ChipState::Firmware, {"code only, 12 KiB", 0x3000, true}, false, {{0, 4096}}},
        {"523-carry", "UpdateFlash_528Series, a file of two pages and its NVRAM (QVD523)", "qvd523", Route::Series528,
         "MX25L512", ChipState::Firmware, {"NVRAM and two pages", 0x9000}, false, {{0, 128}}},
        {"legacy-amic", "UpdateFlashLegacy, AMIC boot-sector flash (QV84556)", "qv84556", Route::Legacy, "A25L05PU",
         ChipState::Firmware, {"as made", 0x8000}, false, {{0x8000, 512}}},
        {"mac-528-code-only", "qvd528_update_func, an image of the code alone", "qvd528", Route::Mac528, "MX25L512",
         ChipState::Firmware, {"code only, 12 KiB", 0x3000, true}, false, {{0, 4096}}},
    };
    for (const Row& r : rows) {
        OracleCase c;
        c.family = familyByKey(r.family);
        c.route = r.route;
        c.program = r.route == Route::Mac528 ? Program::Mac : Program::Windows;
        c.flash = r.flash;
        c.state = r.state;
        c.shape = r.shape;
        c.productSn = r.productSn;
        c.chipReset = r.productSn ? 1 : 0;
        const std::string path = dir + "/" + r.key + ".bin";
        const Bytes bytes = caseFile(c);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const auto run = [c, path](Bench& b) { return runOn(b, c, path); };
        Procedure p{r.key, c.program == Program::Mac ? "macOS" : "Windows", r.title, enclosureText(c), r.kept,
                    [c](Bench& b) { prepareCase(b, c); }, run};
        const auto rerun = [c, path](Bench& b) { return runOn(b, c, path, true); };
        p.recovery.push_back(c.program == Program::Mac ? macStep("rerun", run) : windowsStep("rerun", rerun));
        if (r.family == std::string("qvr298")) p.recovery.push_back(buffer);
        p.model = [c](Bench& b, const Store& before) { return expectedStore(modelInput(b, c, before, "")); };
        p.subject = c;
        out.push_back(std::move(p));
    }
}

}  // namespace

Bytes keptPattern(const Kept& k) {
    Bytes p(k.len);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 37 + k.at / 256 + 11 + (i >> 8));
    // The QVD528 family trusts an NVRAM that carries its validity marker only.
    if (k.len > 127) p[126] = 'Q', p[127] = 'V';
    return p;
}

bool writeSampleFiles(const std::string& dir, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (const char* name : kSampleFiles) {
        Bytes bytes;
        for (const firmware::CatalogImage& c : firmware::imageCatalog())
            if (std::string_view(c.name) == name && !firmware::generateImage(c, bytes, error)) return false;
        if (bytes.empty()) return error = std::string("no catalogue image ") + name, false;
        std::ofstream out(fileFor(dir, name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) return error = "cannot write " + fileFor(dir, name), false;
    }
    // The legacy bridges and the QVD525 boot the code behind their NVRAM; files of at most 32 KiB
    // leave the settings bytes at 0x8000 to be kept, which is what the campaign wants to watch.
    struct Generated { const char* name; const char* code; char revision; std::vector<uint8_t> version; };
    for (const Generated& g : {Generated{"qv84556_32k", "556", '0', {1, 6, 9}}, Generated{"qvd525_32k", "525", '1', {1, 0, 6}}}) {
        firmware::ImageParams p;
        p.layout = firmware::ImageLayout::NvramFirst;
        p.chipCode = g.code;
        p.revision = g.revision;
        p.version = g.version;
        p.size = 0x8000;
        Bytes bytes;
        if (!firmware::buildImage(p, bytes, error)) return false;
        std::ofstream out(fileFor(dir, g.name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) return error = "cannot write " + fileFor(dir, g.name), false;
    }
    return true;
}

std::vector<Procedure> procedures(const std::string& dir) {
    const std::string f298 = fileFor(dir, "qvr298_31.01.01.20");
    const auto bufferPath = runButton(f298, RunProcedure::DirectUpdate, true);
    const RecoveryStep buffer = windowsStep("buffer", bufferPath);
    const auto keep = [](std::vector<Kept> kept) {
        return [kept](Bench& b) {
            for (const Kept& k : kept) fill(b, k);
        };
    };

    std::vector<Procedure> out;
    const auto windows = [&](const char* key, const char* title, std::string enclosure, std::vector<Kept> kept,
                             std::function<bool(Bench&)> run, std::vector<RecoveryStep> more = {}) {
        Procedure p{key, "Windows", title, std::move(enclosure), kept, keep(kept), run};
        p.recovery.push_back(windowsStep("rerun", run));
        for (RecoveryStep& s : more) p.recovery.push_back(std::move(s));
        out.push_back(std::move(p));
    };
    const auto mac = [&](const char* key, const char* title, std::string enclosure, std::vector<Kept> kept,
                         std::function<bool(Bench&)> run, std::vector<RecoveryStep> more) {
        Procedure p{key, "macOS", title, std::move(enclosure), kept, keep(kept), run};
        p.recovery.push_back(macStep("rerun", run));
        for (RecoveryStep& s : more) p.recovery.push_back(std::move(s));
        out.push_back(std::move(p));
    };

    const auto file = [&dir](const char* name) { return [path = fileFor(dir, name)] { return fileBytes(path); }; };
    // The expected-flash model and the promises of the procedure last added.
    const auto judgedAs = [&](const char* family, Route route, std::function<Bytes()> file, bool productSn = false) {
        Procedure& p = out.back();
        p.subject = subjectOf(family, route, file(), productSn);
        p.subject.enclosure = p.enclosure;
        p.model = [c = p.subject](Bench& b, const Store& before) { return expectedStore(modelInput(b, c, before, "")); };
    };
    windows("one-button", "UpdateWithEmbeddedImage + ResetAndReattach", "qvr298,fw=31.01.01.10", {}, oneButton,
            {buffer});
    judgedAs("qvr298", Route::OneButton, [] { return carried("FW_FOR_UPDATE", "FW"); }, true);
    windows("298-buffer", "RunDirectUpdate, Read/Write Buffer (QVR298)", "qvr298", {}, bufferPath);
    judgedAs("qvr298", Route::Buffer, file("qvr298_31.01.01.20"));
    windows("298-direct", "RunDirectUpdate, direct commands (QVR298)", "qvr298", {},
            runButton(f298, RunProcedure::DirectUpdate), {buffer});
    judgedAs("qvr298", Route::Direct, file("qvr298_31.01.01.20"));
    windows("256", "RunDirectUpdate + RecoverFirmwareBank (QVR256, two banks)", "qvr256", {{0xC000, 4096, 0x1C000}},
            runButton(fileFor(dir, "qvr256_1.02.03"), RunProcedure::DirectUpdate));
    judgedAs("qvr256", Route::Direct, file("qvr256_1.02.03"));
    windows("296", "RunDirectUpdate (QVR296, one bank)", "qvr296", {{0xC000, 4096}},
            runButton(fileFor(dir, "qvr296_1.02.04"), RunProcedure::DirectUpdate));
    judgedAs("qvr296", Route::Direct, file("qvr296_1.02.04"));
    windows("253", "RunDirectUpdate + RecoverFirmwareBank (QVR253, two banks)", "qvr253", {{0x8000, 4096, 0x18000}},
            runButton(fileFor(dir, "qvr253_1.02.05"), RunProcedure::DirectUpdate));
    judgedAs("qvr253", Route::Direct, file("qvr253_1.02.05"));
    windows("529", "RunDirectUpdate (QVD529)", "qvd529", {{0, 4096}},
            runButton(fileFor(dir, "qvd529_with_nvram"), RunProcedure::DirectUpdate));
    judgedAs("qvd529", Route::Direct, file("qvd529_with_nvram"));
    windows("528", "UpdateFlash_528Series (QVD528)", "qvd528", {{0, 4096}},
            runButton(fileFor(dir, "qvd528_with_nvram"), RunProcedure::Series528));
    judgedAs("qvd528", Route::Series528, file("qvd528_with_nvram"));
    windows("523-sst", "UpdateFlashSst (QVD523, SST flash)", "qvd523,flash=bf48", {},
            runButton(fileFor(dir, "qvd523_with_nvram"), RunProcedure::Sst));
    judgedAs("qvd523", Route::Sst, file("qvd523_with_nvram"));
    windows("legacy", "UpdateFlashLegacy (QV84556)", "qv84556", {{0x8000, 512}},
            runButton(fileFor(dir, "qv84556_32k"), RunProcedure::Legacy));
    judgedAs("qv84556", Route::Legacy, file("qv84556_32k"));
    windows("525-1394", "UpdateFlash525Over1394 (QVD525)", "qvd525,bus=1394", {{0x8000, 1024}},
            runButton(fileFor(dir, "qvd525_32k"), RunProcedure::Qvd525Over1394));
    judgedAs("qvd525-1394", Route::Over1394, file("qvd525_32k"));
    windows("294", "UpdateFlash294 (QVR294)", "qvr294", {},
            runButton(fileFor(dir, "qvr294_31.05.00.01"), RunProcedure::Qvr294));
    judgedAs("qvr294", Route::Qvr294, file("qvr294_31.05.00.01"));
    windows("disk", "UpdateDiskResident (q556E)", "qv84556e,flash=none,disk=256005", {},
            runButton(fileFor(dir, "qv84556_with_nvram"), RunProcedure::DiskResident));
    out.back().bootsFromFlash = false;
    judgedAs("q556e-disk", Route::Disk, file("qv84556_with_nvram"));

    mac("mac-298", "qvr298_update_func", "qvr298", {}, macThread(&firmware::qvr298_update_func), {buffer});
    judgedAs("qvr298", Route::Mac298, [] { return carried(firmware::kMacQvr298Image, "bin"); });
    // The thread labelled for the QVD529 serves the QVR296 its bundle image names.
    mac("mac-529", "qvd529_update_func", "qvr296", {{0xC000, 256}}, macThread(&firmware::qvd529_update_func),
        {windowsStep("win", runButton(fileFor(dir, "qvr296_1.02.04"), RunProcedure::DirectUpdate))});
    judgedAs("qvr296", Route::Mac529, [] { return carried(firmware::kMacQvd529Image, "BIN"); });
    mac("mac-528", "qvd528_update_func", "qvd528", {{0, 4096}}, macThread(&firmware::qvd528_update_func),
        {windowsStep("win", runButton(fileFor(dir, "qvd528_with_nvram"), RunProcedure::Series528))});
    judgedAs("qvd528", Route::Mac528, [] { return carried(firmware::kMacQvd528Image, "BIN"); });

    shapedProcedures(dir, buffer, out);
    return out;
}

}  // namespace campaign
