// Memory blocks: zero fill on every growth, memory given back by a large
// shrink. Values that are not blocks and failing platform calls are driven
// by the fuzz corpus replay, which checks every block's bytes and counts
// the platform objects after each call.
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
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
    // A large shrink gives memory back; growing again takes new room, so
    // the block made meanwhile behind the small one keeps its bytes.
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 100000, 0));
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 16, 0));
    auto* behind = static_cast<uint8_t*>(ZmdAlloc(0, 1000));
    ASSERT_TRUE(p && behind);
    std::memset(behind, 0xCD, 1000);
    p = static_cast<uint8_t*>(ZmdReAlloc(p, 100000, 0x40));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(0xCD, behind[i]) << i;
    EXPECT_TRUE(!ZmdFree(behind) && !ZmdFree(p));
    EXPECT_EQ(nullptr, ZmdAlloc(0x40, 0));
}

// An address stops being a block when the block is freed, discarded or
// moved, and stays no block when a new block takes over its place in the
// table. Blocks are found by address however the others come and go.
TEST(Blocks, AddressesLeaveWithTheirBlocks) {
    auto is_gone = [](void* old) {
        void* fresh = ZmdAlloc(0, 3000);
        ASSERT_NE(nullptr, fresh);
        if (fresh != old) EXPECT_EQ(old, ZmdFree(old));
        EXPECT_EQ(nullptr, ZmdFree(fresh));
    };
    void* p = ZmdAlloc(0, 16);
    ASSERT_EQ(nullptr, ZmdFree(p));
    is_gone(p);
    p = ZmdAlloc(0, 16);
    ASSERT_EQ(nullptr, ZmdReAlloc(p, 0, 0));
    is_gone(p);
    void* pin = ZmdAlloc(0, 16);  // keeps p from growing in place
    p = ZmdAlloc(0, 16);
    void* moved = ZmdReAlloc(p, 1 << 20, 0);
    ASSERT_TRUE(moved && moved != p);
    is_gone(p);
    void* shrunk = ZmdReAlloc(moved, 16, 0);
    ASSERT_NE(nullptr, shrunk);
    ASSERT_EQ(nullptr, ZmdFree(shrunk));
    is_gone(shrunk);
    EXPECT_EQ(nullptr, ZmdFree(pin));
    // Many blocks, half of them freed in a scrambled order, then the rest:
    // each must still be found when its turn comes. Each round puts other
    // addresses in the index, whose runs wrap around its end now and then.
    uint32_t seed = 1;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int round = 0; round < 2000; ++round) {
        size_t count = 230 + next() % 25;
        std::vector<void*> blocks(count);
        for (void*& b : blocks) ASSERT_NE(nullptr, b = ZmdAlloc(0, 8 + next() % 64));
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = blocks.size(); i > 1; --i) std::swap(blocks[i - 1], blocks[next() % i]);
            size_t keep = pass ? 0 : count / 2;
            for (; blocks.size() > keep; blocks.pop_back()) ASSERT_EQ(nullptr, ZmdFree(blocks.back())) << count;
        }
    }
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
// its memory until it was freed. A shrink to half of what a block holds or
// less gives back the rest; a free gives back all of it.
TEST(Blocks, LargeShrinkAndFreeGiveMemoryBack) {
#ifndef __linux__
    GTEST_SKIP() << "resident memory is read from /proc/self/statm, on Linux only";
#endif
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in quarantine";
#endif
    auto resident = [](bool mapped = false) {
        unsigned long pages = 0, resident_pages = 0;
        std::FILE* f = std::fopen("/proc/self/statm", "r");
        bool read = f && std::fscanf(f, "%lu %lu", &pages, &resident_pages) == 2;
        if (f) std::fclose(f);
        return read ? (mapped ? pages : resident_pages) * 4096.0 : -1.0;
    };
    ASSERT_GE(resident(), 0);
    constexpr uint32_t kLarge = 256u << 20;
    // Grown to 3/4 with slack for a 1/2 more, then shrunk: by less than half
    // of what it holds, the memory is kept as room to grow into.
    auto* p = static_cast<uint8_t*>(ZmdReAlloc(ZmdAlloc(0, kLarge / 2), kLarge / 4 * 3, 0));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, kLarge / 4 * 3);  // every page resident
    for (uint8_t i = 0; i < 16; ++i) p[i] = i;
    for (uint32_t size : {kLarge / 8 * 5, kLarge / 32 * 15, 16u}) {
        double before = resident();
        p = static_cast<uint8_t*>(ZmdReAlloc(p, size, 0));
        double after = resident();
        ASSERT_NE(p, nullptr);
        for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(i, p[i]);
        EXPECT_EQ(size != kLarge / 8 * 5, before > after + kLarge / 16)
            << "to " << size << ": resident before " << before << ", after " << after;
    }
    EXPECT_EQ(nullptr, ZmdFree(p));
    // Freeing a block and resizing it to 0 both give all of it back.
    for (bool resize : {false, true}) {
        p = static_cast<uint8_t*>(ZmdAlloc(0, kLarge));
        ASSERT_NE(p, nullptr);
        std::memset(p, 0x5A, kLarge);
        double before = resident();
        EXPECT_EQ(nullptr, resize ? ZmdReAlloc(p, 0, 0) : ZmdFree(p));
        EXPECT_GT(before, resident() + kLarge / 2) << resize;
    }
    // Blocks made and freed over and over take no more memory each time,
    // nor more address space.
    double before = resident(), mapped = resident(true);
    std::vector<void*> blocks(1000);
    for (int i = 0; i < 400; ++i) {
        for (void*& b : blocks) b = ZmdAlloc(0, 1);
        for (void* b : blocks) ZmdFree(b);
    }
    EXPECT_LT(resident(), before + (4 << 20));
    EXPECT_LT(resident(true), mapped + (4 << 20));
}

}  // namespace
