// Memory blocks and entry lists under the fuzzer: the fuzzer's own blocks
// and two lists of its own, every block filled with a pattern that must
// survive whatever else is called, and pointers that are not blocks (null,
// the stack, a static, the middle of a block, a freed block, a made-up
// value, a chunk of the string store) passed where blocks are expected.
#include <cstring>
#include <vector>

#include "fuzz/harness.h"
#include "platform/platform.h"
#include "tembrix.h"

namespace fuzz {
namespace {

struct Block {
    uint8_t* p;
    uint32_t size;
    uint8_t seed;
};

struct List {
    EntryList list{};
    std::vector<Block> slots;  // what each slot holds; p is null for an empty slot
};

constexpr size_t kMaxBlocks = 24;
constexpr uint16_t kMaxListSlots = 96;

struct Memory {
    std::vector<Block> blocks;
    std::vector<void*> freed;
    List lists[2];
};

Memory* g_memory;
int g_static_word;

void Fill(const Block& b) {
    for (uint32_t i = 0; i < b.size; ++i) b.p[i] = static_cast<uint8_t>(b.seed + i * 31 + (i >> 8));
}

void Check(const Block& b, const char* after) {
    for (uint32_t i = 0; i < b.size; ++i)
        FUZZ_CHECK(b.p[i] == static_cast<uint8_t>(b.seed + i * 31 + (i >> 8)),
                   "after %s, byte %u of a %u-byte block changed", after, i, b.size);
}

void CheckZero(const uint8_t* p, uint32_t from, uint32_t to, const char* call) {
    for (uint32_t i = from; i < to; ++i) FUZZ_CHECK(p[i] == 0, "%s: byte %u is not zero", call, i);
}

bool IsBlock(const void* p) { return tbx::os::GlobalHandle(p) != nullptr; }

const uint32_t kSizes[] = {0, 1, 4, 31, 32, 33, 64, 100, 4096, 9218, 65535, 65536, 100000};

uint32_t PickSize(Input& in) {
    uint8_t sel = in.Byte();
    if (sel < 0xC0) return sel;
    return kSizes[sel % (sizeof kSizes / sizeof kSizes[0])];
}

// A value that is not the start of a live block; `stack` is the address
// of one of the caller's locals.
void* Foreign(Input& in, void* stack) {
    Memory& m = *g_memory;
    void* p = nullptr;
    switch (in.Byte() % 8) {
        case 0: return nullptr;
        case 1: return stack;
        case 2: return &g_static_word;
        case 3:
            if (m.blocks.empty() || m.blocks[0].size < 2) return stack;
            {
                const Block& b = m.blocks[in.Below(static_cast<unsigned>(m.blocks.size()))];
                return b.size > 1 ? b.p + 1 + in.U16() % (b.size - 1) : stack;
            }
        case 4:
            p = m.freed.empty() ? nullptr : m.freed[in.Below(static_cast<unsigned>(m.freed.size()))];
            break;
        case 5: p = reinterpret_cast<void*>(static_cast<uintptr_t>(in.U32()) << (in.Byte() & 7)); break;
        case 6: p = ZmsPtr(0xFF000000u | in.U32()); break;  // a chunk's payload inside the store
        default: {
            List& l = m.lists[in.Byte() & 1];
            p = l.list.entries ? static_cast<void*>(l.list.entries + 1) : nullptr;
            break;
        }
    }
    // A freed address may have been handed out again since.
    return IsBlock(p) ? nullptr : p;
}

enum Call : unsigned { kAlloc, kReAlloc, kFree, kMake, kRemove, kClear, kCalls };

void Alloc(Session& s) {
    Memory& m = *g_memory;
    uint8_t flags = s.in.Byte();
    uint32_t size = PickSize(s.in);
    if (size == 0) s.DisarmFree();
    auto* p = static_cast<uint8_t*>(s.Fallible([&] { return ZmdAlloc(flags, size); }));
    if (size == 0 || s.fired) {
        FUZZ_CHECK(!p, "ZmdAlloc(0x%02x, %u) gave a block%s", flags, size, s.fired ? " with a failure" : "");
        return;
    }
    FUZZ_CHECK(p, "ZmdAlloc(0x%02x, %u) gave null", flags, size);
    if (flags & 0x40) CheckZero(p, 0, size, "ZmdAlloc");
    Block b{p, size, s.in.Byte()};
    Fill(b);
    if (m.blocks.size() < kMaxBlocks) {
        m.blocks.push_back(b);
    } else {
        FUZZ_CHECK(!ZmdFree(p), "ZmdFree of a fresh block failed");
    }
}

void Forget(size_t i) {
    Memory& m = *g_memory;
    m.freed.push_back(m.blocks[i].p);
    if (m.freed.size() > 32) m.freed.erase(m.freed.begin());
    m.blocks[i] = m.blocks.back();
    m.blocks.pop_back();
}

// What ZmdReAlloc and ZmdFree are given: one of the fuzzer's blocks
// (`own` true, its index in `i`) or a value that is not a block.
struct Target {
    explicit Target(Input& in) {
        Memory& m = *g_memory;
        own = !m.blocks.empty() && in.Byte() % 4 != 0;
        i = own ? in.Below(static_cast<unsigned>(m.blocks.size())) : 0;
        p = own ? m.blocks[i].p : Foreign(in, &local);
    }
    bool Untouched() const { return local == kLocal; }

