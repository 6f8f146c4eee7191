// Files and directory search, checked the same way on the POSIX stand-in
// and on the Win32 runtime: every case below passes on both.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tembrix.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRead = 0x80000000;
constexpr uint32_t kWrite = 0x40000000;
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kShareWrite = 2;
constexpr uint32_t kShareAll = 7;
void* const kInvalid = reinterpret_cast<void*>(~uintptr_t{0});

// The library creates no files: each test gets a fresh directory of its
// own, made with the host's facilities, as its current directory.
class FilesTest : public testing::Test {
protected:
    void SetUp() override {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::random_device random;
        do {
            dir_ = fs::temp_directory_path() / ("tembrix-" + name + "-" + std::to_string(random()));
        } while (!fs::create_directory(dir_));
        home_ = fs::current_path();
        fs::current_path(dir_);
    }

    void TearDown() override {
        fs::current_path(home_);
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(dir_);
    }

    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Returns the records of a whole search by name (none when it finds
    // nothing), checking each match's copy of its name.
    static std::map<std::string, FindRecord> Search(const char* pattern) {
        std::map<std::string, FindRecord> found;
        FindRecord record;
        if (ZfdFindFirst(pattern, 0, &record) != 0) return found;
        do {
            EXPECT_STREQ(record.name, record.name_copy) << pattern;
            found[record.name] = record;
        } while (ZfdFindNext(&record) == 0);
        EXPECT_EQ(0, ZfdFindClose(&record));
        return found;
    }

    static std::set<std::string> Names(const char* pattern) {
        std::set<std::string> names;
        for (const auto& [name, record] : Search(pattern)) names.insert(name);
        return names;
    }

    fs::path dir_, home_;
};

TEST_F(FilesTest, ReadWriteAtThePositionWithSixteenBitCounts) {
    Put("data.bin", "hello, world");
    void* file = ZfdOpen("data.bin", kRead | kWrite, 0);
    ASSERT_NE(kInvalid, file);
    char buffer[64] = {};
    // A caller's 32-bit count of 0x10000 reaches the library as 0 bytes.
    using RawRead = uint16_t(TBX_CALL*)(void*, void*, uint32_t);
    auto raw_read = reinterpret_cast<RawRead>(reinterpret_cast<void (*)()>(&ZfdRead));
    EXPECT_EQ(0, raw_read(file, buffer, 0x10000));
    EXPECT_EQ(0, ZfdRead(file, buffer, 0));
    EXPECT_EQ(5, ZfdRead(file, buffer, 5));
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));
    EXPECT_EQ(2, ZfdWrite(file, "!!", 2));
    // Short at the end of the file, then nothing.
    EXPECT_EQ(5, ZfdRead(file, buffer, sizeof buffer));
    EXPECT_EQ(0, std::memcmp(buffer, "world", 5));
    EXPECT_EQ(0, ZfdRead(file, buffer, sizeof buffer));
    EXPECT_EQ(0, ZfdClose(file));
    EXPECT_EQ("hello!!world", Get("data.bin"));
}

TEST_F(FilesTest, OpenNeverCreatesOrTruncates) {
    EXPECT_EQ(kInvalid, ZfdOpen("missing.txt", kRead | kWrite, 0));
    EXPECT_FALSE(fs::exists("missing.txt"));
    Put("keep.txt", "0123456789");
    void* file = ZfdOpen("keep.txt", kWrite, 0);
    ASSERT_NE(kInvalid, file);
    EXPECT_EQ(2, ZfdWrite(file, "XY", 2));
    EXPECT_EQ(0, ZfdClose(file));
    EXPECT_EQ("XY23456789", Get("keep.txt"));
}

TEST_F(FilesTest, BadHandlesAndModesFailWithoutHarm) {
    fs::create_directory("sub");
    Put("a.txt", "abcdef");
    EXPECT_EQ(kInvalid, ZfdOpen("sub", kRead, kShareAll));
    EXPECT_EQ(kInvalid, ZfdOpen("sub/missing.txt", kRead, kShareAll));

    char buffer[8] = "-------";
    void* write_only = ZfdOpen("a.txt", kWrite, kShareAll);
    void* read_only = ZfdOpen("a.txt", kRead, kShareAll);
    void* no_access = ZfdOpen("a.txt", 0, kShareAll);
    ASSERT_TRUE(write_only != kInvalid && read_only != kInvalid && no_access != kInvalid);
    EXPECT_EQ(0, ZfdRead(write_only, buffer, 4) | ZfdRead(no_access, buffer, 4));
    EXPECT_EQ(0, ZfdWrite(read_only, "zz", 2) | ZfdWrite(no_access, "zz", 2));
    EXPECT_EQ(0, ZfdClose(write_only) | ZfdClose(no_access) | ZfdClose(read_only));
    EXPECT_STREQ("-------", buffer);
    EXPECT_EQ("abcdef", Get("a.txt"));

    // A closed handle is refused by every call.
    EXPECT_EQ(0, ZfdRead(read_only, buffer, 4) | ZfdWrite(read_only, "zz", 2));
    EXPECT_EQ(-1, ZfdClose(read_only));
    EXPECT_EQ(-1, ZfdClose(nullptr));
    // The failed open's value is also the current process's pseudo-handle,
    // which closes without effect.
    EXPECT_EQ(0, ZfdClose(kInvalid));
    EXPECT_EQ(0, ZfdRead(kInvalid, buffer, 4));
}

