// The C++ layer (tembrix.hpp) over the core with its counters: every case
// ends with as many of the store's memory objects and of the platform's
// handles as it began with, so an owner that forgot to give one back fails.
#include "tembrix.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/fault.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::set<std::string>;

// This build's library file, which sits beside the test programs.
#ifdef _WIN32
constexpr char kLibraryFile[] = "tembrix.dll";
#else
constexpr char kLibraryFile[] = "libtembrix.so";
#endif

fs::path Library() {
    char self[1024];
    return fs::path(std::string(self, ZmdGetModuleFileName(nullptr, self, sizeof self))).parent_path() /
           kLibraryFile;
}

#if defined(__cpp_lib_ranges)
static_assert(std::ranges::input_range<tembrix::search>, "a search is a range for <ranges> too");
#endif

// What an owner of a stored string or text does with its handle: a move
// leaves the source owning nothing and frees what the target owned, a copy
// has a handle of its own, a released handle is the caller's until adopted
// again. A rejected handle `bad` gives the store's 2, no size, no copy.
template <class Owner>
void ExpectHandsItsHandleOn(Owner source, Owner target, const std::string& held, StringHandle bad) {
    const StringHandle overwritten = target.get();
    Owner moved(std::move(source));
    EXPECT_FALSE(source);
    EXPECT_EQ(0u, source.get());
    target = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_EQ(held, target.str());
    EXPECT_EQ(0, ZmsLen(overwritten));
    Owner copy = target.dup();
    EXPECT_NE(copy.get(), target.get());
    const StringHandle released = copy.release();
    EXPECT_FALSE(copy);
    EXPECT_EQ(held, Owner::adopt(released).str());  // adopted, then freed
    EXPECT_EQ(0, ZmsLen(released));
    Owner rejected = Owner::adopt(bad);
    EXPECT_EQ(2, rejected.compare("x"));
    EXPECT_EQ(0u, rejected.size());
    EXPECT_EQ("", rejected.str());
    EXPECT_FALSE(rejected.dup());
    EXPECT_EQ(bad, rejected.release());
}

class CppLayer : public testing::Test {
protected:
    void SetUp() override {
        // The store keeps its slot array once made: make it before counting.
        ZmsFree(ZmsPut("x", 1));
        objects_ = tbx::fault::live_objects();
        handles_ = tbx::fault::open_handles();
        fs::remove_all(dir_);
        fs::create_directory(dir_);
    }

    void TearDown() override {
        tbx::fault::arm(0);
        fs::remove_all(dir_);
        EXPECT_EQ(objects_, tbx::fault::live_objects()) << "memory objects of the store";
        EXPECT_EQ(handles_, tbx::fault::open_handles()) << "handles of the platform";
    }

    int32_t Opened() const { return tbx::fault::open_handles() - handles_; }
    std::string In(const char* name) const { return (dir_ / name).string(); }

    int32_t objects_ = 0;
    int32_t handles_ = 0;
    const fs::path dir_ = fs::temp_directory_path() / ("tembrix-cpp-" + std::to_string(ZmdGetCurrentTask()));
};

TEST_F(CppLayer, StringsOwnTheirHandlesMoveThemAndTellFailures) {
    // 8192 bytes fill the first block: a copy needs a new one, which the
    // platform refuses here, as it refuses the first store.
    tbx::fault::arm(1);
    EXPECT_THROW(tembrix::string("x"), std::bad_alloc);
    tbx::fault::arm(0);
    tembrix::string full(std::string(8192, 'f'));
    tbx::fault::arm(1);
    EXPECT_THROW(full.dup(), std::bad_alloc);
    tbx::fault::arm(0);
    EXPECT_EQ(8192u, full.dup().size());

    tembrix::string none;
    EXPECT_FALSE(none);
    EXPECT_FALSE(tembrix::string(std::string_view()));
    EXPECT_EQ("", none.str());
    EXPECT_FALSE(none.dup());
    const std::string with_nul("a\0b", 3);
    tembrix::string s(with_nul);
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(with_nul, s.str());
    // The longest string, and views longer than the store's 16-bit count.
    const std::string longest(65535, 'q');
    tembrix::string big(longest);
    EXPECT_EQ(longest, big.str());
    EXPECT_THROW(tembrix::string(longest + "q"), std::length_error);
    for (auto [owner, bytes, want] : {std::tuple{&none, std::string(), 0}, {&none, "a", -1}, {&s, with_nul, 0},
                                      {&s, "a", 1}, {&s, with_nul + "c", -1}, {&s, "", 1}, {&big, longest, 0},
                                      {&big, longest + "q", -1}, {&big, std::string(65534, 'q') + "pzz", 1}})
        EXPECT_EQ(want, owner->compare(bytes)) << bytes.size();

    ExpectHandsItsHandleOn(std::move(s), std::move(big), with_nul, 0x00FFFFFFu);
}

