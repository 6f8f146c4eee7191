// Win32 backend of the global-memory calls and the loader: KERNEL32 itself.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/fault.h"
#include "platform/platform.h"

namespace tbx::os {

Handle GlobalAlloc(uint32_t flags, size_t bytes) {
    if (fault::hit(fault::kAlloc)) return nullptr;
    Handle mem = ::GlobalAlloc(flags, bytes);
    if (mem) fault::count_objects(1);
    return mem;
}

void* GlobalLock(Handle mem) {
    if (fault::hit(fault::kLock)) return nullptr;
    return ::GlobalLock(mem);
}

Handle GlobalHandle(const void* address) {
    // KERNEL32 validates the value itself and answers 0 for anything that
    // is not the address of a live object, null included.
    return ::GlobalHandle(address);
}

int GlobalUnlock(Handle mem) { return ::GlobalUnlock(mem); }

Handle GlobalReAlloc(Handle mem, size_t bytes, uint32_t flags) {
    if (fault::hit(fault::kReAlloc)) return nullptr;
    return ::GlobalReAlloc(mem, bytes, flags);
}

Handle GlobalFree(Handle mem) {
    if (fault::hit(fault::kFree)) {
        fault::note_refused(mem);
        return mem;
    }
    Handle kept = ::GlobalFree(mem);
    if (!kept) fault::count_objects(-1);
    return kept;
}

void DisableThreadLibraryCalls(Handle module) {
    ::DisableThreadLibraryCalls(static_cast<HMODULE>(module));
}

}  // namespace tbx::os
