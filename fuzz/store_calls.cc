// The string store and the text handles under the fuzzer: every call is made
// on the library and on the literal model, and both must give the same
// result and the same pool. Beside the model, the strings an input stored
// are tracked with their bytes, to check that a string nobody freed reads
// back unchanged whatever else was called.
//
// The pool lives for the whole process, so each input ends by freeing all
// it stored; the model stays in lock-step across inputs. To make every input
// start from the same pool, the pool gets kPoolSlots slots once, at start,
// and an input never holds more chunks than fit in fewer blocks: the count
// of slots stays put and nothing of one input shows in the next.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/harness.h"
#include "strings/pool.h"
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
constexpr size_t kMaxFreed = 64;

// A string an input stored, as it was stored.
struct Tracked {
    uint32_t handle;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> chunks;  // references of its chunks, in order
    std::vector<uint32_t> links;   // their link words
    uint64_t seq;      // order of storing
    bool cut = false;  // a free through another handle took part of its chain
};

struct Store {
    model::LiteralPool model;
    std::vector<Tracked> strings;  // stored and not freed through their own handle
    std::vector<uint32_t> freed;   // handles freed, for reuse as stale ones
    unsigned mutations = 0;
    uint64_t stored = 0;
};

Store* g_store;

const ChunkBlock* LibraryBlock(unsigned b) { return static_cast<const ChunkBlock*>(stringPool.entries[b]); }

uint32_t ModelLink(uint32_t ref) {
    unsigned b = ref & 0xFFFF;
    if (b >= g_store->model.count() || !g_store->model.block(b)) return 0;
    return g_store->model.block(b)->links[(ref >> 16) & 0xFF];
}

unsigned OccupiedChunks() {
    unsigned n = 0;
    for (size_t b = 0; b < g_store->model.count(); ++b)
        if (g_store->model.block(b)) n += g_store->model.block(b)->used;
    return n;
}

// Returns how many chunks a copy of the chain of `handle` can take: its
// length when it ends in the end mark; for a chain broken by a free, up to
// the longest string's chunks, since the copy may take the free chunks the
// chain leads to and run on through itself.
unsigned CopyChunks(uint32_t handle) {
    if ((handle >> 24) != 0xFF) return 0;
    unsigned n = 0;
    for (uint32_t ref = handle & tbx::END_OF_CHAIN; ref != tbx::END_OF_CHAIN; ++n) {
        uint32_t link = ModelLink(ref);
        if (!link || n > tbx::kMaxChainChunks) return tbx::kMaxChainChunks + 1;
        ref = link & tbx::END_OF_CHAIN;
    }
    return n;
}

// ---- what the input chooses ------------------------------------------------

const uint16_t kLengths[] = {0, 1, 2, 31, 32, 33, 63, 64, 65, 255, 256, 257, 1000, 8192, 8193, 9000,
                             65533, 65534, 65535};

uint16_t PickLength(Input& in) {
    uint8_t sel = in.Byte();
    if (sel < 0xA0) return static_cast<uint16_t>(1 + sel % 70);
    if (sel < 0xC0) return in.U16();
    return kLengths[sel % (sizeof kLengths / sizeof kLengths[0])];
}

// Bytes from a seed: runs of one byte, a pattern, or text-like bytes.
std::vector<uint8_t> Content(Input& in, size_t n, bool text) {
    uint8_t seed = in.Byte();
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = (seed & 1) ? seed : static_cast<uint8_t>(seed + i * 7 + (i >> 5));
        v[i] = text && b == 0 ? 'z' : b;
    }
    return v;
}

uint32_t PickHandle(Input& in) {
    Store& s = *g_store;
    uint8_t sel = in.Byte();
    switch (sel % 13) {
        case 0: return in.U32();
        case 1: return s.freed.empty() ? 0 : s.freed[in.Below(static_cast<unsigned>(s.freed.size()))];
        case 2: {  // a chunk inside a stored string's chain
            if (s.strings.empty()) return 0;
            const Tracked& t = s.strings[in.Below(static_cast<unsigned>(s.strings.size()))];
            return t.chunks.empty() ? 0 : 0xFF000000u | t.chunks[in.U16() % t.chunks.size()];
        }
        case 3: return 0xFF000000u | static_cast<uint32_t>(in.Byte()) << 16 | in.Below(kPoolSlots + 2);
        case 4: return 0;
        case 5: return HSTR_EMPTY;
        case 6: return 0xFFFFFFFF;
        case 7: {  // a stored string's handle with another top byte
            if (s.strings.empty()) return 0x00000001;
            uint32_t h = s.strings[in.Below(static_cast<unsigned>(s.strings.size()))].handle;
            return (h & tbx::END_OF_CHAIN) | static_cast<uint32_t>(in.Byte() % 0xFF) << 24;
        }
        default:
            if (s.strings.empty()) return 0xFF000000;
            return s.strings[in.Below(static_cast<unsigned>(s.strings.size()))].handle;
    }
}

