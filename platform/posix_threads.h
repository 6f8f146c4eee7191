// Threads as the stand-in's mutexes know their owners: by an id and a start
// time that together name one thread for ever, although the system gives
// an ended thread's id to later threads and processes.
#ifndef TEMBRIX_PLATFORM_POSIX_THREADS_H_
#define TEMBRIX_PLATFORM_POSIX_THREADS_H_

#include <cstdint>

namespace tbx::os::posix {

struct ThreadId {
    uint32_t tid;    // the system's thread id, unique among live threads
    uint64_t start;  // when the thread started, in clock ticks after boot; 0 if unknown
};

// Returns the calling thread's identity.
ThreadId current_thread();

// Returns true when the thread `id` has ended: no thread has its id now, the
// thread that has it started at another time (a later thread that was given
// the same id, in this process or any other), or it is the main thread of a
// process that ended and was not yet waited for. Returns false while it
// lives, and when that cannot be told.
bool has_ended(const ThreadId& id);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_THREADS_H_
