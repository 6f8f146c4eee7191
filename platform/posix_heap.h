// The stand-in's memory from the C library. Test builds can refuse any of
// these calls (fault::kHeap), so tests reach each path that copes with a
// refusal.
#ifndef TEMBRIX_PLATFORM_POSIX_HEAP_H_
#define TEMBRIX_PLATFORM_POSIX_HEAP_H_

#include <cstddef>
#include <cstdlib>

#include "platform/fault.h"

namespace tbx::os::posix {

inline void* c_malloc(size_t bytes) { return fault::hit(fault::kHeap) ? nullptr : std::malloc(bytes); }

inline void* c_calloc(size_t count, size_t size) {
    return fault::hit(fault::kHeap) ? nullptr : std::calloc(count, size);
}

inline void* c_realloc(void* memory, size_t bytes) {
    return fault::hit(fault::kHeap) ? nullptr : std::realloc(memory, bytes);
}

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_HEAP_H_
