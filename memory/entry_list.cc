// MakeListEntry and RemoveListEntry.
#include "memory/entry_list.h"

#include "memory/blocks.h"

namespace tbx {

uint32_t make_entry_at(EntryList* list, uint16_t slot, uint16_t* index, void** entry,
                       uint16_t size, uint8_t flags) {
    if (list->count == 0) {
        // The first slot array replaces whatever `entries` held.
        list->entries = static_cast<void**>(ZmdAlloc(kZeroFill, sizeof(void*)));
        if (!list->entries) return STATUS_NO_ROOM;
        list->count = 1;
    } else if (slot >= list->count) {
        *index = list->count;
        void* grown = resize_block(list->entries,
                                   static_cast<uint32_t>(sizeof(void*)) * (list->count + 1u), kZeroFill);
        if (!grown) return STATUS_NO_ROOM;
        list->entries = static_cast<void**>(grown);
        slot = list->count++;
    }
    *index = slot;
    if (entry) *entry = nullptr;
    void* block = ZmdAlloc(flags, size);
    if (!block) return STATUS_NO_ROOM;
    list->entries[slot] = block;
    if (entry) *entry = block;
    return STATUS_OK;
}

}  // namespace tbx

using namespace tbx;

extern "C" uint32_t TBX_CALL MakeListEntry(EntryList* list, uint16_t* index, void** entry,
                                           uint16_t size) noexcept {
    if (list->count >= kMaxSlots) return STATUS_NO_ROOM;
    uint16_t slot = 0;
    while (slot < list->count && list->entries[slot]) ++slot;
    return make_entry_at(list, slot, index, entry, size, kZeroFill);
}

extern "C" uint32_t TBX_CALL RemoveListEntry(EntryList* list, uint16_t index) noexcept {
    if (index >= list->count || !list->entries[index]) return STATUS_OK;
    // The slot is emptied whatever ZmdFree says. It fails for a value that
    // is no block (one the caller freed already, one that never was), and
    // keeping that would leave a dangling slot no later call can reuse. It
    // also fails when the platform will not release a live block: that
    // block is dropped and stays allocated, a leak callers accept.
    ZmdFree(list->entries[index]);
    list->entries[index] = nullptr;
    return STATUS_OK;
}
