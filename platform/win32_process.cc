// Win32 backend of CloseHandle and SetErrorMode.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/fault.h"
#include "platform/platform.h"

namespace tbx::os {

int CloseHandle(Handle object) {
    if (fault::hit(fault::kClose)) return 0;
    if (!::CloseHandle(object)) return 0;
    // The pseudo-handles of the current process and thread close without effect.
    if (object != ::GetCurrentProcess() && object != ::GetCurrentThread()) fault::count_handles(-1);
    return 1;
}

uint32_t SetErrorMode(uint32_t mode) { return ::SetErrorMode(mode); }

}  // namespace tbx::os
