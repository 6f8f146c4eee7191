// Benchmarks of the string store beside the C runtime's heap, the
// allocators a user would pick instead (on Linux) and the literal model:
// small strings at 1,000 to 1,000,000 live, large strings, memory per live
// string, and filling the pool to its block limit.
//
// The pool is process-wide and cannot be reset, so every measurement runs
// on a store that holds N live strings, put in order into an emptied store
// (live_set), and keeps that count: an iteration times a batch of
// operations, and whatever restores the live set (freeing what the batch
// put, putting back what it freed) runs after the clock has stopped. Each
// iteration records the batch's time divided by its operations, so the
// reported time is the time of one operation.
//
// A batch takes its strings from a window of kBatch positions of the live
// set, walked in put order ("seq") or in one fixed random order ("rand"),
// the same at every N. The window's handles are copied into a small array
// before the clock starts, so the timed loop touches the store's memory and
// nothing of the benchmark's own bookkeeping that grows with N.
#ifdef TBX_MINIBENCH
#include "bench/minibench.h"
#else
#include <benchmark/benchmark.h>
#endif
#ifndef _WIN32
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "bench/backends.h"

namespace bench {
namespace {

constexpr unsigned kBatch = 200;
constexpr size_t kLiveCounts[] = {1000, 10000, 100000, 1000000};
constexpr unsigned kSamples = 4096;
constexpr int kLargeSizes[] = {1024, 9000, 65535};
constexpr unsigned kLargeBatch = 8;
// One-chunk strings the pool holds at its limit: 65534 blocks of 256 chunks.
constexpr size_t kPoolChunks = size_t{0xFFFE} * 256;

#ifdef TBX_MINIBENCH
using Clock = benchmark::TscClock;
#else
using Clock = std::chrono::steady_clock;
#endif

// The bytes the benchmarks store: kSamples small strings of 5..30 random
// bytes (position p of a live set holds sample p), and one large string.
struct Samples {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> offset;
    std::vector<uint16_t> length;
    // 64 bytes into a page (see large_out).
    alignas(4096) uint8_t large_page[64 + 65535];
    uint8_t* const large = large_page + 64;

    Samples() {
        std::mt19937 rng(1);
        for (unsigned i = 0; i < kSamples; ++i) {
            offset.push_back(static_cast<uint32_t>(bytes.size()));
            length.push_back(static_cast<uint16_t>(5 + rng() % 26));
            for (unsigned j = 0; j < length.back(); ++j) bytes.push_back(static_cast<uint8_t>(rng()));
        }
        for (unsigned i = 0; i < 65535; ++i) large[i] = static_cast<uint8_t>(rng());
    }
    const uint8_t* data(size_t i) const { return &bytes[offset[i % kSamples]]; }
    uint16_t size(size_t i) const { return length[i % kSamples]; }
};

const Samples& samples() {
    static const Samples s;
    return s;
}

template <class Store> Store& store() {
    static Store s;
    return s;
}

template <class Store> typename Store::Handle put_sample(Store& st, size_t i) {
    return st.put(samples().data(i), samples().size(i));
}

// The live strings of one store, by position.
template <class Store> struct LiveSet {
    std::vector<typename Store::Handle> handles;
    bool shuffled = false;  // churn moved strings out of put order

    // Frees every string and makes n empty positions.
    void clear(size_t n) {
        for (auto h : handles) store<Store>().free(h);
        handles.assign(n, {});
        shuffled = false;
    }
    // Puts sample p at each position p, in order.
    void fill() {
        for (size_t p = 0; p < handles.size(); ++p) handles[p] = put_sample(store<Store>(), p);
    }
};

template <class Store> LiveSet<Store>& live() {
    static LiveSet<Store> set;
    return set;
}

// Every store of this build, in the order they run.
template <class... S> struct Stores {};
#ifdef _WIN32
using AllStores = Stores<Library, Crt, Model>;
#else
using AllStores = Stores<Library, Crt, Mimalloc, Jemalloc, Tcmalloc, Model>;
#endif

// Calls f.template operator()<S>() for each store S that could be loaded.
template <class F, class... S> void for_each_store(F&& f, Stores<S...>) {
    ((S::load() ? f.template operator()<S>() : void()), ...);
}
template <class F> void for_each_store(F&& f) { for_each_store(f, AllStores{}); }

template <class Store, class... S> void empty_all_but(Stores<S...>) {
    ((std::is_same_v<Store, S> ? void() : live<S>().clear(0)), ...);
}

// Returns the live set of `Store` holding n strings put in order into an
// emptied store; the other stores are emptied first, so each store runs
// alone on the heap. Kept from one benchmark to the next of the same n.
template <class Store> LiveSet<Store>& live_set(size_t n) {
    auto& set = live<Store>();
    if (set.handles.size() == n && !set.shuffled) return set;
    empty_all_but<Store>(AllStores{});
    set.clear(n);
    set.fill();
    return set;
}

// Times the batches of one benchmark. An iteration's time is its batch's;
// the counter "op" is the time of one operation in the median batch, which
// a batch stretched by the scheduler on a busy machine does not move.
class Batches {
public:
    explicit Batches(benchmark::State& state) : state_(state) {}
    ~Batches() {
        if (per_op_.empty()) return;
        auto middle = per_op_.begin() + static_cast<std::ptrdiff_t>(per_op_.size() / 2);
        std::nth_element(per_op_.begin(), middle, per_op_.end());
        state_.counters["op"] = *middle;
    }

