// The example client again, in C++ through tembrix.hpp: the same road as
// client.c -- one text through the string store, text handles, a directory
// search (the one named on the command line, or the current one) and the
// first bytes of a file it found, the machine, a module and a named mutex --
// with objects that give every handle back, so no call frees, closes or
// releases by hand.
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "tembrix.hpp"

namespace {

void road_through_the_store() {
    std::printf("The road of one text through the store\n");
    StringHandle old;
    {
        tembrix::text hello("hello");
        old = hello.get();
        std::printf("  text(\"hello\")          -> handle 0x%08lX (block %lu, chunk %lu), %zu characters\n",
                    static_cast<unsigned long>(old), static_cast<unsigned long>(old & 0xFFFF),
                    static_cast<unsigned long>((old >> 16) & 0xFF), hello.size());
        tembrix::string abc("abc");
        std::printf("  string(\"abc\")          -> handle 0x%08lX, compared with \"abc\": %d\n",
                    static_cast<unsigned long>(abc.get()), abc.compare("abc"));
        std::printf("  hello.str()            -> \"%s\"\n", hello.str().c_str());
    }
    std::printf("  both freed with their scope: the block is released, hstrlen = 0x%04X\n", hstrlen(old));
}

void text_handles() {
    std::printf("\nText handles\n");
    tembrix::text copy;
    {
        tembrix::text t("borrowed in place");
        std::printf("  stored \"%s\", %zu characters, read in place\n", hstrptr(t.get()), t.size());
        std::printf("  compare with \"borrowed\": %d, with \"zebra\": %d\n", t.compare("borrowed"),
                    t.compare("zebra"));
        copy = t.dup();
    }
    std::printf("  duplicate 0x%08lX outlives the original: \"%s\"\n",
                static_cast<unsigned long>(copy.get()), copy.str().c_str());
    tembrix::text empty("");
    std::printf("  the empty text is a value of its own: 0x%08lX, length %zu, %s\n",
                static_cast<unsigned long>(empty.get()), empty.size(), empty ? "a text" : "no text");
    try {
        tembrix::string too_long(std::string(70000, 'x'));
    } catch (const std::length_error& e) {
        std::printf("  70000 bytes do not fit one string: %s\n", e.what());
    }
}

// Lists the entries of `dir` that match "*.*" (every name) and shows the
// first bytes of the first file among them.
void search_and_read(const std::string& dir) {
    std::printf("\nA directory search and a file read\n");
    const std::string pattern = dir + "/*.*";
    std::string path;
    unsigned count = 0;
    for (const tembrix::found& f : tembrix::find(pattern.c_str())) {
        if (count++ < 8)
            std::printf("  %-24.*s %s %10lu bytes, written %lld\n", static_cast<int>(f.name().size()),
                        f.name().data(), f.is_directory() ? "dir " : "file",
                        static_cast<unsigned long>(f.size()),
                        static_cast<long long>(std::chrono::system_clock::to_time_t(f.written())));
        if (!f.is_directory() && path.empty()) path = dir + "/" + std::string(f.name());
    }
    std::printf("  %u entries match %s\n", count, pattern.c_str());
    if (path.empty()) return;

    auto file = tembrix::file::open(path.c_str(), tembrix::access_read, tembrix::share_read);
    if (!file) {
        std::printf("  %s cannot be opened\n", path.c_str());
        return;
    }
    unsigned char bytes[16];
    std::size_t n = file->read(bytes, sizeof bytes);
    std::printf("  the first %zu bytes of %s:", n, path.c_str());
    for (std::size_t i = 0; i < n; ++i) std::printf(" %02X", bytes[i]);
    std::printf("\n");
}

void the_machine() {
    std::printf("\nThe machine\n");
    std::printf("  WinFlags 0x%04lX, current task %lu\n", static_cast<unsigned long>(ZmdGetWinFlags()),
                static_cast<unsigned long>(ZmdGetCurrentTask()));

    // The library itself, loaded once more: its file, and a function found
    // by name and called through its own type.
#ifdef _WIN32
    const std::string library = "tembrix.dll";
#else
    const std::string library = "libtembrix.so." + std::to_string(TEMBRIX_VERSION_MAJOR);
#endif
    if (auto self = tembrix::module::load(library.c_str())) {
        std::printf("  module %s: %s\n", library.c_str(), self->path().c_str());
        tembrix::string probe("twelve bytes");
        if (auto length = self->proc<decltype(ZmsLen)>("ZmsLen"))
            std::printf("  ZmsLen found in it says a 12-byte string has %u bytes\n", length(probe.get()));
    } else {
        std::printf("  module %s could not be loaded\n", library.c_str());
    }

    const std::string name = "tembrix-client-cpp-" + std::to_string(ZmdGetCurrentTask());
    auto mutex = tembrix::mutex::create(name.c_str(), true);
    if (!mutex) {
        std::printf("  named mutex \"%s\" could not be created\n", name.c_str());
        return;
    }
    std::printf("  named mutex \"%s\" created and held\n", name.c_str());
    {
        std::lock_guard<tembrix::mutex> again(*mutex);  // its owner takes it again
        std::thread([&] {
            auto other = tembrix::mutex::open(name.c_str());
            bool taken = other && other->try_lock_for(std::chrono::milliseconds(50));
            std::printf("  opened by name in another thread: %s\n", taken ? "taken" : "not taken in 50 ms");
        }).join();
    }
    mutex->unlock();  // the taking create asked for
    std::thread([&] { mutex->try_lock(); }).join();  // a thread that ends holding it
    std::lock_guard<tembrix::mutex> hold(*mutex);
    std::printf("  taken after a thread ended holding it: abandoned() says %s\n",
                mutex->abandoned() ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        road_through_the_store();
        text_handles();
        search_and_read(argc > 1 ? argv[1] : ".");
        the_machine();
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
