// Memory blocks and entry lists under the fuzzer: the fuzzer's own blocks
// and two lists of its own, every block filled with a pattern that must
// survive whatever else is called, and values that are not blocks (null,
// the stack, a static, the middle of a block, a freed block, a made-up
// value, a chunk of the string store) passed where blocks are expected.
#include <algorithm>
#include <vector>

#include "fuzz/harness.h"
#include "platform/platform.h"
#include "tembrix.h"

namespace fuzz {
namespace {

struct Block {
    uint8_t* p;  // null for an empty list slot
    uint32_t size;
    uint8_t seed;
};

struct List {
    EntryList list{};
    std::vector<Block> slots;  // what each slot of the list holds
};

constexpr uint64_t kStackWord = 0x1122334455667788;

std::vector<Block> g_blocks;  // at most 24
std::vector<void*> g_freed;
List g_lists[2];
int g_static_word;

uint8_t Pattern(const Block& b, uint32_t i) { return static_cast<uint8_t>(b.seed + i * 31 + (i >> 8)); }

void Fill(const Block& b) {
    for (uint32_t i = 0; i < b.size; ++i) b.p[i] = Pattern(b, i);
}

void Check(const Block& b, const char* after) {
    for (uint32_t i = 0; i < b.size; ++i)
        FUZZ_CHECK(b.p[i] == Pattern(b, i), "after %s, byte %u of a %u-byte block changed", after, i, b.size);
}

void CheckZero(const uint8_t* p, uint32_t from, uint32_t to, const char* call) {
    for (uint32_t i = from; i < to; ++i) FUZZ_CHECK(p[i] == 0, "%s: byte %u is not zero", call, i);
}

bool IsBlock(const void* p) { return tbx::os::GlobalHandle(p) != nullptr; }

uint32_t PickSize(Session& s) {
    uint8_t sel = s.Byte();
    return sel < 0xC0 ? sel : s.Pick<uint32_t>({0, 1, 4, 31, 32, 33, 64, 100, 4096, 9218, 65535, 65536, 100000});
}

// Picks what ZmdReAlloc or ZmdFree is given: one of the fuzzer's blocks,
// whose index it returns, or (returning -1) a value that is not the start
// of a live block; `stack` is the address of one of the caller's locals.
int PickTarget(Session& s, void** p, void* stack) {
    if (!g_blocks.empty() && s.Byte() % 4 != 0) {
        unsigned i = s.Below(g_blocks.size());
        *p = g_blocks[i].p;
        return static_cast<int>(i);
    }
    const Block* b = g_blocks.empty() ? nullptr : &g_blocks[s.Below(g_blocks.size())];
    void** entries = g_lists[s.Byte() & 1].list.entries;
    *p = s.Pick<void*>({nullptr, stack, &g_static_word, b ? b->p + 1 + s.U16() % b->size : stack,
                         g_freed.empty() ? nullptr : g_freed[s.Below(g_freed.size())],
                         reinterpret_cast<void*>(static_cast<uintptr_t>(s.U32()) << (s.Byte() & 7)),
                         ZmsPtr(0xFF000000u | s.U32()), entries ? entries + 1 : nullptr});
    // A freed address may have been handed out again since.
    if (IsBlock(*p)) *p = nullptr;
    return -1;
}

void Forget(int i) {
    g_freed.push_back(g_blocks[static_cast<size_t>(i)].p);
    g_blocks.erase(g_blocks.begin() + i);
}

void Alloc(Session& s) {
    uint8_t flags = s.Byte();
    uint32_t size = PickSize(s);
    if (size == 0) s.DisarmFree();
    auto* p = static_cast<uint8_t*>(s.Fallible([&] { return ZmdAlloc(flags, size); }));
    FUZZ_CHECK(!p == (size == 0 || s.fired), "ZmdAlloc(0x%02x, %u) gave %p", flags, size, static_cast<void*>(p));
    if (!p) return;
    if (flags & 0x40) CheckZero(p, 0, size, "ZmdAlloc");
    Block b{p, size, s.Byte()};
    Fill(b);
    if (g_blocks.size() < 24) g_blocks.push_back(b);
    else FUZZ_CHECK(!ZmdFree(p), "ZmdFree of a fresh block failed");
}

// ZmdReAlloc, or with `free` ZmdFree, of one of the fuzzer's blocks or of a
// value that is not a block (which both give back as they must, untouched).
void Resize(Session& s, bool free) {
    uint64_t local = kStackWord;
    void* p;
    int i = PickTarget(s, &p, &local);
    uint32_t size = free ? 0 : PickSize(s);
    uint8_t flags = s.Byte();
    if (size == 0 && !free) s.DisarmFree();
    auto* q = static_cast<uint8_t*>(s.Fallible([&] { return free ? ZmdFree(p) : ZmdReAlloc(p, size, flags); }));
    const char* call = free ? "ZmdFree" : "ZmdReAlloc";
    FUZZ_CHECK(i >= 0 || (q == (free ? p : nullptr) && local == kStackWord), "%s of a value that is not a block",
               call);
    if (i < 0) return;
    Block& b = g_blocks[static_cast<size_t>(i)];
    if (free ? q != nullptr : q == nullptr) {
        // Failed, or resized to nothing: the old block is kept unchanged;
        // or gone, resized to nothing or not locked once resized.
        FUZZ_CHECK(s.fired || (!free && size == 0), "%s failed with no failure armed", call);
        if (!free && !IsBlock(b.p)) return Forget(i);
        FUZZ_CHECK(s.fired && IsBlock(b.p) && q == (free ? b.p : nullptr), "%s failed and changed the block", call);
        return Check(b, call);
    }
    if (free) {
        FUZZ_CHECK(!IsBlock(b.p), "ZmdFree left the block allocated");
        return Forget(i);
    }
    uint32_t kept = std::min(size, b.size);
    b = {q, kept, b.seed};
    Check(b, "ZmdReAlloc");
    if (flags & 0x40) CheckZero(q, kept, size, "ZmdReAlloc");
    b = {q, size, s.Byte()};
    Fill(b);
}

// ---- entry lists ---------------------------------------------------------------

void CheckList(const List& l, const char* after) {
    FUZZ_CHECK(l.list.count == l.slots.size(), "after %s a list has %u slots", after, l.list.count);
    for (size_t i = 0; i < l.slots.size(); ++i) {
        FUZZ_CHECK(l.list.entries[i] == l.slots[i].p, "after %s slot %u holds another block", after,
                   static_cast<unsigned>(i));
        if (l.slots[i].p) Check(l.slots[i], after);
    }
}

void Make(Session& s) {
    List& l = g_lists[s.Byte() & 1];
    auto size = static_cast<uint16_t>(PickSize(s));
    bool want_entry = s.Byte() & 1;
    size_t slot = 0, count = l.slots.size();
    while (slot < count && l.slots[slot].p) ++slot;
    if (slot == 96) return;  // lists stay short
    if (size == 0) s.DisarmFree();
    uint16_t index = 0xBEEF;
    void* entry = &g_static_word;
    uint32_t status = s.Fallible([&] { return MakeListEntry(&l.list, &index, want_entry ? &entry : nullptr, size); });
    // The lowest empty slot is chosen unless the array could not be made or
    // grown: then the list is unchanged and `index` tells the old count, or
    // is left alone for a first array.
    bool chosen = slot < count || l.list.count > count;
    if (l.list.count > count) l.slots.push_back({});
    auto* block = static_cast<uint8_t*>(chosen ? l.list.entries[slot] : nullptr);
    FUZZ_CHECK(l.list.count == (chosen && slot == count ? count + 1 : count), "MakeListEntry: count %u",
               l.list.count);
    FUZZ_CHECK(index == (chosen ? slot : count ? count : 0xBEEF), "MakeListEntry: index %u", index);
    FUZZ_CHECK(entry == (want_entry && chosen ? block : static_cast<void*>(&g_static_word)), "MakeListEntry: *entry");
    FUZZ_CHECK(status == (block ? STATUS_OK : STATUS_NO_ROOM), "MakeListEntry gave status %u", status);
    FUZZ_CHECK(block ? size != 0 : size == 0 || s.fired, "MakeListEntry of %u bytes gave %p", size,
               static_cast<void*>(block));
    FUZZ_CHECK(count > 0 || l.list.count > 0 || !l.list.entries, "a failed first array left a pointer");
    if (block) {
        CheckZero(block, 0, size, "MakeListEntry");
        l.slots[slot] = {block, size, s.Byte()};
        Fill(l.slots[slot]);
    }
    CheckList(l, "MakeListEntry");
}

void Remove(Session& s) {
    List& l = g_lists[s.Byte() & 1];
    uint8_t sel = s.Byte();
    auto index = static_cast<uint16_t>(sel < 0xE0 && !l.slots.empty() ? sel % l.slots.size()
                                       : sel < 0xF0                   ? l.slots.size()
                                                                      : s.U16());
    uint32_t status = s.Fallible([&] { return RemoveListEntry(&l.list, index); });
    FUZZ_CHECK(status == STATUS_OK, "RemoveListEntry gave status %u", status);
    // The slot is emptied either way. Only GlobalFree can fail here: the
    // block it would not release is dropped from the list, still allocated
    // and unchanged, and the driver frees it, so that the objects it
    // accounts for stay exact.
    if (index < l.slots.size() && l.slots[index].p) {
        const Block& b = l.slots[index];
        FUZZ_CHECK(IsBlock(b.p) == s.fired, "RemoveListEntry %s the block allocated",
                   s.fired ? "did not leave" : "left");
        if (s.fired) {
            Check(b, "RemoveListEntry");
            FUZZ_CHECK(!ZmdFree(b.p), "a block RemoveListEntry dropped could not be freed");
        }
        l.slots[index] = {};
    }
    CheckList(l, "RemoveListEntry");
}

void Clear(List& l) {
    CheckList(l, "the input");
    for (uint16_t i = 0; i < l.list.count; ++i) RemoveListEntry(&l.list, i);
    FUZZ_CHECK(!ZmdFree(l.list.entries), "the slot array could not be freed");
    l = List{};
}

const Call kCalls[] = {
    {"ZmdAlloc", Alloc},
    {"ZmdReAlloc", [](Session& s) { Resize(s, false); }},
    {"ZmdFree", [](Session& s) { Resize(s, true); }},
    {"MakeListEntry", Make},
    {"RemoveListEntry", Remove},
    {"clear a list", [](Session& s) { Clear(g_lists[s.Byte() & 1]); }},
};

void EndInput() {
    for (const Block& b : g_blocks) {
        Check(b, "the input");
        FUZZ_CHECK(!ZmdFree(b.p), "a block could not be freed");
    }
    g_blocks.clear();
    g_freed.clear();
    for (List& l : g_lists) Clear(l);
}

int32_t Objects() {
    size_t n = g_blocks.size();
    for (const List& l : g_lists)
        n += (l.list.entries ? 1 : 0) + std::count_if(l.slots.begin(), l.slots.end(), [](const Block& b) { return b.p; });
    return static_cast<int32_t>(n);
}

}  // namespace

const Family kMemoryFamily = {kCalls, sizeof kCalls / sizeof kCalls[0], [] {}, EndInput, Objects};

}  // namespace fuzz
