// q55x raw: one command of the catalogue, or any CDB, to one device; the small driver that shows
// what a bridge answers.
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>

#include "sys/bytes.h"
#include "cli/commands.h"
#include "transport/scsi.h"

namespace cli {

namespace {

struct RawOptions {
    std::string cdbHex;
    int in = -1;
    std::string outHex;
    std::string outFile;
    bool sense = false;
};

int runRaw(Context& ctx, const RawOptions& o) {
    std::vector<uint8_t> cdbBytes;
    if (!parseHex(o.cdbHex, cdbBytes) || cdbBytes.size() < 6 || cdbBytes.size() > 16)
        return ctx.fail(kExitUsage, "CDB-HEX must be 6 to 16 bytes of hexadecimal digits");
    const int dataModes = (o.in >= 0) + !o.outHex.empty() + !o.outFile.empty();
    if (dataModes > 1) return ctx.fail(kExitUsage, "give at most one of --in, --out and --out-file");
    if (o.in > transport::kMaxTransfer) return ctx.fail(kExitUsage, "--in is larger than a transfer may be");

    std::vector<uint8_t> outData;
    if (!o.outHex.empty() && !parseHex(o.outHex, outData))
        return ctx.fail(kExitUsage, "--out must be hexadecimal digits");
    if (!o.outFile.empty()) {
        std::ifstream f(o.outFile, std::ios::binary);
        if (!f) return ctx.fail(kExitUsage, "cannot read " + o.outFile);
        outData.assign(std::istreambuf_iterator<char>(f), {});
    }
    if (outData.size() > static_cast<size_t>(transport::kMaxTransfer))
        return ctx.fail(kExitUsage, "the data is larger than a transfer may be");

    const std::string path = ctx.selectDevice();
    if (path.empty()) return ctx.failNoDevice();

    transport::Cdb cdb;
    cdb.len = static_cast<uint8_t>(cdbBytes.size());
    std::copy(cdbBytes.begin(), cdbBytes.end(), cdb.b.begin());

    std::vector<uint8_t> reply(static_cast<size_t>(o.in > 0 ? o.in : 0));
    uint8_t sense[18] = {};
    int reported = 0;
    bool ok;
    std::string op;
    if (o.in >= 0) {
        op = o.sense ? "ScsiDataInSense" : "ScsiDataIn";
        ok = o.sense ? transport::ScsiDataInSense(path, cdb, reply.data(), o.in, &reported, sense, 18)
                     : transport::ScsiDataIn(path, cdb, reply.data(), o.in, &reported);
    } else {
        const int len = static_cast<int>(outData.size());
        op = o.sense ? "ScsiDataOutSense" : "ScsiDataOut";
        ok = o.sense ? transport::ScsiDataOutSense(path, cdb, outData.data(), len, &reported, sense, 18)
                     : transport::ScsiDataOut(path, cdb, outData.data(), len, &reported);
    }
    const transport::Result& res = transport::lastResult();
    const std::string senseHex = sys::toHex(res.sense.data(), res.senseValid);
    if (!ok) reply.clear();   // replies of a failed command are not to be used

    if (ctx.options().json) {
        ctx.printJson({{"device", path},
                       {"op", op},
                       {"cdb", cdb.hex()},
                       {"ok", ok},
                       {"status", res.scsiStatus},
                       {"host_status", res.hostStatus},
                       {"driver_status", res.driverStatus},
                       {"errno", res.lastError},
                       {"residual", res.residual},
                       {"reported", reported},
                       {"sense", senseHex},
                       {"data", sys::toHex(reply.data(), reply.size())}});
    } else {
        auto& out = ctx.out();
        out << "device: " << path << "\n";
        out << "command: " << cdb.hex() << " (" << op << ")\n";
        out << "status: " << int(res.scsiStatus) << (ok ? " (GOOD)" : " (FAILED)") << "\n";
        if (!senseHex.empty()) out << "sense: " << senseHex << "\n";
        if (!reply.empty()) out << hexDump(reply.data(), reply.size());
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

Runner addRawCommand(CLI::App& app) {
    auto o = std::make_shared<RawOptions>();
    CLI::App* sub = app.add_subcommand("raw", "Send one SCSI command (CDB in hexadecimal) to a device");
    sub->add_option("cdb", o->cdbHex, "The CDB in hexadecimal, e.g. e0f4e7000000000000000000")->required();
    sub->add_option("--in", o->in, "Read N bytes from the device")->check(CLI::NonNegativeNumber);
    sub->add_option("--out", o->outHex, "Send these bytes (hexadecimal) to the device");
    sub->add_option("--out-file", o->outFile, "Send the contents of this file to the device");
    sub->add_flag("--sense", o->sense, "Use the sense variant and show the sense bytes");
    return [o](Context& ctx) { return runRaw(ctx, *o); };
}

}  // namespace cli
