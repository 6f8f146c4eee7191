// WinFlags from the combinations of platform, architecture and processor
// that matter, independent of the machine the tests run on, then from the
// machine itself.
#include <gtest/gtest.h>

#include "machine/system.h"
#include "platform/fault.h"
#include "tembrix.h"

namespace {

TEST(WinFlags, DecidedByPlatformArchitectureAndProcessor) {
    constexpr uint16_t kIntel = 0, kAmd64 = 9;
    EXPECT_EQ(0x28u, tbx::win_flags(2, kIntel, 586));
    EXPECT_EQ(0x24u, tbx::win_flags(2, kIntel, 386));
    // Only the NT platform looks at the architecture.
    EXPECT_EQ(0x20u, tbx::win_flags(2, kAmd64, 386));
    EXPECT_EQ(0x18u, tbx::win_flags(1, kIntel, 486));
    EXPECT_EQ(0x14u, tbx::win_flags(1, kAmd64, 386));
    // Any other platform id, as after a failed version query: the
    // processor bit alone.
    EXPECT_EQ(0x08u, tbx::win_flags(0, kAmd64, 586));

    // A 32-bit process on x86 sees an Intel Pentium, a 64-bit one the x64
    // architecture (processor type 8664); both see Windows NT. Without the
    // version the platform bit goes, and with it the check of the
    // architecture.
    EXPECT_EQ(sizeof(void*) == 4 ? 0x28u : 0x20u, ZmdGetWinFlags());
    tbx::fault::arm(1, tbx::fault::kMachine);
    EXPECT_EQ(sizeof(void*) == 4 ? 0x08u : 0u, ZmdGetWinFlags());
}

}  // namespace
