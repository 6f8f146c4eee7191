// Named mutexes of the POSIX stand-in as a hostile neighbour tries them:
// other users squatting or reaching for the names, odd files where the
// mutexes live, forked children, processes killed at any point, an owner's
// id given to a later process, and threads and processes contending.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tembrix.h"
#include "tests/child_process.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_child;

constexpr uint32_t kTaken = 0;
constexpr uint32_t kAbandoned = 0x80;
constexpr uint32_t kTimedOut = 0x102;
constexpr uint32_t kFailed = 0xFFFFFFFF;

// Names of this test process: other tests and builds running at the same
// time use other names.
std::string Name(const char* what) { return std::string(what) + "-" + std::to_string(getpid()); }

std::string Namespace(uid_t user) { return "/dev/shm/tembrix-" + std::to_string(user); }

// The file of the unprefixed mutex `name` of the calling user.
std::string FileOf(const std::string& name) { return Namespace(geteuid()) + "/l." + name; }

// True when another thread of this process finds `m` taken.
bool TakenElsewhere(void* m) {
    uint32_t r = kFailed;
    std::thread([&] { r = ZmdWaitForSingleObject(m, 0); }).join();
    return r == kTimedOut;
}

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 1000 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(path);
}

// A neighbour squats the namespace of a user who has not used one yet: each
// plant refuses that user's named mutexes at once, none hangs. Without a
// plant, users who name a mutex alike get a mutex each, and cannot reach
// another's.
TEST(HostileNeighbour, OtherUsersCanNeitherBlockNorShareNames) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
    const std::string victims = Namespace(kVictim);
    fs::remove_all(victims);
    auto victim_refused = [] {
        return ZmdCreateMutex(1, "AppLock") == nullptr && ZmdOpenMutex("AppLock") == nullptr &&
                       ZmdCloseHandle(ZmdCreateMutex(1, nullptr))
                   ? 0
                   : 1;
    };
    const std::pair<const char*, std::function<int()>> plants[] = {
        {"fifo", [&] { return mkfifo(victims.c_str(), 0666); }},
        {"link", [&] { return symlink("/tmp", victims.c_str()); }},
        {"directory", [&] { return mkdir(victims.c_str(), 0700); }},
        {"open directory", [&] { return mkdir(victims.c_str(), 0777) | chmod(victims.c_str(), 0777); }},
    };
    for (const auto& [what, plant] : plants) {
        SCOPED_TRACE(what);
        ASSERT_EQ(0, InChild(plant, kNeighbour));
        EXPECT_EQ(0, InChild(victim_refused, kVictim));
        fs::remove_all(victims);
    }

    Child holder = StartChild(
        [](int go) {
            void* m = ZmdCreateMutex(1, "AppLock");
            WaitForGo(go);
            return m ? 0 : 1;
        },
        kVictim);
    ASSERT_TRUE(WaitForFile(victims + "/l.AppLock"));
    const std::string file = victims + "/l.AppLock";
    // The neighbour's "AppLock" is its own, owned at once; the victim's
    // file is out of its reach.
    EXPECT_EQ(0, InChild(
                     [&] {
                         void* m = ZmdCreateMutex(1, "AppLock");
                         bool own = m && ZmdWaitForSingleObject(m, 0) == kTaken && TakenElsewhere(m);
                         bool out_of_reach = open(file.c_str(), O_RDONLY) < 0 && errno == EACCES;
                         return own && out_of_reach ? 0 : 1;
                     },
                     kNeighbour));
    void* root = ZmdCreateMutex(1, "AppLock");
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(root, 0));
    EXPECT_NE(0, ZmdCloseHandle(root));
    Go(holder);
    EXPECT_EQ(0, FinishChild(holder));
    fs::remove_all(victims);
    fs::remove_all(Namespace(kNeighbour));
}

