// A small timing harness with the part of Google Benchmark's interface that
// store_bench.cc uses, for targets that have no build of Google Benchmark
// (mingw-w64). The benchmark bodies compile unchanged against it, and it
// writes the same JSON, so bench/plot.py reads its runs like any other.
//
// What it does as Google Benchmark does: a benchmark without a fixed
// iteration count runs 1 iteration, then more, until the times it was given
// (SetIterationTime) add up to --benchmark_min_time; the count found by the
// first repetition serves the later ones; a repetition reports the time per
// iteration and the counters as set by its last run; repetitions end in a
// mean and a median of each. Its clock for the benchmarks is TscClock
// (below). Flags: --benchmark_filter (a regular
// expression), --benchmark_repetitions, --benchmark_min_time (seconds),
// --benchmark_out, --benchmark_out_format (json only),
// --benchmark_display_aggregates_only.
#ifndef TEMBRIX_BENCH_MINIBENCH_H_
#define TEMBRIX_BENCH_MINIBENCH_H_

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace benchmark {

enum TimeUnit { kNanosecond };

template <class T> inline void DoNotOptimize(T const& value) { asm volatile("" : : "r,m"(value) : "memory"); }
template <class T> inline void DoNotOptimize(T& value) { asm volatile("" : "+r,m"(value) : : "memory"); }
inline void ClobberMemory() { asm volatile("" : : : "memory"); }

namespace internal {
inline double& ns_per_tick() {
    static double ratio = 0;
    return ratio;
}
}  // namespace internal

// The clock the benchmarks time their batches with. mingw's steady_clock
// ticks in 100 ns (the rate of Windows' performance counter, under Wine and
// on many Windows machines), so a batch of 200 reads taking 400 ns would be
// 4 ticks. The time stamp counter, calibrated once against steady_clock,
// resolves nanoseconds on a CPU whose counter runs at a constant rate (all
// x86-64 CPUs of the last decade).
struct TscClock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<TscClock>;
    static constexpr bool is_steady = true;
    static time_point now() {
        return time_point(duration(static_cast<int64_t>(static_cast<double>(__builtin_ia32_rdtsc()) *
                                                        internal::ns_per_tick())));
    }
    // Counts the counter's ticks over 200 ms of steady_clock.
    static void calibrate() {
        using Steady = std::chrono::steady_clock;
        auto t0 = Steady::now();
        uint64_t c0 = __builtin_ia32_rdtsc();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto t1 = Steady::now();
        uint64_t c1 = __builtin_ia32_rdtsc();
        internal::ns_per_tick() =
            std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(c1 - c0);
    }
};

class State {
public:
    State(int64_t iterations, std::vector<int64_t> args) : iterations_(iterations), args_(std::move(args)) {}

    // What `for (auto _ : state)` holds: nothing, and never reported unused.
    struct __attribute__((unused)) Value {};
    struct Iterator {
        State* state;
        int64_t left;
        bool operator!=(const Iterator&) const { return left > 0; }
        void operator++() { --left; }
        Value operator*() const { return {}; }
    };
    Iterator begin() { return {this, error_ ? 0 : iterations_}; }
    Iterator end() { return {this, 0}; }

    int64_t range(size_t i) const { return args_.at(i); }
    int64_t iterations() const { return iterations_; }
    void SetIterationTime(double seconds) { manual_seconds_ += seconds; }
    void SkipWithError(const char* message) {
        error_ = true;
        message_ = message;
    }

    std::map<std::string, double> counters;

    double manual_seconds() const { return manual_seconds_; }
    bool error() const { return error_; }
    const std::string& message() const { return message_; }

private:
    int64_t iterations_;
    std::vector<int64_t> args_;
    double manual_seconds_ = 0;
    bool error_ = false;
    std::string message_;
};

namespace internal {

class Benchmark {
public:
    Benchmark(std::string name, std::function<void(State&)> fn) : name_(std::move(name)), fn_(std::move(fn)) {}
    Benchmark* Arg(int64_t a) {
        args_.push_back(a);
        return this;
    }
    Benchmark* Iterations(int64_t n) {
        iterations_ = n;
        return this;
    }
    Benchmark* Repetitions(int n) {
        repetitions_ = n;
        return this;
    }
    Benchmark* UseManualTime() { return this; }  // the only time this harness knows
    Benchmark* Unit(TimeUnit) { return this; }   // nanoseconds, as every benchmark here

