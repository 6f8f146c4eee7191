// What white-box tests read of the pool: its slots, blocks and invariants.
#ifndef TEMBRIX_TESTS_POOL_ACCESS_H_
#define TEMBRIX_TESTS_POOL_ACCESS_H_

#include <gtest/gtest.h>

#include "strings/pool.h"

namespace testing_pool {

inline tbx::ChunkBlock* Block(unsigned index) {
    return static_cast<tbx::ChunkBlock*>(tbx::stringPool.entries[index]);
}

inline uint32_t Link(uint32_t handle) {
    return Block(handle & 0xFFFF)->links[(handle >> 16) & 0xFF];
}

// Fails the test when the pool's invariants do not hold.
#define EXPECT_POOL_SOUND()                                  \
    do {                                                     \
        const char* fault_ = tbx::pool_fault();              \
        EXPECT_EQ(nullptr, fault_) << (fault_ ? fault_ : ""); \
    } while (0)

}  // namespace testing_pool

#endif  // TEMBRIX_TESTS_POOL_ACCESS_H_