// What the user's own processes may leave where the mutexes live -- a FIFO,
// a link, a short file, a file of another layout still held, a file held
// exclusively for ever -- makes that name fail at once, never hang. A
// leftover of a killed owner gives way to a new mutex.
TEST(HostileNeighbour, OddFilesFailAtOnceAndLeftoversGiveWay) {
    ASSERT_NE(0, ZmdCloseHandle(ZmdCreateMutex(0, Name("start").c_str())));
    auto plain = [](const std::string& path, size_t size) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        return fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 ? fd : -1;
    };
    const std::pair<const char*, std::function<int(const std::string&)>> plants[] = {
        {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0 ? 0 : -1; }},
        {"link", [](const std::string& p) { return symlink("/etc/passwd", p.c_str()) == 0 ? 0 : -1; }},
        {"short file", [&](const std::string& p) { return plain(p, 5); }},
        {"held, other layout", [&](const std::string& p) {
             int fd = plain(p, 32);
             return fd >= 0 && flock(fd, LOCK_SH) == 0 ? fd : -1;
         }},
        {"held exclusively", [&](const std::string& p) {
             int fd = plain(p, 32);
             return fd >= 0 && flock(fd, LOCK_EX) == 0 ? fd : -1;
         }},
    };
    for (const auto& [what, plant] : plants) {
        SCOPED_TRACE(what);
        const std::string name = Name("odd");
        // The plant's lock lives in a process of its own, as a neighbour's would.
        Child planter = StartChild([&](int go) {
            if (plant(FileOf(name)) < 0) return 1;
            WaitForGo(go);
            return 0;
        });
        ASSERT_TRUE(WaitForFile(FileOf(name)) || fs::is_symlink(FileOf(name)));
        EXPECT_EQ(0, InChild([&] {
            return ZmdCreateMutex(1, name.c_str()) == nullptr && ZmdOpenMutex(name.c_str()) == nullptr ? 0 : 1;
        }));
        Go(planter);
        EXPECT_EQ(0, FinishChild(planter));
        fs::remove(FileOf(name));
    }

    const std::string name = Name("leftover");
    Child owner = StartChild([&](int go) {
        void* m = ZmdCreateMutex(1, name.c_str());
        WaitForGo(go);
        return m ? 0 : 1;
    });
    ASSERT_TRUE(WaitForFile(FileOf(name)));
    kill(owner.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, FinishChild(owner));
    ASSERT_TRUE(fs::exists(FileOf(name)));  // nobody holds it now
    void* m = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));  // a new mutex, owned as asked
    EXPECT_TRUE(TakenElsewhere(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_FALSE(fs::exists(FileOf(name)));
}

// A forked child has none of its parent's mutex handles; whatever it opens
// and closes, and however it ends, the parent's mutex keeps its name and
// its owner.
TEST(HostileNeighbour, ForkedChildrenLeaveTheParentsMutexAlone) {
    const std::string name = Name("forked");
    void* m = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, m);
    auto sees_parents = [&] {
        void* mine = ZmdOpenMutex(name.c_str());
        void* again = ZmdCreateMutex(1, name.c_str());  // opens it: not owned
        return mine && again && ZmdWaitForSingleObject(mine, 0) == kTimedOut &&
               ZmdWaitForSingleObject(again, 0) == kTimedOut;
    };
    EXPECT_EQ(0, InChild([&] {
        bool gone = ZmdWaitForSingleObject(m, 0) == kFailed && ZmdReleaseMutex(m) == 0 &&
                    ZmdCloseHandle(m) == 0;
        if (!gone || !sees_parents()) return 1;
        exit(0);  // an ordinary exit, which closes its handles
    }));
    EXPECT_EQ(0, InChild([&] { return sees_parents() ? 0 : 1; }));  // ends by _exit
    EXPECT_EQ(0, InChild([&] { return sees_parents() ? 0 : 1; }));
    EXPECT_TRUE(fs::exists(FileOf(name)));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

// A process killed at a random point of making, taking, giving up and
// closing a mutex leaves nothing that changes what the next creator gets.
// A waiter killed while waiting leaves the mutex to the others.
TEST(HostileNeighbour, KilledAtAnyPointLeavesNothingBehind) {
    const std::string name = Name("killed");
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        Child busy = StartChild([&](int) {
            for (int i = 0;; ++i) {
                void* m = ZmdCreateMutex(i & 1, name.c_str());
                ZmdWaitForSingleObject(m, 10);
                ZmdReleaseMutex(m);
                ZmdCloseHandle(m);
            }
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
        kill(busy.pid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, FinishChild(busy));
        void* m = ZmdCreateMutex(1, name.c_str());
        ASSERT_NE(nullptr, m);
        EXPECT_TRUE(TakenElsewhere(m));
        EXPECT_NE(0, ZmdCloseHandle(m));
        EXPECT_FALSE(fs::exists(FileOf(name)));
    }

    void* m = ZmdCreateMutex(1, name.c_str());
    Child waiter = StartChild([&](int) {
        void* mine = ZmdOpenMutex(name.c_str());
        return mine ? static_cast<int>(ZmdWaitForSingleObject(mine, 0xFFFFFFFF)) : 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(waiter.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, FinishChild(waiter));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_EQ(0, InChild([&] {
        void* mine = ZmdOpenMutex(name.c_str());
        return mine && ZmdWaitForSingleObject(mine, 0) == kTaken ? 0 : 1;
    }));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

// An owner that ended is heard of as abandoned even when a later process
// has been given its id: in a PID namespace of its own, the test hands the
// ended owner's id to a new process that lives on while the wait runs.
TEST(HostileNeighbour, EndedOwnerIsAbandonedAfterItsIdIsReused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace of its own";
    enum { kNoNamespace = 77, kNoReuse = 78 };
    int result = InChild([] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return int{kNoNamespace};
        pid_t init = fork();
        if (init == 0) {
            // The namespace's first process: /proc of its own, then the test.
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, nullptr) != 0)
                _exit(kNoNamespace);
            void* m = ZmdCreateMutex(0, "Reused");
            pid_t owner = fork();
            if (owner == 0) {
                void* mine = ZmdOpenMutex("Reused");
                _exit(mine && ZmdWaitForSingleObject(mine, 0) == kTaken ? 0 : 1);
            }
            int status = 0;
            waitpid(owner, &status, 0);
            if (!m || status != 0) _exit(1);
            // The next process gets the ended owner's id, a clock tick later.
            FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
            if (!last || std::fprintf(last, "%d", owner - 1) < 0 || std::fclose(last) != 0)
                _exit(kNoReuse);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pid_t successor = fork();
            if (successor == 0) {
                pause();
                _exit(0);
            }
            uint32_t r = successor == owner ? ZmdWaitForSingleObject(m, 2000) : kFailed;
            kill(successor, SIGKILL);
            waitpid(successor, &status, 0);
            _exit(successor != owner ? kNoReuse : r == kAbandoned ? 0 : r == kTimedOut ? 2 : 3);
        }
        int status = 0;
        if (init < 0 || waitpid(init, &status, 0) != init) return int{kNoNamespace};
        return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
    });
    if (result == kNoNamespace) GTEST_SKIP() << "no PID namespace of its own can be made here";
    if (result == kNoReuse) GTEST_SKIP() << "the PID namespace would not hand out the id again";
    EXPECT_EQ(0, result) << "2: timed out, the ended owner was taken for alive";
}

// Two threads in each of two processes take turns: never two inside at
// once, and no turn lost. A handle closed while another thread waits on it
// serves that wait to its end.
TEST(HostileNeighbour, ThreadsAndProcessesContend) {
    const std::string name = Name("contended");
    struct Shared {
        std::atomic<int> inside;
        std::atomic<int> overlaps;
        volatile long total;
    };
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(shared));
    constexpr int kTurns = 2000;
    auto contend = [&] {
        void* m = ZmdOpenMutex(name.c_str());
        auto turns = [&] {
            for (int i = 0; i < kTurns; ++i) {
                if (ZmdWaitForSingleObject(m, 0xFFFFFFFF) != kTaken) return;
                if (shared->inside.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
                shared->total = shared->total + 1;
                shared->inside.fetch_sub(1);
                ZmdReleaseMutex(m);
            }
        };
        std::thread other(turns);
        turns();
        other.join();
        return ZmdCloseHandle(m) ? 0 : 1;
    };
    void* m = ZmdCreateMutex(0, name.c_str());
    ASSERT_NE(nullptr, m);
    Child child = StartChild([&](int) { return contend(); });
    EXPECT_EQ(0, contend());
    EXPECT_EQ(0, FinishChild(child));
    EXPECT_EQ(0, shared->overlaps.load());
    EXPECT_EQ(4 * kTurns, shared->total);
    munmap(shared, sizeof(Shared));

    ASSERT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));
    void* second = ZmdOpenMutex(name.c_str());
    uint32_t waited = kFailed;
    std::thread waiter([&] { waited = ZmdWaitForSingleObject(second, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(0, ZmdCloseHandle(second));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    waiter.join();
    EXPECT_EQ(kTaken, waited);
    // That thread has ended holding it.
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 1000));
    EXPECT_NE(0, ZmdCloseHandle(m));
}

}  // namespace
