// WinFlags, machine calls the platform refuses, and the program as a module.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "machine/system.h"
#include "platform/fault.h"
#include "tembrix.h"
#ifndef _WIN32
#include "tests/child_process.h"
#endif

namespace {

TEST(WinFlags, DecidedByPlatformArchitectureAndProcessor) {
    constexpr uint16_t kIntel = 0, kAmd64 = 9;
    EXPECT_EQ(0x28u, tbx::win_flags(2, kIntel, 586));
    EXPECT_EQ(0x24u, tbx::win_flags(2, kIntel, 386));
    // Only the NT platform looks at the architecture.
    EXPECT_EQ(0x20u, tbx::win_flags(2, kAmd64, 386));
    EXPECT_EQ(0x18u, tbx::win_flags(1, kIntel, 486));
    EXPECT_EQ(0x14u, tbx::win_flags(1, kAmd64, 386));
    // Any other platform id (a failed version query): the processor bit alone.
    EXPECT_EQ(0x08u, tbx::win_flags(0, kAmd64, 586));

    // 32-bit sees a Pentium, 64-bit the x64 architecture; both NT. Without
    // the version the platform bit goes, and the architecture check with it.
    EXPECT_EQ(sizeof(void*) == 4 ? 0x28u : 0x20u, ZmdGetWinFlags());
    tbx::fault::arm(1, tbx::fault::kMachine);
    EXPECT_EQ(sizeof(void*) == 4 ? 0x08u : 0u, ZmdGetWinFlags());
    // The platform answers a version record of a size it knows only.
    tbx::os::VersionInfoA version{};
    EXPECT_EQ(0, tbx::os::GetVersionExA(&version));
}

// A refused call changes nothing: the mutex is still held once.
TEST(MachineCalls, RefusedByThePlatform) {
    const std::string name = "tbx-refused-" + std::to_string(ZmdGetCurrentTask());
    void* m = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, m);
    auto refused = [](auto call) {
        tbx::fault::arm(1, tbx::fault::kMachine);
        auto result = call();
        tbx::fault::arm(0);
        return result;
    };
    char path[1024];
    EXPECT_EQ(0u, refused([&] { return ZmdGetModuleFileName(nullptr, path, sizeof path); }));
    EXPECT_EQ(nullptr, refused([] { return ZmdGetProcAddress(nullptr, "TbxProgramExport"); }));
    EXPECT_EQ(nullptr, refused([] { return ZmdCreateMutex(0, nullptr); }));
    EXPECT_EQ(nullptr, refused([&] { return ZmdOpenMutex(name.c_str()); }));
    EXPECT_EQ(0xFFFFFFFFu, refused([&] { return ZmdWaitForSingleObject(m, 0); }));
    EXPECT_EQ(0, refused([&] { return ZmdReleaseMutex(m); }));
    EXPECT_EQ(1, ZmdReleaseMutex(m));
    EXPECT_EQ(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

#ifndef _WIN32
// The start of the program's image is the program, as null is; a free of
// it succeeds and unloads nothing. A module loaded by a relative name is
// named from the kernel's mappings: with no descriptor left, it has none.
TEST(StandInModules, ProgramImageAndModulesNamedByTheKernel) {
    static const int in_program = 0;
    Dl_info info{};
    ASSERT_NE(0, dladdr(&in_program, &info));
    void* program = info.dli_fbase;
    char own[1024], by_null[1024];
    uint32_t length = ZmdGetModuleFileName(program, own, sizeof own);
    ASSERT_EQ(length, ZmdGetModuleFileName(nullptr, by_null, sizeof by_null));
    EXPECT_TRUE(length > 0 && std::strcmp(own, by_null) == 0) << own;
    EXPECT_NE(nullptr, ZmdGetProcAddress(program, "TbxProgramExport"));
    const int32_t uses = tbx::fault::open_handles();
    EXPECT_EQ(1, ZmdFreeLibrary(program));
    EXPECT_EQ(uses - 1, tbx::fault::open_handles());  // the use a load of it would have counted
    EXPECT_EQ(length, ZmdGetModuleFileName(program, own, sizeof own));
    EXPECT_EQ(0, ZmdFreeLibrary(const_cast<int*>(&in_program)));  // no image starts there

    *std::strrchr(own, '/') = '\0';
    EXPECT_EQ(0, testing_child::InChild([&] {
        void* library = chdir(own) == 0 ? ZmdLoadLibrary("./libtembrix.so") : nullptr;
        char path[1024];
        if (!library || ZmdGetModuleFileName(library, path, sizeof path) == 0) return 1;
        // The program's name, read after the longer path of the library.
        if (ZmdGetModuleFileName(nullptr, path, sizeof path) != length || std::strcmp(path, by_null) != 0) return 3;
        rlimit none = {0, 0};
        getrlimit(RLIMIT_NOFILE, &none);
        none.rlim_cur = 0;
        if (setrlimit(RLIMIT_NOFILE, &none) != 0 || ZmdGetModuleFileName(library, path, sizeof path) != 0) return 2;
        return ZmdFreeLibrary(library) == 1 ? 0 : 4;
    }));
}
#endif

}  // namespace