TEST_F(CppLayer, TextsTellNoTextFromTheEmptyText) {
    tbx::fault::arm(1);
    EXPECT_THROW(tembrix::text("x"), std::bad_alloc);
    tbx::fault::arm(0);

    tembrix::text none;
    tembrix::text empty("");
    EXPECT_FALSE(none);
    EXPECT_TRUE(empty);
    EXPECT_EQ(HSTR_EMPTY, empty.get());
    EXPECT_EQ(HSTR_EMPTY, tembrix::text(nullptr).get());
    EXPECT_EQ(HSTR_EMPTY, tembrix::text(std::string_view()).get());
    EXPECT_EQ(HSTR_EMPTY, empty.dup().get());
    EXPECT_FALSE(none.dup());
    EXPECT_EQ(objects_, tbx::fault::live_objects()) << "the empty text owns no storage";
    EXPECT_EQ(0, none.compare(""));
    EXPECT_EQ(-1, empty.compare("a"));

    tembrix::text t("borrowed in place");
    EXPECT_EQ(17u, t.size());
    EXPECT_EQ("borrowed in place", t.str());
    EXPECT_STREQ("borrowed in place", hstrptr(t.get()));
    EXPECT_EQ(0, t.compare("borrowed in place"));
    EXPECT_EQ(1, t.compare("borrowed"));
    EXPECT_EQ(-1, t.compare("zebra"));
    EXPECT_EQ(1, t.compare(nullptr));
    // A view goes on past a NUL: the text is less than one that goes on.
    EXPECT_EQ(0, t.compare(std::string_view("borrowed in place")));
    EXPECT_EQ(-1, t.compare(std::string_view("borrowed in place\0!", 19)));
    EXPECT_EQ(1, t.compare(std::string_view("borrowed\0", 9)));
    EXPECT_THROW(tembrix::text(std::string_view("a\0b", 3)), std::invalid_argument);

    const std::string longest(65534, 't');
    tembrix::text longest_texts[] = {tembrix::text(longest), tembrix::text(longest.c_str())};
    for (const tembrix::text& l : longest_texts) {
        EXPECT_EQ(65534u, l.size());
        EXPECT_EQ(longest, l.str());
        EXPECT_EQ(longest, l.dup().str());
    }
    EXPECT_THROW(tembrix::text(longest + "t"), std::length_error);
    EXPECT_THROW(tembrix::text((longest + "t").c_str()), std::length_error);

    ExpectHandsItsHandleOn(std::move(t), tembrix::text("copied"), "borrowed in place", 0xFF00FFFEu);
    tembrix::text moved(std::move(empty));  // the empty text moves as any other
    EXPECT_FALSE(empty);
    EXPECT_EQ(HSTR_EMPTY, moved.get());
}

