// Opening and locking shared files without waiting.
#include "platform/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace tbx::os::posix {

int open_at(int dir, const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = openat(dir, path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// A lock that does not wait is never interrupted by a signal.
bool try_lock(int fd, int operation) { return flock(fd, operation | LOCK_NB) == 0; }

}  // namespace tbx::os::posix