TEST_F(FilesTest, SharingIsCheckedPerFileAmongOpenHandles) {
    fs::create_directory("sub");
    Put("a.txt", "abc");
    void* reader = ZfdOpen("a.txt", kRead, kShareRead);
    ASSERT_NE(kInvalid, reader);
    // The reader shares reading only: no writer, by any name of the file.
    EXPECT_EQ(kInvalid, ZfdOpen("a.txt", kWrite, kShareAll));
    EXPECT_EQ(kInvalid, ZfdOpen("sub/../a.txt", kRead | kWrite, kShareAll));
    void* second = ZfdOpen("./a.txt", kRead, kShareRead);
    EXPECT_NE(kInvalid, second);
    // A newcomer must share what the open handles do: reading.
    EXPECT_EQ(kInvalid, ZfdOpen("a.txt", kRead, kShareWrite));
    // A handle that reads and writes nothing takes no part.
    void* bystander = ZfdOpen("a.txt", 0, 0);
    EXPECT_NE(kInvalid, bystander);
    EXPECT_EQ(0, ZfdClose(reader) | ZfdClose(second));

    void* writer = ZfdOpen("a.txt", kWrite, 0);
    ASSERT_NE(kInvalid, writer);
    EXPECT_EQ(kInvalid, ZfdOpen("a.txt", kWrite, kShareWrite));
    EXPECT_EQ(kInvalid, ZfdOpen("a.txt", kRead, kShareAll));
    EXPECT_EQ(0, ZfdClose(writer) | ZfdClose(bystander));
}

TEST_F(FilesTest, NamesAndPatternsUpTo260Bytes) {
    Put("a.txt", "abc");
    // "./" parts make long names of a short path: 260 and 261 bytes.
    std::string at_limit;
    for (int i = 0; i < 127; ++i) at_limit += "./";
    std::string beyond = at_limit + "./a.txt";
    at_limit += "/a.txt";
    void* file = ZfdOpen(at_limit.c_str(), kRead, kShareAll);
    EXPECT_NE(kInvalid, file);
    EXPECT_EQ(0, ZfdClose(file));
    EXPECT_EQ(kInvalid, ZfdOpen(beyond.c_str(), kRead, kShareAll));

    at_limit.back() = '*';
    beyond.back() = '*';
    EXPECT_EQ(std::set<std::string>{"a.txt"}, Names(at_limit.c_str()));
    FindRecord record;
    record.handle = 7;
    EXPECT_EQ(-1, ZfdFindFirst(beyond.c_str(), 0, &record));
    EXPECT_EQ(-1, record.handle);
}

TEST_F(FilesTest, PatternsMatchAsTheRuntimeDoes) {
    for (const char* name : {"a", "a.txt", "b.txt", "bb.txt", "a.txt.bak", "noext"}) Put(name, "x");
    fs::create_directory("sub");
    Put("sub/inner.dat", "x");
    using Set = std::set<std::string>;
    const Set all = {".", "..", "a", "a.txt", "b.txt", "bb.txt", "a.txt.bak", "noext", "sub"};
    EXPECT_EQ(all, Names("*"));
    EXPECT_EQ(all, Names("*.*"));  // names without a dot too
    EXPECT_EQ((Set{"a.txt", "b.txt", "bb.txt"}), Names("*.txt"));
    EXPECT_EQ((Set{"a.txt", "b.txt"}), Names("?.txt"));
    EXPECT_EQ((Set{"a", "a.txt", "a.txt.bak"}), Names("a.*"));
    EXPECT_EQ((Set{"bb.txt"}), Names("?b.t*"));
    EXPECT_EQ(Set{"noext"}, Names("noext"));
    // A directory part, with either separator; "." and ".." by the text.
    EXPECT_EQ((Set{".", "..", "inner.dat"}), Names("sub/*"));
    EXPECT_EQ(Set{"inner.dat"}, Names("sub\\*.dat"));
    EXPECT_EQ(Set{"sub"}, Names("sub"));
    EXPECT_EQ(Set{"sub"}, Names("sub/."));
    EXPECT_EQ(Set{"a.txt"}, Names("missing/../a.txt"));
    EXPECT_EQ((Set{"a.txt", "b.txt", "bb.txt"}), Names("*.txt."));  // trailing dot dropped
    // Nothing to find.
    for (const char* none : {"*.zip", "missing/*", "a.txt/*", "sub/", ""})
        EXPECT_EQ(Set{}, Names(none)) << '"' << none << '"';
}

