// The chunk pool: exact handles and link words, first fit across blocks and
// empty slots, reads at chunk boundaries, values that name no string, and a
// full pool. Long random sequences are checked against the literal model by
// the fuzz corpus replay; these cases pin the rules the model restates.
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using testing_pool::Block;
using testing_pool::Link;
using tbx::stringPool;

TEST(Pool, LinksAndReadsAtChunkBoundaries) {
    uint8_t bytes[64];
    for (int i = 0; i < 64; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    StringHandle h32 = ZmsPut(bytes, 32), h33 = ZmsPut(bytes, 33), h64 = ZmsPut(bytes, 64);
    EXPECT_EQ(0x20FFFFFFu, Link(h32));
    EXPECT_EQ(Block(0)->data[0], ZmsPtr(h32));
    EXPECT_EQ(0xFF010000u, h33);
    EXPECT_EQ(0x20020000u, Link(h33));  // 32 bytes, then chunk 2 of block 0
    EXPECT_EQ(0x01FFFFFFu, Block(0)->links[2]);
    EXPECT_EQ(nullptr, ZmsPtr(h33));
    uint8_t out[80];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(64, ZmsGet(h64, out, 65));
    EXPECT_EQ(0, std::memcmp(out, bytes, 64));
    // A buffer one short, or ending at a chunk boundary with more to come.
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(0xFFFF, ZmsGet(h64, out, 63));
    EXPECT_EQ(0xEE, out[63]);
    EXPECT_EQ(0xFFFF, ZmsGet(h33, out, 32));
    EXPECT_EQ(3, ZmsLen(ZmsPut("\0\0\0", 3)));
    EXPECT_POOL_SOUND();
}

TEST(Pool, FirstFitAcrossBlocksAndEmptySlots) {
    std::vector<StringHandle> block0;
    for (int i = 0; i < 256; ++i) block0.push_back(ZmsPut("x", 1));
    EXPECT_EQ(0xFFFF0000u, block0.back());
    EXPECT_EQ(0xFF000001u, ZmsPut("y", 1));
    // Block 0 emptied: its slot is empty, and stores go to block 1 while it
    // has room; only a scan past the last slot makes a new block 0.
    for (StringHandle h : block0) ZmsFree(h);
    EXPECT_EQ(nullptr, stringPool.entries[0]);
    for (int c = 1; c < 256; ++c) ASSERT_EQ(0xFF000001u | uint32_t(c) << 16, ZmsPut("z", 1));
    EXPECT_EQ(0xFF000000u, ZmsPut("w", 1));
    EXPECT_EQ(2, stringPool.count);
    // A freed chunk is taken again first, its old bytes kept past the new
    // length.
    StringHandle long_one = ZmsPut("abcdefgh", 8);
    ZmsFree(long_one);
    EXPECT_EQ(long_one, ZmsPut("AB", 2));
    EXPECT_EQ(0, std::memcmp("ABcdefgh", ZmsPtr(long_one), 8));
    // 9000 bytes: 254 chunks left in block 0, 28 in a new block 2.
    std::vector<uint8_t> big(9000), out(9000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + i / 256);
    StringHandle h = ZmsPut(big.data(), 9000);
    EXPECT_EQ(0xFF020000u, h);
    EXPECT_EQ(0x20000002u, Block(0)->links[255]);
    EXPECT_EQ(28, Block(2)->used);
    EXPECT_EQ(9000, ZmsGet(h, out.data(), 9000));
    EXPECT_EQ(big, out);
    ZmsFree(h);
    EXPECT_EQ(nullptr, stringPool.entries[2]);
    EXPECT_POOL_SOUND();
}

// Reads take runs of chunks that follow each other in a block, four link
// words at a time; a chain that leaves its block in the middle of four must
// be followed, even when the chunk after it in the old block is full and
// linked onward like a run.
TEST(Pool, ReadsFollowAChainThatLeavesItsBlockWithinFourChunks) {
    std::vector<uint8_t> a(96, 'a'), b(253 * 32, 'b'), d(256);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i);
    StringHandle ha = ZmsPut(a.data(), 96);  // block 0, chunks 0..2
    ASSERT_EQ(0xFF000000u, ha);
    ASSERT_NE(0u, ZmsPut(b.data(), static_cast<uint16_t>(b.size())));  // chunks 3..255, linked in order
    ASSERT_EQ(0xFF000001u, ZmsPut(a.data(), 96));  // block 1, chunks 0..2
    ZmsFree(ha);
    StringHandle hd = ZmsPut(d.data(), 256);  // block 0 chunks 0..2, then block 1 from chunk 3
    ASSERT_EQ(0xFF000000u, hd);
    EXPECT_EQ(0x20030001u, Block(0)->links[2]);
    std::vector<uint8_t> out(256);
    EXPECT_EQ(256, ZmsGet(hd, out.data(), 256));
    EXPECT_EQ(d, out);
    EXPECT_EQ(0, ZmsCmp(hd, d.data(), 256));
    StringHandle copy = ZmsDup(hd);
    EXPECT_EQ(256, ZmsGet(copy, out.data(), 256));
    EXPECT_EQ(d, out);
    EXPECT_POOL_SOUND();
}

