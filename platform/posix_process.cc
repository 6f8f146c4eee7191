// POSIX stand-in for process-wide state: the error mode, and CloseHandle
// over the one handle space.
#include <atomic>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_handles.h"

namespace tbx::os {
namespace {
// The stand-in shows no message boxes; the mode is kept so that callers
// read back what they set, as on Win32.
std::atomic<uint32_t> g_error_mode{0};
}  // namespace

int CloseHandle(Handle object) {
    if (fault::hit(fault::kClose)) return 0;
    if (posix::is_pseudo_handle(object)) return 1;
    return posix::close_handle(object) ? 1 : 0;
}

uint32_t SetErrorMode(uint32_t mode) { return g_error_mode.exchange(mode); }

}  // namespace tbx::os
