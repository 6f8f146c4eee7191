// Memory blocks: addresses that stay put, zero fill, and pointers that were
// never blocks.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tembrix.h"

namespace {

int g_static_word;

TEST(Blocks, ZeroFillAndResizeKeepContents) {
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0x40, 4));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(0u, p[0] | p[1] | p[2] | p[3]);
    std::memset(p, 0xAB, 4);
    // Growing with the zero flag keeps the old bytes and zeroes the rest,
    // whether or not the block moves.
    auto* q = static_cast<uint8_t*>(ZmdReAlloc(p, 5000, 0x40));
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0xAB, q[i]);
    for (int i = 4; i < 5000; ++i) ASSERT_EQ(0, q[i]) << i;
    // Only bit 0x40 of the flags counts.
    auto* r = static_cast<uint8_t*>(ZmdAlloc(0xFF, 64));
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(0, r[i]);
    EXPECT_EQ(nullptr, ZmdFree(q));
    EXPECT_EQ(nullptr, ZmdFree(r));
}

// Growth by a few bytes at a time, the way a slot array gains one slot per
// block, may stay in room the block already holds; the grown part must come
// zeroed all the same, also after a shrink left old bytes behind it.
TEST(Blocks, SmallGrowthStepsAreZeroFilled) {
    uint32_t size = 8;
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0x40, size));
    ASSERT_NE(p, nullptr);
    for (; size < 2048; size += 8) {
        std::memset(p, 0xAB, size);
        p = static_cast<uint8_t*>(ZmdReAlloc(p, size + 8, 0x40));
        ASSERT_NE(p, nullptr);
        for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(0xAB, p[i]) << i;
        for (uint32_t i = size; i < size + 8; ++i) ASSERT_EQ(0, p[i]) << "grown to " << size + 8;
    }
    std::memset(p, 0xAB, size);
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 16, 0x40));
    ASSERT_NE(p, nullptr);
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 64, 0x40));
    ASSERT_NE(p, nullptr);
    for (int i = 16; i < 64; ++i) ASSERT_EQ(0, p[i]) << i;
    EXPECT_EQ(nullptr, ZmdFree(p));
}

TEST(Blocks, SizeZeroGivesNoBlock) {
    EXPECT_EQ(nullptr, ZmdAlloc(0x40, 0));
    EXPECT_EQ(nullptr, ZmdAlloc(0, 0));
    // Resizing to 0 discards the block: the result is null and the old
    // address is no longer a block.
    void* p = ZmdAlloc(0, 16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(nullptr, ZmdReAlloc(p, 0, 0));
    EXPECT_EQ(p, ZmdFree(p));
}

TEST(Blocks, ForeignPointersChangeNothing) {
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
    EXPECT_EQ(42, block[10]);
    EXPECT_EQ(nullptr, ZmdFree(block));
}

TEST(Blocks, FailedResizeKeepsTheOldBlock) {
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0x40, 100));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 100);
    tbx::fault::arm(1, tbx::fault::kReAlloc);
    EXPECT_EQ(nullptr, ZmdReAlloc(p, 100000, 0x40));
    tbx::fault::arm(0);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0x5A, p[i]);
    // Still a live block: it can be resized and freed as before.
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 200, 0x40));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(0x5A, p[99]);
    EXPECT_EQ(0, p[100]);
    EXPECT_EQ(nullptr, ZmdFree(p));
}

TEST(Blocks, LockFailureFreesTheObject) {
    // A fresh object that cannot be locked is freed again: null, no leak.
    int32_t live = tbx::fault::live_objects();
    tbx::fault::arm(1, tbx::fault::kLock);
    EXPECT_EQ(nullptr, ZmdAlloc(0x40, 64));
    EXPECT_TRUE(tbx::fault::fired());
    EXPECT_EQ(live, tbx::fault::live_objects());
    // A resized object that cannot be locked is lost too; the result is null.
    void* p = ZmdAlloc(0x40, 64);
    ASSERT_NE(p, nullptr);
    tbx::fault::arm(1, tbx::fault::kLock);
    EXPECT_EQ(nullptr, ZmdReAlloc(p, 128, 0x40));
    tbx::fault::arm(0);
    EXPECT_EQ(p, ZmdFree(p));
    EXPECT_EQ(live, tbx::fault::live_objects());
}

TEST(Blocks, FailedFreeKeepsTheBlock) {
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0x40, 64));
    ASSERT_NE(p, nullptr);
    p[5] = 9;
    tbx::fault::arm(1, tbx::fault::kFree);
    EXPECT_EQ(p, ZmdFree(p));
    tbx::fault::arm(0);
    // Still a block at its address: it grows and frees as any other.
    EXPECT_EQ(9, p[5]);
    auto* q = static_cast<uint8_t*>(ZmdReAlloc(p, 4096, 0x40));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(9, q[5]);
    EXPECT_EQ(nullptr, ZmdFree(q));
}

}  // namespace
