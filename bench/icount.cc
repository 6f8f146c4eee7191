// The fixed workload whose instructions bench/icount.sh counts under
// callgrind, one operation of the string store at a time: each measured
// loop runs between CALLGRIND_ZERO_STATS and CALLGRIND_DUMP_STATS_AT(name),
// so the dump named after the operation holds its instructions (the loop's
// own few included) and nothing of the set-up around it. Each line printed,
// "name count", gives how many times the loop ran the operation.
//
// Counts repeat exactly from run to run of the same binary as long as
// nothing the operations touch moves within a page: the bytes and buffers
// are static, and the stack is brought to the same offset in its page
// whatever the environment and the program's path (which sit above it and
// shift it) happen to be.
#include <alloca.h>
#include <valgrind/callgrind.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tembrix.h"

namespace {

constexpr unsigned kSmall = 1000;       // small strings per measured loop
constexpr unsigned kLive = 1000;        // live strings beside them
constexpr unsigned kLarge = 8;          // large puts or gets per loop
constexpr uint16_t kLargeBytes = 65535;
constexpr unsigned kFullBlocks = 1024;  // live strings that fill 4 blocks of 256
constexpr unsigned kCycles = 100;

uint8_t small_bytes[kSmall + kLive][30];
uint16_t small_length[kSmall + kLive];
uint8_t large_bytes[kLargeBytes];
uint8_t out[kLargeBytes];
StringHandle live[kFullBlocks];
StringHandle made[kSmall];
StringHandle copies[kSmall];
StringHandle large[kLarge];
unsigned sink;

// Small strings of 5 to 30 bytes and one large one, from a fixed sequence.
void make_bytes() {
    uint32_t x = 1;
    auto next = [&x] { return x = x * 1664525u + 1013904223u; };
    for (unsigned i = 0; i < kSmall + kLive; ++i) {
        small_length[i] = static_cast<uint16_t>(5 + (next() >> 24) % 26);
        for (auto& b : small_bytes[i]) b = static_cast<uint8_t>(next() >> 24);
    }
    for (auto& b : large_bytes) b = static_cast<uint8_t>(next() >> 24);
}

StringHandle put_small(unsigned i) { return ZmsPut(small_bytes[i], small_length[i]); }

void measured(const char* name, unsigned count) {
    CALLGRIND_DUMP_STATS_AT(name);
    std::printf("%s %u\n", name, count);
}

bool check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "icount: %s failed\n", what);
    return ok;
}

[[gnu::noinline]] int workload() {
    make_bytes();
    // Untimed: the first put makes the pool and resolves the library's
    // entry points; kLive strings stay beside every small-string loop.
    for (unsigned i = 0; i < kLive; ++i) live[i] = put_small(kSmall + i);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) made[i] = put_small(i);
    measured("put", kSmall);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) sink += ZmsGet(made[i], out, sizeof out);
    measured("get", kSmall);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) sink += ZmsLen(made[i]);
    measured("len", kSmall);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) sink += static_cast<unsigned>(ZmsCmp(made[i], small_bytes[i], small_length[i]));
    measured("cmp", kSmall);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) copies[i] = ZmsDup(made[i]);
    measured("dup", kSmall);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kSmall; ++i) ZmsFree(copies[i]);
    measured("free", kSmall);

    // Each get and len gave the length, each cmp 0 (equal).
    unsigned bytes = 0;
    for (unsigned i = 0; i < kSmall; ++i) bytes += small_length[i];
    bool ok = check(sink == 2 * bytes, "small reads");
    for (unsigned i = 0; i < kSmall; ++i) {
        ok &= check(made[i] != 0 && ZmsLen(made[i]) == small_length[i], "small put");
        ZmsFree(made[i]);
    }
    for (unsigned i = 0; i < kLive; ++i) ZmsFree(live[i]);

    // Large strings into the emptied store.
    CALLGRIND_ZERO_STATS;
    for (auto& h : large) h = ZmsPut(large_bytes, kLargeBytes);
    measured("put_large", kLarge);

    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kLarge; ++i) sink += ZmsGet(large[0], out, kLargeBytes);
    measured("get_large", kLarge);

    ok &= check(sink == 2 * bytes + kLarge * kLargeBytes, "large get");
    for (auto h : large) {
        ok &= check(h != 0 && ZmsCmp(h, large_bytes, kLargeBytes) == 0, "large put");
        ZmsFree(h);
    }

    // Every block full: each put makes a block and its free releases it.
    for (unsigned i = 0; i < kFullBlocks; ++i) live[i] = put_small(i % (kSmall + kLive));
    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < kCycles; ++i) {
        StringHandle h = put_small(i);
        sink += ZmsGet(h, out, sizeof out);
        ZmsFree(h);
    }
    measured("cycle_full_block", kCycles);
    for (unsigned i = 0; i < kFullBlocks; ++i) ZmsFree(live[i]);
    return ok ? 0 : 1;
}

}  // namespace

int main() {
    // Brings the stack pointer to the start of a page, then down a fixed
    // distance, before anything measured runs.
    auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    volatile char* pad = static_cast<char*>(alloca((sp & 4095) + 64));
    pad[0] = 0;
    return workload();
}
