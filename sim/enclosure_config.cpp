#include "sim/enclosure_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "sim/chip_personas.h"
#include "sim/flash_parts.h"

namespace sim {

namespace {

constexpr const char* kKeys =
    "fw flash rev bus state persist resetms disk sector infolen status17 fail failop failevery notready stuckbusy short flip "
    "powercut drop noreturn twins seed clock lost hang statusfail notreadyms renode resetjitter serial romid usbid "
    "outresidue xferlimit inuse writecache powercutms gentle times reply8";

bool parseUnsigned(std::string_view s, uint64_t& v, int base = 10) {
    if (s.empty()) return false;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    return ec == std::errc() && p == s.data() + s.size();
}

bool parseVersion(std::string_view s, std::vector<uint8_t>& out) {
    out.clear();
    while (true) {
        const size_t dot = s.find('.');
        uint64_t n = 0;
        if (!parseUnsigned(s.substr(0, dot), n) || n > 255) return false;
        out.push_back(static_cast<uint8_t>(n));
        if (dot == std::string_view::npos) break;
        s.remove_prefix(dot + 1);
    }
    return out.size() <= 5;
}

bool isHex(std::string_view s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return !s.empty();
}

}  // namespace

const char* busName(BusKind b) {
    switch (b) {
        case BusKind::Usb: return "usb";
        case BusKind::Uas: return "uas";
        case BusKind::Ieee1394: return "1394";
    }
    return "usb";
}

bool parseEnclosureConfig(std::string_view text, EnclosureConfig& out, std::string& error) {
    out = EnclosureConfig{};
    std::vector<std::string_view> parts;
    while (true) {
        const size_t comma = text.find(',');
        parts.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    const std::string model(parts[0]);
    if (!findChipPersona(model)) {
        error = "unknown model '" + model + "'; valid models: " + chipPersonaNames();
        return false;
    }
    out.model = model;

    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string_view item = parts[i];
        const size_t eq = item.find('=');
        const std::string key(item.substr(0, eq));
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        const auto bad = [&](const char* what) {
            error = "bad value '" + std::string(value) + "' for " + key + ": " + what;
            return false;
        };
        if (eq == std::string_view::npos || value.empty()) {
            error = std::string("'").append(item) + "' is not key=value; valid keys: " + kKeys;
            return false;
        }
        uint64_t n = 0;
        if (key == "fw") {
            std::vector<uint8_t> v;
            if (!parseVersion(value, v)) return bad("expected 1 to 5 dotted numbers 0-255, e.g. 31.01.01.10");
            out.firmware = v;
        } else if (key == "flash") {
            if (value == "none") {
                out.noFlash = true;
            } else if ((isHex(value) && findFlashPart(value)) || findFlashPart(value)) {
                out.flash = std::string(value);
            } else {
                return bad(("unknown flash part; valid: none " + flashPartKeys()).c_str());
            }
        } else if (key == "rev") {
            if (!parseUnsigned(value, n) || n > 9) return bad("expected 0 to 9");
            out.revision = static_cast<int>(n);
        } else if (key == "bus") {
            if (value == "usb") out.bus = BusKind::Usb;
            else if (value == "uas") out.bus = BusKind::Uas;
            else if (value == "1394") out.bus = BusKind::Ieee1394;
            else return bad("expected usb, uas or 1394");
        } else if (key == "clock") {
            if (value == "real") out.realClock = true;
            else if (value == "virtual") out.realClock = false;
            else return bad("expected virtual or real");
        } else if (key == "state") {
            out.stateFile = std::string(value);
        } else if (key == "persist") {
            if (value == "each") out.persistEach = true;
            else if (value == "shared") out.persistEach = out.sharedState = true;
            else if (value == "exit") out.persistEach = out.sharedState = false;
            else return bad("expected each or exit, or shared");
        } else if (key == "resetms") {
            if (!parseUnsigned(value, n) || n > 600000) return bad("expected milliseconds up to 600000");
            out.resetDelayMs = static_cast<uint32_t>(n);
        } else if (key == "disk") {
            if (!parseUnsigned(value, n) || n == 0 || n > (1ull << 48)) return bad("expected a sector count");
            out.diskSectors = n;
        } else if (key == "sector") {
            if (!parseUnsigned(value, n) || (n != 512 && n != 4096)) return bad("expected 512 or 4096");
            out.diskSectorSize = static_cast<uint32_t>(n);
        } else if (key == "inuse" && value == "held") {
            out.diskInUse = true;
        } else if (key == "inuse" && value != "0") {
            if (value != "1" && (value.empty() || value.front() != '/')) return bad("expected 1, held or a mount point");
            out.diskMountedOn = value == "1" ? std::string("/media/enclosure") : std::string(value);
            out.diskInUse = true;
        } else if (key == "infolen") {
            if (!parseUnsigned(value, n) || n < 1 || n > 16) return bad("expected 1 to 16");
            out.chipInfoLength = static_cast<uint32_t>(n);
        } else if (key == "status17") {
            if (!parseUnsigned(value, n) || n > 255) return bad("expected 0 to 255");
            out.statusByte17 = static_cast<uint8_t>(n);
        } else if (key == "failop") {
            if (value.size() != 2 || !parseUnsigned(value, n, 16)) return bad("expected two hex digits");
            out.failOpcode = static_cast<int>(n);
        } else if (key == "times") {
            if (value == "typical") out.worstTimes = false;
            else if (value == "worst") out.worstTimes = true;
            else return bad("expected typical or worst");
        } else if (key == "powercutms") {
            if (!parseUnsigned(value, n) || n == 0 || n > (1ull << 40)) return bad("expected milliseconds from 1");
            out.powerCutMs = n;
        } else if (bool* flag = key == "stuckbusy"    ? &out.stuckBusy
                                : key == "noreturn"   ? &out.noReturn
                                : key == "twins"      ? &out.twins
                                : key == "renode"     ? &out.renode
                                : key == "outresidue" ? &out.outResidue
                                : key == "inuse"      ? &out.diskInUse
                                : key == "writecache" ? &out.writeCache
                                : key == "gentle"     ? &out.gentle
                                : key == "reply8"     ? &out.responseByCount
                                                      : nullptr) {
            if (value != "0" && value != "1") return bad("expected 0 or 1");
            *flag = value == "1";
        } else if (key == "notreadyms" || key == "resetjitter") {
            if (!parseUnsigned(value, n) || n > 600000) return bad("expected milliseconds up to 600000");
            (key == "notreadyms" ? out.notReadyMs : out.resetJitterMs) = static_cast<uint32_t>(n);
        } else if (key == "xferlimit") {
            if (!parseUnsigned(value, n) || n < 1 || n > 16384) return bad("expected KiB from 1 to 16384");
            out.transferLimitKiB = static_cast<uint32_t>(n);
        } else if (key == "serial") {
            // The characters a device path can carry as they are.
            const bool plain = std::all_of(value.begin(), value.end(), [](char ch) {
                return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.';
            });
            if (value.size() > 126 || !plain) return bad("expected up to 126 letters, digits, - _ or ., or none");
            out.usbSerial = value == "none" ? std::string() : std::string(value);
        } else if (key == "romid" || key == "usbid") {
            uint64_t pid = 0;
            const size_t colon = value.find(':');
            if (value == "none" && key == "romid") out.romIdNone = true;
            else if (colon == 4 && value.size() == 9 && parseUnsigned(value.substr(0, 4), n, 16) &&
                     parseUnsigned(value.substr(5), pid, 16))
                (key == "romid" ? out.romIds : out.hostUsbIds) = std::make_pair(static_cast<uint16_t>(n), static_cast<uint16_t>(pid));
            else return bad(key == "romid" ? "expected VVVV:PPPP in hex, or none" : "expected VVVV:PPPP in hex");
        } else if (key == "fail" || key == "failevery" || key == "notready" || key == "short" || key == "flip" ||
                   key == "powercut" || key == "drop" || key == "seed" || key == "lost" || key == "hang" ||
                   key == "statusfail") {
            if (!parseUnsigned(value, n)) return bad("expected a number");
            if (key != "seed" && n == 0) return bad("expected a number from 1");
            if (key == "fail") out.failAt = n;
            else if (key == "failevery") out.failEvery = n;
            else if (key == "notready") out.notReady = static_cast<uint32_t>(std::min<uint64_t>(n, 0xFFFFFFFFu));
            else if (key == "short") out.shortAt = n;
            else if (key == "flip") out.flipEvery = n;
            else if (key == "powercut") out.powerCutAt = n;
            else if (key == "drop") out.dropAt = n;
            else if (key == "lost") out.loseStatusAt = n;
            else if (key == "hang") out.hangAt = n;
            else if (key == "statusfail") out.statusFailEvery = n;
            else out.seed = n;
        } else {
            error = "unknown key '" + key + "'; valid keys: " + kKeys;
            return false;
        }
    }
    if (out.persistEach && out.stateFile.empty()) {
        error = "persist=each needs state=FILE";
        return false;
    }
    return true;
}

std::string simHelpText() {
    return std::string(
               "Virtual enclosures: --sim ENCLOSURE (repeat the option for more than one)\n"
               "\n"
               "  ENCLOSURE = MODEL[,key=value]...\n"
               "\n"
               "MODEL: ") +
           chipPersonaNames() +
           "\n"
           "  (qv84553g qv84550g qv84556g qv84552g: chips without a chip information record, told apart\n"
           "   by their GPIO bits 5-6 = 0..3; qv84559u: the chip with USB identifiers 728D/5E2A)\n"
           "\n"
           "Keys:\n"
           "  fw=V.V.V.V        version of the well-formed firmware put in flash, dotted decimal as the\n"
           "                    chip reports it (qvr298 default 31.01.01.10)\n"
           "  flash=XXXXXX      the flash part, by its 0x9F reply in hex (or its 0x90 reply or name for\n"
           "                    parts without one); flash=none: no flash\n"
           "  rev=N             chip revision digit\n"
           "  bus=usb|uas|1394  how the enclosure is attached (shapes its device paths)\n"
           "  state=FILE        flash and disk contents are loaded from FILE when it exists (the chip\n"
           "                    boots from them) and saved back at exit, so one enclosure lives across runs\n"
           "  persist=each|shared|exit\n"
           "                    with state=: each saves the flash and disk after every command that changes\n"
           "                    them (through a rename), so a program killed mid-update leaves the\n"
           "                    enclosure exactly as it was at that command; shared as each, and every\n"
           "                    command runs under a lock of FILE.lock on the flash and disk as FILE holds\n"
           "                    them, so several processes reach one enclosure as they reach a real node\n"
           "                    (its RAM and code state stay each process's own); exit (default) saves\n"
           "                    at exit\n"
           "  resetms=MS        time off the bus after a chip reset (default 3000)\n"
           "  disk=SECTORS      sectors of the disk behind the bridge; sector=512|4096 its logical size\n"
           "  infolen=N         the chip information record is N bytes (1-16); asked for more, the\n"
           "                    chip sends N and the rest is a residual, as the older chips answer\n"
           "  gentle=1          the flash as kind as the emulator's first versions, for comparison: commands\n"
           "                    sent while it is busy still run, no protection, no wrap, power cuts only\n"
           "                    between two bytes of one command (default 0: as unkind as a real NOR part)\n"
           "  times=typical|worst\n"
           "                    the flash's program and erase times: the datasheet's typical (default) or\n"
           "                    its maximum\n"
           "  reply8=1          FF 04 21 (flash response) answers with the count in its byte 8, not with\n"
           "                    what the host asked for\n"
           "  status17=N        byte 17 of the chip status record (1: the firmware area on the disk is\n"
           "                    counted from the disk's size, not from one block less)\n"
           "  clock=virtual|real\n"
           "                    virtual (default): waits, flash busy times and command transfers\n"
           "                    pass at once; real: they take real time, as on hardware (one clock\n"
           "                    for all the enclosures of a run: any clock=real makes it real)\n"
           "\n"
           "Faults (deterministic for a given seed):\n"
           "  fail=N            the Nth command since power-on ends in CHECK CONDITION\n"
           "  failop=HH         fail= and failevery= count only commands whose first CDB byte is HH\n"
           "  failevery=N       every Nth command ends in CHECK CONDITION\n"
           "  notready=K        the next K READ/WRITE BUFFER commands answer NOT READY (04/01)\n"
           "  stuckbusy=1       the flash busy bit never clears\n"
           "  short=N           the Nth data-in command moves fewer bytes than asked for (a residual)\n"
           "  flip=N            one bit is flipped in every Nth read of flash, buffer or disk data\n"
           "  powercut=N        power is lost during the Nth command: RAM lost, flash kept with the\n"
           "                    page in flight partly programmed, the device gone for the rest of the run\n"
           "  powercutms=MS     power is lost MS virtual milliseconds after power-on, between commands or\n"
           "                    in the flash's busy time: a program or erase then under way leaves its\n"
           "                    page, unit or chip half done, some bits reading differently each time\n"
           "  drop=N            the device leaves the bus at the Nth command\n"
           "  noreturn=1        the device does not come back after a reset\n"
           "  twins=1           the device comes back as two devices after a reset\n"
           "  lost=N            the Nth command is carried out but its status never reaches the host\n"
           "                    (a transport error: the host cannot tell what happened)\n"
           "  hang=N            the Nth command never answers: the host gives up at its time-out\n"
           "  statusfail=N      every Nth flash status read ends in CHECK CONDITION\n"
           "  notreadyms=MS     for MS after power-on and after every reset the READ/WRITE BUFFER\n"
           "                    commands answer NOT READY (04/01), however often they are sent\n"
           "  renode=1          after a reset the device comes back at another node (a new number,\n"
           "                    sg node and Windows path)\n"
           "  resetjitter=MS    the time off the bus after a reset varies by up to MS beyond resetms\n"
           "  seed=S            seed of the fault choices (default 1)\n"
           "\n"
           "Identities:\n"
           "  serial=TEXT|none  the USB serial number (default: the device number, ten digits); two\n"
           "                    enclosures with one serial are twins; none: the device reports no\n"
           "                    serial, and Windows names it by its port (7&...), as it does the second\n"
           "                    of two devices with equal serials\n"
           "  romid=VVVV:PPPP|none\n"
           "                    what the chip answers while its ROM loader or manufacturing code runs:\n"
           "                    these USB identifiers (record and bus), or none: no chip information\n"
           "                    record at all\n"
           "  usbid=VVVV:PPPP   the USB identifiers the host sees in place of the chip's: another maker's\n"
           "                    enclosure or disk (q55x sends it only the kernel's INQUIRY unless\n"
           "                    --probe-all or a settings file with these ids asks)\n"
           "\n"
           "Host realities:\n"
           "  outresidue=1|0    1 (default, as a compliant device): data-out bytes beyond the length a\n"
           "                    command takes (the pad byte of a one-byte write) come back as a residue\n"
           "  xferlimit=KIB     the host moves at most KIB per command (max_hw_sectors_kb, the 64-sector\n"
           "                    quirk: 32); a larger transfer is refused (EINVAL) and never sent\n"
           "  inuse=1|/MOUNT|held\n"
           "                    the host has the disk's first partition mounted (at /MOUNT; 1: at\n"
           "                    /media/enclosure), or held: something holds it open for itself where\n"
           "                    no mount table shows it (another mount namespace, a virtual machine)\n"
           "  writecache=1      disk writes wait in the drive's cache until SYNCHRONIZE CACHE or ATA\n"
           "                    FLUSH CACHE; a power cut or departure loses what is still cached\n"
           "\n"
           "Device paths: Windows interface paths (\\\\?\\usbstor#..., \\\\?\\scsi#... for uas,\n"
           "\\\\?\\sbp2#... for 1394), Linux-style sim:/dev/sgN, and maker-library device objects.\n";
}

}  // namespace sim
