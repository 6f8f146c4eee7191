// The three string stores the benchmarks run the same work on: the
// library's pool, strings on glibc's heap, and the literal model of the pool.
#ifndef TEMBRIX_BENCH_BACKENDS_H_
#define TEMBRIX_BENCH_BACKENDS_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tembrix.h"
#include "tests/model/literal_pool.h"

namespace bench {

// The shipped library, through its public interface.
struct Library {
    using Handle = StringHandle;
    static constexpr const char* kName = "lib";

    Handle put(const void* bytes, uint16_t n) { return ZmsPut(bytes, n); }
    uint16_t get(Handle h, void* out, uint16_t size) { return ZmsGet(h, out, size); }
    uint16_t len(Handle h) { return ZmsLen(h); }
    int32_t cmp(Handle h, const void* bytes, uint16_t n) { return ZmsCmp(h, bytes, n); }
    Handle dup(Handle h) { return ZmsDup(h); }
    void free(Handle h) { ZmsFree(h); }
};

// The plain C way: one malloc'd block per string, a 2-byte length in front
// of the bytes. Each operation is the malloc, memcpy, memcmp or free that
// does the same job.
struct Glibc {
    using Handle = uint8_t*;
    static constexpr const char* kName = "glibc";

    static uint16_t length(Handle h) {
        uint16_t n;
        std::memcpy(&n, h, sizeof n);
        return n;
    }
    Handle put(const void* bytes, uint16_t n) {
        auto* h = static_cast<uint8_t*>(std::malloc(sizeof n + n));
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
        auto* copy = static_cast<uint8_t*>(std::malloc(bytes));
        if (copy) std::memcpy(copy, h, bytes);
        return copy;
    }
    void free(Handle h) { std::free(h); }
};

// The pool's rules executed literally: every store scans from block 0.
struct Model {
    using Handle = uint32_t;
    static constexpr const char* kName = "model";

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
