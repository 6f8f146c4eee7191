// Named mutexes of the POSIX stand-in as a hostile neighbour tries them:
// other users squatting or reaching for the names, odd files where the
// mutexes live, forked children, processes killed at any point, an owner's
// id given to a later process, and threads and processes contending.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix_threads.h"
#include "tembrix.h"
#include "tests/child_process.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_child;

constexpr uint32_t kTaken = 0;
constexpr uint32_t kAbandoned = 0x80;
constexpr uint32_t kTimedOut = 0x102;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// A name of this test process alone.
std::string Name(const char* what) { return std::string(what) + "-" + std::to_string(getpid()); }


std::string Namespace(uid_t user) { return "/dev/shm/tembrix-" + std::to_string(user); }

// The file of the plain-named mutex `name` of the calling user.
std::string FileOf(const std::string& name) { return Namespace(geteuid()) + "/l." + name; }

// Whether the calling thread holds `m`: another thread does not get it.
bool OwnedHere(void* m) {
    uint32_t elsewhere = kTaken;
    if (m) std::thread([&] { elsewhere = ZmdWaitForSingleObject(m, 0); }).join();
    return m && elsewhere == kTimedOut;
}

// The start time of the calling thread as the kernel tells it: the 22nd
// field of its stat line, the 3rd being the one after the command's ")".
uint64_t KernelStart() {
    std::ifstream stat("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/stat");
    std::string line(std::istreambuf_iterator<char>(stat), {}), field;
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    for (int i = 3; i <= 22; ++i) fields >> field;
    return std::stoull(field);
}

// The deadline of a call that must fail at once.
constexpr unsigned kSoon = 10;

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 1000 && !fs::exists(fs::symlink_status(path)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(fs::symlink_status(path));
}

// Runs `check` while a child (as `uid`) holds what `plant` made at `path`.
void WithPlant(const std::string& path, const std::function<void()>& plant,
               const std::function<void()>& check, uid_t uid = kSameUser) {
    pid_t planter = StartChild([&] { plant(), pause(); return 0; }, uid, 120);
    ASSERT_TRUE(WaitForFile(path));
    check();
    FinishChild(planter, true);
}

// A neighbour squatting a user's namespace makes that user's named mutexes
// fail at once. Users who name a mutex alike get a mutex each.
TEST(HostileNeighbour, OtherUsersCanNeitherBlockNorShareNames) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
    const std::string victims = Namespace(kVictim);
    fs::remove_all(victims);
    for (const auto& plant : std::initializer_list<std::function<void()>>{
             [&] { mkfifo(victims.c_str(), 0666); }, [&] { symlink("/tmp", victims.c_str()); },
             [&] { mkdir(victims.c_str(), 0700); }}) {
        WithPlant(victims, plant, [] {
            EXPECT_EQ(0, InChild([] {
                const long descriptors = OpenDescriptors();  // none kept by a refusal
                return ZmdCreateMutex(1, "AppLock") || ZmdOpenMutex("AppLock") || OpenDescriptors() != descriptors;
            }, kVictim, kSoon));
        }, kNeighbour);
        fs::remove_all(victims);
    }
    // Made under a umask that takes the user's own bits away, the namespace
    // gets them back and serves.
    EXPECT_EQ(0, InChild([&] {
        struct stat st {};
        umask(0277);
        return !ZmdCloseHandle(ZmdCreateMutex(1, "AppLock")) || stat(victims.c_str(), &st) != 0 ||
               (st.st_mode & 07777) != 0700;
    }, kVictim));

    // Root is refused a namespace a neighbour owns, and its own once open
    // to others (in a /dev/shm of its own).
    EXPECT_EQ(0, InChild([]() -> int {
        const std::string mine = Namespace(0);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, nullptr) != 0)
            return 0;  // no mount namespace here: nothing to try
        const long descriptors = OpenDescriptors();  // none kept by a refusal
        return mkdir(mine.c_str(), 0700) || chown(mine.c_str(), kNeighbour, kNeighbour) ||
               ZmdCreateMutex(1, "AppLock") || chown(mine.c_str(), 0, 0) || chmod(mine.c_str(), 0777) ||
               ZmdCreateMutex(1, "AppLock") || OpenDescriptors() != descriptors;
    }));

    const std::string file = victims + "/l.AppLock";
    WithPlant(file, [] { ZmdCreateMutex(1, "AppLock"); }, [&] {
        EXPECT_EQ(0, InChild([&] {
            bool out_of_reach = open(file.c_str(), O_RDONLY) < 0 && errno == EACCES;
            return !out_of_reach || !OwnedHere(ZmdCreateMutex(1, "AppLock"));
        }, kNeighbour));
        void* root = ZmdCreateMutex(1, "AppLock");
        EXPECT_TRUE(OwnedHere(root));
        ZmdCloseHandle(root);
    }, kVictim);
    fs::remove_all(victims);
    fs::remove_all(Namespace(kNeighbour));
}

