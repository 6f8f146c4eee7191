// Test tool: the pool's blocks that a release the platform refused dropped
// from their slots, still allocated, found again and freed, so that tests
// and the fuzz driver can keep their count of live objects exact.
#ifndef TEMBRIX_TESTS_DROPPED_BLOCKS_H_
#define TEMBRIX_TESTS_DROPPED_BLOCKS_H_

#include <vector>

#include "platform/platform.h"
#include "strings/pool.h"
#include "tembrix.h"

namespace testing_pool {

// The pool's slots now, to compare with after a call.
inline std::vector<void*> Slots() {
    return std::vector<void*>(tbx::stringPool.entries, tbx::stringPool.entries + tbx::stringPool.count);
}

// Frees each block that has left its slot since `before` and is still
// allocated. Returns how many there were, or -1 when one would not free.
inline int FreeDroppedBlocks(const std::vector<void*>& before) {
    int dropped = 0;
    for (size_t b = 0; b < before.size() && b < tbx::stringPool.count; ++b) {
        if (!before[b] || tbx::stringPool.entries[b] || !tbx::os::GlobalHandle(before[b])) continue;
        if (ZmdFree(before[b])) return -1;
        ++dropped;
    }
    return dropped;
}

}  // namespace testing_pool

#endif  // TEMBRIX_TESTS_DROPPED_BLOCKS_H_
