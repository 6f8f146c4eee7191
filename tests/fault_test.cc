// Out of memory at every step: each allocation, resize, lock and free that
// a store, copy or free makes fails in turn. A store or copy returns 0,
// nothing it stored is left behind, no global memory object is leaked,
// and every other string reads back unchanged.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tests/dropped_blocks.h"
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

// Every global memory object alive is the pool's: its slot array or one
// of its blocks.
void ExpectNoLeak() {
    int32_t held = stringPool.entries ? 1 : 0;
    for (unsigned b = 0; b < stringPool.count; ++b) held += stringPool.entries[b] ? 1 : 0;
    EXPECT_EQ(held, tbx::fault::live_objects());
}

constexpr uint32_t kEveryMemoryCall = tbx::fault::kMemory | tbx::fault::kFree;

unsigned UsedChunks() {
    unsigned used = 0;
    for (unsigned b = 0; b < stringPool.count; ++b)
        if (stringPool.entries[b]) used += testing_pool::Block(b)->used;
    return used;
}

// Runs `op` with the k-th memory call failing, for k = 1, 2, ... until it
// runs through; checks that every failure leaves the pool as it was. A
// failure the operation recovers from (a grown slot array locked again)
// gives a handle like a run without failures. A slot array that grew
// stays grown and changes the calls the next run makes, so the count of
// calls starts again from 1.
template <typename Op>
void EveryFailure(const std::vector<Kept>& kept, Op op) {
    unsigned refused = 0;
    for (uint32_t k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << "failing call " << k);
        unsigned used = UsedChunks();
        uint16_t slots = stringPool.count;
        tbx::fault::arm(k, kEveryMemoryCall);
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
        ExpectNoLeak();
        EXPECT_POOL_SOUND();
        if (stringPool.count != slots) k = 0;
    }
    EXPECT_GE(refused, 2u) << "the operation made no block";
}

// Stores, copies and texts that need the holes, then new blocks in new
// slots (30000 bytes are 938 chunks).
TEST(Faults, StoresAndCopiesThatMakeBlocksAndGrowTheArray) {
    std::vector<Kept> kept = FillSome();
    std::vector<uint8_t> big(30000, 'B');
    EveryFailure(kept, [&] { return ZmsPut(big.data(), 30000); });
    StringHandle source = ZmsPut(big.data(), 30000);
    kept.push_back({source, big});
    EveryFailure(kept, [&] { return ZmsDup(source); });
    std::string text(20000, 't');
    EveryFailure(kept, [&] { return hstrput(text.c_str()); });
    StringHandle text_source = hstrput(text.c_str());
    EveryFailure(kept, [&] { return hstrdup(text_source, nullptr); });
    EXPECT_EQ(0, hstrcmp(text_source, text.c_str()));
    ExpectKept(kept);
}

TEST(Faults, FirstStoreInAFreshProcess) {
    EveryFailure({}, [] { return ZmsPut("hello", 6); });
    EXPECT_EQ(0xFF000000u, ZmsPut("hello", 6));
}

// Frees of a string with blocks of its own, while the platform refuses to
// release one of them: the chunks are freed all the same, and the block
// leaves its slot, still allocated. That one block is the leak the entry
// list accepts; the test frees it, so the count of live objects stays
// exact.
TEST(Faults, FreeThatCannotReleaseItsBlock) {
    std::vector<Kept> kept = FillSome();
    std::vector<uint8_t> big(30000, 'F');
    int dropped_in_all = 0;
    for (uint32_t k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << "failing call " << k);
        unsigned used = UsedChunks();
        StringHandle h = ZmsPut(big.data(), 30000);  // spans blocks of its own
        ASSERT_NE(0u, h);
        tbx::fault::arm(k, kEveryMemoryCall);
        ZmsFree(h);
        bool fired = tbx::fault::fired();
        void* refused = tbx::fault::refused();
        tbx::fault::arm(0);
        EXPECT_EQ(0, ZmsLen(h));
        ASSERT_EQ(used, UsedChunks());
        // A free fails only at GlobalFree: the block it would not release
        // left its slot, and the test frees it.
        EXPECT_EQ(fired, refused != nullptr);
        EXPECT_TRUE(testing_pool::FreeRefused(refused));
        dropped_in_all += refused ? 1 : 0;
        ExpectKept(kept);
        ExpectNoLeak();
        EXPECT_POOL_SOUND();
        if (!fired) break;
    }
    EXPECT_GE(dropped_in_all, 2) << "the string had no blocks of its own";
}