// A buffer size around the length of the string of `h`.
uint16_t PickSize(Input& in, uint32_t h) {
    unsigned len = g_store->model.Len(h);
    switch (in.Byte() % 12) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 31;
        case 3: return 32;
        case 4: return 33;
        case 5: return static_cast<uint16_t>(len ? len - 1 : 0);
        case 6: return static_cast<uint16_t>(len + 1);
        case 7: return 65534;
        case 8: return 65535;
        case 9: return in.U16();
        case 10: return static_cast<uint16_t>(len > 2 ? len - 2 : 2);
        default: return static_cast<uint16_t>(len);
    }
}

// A buffer of exactly `size` bytes, so a write past it is caught.
std::unique_ptr<uint8_t[]> Buffer(size_t size, uint8_t fill) {
    std::unique_ptr<uint8_t[]> b(new uint8_t[size ? size : 1]);
    std::memset(b.get(), fill, size ? size : 1);
    return b;
}

// ---- checks ------------------------------------------------------------------

void ExpectSame(uint32_t want, uint32_t got, const char* call, uint32_t h) {
    FUZZ_CHECK(want == got, "%s(0x%08x): model 0x%08x, library 0x%08x", call, h, want, got);
}

// The library's pool equals the model block for block, byte for byte, and
// (when `recount`) the pool's own invariants hold.
void ComparePools(bool recount) {
    const model::LiteralPool& m = g_store->model;
    FUZZ_CHECK(m.count() == stringPool.count, "slot count: model %zu, library %u", m.count(),
               stringPool.count);
    for (unsigned b = 0; b < stringPool.count; ++b) {
        const ChunkBlock* want = m.block(b);
        const ChunkBlock* got = LibraryBlock(b);
        FUZZ_CHECK((want == nullptr) == (got == nullptr), "slot %u: model %s, library %s", b,
                   want ? "block" : "empty", got ? "block" : "empty");
        FUZZ_CHECK(!want || std::memcmp(want, got, sizeof(ChunkBlock)) == 0, "block %u differs", b);
    }
    const char* fault = recount ? tbx::pool_fault() : nullptr;
    FUZZ_CHECK(!fault, "pool invariant: %s", fault);
}

// After a call the model was not told about failed: the library must hold
// exactly the model's strings. What a failed call may leave is an empty
// block (no occupied chunk) or one fewer, more slots, and new bytes in
// free chunks. The model then takes the library's pool as it is.
void CompareAfterFailure(const char* call) {
    model::LiteralPool& m = g_store->model;
    FUZZ_CHECK(stringPool.count >= m.count(), "%s failed and the slot count fell", call);
    for (unsigned b = 0; b < stringPool.count; ++b) {
        const ChunkBlock* want = b < m.count() ? m.block(b) : nullptr;
        const ChunkBlock* got = LibraryBlock(b);
        if (!want) {
            FUZZ_CHECK(!got || got->used == 0, "%s failed and left chunks in block %u", call, b);
            for (unsigned c = 0; got && c < 256; ++c)
                FUZZ_CHECK(got->links[c] == 0, "%s failed and left chunk %u of block %u", call, c, b);
            continue;
        }
        // An empty block may be filled and released by the failed call.
        if (!got && want->used == 0) continue;
        FUZZ_CHECK(got, "%s failed and lost block %u", call, b);
        FUZZ_CHECK(got->used == want->used, "%s failed and changed used of block %u", call, b);
        FUZZ_CHECK(std::memcmp(got->links, want->links, sizeof want->links) == 0,
                   "%s failed and changed link words of block %u", call, b);
        for (unsigned c = 0; c < 256; ++c) {
            FUZZ_CHECK(!want->links[c] || std::memcmp(got->data[c], want->data[c], 32) == 0,
                       "%s failed and changed chunk %u of block %u", call, c, b);
        }
    }
    const char* fault = tbx::pool_fault();
    FUZZ_CHECK(!fault, "pool invariant after a failed %s: %s", call, fault);
    m.Mirror(stringPool);
}

