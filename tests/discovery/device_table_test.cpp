// The device table's scan over the candidates it is handed: a path longer than a record keeps is
// left out whole, never cut short and spoken to under the shortened name.
#include <gtest/gtest.h>

#include "support/fake_backend.h"
#include "transport/backend.h"
#include "discovery/device_table.h"

TEST(DeviceTable, PathLongerThanARecordIsLeftOutUnspoken) {
    testing_support::FakeBackend fake;
    transport::ScopedBackend scope(fake);
    const std::string fits(vendor::kDevicePathCapacity, 'a');
    const std::string tooLong = fits + "b";
    const auto listing = vendor::listBridges({{tooLong, {}}, {fits, {}}}, {});
    EXPECT_EQ(listing.candidates, 2u);
    EXPECT_EQ(listing.pathTooLong, 1u);
    ASSERT_FALSE(fake.sent().empty());
    for (const auto& s : fake.sent()) EXPECT_EQ(s.path, fits);
}
