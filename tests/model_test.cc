// The pool against the literal model at every buffer size and length of
// long chains. Random sequences of calls are checked against the model by
// the fuzz corpus replay.
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/model/literal_pool.h"
#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using tbx::stringPool;

void ExpectSamePool(const model::LiteralPool& m) {
    ASSERT_EQ(m.count(), stringPool.count);
    for (size_t b = 0; b < m.count(); ++b) {
        const tbx::ChunkBlock* want = m.block(b);
        const auto* got = static_cast<const tbx::ChunkBlock*>(stringPool.entries[b]);
        ASSERT_EQ(want == nullptr, got == nullptr) << "slot " << b;
        if (want) ASSERT_EQ(0, std::memcmp(want, got, sizeof(tbx::ChunkBlock))) << "block " << b;
    }
    EXPECT_POOL_SOUND();
}

// Reads and compares of long chains stop at every buffer size and every
// length: the pool scans runs of chunks several link words at a time, and
// a scan that ran one chunk too far or stopped one short would show at a
// chunk, group or block boundary. One chain starts at chunk 0 and crosses
// into the next block, one starts at an odd chunk, and one is cut in the
// middle by a free of its tail, so its run leads into free chunks.
TEST(Differential, LongChainsAtEveryBufferSize) {
    model::LiteralPool m;
    std::vector<uint8_t> bytes(9000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::vector<uint32_t> chains;
    for (uint16_t n : {9000, 1, 2100, 4100}) {
        uint32_t h = m.Put(bytes.data(), n);
        ASSERT_EQ(h, ZmsPut(bytes.data(), n));
        if (n > 1) chains.push_back(h);
    }
    uint32_t tail = chains[2] + (50u << 16);  // the 51st chunk of the last chain, same block
    m.Free(tail);
    ZmsFree(tail);
    std::vector<uint8_t> want(9002), got(9002);
    for (uint32_t h : chains) {
        for (unsigned size = 0; size <= 9001; ++size) {
            ASSERT_EQ(m.Get(h, want.data(), static_cast<uint16_t>(size)),
                      ZmsGet(h, got.data(), static_cast<uint16_t>(size)))
                << std::hex << h << std::dec << " size " << size;
            ASSERT_EQ(want, got) << "size " << size;
        }
        for (unsigned n = 0; n <= 9001; n += 1 + n / 200) {
            std::vector<uint8_t> given(bytes.begin(), bytes.begin() + std::min<size_t>(n, bytes.size()));
            given.resize(n, 0);
            ASSERT_EQ(m.Cmp(h, given.data(), static_cast<uint16_t>(n)),
                      ZmsCmp(h, given.data(), static_cast<uint16_t>(n))) << "length " << n;
            if (n) given[n - 1] ^= 0x80;
            ASSERT_EQ(m.Cmp(h, given.data(), static_cast<uint16_t>(n)),
                      ZmsCmp(h, given.data(), static_cast<uint16_t>(n))) << "altered, length " << n;
        }
    }
    ExpectSamePool(m);
}

// Hundreds of blocks, then frees that leave holes and empty slots all over
// them: later stores must refill them in the literal scan's order, across
// the words of the pool's bitmaps.
TEST(Differential, ManyBlocksWithHoles) {
    model::LiteralPool m;
    std::mt19937 rng(7);
    std::vector<uint8_t> bytes(9000, 'h');
    std::vector<uint32_t> live;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 3000; ++i) {
            uint16_t n = static_cast<uint16_t>(rng() % 10 ? 1 + rng() % 64 : 1 + rng() % 9000);
            uint32_t h = m.Put(bytes.data(), n);
            ASSERT_EQ(h, ZmsPut(bytes.data(), n)) << "round " << round << ", store " << i;
            live.push_back(h);
        }
        for (size_t i = 0; i < live.size();) {
            if (rng() % 4 == 0) {
                ++i;
                continue;
            }
            m.Free(live[i]);
            ZmsFree(live[i]);
            live[i] = live.back();
            live.pop_back();
        }
        ExpectSamePool(m);
    }
}

