// Discovery of the machine's own devices, on a pretend sysfs tree: which nodes are sent a vendor
// command without being asked, the bus each is found on, and what a user is told when nothing is
// found or a node may not be opened.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <map>
#include <set>
#include <sstream>

#include "cli/cli.h"
#include "cli/session.h"
#include "support/fake_sysfs.h"
#include "sys/bytes.h"
#include "transport/backend.h"

using testing_support::FakeSysfs;

namespace {

// The devices behind the nodes: each answers INQUIRY (naming a bridge where told) and the GPIO
// read, and refuses everything else; a node may refuse to be opened for lack of rights.
class Machine final : public transport::Backend {
public:
    std::map<std::string, std::string> inquiryCode;
    std::set<std::string> denied;
    std::vector<std::pair<std::string, std::string>> sent;   // path, CDB in hex

    transport::Result execute(const transport::Request& req) override {
        const std::string path(req.path);
        sent.emplace_back(path, sys::toHex(req.cdb, req.cdbLen));
        transport::Result r;
        if (denied.count(path)) {
            r.lastError = EACCES;
            return r;
        }
        r.opened = r.platformOk = true;
        r.reported = req.xferLen;
        if (req.cdb[0] == 0x12) {
            if (auto it = inquiryCode.find(path); it != inquiryCode.end() && req.xferLen >= 40)
                std::copy(it->second.begin(), it->second.end(), req.data + 36);
        } else if (!(req.cdb[0] == 0xDF && req.cdb[11] == 0xFF)) {
            r.scsiStatus = 2;
        }
        return r;
    }
    std::set<std::string> gpioReadsTo() const {
        std::set<std::string> s;
        for (const auto& [path, cdb] : sent)
            if (cdb.starts_with("df")) s.insert(path);
        return s;
    }
};

struct CliDiscovery : ::testing::Test {
    FakeSysfs sysfs;
    Machine machine;
    transport::ScopedBackend scope{machine};
    cli::HardwareSessionFactory old =
        cli::setHardwareSessionFactory([this] { return cli::makeHardwareSession(sysfs.root.string()); });
    ~CliDiscovery() override { cli::setHardwareSessionFactory(old); }
};

}  // namespace

