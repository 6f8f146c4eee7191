// Win32 backend of the file calls (KERNEL32) and the directory search of
// the C runtime (MSVCRT).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <io.h>
// The runtime's header renames the search calls after its time width; the
// seam keeps the plain names, and the calls below name their width.
#undef _findfirst
#undef _findnext

#include <cstddef>
#include <cstring>

#include "platform/fault.h"
#include "platform/platform.h"

namespace tbx::os {
namespace {

#ifdef _WIN64
// The 64-bit runtime's find data has 64-bit times and sizes, cut to the
// 32 bits the record keeps.
using RuntimeFindData = __finddata64_t;
intptr_t runtime_findfirst(const char* pattern, RuntimeFindData* d) { return ::_findfirst64(pattern, d); }
int runtime_findnext(intptr_t search, RuntimeFindData* d) { return ::_findnext64(search, d); }
#else
// The 32-bit runtime's find data is the record's six fields, field by field.
using RuntimeFindData = _finddata32_t;
static_assert(sizeof(RuntimeFindData) == sizeof(FindData) &&
              offsetof(RuntimeFindData, size) == offsetof(FindData, size) &&
              offsetof(RuntimeFindData, name) == offsetof(FindData, name));
intptr_t runtime_findfirst(const char* pattern, RuntimeFindData* d) { return ::_findfirst32(pattern, d); }
int runtime_findnext(intptr_t search, RuntimeFindData* d) { return ::_findnext32(search, d); }
#endif
static_assert(sizeof(RuntimeFindData::name) == sizeof(FindData::name));

void copy_find_data(const RuntimeFindData& from, FindData* to) {
    to->attrib = from.attrib;
    to->time_create = static_cast<int32_t>(from.time_create);
    to->time_access = static_cast<int32_t>(from.time_access);
    to->time_write = static_cast<int32_t>(from.time_write);
    to->size = static_cast<uint32_t>(from.size);
    std::memcpy(to->name, from.name, sizeof to->name);
}

}  // namespace

Handle CreateFileA(const char* name, uint32_t access, uint32_t share, void* security,
                   uint32_t disposition, uint32_t flags, Handle template_file) {
    if (fault::hit(fault::kFile)) return invalid_handle();
    Handle file = ::CreateFileA(name, access, share, static_cast<SECURITY_ATTRIBUTES*>(security),
                                disposition, flags, template_file);
    if (file != invalid_handle()) fault::count_handles(1);
    return file;
}

int ReadFile(Handle file, void* buffer, uint32_t count, uint32_t* transferred, void* overlapped) {
    *transferred = 0;
    if (fault::hit(fault::kFile)) return 0;
    DWORD done = 0;
    BOOL ok = ::ReadFile(file, buffer, count, &done, static_cast<OVERLAPPED*>(overlapped));
    *transferred = done;
    return ok ? 1 : 0;
}

int WriteFile(Handle file, const void* buffer, uint32_t count, uint32_t* transferred,
              void* overlapped) {
    *transferred = 0;
    if (fault::hit(fault::kFile)) return 0;
    DWORD done = 0;
    BOOL ok = ::WriteFile(file, buffer, count, &done, static_cast<OVERLAPPED*>(overlapped));
    *transferred = done;
    return ok ? 1 : 0;
}

intptr_t _findfirst(const char* pattern, FindData* data) {
    if (fault::hit(fault::kFile)) return -1;
    RuntimeFindData found;
    intptr_t search = runtime_findfirst(pattern, &found);
    if (search != -1) {
        copy_find_data(found, data);
        fault::count_handles(1);
    }
    return search;
}

int _findnext(intptr_t search, FindData* data) {
    if (fault::hit(fault::kFile)) return -1;
    RuntimeFindData found;
    int result = runtime_findnext(search, &found);
    if (result != -1) copy_find_data(found, data);
    return result;
}

int _findclose(intptr_t search) {
    if (fault::hit(fault::kFile)) return -1;
    int result = ::_findclose(search);
    if (result == 0) fault::count_handles(-1);
    return result;
}

}  // namespace tbx::os
