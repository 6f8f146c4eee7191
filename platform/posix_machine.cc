// POSIX stand-in for the module loader and the system and version
// information, on the dynamic linker (glibc) and sysconf.
//
// Modules. A module handle is the address where the module's image starts
// (its ELF header), as a Win32 module handle is its image base, so the same
// module loaded twice gives the same handle. Handles are checked by asking
// the dynamic linker which loaded object holds the address: a value that is
// not the start of one is rejected without being read. The main program is
// a module too (the one a null handle stands for). Kept from Win32: each
// LoadLibraryA counts one use that one FreeLibrary undoes; a failed load
// prints nothing; GetModuleFileNameA cuts a path that does not fit to
// size - 1 characters, terminates it and returns `size`; GetProcAddress
// finds only the module's own exports, not those of the modules it uses.
// A module's name is its full path, whatever directory is current: the
// path it was loaded by when that was absolute, else the path the kernel
// has for its file (links resolved), from /proc/self/maps, which qemu-user
// also answers for the program it runs.
// Not kept: the search order and the ".dll" default extension of a bare
// name (the dynamic linker's own search applies), and export ordinals (an
// ELF object has none: such a lookup gives null).
//
// System information and version give what the library reads of them, the
// rest zero: the processor as Win32 describes it to a process of the same
// width on the same processor (a 32-bit x86 process sees an Intel
// architecture and a Pentium (586), a 64-bit one the x64 architecture),
// and the NT platform.
#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_names.h"

namespace tbx::os {
namespace {

// Returns the image start of the loaded object that holds `address`, and
// its path in `*path`, or null when no loaded object holds it.
void* image_of(const void* address, const char** path) {
    Dl_info info;
    if (!dladdr(address, &info)) return nullptr;
    *path = info.dli_fname;
    return info.dli_fbase;
}

void* main_image() {
    const char* path;
    return image_of(reinterpret_cast<const void*>(getauxval(AT_PHDR)), &path);
}

// Writes to `out` the path of the file mapped at `image`, as the kernel
// lists it in /proc/self/maps. Returns false when no file mapping starts
// there or its path does not fit.
bool mapped_path(const void* image, char (&out)[posix::kMaxPath]) {
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return false;
    // A line: "start-end perms offset device inode    path", read whole
    // however long its path is.
    char* line = nullptr;
    size_t room = 0;
    ssize_t n;
    bool found = false;
    while (!found && (n = getline(&line, &room, maps)) != -1) {
        line[n - 1] = '\0';  // the kernel ends every line with a newline
        uintptr_t start = 0;
        // Cut short, the line leaves `path_at` at 0, where the address
        // starts: not a path.
        int path_at = 0;
        if (std::sscanf(line, "%" SCNxPTR "-%*x %*s %*s %*s %*s %n", &start, &path_at) < 1 ||
            start != reinterpret_cast<uintptr_t>(image) || line[path_at] != '/')
            continue;
        found = static_cast<size_t>(n - path_at) <= sizeof out;
        if (found) std::memcpy(out, line + path_at, static_cast<size_t>(n - path_at));
    }
    std::free(line);
    std::fclose(maps);
    return found;
}

// Returns the full path of `module` when it is the start of a loaded image,
// or null. Paths the dynamic linker does not hold whole are written to
// `own`: the main program's, which it knows only by the name it was started
// under, and that of a module loaded by a relative name.
const char* module_path(Handle module, char (&own)[posix::kMaxPath]) {
    const char* path = nullptr;
    if (module && image_of(module, &path) != module) return nullptr;
    if (module && module != main_image())
        return path[0] == '/' ? path : mapped_path(module, own) ? own : nullptr;
    ssize_t n = readlink("/proc/self/exe", own, sizeof own - 1);
    if (n <= 0) return nullptr;
    own[n] = '\0';
    return own;
}

// Opens one more use of `module` (null: the main program) for a symbol
// lookup or an unload. Returns the dynamic linker's handle, or null when
// `module` is not the start of a loaded image.
void* dl_handle(Handle module) {
    if (!module || module == main_image()) return dlopen(nullptr, RTLD_LAZY);
    const char* path = nullptr;
    if (image_of(module, &path) != module) return nullptr;
    return dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
}

}  // namespace

Handle LoadLibraryA(const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    // An empty name would be the main program to the dynamic linker; to
    // Win32 it is no module at all.
    if (!name || !*name) return nullptr;
    void* dl = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!dl) return nullptr;
    link_map* map = nullptr;
    const char* path;
    void* image = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) == 0 && map) image = image_of(map->l_ld, &path);
    // The use just counted stays with the caller until FreeLibrary.
    if (image)
        fault::count_handles(1);
    else
        dlclose(dl);
    return image;
}

int FreeLibrary(Handle module) {
    if (fault::hit(fault::kMachine)) return 0;
    // The main program is never unloaded; Win32 reports success.
    if (!module) return 0;
    if (module == main_image()) {
        fault::count_handles(-1);
        return 1;
    }
    void* dl = dl_handle(module);
    if (!dl) return 0;
    // Neither can fail: dl_handle's use keeps the handle valid for both.
    dlclose(dl);  // the use dl_handle opened
    dlclose(dl);
    fault::count_handles(-1);
    return 1;
}

uint32_t GetModuleFileNameA(Handle module, char* buffer, uint32_t size) {
    if (fault::hit(fault::kMachine)) return 0;
    char own[posix::kMaxPath];
    const char* path = module_path(module, own);
    if (!path || size == 0) return 0;
    size_t length = std::strlen(path);
    if (length < size) {
        std::memcpy(buffer, path, length + 1);
        return static_cast<uint32_t>(length);
    }
    std::memcpy(buffer, path, size - 1);
    buffer[size - 1] = '\0';
    return size;
}

void* GetProcAddress(Handle module, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    if (reinterpret_cast<uintptr_t>(name) >> 16 == 0) return nullptr;  // an ordinal
    void* dl = dl_handle(module);
    if (!dl) return nullptr;
    void* address = dlsym(dl, name);
    dlclose(dl);
    // dlsym also searches the modules this one uses; Win32 does not.
    const char* path;
    void* own_image = module ? module : main_image();
    if (!address || image_of(address, &path) != own_image) return nullptr;
    return address;
}

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void GetSystemInfo(SystemInfo* info) {
    *info = SystemInfo{};
#if defined(__x86_64__)
    info->processor_architecture = kProcessorArchitectureAmd64;
    info->processor_type = kProcessorAmdX8664;
#elif defined(__i386__)
    info->processor_architecture = kProcessorArchitectureIntel;
    info->processor_type = kProcessorIntelPentium;
#else
    info->processor_architecture = 0xFFFF;  // unknown to the platform
#endif
}

int GetVersionExA(VersionInfoA* info) {
    if (fault::hit(fault::kMachine)) return 0;
    // Only the plain record is known here; Win32 too refuses a size it
    // does not know.
    if (info->size != sizeof(VersionInfoA)) return 0;
    info->platform_id = kPlatformNt;
    return 1;
}

}  // namespace tbx::os