    // Runs `batch`, `ops` operations, under the clock.
    template <class F> void time(size_t ops, F&& batch) {
        auto start = Clock::now();
        batch();
        std::chrono::duration<double> elapsed = Clock::now() - start;
        record(elapsed.count(), ops);
    }

    void record(double seconds, size_t ops) {
        state_.SetIterationTime(seconds);
        per_op_.push_back(seconds / static_cast<double>(ops));
    }

private:
    benchmark::State& state_;
    std::vector<double> per_op_;
};

// Walks the positions 0..n-1 a window at a time, in put order or in a
// fixed random order, copying out each window's handles.
class Walk {
public:
    Walk(size_t n, bool random) : order_(n) {
        std::iota(order_.begin(), order_.end(), 0u);
        if (random) std::shuffle(order_.begin(), order_.end(), std::mt19937(2));
    }

    template <class Handle>
    void next(const std::vector<Handle>& handles, uint32_t* pos, Handle* h) {
        for (unsigned i = 0; i < kBatch; ++i) {
            pos[i] = order_[cursor_];
            h[i] = handles[pos[i]];
            cursor_ = cursor_ + 1 == order_.size() ? 0 : cursor_ + 1;
        }
    }

private:
    std::vector<uint32_t> order_;
    size_t cursor_ = 0;
};

// ---- small strings at N live -------------------------------------------------

// Puts kBatch new strings beside the N live ones.
template <class Store> void put_new(benchmark::State& state) {
    live_set<Store>(state.range(0));
    Store& st = store<Store>();
    std::array<typename Store::Handle, kBatch> made;
    size_t next = 0;
    Batches batches(state);
    for (auto _ : state) {
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) made[i] = put_sample(st, next + i);
        });
        for (auto h : made) st.free(h);
        next += kBatch;
    }
}

enum class Read { kGet, kLen, kCmp };

// Reads live strings: copies one out, measures it, or compares it with the
// bytes it holds (equal, so the whole string is compared). The results are
// summed, so no read can be left out or merely pointed at.
template <class Store, Read op> void read_live(benchmark::State& state, bool random) {
    auto& set = live_set<Store>(state.range(0));
    Store& st = store<Store>();
    const Samples& s = samples();
    Walk walk(set.handles.size(), random);
    std::array<uint32_t, kBatch> pos;
    std::array<typename Store::Handle, kBatch> h;
    uint8_t buffer[64];
    unsigned sum = 0;
    Batches batches(state);
    for (auto _ : state) {
        walk.next(set.handles, pos.data(), h.data());
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) {
                if constexpr (op == Read::kGet) {
                    sum += st.get(h[i], buffer, sizeof buffer);
                    benchmark::ClobberMemory();
                } else if constexpr (op == Read::kLen) {
                    sum += st.len(h[i]);
                } else {
                    sum += static_cast<unsigned>(st.cmp(h[i], s.data(pos[i]), s.size(pos[i])));
                }
            }
            benchmark::DoNotOptimize(sum);
        });
    }
}

