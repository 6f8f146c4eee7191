// Test helper (POSIX): runs a piece of a test in a forked child, as the
// same user or as another one, with a deadline, so a call that hangs fails
// the test instead of hanging it.
#ifndef TEMBRIX_TESTS_CHILD_PROCESS_H_
#define TEMBRIX_TESTS_CHILD_PROCESS_H_

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testing_child {

// Unprivileged users the tests run parts as, when they run as root.
inline constexpr uid_t kNeighbour = 65534;  // nobody
inline constexpr uid_t kVictim = 65533;

inline constexpr int kHung = 128 + SIGALRM;

// A child started by StartChild(): its pid, and a pipe to tell it to go on.
struct Child {
    pid_t pid = -1;
    int go = -1;  // write one byte: the child's Wait() returns
};

// Forks a child that runs `body` (as `uid` unless it is -1, with that uid's
// group too) and ends with its result; 100 when the uid cannot be taken.
// The child dies of SIGALRM after `seconds`.
inline Child StartChild(std::function<int(int go)> body, uid_t uid = static_cast<uid_t>(-1),
                   unsigned seconds = 30) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        close(fds[1]);
        if (uid != static_cast<uid_t>(-1) &&
            (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            _exit(100);
        _exit(body(fds[0]));
    }
    close(fds[0]);
    return {pid, fds[1]};
}

// In a child: waits until the parent says go (or ends).
inline void WaitForGo(int go) {
    char c;
    (void)read(go, &c, 1);
}

inline void Go(const Child& child) {
    char c = 1;
    (void)write(child.go, &c, 1);
}

// Waits for `child` to end. Returns its exit code, or 128 + the signal
// that ended it.
inline int FinishChild(const Child& child) {
    close(child.go);
    int status = 0;
    if (waitpid(child.pid, &status, 0) != child.pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `body` in a child to its end and returns its result as FinishChild() does.
inline int InChild(std::function<int()> body, uid_t uid = static_cast<uid_t>(-1), unsigned seconds = 30) {
    return FinishChild(StartChild([&](int) { return body(); }, uid, seconds));
}

}  // namespace testing_child

#endif  // TEMBRIX_TESTS_CHILD_PROCESS_H_
