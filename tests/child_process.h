// Test helper (POSIX): runs part of a test in a forked child, as this user
// or another, with a deadline, so a call that hangs fails the test; and
// counts what a process holds, so a test can see that nothing leaked.
#ifndef TEMBRIX_TESTS_CHILD_PROCESS_H_
#define TEMBRIX_TESTS_CHILD_PROCESS_H_

#include <malloc.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace testing_child {

// Unprivileged users the tests run parts as, when they run as root.
inline constexpr uid_t kNeighbour = 65534;  // nobody
inline constexpr uid_t kVictim = 65533;
inline constexpr uid_t kSameUser = static_cast<uid_t>(-1);

// Forks a child that runs `body` as `uid` (and group) and exits with its
// result, 100 when the uid cannot be taken, or dies of SIGALRM after
// `seconds`. Returns the child's pid.
inline pid_t StartChild(const std::function<int()>& body, uid_t uid = kSameUser, unsigned seconds = 30) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        if (uid != kSameUser && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(100);
        _exit(body());
    }
    return pid;
}

// Waits for `pid` (killed first if `kill_it`): its exit code, or 128 + signal.
inline int FinishChild(pid_t pid, bool kill_it = false) {
    if (kill_it) kill(pid, SIGKILL);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int InChild(const std::function<int()>& body, uid_t uid = kSameUser, unsigned seconds = 30) {
    return FinishChild(StartChild(body, uid, seconds));
}

// How many descriptors this process has open.
inline long OpenDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{});
}

// How many mappings this process has.
inline long Mappings() {
    std::ifstream maps("/proc/self/maps");
    return std::count(std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>(), '\n');
}

// How many bytes of the heap this process has in use (0 where the heap is
// not the C library's own, as under a sanitizer).
inline size_t HeapInUse() { return mallinfo2().uordblks; }

}  // namespace testing_child

#endif  // TEMBRIX_TESTS_CHILD_PROCESS_H_
