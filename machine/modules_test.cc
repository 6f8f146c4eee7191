// Modules: loading, naming, finding exports and unloading through the
// platform's loader, and the error mode around a load.
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <limits.h>
#include <malloc.h>
#include <sys/mman.h>

#include "tests/child_process.h"
#endif

#include "platform/fault.h"
#include "tembrix.h"

// An export of the test program itself, found through the null module.
#ifdef _WIN32
extern "C" __declspec(dllexport) int TbxProgramExport() { return 7; }
#else
extern "C" __attribute__((visibility("default"))) int TbxProgramExport() { return 7; }
#endif

namespace {

namespace fs = std::filesystem;

// A module every target has, and one of its exports that takes nothing
// and returns the process id.
#ifdef _WIN32
constexpr char kModule[] = "kernel32.dll";
constexpr char kProcessIdExport[] = "GetCurrentProcessId";
#else
constexpr char kModule[] = "libc.so.6";
constexpr char kProcessIdExport[] = "getpid";
#endif

// The library of this build, which sits beside the test programs.
#ifdef _WIN32
constexpr char kLibrary[] = ".\\tembrix.dll";
#else
constexpr char kLibrary[] = "./libtembrix.so";
#endif

TEST(Modules, LoadNameFindFreeAndFailToLoad) {
    void* module = ZmdLoadLibrary(kModule);
    ASSERT_NE(nullptr, module);
    char path[1024], cut[6];
    uint32_t length = ZmdGetModuleFileName(module, path, sizeof path);
    ASSERT_TRUE(length > sizeof cut && length == std::strlen(path)) << length;
    // The file name loads the same module again, one more use of it.
    EXPECT_EQ(module, ZmdLoadLibrary(path));
    // Too small a buffer: the path is cut, the result is the buffer's size
    // (whether its last byte is the NUL differs between platform versions).
    EXPECT_EQ(sizeof cut, ZmdGetModuleFileName(module, cut, sizeof cut));
    EXPECT_EQ(0, std::memcmp(path, cut, sizeof cut - 1));
    EXPECT_EQ(0u, ZmdGetModuleFileName(module, cut, 0));
    // The path's length is a byte short; nothing is written past the size.
    for (uint32_t size : {length, length + 1}) {
        char exact[sizeof path];
        std::memset(exact, 'x', sizeof exact);
        EXPECT_EQ(size > length ? length : size, ZmdGetModuleFileName(module, exact, size));
        EXPECT_EQ(0, std::memcmp(path, exact, size - 1));
        EXPECT_EQ('x', exact[size]) << size;
#ifndef _WIN32
        EXPECT_EQ('\0', exact[size - 1]);  // the stand-in ends a cut path as current Win32 does
#endif
    }
    int on_stack = 0;
    EXPECT_EQ(0u, ZmdGetModuleFileName(&on_stack, path, sizeof path));

    using ProcessId = uint32_t (*)();
    auto process_id = reinterpret_cast<ProcessId>(ZmdGetProcAddress(module, kProcessIdExport));
    ASSERT_NE(nullptr, process_id);
    EXPECT_EQ(ZmdGetCurrentTask(), process_id());
    EXPECT_EQ(nullptr, ZmdGetProcAddress(module, "TbxNoSuchExport"));
    // An ordinal the module does not have (a value below 0x10000 is one).
    EXPECT_EQ(nullptr, ZmdGetProcAddress(module, reinterpret_cast<const char*>(0xFFFF)));
#ifndef _WIN32
    // A name at 0x10000 is the lowest that is no ordinal.
    void* low = mmap(reinterpret_cast<void*>(0x10000), 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (low == reinterpret_cast<void*>(0x10000)) {
        std::strcpy(static_cast<char*>(low), kProcessIdExport);
        EXPECT_EQ(reinterpret_cast<void*>(process_id), ZmdGetProcAddress(module, static_cast<char*>(low)));
        munmap(low, 4096);
    }
#endif
    // The program's own exports are found through null; the module's not.
    EXPECT_EQ(reinterpret_cast<void*>(&TbxProgramExport), ZmdGetProcAddress(nullptr, "TbxProgramExport"));
    EXPECT_EQ(nullptr, ZmdGetProcAddress(nullptr, kProcessIdExport));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    EXPECT_NE(0, ZmdFreeLibrary(module));

    // A failed load gives null and leaves every bit of the error mode.
    uint32_t before = ZfdSetErrorMode(0x0003);
#ifndef _WIN32
    EXPECT_EQ(0u, before);  // the stand-in starts every process with mode 0
#endif
    EXPECT_EQ(nullptr, ZmdLoadLibrary("tbx-no-such-module.dll"));
    EXPECT_EQ(nullptr, ZmdLoadLibrary(""));
    // A caller's 32-bit mode reaches the library cut to 16 bits.
    using RawSetErrorMode = uint32_t(TBX_CALL*)(uint32_t);
    auto raw = reinterpret_cast<RawSetErrorMode>(reinterpret_cast<void (*)()>(&ZfdSetErrorMode));
    EXPECT_EQ(0x0003u, raw(0x18001));
    EXPECT_EQ(0x8001u, ZfdSetErrorMode(static_cast<uint16_t>(before)));
}

// A module loaded by a relative name is named by its full path, so the name
// holds after the current directory changes, also when other code of the
// program loaded it first. Each load is one use, which one free undoes.
TEST(Modules, RelativeNameGivesFullPath) {
    char program[1024];
    const fs::path folder =
        fs::path(std::string(program, ZmdGetModuleFileName(nullptr, program, sizeof program))).parent_path();
    const fs::path home = fs::current_path();
    struct Case {
        fs::path dir;
        std::string name;
        bool loaded_elsewhere;
    };
    std::vector<Case> cases = {{folder, kLibrary, false}, {folder, kLibrary, true}};
#ifndef _WIN32
    // A copy of the library whose path is the longest the kernel takes,
    // PATH_MAX - 1 bytes: folders of 200 bytes, then a name of the length
    // that is left.
    const fs::path deep_top = folder / "tbx-longest-path";
    std::string deep = deep_top.string();
    while (PATH_MAX - 2 - deep.size() > 250) deep += "/" + std::string(200, 'd');
    const std::string deep_name = "lib" + std::string(PATH_MAX - 2 - deep.size() - 6, 'f') + ".so";
    fs::create_directories(deep);
    fs::copy_file(folder / kLibrary, fs::path(deep) / deep_name, fs::copy_options::overwrite_existing);
    cases.push_back({deep, "./" + deep_name, false});
#endif
    for (const Case& c : cases) {
        fs::current_path(c.dir);
        void* other = nullptr;
#ifndef _WIN32
        if (c.loaded_elsewhere) other = dlopen(c.name.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (c.loaded_elsewhere && !other) continue;
        void* module = ZmdLoadLibrary(c.name.c_str());
        fs::current_path(home.root_path());
        char path[4200] = {};
        ZmdGetModuleFileName(module, path, sizeof path);
        fs::current_path(home);
        std::error_code error;
        EXPECT_TRUE(fs::path(path).is_absolute()) << path;
        EXPECT_TRUE(fs::equivalent(path, c.dir / fs::path(c.name).filename(), error)) << path;
#ifndef _WIN32
        // The stand-in names it from the kernel's list of mappings, and
        // keeps nothing of that list open or allocated.
        const long open_before = testing_child::OpenDescriptors();
        const size_t in_use = mallinfo2().uordblks;
        for (int i = 0; i < 200; ++i) ZmdGetModuleFileName(module, path, sizeof path);
        EXPECT_LE(mallinfo2().uordblks, in_use + 8192);  // room for what the C library keeps
        EXPECT_EQ(open_before, testing_child::OpenDescriptors());
#endif
        // Finding an export takes no use of the module.
        EXPECT_NE(nullptr, ZmdGetProcAddress(module, "ZmsPut"));
        EXPECT_EQ(module, ZmdLoadLibrary(path));
        // A refused free leaves the module its uses: still two frees.
        tbx::fault::arm(1, tbx::fault::kMachine);
        EXPECT_EQ(0, ZmdFreeLibrary(module));
        tbx::fault::arm(0);
        EXPECT_TRUE(ZmdFreeLibrary(module) && ZmdFreeLibrary(module));
        // With its last use gone the module is no longer loaded.
        if (!other) EXPECT_EQ(0u, ZmdGetModuleFileName(module, path, sizeof path));
#ifndef _WIN32
        if (other) dlclose(other);
#endif
    }
#ifndef _WIN32
    // One folder deeper the path is past the limit: the module has no name.
    fs::current_path(deep);
    fs::create_directory("t");
    fs::copy_file(deep_name, "t/" + deep_name, fs::copy_options::overwrite_existing);
    void* too_deep = ZmdLoadLibrary(("./t/" + deep_name).c_str());
    char path[16];
    EXPECT_NE(nullptr, too_deep);
    EXPECT_EQ(0u, ZmdGetModuleFileName(too_deep, path, sizeof path));
    EXPECT_NE(0, ZmdFreeLibrary(too_deep));
    fs::remove_all("t");
    fs::current_path(home);
    fs::remove_all(deep_top);
#endif
}

}  // namespace
