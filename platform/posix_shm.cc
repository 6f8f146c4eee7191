// Named shared objects of the stand-in (Linux).
//
// The namespace. Each effective user has one directory, /dev/shm/tembrix-
// <uid>, made on first use with mode 0700 and checked on every use: a
// directory, not a link to one, owned by that user and closed to everybody
// else. If another user made it first, every named object of the user
// fails, at once. Since nobody else can enter it, nobody else can plant,
// lock, truncate or remove the files inside; they are still opened relative
// to it, with O_NOFOLLOW and O_NONBLOCK, and checked (a regular file of the
// user's, of the object's exact size) before they are mapped.
//
// Lifetime. Every hold keeps an open file description of its own with a
// shared flock on it. The kernel lets go of a process's locks when it ends,
// however it ends; so a file that nobody holds a lock on is a leftover of
// processes that ended, and whoever opens it next takes the exclusive lock,
// removes the name and makes the object anew: a leftover never changes
// what the next user of its name gets. A hold ends by trying the exclusive
// lock: whoever gets it held the last lock of all, and removes the name. A
// name is removed only by a process that holds the exclusive lock of the
// file it names, so a live object never loses its name. Leftovers of names
// that nobody opens again go in a sweep of the namespace, once per process.
//
// Creation. A new object's file is made without a name (O_TMPFILE), filled,
// locked, and only then linked under its name: nobody ever sees half an
// object, and a process killed while making one leaves nothing behind.
//
// Nothing waits. The exclusive lock is held only for the few system calls
// of ending a hold or removing a leftover; a process that meets it tries
// again a bounded number of times, then fails.
#include "platform/posix_shm.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix_io.h"

namespace tbx::os::posix {
namespace {

// How often and how long an open tries again while another process holds
// the exclusive lock: about a quarter of a second in all.
constexpr int kRounds = 40;
constexpr long kMaxPauseNs = 8'000'000;

void pause_for_round(int round) {
    long ns = 100'000L << (round < 7 ? round : 7);
    timespec ts = {0, ns < kMaxPauseNs ? ns : kMaxPauseNs};
    nanosleep(&ts, nullptr);
}

// Opens the namespace directory of `user`, making it first when `make` is
// set. Returns its descriptor and fills `*st`, or returns -1 when it cannot
// be had or is not that user's private directory.
int open_namespace(uid_t user, bool make, struct stat* st) {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/shm/tembrix-%u", static_cast<unsigned>(user));
    if (make) mkdir(path, 0700);  // whatever is there now is checked below
    int dir = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dir < 0) return -1;
    // Closed to group and others. A process of the user that made it a
    // moment ago under a umask that took its own bits away gives them back.
    if (fstat(dir, st) == 0 && S_ISDIR(st->st_mode) && st->st_uid == user &&
        (st->st_mode & 077) == 0 && ((st->st_mode & 0700) == 0700 || fchmod(dir, 0700) == 0))
        return dir;
    close(dir);
    return -1;
}

// Returns true when `fd` is a regular file of `user`'s of `size` bytes.
bool is_object_file(int fd, uid_t user, size_t size) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == user &&
           static_cast<size_t>(st.st_size) == size;
}

// Returns true when `name` in `dir` still names the open file `fd`.
bool still_named(int dir, const char* name, int fd) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && held.st_nlink > 0 &&
           fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Removes `name`, the name of `fd`, if `fd` can take the exclusive lock:
// then no process holds the file.
void remove_if_unheld(int dir, const char* name, int fd) {
    if (try_lock(fd, LOCK_EX) && still_named(dir, name, fd)) unlinkat(dir, name, 0);
}

// Removes the leftovers in `dir`: files of `user`'s that nobody holds.
void sweep(int dir, uid_t user) {
    int scan = open_at(dir, ".", O_RDONLY | O_DIRECTORY);
    DIR* listing = scan >= 0 ? fdopendir(scan) : nullptr;
    if (!listing) {
        if (scan >= 0) close(scan);
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;  // no object's name starts so
        int fd = open_at(dir, entry->d_name, O_RDONLY | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == user)
            remove_if_unheld(dir, entry->d_name, fd);
        close(fd);
    }
    closedir(listing);
}

