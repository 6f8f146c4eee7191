// Modules: loading, naming, finding exports and unloading through the
// platform's loader, and the error mode around a load.
#include <cstring>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

// A module every target has, and one of its exports that takes nothing
// and returns the process id.
#ifdef _WIN32
constexpr char kModule[] = "kernel32.dll";
constexpr char kProcessIdExport[] = "GetCurrentProcessId";
#else
constexpr char kModule[] = "libc.so.6";
constexpr char kProcessIdExport[] = "getpid";
#endif

TEST(Modules, LoadNameFindFreeAndFailToLoad) {
    void* module = ZmdLoadLibrary(kModule);
    ASSERT_NE(nullptr, module);
    char path[1024], cut[6];
    uint32_t length = ZmdGetModuleFileName(module, path, sizeof path);
    ASSERT_TRUE(length > sizeof cut && length == std::strlen(path)) << length;
    // The file name loads the same module again, one more use of it.
    EXPECT_EQ(module, ZmdLoadLibrary(path));
    // Too small a buffer: the path is cut and the result is the buffer's
    // size. Whether the last byte is the NUL differs between versions of
    // the platform; the characters before it do not.
    EXPECT_EQ(sizeof cut, ZmdGetModuleFileName(module, cut, sizeof cut));
    EXPECT_EQ(0, std::memcmp(path, cut, sizeof cut - 1));
    EXPECT_EQ(0u, ZmdGetModuleFileName(module, cut, 0));
    int on_stack = 0;
    EXPECT_EQ(0u, ZmdGetModuleFileName(&on_stack, path, sizeof path));

    using ProcessId = uint32_t (*)();
    auto process_id = reinterpret_cast<ProcessId>(ZmdGetProcAddress(module, kProcessIdExport));
    ASSERT_NE(nullptr, process_id);
    EXPECT_EQ(ZmdGetCurrentTask(), process_id());
    EXPECT_EQ(nullptr, ZmdGetProcAddress(module, "TbxNoSuchExport"));
    // The program exports nothing of its own: the module's export is not
    // found through it.
    EXPECT_EQ(nullptr, ZmdGetProcAddress(nullptr, kProcessIdExport));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    EXPECT_NE(0, ZmdFreeLibrary(module));

    // A load that fails gives null, and the error mode as it was before.
    uint32_t before = ZfdSetErrorMode(0x0002);
    EXPECT_EQ(nullptr, ZmdLoadLibrary("tbx-no-such-module.dll"));
    EXPECT_EQ(nullptr, ZmdLoadLibrary(""));
    // A caller's 32-bit mode reaches the library cut to 16 bits.
    using RawSetErrorMode = uint32_t(TBX_CALL*)(uint32_t);
    auto raw = reinterpret_cast<RawSetErrorMode>(reinterpret_cast<void (*)()>(&ZfdSetErrorMode));
    EXPECT_EQ(0x0002u, raw(0x18001));
    EXPECT_EQ(0x8001u, ZfdSetErrorMode(static_cast<uint16_t>(before)));
}

}  // namespace
