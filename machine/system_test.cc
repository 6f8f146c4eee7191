// WinFlags from every combination of platform, architecture and processor
// that matters, independent of the machine the tests run on; the machine
// itself; and the fixed answers.
#include <gtest/gtest.h>

#include "machine/system.h"
#include "platform/fault.h"
#include "tembrix.h"

namespace {

TEST(WinFlags, DecidedByPlatformArchitectureAndProcessor) {
    struct Case {
        uint32_t platform;
        uint16_t architecture;
        uint32_t type;
        uint32_t flags;
    };
    constexpr uint16_t kIntel = 0, kIa64 = 6, kAmd64 = 9;
    const Case cases[] = {
        {2, kIntel, 586, 0x28}, {2, kIntel, 486, 0x28}, {2, kIntel, 386, 0x24},
        {2, kIntel, 8664, 0x20}, {2, kIntel, 0, 0x20},
        // A processor other than Intel's gets no processor bit, whatever
        // its type says.
        {2, kAmd64, 586, 0x20}, {2, kIa64, 386, 0x20}, {2, kAmd64, 8664, 0x20},
        // Only the NT platform looks at the architecture.
        {1, kIntel, 486, 0x18}, {1, kIntel, 586, 0x18}, {1, kIntel, 386, 0x14},
        {1, kAmd64, 586, 0x18}, {1, kIntel, 2200, 0x10},
        // No platform (Win32s, unknown ids, a failed version query): the
        // processor bit alone, again whatever the architecture.
        {0, kIntel, 386, 0x04}, {0, kAmd64, 486, 0x08}, {3, kIntel, 586, 0x08},
        {0, kIntel, 8664, 0}, {7, kAmd64, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.flags, tbx::win_flags(c.platform, c.architecture, c.type))
            << "platform " << c.platform << ", architecture " << c.architecture << ", type "
            << c.type;
}

// A 32-bit process on x86 sees an Intel Pentium, a 64-bit one the x64
// architecture; both see Windows NT.
TEST(WinFlags, ThisMachine) {
    EXPECT_EQ(sizeof(void*) == 4 ? 0x28u : 0x20u, ZmdGetWinFlags());
    // Without the version the platform bit goes, and with it the check of
    // the architecture: a 64-bit process's processor type then adds nothing.
    tbx::fault::arm(1, tbx::fault::kMachine);
    EXPECT_EQ(sizeof(void*) == 4 ? 0x08u : 0u, ZmdGetWinFlags());
    EXPECT_TRUE(tbx::fault::fired());
    tbx::fault::arm(0);
}

TEST(FixedAnswers, DpmiVersionAndOlderCalls) {
    uint16_t out[5] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(STATUS_OK, ZmdDPMIGetVersion(&out[0], &out[1], &out[2], &out[3], &out[4]));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, out[1]);
    EXPECT_EQ(0, out[2]);
    EXPECT_EQ(16, out[3]);
    EXPECT_EQ(0, out[4]);
    EXPECT_EQ(0u, ZmdExecute(0xFFFFFFFF));
    EXPECT_EQ(0u, ZmdFindWindow(1, 2));
    EXPECT_EQ(0, ZmdRegisterMessage(0xC000));
    EXPECT_EQ(0u, ZmdSendMessage(0xFFFF, 0x10, 1, 2));
}

}  // namespace