// Every tracked string that still has all its chunks reads back as stored.
void CheckTrackedBytes() {
    for (const Tracked& t : g_store->strings) {
        if (t.cut) continue;
        auto out = Buffer(t.bytes.size(), 0xA5);
        uint16_t n = ZmsGet(t.handle, out.get(), static_cast<uint16_t>(t.bytes.size()));
        uint16_t want = t.bytes.size() == 0xFFFF ? 0xFFFF : static_cast<uint16_t>(t.bytes.size());
        FUZZ_CHECK(n == want && std::memcmp(out.get(), t.bytes.data(), t.bytes.size()) == 0,
                   "string 0x%08x no longer reads back as stored", t.handle);
    }
}

void Track(uint32_t h) {
    if (h == 0 || h == HSTR_EMPTY) return;
    Tracked t{h, {}, {}, {}, ++g_store->stored, false};
    t.bytes.resize(g_store->model.Len(h));
    g_store->model.Get(h, t.bytes.data(), static_cast<uint16_t>(t.bytes.size()));
    for (uint32_t ref = h & tbx::END_OF_CHAIN; ref != tbx::END_OF_CHAIN;) {
        uint32_t link = ModelLink(ref);
        t.chunks.push_back(ref);
        t.links.push_back(link);
        ref = link & tbx::END_OF_CHAIN;
    }
    g_store->strings.push_back(std::move(t));
}

bool Intact(const Tracked& t) {
    for (size_t i = 0; i < t.chunks.size(); ++i)
        if (ModelLink(t.chunks[i]) != t.links[i]) return false;
    return true;
}

// A free through `h` may take chunks of the string that holds the chunk
// `h` names, and, when that string was cut before, of whatever its chain
// ran on into since. Every other string must keep all its chunks.
void Freeing(uint32_t h, void (*free_in_model)(uint32_t)) {
    Store& s = *g_store;
    const Tracked* owner = nullptr;
    uint32_t ref = h & tbx::END_OF_CHAIN;
    if ((h >> 24) == 0xFF && ModelLink(ref)) {
        // The chunk is occupied: by the string that took it last.
        for (const Tracked& t : s.strings) {
            if (owner && owner->seq > t.seq) continue;
            for (uint32_t r : t.chunks)
                if (r == ref) owner = &t;
        }
    }
    uint64_t owner_seq = owner ? owner->seq : 0;
    bool owner_cut = owner && owner->cut;
    free_in_model(h);
    if (h != 0 && h != HSTR_EMPTY) {
        s.freed.push_back(h);
        if (s.freed.size() > kMaxFreed) s.freed.erase(s.freed.begin());
    }
    for (size_t i = 0; i < s.strings.size();) {
        Tracked& t = s.strings[i];
        if (!t.cut && !Intact(t)) {
            FUZZ_CHECK(owner_cut || (owner && t.seq == owner_seq),
                       "freeing 0x%08x took chunks of string 0x%08x, whose chain it does not name", h,
                       t.handle);
            t.cut = true;
        }
        // A string whose first chunk is gone has no chunk left.
        if (ModelLink(t.chunks[0]) == 0) {
            s.strings[i] = std::move(s.strings.back());
            s.strings.pop_back();
        } else {
            ++i;
        }
    }
}

bool WithinBudget(unsigned chunks) { return OccupiedChunks() + chunks <= kChunkBudget; }

// Stores through `library` and `model`; a failure the input armed makes
// the library refuse, and then the model is not told.
template <typename Lib, typename Model>
void StoreCall(Session& session, const char* call, uint32_t arg, Lib library, Model model) {
    uint32_t got = session.Fallible(library);
    if (session.fired && got == 0) {
        CompareAfterFailure(call);
        CheckTrackedBytes();
        return;
    }
    ExpectSame(model(), got, call, arg);
    Track(got);
    ++g_store->mutations;
}

// ---- the calls ---------------------------------------------------------------

enum Call : unsigned { kPut, kGet, kLen, kPtr, kFree, kCmp, kDup, kHPut, kHGet, kHCmp, kHDup, kHFree, kCalls };

std::vector<char> Text(Input& in) {
    unsigned n = in.Byte() < 0xF0 ? PickLength(in) : 65535u + in.Below(3);
    std::vector<uint8_t> bytes = Content(in, n, true);
    std::vector<char> text(bytes.begin(), bytes.end());
    text.push_back('\0');
    return text;
}