// A free the platform refuses leaves the block its caller's as it was: at
// its address, with its bytes, and free to move at the next resize.
TEST(Faults, RefusedFreeLeavesTheBlockAsItWas) {
    auto* block = static_cast<uint8_t*>(ZmdAlloc(0, 100));
    ASSERT_NE(nullptr, block);
    std::memset(block, 5, 100);
    tbx::fault::arm(1, tbx::fault::kFree);
    EXPECT_EQ(block, ZmdFree(block));
    tbx::fault::arm(0);
    auto* moved = static_cast<uint8_t*>(ZmdReAlloc(block, 100000, 0));
    ASSERT_NE(nullptr, moved);
    EXPECT_EQ(5, moved[99]);
    EXPECT_EQ(nullptr, ZmdFree(moved));
}

#ifndef _WIN32
// The stand-in's own memory from the C library, refused one call at a
// time: a call that meets a refusal fails and changes nothing, or gets by
// with less -- a growth without slack behind it, a shrink in place.
TEST(Faults, StandInCopesWithRefusedMemory) {
    using tbx::fault::kHeap;
    auto refused_at = [](uint32_t k, auto op) {
        tbx::fault::arm(k, kHeap);
        auto result = op();
        bool fired = tbx::fault::fired();
        tbx::fault::arm(0);
        return std::pair{result, fired};
    };
    // The first handles, of a file and a mutex: the table cannot grow. The
    // file refused is no open file after, so it shares with nothing.
    char self[4096] = {};
    ZmdGetModuleFileName(nullptr, self, sizeof self - 1);
    constexpr uint32_t kRead = 0x80000000, kShareAll = 7;
    void* const invalid = reinterpret_cast<void*>(~uintptr_t{0});
    const int32_t handles = tbx::fault::open_handles();
    EXPECT_EQ(invalid, refused_at(1, [&] { return ZfdOpen(self, kRead, kShareAll); }).first);
    EXPECT_EQ(nullptr, refused_at(1, [] { return ZmdCreateMutex(0, nullptr); }).first);
    EXPECT_EQ(handles, tbx::fault::open_handles());
    for (int i = 0; i < 2; ++i) {
        void* file = ZfdOpen(self, kRead, 0);
        ASSERT_NE(invalid, file);
        EXPECT_EQ(0, ZfdClose(file));
    }
    void* mutex = ZmdCreateMutex(0, nullptr);
    EXPECT_NE(0, ZmdCloseHandle(mutex));
    // 200 blocks, each made with every one of its allocations refused in
    // turn: the address index's and the object table's growth among them.
    std::vector<uint8_t*> blocks;
    unsigned refusals = 0;
    for (int i = 0; i < 200; ++i) {
        for (uint32_t k = 1;; ++k) {
            const int32_t objects = tbx::fault::live_objects();
            auto [block, fired] = refused_at(k, [] { return static_cast<uint8_t*>(ZmdAlloc(0, 100)); });
            if (!fired) {
                ASSERT_NE(nullptr, block);
                std::memset(block, i, 100);
                blocks.push_back(block);
                break;
            }
            ASSERT_EQ(nullptr, block);
            ASSERT_EQ(objects, tbx::fault::live_objects());
            ++refusals;
        }
    }
    EXPECT_GE(refusals, 200u + 4u);  // at least two growths of each
    auto holds = [](const uint8_t* block, size_t n, int byte) {
        return std::vector<uint8_t>(block, block + n) == std::vector<uint8_t>(n, static_cast<uint8_t>(byte));
    };
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(holds(blocks[i], 100, i)) << "block " << i;
    // A growth refused its slack takes the size asked for; a large shrink
    // refused keeps its memory.
    auto [grown, fired] = refused_at(1, [&] { return static_cast<uint8_t*>(ZmdReAlloc(blocks[7], 1e5, 0)); });
    ASSERT_TRUE(fired);
    ASSERT_NE(nullptr, grown);
    EXPECT_TRUE(holds(grown, 100, 7));
    std::memset(grown + 100, 1, 100000 - 100);
    auto [shrunk, kept] = refused_at(1, [&] { return static_cast<uint8_t*>(ZmdReAlloc(grown, 50, 0)); });
    EXPECT_TRUE(kept);
    EXPECT_TRUE(holds(shrunk, 50, 7));
    blocks[7] = shrunk;
    for (uint8_t* block : blocks) EXPECT_EQ(nullptr, ZmdFree(block));
}
#endif

}  // namespace
