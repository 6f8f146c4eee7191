// The stand-in's handle table: entries tagged with their type, handed out
// as small multiples of 4 like Win32 handles.
#include "platform/posix_handles.h"

#include <pthread.h>

#include <cstdint>
#include <cstdlib>

namespace tbx::os::posix {
namespace {

struct Entry {
    void* object;
    CloseFn close;
    HandleType type;
    bool open;
};

// Handle values are kBase + 4 * index: never null, never all bits set, and
// checked against the table before use.
constexpr uintptr_t kBase = 0x100;
constexpr uint32_t kMaxEntries = 1u << 24;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Entry* g_entries = nullptr;
uint32_t g_capacity = 0;
uint32_t g_used = 0;

struct Guard {
    Guard() { pthread_mutex_lock(&g_lock); }
    ~Guard() { pthread_mutex_unlock(&g_lock); }
};

// Returns the open entry of `h`; the caller holds the lock.
Entry* entry_of(Handle h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    if (v < kBase || (v & 3) != 0) return nullptr;
    uintptr_t index = (v - kBase) / 4;
    if (index >= g_used || !g_entries[index].open) return nullptr;
    return &g_entries[index];
}

}  // namespace

Handle add_handle(HandleType type, void* object, CloseFn close) {
    Guard guard;
    uint32_t index = 0;
    while (index < g_used && g_entries[index].open) ++index;
    if (index == g_used) {
        if (g_used == g_capacity) {
            uint32_t capacity = g_capacity ? g_capacity * 2 : 64;
            if (capacity > kMaxEntries) return nullptr;
            auto* grown = static_cast<Entry*>(std::realloc(g_entries, capacity * sizeof(Entry)));
            if (!grown) return nullptr;
            g_entries = grown;
            g_capacity = capacity;
        }
        ++g_used;
    }
    g_entries[index] = Entry{object, close, type, true};
    return reinterpret_cast<Handle>(kBase + 4 * static_cast<uintptr_t>(index));
}

void* object_of(Handle h, HandleType type) {
    Guard guard;
    Entry* e = entry_of(h);
    return e && e->type == type ? e->object : nullptr;
}

bool close_handle(Handle h) {
    Entry closed;
    {
        Guard guard;
        Entry* e = entry_of(h);
        if (!e) return false;
        closed = *e;
        e->open = false;
    }
    return closed.close(closed.object);
}

}  // namespace tbx::os::posix