// Copies live strings; the copies are freed untimed.
template <class Store> void dup_live(benchmark::State& state, bool random) {
    auto& set = live_set<Store>(state.range(0));
    Store& st = store<Store>();
    Walk walk(set.handles.size(), random);
    std::array<uint32_t, kBatch> pos;
    std::array<typename Store::Handle, kBatch> h, made;
    Batches batches(state);
    for (auto _ : state) {
        walk.next(set.handles, pos.data(), h.data());
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) made[i] = st.dup(h[i]);
        });
        for (auto c : made) st.free(c);
    }
}

// Frees live strings; they are put back untimed.
template <class Store> void free_live(benchmark::State& state, bool random) {
    auto& set = live_set<Store>(state.range(0));
    Store& st = store<Store>();
    Walk walk(set.handles.size(), random);
    std::array<uint32_t, kBatch> pos;
    std::array<typename Store::Handle, kBatch> h;
    Batches batches(state);
    for (auto _ : state) {
        walk.next(set.handles, pos.data(), h.data());
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) st.free(h[i]);
        });
        for (unsigned i = 0; i < kBatch; ++i) set.handles[pos[i]] = put_sample(st, pos[i]);
    }
}

// One full life of a string beside the N live ones: put, get, free.
template <class Store> void cycle(benchmark::State& state) {
    live_set<Store>(state.range(0));
    Store& st = store<Store>();
    uint8_t buffer[64];
    unsigned sum = 0;
    size_t next = 0;
    Batches batches(state);
    for (auto _ : state) {
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) {
                auto h = put_sample(st, next + i);
                sum += st.get(h, buffer, sizeof buffer);
                benchmark::ClobberMemory();
                st.free(h);
            }
            benchmark::DoNotOptimize(sum);
        });
        next += kBatch;
    }
}

// Frees a random half of the live strings and puts them again; the time is
// per free or put.
template <class Store> void churn(benchmark::State& state) {
    auto& set = live_set<Store>(state.range(0));
    Store& st = store<Store>();
    std::mt19937 rng(3);
    std::vector<uint32_t> pos;
    std::vector<typename Store::Handle> h;
    Batches batches(state);
    for (auto _ : state) {
        pos.clear();
        for (uint32_t p = 0; p < set.handles.size(); ++p) {
            if (rng() & 1) pos.push_back(p);
        }
        h.resize(pos.size());
        for (size_t i = 0; i < pos.size(); ++i) h[i] = set.handles[pos[i]];
        batches.time(2 * pos.size(), [&] {
            for (auto x : h) st.free(x);
            for (size_t i = 0; i < pos.size(); ++i) h[i] = put_sample(st, pos[i]);
        });
        for (size_t i = 0; i < pos.size(); ++i) set.handles[pos[i]] = h[i];
        set.shuffled = true;
    }
}

// ---- memory --------------------------------------------------------------------
// Measured in a forked child: not built for Windows.
#ifndef _WIN32

struct Usage {
    double resident;  // bytes of the process in memory
    double heap;      // bytes malloc has handed out, its own overhead included
};

Usage usage() {
    long size = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    struct mallinfo2 m = mallinfo2();
    return {static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)),
            static_cast<double>(m.uordblks + m.hblkhd)};
}

