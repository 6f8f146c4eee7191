// Memory blocks: zero fill on every growth, memory given back by a large
// shrink. Values that are not blocks and failing platform calls are driven
// by the fuzz corpus replay, which checks every block's bytes and counts
// the platform objects after each call.
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

TEST(Blocks, GrowthIsZeroFilledAndSizeZeroIsNoBlock) {
    // A value that is no block comes back, also before the process has
    // made any block.
    int local = 0;
    EXPECT_EQ(&local, ZmdFree(&local));
    // ... and with any number of blocks made: every block count is tried
    // against the one lookup that meets no block.
    std::vector<void*> blocks;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(ZmdAlloc(0, 8));
        ASSERT_NE(nullptr, blocks.back());
        ASSERT_EQ(&local, ZmdFree(&local)) << i;
    }
    for (void* b : blocks) EXPECT_EQ(nullptr, ZmdFree(b));
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

// Threads that make, fill and free blocks at once each keep their own.
TEST(Blocks, ThreadsMakeAndFreeBlocksAtOnce) {
    auto churn = [](uint8_t fill) {
        for (int i = 0; i < 20000; ++i) {
            auto* p = static_cast<uint8_t*>(ZmdAlloc(0, 24));
            ASSERT_NE(nullptr, p);
            std::memset(p, fill, 24);
            auto* q = static_cast<uint8_t*>(ZmdReAlloc(p, 40, 0x40));
            ASSERT_NE(nullptr, q);
            ASSERT_TRUE(q[0] == fill && q[23] == fill && q[24] == 0);
            ASSERT_EQ(nullptr, ZmdFree(q));
        }
    };
    std::thread other(churn, uint8_t{0x11});
    churn(0x22);
    other.join();
}

// This tests a fault where a large block shrunk to a few bytes kept all of
// its memory until it was freed. A shrink to half its size gives back the
// other half; a free gives back all of it.
TEST(Blocks, LargeShrinkAndFreeGiveMemoryBack) {
#ifndef __linux__
    GTEST_SKIP() << "resident memory is read from /proc/self/statm, on Linux only";
#endif
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in quarantine";
#endif
    auto resident = [] {
        unsigned long pages = 0, resident_pages = 0;
        std::FILE* f = std::fopen("/proc/self/statm", "r");
        bool read = f && std::fscanf(f, "%lu %lu", &pages, &resident_pages) == 2;
        if (f) std::fclose(f);
        return read ? resident_pages * 4096.0 : -1.0;
    };
    ASSERT_GE(resident(), 0);
    constexpr uint32_t kLarge = 256u << 20;
    auto* p = static_cast<uint8_t*>(ZmdAlloc(0, kLarge));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, kLarge);  // every page resident
    for (uint8_t i = 0; i < 16; ++i) p[i] = i;
    for (uint32_t size : {kLarge / 2, 16u}) {
        double before = resident();
        p = static_cast<uint8_t*>(ZmdReAlloc(p, size, 0));
        double after = resident();
        ASSERT_NE(p, nullptr);
        for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(i, p[i]);
        EXPECT_GT(before, after + kLarge / 4) << "to " << size << ": resident before " << before << ", after " << after;
    }
    EXPECT_EQ(nullptr, ZmdFree(p));
    p = static_cast<uint8_t*>(ZmdAlloc(0, kLarge));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, kLarge);
    double before = resident();
    EXPECT_EQ(nullptr, ZmdFree(p));
    EXPECT_GT(before, resident() + kLarge / 2);
    // A block made and freed over and over takes no more memory each time.
    before = resident();
    for (int i = 0; i < 400000; ++i) ZmdFree(ZmdAlloc(0, 1));
    EXPECT_LT(resident(), before + (4 << 20));
}

}  // namespace
