// ZmdLoadLibrary, ZmdFreeLibrary, ZmdGetModuleFileName, ZmdGetProcAddress:
// the platform's module loader, passed through.
#include "platform/platform.h"
#include "tembrix.h"

using namespace tbx;

extern "C" void* TBX_CALL ZmdLoadLibrary(const char* name) noexcept {
    // No message box while loading: a module that cannot be loaded is a
    // null result and nothing else. The previous mode is put back whole;
    // its flags all lie in the low 16 bits.
    uint32_t previous = os::SetErrorMode(os::kSemFailCriticalErrors | os::kSemNoOpenFileErrorBox);
    os::Handle module = os::LoadLibraryA(name);
    os::SetErrorMode(previous & 0xFFFF);
    return module;
}

extern "C" int32_t TBX_CALL ZmdFreeLibrary(void* module) noexcept { return os::FreeLibrary(module); }

extern "C" uint32_t TBX_CALL ZmdGetModuleFileName(void* module, char* buffer,
                                                  uint32_t size) noexcept {
    return os::GetModuleFileNameA(module, buffer, size);
}

extern "C" void* TBX_CALL ZmdGetProcAddress(void* module, const char* name) noexcept {
    return os::GetProcAddress(module, name);
}
