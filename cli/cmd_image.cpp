// q55x image FILE: what a firmware file holds (family, signature blocks, chip code, NVRAM, the
// checksums stored and computed) and, with --chip, whether it matches that chip.
#include <cstring>
#include <memory>
#include <ostream>

#include "cli/commands.h"
#include "cli/image_inspect.h"
#include "image/image.h"
#include "transport/cdb.h"
#include "identify/chip_table.h"

namespace cli {

namespace {

// A chip named on the command line: a model name as --sim knows it, or a chip type number.
int chipTypeOfName(const std::string& name) {
    static const struct { const char* model; int type; } kSpecial[] = {
        {"qv84553a3", 4}, {"qv84556e", 30}, {"qvd522", 9}, {"qv84559u", 35},
        {"qv84553g", 31}, {"qv84550g", 32}, {"qv84556g", 33}, {"qv84552g", 34},
    };
    for (const auto& s : kSpecial)
        if (name == s.model) return s.type;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        const int v = std::stoi(name.substr(0, 3));
        return v < vendor::kChipTypeCount ? v : -1;
    }
    if (name.size() >= 3) {
        const int t = vendor::chipTypeOfCode(name.substr(name.size() - 3));
        if (t != 0) return t;
    }
    return -1;
}

struct ImageOptions {
    std::string file;
    std::string chip;
    int revision = 0;
};

int runImage(Context& ctx, const ImageOptions& o) {
    const firmware::FileImage f = firmware::readFirmwareFile(o.file);
    if (!f.opened) return ctx.fail(kExitFailed, "Open Firmware File Error!!");
    nlohmann::json doc = inspectFirmwareImage(f);
    if (f.bytes.empty()) {
        // Nothing to inspect: the layout (size 0) is shown with the reason.
        const std::string problem = f.tooLarge ? "the file is larger than any flash; it was not read"
                                               : "the file is empty";
        doc["problem"] = problem;
        if (ctx.options().json) {
            ctx.printJson(doc);
        } else {
            printImageInspection(ctx.out(), o.file, doc);
            ctx.err() << o.file << ": " << problem << "\n";
        }
        return kExitFailed;
    }
    int code = kExitOk;
    if (!o.chip.empty()) {
        const int type = chipTypeOfName(o.chip);
        if (type < 0) return ctx.fail(kExitUsage, "unknown chip " + o.chip);
        const bool match = firmware::FileMatchesChip(f, static_cast<vendor::ChipType>(type), o.revision);
        doc["chip"] = std::string(vendor::chipDisplayName(static_cast<vendor::ChipType>(type)));
        doc["chip_type"] = type;
        doc["matches"] = match;
        if (!match) code = kExitFailed;
    }
    if (ctx.options().json) ctx.printJson(doc);
    else printImageInspection(ctx.out(), o.file, doc);
    return code;
}

}  // namespace

Runner addImageCommand(CLI::App& app) {
    auto o = std::make_shared<ImageOptions>();
    CLI::App* sub = app.add_subcommand("image", "Inspect a firmware file: layout, signatures, checksums, chip match");
    sub->add_option("file", o->file, "The firmware file")->required();
    sub->add_option("--chip", o->chip, "Check the file against this chip (model name such as qvr298, or chip type)");
    sub->add_option("--revision", o->revision, "The chip's revision number for the match (default 0)");
    return [o](Context& ctx) { return runImage(ctx, *o); };
}

}  // namespace cli
