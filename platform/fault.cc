// The failure switch of test builds.
#include "platform/fault.h"

#ifdef TBX_FAULT_INJECTION
#include <atomic>

namespace tbx::fault {
namespace {
// Test processes arm the switch from one thread; the counter needs no lock.
uint32_t g_target = 0;
uint32_t g_kinds = 0;
uint32_t g_count = 0;
bool g_fired = false;
int32_t g_objects = 0;
void* g_refused = nullptr;
// Handles are opened and closed by tests' other threads too.
std::atomic<int32_t> g_handles{0};
}  // namespace

bool hit(Kind kind) {
    if (g_target == 0 || (g_kinds & kind) == 0) return false;
    if (++g_count != g_target) return false;
    g_fired = true;
    return true;
}

void arm(uint32_t k, uint32_t kinds) {
    g_target = k;
    g_kinds = kinds;
    g_count = 0;
    g_fired = false;
    g_refused = nullptr;
}

uint32_t calls() { return g_count; }
bool fired() { return g_fired; }
void count_objects(int delta) { g_objects += delta; }
int32_t live_objects() { return g_objects; }
void count_handles(int delta) { g_handles.fetch_add(delta, std::memory_order_relaxed); }
int32_t open_handles() { return g_handles.load(std::memory_order_relaxed); }
void note_refused(void* object) { g_refused = object; }
void* refused() { return g_refused; }
}  // namespace tbx::fault
#endif
