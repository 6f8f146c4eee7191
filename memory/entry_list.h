// Entry lists: caller-owned tables of zero-filled blocks in numbered slots.
#ifndef TEMBRIX_MEMORY_ENTRY_LIST_H_
#define TEMBRIX_MEMORY_ENTRY_LIST_H_

#include <cstdint>

#include "tembrix.h"

namespace tbx {

// A list never has more slots than this.
inline constexpr uint16_t kMaxSlots = 0xFFFE;

// Files a new zero-filled block of `size` bytes in slot `slot` of `list`,
// which is either an empty slot below `count` or `count` itself (the array
// then grows by one slot). Writes `slot` to `*index` first, and the block to
// `*entry` when `entry` is not null. Returns STATUS_OK or STATUS_NO_ROOM;
// the list changes only as far as each step succeeded.
uint32_t make_entry_at(EntryList* list, uint16_t slot, uint16_t* index, void** entry,
                       uint16_t size);

}  // namespace tbx

#endif  // TEMBRIX_MEMORY_ENTRY_LIST_H_