// A run is only of chunks that follow each other: two chains whose links
// each skip a chunk, interleaved so that four link words in a row step by
// two, are no run.
TEST(Pool, ReadsTakeNoChainThatSkipsChunksForARun) {
    std::vector<StringHandle> one;
    for (int i = 0; i < 10; ++i) one.push_back(ZmsPut("x", 1));  // chunks 0..9 of block 0
    std::vector<uint8_t> b(64, 'b'), a(128);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
    ZmsFree(one[2]), ZmsFree(one[5]);
    StringHandle hb = ZmsPut(b.data(), 64);  // chunks 2, 5
    for (int i : {0, 1, 3, 7}) ZmsFree(one[i]);
    StringHandle ha = ZmsPut(a.data(), 128);  // chunks 0, 1, 3, 7
    EXPECT_EQ(0x20050000u, Link(hb));
    const tbx::ChunkBlock* block = Block(0);  // chunk 2 is b's, the others a's
    EXPECT_EQ((std::vector<uint32_t>{0x20010000, 0x20030000, 0x20050000, 0x20070000}),
              (std::vector<uint32_t>{block->links[0], block->links[1], block->links[2], block->links[3]}));
    std::vector<uint8_t> out(200);
    EXPECT_EQ(128, ZmsGet(ha, out.data(), 200));
    EXPECT_EQ(a, std::vector<uint8_t>(out.begin(), out.begin() + 128));
    EXPECT_EQ(0, ZmsCmp(ha, a.data(), 128));
    EXPECT_POOL_SOUND();
}

TEST(Pool, RejectsWhatIsNotAString) {
    StringHandle live = ZmsPut("keep me", 7);
    StringHandle gone = ZmsPut("temporary text that is long enough for two chunks", 50);
    ZmsFree(gone);
    uint8_t out[16] = {};
    EXPECT_EQ(0u, ZmsPut(nullptr, 5));
    EXPECT_EQ(0u, ZmsPut("abc", 0));
    EXPECT_EQ(0, ZmsGet(live, nullptr, 16));
    EXPECT_EQ(0, ZmsGet(live, out, 0));
    // No chunks, no handle, a top byte other than 0xFF, block indexes past
    // the count, a free chunk of a live block, a freed string.
    for (StringHandle bad : {0xFFFFFFFFu, 0u, live & 0x00FFFFFF, live & 0x7FFFFFFF, 0xFF000005u,
                             0xFFFFFFFEu, 0xFF07FFFEu, 0xFF200000u, gone}) {
        SCOPED_TRACE(testing::Message() << std::hex << bad);
        EXPECT_EQ(0, ZmsLen(bad));
        EXPECT_EQ(0, ZmsGet(bad, out, 16));
        EXPECT_EQ(nullptr, ZmsPtr(bad));
        EXPECT_EQ(0u, ZmsDup(bad));
        ZmsFree(bad);
    }
    EXPECT_EQ(7, ZmsGet(live, out, 16));
    EXPECT_EQ(0, std::memcmp(out, "keep me", 7));
    EXPECT_EQ(1, Block(0)->used);
    // With the only block freed, its slot is empty: still rejected.
    ZmsFree(live);
    EXPECT_EQ(0, ZmsLen(live));
    ZmsFree(live);
    EXPECT_POOL_SOUND();
}