    static constexpr uint64_t kLocal = 0x1122334455667788;
    uint64_t local = kLocal;  // a stack word the library must not touch
    bool own;
    size_t i;
    void* p;
};

void ReAlloc(Session& s) {
    Memory& m = *g_memory;
    Target target(s.in);
    bool own = target.own;
    size_t i = target.i;
    void* p = target.p;
    uint32_t size = PickSize(s.in);
    uint8_t flags = s.in.Byte();
    if (size == 0) s.DisarmFree();
    auto* q = static_cast<uint8_t*>(s.Fallible([&] { return ZmdReAlloc(p, size, flags); }));
    if (!own) {
        FUZZ_CHECK(!q && target.Untouched(), "ZmdReAlloc of a value that is not a block gave a block");
        return;
    }
    Block& b = m.blocks[i];
    if (!q) {
        // Resized to nothing, or failed: the old block is kept unchanged,
        // or (when the resized block could not be locked) gone.
        FUZZ_CHECK(size == 0 || s.fired, "ZmdReAlloc(%u) failed with no failure armed", size);
        if (IsBlock(b.p)) {
            FUZZ_CHECK(s.fired, "ZmdReAlloc to 0 bytes kept the block");
            Check(b, "a failed ZmdReAlloc");
        } else {
            Forget(i);
        }
        return;
    }
    uint32_t kept = size < b.size ? size : b.size;
    b.p = q;
    b.size = kept;
    Check(b, "ZmdReAlloc");
    if (flags & 0x40) CheckZero(q, kept, size, "ZmdReAlloc");
    b.size = size;
    b.seed = s.in.Byte();
    Fill(b);
}

void Free(Session& s) {
    Memory& m = *g_memory;
    Target target(s.in);
    size_t i = target.i;
    void* p = target.p;
    void* r = s.Fallible([&] { return ZmdFree(p); });
    if (!target.own) {
        FUZZ_CHECK(r == p && target.Untouched(), "ZmdFree of a value that is not a block did not give it back");
        return;
    }
    if (r) {
        FUZZ_CHECK(s.fired && r == p, "ZmdFree of a block failed with no failure armed");
        FUZZ_CHECK(IsBlock(p), "ZmdFree failed and the block is gone");
        Check(m.blocks[i], "a failed ZmdFree");
        return;
    }
    FUZZ_CHECK(!IsBlock(p), "ZmdFree succeeded and the block is still there");
    Forget(i);
}

// ---- entry lists ---------------------------------------------------------------

void CheckList(const List& l, const char* after) {
    FUZZ_CHECK(l.list.count == l.slots.size(), "after %s the list has %u slots, expected %zu", after,
               l.list.count, l.slots.size());
    for (size_t i = 0; i < l.slots.size(); ++i) {
        FUZZ_CHECK(l.list.entries[i] == l.slots[i].p, "after %s slot %zu holds another block", after, i);
        if (l.slots[i].p) Check(l.slots[i], after);
    }
}

void Make(Session& s) {
    List& l = g_memory->lists[s.in.Byte() & 1];
    auto size = static_cast<uint16_t>(PickSize(s.in));
    bool want_entry = s.in.Byte() & 1;
    size_t slot = 0;
    while (slot < l.slots.size() && l.slots[slot].p) ++slot;
    if (slot == kMaxListSlots) return;
    if (size == 0) s.DisarmFree();
    uint16_t index = 0xBEEF;
    void* sentinel = &g_static_word;
    void* entry = sentinel;
    uint32_t status = s.Fallible([&] { return MakeListEntry(&l.list, &index, want_entry ? &entry : nullptr, size); });
    size_t count = l.slots.size();
    if (status == STATUS_OK) {
        // Also after a failure the library recovered from (a grown array
        // locked at the second try).
        FUZZ_CHECK(size != 0, "MakeListEntry of size 0 succeeded");
        FUZZ_CHECK(index == slot, "MakeListEntry filled slot %u, not the lowest empty %zu", index, slot);
        if (slot == count) l.slots.push_back({});
        Block b{static_cast<uint8_t*>(l.list.entries[slot]), size, s.in.Byte()};
        FUZZ_CHECK(b.p && (!want_entry || entry == b.p), "MakeListEntry gave no block");
        CheckZero(b.p, 0, size, "MakeListEntry");
        Fill(b);
        l.slots[slot] = b;
    } else {
        FUZZ_CHECK(status == STATUS_NO_ROOM, "MakeListEntry gave status %u", status);
        FUZZ_CHECK(size == 0 || s.fired, "MakeListEntry failed with no failure armed");
        if (l.list.count == count) {
            // Either the array could not be made or grown (index tells the
            // old count, or is untouched for a first array), or the slot was
            // chosen below the count and its block failed.
            bool slot_chosen = slot < count;
            FUZZ_CHECK(index == (slot_chosen ? slot : count ? count : 0xBEEF), "MakeListEntry: index %u", index);
            FUZZ_CHECK(entry == (slot_chosen && want_entry ? nullptr : sentinel), "MakeListEntry: *entry");
        } else {
            // The array grew by the chosen slot, whose block failed.
            FUZZ_CHECK(l.list.count == count + 1 && slot == count && index == slot, "MakeListEntry grew wrongly");
            FUZZ_CHECK(entry == (want_entry ? nullptr : sentinel), "MakeListEntry: *entry");
            l.slots.push_back({});
        }
        if (count == 0 && l.list.count == 0) FUZZ_CHECK(!l.list.entries, "a failed first array left a pointer");
    }
    CheckList(l, "MakeListEntry");
}

void Remove(Session& s) {
    List& l = g_memory->lists[s.in.Byte() & 1];
    uint8_t sel = s.in.Byte();
    uint16_t index = sel < 0xE0 && !l.slots.empty() ? static_cast<uint16_t>(sel % l.slots.size())
                     : sel < 0xF0                   ? static_cast<uint16_t>(l.slots.size())
                                                    : s.in.U16();
    uint32_t status = s.Fallible([&] { return RemoveListEntry(&l.list, index); });
    FUZZ_CHECK(status == STATUS_OK, "RemoveListEntry gave status %u", status);
    if (index < l.slots.size() && l.slots[index].p) {
        void* p = l.slots[index].p;
        if (s.fired) {
            // The block could not be freed: it stays filed, not leaked.
            FUZZ_CHECK(l.list.entries[index] == p && IsBlock(p), "a failed RemoveListEntry lost its block");
        } else {
            FUZZ_CHECK(!IsBlock(p), "RemoveListEntry left the block allocated");
            l.slots[index] = {};
        }
    }
    CheckList(l, "RemoveListEntry");
}

void Clear(List& l) {
    for (uint16_t i = 0; i < l.list.count; ++i) RemoveListEntry(&l.list, i);
    FUZZ_CHECK(!ZmdFree(l.list.entries), "the slot array could not be freed");
    l.list = EntryList{};
    l.slots.clear();
}

void Step(Session& s, unsigned call) {
    switch (call) {
        case kAlloc: Alloc(s); break;
        case kReAlloc: ReAlloc(s); break;
        case kFree: Free(s); break;
        case kMake: Make(s); break;
        case kRemove: Remove(s); break;
        case kClear: Clear(g_memory->lists[s.in.Byte() & 1]); break;
    }
}

void Start() { g_memory = new Memory; }

void EndInput() {
    Memory& m = *g_memory;
    for (const Block& b : m.blocks) {
        Check(b, "the input");
        FUZZ_CHECK(!ZmdFree(b.p), "a block could not be freed");
    }
    m.blocks.clear();
    m.freed.clear();
    for (List& l : m.lists) {
        CheckList(l, "the input");
        Clear(l);
    }
}

int32_t Objects() {
    const Memory& m = *g_memory;
    auto n = static_cast<int32_t>(m.blocks.size());
    for (const List& l : m.lists) {
        n += l.list.entries ? 1 : 0;
        for (const Block& b : l.slots) n += b.p ? 1 : 0;
    }
    return n;
}

}  // namespace

const Family kMemoryFamily = {"memory", kCalls, Start, Step, EndInput, Objects};

}  // namespace fuzz
