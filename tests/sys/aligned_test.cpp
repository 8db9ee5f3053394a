#include <gtest/gtest.h>

#include <cstdint>

#include "sys/aligned.h"
#include "sys/clock.h"

TEST(AlignedBuffer, ZeroFilledAndAlignedTo8192) {
    for (size_t size : {size_t{1}, size_t{4096}, size_t{65536 + 3}}) {
        sys::AlignedBuffer b(size);
        ASSERT_TRUE(b.ok());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % 8192, 0u);
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(b[i], 0) << i;
    }
    EXPECT_EQ(sys::MEMADDR_ALIGN(reinterpret_cast<void*>(8193)), reinterpret_cast<uint8_t*>(16384));
    EXPECT_EQ(sys::MEMADDR_ALIGN(reinterpret_cast<void*>(8192)), reinterpret_cast<uint8_t*>(8192));
}

TEST(VirtualClock, SleepingAdvancesAtOnce) {
    sys::VirtualClock vc(100);
    sys::ScopedClock scope(vc);
    sys::sleepMs(2000);
    EXPECT_EQ(sys::nowMs(), 2100u);
}
