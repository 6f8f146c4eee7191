// The fuzz entry points: decodes each input into steps, runs them on the
// families, and checks after every step that the library holds exactly the
// global memory objects the families account for.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "fuzz/harness.h"

namespace fuzz {
namespace {

const Family* const kFamilies[] = {&kStoreFamily, &kMemoryFamily};

// Long enough for any interesting sequence, short enough to keep an input
// fast whatever its size.
constexpr unsigned kMaxSteps = 600;

int32_t g_baseline = 0;  // objects held by no family (none, in practice)

int32_t FamilyObjects() {
    int32_t n = 0;
    for (const Family* f : kFamilies) n += f->objects();
    return n;
}

void CheckObjects(const char* after) {
    int32_t live = tbx::fault::live_objects();
    int32_t held = FamilyObjects() + g_baseline;
    FUZZ_CHECK(live == held, "after %s: %d global memory objects live, %d accounted for", after,
               static_cast<int>(live), static_cast<int>(held));
}

void Start() {
    static bool started = false;
    if (started) return;
    started = true;
    for (const Family* f : kFamilies) f->start();
    g_baseline = tbx::fault::live_objects() - FamilyObjects();
}

}  // namespace

void Session::ArmFromInput() {
    static constexpr uint32_t kKinds[] = {tbx::fault::kAlloc, tbx::fault::kLock, tbx::fault::kReAlloc,
                                          tbx::fault::kFree, tbx::fault::kMemory | tbx::fault::kFree};
    pending_k_ = 1 + in.Below(8);
    pending_kinds_ = kKinds[in.Below(sizeof kKinds / sizeof kKinds[0])];
}

void Fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("tembrix fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

}  // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fuzz;
    Start();
    unsigned calls = 1;  // step 0 arms a failure
    for (const Family* f : kFamilies) calls += f->calls;
    static const bool trace = std::getenv("TBX_FUZZ_TRACE") != nullptr;
    Input in(data, size);
    Session session(in);
    for (unsigned steps = 0; !in.done() && steps < kMaxSteps; ++steps) {
        unsigned call = in.Byte() % calls;
        if (call == 0) {
            session.ArmFromInput();
            continue;
        }
        --call;
        for (const Family* f : kFamilies) {
            if (call < f->calls) {
                if (trace) std::fprintf(stderr, "step %u: %s call %u\n", steps, f->name, call);
                f->step(session, call);
                CheckObjects(f->name);
                break;
            }
            call -= f->calls;
        }
    }
    for (const Family* f : kFamilies) {
        f->end_input();
        CheckObjects(f->name);
    }
    return 0;
}
