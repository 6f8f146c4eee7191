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

}  // namespace
