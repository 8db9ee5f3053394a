#include "cli/failure_report.h"

#include <cerrno>
#include <cstring>
#include <ostream>

#include "sys/bytes.h"
#include "cli/cli.h"
#include "transport/cdb.h"

namespace cli {

namespace {

std::string systemErrorText(uint32_t code) { return std::strerror(static_cast<int>(code)); }

bool deviceLeft(const firmware::FailureCause& c) { return c.command && (!c.command->opened || c.command->host != 0); }

// The families whose own update takes a whole copy of the flash back as it was read: those that
// always take the direct write.
bool restoresWholeFlash(vendor::ChipType t) { return vendor::alwaysDirect(vendor::chipRow(t)); }

std::string nothingWritten(const firmware::FailureCause& c) {
    return deviceLeft(c) ? "Nothing was written to the flash. Check the cable and the enclosure's power, then run the command again."
                         : "Nothing was written to the flash; run the command again.";
}

}  // namespace

std::string nextStep(const firmware::FailureCause& c, const firmware::SelectedDevice& dev, const std::string& backup) {
    if (!c.detail.empty() && c.step == "waiting for the bridge after its reset")
        return "The firmware was written and verified before the reset. Turn the enclosure off and on again; "
               "`q55x list` should then show it with the new firmware.";
    if (!c.deviceChanged) return nothingWritten(c);
    std::string s = deviceLeft(c) ? "The flash was being written when the bridge went away. Reconnect the enclosure (power it off and on), then "
                                  : "Keep the enclosure powered and ";
    s += "run the command again.";
    if (vendor::keepsTwoBanks(vendor::chipRow(dev.chip.type)))
        s += " If `q55x list` then reports a damaged bank, `q55x recover` copies the valid one over it.";
    if (!backup.empty()) {
        if (restoresWholeFlash(dev.chip.type))
            s += " To put the flash back as it was: q55x --device " + dev.path + " flash " + backup +
                 " --include-nvram --allow-older --allow-reinstall --no-backup --yes";
        else
            s += " The flash as it was before is in " + backup + "; keep it for support.";
    }
    return s;
}

int exitCodeOf(const FailureReport& r) {
    const auto& c = r.cause.command;
    if (c && c->sysError == EBUSY) return kExitBusy;
    if (c && !c->opened && (c->sysError == EACCES || c->sysError == EPERM)) return kExitPermission;
    return r.cause.deviceChanged ? kExitInterrupted : kExitFailed;
}

nlohmann::json errorJson(const FailureReport& r) {
    nlohmann::json e{{"code", exitCodeOf(r)}, {"message", r.message}, {"step", r.cause.step},
                     {"cause", r.cause.line(systemErrorText)}, {"next", r.next}};
    if (r.cause.address) e["address"] = *r.cause.address;
    if (const auto& c = r.cause.command) {
        e["scsi"] = {{"cdb", c->cdb},
                     {"opened", c->opened},
                     {"status", c->status},
                     {"sense", sys::toHex(c->sense.data(), c->sense.size())},
                     {"host", c->host},
                     {"driver", c->driver},
                     {"system_error", c->sysError}};
    }
    return e;
}

int failBeforeWriting(Context& ctx, const std::string& message, const firmware::FailureWatch& watch,
                      const std::string& step, const std::string& detail) {
    FailureReport r{message, watch.cause(), {}};
    r.cause.step = step;
    r.cause.deviceChanged = false;
    if (!r.cause.command && r.cause.detail.empty()) r.cause.detail = detail;
    r.next = nothingWritten(r.cause);
    if (ctx.options().json) {
        ctx.printJson({{"error", errorJson(r)}});
    } else {
        ctx.err() << message << "\n";
        ctx.err() << "cause: " << r.cause.line(systemErrorText) << "\n";
        ctx.err() << "next:  " << r.next << "\n";
    }
    return exitCodeOf(r);
}

void printFailure(Context& ctx, const FailureReport& r) {
    ctx.out() << "cause: " << r.cause.line(systemErrorText) << "\n";
    ctx.out() << "next:  " << r.next << "\n";
}

}  // namespace cli
