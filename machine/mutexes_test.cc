// Mutexes: ownership by a thread, taking again, time-outs, abandonment and
// names, within a process and across a process boundary.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

constexpr uint32_t kTaken = 0;
constexpr uint32_t kAbandoned = 0x80;
constexpr uint32_t kWaitPending = 0xFFFF;  // no result of a wait
constexpr uint32_t kTimedOut = 0x102;

// A name of this build of the tests, the same in a death test's child
// (on Windows that runs the test again from the start).
std::string UniqueName(const char* prefix) {
    char self[1024] = {};
    ZmdGetModuleFileName(nullptr, self, sizeof self - 1);
    return prefix + std::to_string(std::hash<std::string>{}(self));
}

TEST(Mutexes, OwnedByOneThreadTakenAgainAbandonedWhenItEnds) {
    void* m = ZmdCreateMutex(1, "");  // an empty name: unnamed
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));  // its owner takes it again
    EXPECT_EQ(1, ZmdReleaseMutex(m));  // success is TRUE itself, for callers that compare with it
    // Still taken once: another thread times out and may not release it.
    std::thread([m] {
        EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(m, 50));
        EXPECT_EQ(0, ZmdReleaseMutex(m));
    }).join();
    // A waiter wakes at the last release and ends holding it; the next
    // taker hears so and holds it once.
    std::thread waiter([m] { EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0xFFFFFFFF)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, ZmdReleaseMutex(m));
    waiter.join();
    EXPECT_EQ(0, ZmdReleaseMutex(m));
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 5000));
    for (int taking = 0; taking < 2; ++taking) EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));
    for (int taking = 0; taking < 3; ++taking) EXPECT_EQ(1, ZmdReleaseMutex(m)) << taking;
    EXPECT_EQ(0, ZmdReleaseMutex(m));
    // An owner that ends while another thread waits: no release wakes the
    // waiter, which hears of the end all the same, without a time-out.
    std::atomic<uint32_t> owner_took{kWaitPending};
    std::thread ending([&] {
        owner_took = ZmdWaitForSingleObject(m, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    while (owner_took == kWaitPending) std::this_thread::yield();
    EXPECT_EQ(kTaken, owner_took.load());
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 0xFFFFFFFF));
    ending.join();
    EXPECT_EQ(1, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

TEST(Mutexes, NamesOpenOneMutexUntilItsLastHandleCloses) {
    std::string name = UniqueName("tbx-names-");
    void* first = ZmdCreateMutex(0, name.c_str());
    // Creating an existing name opens it and ignores the initial owner;
    // "Local\" is the namespace of plain names.
    void* second = ZmdCreateMutex(1, name.c_str());
    void* local = ZmdOpenMutex(("Local\\" + name).c_str());
    ASSERT_TRUE(first && second && local);
    std::thread([first] {
        EXPECT_EQ(kTaken, ZmdWaitForSingleObject(first, 0));
        EXPECT_EQ(1, ZmdReleaseMutex(first));
    }).join();
    // Taken through one handle, the mutex is held through all of them.
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(second, 0));
    std::thread([local] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(local, 0)); }).join();
    EXPECT_EQ(1, ZmdReleaseMutex(local));
    // "Global\" is a namespace of its own; prefixes go only whole.
    EXPECT_EQ(nullptr, ZmdOpenMutex(("Global\\" + name).c_str()));
    EXPECT_EQ(nullptr, ZmdOpenMutex(("Local_" + name).c_str()));
    void* global = ZmdCreateMutex(1, ("Global\\" + name).c_str());
    ASSERT_NE(nullptr, global);
    EXPECT_EQ(nullptr, ZmdOpenMutex(("Global\\_" + name.substr(1)).c_str()));
    EXPECT_EQ(nullptr, ZmdOpenMutex(("Global_" + name).c_str()));
    // Made anew, so owned as asked.
    std::thread([global] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(global, 0)); }).join();
    EXPECT_NE(0, ZmdCloseHandle(global));
    // Names are case-sensitive, and a backslash elsewhere makes no name.
    EXPECT_EQ(nullptr, ZmdOpenMutex(UniqueName("TBX-NAMES-").c_str()));
    EXPECT_EQ(nullptr, ZmdCreateMutex(0, (name + "\\a").c_str()));
    EXPECT_EQ(nullptr, ZmdOpenMutex(""));
    EXPECT_EQ(nullptr, ZmdOpenMutex(nullptr));
    for (void* h : {first, second, local}) EXPECT_NE(0, ZmdCloseHandle(h));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
    // A closed handle (before Win32 can give its value to a new one), null
    // and a non-handle fail every call; validity is told by the value alone.
    int on_stack = 0;
    for (void* h : {first, static_cast<void*>(nullptr), static_cast<void*>(&on_stack)}) {
        EXPECT_EQ(0xFFFFFFFFu, ZmdWaitForSingleObject(h, 0));
        EXPECT_EQ(0, ZmdReleaseMutex(h));
        EXPECT_EQ(0, ZmdCloseHandle(h));
        EXPECT_EQ(h != nullptr, ZmdIsValidMutex(h));
    }
    EXPECT_EQ(0, on_stack);
    // 251 bytes are kept; the stand-in (file "l." + name, "~" as "%7E",
    // 255 bytes at most) refuses a byte more.
    std::string longest = name + "~" + std::string(250 - name.size(), 'x');
    void* at_limit = ZmdCreateMutex(0, longest.c_str());
    EXPECT_NE(nullptr, at_limit);
    EXPECT_NE(0, ZmdCloseHandle(at_limit));
