// Entry lists: caller-owned tables of zero-filled blocks in numbered slots.
#ifndef TEMBRIX_MEMORY_ENTRY_LIST_H_
#define TEMBRIX_MEMORY_ENTRY_LIST_H_

#include <cstdint>

#include "tembrix.h"

namespace tbx {

// A list never has more slots than this.
inline constexpr uint16_t kMaxSlots = 0xFFFE;

// Files a new block of `size` bytes in slot `slot` of `list`, which is
// either an empty slot below `count` or `count` itself (the array then
// grows by one slot; an empty list takes slot 0 only). `flags` is kZeroFill for a zero-filled block, or 0
// for one whose bytes the caller sets. Writes `slot` to `*index` first, and
// the block to `*entry` when `entry` is not null. Returns STATUS_OK or
// STATUS_NO_ROOM; the list changes only as far as each step succeeded.
uint32_t make_entry_at(EntryList* list, uint16_t slot, uint16_t* index, void** entry,
                       uint16_t size, uint8_t flags);

}  // namespace tbx

#endif  // TEMBRIX_MEMORY_ENTRY_LIST_H_