    std::string name_;
    std::function<void(State&)> fn_;
    std::vector<int64_t> args_;
    int64_t iterations_ = 0;
    int repetitions_ = 0;
};

struct Options {
    std::string filter = ".";
    int repetitions = 1;
    double min_time = 0.5;
    std::string out;
    bool aggregates_only = false;
    bool bad_flag = false;
};

inline Options& options() {
    static Options o;
    return o;
}

inline std::vector<std::unique_ptr<Benchmark>>& registry() {
    static std::vector<std::unique_ptr<Benchmark>> r;
    return r;
}

// CPU time of the calling thread, in seconds.
inline double thread_seconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](FILETIME t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 100e-9;
#else
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

struct Run {
    std::string name, run_name, run_type, aggregate_name, error;
    int64_t iterations = 0;
    int repetitions = 1, repetition_index = 0;
    double real_ns = 0, cpu_ns = 0;
    std::map<std::string, double> counters;
};

inline std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

inline std::string json_number(double x) {
    if (!std::isfinite(x)) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

inline std::string run_json(const Run& r) {
    std::string s = "    {\n      \"name\": " + json_string(r.name) + ",\n";
    s += "      \"family_index\": 0,\n      \"per_family_instance_index\": 0,\n";
    s += "      \"run_name\": " + json_string(r.run_name) + ",\n";
    s += "      \"run_type\": " + json_string(r.run_type) + ",\n";
    s += "      \"repetitions\": " + std::to_string(r.repetitions) + ",\n";
    s += "      \"threads\": 1,\n";
    if (r.run_type == "aggregate") {
        s += "      \"aggregate_name\": " + json_string(r.aggregate_name) + ",\n";
        s += "      \"aggregate_unit\": \"time\",\n";
    } else {
        s += "      \"repetition_index\": " + std::to_string(r.repetition_index) + ",\n";
    }
    if (!r.error.empty()) {
        s += "      \"error_occurred\": true,\n      \"error_message\": " + json_string(r.error) + "\n    }";
        return s;
    }
    s += "      \"iterations\": " + std::to_string(r.iterations) + ",\n";
    s += "      \"real_time\": " + json_number(r.real_ns) + ",\n";
    s += "      \"cpu_time\": " + json_number(r.cpu_ns) + ",\n";
    s += "      \"time_unit\": \"ns\"";
    for (auto& [key, value] : r.counters) s += ",\n      " + json_string(key) + ": " + json_number(value);
    return s + "\n    }";
}

inline std::string context_json() {
    char date[64];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S+00:00", std::gmtime(&now));
    std::string load;
    // Under Wine the host's /proc is reachable through the drive that maps /.
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a[3];
        if (std::fscanf(f, "%lf %lf %lf", &a[0], &a[1], &a[2]) == 3)
            load = json_number(a[0]) + ", " + json_number(a[1]) + ", " + json_number(a[2]);
        std::fclose(f);
    }
    std::string s = "  \"context\": {\n";
    s += "    \"date\": " + json_string(date) + ",\n";
    s += "    \"host_name\": \"\",\n    \"executable\": \"store_bench\",\n";
    s += "    \"num_cpus\": " + std::to_string(std::thread::hardware_concurrency()) + ",\n";
    s += "    \"mhz_per_cpu\": 0,\n";
    s += "    \"harness\": \"minibench\",\n";
    s += "    \"load_avg\": [" + load + "],\n";
    s += "    \"library_build_type\": \"release\"\n  }";
    return s;
}

// One run of `iterations` iterations; its time per iteration in seconds.
inline Run run_once(Benchmark& b, int64_t iterations, double* seconds) {
    State state(iterations, b.args_);
    double cpu0 = thread_seconds();
    b.fn_(state);
    double cpu = thread_seconds() - cpu0;
    Run r;
    r.iterations = iterations;
    *seconds = state.manual_seconds();
    if (state.error()) {
        r.error = state.message();
        return r;
    }
    r.real_ns = state.manual_seconds() / static_cast<double>(iterations) * 1e9;
    r.cpu_ns = cpu / static_cast<double>(iterations) * 1e9;
    r.counters = state.counters;
    return r;
}

inline double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double mean_of(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

// The mean or median of the repetitions, time and counters alike.
inline Run aggregate(const std::vector<Run>& reps, const std::string& what, double (*f)(std::vector<double>)) {
    Run a = reps.front();
    a.run_type = "aggregate";
    a.aggregate_name = what;
    a.name = a.run_name + "_" + what;
    auto pick = [&](auto get) {
        std::vector<double> v;
        for (auto& r : reps) v.push_back(get(r));
        return f(v);
    };
    a.real_ns = pick([](const Run& r) { return r.real_ns; });
    a.cpu_ns = pick([](const Run& r) { return r.cpu_ns; });
    for (auto& [key, value] : a.counters) value = pick([&](const Run& r) { return r.counters.at(key); });
    return a;
}

inline void print(const Run& r) {
    std::printf("%-44s %14.1f ns %14.1f ns %10lld", r.name.c_str(), r.real_ns, r.cpu_ns,
                static_cast<long long>(r.iterations));
    for (auto& [key, value] : r.counters) std::printf(" %s=%g", key.c_str(), value);
    if (!r.error.empty()) std::printf(" ERROR: %s", r.error.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace internal

template <class... Extra>
internal::Benchmark* RegisterBenchmark(const char* name, void (*fn)(State&, Extra...), Extra... extra) {
    auto& r = internal::registry();
    r.push_back(std::make_unique<internal::Benchmark>(name, [=](State& s) { fn(s, extra...); }));
    return r.back().get();
}

inline void Initialize(int* argc, char** argv) {
    TscClock::calibrate();
    auto& o = internal::options();
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* flag) -> const char* {
            size_t n = std::strlen(flag);
            return a.compare(0, n, flag) == 0 && a.size() > n && a[n] == '=' ? argv[i] + n + 1 : nullptr;
        };
        if (const char* v = value("--benchmark_filter")) {
            o.filter = v;
        } else if (const char* v = value("--benchmark_repetitions")) {
            o.repetitions = std::max(1, std::atoi(v));
        } else if (const char* v = value("--benchmark_min_time")) {
            o.min_time = std::atof(v);  // "0.2" or "0.2s"
        } else if (const char* v = value("--benchmark_out")) {
            o.out = v;
        } else if (const char* v = value("--benchmark_out_format")) {
            if (std::strcmp(v, "json") != 0) o.bad_flag = true;
        } else if (const char* v = value("--benchmark_display_aggregates_only")) {
            o.aggregates_only = std::strcmp(v, "true") == 0;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
}

inline bool ReportUnrecognizedArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) std::fprintf(stderr, "%s: unrecognized argument '%s'\n", argv[0], argv[i]);
    if (internal::options().bad_flag) std::fprintf(stderr, "%s: only --benchmark_out_format=json\n", argv[0]);
    return argc > 1 || internal::options().bad_flag;
}

inline size_t RunSpecifiedBenchmarks() {
    using namespace internal;
    const Options& o = options();
    std::regex filter(o.filter);
    std::string out = "{\n" + context_json() + ",\n  \"benchmarks\": [\n";
    bool first = true;
    size_t ran = 0;
    for (auto& bp : registry()) {
        Benchmark& b = *bp;
        std::string name = b.name_;
        for (int64_t a : b.args_) name += "/" + std::to_string(a);
        if (b.iterations_) name += "/iterations:" + std::to_string(b.iterations_);
        int reps = b.repetitions_ ? b.repetitions_ : o.repetitions;
        if (b.repetitions_) name += "/repeats:" + std::to_string(reps);
        name += "/manual_time";
        if (!std::regex_search(name, filter)) continue;
        ++ran;
        std::vector<Run> runs;
        int64_t iterations = b.iterations_ ? b.iterations_ : 1;
        for (int rep = 0; rep < reps; ++rep) {
            double seconds = 0;
            Run r = run_once(b, iterations, &seconds);
            // The first repetition grows the count until the time is enough.
            while (rep == 0 && !b.iterations_ && r.error.empty() && seconds < o.min_time && iterations < 1000000000) {
                double grow = seconds / o.min_time > 0.1 ? o.min_time * 1.4 / std::max(seconds, 1e-9) : 10.0;
                iterations = std::max(static_cast<int64_t>(static_cast<double>(iterations) * grow), iterations + 1);
                r = run_once(b, iterations, &seconds);
            }
            r.name = r.run_name = name;
            r.run_type = "iteration";
            r.repetitions = reps;
            r.repetition_index = rep;
            runs.push_back(r);
            if (!r.error.empty()) break;
        }
        std::vector<Run> report = runs;
        if (reps > 1 && runs.back().error.empty()) {
            report.push_back(aggregate(runs, "mean", [](std::vector<double> v) { return mean_of(v); }));
            report.push_back(aggregate(runs, "median", median_of));
        }
        for (auto& r : report) {
            if (!o.aggregates_only || reps == 1 || r.run_type == "aggregate") print(r);
            out += (first ? "" : ",\n") + run_json(r);
            first = false;
        }
    }
    out += "\n  ]\n}\n";
    if (!o.out.empty()) {
        FILE* f = std::fopen(o.out.c_str(), "w");
        if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "could not write %s\n", o.out.c_str());
            std::exit(1);
        }
    }
    return ran;
}

inline void Shutdown() {}

}  // namespace benchmark

#endif  // TEMBRIX_BENCH_MINIBENCH_H_
