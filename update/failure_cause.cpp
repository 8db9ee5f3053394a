#include "update/failure_cause.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "sys/bytes.h"
#include "update/update_texts.h"
#include "bridge/cdb.h"

namespace firmware {

namespace {

thread_local FailureWatch* tWatch = nullptr;

// The texts the procedures show, and the step each names. A step's own text (a failure) takes the
// cause when it is shown; a progress text only says which step runs now.
enum class Shows : uint8_t { Progress, Failure, FailureOfData };   // data: a compare, not a command

struct StepText {
    std::string_view text;
    Shows shows;
    const char* step;
    const char* detail;
};

constexpr const char* kErase = "erasing the flash";
constexpr const char* kProgram = "programming the flash";
constexpr const char* kReadBack = "reading the flash back";
constexpr const char* kDescriptor = "reading the chip's buffer descriptor";
constexpr const char* kFileCheck = "checking the firmware file";
constexpr const char* kSetUp = "setting up the update";
constexpr const char* kCompare = "comparing the flash with the image";
constexpr const char* kDiffers = "the flash read back differs from what was written";

constexpr StepText kStepTexts[] = {
    {kTextErasing, Shows::Progress, kErase, ""},
    {"Erasing flash.", Shows::Progress, kErase, ""},
    {kTextProgramming, Shows::Progress, kProgram, ""},
    {"Programing flash.", Shows::Progress, kProgram, ""},
    {"update_func: update flash.", Shows::Progress, kProgram, ""},
    {kTextProgrammingFlash, Shows::Progress, "programming the flash through the chip's buffer", ""},
    {kTextReading, Shows::Progress, kReadBack, ""},
    {"update_func: compare flash.", Shows::Progress, kReadBack, ""},
    {"update_func: read nvram back.", Shows::Progress, "reading the chip's NVRAM", ""},
    {"update_func: check flash type.", Shows::Progress, "identifying the flash", ""},
    {kTextDownloading, Shows::Progress, "downloading the manufacturing code into the chip's RAM", ""},

    {kTextAllocError, Shows::Failure, kSetUp, "the tool could not allocate its buffers"},
    {kTextAllocReadError, Shows::Failure, kSetUp, "the tool could not allocate its buffers"},
    {kTextAllocWriteError, Shows::Failure, kSetUp, "the tool could not allocate its buffers"},
    {"update_func: allocate resources fail.", Shows::Failure, kSetUp, "the tool could not allocate its buffers"},
    {kTextAmicUnknown, Shows::Failure, "choosing how to erase the flash", "this AMIC flash model is not supported"},
    {kTextAtmelFail, Shows::Failure, "enabling writes on the ATMEL flash", ""},
    {kTextBackupNvramFail, Shows::Failure, "reading the chip's NVRAM before the update", ""},
    {kTextBoundaryError, Shows::Failure, kDescriptor, "the chip's buffer is not in the state the update needs"},
    {kTextCapacityError, Shows::Failure, kDescriptor, "the chip reports a buffer capacity the update cannot use"},
    {kTextDescriptorError, Shows::Failure, kDescriptor, ""},
    {kTextChipEraseFail, Shows::Failure, kErase, ""},
    {kTextEraseCommandFail, Shows::Failure, kErase, ""},
    {kTextCodeWithoutNvram, Shows::Failure, kFileCheck, "the file starts with the code where this chip keeps its NVRAM"},
    {kTextFileBiggerThanFlash, Shows::Failure, kFileCheck, "the file is larger than the flash"},
    {kTextFwBiggerThanFlash, Shows::Failure, kFileCheck, "the file is larger than the flash"},
    {kTextOpenFileError, Shows::Failure, "opening the firmware file", "the file cannot be read"},
    {"update_func: image too short.", Shows::Failure, "checking the bundle image", "the image is too short"},
    {kTextCompareFail, Shows::FailureOfData, kCompare, kDiffers},
    {kTextLegacyCompareFail, Shows::FailureOfData, kCompare, kDiffers},
    {"update_func: data compare fail.", Shows::FailureOfData, kCompare, kDiffers},
    {kTextHddCompareFail, Shows::FailureOfData, "comparing the firmware area on the disk",
     "the disk read back differs from what was written"},
    {kTextNotErased, Shows::FailureOfData, "checking the erase", "the flash is not blank after the erase"},
    {kTextDownloadFail, Shows::Failure, "downloading the manufacturing code into the chip's RAM", ""},
    {kTextHddReadFail, Shows::Failure, "reading the firmware area on the disk back", ""},
    {kTextHddRead16Fail, Shows::Failure, "reading the firmware area on the disk back", ""},
    {kTextHddWriteFail, Shows::Failure, "writing the firmware area on the disk", ""},
    {kTextHddWrite16Fail, Shows::Failure, "writing the firmware area on the disk", ""},
    {kTextLegacyReadFail, Shows::Failure, kReadBack, ""},
    {kTextReadCommandFail, Shows::Failure, kReadBack, ""},
    {kTextReadFwFail, Shows::Failure, kReadBack, ""},
    {"update_func: read flash fail.", Shows::Failure, kReadBack, ""},
    {kTextReadAfterEraseFail, Shows::Failure, "reading the flash back after the erase", ""},
    {kTextReadErasedError, Shows::Failure, "reading the flash back after the erase", ""},
    {kTextNotReadyAfterErase, Shows::Failure, "waiting for the flash after the erase", "the flash stayed busy"},
    {kTextNvramBackFail, Shows::Failure, "writing the kept NVRAM back", ""},
    {kTextProductReadFail, Shows::Failure, "reading back the product record", ""},
    {"QV_WriteProductInfo fail.", Shows::Failure, "writing the product record", ""},
    {"FW and Chip not match.", Shows::Failure, "checking the image against the chip",
     "the manufacturing code runs for another chip than the image is for"},
    {kTextProgrammingFail, Shows::Failure, kProgram, ""},
    {kTextWriteBinFail, Shows::Failure, kProgram, ""},
    {kTextWriteCommandFail, Shows::Failure, kProgram, ""},
    {"update_func: update falsh fail.", Shows::Failure, kProgram, ""},
    {kTextRecoveryFail, Shows::Failure, "recovering the firmware bank", ""},
};

std::string_view trimmed(std::string_view t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.remove_suffix(1);
    return t;
}

const StepText* stepOf(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return nullptr;
    for (const StepText& s : kStepTexts)
        if (trimmed(s.text) == text) return &s;
    return nullptr;
}

constexpr const char* kSenseKeys[16] = {
    "NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",   "HARDWARE ERROR",  "ILLEGAL REQUEST",
    "UNIT ATTENTION",  "DATA PROTECT",    "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
    "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};

std::string describe(const FailedCommand& c, std::string (*errorText)(uint32_t)) {
    const std::string sysError = "system error " + std::to_string(c.sysError) +
                                 (errorText ? " (" + errorText(c.sysError) + ")" : std::string());
    const bool gone = c.sysError == ENODEV || c.sysError == ENXIO || c.sysError == ENOENT;
    if (!c.opened) {
        if (c.sysError == EBUSY) return "another program has the device open (" + sysError + "; asked again, still held)";
        if (c.sysError == EACCES || c.sysError == EPERM) return "no permission to open the device's node (" + sysError + ")";
        if (gone) return "the enclosure left the bus (" + sysError + ")";
        if (c.sysError == EOVERFLOW)
            return "command " + c.cdb + " moves " + std::to_string(c.length) +
                   " bytes, more than the device's host lets through in one command (its transfer limit); it was not sent";
        if (c.sysError == 0) return "the device could not be opened: it has left the bus, or it is no bridge of ours";
        return "the device could not be opened, " + sysError;
    }
    if (gone) return "the enclosure left the bus during command " + c.cdb + " (" + sysError + ")";
    std::string s = "command " + c.cdb + " ended with";
    if (c.dataOut && c.residual && !c.host && !c.driver && !c.status && !c.sysError)
        return s + " only " + std::to_string(c.length - std::min(c.residual, c.length)) + " of " + std::to_string(c.length) +
               " bytes sent (data-out residue " + std::to_string(c.residual) + ")";
    if (c.host) s += " host status 0x" + sys::hexByte(c.host);
    if (c.driver) s += std::string(c.host ? "," : "") + " driver status 0x" + sys::hexByte(c.driver);
    if (c.status || (!c.host && !c.driver)) {
        s += std::string(c.host || c.driver ? "," : "") + " status " + std::to_string(c.status);
        if (c.status == 2) s += " (CHECK CONDITION)";
    }
    // Fixed (70h/71h) or descriptor (72h/73h) format.
    if (c.sense.size() >= 3) {
        const bool descriptor = (c.sense[0] & 0x7E) == 0x72;
        const uint8_t key = (descriptor ? c.sense[1] : c.sense[2]) & 0x0F;
        const uint8_t asc = descriptor ? c.sense[2] : (c.sense.size() > 12 ? c.sense[12] : 0);
        const uint8_t ascq = descriptor ? (c.sense.size() > 3 ? c.sense[3] : 0) : (c.sense.size() > 13 ? c.sense[13] : 0);
        s += ", sense key " + sys::hexByte(key) + " " + kSenseKeys[key] + ", ASC/ASCQ " + sys::hexByte(asc) + "/" + sys::hexByte(ascq);
    }
    if (c.sysError) s += ", " + sysError;
    return s;
}

}  // namespace

std::string FailureCause::line(std::string (*errorText)(uint32_t)) const {
    std::string s = step.empty() ? "the update" : step;
    if (address) {
        char a[24];
        std::snprintf(a, sizeof a, " at 0x%06X", *address);
        s += a;
    }
    s += ": ";
    if (!detail.empty()) s += detail;
    else if (command) s += describe(*command, errorText);
    else s += "failed";
    return s;
}

FailureWatch::FailureWatch()
    : previous_(tWatch), listener_([this](const transport::TraceEntry& e) { onCommand(e); }) {
    tWatch = this;
}

FailureWatch::~FailureWatch() { tWatch = previous_; }

FailureWatch* FailureWatch::current() { return tWatch; }

void FailureWatch::onCommand(const transport::TraceEntry& e) {
    if (!e.cdb) return;
    const transport::Cdb& cdb = *e.cdb;
    if (e.opened && vendor::cdb::changesDevice(cdb)) changed_ = true;
    const std::string hex = cdb.hex();
    if (e.ok) {
        if (const auto a = vendor::cdb::flashAddressOf(cdb)) lastAddress_ = a;
        if (e.dir == transport::Direction::In && e.residual > 0 && e.residual <= e.xfer)
            lastShortRead_ = "a read returned only " + std::to_string(e.xfer - e.residual) + " of " + std::to_string(e.xfer) +
                             " bytes (command " + hex + ")";
        // A command that was retried and went through is no cause.
        if (lastFailed_ && lastFailed_->cdb == hex) lastFailed_.reset();
        return;
    }
    FailedCommand f;
    f.cdb = hex;
    f.opened = e.opened;
    f.sysError = e.sysError;
    f.status = e.status;
    f.host = e.host;
    f.driver = e.driver;
    f.dataOut = e.dir == transport::Direction::Out;
    f.length = e.xfer;
    f.residual = e.residual;
    if (e.sense && e.senseLen) f.sense.assign(e.sense, e.sense + e.senseLen);
    lastFailed_ = std::move(f);
    lastFailedAddress_ = vendor::cdb::flashAddressOf(cdb);
}

void FailureWatch::noteText(std::string_view text) {
    const StepText* s = stepOf(text);
    if (!s) return;
    if (s->shows == Shows::Progress) {
        if (steps_.empty() || steps_.back() != s->step) steps_.emplace_back(s->step);
        step_ = s->step;
        lastFailed_.reset();
        return;
    }
    FailureCause c;
    c.step = s->step;
    c.detail = s->detail;
    c.deviceChanged = changed_;
    if (s->shows == Shows::FailureOfData) {
        c.address = lastAddress_;   // the read whose data did not hold
        if (!lastShortRead_.empty()) c.detail = (c.detail.empty() ? "" : c.detail + "; ") + lastShortRead_;
    } else if (lastFailed_) {
        c.command = lastFailed_;
        c.address = lastFailedAddress_;
    }
    taken_ = std::move(c);
}

void FailureWatch::noteNotBack(unsigned seconds) {
    FailureCause c;
    c.step = "waiting for the bridge after its reset";
    c.detail = "the bridge did not come back within " + std::to_string(seconds) + " s after its reset";
    c.deviceChanged = changed_;
    taken_ = std::move(c);
}

void FailureWatch::noteFailure(std::string step, std::string detail) {
    FailureCause c;
    c.step = std::move(step);
    c.detail = std::move(detail);
    c.deviceChanged = changed_;
    taken_ = std::move(c);
}

FailureCause FailureWatch::cause() const {
    if (taken_) return *taken_;
    FailureCause c;
    c.step = step_;
    c.deviceChanged = changed_;
    if (lastFailed_) {
        c.command = lastFailed_;
        c.address = lastFailedAddress_;
    } else if (step_ == kReadBack) {
        c.step = kCompare;
        c.detail = kDiffers;
        if (!lastShortRead_.empty()) c.detail += "; " + lastShortRead_;
    }
    return c;
}

}  // namespace firmware