// Odd files where a mutex's file lives make that name fail at once, never
// hang; a killed owner's leftover gives way; a held mutex's file moved
// aside does not take the next one's name when it closes. (Bytes other
// than letters, digits, "_" and "-" are written %XX in the file's name.)
TEST(HostileNeighbour, OddFilesFailAtOnceAndLeftoversGiveWay) {
    const std::string name = Name("odd~\xC3\xA9"), file = FileOf(Name("odd%7E%C3%A9"));
    ASSERT_NE(0, ZmdCloseHandle(ZmdCreateMutex(0, name.c_str())));
    auto file_of_size = [&](off_t size, int lock) {
        int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
        (void)!ftruncate(fd, size);
        if (lock) flock(fd, lock);
        return fd;
    };
    for (const auto& plant : std::initializer_list<std::function<void()>>{
             [&] { mkfifo(file.c_str(), 0600); }, [&] { file_of_size(5, 0); },
             [&] { file_of_size(32, LOCK_SH); }, [&] { file_of_size(32, LOCK_EX); },
             [&] {  // a free mutex's bytes, but another user's file
                 int fd = file_of_size(32, LOCK_SH);
                 (void)!pwrite(fd, "TBM2", 4, 12);
                 (void)!fchown(fd, kNeighbour, kNeighbour);
             }}) {
        WithPlant(file, plant, [&] {
            EXPECT_EQ(0, InChild([&] {
                const long descriptors = OpenDescriptors();  // none kept by a refusal
                return ZmdCreateMutex(1, name.c_str()) || ZmdOpenMutex(name.c_str()) ||
                       OpenDescriptors() != descriptors;
            }, kSameUser, kSoon));
        });
        fs::remove(file);
    }

    // A leftover being removed (its exclusive lock held) gives way after.
    int removing = file_of_size(32, LOCK_EX);
    std::thread let_go([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(removing);
    });
    void* given = ZmdCreateMutex(1, name.c_str());
    let_go.join();
    EXPECT_TRUE(OwnedHere(given));
    EXPECT_NE(0, ZmdCloseHandle(given));

    WithPlant(file, [&] { ZmdCreateMutex(1, name.c_str()); }, [] {});  // killed holding it
    void* m = ZmdCreateMutex(1, name.c_str());
    EXPECT_TRUE(OwnedHere(m));
    const std::string aside = file + "-aside";
    fs::rename(file, aside);
    void* next = ZmdCreateMutex(1, name.c_str());
    EXPECT_TRUE(OwnedHere(next));
    EXPECT_NE(0, ZmdCloseHandle(m));
    void* again = ZmdOpenMutex(name.c_str());
    EXPECT_NE(nullptr, again);
    for (void* h : {next, again}) EXPECT_NE(0, ZmdCloseHandle(h));
    EXPECT_FALSE(fs::exists(file));
    fs::remove(aside);
}

