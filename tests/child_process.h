// Tests that cross a process boundary start this test program again to
// play the other process: main() hands the arguments after kChildFlag to
// ChildMain instead of running the tests.
#ifndef TEMBRIX_TESTS_CHILD_PROCESS_H_
#define TEMBRIX_TESTS_CHILD_PROCESS_H_

#include <cstdint>

namespace tbx_test {

inline constexpr char kChildFlag[] = "--tbx-child";

// A started copy of this program.
struct Child {
    intptr_t id = 0;  // process id, or process handle on Windows
};

// Starts this program again with `role` and `arg` (no spaces) as the
// child's part. Returns false when it could not be started.
bool StartChild(const char* role, const char* arg, Child* child);

// Waits for `child` to end. Returns its exit code, or -1.
int WaitChild(const Child& child);

// Starts `role` and waits for it: its exit code, or -1.
inline int RunChild(const char* role, const char* arg) {
    Child child;
    return StartChild(role, arg, &child) ? WaitChild(child) : -1;
}

// Plays the part `role` in a child. Defined by the test file whose tests
// start children. Returns the child's exit code: 0 when all went as the
// test expects.
int ChildMain(const char* role, const char* arg);

}  // namespace tbx_test

#endif  // TEMBRIX_TESTS_CHILD_PROCESS_H_
