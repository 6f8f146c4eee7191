// Mutexes: ownership by a thread, taking again, time-outs, abandonment,
// names, and the same across a process boundary, where a copy of this
// program opens the mutex by name.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tembrix.h"
#include "tests/child_process.h"

namespace {

constexpr uint32_t kTaken = 0;
constexpr uint32_t kAbandoned = 0x80;
constexpr uint32_t kTimedOut = 0x102;
constexpr uint32_t kFailed = 0xFFFFFFFF;
constexpr uint32_t kForever = 0xFFFFFFFF;

// A mutex name no other test process uses at the same time.
std::string UniqueName(const char* what) {
    return "tbx-test-" + std::to_string(ZmdGetCurrentTask()) + "-" + what;
}

// Runs `body` on a thread of its own and waits for it to end.
template <typename Body>
void OnOtherThread(Body body) {
    std::thread(body).join();
}

TEST(Mutexes, OwnedByOneThreadAndTakenAgainByIt) {
    void* m = ZmdCreateMutex(1, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(1, ZmdIsValidMutex(m));
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));  // its owner takes it again
    OnOtherThread([m] {
        EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(m, 0));
        EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(m, 50));
        EXPECT_EQ(0, ZmdReleaseMutex(m));  // not the owner's to release
    });
    // Two takings, two releases; a third finds it no longer owned.
    EXPECT_NE(0, ZmdReleaseMutex(m));
    OnOtherThread([m] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(m, 0)); });
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_EQ(0, ZmdReleaseMutex(m));

    OnOtherThread([m] { EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, kForever)); });
    // The thread ended holding it: the next taker hears so, once.
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 5000));
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

TEST(Mutexes, WaiterWakesWhenTheOwnerReleases) {
    void* m = ZmdCreateMutex(1, nullptr);
    ASSERT_NE(nullptr, m);
    uint32_t result = kFailed;
    std::thread waiter([m, &result] {
        result = ZmdWaitForSingleObject(m, 10000);
        ZmdReleaseMutex(m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    waiter.join();
    EXPECT_EQ(kTaken, result);
    EXPECT_NE(0, ZmdCloseHandle(m));
}

TEST(Mutexes, NamesOpenTheSameMutex) {
    std::string name = UniqueName("names");
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
    void* first = ZmdCreateMutex(0, name.c_str());
    ASSERT_NE(nullptr, first);
    // Creating an existing name opens it; the initial owner is ignored, so
    // another thread still finds it free.
    void* second = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    OnOtherThread([first] {
        EXPECT_EQ(kTaken, ZmdWaitForSingleObject(first, 0));
        EXPECT_NE(0, ZmdReleaseMutex(first));
    });
    // Taken through one handle, owned through all of them.
    void* opened = ZmdOpenMutex(name.c_str());
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(second, 0));
    OnOtherThread([opened] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(opened, 0)); });
    EXPECT_NE(0, ZmdReleaseMutex(opened));

    // "Local\" is the namespace of plain names; names are case-sensitive.
    std::string local = "Local\\" + name;
    void* by_local = ZmdOpenMutex(local.c_str());
    EXPECT_NE(nullptr, by_local);
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(nullptr, ZmdOpenMutex(upper.c_str()));

    for (void* h : {first, second, opened, by_local})
        if (h) EXPECT_NE(0, ZmdCloseHandle(h));
    // Gone with its last handle.
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

TEST(Mutexes, BadNamesAndHandles) {
    EXPECT_EQ(nullptr, ZmdOpenMutex(nullptr));
    EXPECT_EQ(nullptr, ZmdOpenMutex(""));
    std::string nested = UniqueName("a\\b");
    EXPECT_EQ(nullptr, ZmdCreateMutex(0, nested.c_str()));
    // An empty name makes an unnamed mutex.
    void* unnamed = ZmdCreateMutex(0, "");
    ASSERT_NE(nullptr, unnamed);
    EXPECT_NE(0, ZmdCloseHandle(unnamed));

    // A closed handle, and values that never were handles, are refused.
    int on_stack = 0;
    for (void* h : {unnamed, static_cast<void*>(nullptr), static_cast<void*>(&on_stack)}) {
        EXPECT_EQ(kFailed, ZmdWaitForSingleObject(h, 0));
        EXPECT_EQ(0, ZmdReleaseMutex(h));
        EXPECT_EQ(0, ZmdCloseHandle(h));
    }
    // Files share the handle space: a file can be waited for (it is always
    // signalled) and closed here, but it is not a mutex to release.
    char program[512];
    ASSERT_LT(ZmdGetModuleFileName(nullptr, program, sizeof program), sizeof program);
    void* file = ZfdOpen(program, 0x80000000u, 1);
    ASSERT_NE(reinterpret_cast<void*>(-1), file);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(file, 0));
    EXPECT_EQ(0, ZmdReleaseMutex(file));
    EXPECT_NE(0, ZmdCloseHandle(file));
    EXPECT_EQ(-1, ZfdClose(file));
    // Validity is the value alone.
    EXPECT_EQ(0, ZmdIsValidMutex(nullptr));
    EXPECT_EQ(1, ZmdIsValidMutex(unnamed));
    EXPECT_EQ(1, ZmdIsValidMutex(&on_stack));
    EXPECT_EQ(0, on_stack);
}

