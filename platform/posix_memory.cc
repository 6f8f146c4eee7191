// POSIX stand-in for Win32 global memory: movable objects in a handle table,
// found again from their address through a hash index.
//
// Like Win32 it hands out handles, not addresses: an object's memory moves
// only when it is resized, and GlobalHandle answers for any value the caller
// holds -- a stack address, the middle of an object, a freed object -- by
// looking the value up, never by reading memory at it. Quirks kept from
// Win32: an object of 0 bytes is made "discarded" (it has a handle but
// GlobalLock gives null), and resizing to 0 discards the memory.
//
// Growth leaves slack behind the object so that growing by a little at a
// time stays in place; a large shrink hands the memory back to the C
// library (and so, for a large object, to the system), as Win32 does, and
// may move the object.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_heap.h"
#include "platform/posix_lock.h"

namespace tbx::os {
namespace {

struct Object {
    void* data;       // null while discarded or free
    size_t size;
    size_t capacity;  // bytes behind `data`; growth leaves slack
    uint32_t locks;
    uint32_t next_free;  // index + 1 of the next free entry, while free
    bool in_use;
};

// A resize gives memory back when it leaves at least this much unused and
// the object needs at most half of what it holds. Smaller slack, or a
// shrink of less than half, is kept as room to grow back into: a block
// that shrinks and grows a little by turns is not moved each time.
constexpr size_t kShrinkSlack = 64 * 1024;

// Handle values are (index << 3) | kTag: never null, never an address that
// malloc returns (those are 8-aligned), and checked against the table.
constexpr uintptr_t kTag = 0x4;
constexpr uintptr_t kTagMask = 0x7;

// Open-addressing index from object address to table index + 1.
struct AddressSlot {
    uintptr_t address;  // 0 = empty
    uint32_t index;
};

size_t hash_address(uintptr_t a) {
    uint64_t h = static_cast<uint64_t>(a >> 3) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 17);
}

void insert_address(AddressSlot* slots, size_t count, uintptr_t a, uint32_t index) {
    size_t mask = count - 1;
    size_t i = hash_address(a) & mask;
    while (slots[i].address != 0) i = (i + 1) & mask;
    slots[i] = {a, index};
}

Handle handle_of(uint32_t index) {
    return reinterpret_cast<Handle>((static_cast<uintptr_t>(index) << 3) | kTag);
}

struct Heap {
    Object* objects = nullptr;
    uint32_t capacity = 0;
    uint32_t used = 0;        // entries ever handed out (high-water mark)
    uint32_t free_head = 0;   // index + 1 of the first free entry, 0 = none
    AddressSlot* slots = nullptr;
    size_t slot_count = 0;    // a power of two, or 0
    size_t live = 0;          // addresses in the index

    // Makes room in the index for one more address. Done before anything
    // else changes, so a later insert cannot fail.
    bool reserve_address() {
        if ((live + 1) * 2 <= slot_count) return true;
        size_t count = slot_count ? slot_count * 2 : 64;
        auto* grown = static_cast<AddressSlot*>(posix::c_calloc(count, sizeof(AddressSlot)));
        if (!grown) return false;
        for (size_t i = 0; i < slot_count; ++i) {
            if (slots[i].address) insert_address(grown, count, slots[i].address, slots[i].index);
        }
        std::free(slots);
        slots = grown;
        slot_count = count;
        return true;
    }

    // Returns the index slot holding `a`, or null.
    AddressSlot* find_address(uintptr_t a) {
        if (a == 0 || slot_count == 0) return nullptr;
        size_t mask = slot_count - 1;
        for (size_t i = hash_address(a) & mask;; i = (i + 1) & mask) {
            if (slots[i].address == a) return &slots[i];
            if (slots[i].address == 0) return nullptr;
        }
    }

    void add_address(const void* p, uint32_t index) {
        insert_address(slots, slot_count, reinterpret_cast<uintptr_t>(p), index);
        ++live;
    }

    // Removes `a` and shifts the following run back so lookups stay correct.
    void remove_address(const void* p) {
        AddressSlot* s = find_address(reinterpret_cast<uintptr_t>(p));
        if (!s) return;
        size_t mask = slot_count - 1;
        size_t hole = static_cast<size_t>(s - slots);
        for (size_t i = (hole + 1) & mask; slots[i].address != 0; i = (i + 1) & mask) {
            size_t home = hash_address(slots[i].address) & mask;
            // Move the entry into the hole unless its home lies in (hole, i].
            bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
            if (!stays) {
                slots[hole] = slots[i];
                hole = i;
            }
        }
        slots[hole].address = 0;
        --live;
    }

    // Returns the live object of handle `h`, or null.
    Object* object_of(Handle h) {
        auto v = reinterpret_cast<uintptr_t>(h);
        if ((v & kTagMask) != kTag) return nullptr;
        uintptr_t index = v >> 3;
        if (index >= used || !objects[index].in_use) return nullptr;
        return &objects[index];
    }

