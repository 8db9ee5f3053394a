// The registry the macOS discovery walks from a maker-library device object.
#include <gtest/gtest.h>

#include "sim/session.h"

namespace {

// Four steps up, one more when a UAS transport stands in between: the entry whose identity counts.
const sim::RegistryEntry& identityEntry(const sim::DeviceInfo& d) {
    size_t steps = 4;
    for (size_t i = 0; i < 4; ++i)
        if (d.registryParents[i].name == "IOUSBAttachedSCSI") steps = 5;
    return d.registryParents[steps - 1];
}

}  // namespace

TEST(SimRegistry, UsbUasAnd1394IdentityEntries) {
    sim::Session s;
    std::string error;
    ASSERT_TRUE(s.bus().addEnclosure("qvr298", error)) << error;
    ASSERT_TRUE(s.bus().addEnclosure("qvr298,bus=uas", error)) << error;
    ASSERT_TRUE(s.bus().addEnclosure("qvd525,bus=1394", error)) << error;
    const auto devices = s.bus().devices();
    ASSERT_EQ(devices.size(), 3u);
    uint64_t vid = 0, pid = 0, guid = 0;
    for (size_t i : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(i);
        const auto& e = identityEntry(devices[i]);
        EXPECT_TRUE(e.property("idVendor", vid));
        EXPECT_TRUE(e.property("idProduct", pid));
        EXPECT_EQ(vid, 0x728Du);
    }
    EXPECT_EQ(devices[1].registryParents[4].name, devices[0].registryParents[3].name)
        << "the UAS enclosure's USB device stands one level higher";
    const auto& fw = identityEntry(devices[2]);
    EXPECT_NE(fw.name.find("FireWire"), std::string::npos);
    EXPECT_TRUE(fw.property("GUID", guid));
    EXPECT_NE(guid, 0u);
    ASSERT_EQ(devices[0].registryChildren.size(), 3u);
    EXPECT_NE(devices[0].registryChildren[2].name.find("Media"), std::string::npos);
}