// ---- across processes ----------------------------------------------------------

TEST(MutexesAcrossProcesses, TimeOutWhileHeldTakeAfterRelease) {
    std::string name = UniqueName("shared");
    void* m = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(0, tbx_test::RunChild("probe-held", name.c_str()));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_EQ(0, tbx_test::RunChild("take-release", name.c_str()));
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));

    // A child that waits while this process holds it gets it on release.
    tbx_test::Child child;
    ASSERT_TRUE(tbx_test::StartChild("take-release", name.c_str(), &child));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_EQ(0, tbx_test::WaitChild(child));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

TEST(MutexesAcrossProcesses, AbandonedWhenTheOwnerEnds) {
    std::string name = UniqueName("abandoned");
    void* m = ZmdCreateMutex(0, name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(0, tbx_test::RunChild("take-and-exit", name.c_str()));
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 5000));
    EXPECT_NE(0, ZmdReleaseMutex(m));

    // The owner ends while this process is already waiting. The child
    // takes the mutex first; until then this process finds it free.
    tbx_test::Child child;
    ASSERT_TRUE(tbx_test::StartChild("take-hold-and-die", name.c_str(), &child));
    uint32_t probe = kTaken;
    for (int tries = 0; tries < 6000 && (probe = ZmdWaitForSingleObject(m, 0)) == kTaken; ++tries) {
        ZmdReleaseMutex(m);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(kTimedOut, probe);
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 20000));
    EXPECT_EQ(0, tbx_test::WaitChild(child));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

// A mutex whose only user ended without closing it, normally or by dying,
// is gone with that process.
TEST(MutexesAcrossProcesses, GoneWhenItsLastUserEnds) {
    std::string name = UniqueName("left");
    EXPECT_EQ(0, tbx_test::RunChild("create-and-exit", name.c_str()));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
    EXPECT_EQ(0, tbx_test::RunChild("create-and-die", name.c_str()));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
    // The name is free for a new, unowned mutex.
    void* m = ZmdCreateMutex(0, name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

}  // namespace

// The child's parts. Each returns 0 when everything went as the parent's
// test expects, else the number of the step that did not.
int tbx_test::ChildMain(const char* role, const char* name) {
    bool dies = std::strcmp(role, "create-and-die") == 0;
    if (dies || std::strcmp(role, "create-and-exit") == 0) {
        if (!ZmdCreateMutex(1, name)) return 1;
        if (dies) std::_Exit(0);  // no clean-up of any kind
        return 0;
    }
    void* m = ZmdOpenMutex(name);
    if (!m) return 1;
    if (std::strcmp(role, "probe-held") == 0) {
        if (ZmdWaitForSingleObject(m, 0) != kTimedOut) return 2;
        if (ZmdWaitForSingleObject(m, 100) != kTimedOut) return 3;
        if (ZmdReleaseMutex(m) != 0) return 4;
    } else if (std::strcmp(role, "take-release") == 0) {
        if (ZmdWaitForSingleObject(m, 20000) != kTaken) return 2;
        if (ZmdWaitForSingleObject(m, 0) != kTaken) return 3;
        if (!ZmdReleaseMutex(m) || !ZmdReleaseMutex(m)) return 4;
        if (ZmdReleaseMutex(m)) return 5;
    } else if (std::strcmp(role, "take-and-exit") == 0) {
        return ZmdWaitForSingleObject(m, 20000) == kTaken ? 0 : 2;
    } else if (std::strcmp(role, "take-hold-and-die") == 0) {
        if (ZmdWaitForSingleObject(m, 20000) != kTaken) return 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::_Exit(0);
    } else {
        return 99;
    }
    return ZmdCloseHandle(m) ? 0 : 9;
}
