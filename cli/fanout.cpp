#include "cli/fanout.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

namespace cli {

namespace {

struct DeviceRun {
    std::string path;
    int code = 0;
    nlohmann::json doc;
};

std::string summaryOf(const DeviceRun& r) {
    std::string text;
    if (r.doc.contains("error")) {
        text = r.doc["error"].value("message", "");
        if (const std::string cause = r.doc["error"].value("cause", ""); !cause.empty()) text += " (" + cause + ")";
    }
    else if (r.doc.contains("result")) text = r.doc["result"].get<std::string>();
    else if (r.doc.contains("status")) text = r.doc["status"].get<std::string>();
    if (r.doc.contains("version_after") && !r.doc["version_after"].get<std::string>().empty())
        text += " (" + r.doc.value("version_before", "") + " -> " + r.doc["version_after"].get<std::string>() + ")";
    return text;
}

const char* verdict(int code) {
    switch (code) {
        case kExitOk: return "ok";
        case kExitNothingToDo: return "unchanged";
        case kExitRefused: return "refused";
        default: return "FAILED";
    }
}

}  // namespace

int runOnAll(Context& ctx, const WriteGuards& guards, const FanOut& f, const std::function<int(Context&)>& single) {
    const auto listing = vendor::listBridges(ctx.candidates(), {});
    std::vector<std::string> paths;
    for (const auto& d : listing.devices)
        if (!f.wanted || f.wanted(d)) paths.push_back(d.record.path);
    if (paths.empty()) return ctx.failNoDevice();
    // After their resets, enclosures that answer alike (one serial, or none and one port) cannot be
    // told apart: each update must be found again by who it is, so none starts on a guess.
    std::map<std::string, std::vector<std::string>> byKey;
    for (const std::string& p : paths) byKey[ctx.lockKeyOf(p)].push_back(p);
    for (const auto& [key, twins] : byKey) {
        if (twins.size() < 2) continue;
        std::string list;
        for (const std::string& p : twins) list += (list.empty() ? "" : ", ") + p;
        return ctx.fail(kExitFailed, std::to_string(twins.size()) + " enclosures answer alike (" + key + "): " + list +
                                         ". q55x cannot tell them apart after their reset; name each in turn with --device.");
    }
    if (!guards.dryRun) {
        if (int rc = confirmWrite(ctx, guards, f.action + " on " + std::to_string(paths.size()) + " devices?")) return rc;
    }

    std::vector<DeviceRun> runs(paths.size());
    std::atomic<size_t> next{0};
    const size_t workers = std::min(paths.size(), f.jobs > 0 ? static_cast<size_t>(f.jobs) : paths.size());
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            GlobalOptions o = ctx.options();
            o.device = paths[i];
            o.json = true;
            o.trace.clear();   // the parent's trace stays open for everyone
            std::ostringstream out, err;
            Context one(ctx, o, out, err);
            runs[i].path = paths[i];
            runs[i].code = single(one);
            runs[i].doc = nlohmann::json::parse(out.str(), nullptr, false);
            if (runs[i].doc.is_discarded()) runs[i].doc = {{"error", {{"message", err.str()}}}};
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers; ++i) threads.emplace_back(work);
    for (auto& t : threads) t.join();

    // One kind of failure is told by its own code; a mixture is a plain failure.
    int failedCode = kExitOk;
    nlohmann::json all = nlohmann::json::array();
    for (const DeviceRun& r : runs) {
        if (r.code != kExitOk && r.code != kExitNothingToDo)
            failedCode = failedCode == kExitOk || failedCode == r.code ? r.code : kExitFailed;
        all.push_back({{"device", r.path}, {"exit", r.code}, {"report", r.doc}});
        if (!ctx.options().json) ctx.out() << r.path << "  " << verdict(r.code) << "  " << summaryOf(r) << "\n";
    }
    if (ctx.options().json) ctx.printJson(all);
    return failedCode;
}

}  // namespace cli
