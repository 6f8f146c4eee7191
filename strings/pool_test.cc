// The chunk pool: handles, link words, blocks made and freed, reads whole
// and truncated, and handles that were never or no longer valid.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using testing_pool::Block;
using testing_pool::Link;
using tbx::stringPool;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

TEST(Pool, RoadOfOneText) {
    // A fresh process: the first store makes a one-slot array and block 0.
    ASSERT_EQ(0, stringPool.count);
    StringHandle h = ZmsPut("hello", 6);
    EXPECT_EQ(0xFF000000u, h);
    ASSERT_EQ(1, stringPool.count);
    EXPECT_EQ(1, Block(0)->used);
    EXPECT_EQ(0x06FFFFFFu, Link(h));
    char buffer[80];
    EXPECT_EQ(6, ZmsGet(h, buffer, sizeof buffer));
    EXPECT_STREQ("hello", buffer);
    EXPECT_EQ(Block(0)->data[0], ZmsPtr(h));
    // Freeing the last chunk frees the block; the slot array stays.
    ZmsFree(h);
    EXPECT_EQ(1, stringPool.count);
    EXPECT_EQ(nullptr, stringPool.entries[0]);
    EXPECT_POOL_SOUND();
}

TEST(Pool, ChunkBoundaries) {
    auto bytes = Pattern(64, 1);
    StringHandle h32 = ZmsPut(bytes.data(), 32);
    EXPECT_EQ(0x20FFFFFFu, Link(h32));
    StringHandle h33 = ZmsPut(bytes.data(), 33);
    EXPECT_EQ(0xFF010000u, h33);
    EXPECT_EQ(0x20020000u, Link(h33));  // 32 bytes, then chunk 2 of block 0
    EXPECT_EQ(0x01FFFFFFu, Block(0)->links[2]);
    EXPECT_EQ(Block(0)->data[0], ZmsPtr(h32));
    EXPECT_EQ(nullptr, ZmsPtr(h33));
    EXPECT_EQ(33, ZmsLen(h33));

    StringHandle h64 = ZmsPut(bytes.data(), 64);
    uint8_t out[80] = {};
    EXPECT_EQ(64, ZmsGet(h64, out, 64));
    EXPECT_EQ(0, std::memcmp(out, bytes.data(), 64));
    EXPECT_EQ(64, ZmsGet(h64, out, 65));
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(0xFFFF, ZmsGet(h64, out, 63));
    EXPECT_EQ(0, std::memcmp(out, bytes.data(), 63));
    EXPECT_EQ(0xEE, out[63]);
    // The buffer ends exactly at a chunk boundary with more to come.
    EXPECT_EQ(0xFFFF, ZmsGet(h64, out, 32));
    EXPECT_EQ(0xFFFF, ZmsGet(h33, out, 32));
    // NULs are bytes like any other.
    StringHandle zeros = ZmsPut("\0\0\0", 3);
    EXPECT_EQ(3, ZmsLen(zeros));
    EXPECT_POOL_SOUND();
}

TEST(Pool, FirstFitAcrossBlocksAndEmptySlots) {
    std::vector<StringHandle> block0;
    for (int i = 0; i < 256; ++i) block0.push_back(ZmsPut("x", 1));
    EXPECT_EQ(0xFF000000u, block0.front());
    EXPECT_EQ(0xFFFF0000u, block0.back());
    EXPECT_EQ(1, stringPool.count);
    EXPECT_EQ(0xFF000001u, ZmsPut("y", 1));
    EXPECT_EQ(2, stringPool.count);

    // Block 0 emptied: its slot is empty, the count stays, and stores go to
    // block 1 while it has room.
    for (StringHandle h : block0) ZmsFree(h);
    EXPECT_EQ(nullptr, stringPool.entries[0]);
    EXPECT_EQ(2, stringPool.count);
    EXPECT_POOL_SOUND();
    for (int c = 1; c < 256; ++c) ASSERT_EQ(0xFF000001u | uint32_t(c) << 16, ZmsPut("z", 1));
    // Only when the scan passes the last slot does slot 0 get a new block,
    // which holds stale-free zeros.
    EXPECT_EQ(0xFF000000u, ZmsPut("w", 1));
    EXPECT_EQ(2, stringPool.count);
    EXPECT_EQ(0, Block(0)->data[0][1]);

    // A freed chunk is taken again first; its old bytes stay beyond the
    // new length.
    StringHandle long_one = ZmsPut("abcdefgh", 8);
    EXPECT_EQ(0xFF010000u, long_one);
    ZmsFree(long_one);
    StringHandle short_one = ZmsPut("AB", 2);
    EXPECT_EQ(long_one, short_one);
    EXPECT_EQ(0, std::memcmp("ABcdefgh", ZmsPtr(short_one), 8));
    EXPECT_POOL_SOUND();
}

