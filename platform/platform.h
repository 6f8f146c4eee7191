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
// Closes a file or mutex handle. Returns 1 on success (also for the
// pseudo-handles of the current process and thread, which close without
// effect), 0 for a value that is not an open handle.
int CloseHandle(Handle object);

// Sets the process-wide error mode. Returns the mode in force before.
uint32_t SetErrorMode(uint32_t mode);

// ---- files -------------------------------------------------------------
// Access rights (the generic ones callers pass), share modes, and the one
// creation disposition and attribute the library uses.
inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kShareRead = 0x1;
inline constexpr uint32_t kShareWrite = 0x2;
inline constexpr uint32_t kShareDelete = 0x4;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kAttributeNormal = 0x80;

// Returns the value with all bits set that CreateFileA returns on failure
// (also the current process's pseudo-handle).
inline Handle invalid_handle() { return reinterpret_cast<Handle>(~uintptr_t{0}); }

// Opens the file `name` with the access and share modes given; `security`
// and `template_file` must be null. Returns its handle, or invalid_handle().
Handle CreateFileA(const char* name, uint32_t access, uint32_t share, void* security,
                   uint32_t disposition, uint32_t flags, Handle template_file);

// Reads or writes up to `count` bytes at the file position, synchronously
// (`overlapped` must be null). `*transferred` is set to 0 first, then to the
// bytes moved. Returns nonzero on success; end of file is a success with a
// short count.
int ReadFile(Handle file, void* buffer, uint32_t count, uint32_t* transferred, void* overlapped);
int WriteFile(Handle file, const void* buffer, uint32_t count, uint32_t* transferred,
              void* overlapped);

// ---- directory search (the C runtime's) -----------------------------------
// Attribute bits of a match.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSubdir = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

// What the runtime tells of one match: attributes, three times in seconds
// since 1970 (UTC), size in bytes, and the name with its NUL.
struct FindData {
    uint32_t attrib;
    int32_t time_create;
    int32_t time_access;
    int32_t time_write;
    uint32_t size;
    char name[260];
};

// Starts a search for the names that match the last part of `pattern`
// (wildcards * and ?) in the directory the rest names. Fills `*data` with
// the first match and returns the search's handle, or -1 when nothing
// matches; then `*data` is not touched.
intptr_t _findfirst(const char* pattern, FindData* data);

// Fills `*data` with the next match. Returns 0, or -1 at the end or for a
// value that is not an open search (`*data` is then not touched).
int _findnext(intptr_t search, FindData* data);

// Ends a search. Returns 0, or -1 for a value that is not an open search.
int _findclose(intptr_t search);

// ---- loader ---------------------------------------------------------------
// Turns off the per-thread attach and detach notifications of `module`.
void DisableThreadLibraryCalls(Handle module);

}  // namespace tbx::os

#endif  // TEMBRIX_PLATFORM_PLATFORM_H_
