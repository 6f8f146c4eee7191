// The Windows DLL's entry point. The library keeps no per-thread state, so
// it asks the loader not to notify it of thread starts and exits.
#include <cstdint>

#include "platform/platform.h"

namespace {
constexpr uint32_t kProcessAttach = 1;
}

extern "C" int __stdcall DllMain(void* module, uint32_t reason, void* /*reserved*/) {
    if (reason == kProcessAttach) tbx::os::DisableThreadLibraryCalls(module);
    return 1;
}
