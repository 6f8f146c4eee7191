// The shipped library through its public header: what a caller sees of
// the store, including the block format behind ZmsPtr.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

// The start of the block that holds the one-chunk string `h`: its payload
// lies 1026 + 32 * chunk bytes in.
const uint8_t* BlockOf(StringHandle h) {
    return static_cast<const uint8_t*>(ZmsPtr(h)) - 1026 - 32 * ((h >> 16) & 0xFF);
}

uint16_t Used(const uint8_t* block) {
    uint16_t used;
    std::memcpy(&used, block, 2);
    return used;
}

uint32_t LinkWord(const uint8_t* block, unsigned chunk) {
    uint32_t link;
    std::memcpy(&link, block + 2 + 4 * chunk, 4);
    return link;
}

TEST(Interface, RoadOfOneTextThroughTheBlock) {
    StringHandle h = hstrput("hello");
    ASSERT_EQ(0xFF000000u, h);
    const uint8_t* block = BlockOf(h);
    EXPECT_EQ(1, Used(block));
    EXPECT_EQ(0x06FFFFFFu, LinkWord(block, 0));
    char buffer[80];
    EXPECT_EQ(5, hstrget(h, buffer, sizeof buffer));
    EXPECT_STREQ("hello", buffer);
    StringHandle abc = ZmsPut("abc", 3);
    EXPECT_EQ(0xFF010000u, abc);
    EXPECT_EQ(2, Used(block));
    EXPECT_EQ(0x03FFFFFFu, LinkWord(block, 1));
    ZmsFree(abc);
    EXPECT_EQ(0u, LinkWord(block, 1));
    EXPECT_EQ(1, Used(block));
    hstrfree(h);
    // The block is gone with its last chunk: the handle is rejected.
    EXPECT_EQ(0xFFFF, hstrlen(h));
    EXPECT_EQ(0xFF000000u, ZmsPut("again", 5));
}

// While a module loads, the process shows no error boxes, whatever mode
// the caller had; the caller's mode is back after the load.
TEST(Interface, ModulesLoadWithErrorBoxesOff) {
#ifdef _WIN32
    constexpr char kProbe[] = "error_mode_probe.dll";
#else
    constexpr char kProbe[] = "error_mode_probe.so";
#endif
    char program[1024];
    std::string path(program, ZmdGetModuleFileName(nullptr, program, sizeof program));
    path.replace(path.find_last_of("/\\") + 1, std::string::npos, kProbe);
    const uint32_t before = ZfdSetErrorMode(0x0002);
    void* probe = ZmdLoadLibrary(path.c_str());
    ASSERT_NE(nullptr, probe) << path;
    auto mode_at_load = reinterpret_cast<uint32_t (*)()>(ZmdGetProcAddress(probe, "ProbeModeAtLoad"));
    ASSERT_NE(nullptr, mode_at_load);
    EXPECT_EQ(0x8001u, mode_at_load());  // SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
    EXPECT_EQ(0x0002u, ZfdSetErrorMode(static_cast<uint16_t>(before)));
    EXPECT_NE(0, ZmdFreeLibrary(probe));
}

}  // namespace
