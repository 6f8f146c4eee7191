// POSIX stand-in for Win32 mutexes and waits (Linux): mutexes owned by a
// thread, taken again by their owner, waited for with a time-out, abandoned
// when their owner ends holding them, and shared between processes by name.
//
// The state. A mutex is one 32-bit word -- 0 when free, else the owning
// thread's id -- with the owner's count of takings beside it, in memory
// that every process using the mutex maps: a file under /dev/shm for a
// named mutex, the handle's own memory for an unnamed one. The word is a
// futex, so waiters sleep in the kernel and a release wakes one of them.
//
// Ownership is per thread, by thread id; the owner's process id and a
// per-thread serial number tell an owner from an earlier thread that had
// the same id. An owner that has ended -- its id gone, or the main thread
// of a process that ended and was not yet waited for -- is found out by
// the waiters, who look at the owner every kCheckNs while they wait; the
// first to see it takes the mutex and hears kWaitAbandoned. (Robust futexes
// would tell the kernel's answer at once, but the user-mode emulator the
// 32-bit build runs under does not pass them on.)
//
// Names. A named mutex is the file /dev/shm/tembrix-mutex.<name>, bytes
// outside [A-Za-z0-9_-] written as %XX. Every handle holds the file open
// with a shared flock; whoever closes a handle and can then take an
// exclusive flock holds the last one and removes the file. A new mutex is
// made whole under a temporary name and then linked to its own, so nobody
// opens half a mutex. Files left when every process that used a mutex ended
// without closing it are removed at process exit (for handles still open),
// when the name is next opened, and, after a crash, by a sweep of leftovers
// whenever a new named mutex is made: a file no process holds a lock on is
// left over. Unlinking is only done holding the exclusive lock and after
// checking that the name still leads to the locked file, so a name never
// loses a live mutex.
//
// Kept from Win32: handles from one handle space with files (waiting on a
// file handle succeeds at once, as on a synchronous Win32 file); CreateMutexA
// of an existing name opens it and ignores the initial owner; names are
// case-sensitive, "Global\" and "Local\" prefixes name one namespace, any
// other backslash makes the name invalid, an empty name is an unnamed
// mutex (and opens nothing); ReleaseMutex by a thread that does not own the
// mutex fails; the count of takings is limited to 0x7FFFFFFF (a further wait
// fails); time-outs in milliseconds, kInfinite without limit; a handle
// closed by its owner leaves the mutex owned until the owner releases it
// or ends.
//
// Not kept: security attributes, access rights and inheritance (ignored);
// names whose file name would exceed 255 bytes (refused); processes in
// other PID namespaces or of other users (not seen: 0600 files); a forked
// child shares its parent's handles rather than copying them; an ended
// owner whose thread id has meanwhile gone to a new thread is seen as alive
// until that thread ends; closing a handle while another thread waits on it
// is undefined, as it is on Win32.
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_handles.h"

