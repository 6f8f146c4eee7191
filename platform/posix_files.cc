// POSIX stand-in for Win32 file handles: CreateFileA with Win32's access
// and share checks among the files open through it, ReadFile and WriteFile.
//
// A file handle is an entry in the one handle space (posix_handles.h), so
// CloseHandle closes it like any other handle. Sharing is decided as Win32
// decides it for one file (same device and inode, whatever the name): an
// open fails when it asks for access that an open handle does not share, or
// refuses to share access that an open handle has. Handles that read, write
// or delete nothing take no part. The check covers this process's handles
// only; descriptors opened elsewhere, here or in other processes, are not
// seen.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_handles.h"
#include "platform/posix_names.h"

namespace tbx::os {
namespace {

// Specific rights that the generic ones stand for, as far as sharing and
// transfers are concerned.
constexpr uint32_t kReadData = 0x0001;
constexpr uint32_t kWriteData = 0x0002;
constexpr uint32_t kAppendData = 0x0004;
constexpr uint32_t kExecute = 0x0020;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;

// The access a handle takes part in sharing with, as share-mode bits.
uint32_t shared_access(uint32_t rights) {
    return ((rights & (kReadData | kExecute)) ? kShareRead : 0) |
           ((rights & (kWriteData | kAppendData)) ? kShareWrite : 0) |
           ((rights & kDelete) ? kShareDelete : 0);
}

uint32_t specific_rights(uint32_t access) {
    uint32_t rights = access & 0x00FFFFFFu;  // specific and standard rights
    if (access & (kGenericRead | kGenericAll)) rights |= kReadData;
    if (access & (kGenericWrite | kGenericAll)) rights |= kWriteData | kAppendData;
    if (access & (kGenericExecute | kGenericAll)) rights |= kExecute;
    if (access & kGenericAll) rights |= kDelete;
    return rights;
}

struct File {
    int fd;
    dev_t device;
    ino_t inode;
    uint32_t rights;  // specific rights granted
    uint32_t share;
    File* next;       // the list of open files
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
File* g_open = nullptr;

struct Guard {
    Guard() { pthread_mutex_lock(&g_lock); }
    ~Guard() { pthread_mutex_unlock(&g_lock); }
};

// Returns true when `file` may be open beside every open handle of its
// file; handles without access to its data take no part on either side.
// The caller holds the lock.
bool shares_with_open_files(const File& file) {
    uint32_t wants = shared_access(file.rights);
    if (wants == 0) return true;
    for (const File* other = g_open; other; other = other->next) {
        if (other->device != file.device || other->inode != file.inode) continue;
        uint32_t has = shared_access(other->rights);
        if (has != 0 && ((wants & ~other->share) != 0 || (has & ~file.share) != 0)) return false;
    }
    return true;
}

bool close_file(void* object) {
    auto* file = static_cast<File*>(object);
    {
        Guard guard;
        File** link = &g_open;
        while (*link != file) link = &(*link)->next;
        *link = file->next;
    }
    bool closed = close(file->fd) == 0;
    std::free(file);
    return closed;
}

// Gives `file` a handle and files it among the open files. Returns null
// when it may not share its file with them or the handle table is full.
Handle enter(File* file) {
    Guard guard;
    if (!shares_with_open_files(*file)) return nullptr;
    Handle handle = posix::add_handle(posix::HandleType::kFile, file, close_file);
    if (handle) {
        file->next = g_open;
        g_open = file;
    }
    return handle;
}

int open_flags(uint32_t rights) {
    bool reads = rights & kReadData;
    bool writes = rights & (kWriteData | kAppendData);
    int flags = O_CLOEXEC | O_NOCTTY;
    if (writes && !(rights & kWriteData)) flags |= O_APPEND;
    if (reads && writes) return flags | O_RDWR;
    if (writes) return flags | O_WRONLY;
    if (reads) return flags | O_RDONLY;
#ifdef O_PATH
    return flags | O_PATH;  // no data access: needs no permission to read
#else
    return flags | O_RDONLY;
#endif
}

// Returns the open file of `handle` when it was granted one of `rights`.
File* file_for(Handle handle, uint32_t rights) {
    auto* file = static_cast<File*>(posix::object_of(handle, posix::HandleType::kFile));
    return file && (file->rights & rights) ? file : nullptr;
}

}  // namespace

Handle CreateFileA(const char* name, uint32_t access, uint32_t share, void*, uint32_t disposition,
                   uint32_t, Handle) {
    if (fault::hit(fault::kFile)) return invalid_handle();
    // The library opens existing files only; nothing here creates one.
    char path[posix::kMaxPath];
    if (disposition != kOpenExisting || !posix::full_path(name, path)) return invalid_handle();
    uint32_t rights = specific_rights(access);
    int fd;
    do {
        fd = open(path, open_flags(rights));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return invalid_handle();
    struct stat st;
    auto* file = static_cast<File*>(std::malloc(sizeof(File)));
    Handle handle = nullptr;
    // A directory is not a file to Win32 without backup semantics.
    if (file && fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
        *file = File{fd, st.st_dev, st.st_ino, rights, share, nullptr};
        handle = enter(file);
    }
    if (handle) return handle;
    close(fd);
    std::free(file);
    return invalid_handle();
}

int ReadFile(Handle handle, void* buffer, uint32_t count, uint32_t* transferred, void*) {
    *transferred = 0;
    if (fault::hit(fault::kFile)) return 0;
    File* file = file_for(handle, kReadData);
    if (!file) return 0;
    // Like a Win32 disk file, a read stops short only at the end of the file.
    auto* bytes = static_cast<char*>(buffer);
    while (*transferred < count) {
        ssize_t n = read(file->fd, bytes + *transferred, count - *transferred);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;
        *transferred += static_cast<uint32_t>(n);
    }
    return 1;
}

int WriteFile(Handle handle, const void* buffer, uint32_t count, uint32_t* transferred, void*) {
    *transferred = 0;
    if (fault::hit(fault::kFile)) return 0;
    File* file = file_for(handle, kWriteData | kAppendData);
    if (!file) return 0;
    auto* bytes = static_cast<const char*>(buffer);
    while (*transferred < count) {
        ssize_t n = write(file->fd, bytes + *transferred, count - *transferred);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        *transferred += static_cast<uint32_t>(n);
    }
    return 1;
}

}  // namespace tbx::os
