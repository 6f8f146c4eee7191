// The POSIX stand-in's one handle space for kernel objects (files and
// mutexes), as Win32 has: CloseHandle closes any of them, and a value that
// is not an open handle is rejected by a table lookup, never dereferenced.
#ifndef TEMBRIX_PLATFORM_POSIX_HANDLES_H_
#define TEMBRIX_PLATFORM_POSIX_HANDLES_H_

#include "platform/platform.h"

namespace tbx::os::posix {

enum class HandleType : uint8_t { kFile = 1, kMutex = 2 };

// Releases what a handle stood for. Called once, when the handle closes,
// outside the table's lock. Returns false if releasing failed.
using CloseFn = bool (*)(void* object);

// Enters `object` in the table. Returns its new handle, or null when the
// table cannot grow (the caller then still owns `object`).
Handle add_handle(HandleType type, void* object, CloseFn close);

// Returns the object of the open handle `h` of `type`, or null.
void* object_of(Handle h, HandleType type);

// Closes `h`. Returns false when it is not an open handle.
bool close_handle(Handle h);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_HANDLES_H_
