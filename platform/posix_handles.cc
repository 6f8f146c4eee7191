// The stand-in's handle table: counted objects behind handle values that
// carry the entry's index and a generation, so a closed handle's value is
// not taken by the next object that reuses its entry.
#include "platform/posix_handles.h"

#include <cstdint>
#include <cstdlib>

#include "platform/fault.h"
#include "platform/posix_heap.h"
#include "platform/posix_lock.h"

namespace tbx::os::posix {
namespace {

// A handle value is ((generation << kIndexBits | index) + 1) << 2: never
// null, low two bits clear as Win32's, below 2^31 on every target, and
// checked against the table before use. An entry's generation steps on
// every close, so a stale value names nothing until 512 later objects have
// used that very entry.
constexpr unsigned kIndexBits = 20;
constexpr unsigned kGenerationBits = 9;
constexpr uint32_t kMaxEntries = 1u << kIndexBits;
constexpr uint32_t kGenerations = 1u << kGenerationBits;
static_assert(kIndexBits + kGenerationBits + 2 <= 31, "handle values fit 31 bits");

struct Entry {
    Object* object;      // null while free
    uint32_t generation;
    uint32_t next_free;  // index + 1 of the next free entry, while free
};

struct Table {
    Entry* entries = nullptr;
    uint32_t capacity = 0;
    uint32_t used = 0;       // entries ever handed out
    uint32_t free_head = 0;  // index + 1 of the first free entry, 0 = none

    // Returns the open entry of `h`, or null.
    Entry* entry_of(Handle h) {
        uintptr_t n = reinterpret_cast<uintptr_t>(h) >> 2;
        if (n == 0) return nullptr;
        --n;
        uintptr_t index = n & (kMaxEntries - 1);
        if (index >= used) return nullptr;
        // An entry's generation is below kGenerations: a value with a
        // higher one names nothing.
        Entry* e = &entries[index];
        return e->object && e->generation == n >> kIndexBits ? e : nullptr;
    }

    // Frees `e` and returns its object; the entry's value names nothing
    // from now on.
    Object* free_entry(Entry* e) {
        Object* object = e->object;
        e->object = nullptr;
        e->generation = (e->generation + 1) % kGenerations;
        e->next_free = free_head;
        free_head = static_cast<uint32_t>(e - entries) + 1;
        return object;
    }

    // Drops one of `object`'s references, which the table keeps; returns
    // true when it was the last. The caller destroys the object after
    // letting go of the table.
    bool unref(Object* object) { return --object->refs == 0; }
};

Handle value_of(uint32_t index, uint32_t generation) {
    uintptr_t n = (uintptr_t{generation} << kIndexBits | index) + 1;
    return reinterpret_cast<Handle>(n << 2);
}

void after_fork();
using LockedTable = Locked<Table, after_fork>;

// In a forked child: the handles a child does not inherit are gone, and
// their objects are destroyed outside the table, as a close does.
void after_fork() {
    for (uint32_t i = 0;; ++i) {
        Object* object;
        {
            LockedTable table;
            if (i >= table->used) return;
            object = table->entries[i].object;
            if (!object || object->inherited) continue;
            table->free_entry(&table->entries[i]);
        }
        fault::count_handles(-1);
        object->destroy(object);
    }
}

}  // namespace

Handle add_handle(Object* object) {
    LockedTable table;
    uint32_t index;
    if (table->free_head) {
        index = table->free_head - 1;
        table->free_head = table->entries[index].next_free;
    } else {
        if (table->used == table->capacity) {
            uint32_t capacity = table->capacity ? table->capacity * 2 : 64;
            if (capacity > kMaxEntries) return nullptr;
            auto* grown = static_cast<Entry*>(c_realloc(table->entries, capacity * sizeof(Entry)));
            if (!grown) return nullptr;
            table->entries = grown;
            table->capacity = capacity;
        }
        index = table->used++;
        table->entries[index].generation = 0;
    }
    object->refs = 1;
    table->entries[index].object = object;
    fault::count_handles(1);
    return value_of(index, table->entries[index].generation);
}

Object* acquire(Handle h, HandleType type) {
    LockedTable table;
    Entry* e = table->entry_of(h);
    if (!e || e->object->type != type) return nullptr;
    ++e->object->refs;
    return e->object;
}

void release(Object* object) {
    bool last;
    {
        LockedTable table;
        last = table->unref(object);
    }
    if (last) object->destroy(object);
}

bool close_handle(Handle h) {
    Object* object;
    bool last;
    {
        LockedTable table;
        Entry* e = table->entry_of(h);
        if (!e) return false;
        object = table->free_entry(e);
        last = table->unref(object);
    }
    fault::count_handles(-1);
    if (last) object->destroy(object);
    return true;
}

}  // namespace tbx::os::posix