void* map(int fd, size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// What one attempt at a name came to.
enum class Step { kDone, kAbsent, kAgain, kBusy, kFailed };

// A descriptor and, once mapped, its object's memory: given back when it
// goes out of scope, unless kept for a hold. One clean-up for every way an
// attempt ends, and for a hold's end.
struct Holding {
    int fd;
    size_t size;
    void* memory = nullptr;
    ~Holding() {
        if (memory) munmap(memory, size);
        close(fd);  // -1 once kept or never opened: that fails, harmlessly
    }
    Step keep(SharedObject* object) {
        object->fd = fd;
        object->memory = memory;
        fd = -1;
        memory = nullptr;
        return Step::kDone;
    }
};

// Takes a hold on the existing object `name`.
Step open_existing(int dir, const char* name, uid_t user, SharedObject* object) {
    Holding file{open_at(dir, name, O_RDWR | O_NOFOLLOW), object->size};
    if (file.fd < 0) return errno == ENOENT ? Step::kAbsent : Step::kFailed;
    // Not an object: nothing to take, nothing to remove.
    if (!is_object_file(file.fd, user, object->size)) return Step::kFailed;
    if (try_lock(file.fd, LOCK_EX)) {
        // Nobody holds it: a leftover. Gone, it makes room for a new object.
        if (still_named(dir, name, file.fd)) unlinkat(dir, name, 0);
        return Step::kAgain;
    }
    // Held shared by live holders, or exclusively by a process ending the
    // last hold or removing a leftover.
    if (!try_lock(file.fd, LOCK_SH)) return Step::kBusy;
    if (!still_named(dir, name, file.fd)) return Step::kAgain;  // its last holder removed it meanwhile
    file.memory = map(file.fd, object->size);
    return file.memory ? file.keep(object) : Step::kFailed;
}

// Makes the object `name`, filled and held before it has its name.
Step create(int dir, const char* name, void (*fill)(void*, void*), void* arg, SharedObject* object) {
    Holding file{open_at(dir, ".", O_TMPFILE | O_RDWR, 0600), object->size};
    if (file.fd < 0 || ftruncate(file.fd, static_cast<off_t>(object->size)) != 0 ||
        !try_lock(file.fd, LOCK_SH) || !(file.memory = map(file.fd, object->size)))
        return Step::kFailed;
    fill(file.memory, arg);
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.fd);
    if (linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0) return file.keep(object);
    return errno == EEXIST ? Step::kAgain : Step::kFailed;  // EEXIST: made by another process
}

}  // namespace

Found open_object(const char* name, size_t size, void (*fill)(void*, void*), void* arg,
                  SharedObject* object) {
    if (std::strlen(name) > kMaxObjectName) return Found::kFailed;
    const uid_t user = geteuid();
    struct stat dir_st;
    int dir = open_namespace(user, true, &dir_st);
    if (dir < 0) return Found::kFailed;
    static constinit std::atomic<bool> swept{false};
    if (!swept.exchange(true)) sweep(dir, user);

    *object = SharedObject{-1, nullptr, size, user, dir_st.st_dev, dir_st.st_ino, getpid(), {}};
    std::memcpy(object->name, name, std::strlen(name) + 1);
    Found found = Found::kFailed;
    for (int round = 0; round < kRounds; ++round) {
        Step step = open_existing(dir, name, user, object);
        if (step == Step::kDone) found = Found::kOpened;
        if (step == Step::kAbsent) {
            if (!fill) found = Found::kNone;
            else if ((step = create(dir, name, fill, arg, object)) == Step::kDone) found = Found::kCreated;
        }
        if (found != Found::kFailed || step == Step::kFailed) break;
        if (step == Step::kBusy) pause_for_round(round);
    }
    close(dir);
    return found;
}

void let_go(SharedObject* object) { flock(object->fd, LOCK_UN); }

void remove_if_last(SharedObject* object) {
    if (!try_lock(object->fd, LOCK_EX)) return;
    struct stat st;
    int dir = open_namespace(object->user, false, &st);
    if (dir < 0) return;
    if (st.st_dev == object->dir_device && st.st_ino == object->dir_inode &&
        still_named(dir, object->name, object->fd))
        unlinkat(dir, object->name, 0);
    close(dir);
}

void close_object(SharedObject* object) {
    remove_if_last(object);
    drop_inherited(object);
}

void drop_inherited(SharedObject* object) { Holding{object->fd, object->size, object->memory}; }

}  // namespace tbx::os::posix