    // Takes a free table entry. Returns its index, or UINT32_MAX.
    uint32_t take_entry() {
        if (free_head) {
            uint32_t index = free_head - 1;
            free_head = objects[index].next_free;
            return index;
        }
        if (used == capacity) {
            // The table's size must fit a size_t. An index then fits a handle
            // above its three tag bits too, since an entry takes over 8 bytes.
            static_assert(sizeof(Object) > 8 && SIZE_MAX <= UINTPTR_MAX);
            uint64_t count = capacity ? uint64_t{capacity} * 2 : 64;
            if (count > std::min<uint64_t>(UINT32_MAX, SIZE_MAX / sizeof(Object))) return UINT32_MAX;
            size_t bytes = static_cast<size_t>(count) * sizeof(Object);
            auto* grown = static_cast<Object*>(posix::c_realloc(objects, bytes));
            if (!grown) return UINT32_MAX;
            objects = grown;
            capacity = static_cast<uint32_t>(count);
        }
        return used++;
    }

    void release_entry(uint32_t index) {
        objects[index] = Object{nullptr, 0, 0, 0, free_head, false};
        free_head = index + 1;
    }
};

using LockedHeap = posix::Locked<Heap>;

}  // namespace

Handle GlobalAlloc(uint32_t flags, size_t bytes) {
    if (fault::hit(fault::kAlloc)) return nullptr;
    LockedHeap heap;
    void* data = nullptr;
    if (bytes != 0) {
        data = (flags & kGmemZeroInit) ? posix::c_calloc(1, bytes) : posix::c_malloc(bytes);
        if (!data) return nullptr;
    }
    uint32_t index = heap->reserve_address() ? heap->take_entry() : UINT32_MAX;
    if (index == UINT32_MAX) {
        std::free(data);
        return nullptr;
    }
    if (data) heap->add_address(data, index);
    heap->objects[index] = Object{data, bytes, bytes, 0, 0, true};
    fault::count_objects(1);
    return handle_of(index);
}

void* GlobalLock(Handle mem) {
    if (fault::hit(fault::kLock)) return nullptr;
    LockedHeap heap;
    Object* o = heap->object_of(mem);
    if (!o || !o->data) return nullptr;
    ++o->locks;
    return o->data;
}

Handle GlobalHandle(const void* address) {
    LockedHeap heap;
    AddressSlot* s = heap->find_address(reinterpret_cast<uintptr_t>(address));
    return s ? handle_of(s->index) : nullptr;
}

int GlobalUnlock(Handle mem) {
    LockedHeap heap;
    Object* o = heap->object_of(mem);
    if (!o || o->locks == 0) return 0;
    return static_cast<int>(--o->locks);
}

Handle GlobalReAlloc(Handle mem, size_t bytes, uint32_t flags) {
    if (fault::hit(fault::kReAlloc)) return nullptr;
    LockedHeap heap;
    Object* o = heap->object_of(mem);
    if (!o || o->locks != 0) return nullptr;  // a locked object cannot move
    uint32_t index = static_cast<uint32_t>(o - heap->objects);
    if (bytes == 0) {
        if (o->data) {
            heap->remove_address(o->data);
            std::free(o->data);
        }
        o->data = nullptr;
        o->size = o->capacity = 0;
        return mem;
    }
    if (!o->data || bytes > o->capacity) {
        if (!heap->reserve_address()) return nullptr;
        size_t slack = o->size / 2;
        size_t capacity = bytes + (slack < SIZE_MAX - bytes ? slack : 0);
        void* data = posix::c_realloc(o->data, capacity);
        if (!data) data = posix::c_realloc(o->data, capacity = bytes);
        if (!data) return nullptr;
        if (o->data) heap->remove_address(o->data);
        o->data = data;
        o->capacity = capacity;
        heap->add_address(data, index);
    } else if (bytes <= o->capacity / 2 && o->capacity - bytes >= kShrinkSlack) {
        // A large shrink gives the memory back. The address leaves the
        // index first, so putting back the new one (or the old one, if the
        // C library keeps the block) cannot need room.
        heap->remove_address(o->data);
        void* data = posix::c_realloc(o->data, bytes);
        if (data) {
            o->data = data;
            o->capacity = bytes;
        }
        heap->add_address(o->data, index);
    }
    if ((flags & kGmemZeroInit) && bytes > o->size)
        std::memset(static_cast<char*>(o->data) + o->size, 0, bytes - o->size);
    o->size = bytes;
    return mem;
}

Handle GlobalFree(Handle mem) {
    if (fault::hit(fault::kFree)) {
        fault::note_refused(mem);
        return mem;
    }
    LockedHeap heap;
    Object* o = heap->object_of(mem);
    if (!o) return mem;
    if (o->data) {
        heap->remove_address(o->data);
        std::free(o->data);
    }
    heap->release_entry(static_cast<uint32_t>(o - heap->objects));
    fault::count_objects(-1);
    return nullptr;
}

void DisableThreadLibraryCalls(Handle) {}

}  // namespace tbx::os
