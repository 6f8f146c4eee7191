// Win32 backend of CloseHandle and SetErrorMode.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/fault.h"
#include "platform/platform.h"

namespace tbx::os {

int CloseHandle(Handle object) {
    if (fault::hit(fault::kClose)) return 0;
    return ::CloseHandle(object) ? 1 : 0;
}

uint32_t SetErrorMode(uint32_t mode) { return ::SetErrorMode(mode); }

}  // namespace tbx::os
