// Comparison in place and duplication.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using testing_pool::Block;
using tbx::stringPool;

TEST(Compare, OrdersLikeUnsignedBytes) {
    StringHandle abc = ZmsPut("abc", 3);
    EXPECT_EQ(0, ZmsCmp(abc, "abc", 3));
    EXPECT_EQ(-1, ZmsCmp(abc, "abd", 3));
    EXPECT_EQ(1, ZmsCmp(abc, "abb", 3));
    EXPECT_EQ(1, ZmsCmp(abc, "ab", 2));
    EXPECT_EQ(-1, ZmsCmp(abc, "abcd", 4));
    StringHandle high = ZmsPut("\x80", 1);
    EXPECT_EQ(1, ZmsCmp(high, "\x01", 1));

    // Longer strings, across chunks and through a run of full chunks.
    std::vector<uint8_t> a(100, 'q'), b(100, 'q');
    b[39] = 'r';
    StringHandle ha = ZmsPut(a.data(), 64);
    EXPECT_EQ(-1, ZmsCmp(ha, b.data(), 64));
    EXPECT_EQ(0, ZmsCmp(ha, a.data(), 64));
    EXPECT_EQ(1, ZmsCmp(ha, a.data(), 32));
    EXPECT_EQ(1, ZmsCmp(ha, a.data(), 63));
    StringHandle h32 = ZmsPut(a.data(), 32);
    EXPECT_EQ(-1, ZmsCmp(h32, a.data(), 64));
    StringHandle h100 = ZmsPut(a.data(), 100);
    b[39] = 'q';
    b[97] = 'a';
    EXPECT_EQ(1, ZmsCmp(h100, b.data(), 100));
    EXPECT_EQ(0, ZmsCmp(h100, a.data(), 100));
}

TEST(Compare, EmptyAndRejected) {
    StringHandle h = ZmsPut("x", 1);
    EXPECT_EQ(0, ZmsCmp(0, nullptr, 0));
    EXPECT_EQ(0, ZmsCmp(0, "x", 0));
    EXPECT_EQ(-1, ZmsCmp(0, "x", 1));
    EXPECT_EQ(1, ZmsCmp(h, nullptr, 5));
    EXPECT_EQ(1, ZmsCmp(h, "x", 0));
    EXPECT_EQ(2, ZmsCmp(0x00FFFFFF, "x", 1));
    // The bytes are tested before the handle's top byte.
    EXPECT_EQ(1, ZmsCmp(0x00FFFFFF, nullptr, 0));
    EXPECT_EQ(1, ZmsCmp(0xFFFFFFFF, nullptr, 0));
    EXPECT_EQ(-1, ZmsCmp(0xFFFFFFFF, "x", 1));
    ZmsFree(h);
    EXPECT_EQ(2, ZmsCmp(h, "x", 1));
}

TEST(Dup, CopiesIntoFirstFreeChunks) {
    // Block 0 with one free chunk left, at 17.
    std::vector<StringHandle> hs;
    for (int i = 0; i < 256; ++i) hs.push_back(ZmsPut("ab", 2));
    ZmsFree(hs[17]);
    StringHandle src = hs[200];
    StringHandle copy = ZmsDup(src);
    EXPECT_EQ(0xFF110000u, copy);
    EXPECT_EQ(0, ZmsCmp(copy, "ab", 2));
    // The copy takes all 32 payload bytes of the source chunk.
    EXPECT_EQ(0, std::memcmp(ZmsPtr(copy), ZmsPtr(src), 32));

    // A string across blocks copies to an equal chain in other chunks.
    std::vector<uint8_t> bytes(9000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
    StringHandle big = ZmsPut(bytes.data(), 9000);
    StringHandle big2 = ZmsDup(big);
    ASSERT_NE(0u, big2);
    EXPECT_NE(big, big2);
    EXPECT_EQ(9000, ZmsLen(big2));
    EXPECT_EQ(0, ZmsCmp(big2, bytes.data(), 9000));
    ZmsFree(big);
    EXPECT_EQ(0, ZmsCmp(big2, bytes.data(), 9000));
    EXPECT_EQ(0u, ZmsDup(0xFFFFFFFF));
    EXPECT_EQ(0u, ZmsDup(0));
    EXPECT_POOL_SOUND();
}

TEST(Dup, BadSourceLeavesTheNewBlockEmpty) {
    // The copy makes block 0 before it looks at its source, which then
    // turns out to be out of range: the block stays, empty.
    EXPECT_EQ(0u, ZmsDup(0xFF00FFFE));
    ASSERT_EQ(1, stringPool.count);
    ASSERT_NE(nullptr, stringPool.entries[0]);
    EXPECT_EQ(0, Block(0)->used);
    // A source in the block the copy itself made names a free chunk.
    EXPECT_EQ(0u, ZmsDup(0xFF000000));
    EXPECT_EQ(0, Block(0)->used);
    EXPECT_POOL_SOUND();
    // Later stores fill the empty block.
    EXPECT_EQ(0xFF000000u, ZmsPut("a", 1));
    EXPECT_EQ(1, stringPool.count);
    // A copy whose source breaks halfway leaves none of its chunks behind.
    // This tests a bug where the copy took the freed chunks its source led
    // to, so the source ran on through the copy itself until the pool was
    // full: a copy stops at the chunk count of the longest string.
    std::vector<uint8_t> bytes(100, 'b');
    StringHandle h = ZmsPut(bytes.data(), 100);  // chunks 1..4
    ZmsFree(0xFF030000);                          // cut the chain after 64 bytes
    EXPECT_EQ(0u, ZmsDup(h));
    EXPECT_EQ(3, Block(0)->used);
    EXPECT_LE(stringPool.count, 10);
    EXPECT_POOL_SOUND();
}

}  // namespace