void Read(uint32_t h, Input& in, bool text) {
    model::LiteralPool& m = g_store->model;
    uint16_t size = PickSize(in, h);
    bool null_buffer = in.Byte() % 8 == 0;
    auto want = Buffer(size, 0x5C), got = Buffer(size, 0x5C);
    uint8_t* w = null_buffer ? nullptr : want.get();
    uint8_t* g = null_buffer ? nullptr : got.get();
    if (text) {
        ExpectSame(m.HGet(h, reinterpret_cast<char*>(w), size),
                   hstrget(h, reinterpret_cast<char*>(g), size), "hstrget", h);
    } else {
        ExpectSame(m.Get(h, w, size), ZmsGet(h, g, size), "ZmsGet", h);
    }
    FUZZ_CHECK(std::memcmp(want.get(), got.get(), size ? size : 1) == 0, "buffers differ after a read of 0x%08x",
               h);
}

// Bytes to compare with the string of `h`: its own bytes, cut, lengthened
// or with one byte changed, or none.
void Compare(uint32_t h, Input& in, bool text) {
    model::LiteralPool& m = g_store->model;
    if (text && in.Byte() % 4 == 0) {
        std::vector<char> t = Text(in);
        ExpectSame(static_cast<uint32_t>(m.HCmp(h, t.data())), static_cast<uint32_t>(hstrcmp(h, t.data())),
                   "hstrcmp", h);
        return;
    }
    // A chain that breaks has no length, but a read leaves in the buffer
    // what it copied up to the break: those bytes compare equal so far.
    unsigned len = m.Len(h);
    if (len == 0) len = 32 * (1 + in.Byte() % 4);
    std::vector<uint8_t> bytes(len + 2, in.Byte());
    m.Get(h, bytes.data(), static_cast<uint16_t>(len));
    uint8_t how = in.Byte();
    if (len && (how & 1)) bytes[in.U16() % len] ^= static_cast<uint8_t>(1 + in.Byte() % 255);
    unsigned n = (how & 2) ? in.Below(len + 3) : len;
    if (text) {
        bytes.push_back(0);
        for (unsigned i = 0; i < n && i < bytes.size(); ++i)
            if (!bytes[i]) bytes[i] = 1;
        bytes[n < bytes.size() ? n : bytes.size() - 1] = 0;
        const char* t = (how & 4) ? nullptr : reinterpret_cast<const char*>(bytes.data());
        ExpectSame(static_cast<uint32_t>(m.HCmp(h, t)), static_cast<uint32_t>(hstrcmp(h, t)), "hstrcmp", h);
    } else {
        const void* p = (how & 4) ? nullptr : bytes.data();
        auto n16 = static_cast<uint16_t>(n);
        ExpectSame(static_cast<uint32_t>(m.Cmp(h, p, n16)), static_cast<uint32_t>(ZmsCmp(h, p, n16)), "ZmsCmp",
                   h);
    }
}

void FreeBoth(uint32_t h) {
    g_store->model.Free(h);
    ZmsFree(h);
}

void Free(Session& session, uint32_t h, bool text) {
    // The model frees first, then the library with the armed failure. A
    // free has no result: one whose block release failed must free the
    // same chunks and may only leave that block behind, empty.
    Freeing(h, text ? +[](uint32_t x) { g_store->model.HFree(x); } : +[](uint32_t x) { g_store->model.Free(x); });
    session.Fallible([&] {
        if (text) hstrfree(h);
        else ZmsFree(h);
        return 0;
    });
    if (session.fired) CompareAfterFailure(text ? "hstrfree" : "ZmsFree");
    ++g_store->mutations;
}

