// The string store and the text handles under the fuzzer: every call is made
// on the library and on the literal model, and both must give the same
// result and the same pool. Beside the model, the strings an input stored
// are kept with their bytes: a string that no free has reached must read
// back unchanged whatever else was called, stale and made-up handles
// included.
//
// The pool lives for the whole process, so each input ends by freeing all
// it stored; the model stays in lock-step across inputs. To make every input
// start from the same pool, the pool gets kPoolSlots slots once, at start,
// and an input never holds more chunks than fit in fewer blocks: the count
// of slots stays put and nothing of one input shows in the next.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "fuzz/harness.h"
#include "strings/pool.h"
#include "tests/dropped_blocks.h"
#include "tests/model/literal_pool.h"
#include "tembrix.h"

namespace fuzz {
namespace {

using tbx::ChunkBlock;
using tbx::stringPool;

constexpr unsigned kPoolSlots = 40;
// A new block is made only when every block is full, so a pool that never
// holds more than this many chunks never needs more than kPoolSlots - 3.
constexpr unsigned kChunkBudget = (kPoolSlots - 4) * 256;

// A string an input stored, with its bytes and its chunks as stored.
struct Tracked {
    uint32_t handle;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> chunks;
};

model::LiteralPool g_model;
std::vector<Tracked> g_strings;  // stored, and no free has reached them since
std::vector<uint32_t> g_freed;   // handles freed, for reuse as stale ones
unsigned g_mutations = 0;

const ChunkBlock* LibraryBlock(unsigned b) { return static_cast<const ChunkBlock*>(stringPool.entries[b]); }

// The chunks the chain of `h` runs through in the model, up to its end or
// the first chunk that is not occupied.
std::vector<uint32_t> ChainOf(uint32_t h) {
    std::vector<uint32_t> refs;
    for (uint32_t ref = h & 0xFFFFFF; (h >> 24) == 0xFF && ref != 0xFFFFFF && g_model.Link(ref);
         ref = g_model.Link(ref) & 0xFFFFFF)
        refs.push_back(ref);
    return refs;
}

// ---- what the input chooses ------------------------------------------------

// Bytes to store: a length at a chunk or block boundary, any length, or a
// short one, filled from a seed with a run of one byte or a pattern. A text
// ends in its only NUL and may be longer than the store takes.
std::vector<uint8_t> Bytes(Session& s, bool text) {
    static const uint16_t kLengths[] = {0,   1,    2,    31,   32,   33,    63,    64,    65,   255,
                                        256, 257,  1000, 8192, 8193, 9000, 65533, 65534, 65535};
    uint8_t sel = s.Byte(), seed = s.Byte();
    size_t n = sel < 0xA0 ? 1 + sel % 70 : sel < 0xB8 ? s.U16() : kLengths[sel % (sizeof kLengths / 2)];
    if (text && sel >= 0xFC) n = 65535 + sel % 3;
    std::vector<uint8_t> v(n + text);
    for (size_t i = 0; i < n; ++i) {
        auto b = static_cast<uint8_t>((seed & 1) ? seed : seed + i * 7 + (i >> 5));
        v[i] = text && b == 0 ? 'z' : b;
    }
    return v;
}

uint32_t PickHandle(Session& s) {
    const Tracked* t = g_strings.empty() ? nullptr : &g_strings[s.Below(g_strings.size())];
    uint32_t own = t ? t->handle : 0xFF000000;
    uint32_t inside = t ? 0xFF000000 | t->chunks[s.U16() % t->chunks.size()] : 0;
    uint32_t stale = g_freed.empty() ? 0 : g_freed[s.Below(g_freed.size())];
    uint32_t any_chunk = 0xFF000000u | static_cast<uint32_t>(s.Byte()) << 16 | s.Below(kPoolSlots + 2);
    uint32_t untagged = (own & 0xFFFFFF) | static_cast<uint32_t>(s.Byte() % 0xFF) << 24;
    return s.Pick({own, own, own, own, own, inside, stale, any_chunk, untagged, s.U32(), 0u, HSTR_EMPTY,
                    0xFFFFFFFFu});
}

// ---- checks ------------------------------------------------------------------

void Same(uint32_t want, uint32_t got, const char* call, uint32_t arg) {
    FUZZ_CHECK(want == got, "%s(0x%08x): model 0x%08x, library 0x%08x", call, arg, want, got);
}

// The library's pool equals the model's block for block, byte for byte. So
// it must after a call that failed without the model being told (`failed`),
// but for a block with no occupied chunk left behind or released, and for
// new bytes in free chunks.
void ComparePools(const char* after, bool failed = false) {
    FUZZ_CHECK(g_model.count() == stringPool.count, "after %s: %u slots, the model has %u", after,
               stringPool.count, static_cast<unsigned>(g_model.count()));
    for (unsigned b = 0; b < stringPool.count; ++b) {
        const ChunkBlock *want = g_model.block(b), *got = LibraryBlock(b);
        const ChunkBlock* alone = want && got ? nullptr : want ? want : got;
        FUZZ_CHECK(!alone || (failed && alone->used == 0), "after %s, slot %u differs from the model's", after, b);
        if (alone || !want) continue;
        FUZZ_CHECK(std::memcmp(want, got, failed ? offsetof(ChunkBlock, data) : sizeof(ChunkBlock)) == 0,
                   "after %s, block %u differs from the model's", after, b);
        for (unsigned c = 0; failed && c < 256; ++c)
            FUZZ_CHECK(!want->links[c] || std::memcmp(want->data[c], got->data[c], 32) == 0,
                       "after %s, chunk %u of block %u differs from the model's", after, c, b);
    }
}

// The pool's invariants hold and every string no free has reached reads
// back from the library as stored.
void CheckStrings(const char* after) {
    const char* fault = tbx::pool_fault();
    FUZZ_CHECK(!fault, "after %s: %s", after, fault);
    for (const Tracked& t : g_strings) {
        std::vector<uint8_t> out(t.bytes.size());
        uint16_t n = ZmsGet(t.handle, out.data(), static_cast<uint16_t>(out.size()));
        FUZZ_CHECK(n == out.size() && out == t.bytes, "after %s, 0x%08x no longer reads back", after, t.handle);
    }
}

// Frees the block whose release the platform refused in the call, after
// checking that the call dropped it from its slot.
void ReleaseRefused(const Session& s, const char* call) {
    FUZZ_CHECK(testing_pool::FreeRefused(s.refused), "%s kept a block the platform would not free", call);
}

// Checks a call that failed and that the model was not told about, and
// lets the model take the library's pool as it is.
void Failed(const char* call) {
    ComparePools(call, true);
    CheckStrings(call);
    g_model.Mirror(stringPool);
}

// ---- the calls ---------------------------------------------------------------

// ZmsPut, hstrput, ZmsDup or hstrdup, when the pool has room for what it
// may take; a failure the input armed makes the library refuse, and then
// the model is not told.
void Store(Session& s) {
    static const char* const kNames[] = {"ZmsPut", "hstrput", "ZmsDup", "hstrdup"};
    unsigned kind = s.Byte() % 4;
    uint32_t h = kind >= 2 ? PickHandle(s) : 0;
    std::vector<uint8_t> bytes;
    if (kind < 2 || s.Byte() % 4 == 0) bytes = Bytes(s, kind != 0);
    const uint8_t* p = s.Byte() % 16 ? bytes.data() : nullptr;
    const auto* text = reinterpret_cast<const char*>(p);
    auto n = static_cast<uint16_t>(bytes.size());
    // A copy, of a stale chain too, takes at most one chunk past the longest string.
    size_t chunks = kind < 2 ? bytes.size() / 32 + 1 : tbx::kMaxChainChunks + 2;
    unsigned occupied = 0;
    for (size_t b = 0; b < g_model.count(); ++b) occupied += g_model.block(b) ? g_model.block(b)->used : 0;
    if (occupied + chunks > kChunkBudget) return;
    uint32_t got = s.Fallible([&] {
        return kind == 0 ? ZmsPut(p, n) : kind == 1 ? hstrput(text) : kind == 2 ? ZmsDup(h) : hstrdup(h, text);
    });
    ReleaseRefused(s, kNames[kind]);
    if (s.fired && got == 0) return Failed(kNames[kind]);
    Same(kind == 0   ? g_model.Put(p, n)
         : kind == 1 ? g_model.HPut(text)
         : kind == 2 ? g_model.Dup(h)
                     : g_model.HDup(h, text),
         got, kNames[kind], h);
    if (got != 0 && got != HSTR_EMPTY) {
        Tracked t{got, std::vector<uint8_t>(g_model.Len(got)), ChainOf(got)};
        g_model.Get(got, t.bytes.data(), static_cast<uint16_t>(t.bytes.size()));
        g_strings.push_back(std::move(t));
    }
    if (++g_mutations % 64 == 0) ComparePools(kNames[kind]);
}

// Reads into a buffer of exactly the size given, or into none.
void Read(Session& s, bool text) {
    uint32_t h = PickHandle(s);
    unsigned len = g_model.Len(h);
    auto size = static_cast<uint16_t>(s.Pick({0u, 1u, 31u, 32u, 33u, 65534u, 65535u, len ? len - 1 : 0, len + 1,
                                               len, len, unsigned{s.U16()}}));
    bool none = s.Byte() % 8 == 0;
    std::vector<uint8_t> want(size ? size : 1, 0x5C), got = want;
    auto* w = reinterpret_cast<char*>(none ? nullptr : want.data());
    auto* g = reinterpret_cast<char*>(none ? nullptr : got.data());
    if (text) Same(g_model.HGet(h, w, size), hstrget(h, g, size), "hstrget", h);
    else Same(g_model.Get(h, w, size), ZmsGet(h, g, size), "ZmsGet", h);
    FUZZ_CHECK(want == got, "the buffers differ after a read of 0x%08x", h);
}

// Compares the string of `h` with its own bytes, cut, lengthened or with
// one byte changed, or with none; a text also with any text.
void Compare(Session& s, bool text) {
    uint32_t h = PickHandle(s);
    // A chain that breaks has no length, but a read leaves in the buffer
    // what it copied up to the break: those bytes compare equal so far.
    unsigned len = g_model.Len(h);
    if (len == 0) len = 32 * (1 + s.Byte() % 4);
    std::vector<uint8_t> bytes(len + 3, s.Byte());
    g_model.Get(h, bytes.data(), static_cast<uint16_t>(len));
    uint8_t how = s.Byte();
    if (how & 1) bytes[s.U16() % len] ^= static_cast<uint8_t>(1 + s.Byte() % 255);
    auto n = static_cast<uint16_t>((how & 2) ? s.Below(len + 3) : len);
    const uint8_t* p = (how & 4) ? nullptr : bytes.data();
    if (!text) return Same(g_model.Cmp(h, p, n), ZmsCmp(h, p, n), "ZmsCmp", h);
    std::replace(bytes.begin(), bytes.begin() + n, uint8_t{0}, uint8_t{1});
    bytes[n] = 0;
    if (how & 8) bytes = Bytes(s, true);
    const auto* t = reinterpret_cast<const char*>(p ? bytes.data() : nullptr);
    Same(g_model.HCmp(h, t), hstrcmp(h, t), "hstrcmp", h);
}

// The model frees first, then the library with the armed failure: a free
// has no result, and one whose block release failed must free the same
// chunks and leave the same pool; the block it could not release leaves
// its slot and is freed here. The strings the chain of `h` reached are no
// longer tracked; the rest must read back.
void Free(Session& s, bool text) {
    uint32_t h = PickHandle(s);
    std::vector<uint32_t> reached = ChainOf(h);
    std::sort(reached.begin(), reached.end());
    std::erase_if(g_strings, [&](const Tracked& t) {
        return std::any_of(t.chunks.begin(), t.chunks.end(),
                           [&](uint32_t c) { return std::binary_search(reached.begin(), reached.end(), c); });
    });
    if (h != 0 && h != HSTR_EMPTY) g_freed.push_back(h);
    text ? g_model.HFree(h) : g_model.Free(h);
    const char* call = text ? "hstrfree" : "ZmsFree";
    s.Fallible([&] {
        text ? hstrfree(h) : ZmsFree(h);
        return 0;
    });
    ReleaseRefused(s, call);
    CheckStrings(call);
    if (s.fired || ++g_mutations % 64 == 0) ComparePools(call);
}

void FreeBoth(uint32_t h) {
    g_model.Free(h);
    ZmsFree(h);
}

const Call kCalls[] = {
    {"a store", Store},
    {"ZmsGet", [](Session& s) { Read(s, false); }},
    {"hstrget", [](Session& s) { Read(s, true); }},
    {"ZmsCmp", [](Session& s) { Compare(s, false); }},
    {"hstrcmp", [](Session& s) { Compare(s, true); }},
    {"ZmsFree", [](Session& s) { Free(s, false); }},
    {"hstrfree", [](Session& s) { Free(s, true); }},
    {"ZmsLen and ZmsPtr",
     [](Session& s) {
         uint32_t h = PickHandle(s);
         Same(g_model.Len(h), ZmsLen(h), "ZmsLen", h);
         Same(g_model.HLen(h), hstrlen(h), "hstrlen", h);
         int32_t where = g_model.Ptr(h);
         const void* want = where < 0 ? nullptr : LibraryBlock(where >> 8)->data[where & 0xFF];
         FUZZ_CHECK(ZmsPtr(h) == want && hstrptr(h) == want, "ZmsPtr(0x%08x) is not the model's chunk", h);
     }},
};

int32_t Objects() {
    return (stringPool.entries ? 1 : 0) +
           static_cast<int32_t>(std::count_if(stringPool.entries, stringPool.entries + stringPool.count,
                                              [](void* block) { return block; }));
}

void Start() {
    // Give the pool its slots: one 8192-byte string fills one block.
    std::vector<uint8_t> fill(8192, 0x33);
    uint32_t handles[kPoolSlots];
    for (uint32_t& h : handles) {
        h = ZmsPut(fill.data(), 8192);
        Same(g_model.Put(fill.data(), 8192), h, "ZmsPut", 8192);
    }
    for (uint32_t h : handles) FreeBoth(h);
    FUZZ_CHECK(stringPool.count == kPoolSlots, "the pool has %u slots at start", stringPool.count);
}

void EndInput() {
    ComparePools("the input");
    CheckStrings("the input");
    // Free every chunk still occupied, cut chains and all, then fill and
    // free each empty block a failed call left, so the next input finds
    // every slot empty.
    for (uint32_t b = 0; b < kPoolSlots; ++b) {
        for (uint32_t c = 0; c < 256; ++c)
            if (g_model.Link(c << 16 | b)) FreeBoth(0xFF000000 | c << 16 | b);
    }
    for (unsigned b = 0; b < kPoolSlots; ++b) {
        if (!LibraryBlock(b)) continue;
        uint32_t h = ZmsPut("x", 1);  // into block b, the lowest left
        Same(g_model.Put("x", 1), h, "ZmsPut", 1);
        FreeBoth(h);
    }
    ComparePools("the end of the input");
    FUZZ_CHECK(stringPool.count == kPoolSlots && Objects() == 1, "an input left blocks or slots behind");
    g_strings.clear();
    g_freed.clear();
    g_mutations = 0;
}

}  // namespace

const Family kStoreFamily = {kCalls, sizeof kCalls / sizeof kCalls[0], Start, EndInput, Objects};

}  // namespace fuzz
