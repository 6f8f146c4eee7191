// ZmdCreateMutex, ZmdOpenMutex, ZmdReleaseMutex, ZmdWaitForSingleObject,
// ZmdCloseHandle, ZmdIsValidMutex: the platform's named mutexes and waits,
// passed through. The library never uses them itself.
#include "platform/platform.h"
#include "tembrix.h"

using namespace tbx;

extern "C" void* TBX_CALL ZmdCreateMutex(int32_t initial_owner, const char* name) noexcept {
    return os::CreateMutexA(nullptr, initial_owner, name);
}

extern "C" void* TBX_CALL ZmdOpenMutex(const char* name) noexcept {
    return os::OpenMutexA(os::kMutexAllAccess, 0, name);
}

extern "C" int32_t TBX_CALL ZmdReleaseMutex(void* mutex) noexcept { return os::ReleaseMutex(mutex); }

extern "C" uint32_t TBX_CALL ZmdWaitForSingleObject(void* handle, uint32_t timeout_ms) noexcept {
    return os::WaitForSingleObject(handle, timeout_ms);
}

extern "C" int32_t TBX_CALL ZmdCloseHandle(void* handle) noexcept { return os::CloseHandle(handle); }

// A test of the value alone: the platform is not asked.
extern "C" int32_t TBX_CALL ZmdIsValidMutex(void* mutex) noexcept { return mutex != nullptr ? 1 : 0; }
