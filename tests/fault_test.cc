// Out of memory at every step: each allocation, resize and lock that a
// store or copy makes fails in turn. The operation returns 0, nothing it
// stored is left behind, and every other string reads back unchanged.
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tests/pool_access.h"
#include "tembrix.h"

namespace {

using tbx::stringPool;

struct Kept {
    StringHandle handle;
    std::vector<uint8_t> bytes;
};

std::vector<Kept> FillSome() {
    std::vector<Kept> kept;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> bytes(1 + (i * 37) % 90, static_cast<uint8_t>(i));
        kept.push_back({ZmsPut(bytes.data(), static_cast<uint16_t>(bytes.size())), bytes});
    }
    // Leave holes: free chunks in block 0 and an empty slot.
    for (int i = 0; i < 300; i += 3) ZmsFree(kept[i].handle);
    std::vector<Kept> live;
    for (int i = 0; i < 300; ++i)
        if (i % 3) live.push_back(kept[i]);
    return live;
}

void ExpectKept(const std::vector<Kept>& kept) {
    for (const Kept& k : kept) {
        std::vector<uint8_t> out(k.bytes.size());
        ASSERT_EQ(k.bytes.size(), ZmsGet(k.handle, out.data(), static_cast<uint16_t>(out.size())));
        ASSERT_EQ(k.bytes, out);
    }
}

unsigned UsedChunks() {
    unsigned used = 0;
    for (unsigned b = 0; b < stringPool.count; ++b)
        if (stringPool.entries[b]) used += testing_pool::Block(b)->used;
    return used;
}

// Runs `op` with the k-th memory call failing, for k = 1, 2, ... until it
// runs through; checks that every failure leaves the pool as it was. A
// failure the operation recovers from (a grown slot array locked again)
// gives a handle like a run without failures.
template <typename Op>
void EveryFailure(const std::vector<Kept>& kept, Op op) {
    unsigned refused = 0;
    for (uint32_t k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << "failing call " << k);
        unsigned used = UsedChunks();
        tbx::fault::arm(k, tbx::fault::kMemory);
        StringHandle h = op();
        bool fired = tbx::fault::fired();
        tbx::fault::arm(0);
        if (h != 0) {
            ZmsFree(h);
            if (!fired) break;
        } else {
            ASSERT_TRUE(fired);
            ++refused;
        }
        ASSERT_EQ(used, UsedChunks());
        ExpectKept(kept);
        EXPECT_POOL_SOUND();
    }
    EXPECT_GE(refused, 2u) << "the operation made no block";
}

TEST(Faults, StoreThatMakesBlocksAndGrowsTheArray) {
    std::vector<Kept> kept = FillSome();
    std::vector<uint8_t> big(30000, 'B');
    // 30000 bytes need 938 chunks: the holes, then new blocks in new slots.
    EveryFailure(kept, [&] { return ZmsPut(big.data(), 30000); });
    ExpectKept(kept);
}

TEST(Faults, CopyThatMakesBlocksAndGrowsTheArray) {
    std::vector<Kept> kept = FillSome();
    std::vector<uint8_t> big(30000, 'C');
    StringHandle source = ZmsPut(big.data(), 30000);
    kept.push_back({source, big});
    EveryFailure(kept, [&] { return ZmsDup(source); });
    ExpectKept(kept);
}

TEST(Faults, FirstStoreInAFreshProcess) {
    EveryFailure({}, [] { return ZmsPut("hello", 6); });
    EXPECT_EQ(0xFF000000u, ZmsPut("hello", 6));
}

}  // namespace
