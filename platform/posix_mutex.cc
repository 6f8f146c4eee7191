// POSIX stand-in for Win32 mutexes and waits (Linux): mutexes owned by a
// thread, taken again by their owner, waited for with a time-out, abandoned
// when their owner ends holding them, and shared by name between the
// processes of one user.
//
// The state. A mutex is one 64-bit word -- 0 when free, else the owning
// thread's id in the low half and its start time in the high half -- with
// the owner's count of takings beside it, in memory that every process
// using the mutex maps: a named object's file (posix_shm.h) for a named
// mutex, the handle's own memory for an unnamed one. The word's low half is
// a futex, so waiters sleep in the kernel and a release wakes one of them.
// Owner and start time change in one step, so a waiter never pairs one
// owner's id with another's start.
//
// Abandonment. A thread id and a start time name one thread for ever
// (posix_threads.h), also after the system has given the id to a later
// thread of any process. Waiters look at the owner when they start and
// every kCheckNs while they wait; the first to find it ended takes the
// mutex and hears kWaitAbandoned. (Robust futexes would tell the kernel's
// answer at once, but the user-mode emulator the 32-bit build runs under
// does not pass them on.) Nobody waiting, nobody looks: the next waiter
// finds out, as on Win32.
//
// Names. "Global\name" and "name" (or "Local\name") are two namespaces, as
// on Win32; the file of a mutex is "g." or "l." and the name, bytes outside
// [A-Za-z0-9_-] written as %XX, in the user's namespace. Any other backslash
// makes the name invalid; an empty name is an unnamed mutex (and opens
// nothing). The file is removed with the last handle of any process, or is
// taken for a leftover by the next process that opens the name once every
// process that used it has ended; at exit a process closes its named
// handles, as Win32 closes a process's handles when it ends.
//
// Kept from Win32: handles from one handle space with files (waiting on a
// file handle succeeds at once, as on a synchronous Win32 file); the
// current process and thread pseudo-handles are never signalled while they
// run; CreateMutexA of an existing name opens it and ignores the initial
// owner; ReleaseMutex by a thread that does not own the mutex fails; the
// count of takings is limited to 0x7FFFFFFF (a further wait fails); time-
// outs in milliseconds, kInfinite without limit; a handle closed by its
// owner leaves the mutex owned until the owner releases it or ends; a
// handle closed while another thread waits on it stays usable to that wait.
//
// Not kept: security attributes, access rights and inheritance (ignored);
// names whose file name would exceed 255 bytes (refused); "Global\" names
// are shared among the processes of one user only, like the others;
// processes in another PID namespace are not told apart. A forked child
// does not inherit mutex handles (Win32 makes these handles not
// inheritable): they are closed in the child, which leaves the parent's
// hold, ownership and names as they were.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_handles.h"
#include "platform/posix_lock.h"
#include "platform/posix_shm.h"
#include "platform/posix_threads.h"

