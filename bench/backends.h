// The string stores the benchmarks run the same work on: the library's
// pool, strings on a general-purpose heap (the C runtime's malloc; on Linux
// also mimalloc, jemalloc and tcmalloc, the allocators a user would pick
// instead), and the literal model of the pool.
#ifndef TEMBRIX_BENCH_BACKENDS_H_
#define TEMBRIX_BENCH_BACKENDS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "tembrix.h"
#include "tests/model/literal_pool.h"

namespace bench {

// The shipped library, through its public interface. Its blocks come from
// the platform layer: on Linux the POSIX stand-in, on glibc's malloc; on
// Windows GlobalAlloc. kOnCrtHeap says, for each store, whether the C
// runtime's malloc holds its strings, and so whether mallinfo2() sees them.
struct Library {
    using Handle = StringHandle;
    static constexpr const char* kName = "lib";
    static constexpr bool kOnCrtHeap = true;
    static bool load() { return true; }

    Handle put(const void* bytes, uint16_t n) { return ZmsPut(bytes, n); }
    uint16_t get(Handle h, void* out, uint16_t size) { return ZmsGet(h, out, size); }
    uint16_t len(Handle h) { return ZmsLen(h); }
    int32_t cmp(Handle h, const void* bytes, uint16_t n) { return ZmsCmp(h, bytes, n); }
    Handle dup(Handle h) { return ZmsDup(h); }
    void free(Handle h) { ZmsFree(h); }
};

// The C runtime's malloc and free: glibc's on Linux, msvcrt's on Windows.
struct CrtHeap {
#ifdef _WIN32
    static constexpr const char* kName = "crt";
#else
    static constexpr const char* kName = "glibc";
#endif
    static constexpr bool kOnCrtHeap = true;
    static bool load() { return true; }
    static void* allocate(size_t n) { return std::malloc(n); }
    static void release(void* p) { std::free(p); }
};

#ifndef _WIN32
// Where a peer allocator's own malloc and free are found.
struct PeerLibrary {
    const char* name;
    const char* file;
    const char* allocate;
    const char* release;
};

// Debian's builds: mimalloc and tcmalloc export their functions under
// prefixed names besides malloc and free, jemalloc under the plain names
// only. tcmalloc is the "minimal" build: the same allocator without the heap
// profiler and checker.
inline constexpr PeerLibrary kMimalloc{"mimalloc", "libmimalloc.so.2", "mi_malloc", "mi_free"};
inline constexpr PeerLibrary kJemalloc{"jemalloc", "libjemalloc.so.2", "malloc", "free"};
inline constexpr PeerLibrary kTcmalloc{"tcmalloc", "libtcmalloc_minimal.so.4", "tc_malloc", "tc_free"};

// A peer allocator beside glibc's in the same process. Linked or preloaded,
// each would replace malloc for everything, the library's own heap
// included; opened with RTLD_LOCAL its symbols join no other object's
// lookup, so only these two pointers, taken from its own handle, reach it.
template <const PeerLibrary& lib> struct PeerHeap {
    static constexpr const char* kName = lib.name;
    static constexpr bool kOnCrtHeap = false;
    static inline void* (*allocate)(size_t) = nullptr;
    static inline void (*release)(void*) = nullptr;

    // Opens the allocator; false, with the reason on stderr, if it cannot be.
    static bool load() {
        if (allocate) return true;
        void* handle = dlopen(lib.file, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "%s left out: %s\n", lib.name, dlerror());
            return false;
        }
        auto* a = reinterpret_cast<void* (*)(size_t)>(dlsym(handle, lib.allocate));
        auto* r = reinterpret_cast<void (*)(void*)>(dlsym(handle, lib.release));
        if (!a || !r) {
            std::fprintf(stderr, "%s left out: %s has no %s or %s\n", lib.name, lib.file, lib.allocate,
                         lib.release);
            return false;
        }
        allocate = a;
        release = r;
        return true;
    }
};
#endif

// The plain C way: one heap block per string, a 2-byte length in front of
// the bytes. Each operation is the malloc, memcpy, memcmp or free that does
// the same job.
template <class Heap> struct OnHeap {
    using Handle = uint8_t*;
    static constexpr const char* kName = Heap::kName;
    static constexpr bool kOnCrtHeap = Heap::kOnCrtHeap;
    static bool load() { return Heap::load(); }

    static uint16_t length(Handle h) {
        uint16_t n;
        std::memcpy(&n, h, sizeof n);
        return n;
    }
    Handle put(const void* bytes, uint16_t n) {
        auto* h = static_cast<uint8_t*>(Heap::allocate(sizeof n + n));
        if (!h) return nullptr;
        std::memcpy(h, &n, sizeof n);
        std::memcpy(h + sizeof n, bytes, n);
        return h;
    }
    uint16_t get(Handle h, void* out, uint16_t size) {
        uint16_t n = length(h);
        std::memcpy(out, h + sizeof n, n < size ? n : size);
        return n <= size ? n : 0xFFFF;
    }
    uint16_t len(Handle h) { return length(h); }
    int32_t cmp(Handle h, const void* bytes, uint16_t n) {
        uint16_t stored = length(h);
        int d = std::memcmp(h + sizeof stored, bytes, stored < n ? stored : n);
        if (d != 0) return d < 0 ? -1 : 1;
        return stored == n ? 0 : (stored < n ? -1 : 1);
    }
    Handle dup(Handle h) {
        size_t bytes = sizeof(uint16_t) + length(h);
        auto* copy = static_cast<uint8_t*>(Heap::allocate(bytes));
        if (copy) std::memcpy(copy, h, bytes);
        return copy;
    }
    void free(Handle h) { Heap::release(h); }
};

using Crt = OnHeap<CrtHeap>;
#ifndef _WIN32
using Mimalloc = OnHeap<PeerHeap<kMimalloc>>;
using Jemalloc = OnHeap<PeerHeap<kJemalloc>>;
using Tcmalloc = OnHeap<PeerHeap<kTcmalloc>>;
#endif

// The pool's rules executed literally: every store scans from block 0.
struct Model {
    using Handle = uint32_t;
    static constexpr const char* kName = "model";
    static constexpr bool kOnCrtHeap = true;
    static bool load() { return true; }

    Handle put(const void* bytes, uint16_t n) { return pool.Put(bytes, n); }
    uint16_t get(Handle h, void* out, uint16_t size) { return pool.Get(h, out, size); }
    uint16_t len(Handle h) { return pool.Len(h); }
    int32_t cmp(Handle h, const void* bytes, uint16_t n) { return pool.Cmp(h, bytes, n); }
    Handle dup(Handle h) { return pool.Dup(h); }
    void free(Handle h) { pool.Free(h); }

    model::LiteralPool pool;
};

}  // namespace bench

#endif  // TEMBRIX_BENCH_BACKENDS_H_
