// The stand-in's process-wide locks: held for a scope, and never left held
// in a forked child by a thread the child does not have.
#ifndef TEMBRIX_PLATFORM_POSIX_LOCK_H_
#define TEMBRIX_PLATFORM_POSIX_LOCK_H_

#include <pthread.h>

namespace tbx::os::posix {

// Holds `lock` for the scope.
class Guard {
public:
    explicit Guard(pthread_mutex_t& lock) : lock_(lock) { pthread_mutex_lock(&lock_); }
    ~Guard() { pthread_mutex_unlock(&lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    pthread_mutex_t& lock_;
};

// Makes `Lock` safe across fork: it is taken before the fork and let go on
// both sides after it, so a child never starts with it held by a thread it
// does not have; then `AfterFork`, if given, runs in the child with the
// lock free. Only the first call acts.
template <pthread_mutex_t* Lock, void (*AfterFork)() = nullptr>
void keep_across_fork() {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        pthread_atfork([] { pthread_mutex_lock(Lock); }, [] { pthread_mutex_unlock(Lock); },
                       [] {
                           pthread_mutex_unlock(Lock);
                           if constexpr (AfterFork != nullptr) AfterFork();
                       });
    });
}

// Holds `Lock` for the scope, kept safe across fork as keep_across_fork()
// makes it. Every use of such a lock goes through this guard.
template <pthread_mutex_t* Lock, void (*AfterFork)() = nullptr>
class ForkSafeGuard : public Guard {
public:
    ForkSafeGuard() : Guard((keep_across_fork<Lock, AfterFork>(), *Lock)) {}
};

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_LOCK_H_
