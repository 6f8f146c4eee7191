// Thread identities from the kernel's process table in /proc.
//
// A thread's status is read as /proc/<tid>/task/<tid>/stat, which names the
// thread whether or not it leads its process, for the calling thread too:
// the same file the waiters of another process read, so both sides see the
// same start time (a user-mode emulator answers for /proc/self and
// /proc/<pid>/stat itself, but passes this path on to the kernel).
#include "platform/posix_threads.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix_io.h"

namespace tbx::os::posix {
namespace {

constinit thread_local ThreadId t_self{};

enum class State { kRunning, kEnded, kUnknown };

struct Status {
    State state;
    uint64_t start = 0;  // 0 unless the line was read
};

// Reads the state and start time of thread `tid`.
Status read_status(uint32_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", tid, tid);
    int fd = open_at(AT_FDCWD, path, O_RDONLY);
    if (fd < 0) return {errno == ENOENT || errno == ESRCH ? State::kEnded : State::kUnknown};
    char line[1024] = {};  // whatever is read stays NUL-terminated
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0) return {State::kUnknown};
    // The fields after the command name, which is in parentheses and may
    // itself hold any character: the state is the third field of the line,
    // the start time the twenty-second.
    const char* p = std::strrchr(line, ')');
    if (!p || p[1] != ' ') return {State::kUnknown};
    char state = p[2];
    p += 2;
    for (int field = 3; field < 22 && p; ++field) {
        p = std::strchr(p, ' ');
        if (p) ++p;
    }
    if (!p) return {State::kUnknown};
    return {state == 'Z' || state == 'X' ? State::kEnded : State::kRunning, std::strtoull(p, nullptr, 10)};
}

// A forked child's thread is a new thread with another id.
void forget_self() { t_self = ThreadId{}; }

}  // namespace

ThreadId current_thread() {
    if (t_self.tid == 0) {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, forget_self); });
        auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
        t_self = ThreadId{tid, read_status(tid).start};
    }
    return t_self;
}

bool has_ended(const ThreadId& id) {
    Status status = read_status(id.tid);
    switch (status.state) {
        case State::kEnded: return true;
        case State::kRunning: return id.start != 0 && status.start != id.start;
        case State::kUnknown: return false;
    }
    return false;
}

}  // namespace tbx::os::posix