TEST_F(FilesTest, RecordDescribesEachMatch) {
    fs::create_directory("sub");
    Put("sub/twelve.txt", "twelve bytes");
    Put("sub/ro.txt", "ro");
    const auto all_write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions("sub/ro.txt", all_write, fs::perm_options::remove);
    const auto when = std::chrono::sys_seconds(std::chrono::seconds(1000000000));
    fs::last_write_time("sub/twelve.txt", std::chrono::file_clock::from_sys(when));
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

    auto found = Search("sub/*");
    ASSERT_EQ(4u, found.size());
    const FindRecord& file = found["twelve.txt"];
    EXPECT_EQ(0x20u, file.attrib);
    EXPECT_EQ(12u, file.size);
    EXPECT_EQ(1000000000, file.time_write);
    EXPECT_TRUE(file.time_create > 0 && file.time_create <= now + 5);
    EXPECT_TRUE(file.time_access > 0 && file.time_access <= now + 5);
    EXPECT_EQ(0x21u, found["ro.txt"].attrib);
    // "." is the directory searched, ".." the one above; both directories.
    for (const char* dot : {".", ".."}) {
        EXPECT_EQ(0x10u, found[dot].attrib) << dot;
        EXPECT_EQ(0u, found[dot].size) << dot;
        EXPECT_NEAR(now, found[dot].time_write, 60) << dot;
    }
    EXPECT_EQ(0x10u, Search("sub")["sub"].attrib);
}

TEST_F(FilesTest, SearchEndsCleanlyAndRecordsCanBeReused) {
    Put("only.txt", "x");
    FindRecord record{};
    ASSERT_EQ(0, ZfdFindFirst("only.txt", 0, &record));
    FindRecord kept = record;
    // Past the last match, the record keeps that match.
    EXPECT_EQ(-1, ZfdFindNext(&record));
    EXPECT_EQ(0, std::memcmp(&kept, &record, sizeof record));
    EXPECT_EQ(0, ZfdFindClose(&record));
    EXPECT_EQ(0, std::memcmp(&kept, &record, sizeof record));
    // The closed search's handle finds nothing more. A second close is a
    // caller's mistake whose answer is the runtime's own; it must not harm.
    EXPECT_EQ(-1, ZfdFindNext(&record));
    int32_t twice = ZfdFindClose(&record);
    EXPECT_TRUE(twice == 0 || twice == -1);

    // A search that found nothing leaves -1 in the handle and the rest as
    // it was; its record is refused by the other two calls.
    EXPECT_EQ(-1, ZfdFindFirst("missing/*", 0, &record));
    EXPECT_EQ(-1, record.handle);
    EXPECT_STREQ("only.txt", record.name);
    EXPECT_EQ(-1, ZfdFindNext(&record));
    EXPECT_EQ(-1, ZfdFindClose(&record));

    // The same record carries a new search.
    EXPECT_EQ(0, ZfdFindFirst("*.txt", 0, &record));
    EXPECT_STREQ("only.txt", record.name_copy);
    EXPECT_EQ(0, ZfdFindClose(&record));
}

TEST_F(FilesTest, PlatformFailuresReachTheCaller) {
    Put("a.txt", "abc");
    tbx::fault::arm(1, tbx::fault::kFile);
    EXPECT_EQ(kInvalid, ZfdOpen("a.txt", kRead, 0));
    // The failed open holds nothing: an exclusive open succeeds; a failed
    // close leaves the handle open.
    void* file = ZfdOpen("a.txt", kRead, 0);
    ASSERT_NE(kInvalid, file);
    tbx::fault::arm(1, tbx::fault::kClose);
    EXPECT_EQ(-1, ZfdClose(file));
    EXPECT_EQ(0, ZfdClose(file));
}

TEST(Files, ErrorModeIsKeptAndNarrowedTo16Bits) {
    uint32_t before = ZfdSetErrorMode(0x8001);
    EXPECT_EQ(0x8001u, ZfdSetErrorMode(0x0003));
    using RawSetErrorMode = uint32_t(TBX_CALL*)(uint32_t);
    auto raw = reinterpret_cast<RawSetErrorMode>(reinterpret_cast<void (*)()>(&ZfdSetErrorMode));
    EXPECT_EQ(0x0003u, raw(0x18001));
    EXPECT_EQ(0x8001u, ZfdSetErrorMode(static_cast<uint16_t>(before)));
}

}  // namespace