// The checker every pool test ends with names each kind of damage. Blocks
// and slots are damaged in place and mended after each check; the search
// state only through the pool's own calls, on a block whose used count or
// slot was damaged first.
TEST(Pool, CheckerNamesEachDamage) {
    using tbx::make_link;
    constexpr uint32_t kEnd = tbx::END_OF_CHAIN;
    std::vector<StringHandle> hs;
    for (int i = 0; i < 256; ++i) hs.push_back(ZmsPut("s", 1));
    ZmsFree(ZmsPut("t", 1));  // slot 1 made and emptied
    ZmsFree(hs[7]);
    ASSERT_EQ(2, stringPool.count);
    tbx::ChunkBlock saved;
    std::memcpy(&saved, Block(0), sizeof saved);
    const std::pair<const char*, void (*)()> damages[] = {
        {"the free-chunk bits disagree with a link word", [] { Block(0)->links[7] = make_link(1, kEnd); }},
        {"the free-chunk bits disagree with a link word", [] { Block(0)->links[3] = 0; }},
        {"a chunk length is not 1..32", [] { Block(0)->links[3] = make_link(0, kEnd); }},
        {"a chunk length is not 1..32", [] { Block(0)->links[3] = make_link(33, kEnd); }},
        {"a chunk that is not last holds fewer than 32 bytes", [] { Block(0)->links[3] = make_link(31, 4u << 16); }},
        {"used differs from the count of nonzero link words", [] { ++Block(0)->used; }},
        {"an occupied slot is marked empty", [] { stringPool.entries[1] = Block(0); }},
        {"search state names a slot past count", [] { stringPool.count = 1; }},
        {"an empty slot is not marked empty", [] { stringPool.entries[0] = nullptr; }},
    };
    for (const auto& [named, damage] : damages) {
        tbx::ChunkBlock* b0 = Block(0);
        damage();
        EXPECT_STREQ(named, tbx::pool_fault());
        stringPool.entries[0] = b0;
        stringPool.entries[1] = nullptr;
        stringPool.count = 2;
        std::memcpy(b0, &saved, sizeof saved);
        EXPECT_POOL_SOUND();
    }
    // A used count one short: the store takes the block's last free chunk
    // and leaves its room bit set.
    Block(0)->used = 254;
    ASSERT_EQ(hs[7], ZmsPut("u", 1));
    Block(0)->used = 256;
    EXPECT_STREQ("the room bit is wrong", tbx::pool_fault());
    ZmsFree(hs[7]);
    EXPECT_POOL_SOUND();
    // A chunk freed from a block that stood in an empty slot for the call.
    tbx::ChunkBlock stray{};
    stray.used = 2;
    stray.links[0] = make_link(1, kEnd);
    stringPool.entries[1] = &stray;
    ZmsFree(0xFF000001);
    stringPool.entries[1] = nullptr;
    EXPECT_STREQ("an empty slot is marked as having room", tbx::pool_fault());
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
    // An empty slot is not refilled once the pool has every slot, but room
    // in an existing block is used.
    ZmsFree(0xFF000000);
    EXPECT_EQ(0u, ZmsPut("x", 1));
    EXPECT_EQ(0u, ZmsDup(0xFF000001));
    ZmsFree(0xFF05FFFD);
    EXPECT_EQ(0xFF05FFFDu, ZmsPut("x", 1));
    EXPECT_EQ(0xFFFF, ZmsGet(0xFF000002, bytes.data(), 8191));
    EXPECT_EQ(2, bytes[0]);
    EXPECT_EQ(0x11, bytes[8190]);
}

}  // namespace
