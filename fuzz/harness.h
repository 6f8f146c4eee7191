// The fuzz driver's shared parts: the input decoder, the failure an input
// arms for its next platform call, and the table of calls an input is
// decoded into.
//
// An input is a sequence of steps. Each step starts with one byte that
// picks one call from the table (one entry arms a failure); the call then
// takes the arguments it needs from the bytes that follow. Past the end of
// the input every byte reads as 0, so any byte string is a valid input.
//
// To fuzz another part of the interface, write a <part>_calls.cc that
// defines a Family and add it to kFamilies in fuzz_main.cc. After every
// call the driver counts the global memory objects the library holds
// against what the families say they hold.
#ifndef TEMBRIX_FUZZ_HARNESS_H_
#define TEMBRIX_FUZZ_HARNESS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "platform/fault.h"

namespace fuzz {

// One input as it is decoded into calls, and the failure armed for the
// next call that reaches the platform.
class Session {
public:
    Session(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    // Returns a value below `n`, 0 < n <= 65536.
    unsigned Below(size_t n) { return static_cast<unsigned>((n <= 256 ? Byte() : U16()) % n); }
    // Returns one of `options`; all of them were read from the input first.
    template <typename T>
    T Pick(std::initializer_list<T> options) { return options.begin()[Below(options.size())]; }

    // Reads a failure from the input: the k-th call (1..8) of one kind of
    // platform memory call, or of any of them, will fail.
    void Arm();

    // Drops an armed failure of GlobalFree. For calls that make an object
    // of 0 bytes, which cannot be locked and is freed again at once: if
    // that free fails too, the object is lost to the library and the
    // caller alike, a leak no code could avoid.
    void DisarmFree() {
        if (kinds_ & tbx::fault::kFree) k_ = 0;
    }

    // Runs `call` with the armed failure, if any, and disarms it. Afterwards
    // `fired` tells whether the failure happened inside the call.
    template <typename Call>
    auto Fallible(Call call) {
        tbx::fault::arm(k_, kinds_);
        auto result = call();
        fired = tbx::fault::fired();
        refused = tbx::fault::refused();
        tbx::fault::arm(0);
        k_ = 0;
        return result;
    }

    bool fired = false;
    void* refused = nullptr;  // the object whose GlobalFree the failure refused

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint32_t k_ = 0;
    uint32_t kinds_ = 0;
};

// One call: decodes its arguments, makes it and checks what it did.
struct Call {
    const char* name;
    void (*run)(Session&);
};

// One part of the interface as the fuzzer drives it.
struct Family {
    const Call* calls;
    size_t count;
    void (*start)();        // once per process
    void (*end_input)();    // checks and releases all the input made
    int32_t (*objects)();   // global memory objects held
};

extern const Family kStoreFamily;
extern const Family kMemoryFamily;

// Reports a divergence or a broken promise and aborts, which the fuzzer
// records as a crash with the input that caused it.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz

#define FUZZ_CHECK(cond, ...) ((cond) ? void() : ::fuzz::Fail(__VA_ARGS__))

#endif  // TEMBRIX_FUZZ_HARNESS_H_
