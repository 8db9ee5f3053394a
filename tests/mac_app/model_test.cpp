// The controller identity, the controller list with its display order, and the hex text helper.
#include <gtest/gtest.h>

#include "mac_app/model/controller.h"
#include "mac_app/model/qvtool.h"

using raid::controller_t;

namespace {

controller_t firewire(uint64_t guid) {
    controller_t c;
    c.is_firewire = true;
    c.guid = guid;
    c.order_key = guid;
    return c;
}

controller_t usb(uint32_t vid, uint32_t pid, uint64_t key = 0) {
    controller_t c;
    c.vendor_id = vid;
    c.product_id = pid;
    c.usb_key = key;
    return c;
}

}  // namespace

TEST(RaidController, EqualityFollowsTheTransport) {
    EXPECT_EQ(firewire(5), firewire(5));
    EXPECT_NE(firewire(5), firewire(3));
    controller_t a = firewire(5);
    a.vendor_id = 1;   // FireWire identity is the GUID alone
    EXPECT_EQ(a, firewire(5));

    EXPECT_EQ(usb(0x728D, 0x7A3C), usb(0x728D, 0x7A3C));
    EXPECT_NE(usb(0x728D, 0x7A3C), usb(0x728D, 0x7A3D));
    EXPECT_NE(usb(0x728D, 0x7A3C), usb(0x728E, 0x7A3C));
    EXPECT_NE(usb(0x728D, 0x7A3C, 1), usb(0x728D, 0x7A3C, 2));
    controller_t b = usb(0x728D, 0x7A3C);
    b.guid = 9;
    b.serial_text = "X";   // neither counts for USB
    EXPECT_EQ(b, usb(0x728D, 0x7A3C));

    controller_t f = firewire(0);
    controller_t u = usb(0, 0);
    EXPECT_NE(f, u) << "transports differ";
}

TEST(RaidController, ClearAndAssignment) {
    controller_t c = firewire(0x1234);
    c.serial_text = "SN1";
    c.vendor_id = 7;
    c.usb_key = 8;
    c.product_id = 9;
    c.clear();
    EXPECT_FALSE(c.is_firewire);
    EXPECT_EQ(c.guid, 0u);
    EXPECT_EQ(c.order_key, 0u);
    EXPECT_EQ(c.product_id, 0u);
    EXPECT_TRUE(c.serial_text.empty());
    EXPECT_EQ(c.vendor_id, 7u) << "clear leaves the vendor";
    EXPECT_EQ(c.usb_key, 8u);

    controller_t src = usb(1, 2, 3);
    src.serial_text = "abc";
    src.guid = 4;
    src.order_key = 5;
    controller_t dst = firewire(77);
    dst = src;
    EXPECT_EQ(dst.vendor_id, 1u);
    EXPECT_EQ(dst.product_id, 2u);
    EXPECT_EQ(dst.usb_key, 3u);
    EXPECT_EQ(dst.serial_text, "abc");
    EXPECT_EQ(dst.guid, 4u);
    EXPECT_EQ(dst.order_key, 5u);
    EXPECT_FALSE(dst.is_firewire);
}

TEST(RaidController, HexText) {
    EXPECT_EQ(raid::inttohexstring(0x1A2B, 0), "1A2B");
    EXPECT_EQ(raid::inttohexstring(0x1A2B, 6), "001A2B");
    EXPECT_EQ(raid::inttohexstring(0x1A2B, 3), "1A2B") << "width never cuts";
    EXPECT_EQ(raid::inttohexstring(0, 0), "");
    EXPECT_EQ(raid::inttohexstring(0, 4), "0000");
    EXPECT_EQ(raid::inttohexstring(-5, 0), "");
    EXPECT_EQ(raid::inttohexstring(0xabcdef, 0), "ABCDEF");
    EXPECT_EQ(raid::inttohexstring(0x0030E0F000000001ll, 0), "30E0F000000001");
    EXPECT_EQ(raid::inttohexstring(INT64_MAX, 0), "7FFFFFFFFFFFFFFF");
}

TEST(RaidList, DisplayOrderSortsByKeyThenIndex) {
    raid::qvtool t;
    t.add_controller(firewire(5), 0x10);
    t.add_controller(firewire(3), 0x11);
    t.setup_controller_map();
    ASSERT_EQ(t.controller_map.size(), 2u);
    EXPECT_EQ(t.controller_map[0], (std::pair<uint64_t, int>{3, 1}));
    EXPECT_EQ(t.controller_map[1], (std::pair<uint64_t, int>{5, 0}));

    raid::qvtool u;   // equal keys (USB: 0) keep discovery order
    u.add_controller(usb(1, 1), 0x20);
    u.add_controller(usb(2, 2), 0x21);
    u.add_controller(firewire(1), 0x22);
    u.add_controller(usb(3, 3), 0x23);
    u.setup_controller_map();
    ASSERT_EQ(u.controller_map.size(), 4u);
    EXPECT_EQ(u.controller_map[0].second, 0);
    EXPECT_EQ(u.controller_map[1].second, 1);
    EXPECT_EQ(u.controller_map[2].second, 3);
    EXPECT_EQ(u.controller_map[3].second, 2);

    u.setup_controller_map();   // rebuilt, not appended
    EXPECT_EQ(u.controller_map.size(), 4u);
}

TEST(RaidList, LookupsFindTheFirstEqualController) {
    raid::qvtool t;
    EXPECT_EQ(t.get_controller_num(usb(1, 1)), -1);
    EXPECT_FALSE(t.curr_chip_exists());
    t.add_controller(usb(1, 1), 0x30);
    t.add_controller(firewire(9), 0x31);
    t.add_controller(usb(1, 1), 0x32);
    EXPECT_EQ(t.get_controller_num(usb(1, 1)), 0);
    EXPECT_EQ(t.get_controller_num(firewire(9)), 1);
    EXPECT_TRUE(t.controller_exists(firewire(9)));
    EXPECT_FALSE(t.controller_exists(firewire(8)));
    EXPECT_EQ(t.chips[1].device, 0x31u);
    EXPECT_FALSE(t.chips[1].connection_open);
    t.current = firewire(9);
    EXPECT_TRUE(t.curr_chip_exists());
    ASSERT_NE(t.selected_chip(), nullptr);
    EXPECT_EQ(t.selected_chip()->device, 0x31u);
    t.flush_chips();
    EXPECT_TRUE(t.chips.empty());
    EXPECT_FALSE(t.curr_chip_exists());
    EXPECT_EQ(t.selected_chip(), nullptr);
}
