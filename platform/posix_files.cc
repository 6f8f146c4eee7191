// POSIX stand-in for Win32 file handles: CreateFileA with Win32's access
// and share checks among the files open through it, ReadFile and WriteFile.
//
// A file handle is an entry in the one handle space (posix_handles.h), so
// CloseHandle closes it like any other handle, and a read or write in
// progress keeps its file open until it ends, whoever closes the handle.
//
// What opens: regular files, and the null device under Win32's names for
// it. A FIFO, socket or device file at the name is not a file to Win32 and
// is refused, and nothing here waits for another process: opens do not
// block (a FIFO without a writer, a lease), and reads of a regular file stop
// short only at its end.
//
// Access. The generic rights map onto read and write; MAXIMUM_ALLOWED
// gets read and write where both may be had, else read alone. A file whose
// mode has no write bit carries the read-only attribute in a search, and,
// as Win32 refuses to write a read-only file to everybody, administrators
// included, an open that asks to write it is refused even for root.
//
// Sharing is decided as Win32 decides it for one file (same device and
// inode, whatever the name): an open fails when it asks for access that an
// open handle does not share, or refuses to share access that an open
// handle has. Handles that read, write or delete nothing take no part, and
// neither does the null device. The check covers this process's handles
// only; descriptors opened elsewhere, here or in other processes, are not
// seen. A forked child inherits the file handles, as a Unix child inherits
// descriptors: both then share each file's position.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_handles.h"
#include "platform/posix_io.h"
#include "platform/posix_lock.h"
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
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kWriteRights = kWriteData | kAppendData;

// The access a handle takes part in sharing with, as share-mode bits.
uint32_t shared_access(uint32_t rights) {
    return ((rights & (kReadData | kExecute)) ? kShareRead : 0) |
           ((rights & kWriteRights) ? kShareWrite : 0) | ((rights & kDelete) ? kShareDelete : 0);
}

uint32_t specific_rights(uint32_t access) {
    uint32_t rights = access & 0x00FFFFFFu;  // specific and standard rights
    if (access & (kGenericRead | kGenericAll)) rights |= kReadData;
    if (access & (kGenericWrite | kGenericAll)) rights |= kWriteRights;
    if (access & (kGenericExecute | kGenericAll)) rights |= kExecute;
    if (access & kGenericAll) rights |= kDelete;
    return rights;
}

struct File : posix::Object {
    static constexpr posix::HandleType kType = posix::HandleType::kFile;
    int fd;
    dev_t device;
    ino_t inode;
    uint32_t rights;  // specific rights granted
    uint32_t share;
    bool shares;      // takes part in sharing: filed in the list below
    File* next;       // the list of open files
};

// The process's open files that take part in sharing.
struct OpenFiles {
    File* first = nullptr;

    // Returns true when `file` may be open beside every open handle of its
    // file; handles without access to its data take no part on either side.
    bool may_share(const File& file) const {
        uint32_t wants = shared_access(file.rights);
        if (wants == 0) return true;
        for (const File* other = first; other; other = other->next) {
            if (other->device != file.device || other->inode != file.inode) continue;
            uint32_t has = shared_access(other->rights);
            if (has != 0 && ((wants & ~other->share) != 0 || (has & ~file.share) != 0)) return false;
        }
        return true;
    }

    void add(File* file) {
        file->next = first;
        first = file;
    }

    void remove(File* file) {
        File** link = &first;
        while (*link != file) link = &(*link)->next;
        *link = file->next;
    }
};

using LockedOpenFiles = posix::Locked<OpenFiles>;

void destroy_file(posix::Object* object) {
    auto* file = static_cast<File*>(object);
    if (file->shares) LockedOpenFiles()->remove(file);
    close(file->fd);
    std::free(file);
}

// Gives `file` a handle and, unless it is the null device, files it among
// the open files. Returns null when it may not share its file with them or
// the handle table is full. The list's lock is never held together with
// the handle table's, so a fork can take both in any order.
Handle enter(File* file) {
    if (file->shares) {
        LockedOpenFiles files;
        if (!files->may_share(*file)) return nullptr;
        files->add(file);
    }
    Handle handle = posix::add_handle(file);
    if (!handle && file->shares) LockedOpenFiles()->remove(file);
    return handle;
}

int open_flags(uint32_t rights) {
    bool reads = rights & kReadData;
    bool writes = rights & kWriteRights;
    int flags = 0;
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

bool read_only(const struct stat& st) { return !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)); }

// Opens `path` for `rights`, or with MAXIMUM_ALLOWED (`maximum`) for the
// most of read and write it may have. Fills `*file` and returns true when
// a regular file was opened and may be written if writing was asked for.
// MAXIMUM_ALLOWED settles for reading where the file may not be written
// at all: no permission (EACCES), a read-only mount (EROFS), an immutable
// or append-only file (EPERM). A running program (ETXTBSY) is not such a
// file: Win32 grants the access and then refuses the open for the
// program's image, which shares no writing, and so does this.
bool open_regular(const char* path, uint32_t rights, bool maximum, File* file) {
    const uint32_t tries[2] = {rights | kReadData | kWriteRights, rights | kReadData};
    for (int i = 0; i < (maximum ? 2 : 1); ++i) {
        uint32_t granted = maximum ? tries[i] : rights;
        int fd = posix::open_at(AT_FDCWD, path, open_flags(granted));
        if (fd < 0) {
            if (maximum && (errno == EACCES || errno == EROFS || errno == EPERM)) continue;
            return false;
        }
        struct stat st;
        bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (regular && !((granted & kWriteRights) && read_only(st))) {
            file->fd = fd;
            file->device = st.st_dev;
            file->inode = st.st_ino;
            file->rights = granted;
            return true;
        }
        close(fd);
        if (!regular) return false;  // a directory, FIFO, socket or device
    }
    return false;
}

}  // namespace

// The library opens existing files only (OPEN_EXISTING is the one
// disposition it passes): nothing here creates or truncates a file.
Handle CreateFileA(const char* name, uint32_t access, uint32_t share, void*, uint32_t, uint32_t,
                   Handle) {
    // An injected failure stands for the allocation's.
    auto* file = fault::hit(fault::kFile) ? nullptr : static_cast<File*>(std::malloc(sizeof(File)));
    if (!file) return invalid_handle();
    *file = File{};
    file->type = File::kType;
    file->destroy = destroy_file;
    file->inherited = true;
    file->share = share;
    uint32_t rights = specific_rights(access);
    bool maximum = access & kMaximumAllowed;
    bool opened;
    if (posix::null_device_part(name)) {
        file->rights = maximum ? rights | kReadData | kWriteRights : rights;
        file->fd = posix::open_at(AT_FDCWD, "/dev/null", open_flags(file->rights));
        opened = file->fd >= 0;
    } else {
        char path[posix::kMaxPath];
        opened = posix::full_path(name, path) &&
                 open_regular(path, rights, maximum, file);
        file->shares = true;
    }
    if (opened) {
        if (Handle handle = enter(file)) return handle;
        close(file->fd);
    }
    std::free(file);
    return invalid_handle();
}

int ReadFile(Handle handle, void* buffer, uint32_t count, uint32_t* transferred, void*) {
    *transferred = 0;
    if (fault::hit(fault::kFile)) return 0;
    posix::Ref<File> file(handle);
    if (!file || !(file->rights & kReadData)) return 0;
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
    posix::Ref<File> file(handle);
    if (!file || !(file->rights & kWriteRights)) return 0;
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