// Memory per live string: what the resident set and glibc malloc's in-use
// bytes grow by while a child process, forked before any other benchmark has
// run, puts N strings into its empty store. The handle array is made and
// touched before the first reading. A peer allocator keeps its own books,
// which mallinfo2 does not see: for those, the resident set only.
template <class Store> void memory(benchmark::State& state) {
    size_t n = state.range(0);
    double result[3] = {0, 0, 0};  // resident, heap, seconds
    Batches batches(state);
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) return state.SkipWithError("pipe failed");
        pid_t child = fork();
        if (child == 0) {
            auto& set = live<Store>();
            set.clear(n);
            samples();
            Usage before = usage();
            auto start = Clock::now();
            set.fill();
            std::chrono::duration<double> elapsed = Clock::now() - start;
            Usage after = usage();
            double out[3] = {after.resident - before.resident, after.heap - before.heap, elapsed.count()};
            _exit(write(fds[1], out, sizeof out) == sizeof out ? 0 : 1);
        }
        close(fds[1]);
        bool got = child > 0 && read(fds[0], result, sizeof result) == sizeof result;
        close(fds[0]);
        if (child > 0) waitpid(child, nullptr, 0);
        if (!got) return state.SkipWithError("the measuring process failed");
        batches.record(result[2], n);
    }
    state.counters["resident_per_string"] = result[0] / static_cast<double>(n);
    if (Store::kOnCrtHeap) state.counters["heap_per_string"] = result[1] / static_cast<double>(n);
}
#endif


// ---- large strings ---------------------------------------------------------------

// Puts a large string into an emptied store; each batch is freed untimed.
template <class Store> void put_large(benchmark::State& state) {
    live_set<Store>(0);
    Store& st = store<Store>();
    auto size = static_cast<uint16_t>(state.range(0));
    // Untimed: the first large malloc after many frees tidies glibc's bins.
    st.free(st.put(samples().large, size));
    std::array<typename Store::Handle, kLargeBatch> made;
    Batches batches(state);
    for (auto _ : state) {
        batches.time(kLargeBatch, [&] {
            for (auto& h : made) h = st.put(samples().large, size);
        });
        for (auto h : made) st.free(h);
    }
}

// Where get_large copies to. The large puts copy from 64 bytes into a page
// (Samples::large) and the gets copy to the start of one, the same for
// every store. On the AMD EPYC of the runs in bench/README.md, memcpy of 9
// KB or more is 2 to 40 times slower when the destination lies a few bytes
// (2 to 30) past the source modulo 4,096 (rep movsb), and with buffers placed
// anywhere a store's figure would hang on where they landed beside its
// blocks. These offsets keep every store's large blocks, at 0 or 16 bytes
// into a page plus the 2-byte length of a heap's string, out of that zone.
alignas(4096) uint8_t large_out[65536];

// Copies out a large string stored in an emptied store.
template <class Store> void get_large(benchmark::State& state) {
    live_set<Store>(0);
    Store& st = store<Store>();
    auto size = static_cast<uint16_t>(state.range(0));
    auto h = st.put(samples().large, size);
    unsigned sum = 0;
    Batches batches(state);
    for (auto _ : state) {
        batches.time(kLargeBatch, [&] {
            for (unsigned i = 0; i < kLargeBatch; ++i) {
                sum += st.get(h, large_out, size);
                benchmark::ClobberMemory();
            }
            benchmark::DoNotOptimize(sum);
        });
    }
    st.free(h);
}

// ---- the block limit -----------------------------------------------------------------

// Puts small strings until the store holds as many as the pool has chunks
// at its block limit, or a put fails. The time is that of the whole fill.
// The library's pool stays full: its count of blocks never falls again, so
// this runs once per process and last.
template <class Store> void fill(benchmark::State& state) {
    live_set<Store>(0);
    Store& st = store<Store>();
    std::vector<typename Store::Handle> made;
    made.reserve(kPoolChunks);
    Batches batches(state);
    for (auto _ : state) {
        auto start = Clock::now();
        for (size_t i = 0; i < kPoolChunks; ++i) {
            auto h = put_sample(st, i);
            if (!h) break;
            made.push_back(h);
        }
        std::chrono::duration<double> elapsed = Clock::now() - start;
        batches.record(elapsed.count(), made.size());
    }
    state.counters["strings"] = static_cast<double>(made.size());
    if (made.size() != kPoolChunks) state.SkipWithError("a put failed before the pool was full");
    if constexpr (!std::is_same_v<Store, Library>) {
        for (auto h : made) st.free(h);
    }
}

// A put into the full pool, which fails.
void put_full(benchmark::State& state) {
    Library& st = store<Library>();
    std::array<StringHandle, kBatch> made{};
    Batches batches(state);
    for (auto _ : state) {
        batches.time(kBatch, [&] {
            for (unsigned i = 0; i < kBatch; ++i) made[i] = put_sample(st, i);
        });
    }
    for (auto h : made) {
        if (h != 0) return state.SkipWithError("a put into the full pool succeeded");
    }
}