TEST_F(CppLayer, FilesReadAndWriteAnySizeInPiecesAndCloseOnce) {
    const std::string path = In("big.bin");
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    std::ofstream(path, std::ios::binary).close();  // an open never creates

    EXPECT_FALSE(tembrix::file::open(In("missing.bin").c_str(), tembrix::access_read, 0));
    EXPECT_FALSE(tembrix::file::open(dir_.string().c_str(), tembrix::access_read, 0));
    EXPECT_EQ(0, Opened());
    {
        auto f = tembrix::file::open(path.c_str(), tembrix::access_read | tembrix::access_write, 0);
        ASSERT_TRUE(f);
        EXPECT_EQ(1, Opened());
        EXPECT_EQ(bytes.size(), f->write(bytes.data(), bytes.size()));
    }
    EXPECT_EQ(0, Opened());
    std::ifstream written(path, std::ios::binary);
    EXPECT_EQ(bytes, std::string(std::istreambuf_iterator<char>(written), {}));
    written.close();
    {
        auto f = tembrix::file::open(path.c_str(), tembrix::access_read, tembrix::share_read);
        ASSERT_TRUE(f);
        std::string back(250000, 'x');
        EXPECT_EQ(bytes.size(), f->read(&back[0], back.size()));  // the last piece comes back short
        EXPECT_EQ(bytes, back.substr(0, bytes.size()));
        EXPECT_EQ(0u, f->read(&back[0], 1));

        tembrix::file moved(std::move(*f));
        EXPECT_EQ(reinterpret_cast<void*>(~uintptr_t{0}), f->native_handle());
        EXPECT_EQ(1, Opened());
        *f = std::move(moved);
        EXPECT_EQ(1, Opened());
    }
    EXPECT_EQ(0, Opened());

    // The second of the four pieces fails: the transfer stops there.
    auto f = tembrix::file::open(path.c_str(), tembrix::access_read | tembrix::access_write, 0);
    ASSERT_TRUE(f);
    tbx::fault::arm(2, tbx::fault::kFile);
    EXPECT_EQ(65535u, f->read(&bytes[0], bytes.size()));
    tbx::fault::arm(2, tbx::fault::kFile);
    EXPECT_EQ(65535u, f->write(bytes.data(), bytes.size()));
    tbx::fault::arm(1, tbx::fault::kFile);
    EXPECT_FALSE(tembrix::file::open(path.c_str(), tembrix::access_read, 0));
}

TEST_F(CppLayer, SearchIsARangeClosedWhenDoneOrLeft) {
    for (const char* name : {"a.txt", "bb.txt", "ccc.txt", "other.dat"})
        std::ofstream(In(name), std::ios::binary) << name;
    fs::create_directory(dir_ / "sub.txt");

    Names names;
    for (const tembrix::found& f : tembrix::find(In("*.txt").c_str())) {
        EXPECT_EQ(1, Opened());
        names.insert(std::string(f.name()));
        EXPECT_EQ(f.name() == "sub.txt", f.is_directory()) << f.name();
        EXPECT_EQ(f.is_directory() ? 0x10u : 0x20u, f.attributes() & 0x30u) << f.name();
        EXPECT_EQ(f.is_directory() ? 0u : f.name().size(), f.size()) << f.name();
        // Each of the three times is a moment of this test run, not 1970.
        for (auto time : {f.created(), f.accessed(), f.written()}) {
            auto off = std::chrono::system_clock::now() - time;
            EXPECT_LT(off < off.zero() ? -off : off, std::chrono::hours(1)) << f.name();
        }
    }
    EXPECT_EQ((Names{"a.txt", "bb.txt", "ccc.txt", "sub.txt"}), names);
    EXPECT_EQ(0, Opened());

    for (const tembrix::found& f : tembrix::find(In("*").c_str())) {
        EXPECT_FALSE(f.name().empty());
        break;
    }
    EXPECT_EQ(0, Opened()) << "a loop left early";

    tembrix::found kept;
    {
        tembrix::search range(In("*.txt").c_str());
        auto it = range.begin();
        ++it;
        kept = *it;
        EXPECT_NE(range.end(), it);
        EXPECT_EQ(1, Opened());
        for (int i = 0; i < 3; ++i) ++it;
        EXPECT_EQ(range.end(), it);
        EXPECT_EQ(0, Opened()) << "closed after the last match";
    }
    EXPECT_EQ(1u, names.count(std::string(kept.name())));

    tembrix::search nothing = tembrix::find(In("*.none").c_str());
    EXPECT_EQ(nothing.end(), nothing.begin());
    EXPECT_EQ(0, Opened());
}

