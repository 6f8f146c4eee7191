// The fuzz entry points: decodes each input into calls from one table of
// all the families' calls, and checks after every call that the library
// holds exactly the global memory objects the families account for.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/harness.h"

namespace fuzz {
namespace {

const Family* const kFamilies[] = {&kStoreFamily, &kMemoryFamily};

// Long enough for any interesting sequence, short enough to keep an input
// fast whatever its size.
constexpr unsigned kMaxSteps = 600;

std::vector<Call> g_calls = {{"arm a failure", [](Session& s) { s.Arm(); }}};

void CheckObjects(const char* after) {
    int32_t held = 0;
    for (const Family* f : kFamilies) held += f->objects();
    int32_t live = tbx::fault::live_objects();
    FUZZ_CHECK(live == held, "after %s: %d global memory objects live, %d accounted for", after,
               static_cast<int>(live), static_cast<int>(held));
}

}  // namespace

void Session::Arm() {
    using namespace tbx::fault;
    k_ = 1 + Below(8);
    kinds_ = Pick<uint32_t>({kAlloc, kLock, kReAlloc, kFree, kMemory | kFree});
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
    for (const fuzz::Family* f : fuzz::kFamilies) {
        f->start();
        fuzz::g_calls.insert(fuzz::g_calls.end(), f->calls, f->calls + f->count);
    }
    fuzz::CheckObjects("start");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fuzz;
    static const bool trace = std::getenv("TBX_FUZZ_TRACE") != nullptr;
    Session session(data, size);
    for (unsigned steps = 0; !session.done() && steps < kMaxSteps; ++steps) {
        const Call& call = g_calls[session.Byte() % g_calls.size()];
        if (trace) std::fprintf(stderr, "step %u: %s\n", steps, call.name);
        call.run(session);
        CheckObjects(call.name);
    }
    for (const Family* f : kFamilies) {
        f->end_input();
        CheckObjects("the end of the input");
    }
    return 0;
}
