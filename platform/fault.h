// Test builds only: makes the k-th fallible platform call fail, so tests can
// walk an operation through every failure it can meet.
#ifndef TEMBRIX_PLATFORM_FAULT_H_
#define TEMBRIX_PLATFORM_FAULT_H_

#include <cstdint>

namespace tbx::fault {

// The kinds of platform call that can be made to fail.
enum Kind : uint32_t {
    kAlloc = 1u << 0,    // GlobalAlloc
    kLock = 1u << 1,     // GlobalLock
    kReAlloc = 1u << 2,  // GlobalReAlloc
    kFree = 1u << 3,     // GlobalFree
    kMemory = kAlloc | kLock | kReAlloc,
    kFile = 1u << 4,     // CreateFileA, ReadFile, WriteFile, _find*
    kClose = 1u << 5,    // CloseHandle
    kMachine = 1u << 6,  // modules, mutexes, system information
    kHeap = 1u << 7,     // the POSIX stand-in's own memory from the C library
    kAll = 0xFFFFFFFFu,
};

#ifdef TBX_FAULT_INJECTION
// Counts a call of `kind`; returns true when it is the one that must fail.
bool hit(Kind kind);
// From now on, the `k`-th call (1-based) of any kind in `kinds` fails, once.
// k = 0 disarms. Resets the count.
void arm(uint32_t k, uint32_t kinds = kMemory);
// Returns how many calls of the armed kinds were counted since arm().
uint32_t calls();
// Returns true when the armed failure has happened.
bool fired();
// Counts global memory objects made (+1) and freed (-1); the backends call
// it after each GlobalAlloc or GlobalFree that succeeded.
void count_objects(int delta);
// Returns the global memory objects made and not yet freed, so tests can
// tell that a failure leaked none.
int32_t live_objects();
// Counts the platform's objects a caller holds through the interface --
// open files, searches and mutex handles, and uses of loaded modules --
// opened (+1) and closed (-1); the backends call it after each call that
// opened or closed one. Safe from any thread.
void count_handles(int delta);
// Returns those objects open now, so tests can tell that a caller's
// handles all went back.
int32_t open_handles();
// Notes the object whose GlobalFree the armed failure refused; the
// backends call it.
void note_refused(void* object);
// Returns that object, still allocated, or null when no GlobalFree was
// refused since arm(). Tests free it themselves to keep the count exact.
void* refused();
#else
constexpr bool hit(Kind) { return false; }
constexpr void count_objects(int) {}
constexpr void count_handles(int) {}
constexpr void note_refused(void*) {}
#endif

}  // namespace tbx::fault

#endif  // TEMBRIX_PLATFORM_FAULT_H_
