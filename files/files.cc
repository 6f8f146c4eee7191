// The Zfd family: files opened, read, written and closed with 16-bit
// counts, a directory search walked in the caller's FindRecord, and the
// error mode. Each operation is one platform call.
#include <cstddef>
#include <cstring>

#include "tembrix.h"
#include "platform/platform.h"

namespace tbx {
namespace {

// The record is the runtime's 32-bit find data behind the search handle,
// followed by a second copy of the name: 544 bytes on every target.
static_assert(sizeof(FindRecord) == 544);
static_assert(offsetof(FindRecord, attrib) == 4 && offsetof(FindRecord, size) == 20);
static_assert(offsetof(FindRecord, name) == 24 && offsetof(FindRecord, name_copy) == 284);
static_assert(sizeof(FindRecord::name) == sizeof(os::FindData::name));

// Copies `from` up to and including its NUL; a name that fills the whole
// array without one is cut to leave room for it.
void copy_name(char (&to)[260], const char (&from)[260]) {
    const void* nul = std::memchr(from, '\0', sizeof from - 1);
    size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - from) : sizeof from - 1;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Takes the match the platform found into the record.
int32_t take_match(FindRecord* record, const os::FindData& data) {
    record->attrib = data.attrib;
    record->time_create = data.time_create;
    record->time_access = data.time_access;
    record->time_write = data.time_write;
    record->size = data.size;
    copy_name(record->name, data.name);
    copy_name(record->name_copy, record->name);
    return 0;
}

}  // namespace
}  // namespace tbx

using namespace tbx;

extern "C" void* TBX_CALL ZfdOpen(const char* name, uint32_t access, uint32_t share) noexcept {
    return os::CreateFileA(name, access, share, nullptr, os::kOpenExisting, os::kAttributeNormal,
                           nullptr);
}

extern "C" int32_t TBX_CALL ZfdClose(void* file) noexcept { return os::CloseHandle(file) == 1 ? 0 : -1; }

// The platform's success flag adds nothing to the count: a failed transfer
// reports 0 bytes.
extern "C" uint16_t TBX_CALL ZfdRead(void* file, void* buffer, uint16_t count) noexcept {
    uint32_t done = 0;
    os::ReadFile(file, buffer, count, &done, nullptr);
    return static_cast<uint16_t>(done);
}

extern "C" uint16_t TBX_CALL ZfdWrite(void* file, const void* buffer, uint16_t count) noexcept {
    uint32_t done = 0;
    os::WriteFile(file, buffer, count, &done, nullptr);
    return static_cast<uint16_t>(done);
}

extern "C" int32_t TBX_CALL ZfdFindFirst(const char* pattern, uint32_t /*attributes*/,
                                         FindRecord* record) noexcept {
    os::FindData data;
    intptr_t search = os::_findfirst(pattern, &data);
    // A 64-bit runtime's handle that 32 bits cannot carry could never be
    // found again: end that search and report no match.
    if (search != static_cast<int32_t>(search)) {
        os::_findclose(search);
        search = -1;
    }
    record->handle = static_cast<int32_t>(search);
    return search == -1 ? -1 : take_match(record, data);
}

extern "C" int32_t TBX_CALL ZfdFindNext(FindRecord* record) noexcept {
    os::FindData data;
    if (os::_findnext(record->handle, &data) == -1) return -1;
    return take_match(record, data);
}

extern "C" int32_t TBX_CALL ZfdFindClose(FindRecord* record) noexcept {
    return os::_findclose(record->handle) == 0 ? 0 : -1;
}

extern "C" uint32_t TBX_CALL ZfdSetErrorMode(uint16_t mode) noexcept { return os::SetErrorMode(mode); }
