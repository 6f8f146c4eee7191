// ZmsCmp: comparing a stored string in place.
#include <cstring>

#include "strings/pool.h"

using namespace tbx;

namespace {

template <typename Word> Word load(const uint8_t* at) {
    Word w;
    std::memcpy(&w, at, sizeof w);
    return w;
}

// Returns whether the first `n` (at most 32) bytes of `a` and `b` are the
// same. Reads n bytes of each as overlapping words: two from the start and
// two ending at n from 16 bytes on, else one from the start and one ending
// at n; which words depends on n only, not on the bytes.
bool same_bytes(const uint8_t* a, const uint8_t* b, unsigned n) {
    auto diff = [&](auto word, unsigned at) { return load<decltype(word)>(a + at) ^ load<decltype(word)>(b + at); };
    if (n >= 16) {
        uint64_t u{};
        return (diff(u, 0) | diff(u, 8) | diff(u, n - 16) | diff(u, n - 8)) == 0;
    }
    if (n >= 8) return (diff(uint64_t{}, 0) | diff(uint64_t{}, n - 8)) == 0;
    if (n >= 4) return (diff(uint32_t{}, 0) | diff(uint32_t{}, n - 4)) == 0;
    return n == 0 || (diff(uint8_t{}, 0) | diff(uint8_t{}, n / 2) | diff(uint8_t{}, n - 1)) == 0;
}

// Compares the first `n` bytes of `stored` and `given` as memcmp does;
// `readable` bytes (n..32) of each may be read. All readable bytes are
// looked at first, and those do not depend on n: a compare that has its
// bytes before the link word that gives n need not wait for it, unless
// the bytes differ.
int compare_short(const uint8_t* stored, const uint8_t* given, unsigned readable, unsigned n) {
    return same_bytes(stored, given, readable) ? 0 : std::memcmp(stored, given, n);
}

// Returns the order of a stored string of `kept` bytes against `length`
// given bytes when the bytes they share are the same.
int32_t by_length(unsigned kept, unsigned length) { return (kept > length) - (kept < length); }

// Returns ZmsCmp's result for a string of one chunk, `kept` bytes at
// `stored`, whose first `length` (1..32) bytes differ from the given ones
// somewhere: maybe only past the string's own bytes.
[[gnu::noinline]] int32_t order_one_chunk(const uint8_t* stored, const uint8_t* given, unsigned kept,
                                          unsigned length) {
    if (int d = std::memcmp(stored, given, kept < length ? kept : length)) return d < 0 ? -1 : 1;
    return by_length(kept, length);
}

// Returns ZmsCmp's result by walking the chain, a run of chunks at a time:
// every string and every value the one-chunk path leaves.
[[gnu::noinline]] int32_t compare_chain(StringHandle h, const uint8_t* given, uint16_t length) {
    bool no_bytes = !given || length == 0;
    if (h == 0) return no_bytes ? 0 : -1;
    if (no_bytes) return 1;
    if (!is_tagged(h)) return 2;
    unsigned remaining = length;
    ChunkRef ref = ref_of(h);
    Chunk chunk;
    for (;;) {
        if (ref == END_OF_CHAIN) return remaining == 0 ? 0 : -1;
        if (!resolve(ref, &chunk)) return 2;
        const uint8_t* run = payload(chunk.block, chunk.index);
        // The last 32 given bytes are compared with one chunk, whose payload
        // has room for all of them.
        bool short_tail = remaining <= kChunkSize;
        bool broken = false;
        unsigned run_bytes = short_tail ? 0 : gather_run(ref, &chunk, remaining, &broken);
        unsigned length_here = broken ? 0 : length_of(chunk.link);
        unsigned left = remaining - run_bytes;
        unsigned n = length_here < left ? length_here : left;
        int d = short_tail ? compare_short(run, given, remaining, n) : std::memcmp(run, given, run_bytes + n);
        if (d) return d < 0 ? -1 : 1;
        if (broken) return 2;
        given += run_bytes + n;
        remaining = left - n;
        if (n == length_here && next_of(chunk.link) == END_OF_CHAIN) return remaining == 0 ? 0 : -1;
        if (remaining == 0) return 1;
        ref = next_of(chunk.link);
    }
}

}  // namespace

extern "C" [[gnu::flatten]] int32_t TBX_CALL ZmsCmp(StringHandle h, const void* bytes, uint16_t length) noexcept {
    auto* given = static_cast<const uint8_t*>(bytes);
    // Most compares are of a string of one chunk with 1..32 bytes: a few
    // straight steps. Which payload bytes are compared does not depend on
    // the link word, so the two loads need not wait for each other; the
    // link word then says how many of them are the string's.
    Chunk chunk;
    if (given && length - 1u < kChunkSize && whole_chunk(h, &chunk)) {
        unsigned kept = length_of(chunk.link);
        const uint8_t* stored = payload(chunk.block, chunk.index);
        if (same_bytes(stored, given, length)) return by_length(kept, length);
        return order_one_chunk(stored, given, kept, length);
    }
    return compare_chain(h, given, length);
}