// Takings stop at 0x7FFFFFFF: one more wait fails and changes nothing
// (the count is set through the mutex's file).
TEST(StandInMutex, TakingsStopAtTheLimit) {
    const std::string name = Name("limit");
    void* m = ZmdCreateMutex(1, name.c_str());
    int fd = open(FileOf(name).c_str(), O_RDWR);
    ASSERT_TRUE(m && fd >= 0);
    struct stat st {};
    EXPECT_TRUE(fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600);  // the user's alone
    uint32_t count = 0x7FFFFFFE, one = 1;
    ASSERT_EQ(4, pwrite(fd, &count, 4, 8));
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(m, 0));
    EXPECT_EQ(kInfinite, ZmdWaitForSingleObject(m, 0));  // WAIT_FAILED
    EXPECT_EQ(4, pread(fd, &count, 4, 8));
    EXPECT_EQ(0x7FFFFFFFu, count);
    ASSERT_EQ(4, pwrite(fd, &one, 4, 8));
    EXPECT_EQ(1, ZmdReleaseMutex(m));
    EXPECT_EQ(0, ZmdReleaseMutex(m));
    // A wait on a file handle keeps no hold of its own on the file.
    const long descriptors = OpenDescriptors();
    void* file = ZfdOpen(FileOf(name).c_str(), 0x80000000, 3);
    EXPECT_EQ(kTaken, ZmdWaitForSingleObject(file, 0));
    EXPECT_EQ(0, ZfdClose(file));
    EXPECT_EQ(descriptors, OpenDescriptors());
    close(fd);
    EXPECT_NE(0, ZmdCloseHandle(m));

    // A wait that looks at a live owning thread again and again, named
    // mutexes made and closed, and opens that find none keep no descriptor,
    // no mapping and no memory. The owner is known by its thread's start
    // time as the kernel tells it.
    void* held = ZmdCreateMutex(0, nullptr);
    std::atomic<bool> done{false}, known{false};
    std::thread owner([&] {
        known = KernelStart() == tbx::os::posix::current_thread().start;
        ZmdWaitForSingleObject(held, 0xFFFFFFFF);
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ZmdReleaseMutex(held);
    });
    while (ZmdWaitForSingleObject(held, 0) != kTimedOut) {
        ZmdReleaseMutex(held);
        std::this_thread::yield();
    }
    const std::string none = Name("none");
    const long open_before = OpenDescriptors(), mappings = Mappings();
    const size_t heap = HeapInUse();
    errno = EINTR;  // a caller's leftover: nothing was interrupted
    EXPECT_EQ(kTimedOut, ZmdWaitForSingleObject(held, 200));
    for (int i = 0; i < 20; ++i) {
        ZmdCloseHandle(ZmdCreateMutex(1, name.c_str()));
        EXPECT_FALSE(ZmdOpenMutex(none.c_str()) || ZmdCreateMutex(1, "bad\\name"));
    }
    EXPECT_EQ(open_before, OpenDescriptors());
    EXPECT_EQ(mappings, Mappings());
    EXPECT_LE(HeapInUse(), heap + 1024);
    EXPECT_TRUE(known);
    EXPECT_EQ(KernelStart(), tbx::os::posix::current_thread().start);
    done = true;
    owner.join();
    EXPECT_NE(0, ZmdCloseHandle(held));
}

// The handle table grows to 2^20 entries: that many handles open at once
// all work, and the next is refused.
TEST(StandInMutex, AMillionHandlesOpenAtOnce) {
    std::vector<void*> handles(1u << 20);
    size_t made = 0;
    for (void*& h : handles) made += (h = ZmdCreateMutex(1, nullptr)) != nullptr;
    EXPECT_EQ(handles.size(), made);
    EXPECT_EQ(nullptr, ZmdCreateMutex(1, nullptr));
    uintptr_t highest = 0;
    for (void* h : handles) highest = std::max(highest, reinterpret_cast<uintptr_t>(h));
    EXPECT_LT(highest, uintptr_t{1} << 31);  // small values, as Win32's
    EXPECT_EQ(1, ZmdReleaseMutex(handles.back()));
    size_t closed = 0;
    for (void* h : handles) closed += ZmdCloseHandle(h) != 0;
    EXPECT_EQ(handles.size(), closed);
}

