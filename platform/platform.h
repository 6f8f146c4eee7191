// The seam between the library and the operating system: every call the
// library makes outside its own memory, under the Win32 name and argument
// order of the call it stands for. One backend is linked: platform/win32.cc
// on Windows, the POSIX stand-in (platform/posix_*.cc) elsewhere.
#ifndef TEMBRIX_PLATFORM_PLATFORM_H_
#define TEMBRIX_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>

namespace tbx::os {

// An opaque platform handle: a global memory object, file, module, mutex.
using Handle = void*;

// ---- global memory -------------------------------------------------------
inline constexpr uint32_t kGmemMoveable = 0x0002;
inline constexpr uint32_t kGmemZeroInit = 0x0040;
inline constexpr uint32_t kGmemDdeShare = 0x2000;

// Makes a movable object of `bytes` bytes (zero-filled with kGmemZeroInit).
// Returns its handle, or null. An object of 0 bytes is made discarded: it
// has a handle but cannot be locked.
Handle GlobalAlloc(uint32_t flags, size_t bytes);

// Returns the object's address, fixed until it is unlocked as often as it
// was locked, or null for a bad handle or a discarded object.
void* GlobalLock(Handle mem);

// Returns the handle of the object whose address is `address`, or null when
// `address` is not the start of a live object. Never reads `*address`.
Handle GlobalHandle(const void* address);

// Undoes one GlobalLock. Returns nonzero while the object stays locked.
int GlobalUnlock(Handle mem);

// Resizes an unlocked object; with kGmemZeroInit the grown part is zero.
// Returns the handle, or null with the object unchanged. Resizing to 0
// discards the object's memory.
Handle GlobalReAlloc(Handle mem, size_t bytes, uint32_t flags);

// Frees the object. Returns null on success, else `mem`.
Handle GlobalFree(Handle mem);

// ---- handles and process state -----------------------------------------------
// Closes a file or mutex handle. Returns 1 on success, 0 for a value that
// is not an open handle.
int CloseHandle(Handle object);

// Sets the process-wide error mode. Returns the mode in force before.
uint32_t SetErrorMode(uint32_t mode);

// ---- loader ---------------------------------------------------------------
// Turns off the per-thread attach and detach notifications of `module`.
void DisableThreadLibraryCalls(Handle module);

}  // namespace tbx::os

#endif  // TEMBRIX_PLATFORM_PLATFORM_H_
