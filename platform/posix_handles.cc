// The stand-in's handle table: counted objects behind handle values that
// carry the entry's index and a generation, so a closed handle's value is
// not taken by the next object that reuses its entry.
#include "platform/posix_handles.h"

#include <cstdint>
#include <cstdlib>

#include "platform/fault.h"
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

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Entry* g_entries = nullptr;
uint32_t g_capacity = 0;
uint32_t g_used = 0;       // entries ever handed out
uint32_t g_free_head = 0;  // index + 1 of the first free entry, 0 = none

Handle value_of(uint32_t index, uint32_t generation) {
    uintptr_t n = (uintptr_t{generation} << kIndexBits | index) + 1;
    return reinterpret_cast<Handle>(n << 2);
}

// Returns the open entry of `h`; the caller holds the lock.
Entry* entry_of(Handle h) {
    uintptr_t n = reinterpret_cast<uintptr_t>(h) >> 2;
    if (n == 0) return nullptr;
    --n;
    uintptr_t index = n & (kMaxEntries - 1);
    uintptr_t generation = n >> kIndexBits;
    if (generation >= kGenerations || index >= g_used) return nullptr;
    Entry* e = &g_entries[index];
    return e->object && e->generation == generation ? e : nullptr;
}

// Frees `e`; its value names nothing from now on. The caller holds the lock.
void free_entry(Entry* e) {
    e->object = nullptr;
    e->generation = (e->generation + 1) % kGenerations;
    e->next_free = g_free_head;
    g_free_head = static_cast<uint32_t>(e - g_entries) + 1;
}

// Drops one reference; returns true when it was the last. The caller holds
// the lock and destroys the object after letting go of it.
bool unref(Object* object) { return --object->refs == 0; }

// In a forked child: the handles a child does not inherit are gone. The
// child runs this before fork() returns, with its one thread, so nothing
// else can use the table meanwhile.
void after_fork() {
    for (uint32_t i = 0; i < g_used; ++i) {
        Object* object = g_entries[i].object;
        if (!object || object->inherited) continue;
        free_entry(&g_entries[i]);
        fault::count_handles(-1);
        object->destroy(object);
    }
}

using TableGuard = ForkSafeGuard<&g_lock, after_fork>;

}  // namespace

Handle add_handle(Object* object) {
    TableGuard guard;
    uint32_t index;
    if (g_free_head) {
        index = g_free_head - 1;
        g_free_head = g_entries[index].next_free;
    } else {
        if (g_used == g_capacity) {
            uint32_t capacity = g_capacity ? g_capacity * 2 : 64;
            if (capacity > kMaxEntries) return nullptr;
            auto* grown = static_cast<Entry*>(std::realloc(g_entries, capacity * sizeof(Entry)));
            if (!grown) return nullptr;
            g_entries = grown;
            g_capacity = capacity;
        }
        index = g_used++;
        g_entries[index].generation = 0;
    }
    object->refs = 1;
    g_entries[index].object = object;
    fault::count_handles(1);
    return value_of(index, g_entries[index].generation);
}

Object* acquire(Handle h, HandleType type) {
    TableGuard guard;
    Entry* e = entry_of(h);
    if (!e || e->object->type != type) return nullptr;
    ++e->object->refs;
    return e->object;
}

void release(Object* object) {
    bool last;
    {
        TableGuard guard;
        last = unref(object);
    }
    if (last) object->destroy(object);
}

bool close_handle(Handle h) {
    Object* object;
    bool last;
    {
        TableGuard guard;
        Entry* e = entry_of(h);
        if (!e) return false;
        object = e->object;
        free_entry(e);
        last = unref(object);
    }
    fault::count_handles(-1);
    if (last) object->destroy(object);
    return true;
}

}  // namespace tbx::os::posix
