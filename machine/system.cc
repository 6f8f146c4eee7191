// ZmdGetWinFlags, ZmdGetCurrentTask, and the older interfaces that answer
// with fixed values.
#include "machine/system.h"

using namespace tbx;

extern "C" uint32_t TBX_CALL ZmdGetWinFlags(void) noexcept {
    os::SystemInfo system{};
    os::GetSystemInfo(&system);
    os::VersionInfoA version{};
    version.size = sizeof version;
    // Without a version there is no platform, and the architecture is not
    // consulted: only the processor bit remains.
    uint32_t platform = os::GetVersionExA(&version) ? version.platform_id : os::kPlatformWin32s;
    return win_flags(platform, system.processor_architecture, system.processor_type);
}

extern "C" uint32_t TBX_CALL ZmdGetCurrentTask(void) noexcept { return os::GetCurrentProcessId(); }

// There is no DPMI host: the version answered is 0.0, with 16 in the fourth
// output where the processor field of a real host sits.
extern "C" uint32_t TBX_CALL ZmdDPMIGetVersion(uint16_t* a, uint16_t* b, uint16_t* c, uint16_t* d,
                                               uint16_t* e) noexcept {
    *a = 0;
    *b = 0;
    *c = 0;
    *d = 16;
    *e = 0;
    return STATUS_OK;
}

// The window, message and program-start calls of the 16-bit interface are
// kept for their callers and do nothing.
extern "C" uint32_t TBX_CALL ZmdExecute(uint32_t) noexcept { return 0; }

extern "C" uint32_t TBX_CALL ZmdFindWindow(uint32_t, uint32_t) noexcept { return 0; }

extern "C" uint16_t TBX_CALL ZmdRegisterMessage(uint32_t) noexcept { return 0; }

extern "C" uint32_t TBX_CALL ZmdSendMessage(uint32_t, uint32_t, uint32_t, uint32_t) noexcept {
    return 0;
}
