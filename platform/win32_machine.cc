// Win32 backend of the module, system-information and mutex calls:
// KERNEL32 itself.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstddef>

#include "platform/fault.h"
#include "platform/platform.h"

namespace tbx::os {
namespace {
// Returns `object`, a module or mutex handle or null, counted when not null.
Handle counted(Handle object) {
    if (object) fault::count_handles(1);
    return object;
}
}  // namespace

// The seam's records are the platform's, field for field.
static_assert(sizeof(SystemInfo) == sizeof(SYSTEM_INFO));
static_assert(offsetof(SystemInfo, processor_architecture) ==
              offsetof(SYSTEM_INFO, wProcessorArchitecture));
static_assert(offsetof(SystemInfo, page_size) == offsetof(SYSTEM_INFO, dwPageSize));
static_assert(offsetof(SystemInfo, number_of_processors) ==
              offsetof(SYSTEM_INFO, dwNumberOfProcessors));
static_assert(offsetof(SystemInfo, processor_type) == offsetof(SYSTEM_INFO, dwProcessorType));
static_assert(offsetof(SystemInfo, processor_revision) ==
              offsetof(SYSTEM_INFO, wProcessorRevision));
static_assert(sizeof(VersionInfoA) == sizeof(OSVERSIONINFOA));
static_assert(offsetof(VersionInfoA, platform_id) == offsetof(OSVERSIONINFOA, dwPlatformId));
static_assert(offsetof(VersionInfoA, service_pack) == offsetof(OSVERSIONINFOA, szCSDVersion));

Handle LoadLibraryA(const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    return counted(::LoadLibraryA(name));
}

int FreeLibrary(Handle module) {
    if (fault::hit(fault::kMachine)) return 0;
    if (!::FreeLibrary(static_cast<HMODULE>(module))) return 0;
    fault::count_handles(-1);
    return 1;
}

uint32_t GetModuleFileNameA(Handle module, char* buffer, uint32_t size) {
    if (fault::hit(fault::kMachine)) return 0;
    return ::GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
}

void* GetProcAddress(Handle module, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }

void GetSystemInfo(SystemInfo* info) { ::GetSystemInfo(reinterpret_cast<SYSTEM_INFO*>(info)); }

int GetVersionExA(VersionInfoA* info) {
    if (fault::hit(fault::kMachine)) return 0;
    return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
}

Handle CreateMutexA(void* security, int initial_owner, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    return counted(::CreateMutexA(static_cast<SECURITY_ATTRIBUTES*>(security), initial_owner, name));
}

Handle OpenMutexA(uint32_t access, int inherit, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    return counted(::OpenMutexA(access, inherit, name));
}

int ReleaseMutex(Handle mutex) {
    if (fault::hit(fault::kMachine)) return 0;
    return ::ReleaseMutex(mutex);
}

uint32_t WaitForSingleObject(Handle object, uint32_t timeout_ms) {
    if (fault::hit(fault::kMachine)) return kWaitFailed;
    return ::WaitForSingleObject(object, timeout_ms);
}

}  // namespace tbx::os
