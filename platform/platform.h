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
// (wildcards * and ?, read by the DOS rules Win32 keeps; the null device's
// names find the device) in the directory the rest names. Fills `*data` with
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

// ---- modules ---------------------------------------------------------------
// Error-mode flags: no critical-error and no open-file message boxes.
inline constexpr uint32_t kSemFailCriticalErrors = 0x0001;
inline constexpr uint32_t kSemNoOpenFileErrorBox = 0x8000;

// Loads the module `name` (or finds it loaded) and counts one more use.
// Returns its handle, or null; a failed load shows and prints nothing.
Handle LoadLibraryA(const char* name);

// Counts one use of `module` less, unloading it after the last. Returns
// nonzero on success, 0 for a value that is not a loaded module.
int FreeLibrary(Handle module);

// Copies the path of `module` (null: the program's own file) into `buffer`
// of `size` bytes. Returns the characters copied without the NUL; `size`
// when the path was cut to size - 1 characters and a NUL (older Win32
// writes `size` characters, unterminated); 0 for a value that is not a
// loaded module, or when `size` is 0.
uint32_t GetModuleFileNameA(Handle module, char* buffer, uint32_t size);

// Returns the address of the export `name` of `module`, or null. A `name`
// below 0x10000 is an export ordinal.
void* GetProcAddress(Handle module, const char* name);

// ---- process and system information ------------------------------------------
// Returns the id of the calling process.
uint32_t GetCurrentProcessId();

// Processor architectures and types as the system reports them.
inline constexpr uint16_t kProcessorArchitectureIntel = 0;
inline constexpr uint16_t kProcessorArchitectureAmd64 = 9;
inline constexpr uint32_t kProcessorIntel386 = 386;
inline constexpr uint32_t kProcessorIntel486 = 486;
inline constexpr uint32_t kProcessorIntelPentium = 586;
inline constexpr uint32_t kProcessorAmdX8664 = 8664;

// The system-information record, field for field in the platform's layout.
struct SystemInfo {
    uint16_t processor_architecture;
    uint16_t reserved;
    uint32_t page_size;
    void* minimum_application_address;
    void* maximum_application_address;
    uintptr_t active_processor_mask;
    uint32_t number_of_processors;
    uint32_t processor_type;
    uint32_t allocation_granularity;
    uint16_t processor_level;
    uint16_t processor_revision;
};

// Fills `*info` with the processor and memory layout of the machine as the
// calling process sees it (the stand-in: the processor, the rest zero).
void GetSystemInfo(SystemInfo* info);

// Platform ids of the version record.
inline constexpr uint32_t kPlatformWin32s = 0;
inline constexpr uint32_t kPlatformWindows = 1;  // the Windows 95 family
inline constexpr uint32_t kPlatformNt = 2;

// The version record: 148 bytes, `size` set by the caller to that size.
struct VersionInfoA {
    uint32_t size;
    uint32_t major_version;
    uint32_t minor_version;
    uint32_t build_number;
    uint32_t platform_id;
    char service_pack[128];
};
static_assert(sizeof(VersionInfoA) == 148, "the version record the library passes is 148 bytes");

// Fills `*info`, whose `size` must be sizeof(VersionInfoA) (the stand-in:
// the platform id only). Returns nonzero on success.
int GetVersionExA(VersionInfoA* info);

// ---- mutexes and waits ---------------------------------------------------------
inline constexpr uint32_t kMutexAllAccess = 0x1F0001;
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitAbandoned = 0x80;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Creates the mutex `name` (null or empty: an unnamed one), owned by the
// calling thread when `initial_owner` is nonzero; when a mutex of that name
// exists it is opened instead and `initial_owner` is ignored. `security`
// must be null. Returns a new handle, or null.
Handle CreateMutexA(void* security, int initial_owner, const char* name);

// Opens the existing mutex `name`. Returns a new handle, or null when there
// is none.
Handle OpenMutexA(uint32_t access, int inherit, const char* name);

// Gives up one count of the calling thread's ownership of `mutex`. Returns
// nonzero, or 0 when the thread does not own it or `mutex` is no mutex.
int ReleaseMutex(Handle mutex);

// Waits until `object` is signalled, at most `timeout_ms` milliseconds
// (kInfinite: without limit). A mutex is signalled when no thread owns it
// and is then taken. Returns kWaitObject0, kWaitAbandoned (taken, but its
// previous owner ended holding it), kWaitTimeout or kWaitFailed.
uint32_t WaitForSingleObject(Handle object, uint32_t timeout_ms);

}  // namespace tbx::os

#endif  // TEMBRIX_PLATFORM_PLATFORM_H_