// Strings of one chunk take short paths of their own in reads, compares,
// copies and lengths, which load the chunk's payload before its link word
// says how much of it is the string's. A compare reads as many payload
// bytes as it is given, so past a short string into whatever the chunk
// held before: those bytes must never decide an order. Every stored length
// 1..33 (33 takes two chunks) over the old bytes of a longer string, read
// into every buffer size and compared with every given length, equal or
// differing at any byte, the bytes past the string equal to the old ones
// or not.
TEST(Differential, OneChunkStringsOverOldBytes) {
    model::LiteralPool m;
    uint8_t old[32], bytes[34];
    for (unsigned i = 0; i < 32; ++i) old[i] = static_cast<uint8_t>(0xC0 + i);
    for (unsigned i = 0; i < 34; ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
    ASSERT_EQ(m.Put("anchor", 6), ZmsPut("anchor", 6));  // keeps block 0 when the rest is freed
    for (uint16_t kept = 1; kept <= 33; ++kept) {
        uint32_t gone = m.Put(old, 32);
        ASSERT_EQ(gone, ZmsPut(old, 32));
        m.Free(gone);
        ZmsFree(gone);
        uint32_t h = m.Put(bytes, kept);
        ASSERT_EQ(h, ZmsPut(bytes, kept));
        ASSERT_EQ(m.Len(h), ZmsLen(h));
        uint8_t want[36], got[36];
        for (uint16_t size = 1; size <= 34; ++size) {
            std::memset(want, 0xEE, sizeof want);
            std::memset(got, 0xEE, sizeof got);
            ASSERT_EQ(m.Get(h, want, size), ZmsGet(h, got, size)) << kept << " into " << size;
            ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << kept << " into " << size;
        }
        uint8_t given[34];
        for (uint16_t n = 1; n <= 34; ++n) {
            for (bool like_old : {true, false}) {
                for (unsigned i = 0; i < n; ++i) given[i] = i < kept || !like_old || i >= 32 ? bytes[i] : old[i];
                for (int at = -1; at < n; ++at) {
                    if (at >= 0) given[at] ^= 0x81;
                    ASSERT_EQ(m.Cmp(h, given, n), ZmsCmp(h, given, n))
                        << kept << " against " << n << (like_old ? ", old bytes" : "") << ", differing at " << at;
                    if (at >= 0) given[at] ^= 0x81;
                }
            }
        }
        uint32_t copy = m.Dup(h);
        ASSERT_EQ(copy, ZmsDup(h));
        ExpectSamePool(m);
        for (uint32_t x : {h, copy}) {
            m.Free(x);
            ZmsFree(x);
        }
    }
    ExpectSamePool(m);
}

// A block the store makes is not zero-filled when allocated: what a chain
// does not write into it is zeroed when the chain is done. This tests a
// copy whose source breaks just after it made a block, in memory a freed
// block of the same size held before: the copy is undone and the new
// block stays, empty, and must read as a zero-filled one.
TEST(Differential, CopyThatFailsInTheBlockItMade) {
    model::LiteralPool m;
    std::vector<uint32_t> small;
    for (int i = 0; i < 255; ++i) {
        small.push_back(m.Put("s", 1));
        ASSERT_EQ(small.back(), ZmsPut("s", 1));
    }
    std::vector<uint8_t> bytes(64, 0x5A);
    uint32_t source = m.Put(bytes.data(), 64);  // chunk 255 of block 0, then chunk 0 of block 1
    ASSERT_EQ(source, ZmsPut(bytes.data(), 64));
    uint32_t tail = 0xFF000001;  // chunk 0 of block 1: freeing it frees block 1
    for (uint32_t h : {small[5], tail}) {
        m.Free(h);
        ZmsFree(h);
    }
    // The copy's first chunk takes chunk 5 of block 0; its second needs a
    // new block 1, where the source's second chunk no longer is.
    EXPECT_EQ(0u, m.Dup(source));
    EXPECT_EQ(0u, ZmsDup(source));
    ASSERT_EQ(2, stringPool.count);
    EXPECT_NE(nullptr, stringPool.entries[1]);
    ExpectSamePool(m);
}

}  // namespace
