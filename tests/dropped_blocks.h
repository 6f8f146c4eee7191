// Test tool: the block a refused release dropped from the pool, freed by
// the test so that its count of live objects stays exact.
#ifndef TEMBRIX_TESTS_DROPPED_BLOCKS_H_
#define TEMBRIX_TESTS_DROPPED_BLOCKS_H_

#include <algorithm>

#include "platform/platform.h"
#include "strings/pool.h"

namespace testing_pool {

// Frees `refused`, the object whose GlobalFree an armed failure refused
// (fault::refused(), read before disarming), or does nothing for null.
// Returns false when a slot of the pool still holds it or it would not
// free: a release the platform refuses drops the block from its slot.
inline bool FreeRefused(void* refused) {
    if (!refused) return true;
    void* address = tbx::os::GlobalLock(refused);
    void** end = tbx::stringPool.entries + tbx::stringPool.count;
    bool filed = address && std::find(tbx::stringPool.entries, end, address) != end;
    while (tbx::os::GlobalUnlock(refused) != 0) {
    }
    return !filed && !tbx::os::GlobalFree(refused);
}

}  // namespace testing_pool

#endif  // TEMBRIX_TESTS_DROPPED_BLOCKS_H_