namespace tbx::os {
namespace {

// ---- the shared state ----------------------------------------------------------

constexpr uint32_t kWaiters = 0x80000000;   // someone may sleep on the word
constexpr uint32_t kOwnerMask = 0x3FFFFFFF;  // thread ids are below 2^22
constexpr uint32_t kMaxCount = 0x7FFFFFFF;
constexpr uint32_t kMagic = 0x314D4254;  // "TBM1": this layout
constexpr int64_t kCheckNs = 20'000'000;  // how often a waiter looks at the owner

// What every process using a mutex maps. Fixed-width fields only, so 32-
// and 64-bit processes share it. A zero `magic` marks a file being made.
struct MutexState {
    std::atomic<uint32_t> word;  // 0 free, else owner's thread id | kWaiters
    std::atomic<uint32_t> count;  // takings by the owner; owner only
    std::atomic<uint32_t> owner_pid;  // owner's process and serial: owner only
    std::atomic<uint32_t> owner_serial;
    std::atomic<uint32_t> magic;
    uint32_t reserved;
};
static_assert(sizeof(MutexState) == 24, "32- and 64-bit processes share the layout");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the word is a futex");

// The calling thread as an owner.
struct Thread {
    uint32_t tid;
    uint32_t pid;
    uint32_t serial;
};

constinit std::atomic<uint32_t> g_serials{0};
thread_local uint32_t t_serial = 0;

Thread current_thread() {
    if (t_serial == 0) t_serial = g_serials.fetch_add(1, std::memory_order_relaxed) + 1;
    return {static_cast<uint32_t>(syscall(SYS_gettid)), static_cast<uint32_t>(getpid()), t_serial};
}

bool owned_by(const MutexState& m, const Thread& t) {
    return (m.word.load(std::memory_order_acquire) & kOwnerMask) == t.tid &&
           m.owner_pid.load(std::memory_order_relaxed) == t.pid &&
           m.owner_serial.load(std::memory_order_relaxed) == t.serial;
}

// Records `t` as the owner of a word it has just set to its id.
void claim(MutexState& m, const Thread& t) {
    m.owner_pid.store(t.pid, std::memory_order_relaxed);
    m.owner_serial.store(t.serial, std::memory_order_relaxed);
    m.count.store(1, std::memory_order_relaxed);
}

// Returns false when thread `tid` has ended: no such thread, or the main
// thread of a process that has ended and not yet been waited for.
bool thread_alive(uint32_t tid) {
    if (syscall(SYS_tkill, tid, 0) != 0 && errno == ESRCH) return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", tid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;
    char line[512];
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0) return true;
    line[n] = '\0';
    // The state letter follows the command name, which is in parentheses
    // and may itself hold any character.
    const char* name_end = std::strrchr(line, ')');
    if (!name_end || name_end[1] != ' ') return true;
    return name_end[2] != 'Z' && name_end[2] != 'X';
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Sleeps while `word` holds `expected`, at most `ns` nanoseconds. The
// futex call takes the kernel's original time record: two longs.
void futex_wait(std::atomic<uint32_t>& word, uint32_t expected, int64_t ns) {
    struct {
        long sec;
        long nsec;
    } timeout = {static_cast<long>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected, &timeout,
            nullptr, 0);
}

void futex_wake_one(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Takes `m` for the calling thread, waiting at most `timeout_ms`.
uint32_t take(MutexState& m, uint32_t timeout_ms) {
    const Thread self = current_thread();
    const int64_t end = timeout_ms == kInfinite ? INT64_MAX : now_ns() + timeout_ms * 1'000'000ll;
    bool waited = false;
    for (;;) {
        uint32_t word = m.word.load(std::memory_order_acquire);
        uint32_t owner = word & kOwnerMask;
        if (owner == 0) {
            // Once we have slept, others may sleep too: keep the mark.
            if (m.word.compare_exchange_weak(word, self.tid | (waited ? kWaiters : 0),
                                             std::memory_order_acquire)) {
                claim(m, self);
                return kWaitObject0;
            }
            continue;
        }
        if (owned_by(m, self)) {
            uint32_t count = m.count.load(std::memory_order_relaxed);
            if (count == kMaxCount) return kWaitFailed;
            m.count.store(count + 1, std::memory_order_relaxed);
            return kWaitObject0;
        }
        // Our own id on a mutex we do not own: an ended thread had it.
        if (owner == self.tid || !thread_alive(owner)) {
            if (m.word.compare_exchange_strong(word, self.tid | (word & kWaiters),
                                               std::memory_order_acquire)) {
                claim(m, self);
                return kWaitAbandoned;
            }
            continue;
        }
        int64_t left = end == INT64_MAX ? kCheckNs : end - now_ns();
        if (left <= 0) return kWaitTimeout;
        if ((word & kWaiters) == 0) {
            if (!m.word.compare_exchange_weak(word, word | kWaiters, std::memory_order_relaxed))
                continue;
            word |= kWaiters;
        }
        futex_wait(m.word, word, left < kCheckNs ? left : kCheckNs);
        waited = true;
    }
}

// Gives up one taking of `m` by the calling thread. Returns 0 when it does
// not own `m`.
int give(MutexState& m) {
    if (!owned_by(m, current_thread())) return 0;
    uint32_t count = m.count.load(std::memory_order_relaxed);
    m.count.store(count - 1, std::memory_order_relaxed);
    if (count > 1) return 1;
    if (m.word.exchange(0, std::memory_order_release) & kWaiters) futex_wake_one(m.word);
    return 1;
}

// Sets up a new mutex's state, owned by the calling thread if `owned`.
void init_state(MutexState& m, bool owned) {
    if (owned) {
        Thread self = current_thread();
        m.word.store(self.tid, std::memory_order_relaxed);
        claim(m, self);
    }
    m.magic.store(kMagic, std::memory_order_release);
}

// ---- handles -------------------------------------------------------------

constexpr char kDir[] = "/dev/shm/";
constexpr char kPrefix[] = "tembrix-mutex";
constexpr size_t kPathMax = sizeof kDir + 255;

// What a mutex handle stands for.
struct Mutex {
    MutexState* state = nullptr;  // `own`, or the mapped file
    int fd = -1;                  // the file of a named mutex
    uint32_t pid = 0;             // the process that opened the file
    Mutex* prev = nullptr;        // open named mutexes of the process
    Mutex* next = nullptr;
    MutexState own{};
    char path[kPathMax] = {};
};

// ---- files of named mutexes ------------------------------------------------

// Writes the file of the mutex `name` to `path`. Returns false for a name
// no mutex can have.
bool path_of(const char* name, char (&path)[kPathMax]) {
    for (const char* space : {"Global\\", "Local\\"}) {
        size_t n = std::strlen(space);
        if (std::strncmp(name, space, n) == 0) {
            name += n;
            break;
        }
    }
    if (!*name) return false;
    size_t at = static_cast<size_t>(std::snprintf(path, kPathMax, "%s%s.", kDir, kPrefix));
    for (; *name; ++name) {
        unsigned char c = static_cast<unsigned char>(*name);
        if (c == '\\' || at + 4 > kPathMax) return false;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
            c == '-') {
            path[at++] = static_cast<char>(c);
        } else {
            at += static_cast<size_t>(std::snprintf(path + at, 4, "%%%02X", c));
        }
    }
    path[at] = '\0';
    return true;
}

int lock_file(int fd, int operation) {
    int r;
    while ((r = flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return r;
}

// Returns true when `path` still names the open file `fd`.
bool still_named(const char* path, int fd) {
    struct stat open_file, named;
    return fstat(fd, &open_file) == 0 && open_file.st_nlink > 0 && stat(path, &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Removes the name `path` of the file `fd` if `fd` holds the file's only
// lock, exclusive. Only such a holder may unlink a name.
void remove_if_last(const char* path, int fd) {
    if (lock_file(fd, LOCK_EX | LOCK_NB) == 0 && still_named(path, fd)) unlink(path);
}

MutexState* map_state(int fd) {
    void* p = mmap(nullptr, sizeof(MutexState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<MutexState*>(p);
}

enum class Opened { kYes, kNone, kFailed };

// Opens the file `path` of an existing mutex for `m` and holds a shared
// lock on it while the handle is open. A file no one holds a lock on was
// left by processes that all ended: it is removed and the mutex is gone.
Opened open_file(const char* path, Mutex* m) {
    for (;;) {
        int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return errno == ENOENT ? Opened::kNone : Opened::kFailed;
        if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {
            bool removed = !still_named(path, fd) || unlink(path) == 0;
            close(fd);
            if (!removed) return Opened::kFailed;
            continue;
        }
        struct stat st;
        if (lock_file(fd, LOCK_SH) != 0 || fstat(fd, &st) != 0) {
            close(fd);
            return Opened::kFailed;
        }
        if (!still_named(path, fd)) {  // its last holder removed it meanwhile
            close(fd);
            continue;
        }
        MutexState* state = st.st_size == sizeof(MutexState) ? map_state(fd) : nullptr;
        if (!state || state->magic.load(std::memory_order_acquire) != kMagic) {
            if (state) munmap(state, sizeof(MutexState));
            close(fd);
            return Opened::kFailed;  // not a file of ours
        }
        m->fd = fd;
        m->state = state;
        return Opened::kYes;
    }
}

// Makes the file of a new mutex named `path` for `m`: complete under a
// temporary name first, then linked to its own. Returns kNone when the name
// was taken meanwhile (or the half-made file swept away): open it instead.
Opened create_file(const char* path, bool owned, Mutex* m) {
    static constinit std::atomic<uint32_t> temporaries{0};
    char temp[kPathMax];
    std::snprintf(temp, sizeof temp, "%s%s-new.%d.%u", kDir, kPrefix, static_cast<int>(getpid()),
                  temporaries.fetch_add(1, std::memory_order_relaxed));
    int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Opened::kFailed;
    MutexState* state = nullptr;
    if (lock_file(fd, LOCK_SH) == 0 && ftruncate(fd, sizeof(MutexState)) == 0)
        state = map_state(fd);
    int linked = -1;
    int error = 0;
    if (state) {
        init_state(*state, owned);
        linked = link(temp, path);
        error = errno;
    }
    unlink(temp);
    if (linked == 0) {
        m->fd = fd;
        m->state = state;
        return Opened::kYes;
    }
    if (state) munmap(state, sizeof(MutexState));
    close(fd);
    return state && (error == EEXIST || error == ENOENT) ? Opened::kNone : Opened::kFailed;
}

// Removes the files that no process holds a lock on: mutexes whose every
// user ended without closing them, and creations that never finished.
void sweep_leftovers() {
    DIR* dir = opendir(kDir);
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0) continue;
        char path[kPathMax];
        if (std::snprintf(path, sizeof path, "%s%s", kDir, entry->d_name) >= int{kPathMax}) continue;
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        remove_if_last(path, fd);
        close(fd);
    }
    closedir(dir);
}

// ---- the process's open named mutexes ------------------------------------------
// At exit the process gives up its locks and removes the files it held last,
// as Win32 closes a process's handles when it ends.

pthread_mutex_t g_open_lock = PTHREAD_MUTEX_INITIALIZER;
Mutex* g_open = nullptr;
pthread_once_t g_exit_once = PTHREAD_ONCE_INIT;

void close_at_exit() {
    pthread_mutex_lock(&g_open_lock);
    // A forked child shares its parent's locks: only the opener lets go.
    uint32_t pid = static_cast<uint32_t>(getpid());
    for (Mutex* m = g_open; m; m = m->next)
        if (m->pid == pid) lock_file(m->fd, LOCK_UN);
    for (Mutex* m = g_open; m; m = m->next)
        if (m->pid == pid) remove_if_last(m->path, m->fd);
    pthread_mutex_unlock(&g_open_lock);
}

void register_exit() { atexit(close_at_exit); }

void remember(Mutex* m) {
    pthread_once(&g_exit_once, register_exit);
    pthread_mutex_lock(&g_open_lock);
    m->pid = static_cast<uint32_t>(getpid());
    m->next = g_open;
    if (g_open) g_open->prev = m;
    g_open = m;
    pthread_mutex_unlock(&g_open_lock);
}

void forget(Mutex* m) {
    pthread_mutex_lock(&g_open_lock);
    if (m->prev) m->prev->next = m->next;
    else g_open = m->next;
    if (m->next) m->next->prev = m->prev;
    pthread_mutex_unlock(&g_open_lock);
}

bool close_mutex(void* object) {
    auto* m = static_cast<Mutex*>(object);
    if (m->fd >= 0) {
        forget(m);
        munmap(m->state, sizeof(MutexState));
        remove_if_last(m->path, m->fd);
        close(m->fd);
    }
    delete m;
    return true;
}

// Gives `m` a handle. On failure `m` is closed and null returned.
Handle publish(Mutex* m) {
    if (m->fd >= 0) remember(m);
    Handle h = posix::add_handle(posix::HandleType::kMutex, m, close_mutex);
    if (!h) close_mutex(m);
    return h;
}

MutexState* state_of(Handle h) {
    auto* m = static_cast<Mutex*>(posix::object_of(h, posix::HandleType::kMutex));
    return m ? m->state : nullptr;
}

}  // namespace

Handle CreateMutexA(void* /*security*/, int initial_owner, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    auto* m = new (std::nothrow) Mutex;
    if (!m) return nullptr;
    if (!name || !*name) {
        m->state = &m->own;
        init_state(m->own, initial_owner != 0);
        return publish(m);
    }
    if (path_of(name, m->path)) {
        // Each round loses at most a race with a process that made or
        // removed the same name meanwhile.
        for (int round = 0; round < 100; ++round) {
            Opened r = open_file(m->path, m);
            if (r == Opened::kNone) {
                sweep_leftovers();
                r = create_file(m->path, initial_owner != 0, m);
            }
            if (r == Opened::kYes) return publish(m);
            if (r == Opened::kFailed) break;
        }
    }
    delete m;
    return nullptr;
}

Handle OpenMutexA(uint32_t /*access*/, int /*inherit*/, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    if (!name || !*name) return nullptr;
    auto* m = new (std::nothrow) Mutex;
    if (!m) return nullptr;
    if (path_of(name, m->path) && open_file(m->path, m) == Opened::kYes) return publish(m);
    delete m;
    return nullptr;
}

int ReleaseMutex(Handle mutex) {
    if (fault::hit(fault::kMachine)) return 0;
    MutexState* state = state_of(mutex);
    return state ? give(*state) : 0;
}

uint32_t WaitForSingleObject(Handle object, uint32_t timeout_ms) {
    if (fault::hit(fault::kMachine)) return kWaitFailed;
    if (MutexState* state = state_of(object)) return take(*state, timeout_ms);
    // A file handle of synchronous I/O is always signalled.
    if (posix::object_of(object, posix::HandleType::kFile)) return kWaitObject0;
    return kWaitFailed;
}

}  // namespace tbx::os