TEST(Pool, StringAcrossBlocks) {
    ZmsPut("a", 1);  // block 0 chunk 0 taken first
    auto bytes = Pattern(9000, 3);
    StringHandle h = ZmsPut(bytes.data(), 9000);
    EXPECT_EQ(0xFF010000u, h);
    // 282 chunks: 255 in block 0, 27 in block 1.
    EXPECT_EQ(256, Block(0)->used);
    EXPECT_EQ(27, Block(1)->used);
    EXPECT_EQ(0x20000001u, Block(0)->links[255]);  // into block 1, chunk 0
    EXPECT_EQ(9000, ZmsLen(h));
    std::vector<uint8_t> out(9000);
    EXPECT_EQ(9000, ZmsGet(h, out.data(), 9000));
    EXPECT_EQ(bytes, out);
    EXPECT_EQ(0xFFFF, ZmsGet(h, out.data(), 8999));
    EXPECT_EQ(0, ZmsCmp(h, bytes.data(), 9000));
    ZmsFree(h);
    EXPECT_EQ(1, Block(0)->used);
    EXPECT_EQ(nullptr, stringPool.entries[1]);
    EXPECT_POOL_SOUND();
}

TEST(Pool, LongestString) {
    auto bytes = Pattern(65535, 9);
    StringHandle h = ZmsPut(bytes.data(), 65535);
    ASSERT_NE(0u, h);
    EXPECT_EQ(65535, ZmsLen(h));
    std::vector<uint8_t> out(65535);
    // Read whole, the result is the same value as a truncated read.
    EXPECT_EQ(0xFFFF, ZmsGet(h, out.data(), 65535));
    EXPECT_EQ(bytes, out);
    ZmsFree(h);
    EXPECT_POOL_SOUND();
}

TEST(Pool, RejectsWhatIsNotAString) {
    StringHandle live = ZmsPut("keep me", 7);
    uint8_t out[16] = {};
    // The chain with no chunks.
    EXPECT_EQ(0, ZmsLen(0xFFFFFFFF));
    EXPECT_EQ(0, ZmsGet(0xFFFFFFFF, out, 16));
    EXPECT_EQ(nullptr, ZmsPtr(0xFFFFFFFF));
    ZmsFree(0xFFFFFFFF);
    // Null arguments, no handle, a top byte other than 0xFF.
    EXPECT_EQ(0u, ZmsPut(nullptr, 5));
    EXPECT_EQ(0u, ZmsPut("abc", 0));
    EXPECT_EQ(0, ZmsGet(live, nullptr, 16));
    EXPECT_EQ(0, ZmsGet(live, out, 0));
    EXPECT_EQ(0, ZmsGet(0, out, 16));
    EXPECT_EQ(0, ZmsLen(live & 0x00FFFFFF));
    EXPECT_EQ(nullptr, ZmsPtr(0xFE000000));
    ZmsFree(live & 0x7FFFFFFF);
    // Block indexes past the count, and a free chunk of a live block.
    for (StringHandle bad : {0xFF000005u, 0xFFFFFFFEu, 0xFF07FFFEu, 0xFF010000u, 0xFF200000u}) {
        EXPECT_EQ(0, ZmsLen(bad));
        EXPECT_EQ(0, ZmsGet(bad, out, 16));
        EXPECT_EQ(nullptr, ZmsPtr(bad));
        EXPECT_EQ(2, ZmsCmp(bad, "x", 1));
        EXPECT_EQ(0u, ZmsDup(bad));
        ZmsFree(bad);
    }
    // Freed twice, and read after free.
    StringHandle gone = ZmsPut("temporary text that is long enough for two chunks", 50);
    ZmsFree(gone);
    ZmsFree(gone);
    EXPECT_EQ(0, ZmsLen(gone));
    EXPECT_EQ(0, ZmsGet(gone, out, 16));
    EXPECT_EQ(7, ZmsGet(live, out, 16));
    EXPECT_EQ(0, std::memcmp(out, "keep me", 7));
    EXPECT_EQ(1, Block(0)->used);
    // With the only block freed, its slot is empty: still rejected.
    ZmsFree(live);
    EXPECT_EQ(0, ZmsLen(live));
    ZmsFree(live);
    EXPECT_POOL_SOUND();
}

TEST(Pool, FullPoolRefusesAndKeepsItsStrings) {
    // 8192 bytes fill exactly one block; the last block takes 256 one-byte
    // strings instead.
    std::vector<uint8_t> bytes(8192, 0x11);
    for (unsigned b = 0; b < 0xFFFD; ++b) {
        bytes[0] = static_cast<uint8_t>(b);
        ASSERT_EQ(0xFF000000u | b, ZmsPut(bytes.data(), 8192));
    }
    for (uint32_t c = 0; c < 256; ++c) ASSERT_EQ(0xFF00FFFDu | c << 16, ZmsPut("y", 1));
    EXPECT_EQ(0xFFFE, stringPool.count);
    EXPECT_EQ(0u, ZmsPut("x", 1));
    // An empty slot is not refilled once the pool has every slot...
    ZmsFree(0xFF000000);
    EXPECT_EQ(nullptr, stringPool.entries[0]);
    EXPECT_EQ(0u, ZmsPut("x", 1));
    EXPECT_EQ(0u, ZmsDup(0xFF000001));
    // ...but room in an existing block is used.
    ZmsFree(0xFF05FFFD);
    EXPECT_EQ(0xFF05FFFDu, ZmsPut("x", 1));
    EXPECT_EQ(0xFFFF, ZmsGet(0xFF000002, bytes.data(), 8191));
    EXPECT_EQ(2, bytes[0]);
    EXPECT_EQ(0x11, bytes[8190]);
}

}  // namespace