TEST_F(CliDiscovery, VendorCommandsGoOnlyToDevicesThatIntroduceThemselvesAsOurs) {
    sysfs.add("sg0", "pci0/ata1/host0/target0:0:0/0:0:0:0", "pci0/ata1", "ahci", "sda");   // internal disk
    sysfs.addUsb("sg1", 1, "usb-storage", 0x728D, 0x5280);   // our vendor id; INQUIRY names no bridge
    sysfs.addUsb("sg2", 2, "usb-storage", 0x0BC2, 0x2322);   // another maker's disk
    sysfs.addUsb("sg3", 3, "uas", 0x152D, 0x0578);           // another id: not asked, whatever its INQUIRY's byte 36 says
    sysfs.addFireWire("sg4", 1, 0x0030E0);                   // our bridges' 1394 vendor
    sysfs.addFireWire("sg5", 2, 0x00D04B);                   // another 1394 vendor
    machine.inquiryCode["/dev/sg3"] = "q298";

    using vendor::Bus;
    struct Case {
        const char* what;
        cli::ProbePolicy policy;
        std::map<std::string, Bus> found;
        std::set<std::string> asked, unprobed;
    };
    const Case cases[] = {
        {"unasked", {}, {{"/dev/sg1", Bus::Usb}, {"/dev/sg4", Bus::Ieee1394}}, {"/dev/sg1", "/dev/sg4"},
         {"/dev/sg2", "/dev/sg3", "/dev/sg5"}},
        {"a settings file's VID/PID", {false, 0x0BC2, 0x2322},
         {{"/dev/sg1", Bus::Usb}, {"/dev/sg2", Bus::Usb}, {"/dev/sg4", Bus::Ieee1394}},
         {"/dev/sg1", "/dev/sg2", "/dev/sg4"}, {"/dev/sg3", "/dev/sg5"}},
        {"--probe-all", {true, {}, {}},
         {{"/dev/sg1", Bus::Usb}, {"/dev/sg2", Bus::Usb}, {"/dev/sg3", Bus::Uas}, {"/dev/sg4", Bus::Ieee1394},
          {"/dev/sg5", Bus::Ieee1394}},
         {"/dev/sg1", "/dev/sg2", "/dev/sg4", "/dev/sg5"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto session = cli::makeHardwareSession(sysfs.root.string());
        // The wait for a bridge after its reset scans again and again through one session: a
        // device left unasked gets the kernel's own INQUIRY once, not one each time.
        for (int scan = 0; scan < 3; ++scan) {
            machine.sent.clear();
            std::map<std::string, Bus> found;
            for (const auto& f : session->candidates(c.policy)) found[f.path] = f.bus.value_or(Bus::Usb);
            EXPECT_EQ(found, c.found);
            std::set<std::string> unprobed;
            for (const auto& u : session->leftUnprobed()) unprobed.insert(u.substr(0, u.find(' ')));
            EXPECT_EQ(unprobed, c.unprobed);
            std::map<std::string, std::vector<std::string>> toUnprobed;
            for (const auto& [path, cdb] : machine.sent) {
                EXPECT_NE(path, "/dev/sg0");
                if (c.unprobed.count(path)) toUnprobed[path].push_back(cdb);
            }
            std::map<std::string, std::vector<std::string>> once;
            for (const auto& u : scan == 0 ? c.unprobed : std::set<std::string>{}) once[u] = {"120000002400"};
            EXPECT_EQ(toUnprobed, once);
            EXPECT_EQ(machine.gpioReadsTo(), c.asked);
        }
    }
}

TEST_F(CliDiscovery, NothingFoundSaysWhatWasLeftUnaskedAndWhatWasDenied) {
    sysfs.addUsb("sg1", 1, "usb-storage", 0x728D, 0x5280);
    sysfs.addUsb("sg2", 2, "usb-storage", 0x0BC2, 0x2322);
    sysfs.addFireWire("sg3", 1, 0x00D04B);
    machine.denied.insert("/dev/sg1");

    std::ostringstream out, err;
    EXPECT_EQ(cli::runCli({"list"}, out, err), cli::kExitNoDevice);
    const std::string e = err.str();
    EXPECT_NE(e.find("cannot open /dev/sg1: permission denied"), std::string::npos) << e;
    EXPECT_NE(e.find("60-q55x.rules"), std::string::npos) << e;
    EXPECT_NE(e.find("udevadm"), std::string::npos) << e;
    EXPECT_NE(e.find("No available device!!!\n2 USB or 1394 storage devices were not asked"), std::string::npos) << e;
    EXPECT_NE(e.find("--probe-all"), std::string::npos) << e;
    EXPECT_TRUE(machine.gpioReadsTo().empty());

    std::ostringstream jout, jerr;
    EXPECT_EQ(cli::runCli({"--json", "list"}, jout, jerr), cli::kExitNoDevice);
    EXPECT_EQ(nlohmann::json::parse(jout.str())["error"]["unprobed"], 2);

    cli::runCli({"--probe-all", "list"}, out, err);
    EXPECT_EQ(machine.gpioReadsTo(), (std::set<std::string>{"/dev/sg2", "/dev/sg3"}));
}

// A named device obeys discovery's rule by any of its names; `list` shows what the system knows.
TEST_F(CliDiscovery, ANamedDeviceObeysTheRuleByAnyOfItsNames) {
    sysfs.addUsb("sg1", 1, "usb-storage", 0x728D, 0x5280);   // ours by its vendor id
    sysfs.addUsb("sg2", 2, "usb-storage", 0x0BC2, 0x2322);   // another maker's disk
    const std::filesystem::path dev = sysfs.root / "dev";
    std::filesystem::create_directories(dev / "disk/by-id");
    std::ofstream(dev / "sd1").close();
    std::filesystem::create_symlink("../../sd1", dev / "disk/by-id/usb-Corvane_Q-0:0");
    std::ofstream(sysfs.root / "devices/pci0/usb1/1-1/serial") << "0123\n";
    cli::setHardwareSessionFactory([this, dev] { return cli::makeHardwareSession(sysfs.root.string(), dev.string()); });

    struct Case { std::vector<std::string> args; std::set<std::string> asked; };
    for (const Case& c : std::initializer_list<Case>{
             {{"--device", "/dev/sg2", "info"}, {}},
             {{"--device", "/dev/sd2", "info"}, {}},
             {{"--probe-all", "--device", "/dev/sd2", "info"}, {"/dev/sg2"}},
             {{"--device", (dev / "disk/by-id/usb-Corvane_Q-0:0").string(), "info"}, {"/dev/sg1"}}}) {
        SCOPED_TRACE(c.args[c.args.size() - 2]);
        machine.sent.clear();
        std::ostringstream out, err;
        cli::runCli(c.args, out, err);
        EXPECT_EQ(machine.gpioReadsTo(), c.asked);
    }
    machine.inquiryCode["/dev/sg1"] = "q298";   // answers as a bridge: listed with its facts
    std::ostringstream out, err;
    cli::runCli({"--json", "list"}, out, err);
    const auto d = nlohmann::json::parse(out.str());
    ASSERT_EQ(d.size(), 1u) << out.str() << err.str();
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"sg_node", "/dev/sg1"}, {"block_node", "/dev/sd1"}, {"by_id", (dev / "disk/by-id/usb-Corvane_Q-0:0").string()},
             {"usb_vendor", "728d"}, {"usb_product", "5280"}, {"serial", "0123"}, {"port", "1-1"}, {"bus", "usb"}})
        EXPECT_EQ(d[0][key], value) << key;
    EXPECT_EQ(d[0]["schema_version"], 1);
    EXPECT_TRUE(d[0]["volumes"].is_array());
}