// ---- registration ------------------------------------------------------------------

template <class Store, class... Extra>
benchmark::internal::Benchmark* add(const std::string& what, void (*fn)(benchmark::State&, Extra...),
                                    Extra... extra) {
    std::string name = std::string(Store::kName) + "/" + what;
    return benchmark::RegisterBenchmark(name.c_str(), fn, extra...)
        ->UseManualTime()
        ->Unit(benchmark::kNanosecond);
}

// Every small-string benchmark of one store, N by N; the walks in put order
// run before churn and random frees move strings out of it.
template <class Store> void add_small() {
    for (size_t n : kLiveCounts) {
        auto live = static_cast<int64_t>(n);
        add<Store>("put", put_new<Store>)->Arg(live);
        for (bool random : {false, true}) {
            const char* order = random ? "/rand" : "/seq";
            add<Store>(std::string("get") + order, read_live<Store, Read::kGet>, random)->Arg(live);
            add<Store>(std::string("len") + order, read_live<Store, Read::kLen>, random)->Arg(live);
            add<Store>(std::string("cmp") + order, read_live<Store, Read::kCmp>, random)->Arg(live);
            add<Store>(std::string("dup") + order, dup_live<Store>, random)->Arg(live);
            // The puts that restore a batch run untimed and, on the model, take
            // far longer than the frees: a fixed number of batches.
            add<Store>(std::string("free") + order, free_live<Store>, random)->Arg(live)->Iterations(2000);
        }
        add<Store>("cycle", cycle<Store>)->Arg(live);
        add<Store>("churn", churn<Store>)->Arg(live);
    }
}

template <class Store> void add_large() {
    for (int size : kLargeSizes) {
        add<Store>("put_large", put_large<Store>)->Arg(size);
        add<Store>("get_large", get_large<Store>)->Arg(size);
    }
}

// The order is the run's: memory in fresh children first, the fill last.
// Each store runs its small strings, then the next store; a peer allocator
// that cannot be loaded is left out.
void add_all() {
#ifndef _WIN32
    for_each_store([]<class Store>() {
        if constexpr (!std::is_same_v<Store, Model>)
            add<Store>("memory", memory<Store>)->Arg(1000000)->Iterations(1)->Repetitions(1);
    });
#endif
    for_each_store([]<class Store>() { add_small<Store>(); });
    // With every block full, each put of a cycle makes a block and its free
    // releases it again.
    for_each_store([]<class Store>() {
        if constexpr (!std::is_same_v<Store, Model>) add<Store>("cycle_full_blocks", cycle<Store>)->Arg(1024);
    });
    for_each_store([]<class Store>() { add_large<Store>(); });
    for_each_store([]<class Store>() {
        if constexpr (!std::is_same_v<Store, Model> && !std::is_same_v<Store, Library>)
            add<Store>("fill", fill<Store>)->Iterations(1)->Repetitions(1);
    });
    add<Library>("fill", fill<Library>)->Iterations(1)->Repetitions(1);
    add<Library>("put_full", put_full);
}

#ifndef _WIN32
// jemalloc keeps its thread state in initial-exec TLS, 2.6 KB of it, more
// than the 512 bytes glibc keeps spare for libraries opened later: without
// more, its dlopen fails. The tunable that enlarges the reserve is read at
// start-up only, so the benchmark starts itself again with it set.
void reserve_static_tls(char** argv) {
    constexpr const char* kTunable = "glibc.rtld.optional_static_tls";
    const char* now = std::getenv("GLIBC_TUNABLES");
    std::string tunables = now ? now : "";
    if (tunables.find(kTunable) != std::string::npos) return;
    tunables += (tunables.empty() ? "" : ":") + std::string(kTunable) + "=16384";
    setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("store_bench: could not restart with more static TLS");  // jemalloc will be left out
}
#endif

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
#ifndef _WIN32
    bench::reserve_static_tls(argv);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::add_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
