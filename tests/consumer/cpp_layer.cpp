// An application of the installed library's C++ layer, tembrix.hpp, built
// as C++17 with every warning an error: it uses each type the way a caller
// would, checks what comes back, and prints "ok" or what failed.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "tembrix.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::printf("FAILED: %s\n", what);
    ++failures;
}

// A module every target has, and its export that returns the process id.
#ifdef _WIN32
constexpr char kModule[] = "kernel32.dll";
constexpr char kProcessIdExport[] = "GetCurrentProcessId";
#ifdef _WIN64
using ProcessId = unsigned long();
#else
using ProcessId = unsigned long __stdcall();
#endif
#else
constexpr char kModule[] = "libc.so.6";
constexpr char kProcessIdExport[] = "getpid";
using ProcessId = int();
#endif

void strings_and_texts() {
    const std::string bytes(300, 's');
    tembrix::string s(bytes);
    tembrix::string copy = s.dup();
    tembrix::string moved(std::move(s));
    check(!s && moved && copy.get() != moved.get(), "string: a copy and a move");
    check(copy.str() == bytes && copy.compare(bytes) == 0 && copy.compare(bytes + "s") == -1,
          "string: its bytes");
    bool refused = false;
    try {
        tembrix::string too_long(std::string(65536, 'x'));
    } catch (const std::length_error&) {
        refused = true;
    }
    check(refused, "string: 65536 bytes refused");

    tembrix::text t("a text");
    tembrix::text empty("");
    check(t.str() == "a text" && t.compare("a text") == 0 && t.dup().str() == "a text", "text");
    check(empty && empty.size() == 0 && !tembrix::text(), "text: the empty text and no text");
}

void files_and_search() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tembrix-consumer-" + std::to_string(std::random_device{}()));
    fs::create_directory(dir);
    const std::string name = (dir / "data.bin").string();
    std::ofstream(name, std::ios::binary).close();
    const std::string bytes(100000, 'b');
    {
        auto f = tembrix::file::open(name.c_str(), tembrix::access_read | tembrix::access_write, 0);
        check(f && f->write(bytes.data(), bytes.size()) == bytes.size(), "file: 100000 bytes written");
    }
    {
        auto f = tembrix::file::open(name.c_str(), tembrix::access_read, tembrix::share_read);
        std::string back(bytes.size() + 10, '\0');
        check(f && f->read(&back[0], back.size()) == bytes.size() && back.compare(0, bytes.size(), bytes) == 0,
              "file: read back");
    }
    check(!tembrix::file::open((dir / "missing.bin").string().c_str(), tembrix::access_read, 0),
          "file: a missing one does not open");
    int matches = 0;
    for (const tembrix::found& f : tembrix::find((dir / "*.bin").string().c_str()))
        matches += f.name() == "data.bin" && f.size() == bytes.size() && !f.is_directory();
    check(matches == 1, "find: the file and nothing else");
    for (const tembrix::found& f : tembrix::find((dir / "*").string().c_str())) {
        check(!f.name().empty(), "find: a name");
        break;
    }
    fs::remove_all(dir);
}

void mutexes() {
    auto m = tembrix::mutex::create();
    check(m.has_value(), "mutex: created");
    if (!m) return;
    {
        std::lock_guard<tembrix::mutex> hold(*m);
        bool taken = true;
        std::thread([&] {
            std::unique_lock<tembrix::mutex> lock(*m, std::defer_lock);
            taken = lock.try_lock_for(std::chrono::milliseconds(20));
        }).join();
        check(!taken, "mutex: held against another thread");
    }
    std::thread([&] { m->lock(); }).join();  // ends holding it
    std::lock_guard<tembrix::mutex> hold(*m);
    check(m->abandoned(), "mutex: abandoned by a thread that ended");
}

void modules() {
    auto m = tembrix::module::load(kModule);
    check(m.has_value(), "module: loaded");
    if (!m) return;
    auto process_id = m->proc<ProcessId>(kProcessIdExport);
    check(process_id && process_id() != 0, "module: an export called");
    std::string path = m->path();
    std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return std::tolower(c); });
    check(path.size() > sizeof kModule && path.compare(path.size() - (sizeof kModule - 1), path.npos, kModule) == 0,
          "module: its path");
    auto again = tembrix::module::load(kModule);
    check(again && again->native_handle() == m->native_handle(), "module: loaded again");
    check(!tembrix::module::load("tbx-no-such-module.dll"), "module: a missing one does not load");
}

}  // namespace

int main() {
    strings_and_texts();
    files_and_search();
    mutexes();
    modules();
    std::printf("tembrix %s, C++ layer: %s\n", TEMBRIX_VERSION_STRING, failures ? "FAILED" : "ok");
    return failures;
}