#ifndef _WIN32
    EXPECT_EQ(nullptr, ZmdCreateMutex(0, (longest + "x").c_str()));
#endif

    // Threads that make one new name at once all get the one mutex.
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> ready{0};
        void* made[4] = {};
        std::thread racers[4];
        for (int i = 0; i < 4; ++i) {
            racers[i] = std::thread([&, i] {
                for (ready.fetch_add(1); ready.load() < 4;) {}
                made[i] = ZmdCreateMutex(0, name.c_str());
            });
        }
        for (std::thread& t : racers) t.join();
        for (void* h : made) ASSERT_NE(nullptr, h) << "round " << round;
        EXPECT_EQ(kTaken, ZmdWaitForSingleObject(made[0], 0));
        std::thread([&] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(made[3], 0)); }).join();
        EXPECT_NE(0, ZmdReleaseMutex(made[0]));
        for (void* h : made) EXPECT_NE(0, ZmdCloseHandle(h));
    }

}

// Handle values lose their low two bits; process and thread pseudo-handles
// are not signalled while they run; a file handle is.
TEST(Mutexes, HandleValuesReadAsWin32ReadsThem) {
    void* m = ZmdCreateMutex(0, nullptr);
    ASSERT_NE(nullptr, m);
    for (uintptr_t low = 1; low < 4; ++low) {
        void* alias = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(m) + low);
        EXPECT_EQ(kTaken, ZmdWaitForSingleObject(alias, 0));
        std::thread([m] { EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(m, 0)); }).join();
        EXPECT_EQ(1, ZmdReleaseMutex(alias));
    }
    EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(reinterpret_cast<void*>(~uintptr_t{0}), 20));
    EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(reinterpret_cast<void*>(~uintptr_t{1}), 0));
    EXPECT_NE(0, ZmdCloseHandle(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(m) + 3)));
    EXPECT_EQ(0, ZmdCloseHandle(m));
    // A file of synchronous I/O is always signalled.
    char self[1024] = {};
    ZmdGetModuleFileName(nullptr, self, sizeof self - 1);
    void* file = ZfdOpen(self, 0x80000000, 1);  // GENERIC_READ, FILE_SHARE_READ
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(file, 0));
    EXPECT_EQ(0, ZfdClose(file));
}

// A child takes the named mutex and ends holding it: abandoned here.
TEST(Mutexes, NamedAcrossProcessesAndAbandonedByOne) {
    std::string name = UniqueName("tbx-abandoned-");
    void* m = ZmdCreateMutex(0, name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EXIT(
        {
            void* mine = ZmdOpenMutex(name.c_str());
            std::_Exit(mine && ZmdWaitForSingleObject(mine, 0) == kTaken ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 5000));
    EXPECT_EQ(1, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

}  // namespace