namespace tbx::os {
namespace {

// ---- the shared state ----------------------------------------------------------

constexpr uint64_t kWaiters = 0x80000000;     // someone may sleep on the word
constexpr uint64_t kOwnerMask = 0x3FFFFFFF;   // thread ids are below 2^22
constexpr uint32_t kMaxCount = 0x7FFFFFFF;
constexpr uint32_t kMagic = 0x324D4254;       // "TBM2": this layout
constexpr int64_t kCheckNs = 20'000'000;      // how often a waiter looks at the owner

// What every process using a mutex maps. Fixed-width fields only, so 32-
// and 64-bit processes share it.
struct MutexState {
    std::atomic<uint64_t> word;   // 0 free, else owner's start << 32 | kWaiters | owner's id
    std::atomic<uint32_t> count;  // takings by the owner; owner only
    uint32_t magic;               // written before anyone else sees the state
    uint32_t reserved[4];
};
static_assert(sizeof(MutexState) == 32, "32- and 64-bit processes share the layout");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the word is shared memory");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the futex is the word's low half");

// The word that names thread `t` as the owner.
uint64_t owner_word(const posix::ThreadId& t) { return uint64_t{t.start} << 32 | t.tid; }

posix::ThreadId owner_of(uint64_t word) {
    return {static_cast<uint32_t>(word & kOwnerMask), static_cast<uint32_t>(word >> 32)};
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

uint32_t* futex_of(MutexState& m) { return reinterpret_cast<uint32_t*>(&m.word); }

// Sleeps while the word's low half holds `expected`, at most `ns`
// nanoseconds: never a second, as a waiter looks at the owner every
// kCheckNs. The futex call takes the kernel's original time record: two
// longs.
void futex_wait(MutexState& m, uint32_t expected, int64_t ns) {
    struct {
        long sec;
        long nsec;
    } timeout = {0, static_cast<long>(ns)};
    syscall(SYS_futex, futex_of(m), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void futex_wake_one(MutexState& m) {
    syscall(SYS_futex, futex_of(m), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Takes `m` for the calling thread, waiting at most `timeout_ms`.
uint32_t take(MutexState& m, uint32_t timeout_ms) {
    const uint64_t self = owner_word(posix::current_thread());
    const int64_t start = now_ns();
    const int64_t end = timeout_ms == kInfinite ? INT64_MAX : start + timeout_ms * 1'000'000ll;
    int64_t next_check = INT64_MIN;  // the first look is at once, however coarse the clock
    bool waited = false;
    for (;;) {
        uint64_t word = m.word.load(std::memory_order_acquire);
        if ((word & kOwnerMask) == 0) {
            // Once we have slept, others may sleep too: keep the mark.
            if (m.word.compare_exchange_weak(word, self | (waited ? kWaiters : 0),
                                             std::memory_order_acquire)) {
                m.count.store(1, std::memory_order_relaxed);
                return kWaitObject0;
            }
            continue;
        }
        if ((word & ~kWaiters) == self) {
            uint32_t count = m.count.load(std::memory_order_relaxed);
            if (count == kMaxCount) return kWaitFailed;
            m.count.store(count + 1, std::memory_order_relaxed);
            return kWaitObject0;
        }
        int64_t now = now_ns();
        if (now >= next_check) {
            next_check = now + kCheckNs;
            if (posix::has_ended(owner_of(word))) {
                if (m.word.compare_exchange_strong(word, self | (word & kWaiters),
                                                   std::memory_order_acquire)) {
                    m.count.store(1, std::memory_order_relaxed);
                    return kWaitAbandoned;
                }
                continue;
            }
        }
        if (now >= end) return kWaitTimeout;
        if ((word & kWaiters) == 0) {
            if (!m.word.compare_exchange_weak(word, word | kWaiters, std::memory_order_relaxed))
                continue;
            word |= kWaiters;
        }
        int64_t until = end < next_check ? end : next_check;
        futex_wait(m, static_cast<uint32_t>(word), until - now);
        waited = true;
    }
}

// Gives up one taking of `m` by the calling thread. Returns 0 when it does
// not own `m`.
int give(MutexState& m) {
    const uint64_t self = owner_word(posix::current_thread());
    if ((m.word.load(std::memory_order_relaxed) & ~kWaiters) != self) return 0;
    uint32_t count = m.count.load(std::memory_order_relaxed);
    m.count.store(count - 1, std::memory_order_relaxed);
    if (count > 1) return 1;
    if (m.word.exchange(0, std::memory_order_release) & kWaiters) futex_wake_one(m);
    return 1;
}

// Sets up a new mutex's state (zero), owned by the calling thread if `owned`.
void init_state(MutexState& m, bool owned) {
    if (owned) {
        m.word.store(owner_word(posix::current_thread()), std::memory_order_relaxed);
        m.count.store(1, std::memory_order_relaxed);
    }
    m.magic = kMagic;
}

// ---- handles -------------------------------------------------------------

// What a mutex handle stands for.
struct Mutex : posix::Object {
    static constexpr posix::HandleType kType = posix::HandleType::kMutex;
    MutexState* state = nullptr;  // `own`, or the named object's memory
    bool named = false;
    posix::SharedObject shared{};
    Mutex* prev = nullptr;  // the process's open named mutexes
    Mutex* next = nullptr;
    MutexState own{};
};

// The process's open named mutexes, which it closes at exit.
struct OpenMutexes {
    Mutex* first = nullptr;

    void add(Mutex* m) {
        m->next = first;
        if (first) first->prev = m;
        first = m;
    }

    void remove(Mutex* m) {
        if (m->prev) m->prev->next = m->next;
        else first = m->next;
        if (m->next) m->next->prev = m->prev;
    }
};

// A forked child has none: the handle table closes them in the child.
void forget_all();
using LockedOpenMutexes = posix::Locked<OpenMutexes, forget_all>;
void forget_all() { LockedOpenMutexes()->first = nullptr; }

void close_at_exit() {
    LockedOpenMutexes open;
    for (Mutex* m = open->first; m; m = m->next) posix::let_go(&m->shared);
    for (Mutex* m = open->first; m; m = m->next) posix::remove_if_last(&m->shared);
}

void remember(Mutex* m) {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { atexit(close_at_exit); });
    LockedOpenMutexes()->add(m);
}

void destroy_mutex(posix::Object* object) {
    auto* m = static_cast<Mutex*>(object);
    if (m->named) {
        if (m->shared.holder == getpid()) {
            LockedOpenMutexes()->remove(m);
            posix::close_object(&m->shared);
        } else {
            posix::drop_inherited(&m->shared);  // in a forked child
        }
    }
    delete m;
}

Mutex* new_mutex() {
    auto* m = new (std::nothrow) Mutex;
    if (!m) return nullptr;
    m->type = Mutex::kType;
    m->inherited = false;
    m->destroy = destroy_mutex;
    return m;
}

// Gives `m` a handle. On failure `m` is destroyed and null returned.
Handle publish(Mutex* m) {
    if (m->named) remember(m);
    Handle h = posix::add_handle(m);
    if (!h) destroy_mutex(m);
    return h;
}

// Writes to `file` the file name of the mutex `name`. Returns false for a
// name no mutex can have.
bool file_name_of(const char* name, char (&file)[posix::kMaxObjectName + 1]) {
    char space = 'l';
    if (std::strncmp(name, "Global\\", 7) == 0) {
        space = 'g';
        name += 7;
    } else if (std::strncmp(name, "Local\\", 6) == 0) {
        name += 6;
    }
    if (!*name) return false;
    size_t at = static_cast<size_t>(std::snprintf(file, sizeof file, "%c.", space));
    for (; *name; ++name) {
        unsigned char c = static_cast<unsigned char>(*name);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-';
        if (c == '\\') return false;
        // Each byte as written, cut short (the NUL always written) when it
        // and the NUL do not fit: then the name is too long.
        at += static_cast<size_t>(std::snprintf(file + at, sizeof file - at, plain ? "%c" : "%%%02X", c));
        if (at >= sizeof file) return false;
    }
    return true;
}

void fill_state(void* memory, void* owned) {
    init_state(*static_cast<MutexState*>(memory), *static_cast<bool*>(owned));
}

// Opens the named mutex `name` for `m`, making it (owned if `owned`) when
// `create` is set and there is none. Returns false when there is none or
// it cannot be had.
bool open_named(const char* name, bool create, bool owned, Mutex* m) {
    char file[posix::kMaxObjectName + 1];
    if (!file_name_of(name, file)) return false;
    posix::Found found = posix::open_object(file, sizeof(MutexState), create ? fill_state : nullptr,
                                            &owned, &m->shared);
    if (found != posix::Found::kOpened && found != posix::Found::kCreated) return false;
    m->named = true;
    m->state = static_cast<MutexState*>(m->shared.memory);
    if (m->state->magic == kMagic) return true;
    posix::close_object(&m->shared);  // a file of another layout
    m->named = false;
    return false;
}

// Opens the named mutex `name` for `m` as open_named does and gives `m` a
// handle. On failure `m` is deleted and null returned.
Handle publish_named(Mutex* m, const char* name, bool create, bool owned) {
    if (open_named(name, create, owned, m)) return publish(m);
    delete m;
    return nullptr;
}

// Waits on a pseudo-handle: its process or thread is running, so the wait
// times out -- or never returns, without a time-out, as on Win32.
uint32_t wait_for_self(uint32_t timeout_ms) {
    for (int64_t left = timeout_ms * 1'000'000ll; timeout_ms == kInfinite || left > 0;) {
        int64_t step = timeout_ms == kInfinite || left > 1'000'000'000 ? 1'000'000'000 : left;
        int64_t before = now_ns();
        timespec ts = {static_cast<time_t>(step / 1'000'000'000), static_cast<long>(step % 1'000'000'000)};
        nanosleep(&ts, nullptr);
        left -= now_ns() - before;
    }
    return kWaitTimeout;
}

}  // namespace

Handle CreateMutexA(void* /*security*/, int initial_owner, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    Mutex* m = new_mutex();
    if (!m) return nullptr;
    if (!name || !*name) {
        m->state = &m->own;
        init_state(m->own, initial_owner != 0);
        return publish(m);
    }
    return publish_named(m, name, true, initial_owner != 0);
}

Handle OpenMutexA(uint32_t /*access*/, int /*inherit*/, const char* name) {
    if (fault::hit(fault::kMachine)) return nullptr;
    if (!name || !*name) return nullptr;
    Mutex* m = new_mutex();
    if (!m) return nullptr;
    return publish_named(m, name, false, false);
}

int ReleaseMutex(Handle mutex) {
    if (fault::hit(fault::kMachine)) return 0;
    posix::Ref<Mutex> m(mutex);
    return m ? give(*m->state) : 0;
}

uint32_t WaitForSingleObject(Handle object, uint32_t timeout_ms) {
    if (fault::hit(fault::kMachine)) return kWaitFailed;
    if (posix::is_pseudo_handle(object)) return wait_for_self(timeout_ms);
    if (posix::Ref<Mutex> m(object); m) return take(*m->state, timeout_ms);
    // A file handle of synchronous I/O is always signalled.
    if (posix::Object* file = posix::acquire(object, posix::HandleType::kFile)) {
        posix::release(file);
        return kWaitObject0;
    }
    return kWaitFailed;
}

}  // namespace tbx::os
