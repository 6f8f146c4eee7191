// The machine as the 16-bit WinFlags word describes it.
#ifndef TEMBRIX_MACHINE_SYSTEM_H_
#define TEMBRIX_MACHINE_SYSTEM_H_

#include <cstdint>

#include "platform/platform.h"
#include "tembrix.h"

namespace tbx {

// Returns the WinFlags of a platform id (pass one that names no platform,
// such as 0, when the version query failed), a processor architecture and a
// processor type. The architecture counts only under the NT platform: there
// a processor other than Intel's gets no processor bit.
constexpr uint32_t win_flags(uint32_t platform_id, uint16_t architecture,
                             uint32_t processor_type) {
    uint32_t flags = 0;
    if (platform_id == os::kPlatformWindows) flags = WF_STANDARD;
    if (platform_id == os::kPlatformNt) {
        flags = WF_ENHANCED;
        if (architecture != os::kProcessorArchitectureIntel) return flags;
    }
    if (processor_type == os::kProcessorIntel386) flags |= WF_CPU386;
    if (processor_type == os::kProcessorIntel486 || processor_type == os::kProcessorIntelPentium)
        flags |= WF_CPU486;
    return flags;
}

}  // namespace tbx

#endif  // TEMBRIX_MACHINE_SYSTEM_H_
