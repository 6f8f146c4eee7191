// Memory blocks: movable platform objects locked once, so they keep their
// address until resized or freed.
#ifndef TEMBRIX_MEMORY_BLOCKS_H_
#define TEMBRIX_MEMORY_BLOCKS_H_

#include <cstdint>

namespace tbx {

// The one flag bit callers may set: zero-filled memory.
inline constexpr uint8_t kZeroFill = 0x40;

// Resizes `block` as ZmdReAlloc does, except that a resized object that
// cannot be locked is locked once more before it is given up. A resized
// object is always lockable on the platform, so the caller does not lose a
// block it cannot rebuild (an entry list's slot array) to a passing failure.
void* resize_block(void* block, uint32_t size, uint8_t flags);

}  // namespace tbx

#endif  // TEMBRIX_MEMORY_BLOCKS_H_
