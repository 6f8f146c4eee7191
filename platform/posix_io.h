// How the stand-in opens and locks files that other programs and users can
// also reach: nothing it does there ever waits for them.
#ifndef TEMBRIX_PLATFORM_POSIX_IO_H_
#define TEMBRIX_PLATFORM_POSIX_IO_H_

#include <sys/types.h>

namespace tbx::os::posix {

// Opens `path` relative to the directory `dir` (or AT_FDCWD) with `flags`
// plus O_CLOEXEC, O_NOCTTY and O_NONBLOCK, so that neither a FIFO, a device
// nor a lease held by another process can make the open wait. Retries an
// interrupted call and never returns descriptors 0 to 2, which a program
// that closed its standard streams would otherwise see its output reach.
// Returns the descriptor, or -1 with errno set.
int open_at(int dir, const char* path, int flags, mode_t mode = 0);

// Tries the flock operation `operation` (LOCK_SH or LOCK_EX) on `fd`
// without waiting. Returns true when it holds.
bool try_lock(int fd, int operation);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_IO_H_
