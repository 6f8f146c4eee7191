// Comparison in place and duplication.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using testing_pool::Block;
using tbx::stringPool;

TEST(Compare, OrdersLikeUnsignedBytesThenByLength) {
    StringHandle abc = ZmsPut("abc", 3), high = ZmsPut("\x80", 1), freed = ZmsPut("x", 1);
    ZmsFree(freed);
    struct Case {
        StringHandle h;
        const char* bytes;
        uint16_t n;
        int want;
    } cases[] = {
        {abc, "abc", 3, 0}, {abc, "abd", 3, -1}, {abc, "abb", 3, 1}, {abc, "ab", 2, 1},
        {abc, "abcd", 4, -1}, {high, "\x01", 1, 1}, {abc, nullptr, 5, 1}, {abc, "x", 0, 1},
        // No string is the empty string; the bytes are tested before the
        // handle's top byte, and a rejected handle gives 2.
        {0, nullptr, 0, 0}, {0, "x", 0, 0}, {0, "x", 1, -1}, {0xFFFFFFFF, "x", 1, -1},
        {0x00FFFFFF, nullptr, 0, 1}, {0xFFFFFFFF, nullptr, 0, 1}, {0x00FFFFFF, "x", 1, 2},
        {freed, "x", 1, 2}, {0xFF000005, "x", 1, 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, ZmsCmp(c.h, c.bytes, c.n)) << std::hex << c.h << " " << std::dec << c.n;
    // One byte repeated, and the same with one byte raised by one, at every place
    // of strings of one to three chunks: the words a compare reads of each
    // side overlap and are alike, so each must be matched with the other
    // side's word at the same place, and no byte may go unread.
    for (uint16_t n = 1; n <= 70; ++n) {
        const std::vector<uint8_t> same(n, 'B');
        StringHandle low = ZmsPut(same.data(), n);
        for (uint16_t at = 0; at < n; ++at) {
            std::vector<uint8_t> raised(same);
            raised[at] = 'C';  // one bit more
            StringHandle high = ZmsPut(raised.data(), n);
            EXPECT_EQ(-1, ZmsCmp(low, raised.data(), n)) << n << " " << at;
            EXPECT_EQ(1, ZmsCmp(high, same.data(), n)) << n << " " << at;
            ZmsFree(high);
        }
        ZmsFree(low);
    }
    // A stored string over old bytes: the byte after it is none of its own,
    // even when the given string ends in that byte, one place earlier.
    for (uint16_t n = 17; n < 32; ++n) {
        std::vector<uint8_t> old(n + 1u, 'A'), given(n, 'A');
        old[n] = given[n - 1] = 'B';
        ZmsFree(ZmsPut(old.data(), n + 1u));
        StringHandle h = ZmsPut(old.data(), n);
        EXPECT_EQ(-1, ZmsCmp(h, given.data(), n)) << n;
        ZmsFree(h);
    }
}

#ifndef _WIN32
// Stores, reads and compares touch the caller's bytes from the first to the
// last and no further: each length lies at the very start of a span whose
// page before cannot be read, and at the very end of one whose page after
// cannot be read. A compare reads no stored byte past the string's chunk
// either, even when that chunk ends its block and the block a mapping.
TEST(Compare, TouchesNoByteOutsideTheLength) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t span = (sizeof(tbx::ChunkBlock) + page - 1) / page * page;
    void* map = mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, map);
    auto* middle = static_cast<uint8_t*>(map) + page;
    ASSERT_EQ(0, mprotect(map, page, PROT_NONE));
    ASSERT_EQ(0, mprotect(middle + span, page, PROT_NONE));
    std::memset(middle, 'g', span);
    for (uint16_t n = 1; n <= 100; ++n) {
        for (uint8_t* at : {middle, middle + span - n}) {
            StringHandle h = ZmsPut(at, n);
            EXPECT_EQ(n, ZmsGet(h, at, n)) << n;
            EXPECT_EQ(0, ZmsCmp(h, at, n)) << n;
            ZmsFree(h);
        }
    }
    // Block 0 full of one-byte strings, moved to the end of the span.
    for (int c = 0; c < 256; ++c) ZmsPut("g", 1);
    auto* moved = reinterpret_cast<tbx::ChunkBlock*>(middle + span - sizeof(tbx::ChunkBlock));
    std::memcpy(moved, Block(0), sizeof *moved);
    void* kept = stringPool.entries[0];
    stringPool.entries[0] = moved;
    EXPECT_EQ(-1, ZmsCmp(0xFFFF0000, middle, tbx::kChunkSize + 1));
    stringPool.entries[0] = kept;
    munmap(map, span + 2 * page);
}
#endif

TEST(Dup, CopiesIntoFirstFreeChunks) {
    std::vector<StringHandle> hs;
    for (int i = 0; i < 256; ++i) hs.push_back(ZmsPut("ab", 2));
    // A source whose chunk holds old bytes past its length.
    ZmsFree(hs[200]);
    ZmsFree(ZmsPut("abcdefgh", 8));
    StringHandle source = ZmsPut("AB", 2);
    ASSERT_EQ(hs[200], source);
    ZmsFree(hs[17]);
    StringHandle copy = ZmsDup(source);
    EXPECT_EQ(0xFF110000u, copy);
    // The copy takes all 32 payload bytes of the source chunk.
    EXPECT_EQ(0, std::memcmp("ABcdefgh", ZmsPtr(copy), 8));
    EXPECT_POOL_SOUND();
}

TEST(Dup, BadSourceLeavesNoChunkBehind) {
    // The copy makes block 0 before it looks at its source, which then
    // turns out to be out of range: the block stays, empty, and a source in
    // it names a free chunk. Later stores fill it.
    EXPECT_EQ(0u, ZmsDup(0xFF00FFFE));
    ASSERT_EQ(1, stringPool.count);
    ASSERT_NE(nullptr, stringPool.entries[0]);
    EXPECT_EQ(0, Block(0)->used);
    EXPECT_EQ(0u, ZmsDup(0xFF000000));
    EXPECT_EQ(0xFF000000u, ZmsPut("a", 1));
    EXPECT_EQ(1, stringPool.count);
    // This tests a bug where a copy whose source breaks halfway took the
    // freed chunks its source led to, and ran on through itself until the
    // pool was full.
    std::vector<uint8_t> bytes(100, 'b');
    StringHandle h = ZmsPut(bytes.data(), 100);  // chunks 1..4
    ZmsFree(0xFF030000);                          // cut the chain after 64 bytes
    EXPECT_EQ(0u, ZmsDup(h));
    EXPECT_EQ(3, Block(0)->used);
    EXPECT_LE(stringPool.count, 10);
    EXPECT_POOL_SOUND();
}

}  // namespace
