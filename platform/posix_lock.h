// The stand-in's process-wide state behind locks: reached only while its
// lock is held, and never left locked in a forked child by a thread the
// child does not have.
#ifndef TEMBRIX_PLATFORM_POSIX_LOCK_H_
#define TEMBRIX_PLATFORM_POSIX_LOCK_H_

#include <pthread.h>

namespace tbx::os::posix {

// State of type T that a process's threads share, behind a lock of its
// own. The state is reached only through a Locked<T>, which holds the lock
// for its scope, so no code can touch it unlocked. The lock is taken before
// a fork and let go on both sides after it, so a child never starts with it
// held by a thread the child does not have; then `AfterFork`, if given,
// runs in the child with the lock free.
template <typename T, void (*AfterFork)() = nullptr>
class Locked {
public:
    Locked() {
        keep_across_fork();
        pthread_mutex_lock(&lock_);
    }
    ~Locked() { pthread_mutex_unlock(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    T* operator->() const { return &state_; }

private:
    static void keep_across_fork() {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, [] {
            pthread_atfork([] { pthread_mutex_lock(&lock_); }, [] { pthread_mutex_unlock(&lock_); },
                           [] {
                               pthread_mutex_unlock(&lock_);
                               if constexpr (AfterFork != nullptr) AfterFork();
                           });
        });
    }

    static inline pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    static inline constinit T state_{};
};

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_LOCK_H_