// A handle closed while another thread waits on it: the wait goes on to
// its end, and the mutex, its name and its descriptor go with the wait's
// use of it, the last one.
TEST(StandInMutex, HandleClosedDuringAWaitLastsAsLongAsTheWait) {
    const std::string name = Name("closed");
    const long descriptors = OpenDescriptors();
    void* m = ZmdCreateMutex(0, name.c_str());
    std::atomic<int> step{0};
    std::thread owner([&] {  // ends holding it
        step = ZmdWaitForSingleObject(m, 0) == kTaken ? 1 : -1;
        while (step != 2) std::this_thread::yield();
    });
    while (step == 0) std::this_thread::yield();
    ASSERT_EQ(1, step.load());
    uint32_t waited = kTaken;
    std::thread waiter([&] { waited = ZmdWaitForSingleObject(m, kInfinite); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_TRUE(fs::exists(FileOf(name)));
    step = 2;
    owner.join();
    waiter.join();
    EXPECT_EQ(kAbandoned, waited);
    EXPECT_FALSE(fs::exists(FileOf(name)));
    EXPECT_EQ(descriptors, OpenDescriptors());
}

// A forked child has none of its parent's mutex handles, nor their
// descriptors; whatever it does, the parent's mutex keeps its name and its
// owner.
TEST(HostileNeighbour, ForkedChildrenLeaveTheParentsMutexAlone) {
    const std::string name = Name("forked");
    void* m = ZmdCreateMutex(1, name.c_str());
    ASSERT_NE(nullptr, m);
    auto finds_it_held = [&] {
        void* again = ZmdCreateMutex(1, name.c_str());  // opens it: not owned
        return again && ZmdWaitForSingleObject(again, 0) == kTimedOut && ZmdCloseHandle(again);
    };
    const long descriptors = OpenDescriptors();
    EXPECT_EQ(0, InChild([&] {
        bool none = OpenDescriptors() == descriptors - 1 && ZmdWaitForSingleObject(m, 0) == kInfinite &&
                    !ZmdReleaseMutex(m) && !ZmdCloseHandle(m);
        if (!none || !finds_it_held() || !ZmdOpenMutex(name.c_str())) return 1;
        exit(0);  // an ordinary exit, which closes the handle it opened
    }));
    EXPECT_EQ(0, InChild([&] { return finds_it_held() ? 0 : 1; }));
    // An ordinary exit closes named handles left open.
    const std::string alone = Name("alone");
    EXPECT_EQ(0, InChild([&]() -> int { exit(ZmdCreateMutex(0, alone.c_str()) ? 0 : 1); }));
    EXPECT_FALSE(fs::exists(FileOf(alone)));
    EXPECT_NE(0, ZmdReleaseMutex(m));
    EXPECT_NE(0, ZmdCloseHandle(m));
    EXPECT_EQ(nullptr, ZmdOpenMutex(name.c_str()));
}

// A process killed at any point leaves nothing that changes what the next
// creator gets; one that ends holding it leaves it abandoned, reaped or
// not. A process's first named object sweeps files nobody holds (this
// test's process is fresh), not held ones nor ones of no object.
TEST(HostileNeighbour, KilledAtAnyPointLeavesNothingBehind) {
    const std::string name = Name("killed"), left = Name("left"), held = Name("held"), fifo = Name("fifo");
    mkdir(Namespace(geteuid()).c_str(), 0700);
    ASSERT_EQ(0, mkfifo(FileOf(fifo).c_str(), 0600));
    WithPlant(FileOf(held), [&] { ZmdCreateMutex(0, held.c_str()); }, [&] {
        EXPECT_EQ(0, InChild([&] { return ZmdCreateMutex(0, left.c_str()) ? 0 : 1; }));  // not closed
        // The sweep and the open keep no descriptor but the handle's.
        const long descriptors = OpenDescriptors();
        void* first = ZmdCreateMutex(0, name.c_str());
        EXPECT_EQ(descriptors + 1, OpenDescriptors());
        EXPECT_FALSE(fs::exists(FileOf(left)));
        EXPECT_TRUE(fs::exists(FileOf(held)));
        EXPECT_TRUE(fs::exists(fs::symlink_status(FileOf(fifo))));
        EXPECT_NE(0, ZmdCloseHandle(first));
        EXPECT_EQ(descriptors, OpenDescriptors());
    });
    fs::remove(FileOf(held));
    fs::remove(FileOf(fifo));
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        pid_t busy = StartChild([&] {
            for (int i = 0;; ++i) {
                void* m = ZmdCreateMutex(i & 1, name.c_str());
                ZmdWaitForSingleObject(m, 10);
                ZmdReleaseMutex(m);
                ZmdCloseHandle(m);
            }
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
        EXPECT_EQ(128 + SIGKILL, FinishChild(busy, true));
        void* m = ZmdCreateMutex(1, name.c_str());
        EXPECT_TRUE(OwnedHere(m));
        EXPECT_NE(0, ZmdCloseHandle(m));
        EXPECT_FALSE(fs::exists(FileOf(name)));
    }

    // An owner whose process has ended but was not yet waited for has ended.
    void* m = ZmdCreateMutex(0, name.c_str());
    pid_t owner = StartChild([&] { return ZmdWaitForSingleObject(ZmdOpenMutex(name.c_str()), 0) == kTaken ? 0 : 1; });
    siginfo_t ended;
    ASSERT_EQ(0, waitid(P_PID, owner, &ended, WEXITED | WNOWAIT));
    EXPECT_EQ(kAbandoned, ZmdWaitForSingleObject(m, 1000));
    EXPECT_EQ(0, FinishChild(owner));
    EXPECT_NE(0, ZmdCloseHandle(m));

    // An owner whose state cannot be read (no descriptor left) is alive,
    // and so is one that could not read its own start time when it took.
    EXPECT_EQ(0, InChild([] {
        void* mutex = ZmdCreateMutex(0, nullptr);
        std::atomic<bool> go{false}, taken{false}, done{false};
        std::thread owner([&] {
            while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            taken = ZmdWaitForSingleObject(mutex, 0) == kTaken;
            while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        rlimit had{};
        getrlimit(RLIMIT_NOFILE, &had);
        rlimit none = {0, had.rlim_max};
        const bool limited = setrlimit(RLIMIT_NOFILE, &none) == 0;
        go = true;
        while (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        uint32_t unread = ZmdWaitForSingleObject(mutex, 50);
        setrlimit(RLIMIT_NOFILE, &had);
        uint32_t unknown_start = ZmdWaitForSingleObject(mutex, 50);
        done = true;
        owner.join();
        return !limited || (unread == kTimedOut && unknown_start == kTimedOut) ? 0 : 1;
    }));
}

// An ended owner is abandoned even once its id is given to a new process
// (in a PID namespace of the test's own).
TEST(HostileNeighbour, EndedOwnerIsAbandonedAfterItsIdIsReused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace of its own";
    enum { kNoNamespace = 77, kNoReuse = 78 };
    int result = InChild([] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return int{kNoNamespace};
        return InChild([] {  // the namespace's first process: /proc of its own
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, nullptr) != 0)
                return int{kNoNamespace};
            void* m = ZmdCreateMutex(0, "Reused");
            pid_t owner = fork();
            if (owner == 0) _exit(ZmdWaitForSingleObject(ZmdOpenMutex("Reused"), 0) == kTaken ? 0 : 1);
            int status = 1;
            waitpid(owner, &status, 0);
            // The next process gets the ended owner's id, a clock tick later.
            FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
            if (!m || status != 0 || !last || std::fprintf(last, "%d", owner - 1) < 0 || std::fclose(last) != 0)
                return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pid_t successor = StartChild([] { return pause(); });
            uint32_t r = successor == owner ? ZmdWaitForSingleObject(m, 2000) : kInfinite;
            FinishChild(successor, true);
            return successor != owner ? int{kNoReuse} : r == kAbandoned ? 0 : r == kTimedOut ? 2 : 3;
        });
    });
    if (result == kNoNamespace) GTEST_SKIP() << "no PID namespace of its own can be made here";
    if (result == kNoReuse) GTEST_SKIP() << "the PID namespace would not hand out the id again";
    EXPECT_EQ(0, result) << "2: timed out, the ended owner was taken for alive";
}

// Two threads in each of two processes: never two inside, no turn lost.
TEST(HostileNeighbour, ThreadsAndProcessesContend) {
    const std::string name = Name("contended");
    struct Shared {
        std::atomic<int> inside, overlaps;
        volatile long total;
    };
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(shared));
    constexpr int kTurns = 2000;
    auto contend = [&] {
        void* m = ZmdOpenMutex(name.c_str());
        auto turns = [&] {
            for (int i = 0; i < kTurns && ZmdWaitForSingleObject(m, kInfinite) == kTaken; ++i) {
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
    pid_t child = StartChild(contend);
    EXPECT_EQ(0, contend());
    EXPECT_EQ(0, FinishChild(child));
    EXPECT_EQ(0, shared->overlaps.load());
    EXPECT_EQ(4 * kTurns, shared->total);
    EXPECT_NE(0, ZmdCloseHandle(m));
    munmap(shared, sizeof(Shared));
}

}  // namespace
