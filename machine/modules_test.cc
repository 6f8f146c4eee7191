// Modules: loading, naming, finding exports and unloading through the
// platform's loader, and the error mode around a load.
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <sys/stat.h>
#endif

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

// The library of this build, which sits beside the test programs.
#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr char kLibrary[] = "tembrix.dll";
#else
constexpr char kSeparator = '/';
constexpr char kLibrary[] = "libtembrix.so";
#endif

bool IsFullPath(const std::string& path) {
#ifdef _WIN32
    return path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           path[2] == '\\';
#else
    return path.size() > 1 && path[0] == '/';
#endif
}

// Returns the folder of the test program, from its own module name.
std::string ProgramFolder() {
    char program[1024];
    uint32_t length = ZmdGetModuleFileName(nullptr, program, sizeof program);
    std::string path(program, length < sizeof program ? length : 0);
    return path.substr(0, path.rfind(kSeparator));
}

// Changes the current directory for the life of the object.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : before_(std::filesystem::current_path(error_)) {
        std::filesystem::current_path(folder, error_);
    }
    ~InFolder() {
        std::error_code ignored;
        std::filesystem::current_path(before_, ignored);
    }
    bool entered() const { return !error_; }

private:
    std::error_code error_;
    std::filesystem::path before_;
};

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

// This tests a fault where a module loaded by a relative name was named by
// that name, which names another file, or none, once the current directory
// has changed.
TEST(Modules, RelativeNameGivesFullPath) {
    std::string folder = ProgramFolder();
    ASSERT_TRUE(IsFullPath(folder)) << folder;
    std::string expected = folder + kSeparator + kLibrary;
    void* module;
    char path[1024];
    uint32_t length;
    {
        InFolder in_program_folder(folder);
        ASSERT_TRUE(in_program_folder.entered()) << folder;
        module = ZmdLoadLibrary((std::string(".") + kSeparator + kLibrary).c_str());
        ASSERT_NE(nullptr, module);
        InFolder elsewhere(folder.substr(0, folder.rfind(kSeparator) + 1));
        ASSERT_TRUE(elsewhere.entered());
        length = ZmdGetModuleFileName(module, path, sizeof path);
    }
    ASSERT_TRUE(length > 0 && length < sizeof path) << length;
    EXPECT_TRUE(IsFullPath(path)) << path;
    EXPECT_EQ(expected, path);
    EXPECT_EQ(module, ZmdLoadLibrary(path));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    EXPECT_NE(0, ZmdFreeLibrary(module));
}

// A module that other code of the program loaded by a relative name, not
// through the library, is named by the full path of its file too.
TEST(Modules, LoadedElsewhereByRelativeName) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows' loader names every module by its full path itself";
#else
    std::string folder = ProgramFolder();
    void* dl;
    void* module = nullptr;
    char path[1024];
    uint32_t length = 0;
    {
        InFolder in_program_folder(folder);
        ASSERT_TRUE(in_program_folder.entered()) << folder;
        dl = dlopen((std::string("./") + kLibrary).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, dl) << dlerror();
        // The library's loader finds it loaded and counts one more use.
        module = ZmdLoadLibrary((std::string("./") + kLibrary).c_str());
        InFolder elsewhere("/");
        ASSERT_TRUE(elsewhere.entered());
        length = ZmdGetModuleFileName(module, path, sizeof path);
    }
    ASSERT_NE(nullptr, module);
    ASSERT_TRUE(length > 0 && length < sizeof path) << length;
    EXPECT_EQ('/', path[0]) << path;
    struct stat named, expected;
    ASSERT_EQ(0, stat(path, &named)) << path;
    ASSERT_EQ(0, stat((folder + "/" + kLibrary).c_str(), &expected));
    EXPECT_TRUE(named.st_dev == expected.st_dev && named.st_ino == expected.st_ino) << path;
    EXPECT_EQ(module, ZmdLoadLibrary(path));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    EXPECT_NE(0, ZmdFreeLibrary(module));
    dlclose(dl);
#endif
}

}  // namespace
