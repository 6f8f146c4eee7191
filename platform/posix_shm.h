// Named objects that the stand-in shares between the processes of one user:
// small files in a directory private to that user, made whole before any
// other process can see them, and removed with the last process's hold.
#ifndef TEMBRIX_PLATFORM_POSIX_SHM_H_
#define TEMBRIX_PLATFORM_POSIX_SHM_H_

#include <sys/types.h>

#include <cstddef>

namespace tbx::os::posix {

// The longest name an object's file may have.
inline constexpr size_t kMaxObjectName = 255;

// One process's hold on a named object: its file, open with a shared lock
// while the hold lasts, and its contents mapped.
struct SharedObject {
    int fd;
    void* memory;
    size_t size;
    uid_t user;         // whose namespace holds it
    dev_t dir_device;   // that namespace's directory, as it was opened
    ino_t dir_inode;
    pid_t holder;       // the process that took the hold
    char name[kMaxObjectName + 1];
};

enum class Found { kOpened, kCreated, kNone, kFailed };

// Opens the object `name` of `size` bytes in the calling user's namespace
// into `*object`. When there is none and `fill` is not null, makes it:
// `fill(memory, arg)` writes its first contents before any other process
// can open it. Returns kOpened or kCreated; kNone when there is no such
// object and none was to be made; kFailed when the namespace or the file is
// not what it must be (not the user's own, not a regular file of `size`
// bytes), when the name is too long, or when it stays locked by a process
// that is removing it: the call then gives up rather than wait.
Found open_object(const char* name, size_t size, void (*fill)(void* memory, void* arg), void* arg,
                  SharedObject* object);

// Ends the hold; the process that ends the last hold of all removes the
// name. `object`'s memory is unmapped.
void close_object(SharedObject* object);

// The two steps of ending the holds of a process that exits, with their
// memory left mapped for threads that still run: every hold is let go
// first, then each removes its name if it was the last, so that among the
// process's own holds of one object the last sees no other.
void let_go(SharedObject* object);
void remove_if_last(SharedObject* object);

// Ends a hold that a forked child inherited: the child's copies go, the
// parent's hold stays as it was.
void drop_inherited(SharedObject* object);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_SHM_H_
