// Modules: loading, naming, finding exports and unloading through the
// platform's loader, and the error mode around a load.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
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

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(Modules, LoadNameFindAndFree) {
    void* module = ZmdLoadLibrary(kModule);
    ASSERT_NE(nullptr, module);
    // A second load counts a use of the same module.
    void* again = ZmdLoadLibrary(kModule);
    EXPECT_EQ(module, again);

    char path[1024];
    uint32_t length = ZmdGetModuleFileName(module, path, sizeof path);
    ASSERT_GT(length, std::strlen(kModule));
    EXPECT_EQ(std::strlen(path), length);
    std::string tail = Lower(path).substr(length - std::strlen(kModule));
    EXPECT_EQ(kModule, tail) << path;

    using ProcessId = uint32_t (*)();
    auto process_id = reinterpret_cast<ProcessId>(ZmdGetProcAddress(module, kProcessIdExport));
    ASSERT_NE(nullptr, process_id);
    EXPECT_EQ(ZmdGetCurrentTask(), process_id());
    EXPECT_NE(0u, ZmdGetCurrentTask());
    EXPECT_EQ(nullptr, ZmdGetProcAddress(module, "TbxNoSuchExport"));
    // The program exports nothing of its own: the module's export is not
    // found through it.
    EXPECT_EQ(nullptr, ZmdGetProcAddress(nullptr, kProcessIdExport));

    EXPECT_NE(0, ZmdFreeLibrary(again));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    EXPECT_EQ(0, ZmdFreeLibrary(nullptr));
}

TEST(Modules, ProgramFileNameWholeAndCut) {
    char path[1024];
    uint32_t length = ZmdGetModuleFileName(nullptr, path, sizeof path);
    ASSERT_GT(length, 6u);
    ASSERT_EQ(std::strlen(path), length);
    std::FILE* self = std::fopen(path, "rb");
    EXPECT_NE(nullptr, self) << path;
    if (self) std::fclose(self);

    // Too small a buffer: the path is cut and the result is the buffer's
    // size. Whether the last byte is the NUL differs between versions of
    // the platform; the characters before it do not.
    char cut[6];
    std::memset(cut, 'x', sizeof cut);
    EXPECT_EQ(sizeof cut, ZmdGetModuleFileName(nullptr, cut, sizeof cut));
    EXPECT_EQ(0, std::memcmp(path, cut, sizeof cut - 1));
    EXPECT_EQ(0u, ZmdGetModuleFileName(nullptr, cut, 0));

    int on_stack = 0;
    EXPECT_EQ(0u, ZmdGetModuleFileName(&on_stack, path, sizeof path));
}

TEST(Modules, MissingModuleIsNullAndKeepsTheErrorMode) {
    // A mode other than the one the load uses, so a missing restore shows.
    constexpr uint32_t kNoFaultBox = 0x0002;
    uint32_t before = tbx::os::SetErrorMode(kNoFaultBox);
    EXPECT_EQ(nullptr, ZmdLoadLibrary("tbx-no-such-module.dll"));
    EXPECT_EQ(nullptr, ZmdLoadLibrary(""));
    EXPECT_EQ(kNoFaultBox, tbx::os::SetErrorMode(before));
}

}  // namespace