TEST_F(CppLayer, MutexesTakenByStandardLocksAcrossThreads) {
    auto m = tembrix::mutex::create();
    auto n = tembrix::mutex::create();
    ASSERT_TRUE(m && n);
    EXPECT_EQ(2, Opened());
    std::atomic<bool> tried{false};
    std::thread waiter;
    {
        std::lock_guard<tembrix::mutex> hold(*m);
        EXPECT_TRUE(m->try_lock());  // its owner takes it again
        m->unlock();
        waiter = std::thread([&] {
            std::unique_lock<tembrix::mutex> lock(*m, std::defer_lock);
            EXPECT_FALSE(lock.try_lock_for(30ms));
            EXPECT_FALSE(lock.try_lock());
            EXPECT_FALSE(lock.try_lock_until(std::chrono::steady_clock::now() + 10ms));
            tried = true;
            // Woken when the guard lets go.
            EXPECT_TRUE(lock.try_lock_for(std::chrono::minutes(1)));
            EXPECT_FALSE(m->abandoned());
        });
        while (!tried) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
    }
    waiter.join();
    {
        std::scoped_lock both(*m, *n);
        std::thread([&] { EXPECT_FALSE(n->try_lock()); }).join();
    }
    std::thread([&] {
        std::scoped_lock both(*n, *m);
    }).join();

    // Named: create and open give handles of one mutex.
    const std::string name = "tbx-cpp-" + std::to_string(ZmdGetCurrentTask());
    EXPECT_FALSE(tembrix::mutex::open(name.c_str()));
    auto created = tembrix::mutex::create(name.c_str(), true);
    auto opened = tembrix::mutex::open(name.c_str());
    ASSERT_TRUE(created && opened);
    std::thread([&] { EXPECT_FALSE(opened->try_lock()); }).join();
    created->unlock();
    std::thread([&] { EXPECT_TRUE(opened->try_lock()); opened->unlock(); }).join();
    EXPECT_FALSE(tembrix::mutex::create("bad\\name"));

    // A wait that fails throws: a mutex moved from has no handle.
    tembrix::mutex moved(std::move(*m));
    EXPECT_EQ(nullptr, m->native_handle());
    EXPECT_THROW(m->lock(), std::system_error);
    EXPECT_THROW(m->try_lock_for(1ms), std::system_error);
    EXPECT_TRUE(moved.try_lock());
    moved.unlock();
    EXPECT_EQ(4, Opened());
}

TEST_F(CppLayer, MutexTellsATakingFromAnOwnerThatEnded) {
    auto m = tembrix::mutex::create();
    ASSERT_TRUE(m);
    std::thread([&] { m->lock(); }).join();  // ends holding it
    EXPECT_TRUE(m->try_lock_for(std::chrono::seconds(10)));
    EXPECT_TRUE(m->abandoned());
    m->unlock();
    m->lock();
    EXPECT_FALSE(m->abandoned());
    m->unlock();
    std::thread([&] { EXPECT_TRUE(m->try_lock()); }).join();
    std::lock_guard<tembrix::mutex> hold(*m);
    EXPECT_TRUE(m->abandoned());
}

TEST_F(CppLayer, ModulesGiveTheirUseBack) {
    EXPECT_FALSE(tembrix::module::load("tbx-no-such-module.dll"));
    const std::string library = Library().string();
    auto m = tembrix::module::load(library.c_str());
    ASSERT_TRUE(m) << library;
    EXPECT_EQ(1, Opened());
    auto task = m->proc<decltype(ZmdGetCurrentTask)>("ZmdGetCurrentTask");
    ASSERT_NE(nullptr, task);
    EXPECT_EQ(ZmdGetCurrentTask(), task());
    EXPECT_EQ(nullptr, m->proc<void()>("TbxNoSuchExport"));
    char path[1024];
    EXPECT_EQ(std::string(path, ZmdGetModuleFileName(m->native_handle(), path, sizeof path)), m->path());
    EXPECT_TRUE(fs::equivalent(library, m->path())) << m->path();

    auto again = tembrix::module::load(library.c_str());  // one more use
    ASSERT_TRUE(again);
    EXPECT_EQ(m->native_handle(), again->native_handle());
    tembrix::module moved(std::move(*m));
    EXPECT_EQ(nullptr, m->native_handle());
    EXPECT_EQ("", m->path()) << "not the program's own";
    EXPECT_EQ(2, Opened());

#ifndef _WIN32
    // A path longer than the first buffer comes back whole. (Win32's loader
    // takes names of up to 260 characters.)
    fs::path deep = dir_ / std::string(150, 'd') / std::string(150, 'e');
    fs::create_directories(deep);
    fs::copy_file(library, deep / kLibraryFile);
    auto far = tembrix::module::load((deep / kLibraryFile).c_str());
    ASSERT_TRUE(far);
    EXPECT_EQ((deep / kLibraryFile).string(), far->path());
#endif
}

}  // namespace
