// The pool against the literal model: long random sequences of stores,
// copies, frees and reads give the same handles, results and blocks.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
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

class Differential {
public:
    explicit Differential(uint32_t seed) : rng_(seed) {}

    // Lengths weighted toward small strings, with every chunk boundary and
    // the occasional string that spans blocks.
    uint16_t Length() {
        switch (Pick(10)) {
            case 0: return static_cast<uint16_t>(1 + Pick(9000));
            case 1: return static_cast<uint16_t>(31 + Pick(4));
            default: return static_cast<uint16_t>(1 + Pick(64));
        }
    }

    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    // A handle to use: mostly live, sometimes freed, made up, or empty.
    uint32_t AnyHandle() {
        switch (Pick(12)) {
            case 0: return freed_.empty() ? 0 : freed_[Pick(static_cast<uint32_t>(freed_.size()))];
            case 1: return rng_();
            case 2: return 0xFF000000u | Pick(0x1000000);
            case 3: return 0xFFFFFFFF;
            case 4: return Pick(2) ? 0 : HSTR_EMPTY;
            default: return live_.empty() ? 0 : live_[Pick(static_cast<uint32_t>(live_.size()))];
        }
    }

    void Step() {
        uint32_t op = Pick(100);
        if (op < 30 || live_.empty()) {
            std::vector<uint8_t> bytes(Length());
            for (auto& byte : bytes) byte = static_cast<uint8_t>(Pick(4) ? 'a' + Pick(3) : Pick(256));
            Keep(m_.Put(bytes.data(), static_cast<uint16_t>(bytes.size())),
                 ZmsPut(bytes.data(), static_cast<uint16_t>(bytes.size())));
        } else if (op < 38) {
            uint32_t h = AnyHandle();
            Keep(m_.Dup(h), ZmsDup(h));
        } else if (op < 42) {
            std::string text(Length() % 80, 'a' + static_cast<char>(Pick(26)));
            uint32_t h = AnyHandle();
            if (Pick(2)) {
                Keep(m_.HPut(text.c_str()), hstrput(text.c_str()));
            } else {
                const char* t = Pick(2) ? text.c_str() : nullptr;
                Keep(m_.HDup(h, t), hstrdup(h, t));
            }
        } else if (op < 65) {
            uint32_t i = Pick(static_cast<uint32_t>(live_.size()));
            uint32_t h = live_[i];
            live_[i] = live_.back();
            live_.pop_back();
            freed_.push_back(h);
            if (Pick(2)) m_.Free(h), ZmsFree(h);
            else m_.HFree(h), hstrfree(h);
        } else if (op < 68) {
            uint32_t h = AnyHandle();  // frees of anything, even live chains' middles
            m_.Free(h);
            ZmsFree(h);
        } else {
            Read(AnyHandle());
        }
    }

    void Read(uint32_t h) {
        ASSERT_EQ(m_.Len(h), ZmsLen(h));
        ASSERT_EQ(m_.HLen(h), hstrlen(h));
        int32_t where = m_.Ptr(h);
        void* p = ZmsPtr(h);
        if (where < 0) {
            ASSERT_EQ(nullptr, p);
        } else {
            ASSERT_EQ(tbx::payload(testing_pool::Block(where >> 8), where & 0xFF), p);
        }
        uint16_t size = static_cast<uint16_t>(Pick(3) ? Pick(200) : Pick(65536));
        std::vector<uint8_t> want(size + 1u, 0xA5), got(size + 1u, 0xA5);
        ASSERT_EQ(m_.Get(h, want.data(), size), ZmsGet(h, got.data(), size));
        ASSERT_EQ(want, got);
        ASSERT_EQ(m_.HGet(h, reinterpret_cast<char*>(want.data()), size),
                  hstrget(h, reinterpret_cast<char*>(got.data()), size));
        ASSERT_EQ(want, got);
        ASSERT_EQ(m_.HGet(h, nullptr, size), hstrget(h, nullptr, size));
        // Compare against the stored bytes themselves, altered or cut.
        uint16_t len = ZmsLen(h);
        std::vector<uint8_t> bytes(len + 2u, 'b');
        ZmsGet(h, bytes.data(), len);
        if (len && Pick(2)) bytes[Pick(len)] ^= static_cast<uint8_t>(1 + Pick(255));
        uint16_t n = static_cast<uint16_t>(Pick(len + 3u));
        ASSERT_EQ(m_.Cmp(h, bytes.data(), n), ZmsCmp(h, bytes.data(), n));
        bytes.push_back(0);
        ASSERT_EQ(m_.HCmp(h, reinterpret_cast<char*>(bytes.data())),
                  hstrcmp(h, reinterpret_cast<char*>(bytes.data())));
    }

    void Keep(uint32_t want, uint32_t got) {
        ASSERT_EQ(want, got);
        if (got != 0 && got != HSTR_EMPTY) live_.push_back(got);
    }

    // Frees a random half of the live strings.
    void Churn() {
        for (size_t i = 0; i < live_.size();) {
            if (Pick(2)) {
                m_.Free(live_[i]);
                ZmsFree(live_[i]);
                live_[i] = live_.back();
                live_.pop_back();
            } else {
                ++i;
            }
        }
    }

    model::LiteralPool& model() { return m_; }

private:
    std::mt19937 rng_;
    model::LiteralPool m_;
    std::vector<uint32_t> live_, freed_;
};

TEST(Differential, RandomSequencesMatchTheLiteralScan) {
    Differential d(20261205);
    for (int round = 0; round < 30; ++round) {
        for (int i = 0; i < 400; ++i) {
            d.Step();
            if (testing::Test::HasFatalFailure()) return;
        }
        ExpectSamePool(d.model());
        if (round % 3 == 2) d.Churn();
    }
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

TEST(Differential, ManyBlocksWithHoles) {
    Differential d(7);
    // Mostly stores, so the pool grows to dozens of blocks, then churn
    // leaves empty slots that later stores must refill in order.
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 3000; ++i) {
            uint16_t n = d.Length();
            std::vector<uint8_t> bytes(n, static_cast<uint8_t>(i));
            d.Keep(d.model().Put(bytes.data(), n), ZmsPut(bytes.data(), n));
            if (testing::Test::HasFatalFailure()) return;
        }
        d.Churn();
        d.Churn();
        ExpectSamePool(d.model());
        for (int i = 0; i < 300; ++i) d.Step();
    }
}

}  // namespace
