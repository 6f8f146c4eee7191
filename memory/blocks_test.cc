// Memory blocks: zero fill on every growth. Values that are not blocks and
// failing platform calls are driven by the fuzz corpus replay, which checks
// every block's bytes and counts the platform objects after each call.
#include <cstring>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

TEST(Blocks, GrowthIsZeroFilledAndSizeZeroIsNoBlock) {
    // Growth by a few bytes at a time, the way a slot array gains a slot
    // per block, may stay in room the block already holds; the grown part
    // comes zeroed all the same, also after a shrink left old bytes behind.
    uint32_t size = 8;
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0xFF, size));  // only bit 0x40 counts
    ASSERT_NE(p, nullptr);
    for (uint32_t next; size < 6000; size = next) {
        next = size < 2048 ? size + 8 : size + 3000;
        std::memset(p, 0xAB, size);
        p = static_cast<uint8_t*>(ZmdReAlloc(p, next, 0x40));
        ASSERT_NE(p, nullptr);
        for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(0xAB, p[i]) << i;
        for (uint32_t i = size; i < next; ++i) ASSERT_EQ(0, p[i]) << "grown to " << next;
    }
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 16, 0x40));
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 64, 0x40));
    ASSERT_NE(p, nullptr);
    for (int i = 16; i < 64; ++i) ASSERT_EQ(0, p[i]) << i;
    // Resizing to 0 discards the block; the old address is no block.
    EXPECT_EQ(nullptr, ZmdReAlloc(p, 0, 0));
    EXPECT_EQ(p, ZmdFree(p));
    EXPECT_EQ(nullptr, ZmdAlloc(0x40, 0));
}

}  // namespace