void Step(Session& session, unsigned call) {
    Store& s = *g_store;
    Input& in = session.in;
    model::LiteralPool& m = s.model;
    switch (call) {
        case kPut: {
            uint16_t n = PickLength(in);
            std::vector<uint8_t> bytes = Content(in, n, false);
            const void* p = in.Byte() % 16 == 0 ? nullptr : bytes.data();
            if (!WithinBudget((n + 31u) / 32)) return;
            StoreCall(session, "ZmsPut", n, [&] { return ZmsPut(p, n); }, [&] { return m.Put(p, n); });
            break;
        }
        case kHPut: {
            std::vector<char> text = Text(in);
            const char* p = in.Byte() % 16 == 0 ? nullptr : text.data();
            if (!WithinBudget(static_cast<unsigned>(text.size() + 31) / 32)) return;
            StoreCall(session, "hstrput", 0, [&] { return hstrput(p); }, [&] { return m.HPut(p); });
            break;
        }
        case kDup:
        case kHDup: {
            uint32_t h = PickHandle(in);
            std::vector<char> text;
            if (call == kHDup && in.Byte() % 4 == 0) text = Text(in);
            const char* t = text.empty() ? nullptr : text.data();
            unsigned need = t ? static_cast<unsigned>(text.size() + 31) / 32 : CopyChunks(h);
            if (!WithinBudget(need + 1)) return;
            if (call == kDup)
                StoreCall(session, "ZmsDup", h, [&] { return ZmsDup(h); }, [&] { return m.Dup(h); });
            else
                StoreCall(session, "hstrdup", h, [&] { return hstrdup(h, t); }, [&] { return m.HDup(h, t); });
            break;
        }
        case kGet:
        case kHGet:
            Read(PickHandle(in), in, call == kHGet);
            return;
        case kLen: {
            uint32_t h = PickHandle(in);
            ExpectSame(m.Len(h), ZmsLen(h), "ZmsLen", h);
            ExpectSame(m.HLen(h), hstrlen(h), "hstrlen", h);
            return;
        }
        case kPtr: {
            uint32_t h = PickHandle(in);
            int32_t where = m.Ptr(h);
            void* want = where < 0 ? nullptr
                                   : tbx::payload(const_cast<ChunkBlock*>(LibraryBlock(where >> 8)), where & 0xFF);
            FUZZ_CHECK(want == ZmsPtr(h), "ZmsPtr(0x%08x) is not the model's chunk", h);
            FUZZ_CHECK(want == hstrptr(h), "hstrptr(0x%08x) is not the model's chunk", h);
            return;
        }
        case kCmp:
        case kHCmp:
            Compare(PickHandle(in), in, call == kHCmp);
            return;
        case kFree:
        case kHFree:
            Free(session, PickHandle(in), call == kHFree);
            break;
    }
    if (s.mutations % 64 == 0) ComparePools(false);
}

void Start() {
    g_store = new Store;
    // Give the pool its slots: one 8192-byte string fills one block.
    std::vector<uint8_t> fill(8192, 0x33);
    std::vector<uint32_t> handles;
    for (unsigned b = 0; b < kPoolSlots; ++b) {
        uint32_t h = ZmsPut(fill.data(), 8192);
        ExpectSame(g_store->model.Put(fill.data(), 8192), h, "ZmsPut", 8192);
        handles.push_back(h);
    }
    for (uint32_t h : handles) FreeBoth(h);
    FUZZ_CHECK(stringPool.count == kPoolSlots, "the pool has %u slots at start", stringPool.count);
    ComparePools(true);
}

void EndInput() {
    Store& s = *g_store;
    ComparePools(s.mutations > 0);
    CheckTrackedBytes();
    // Free every chunk still occupied, cut chains and all, then fill and
    // free each empty block a failed call left, so the next input finds
    // every slot empty.
    for (unsigned b = 0; b < stringPool.count; ++b) {
        for (unsigned c = 0; c < 256; ++c) {
            uint32_t h = 0xFF000000u | c << 16 | b;
            if (ModelLink(h & tbx::END_OF_CHAIN)) FreeBoth(h);
        }
    }
    for (bool empty_block = true; empty_block;) {
        empty_block = false;
        for (unsigned b = 0; b < stringPool.count; ++b) empty_block |= LibraryBlock(b) != nullptr;
        if (!empty_block) break;
        uint32_t h = ZmsPut("x", 1);  // into the lowest empty block
        ExpectSame(s.model.Put("x", 1), h, "ZmsPut", 1);
        FreeBoth(h);
    }
    FUZZ_CHECK(stringPool.count == kPoolSlots, "an input grew the pool to %u slots", stringPool.count);
    ComparePools(false);
    for (unsigned b = 0; b < stringPool.count; ++b) FUZZ_CHECK(!LibraryBlock(b), "block %u left at the end", b);
    s.strings.clear();
    s.freed.clear();
    s.mutations = 0;
}

int32_t Objects() {
    int32_t n = stringPool.entries ? 1 : 0;
    for (unsigned b = 0; b < stringPool.count; ++b) n += LibraryBlock(b) ? 1 : 0;
    return n;
}

}  // namespace

const Family kStoreFamily = {"string store", kCalls, Start, Step, EndInput, Objects};

}  // namespace fuzz
