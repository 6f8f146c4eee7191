// Memory blocks: zero fill on every growth, addresses that were never
// blocks, and what each failing platform call leaves behind.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tembrix.h"

namespace {

int g_static_word;

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

TEST(Blocks, ForeignPointersAndFailuresKeepEveryBlock) {
    int on_stack = 7;
    auto* block = static_cast<uint8_t*>(ZmdAlloc(0x40, 256));
    ASSERT_NE(block, nullptr);
    block[10] = 42;
    void* freed = ZmdAlloc(0, 32);
    ASSERT_EQ(nullptr, ZmdFree(freed));
    for (void* p : {static_cast<void*>(&on_stack), static_cast<void*>(&g_static_word),
                    static_cast<void*>(block + 16), freed}) {
        EXPECT_EQ(p, ZmdFree(p));
        EXPECT_EQ(nullptr, ZmdReAlloc(p, 64, 0x40));
    }
    EXPECT_EQ(nullptr, ZmdFree(nullptr));
    EXPECT_EQ(nullptr, ZmdReAlloc(nullptr, 64, 0));
    EXPECT_EQ(7, on_stack);

    // A failed resize or free keeps the block as it was; a fresh object
    // that cannot be locked is freed again; a resized one that cannot be
    // locked is lost to the caller, but not leaked.
    int32_t live = tbx::fault::live_objects();
    tbx::fault::arm(1, tbx::fault::kReAlloc);
    EXPECT_EQ(nullptr, ZmdReAlloc(block, 100000, 0x40));
    tbx::fault::arm(1, tbx::fault::kFree);
    EXPECT_EQ(block, ZmdFree(block));
    tbx::fault::arm(0);
    EXPECT_EQ(42, block[10]);
    block = static_cast<uint8_t*>(ZmdReAlloc(block, 512, 0x40));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(42, block[10]);
    EXPECT_EQ(0, block[300]);
    tbx::fault::arm(1, tbx::fault::kLock);
    EXPECT_EQ(nullptr, ZmdAlloc(0x40, 64));
    EXPECT_TRUE(tbx::fault::fired());
    tbx::fault::arm(1, tbx::fault::kLock);
    EXPECT_EQ(nullptr, ZmdReAlloc(block, 1024, 0x40));
    tbx::fault::arm(0);
    EXPECT_EQ(block, ZmdFree(block));
    EXPECT_EQ(live - 1, tbx::fault::live_objects());
}

}  // namespace
