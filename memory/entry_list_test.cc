// Entry lists: slot reuse, growth one slot at a time, the 65534-slot limit,
// and what a failed allocation leaves behind.
#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tembrix.h"

namespace {

void Clear(EntryList* list) {
    for (uint16_t i = 0; i < list->count; ++i) RemoveListEntry(list, i);
    ZmdFree(list->entries);
    *list = EntryList{};
}

TEST(EntryList, FillsLowestEmptySlotAndGrowsByOne) {
    EntryList list{};
    uint16_t index = 99;
    void* entry = nullptr;
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 16));
    EXPECT_EQ(0, index);
    EXPECT_EQ(1, list.count);
    EXPECT_EQ(entry, list.entries[0]);
    auto* bytes = static_cast<uint8_t*>(entry);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(0, bytes[i]);

    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 16));
    EXPECT_EQ(1, index);
    EXPECT_EQ(2, list.count);
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 16));
    EXPECT_EQ(2, index);

    // Removing leaves the slot empty and the count as it was; the next
    // entry takes the lowest empty slot.
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 1));
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 0));
    EXPECT_EQ(nullptr, list.entries[0]);
    EXPECT_EQ(3, list.count);
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 8));
    EXPECT_EQ(0, index);
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 8));
    EXPECT_EQ(1, index);
    EXPECT_EQ(3, list.count);

    // Removing an empty slot, or one past the end, changes nothing.
    void* kept = list.entries[2];
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 2));
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 2));
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 3));
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, 0xFFFF));
    EXPECT_EQ(nullptr, list.entries[2]);
    EXPECT_NE(nullptr, kept);
    Clear(&list);
}

TEST(EntryList, FullListRefusesEvenWithEmptySlots) {
    EntryList list{};
    list.count = 0xFFFE;
    list.entries = static_cast<void**>(ZmdAlloc(0x40, sizeof(void*) * 0xFFFE));
    ASSERT_NE(nullptr, list.entries);
    uint16_t index = 1234;
    void* entry = &list;
    EXPECT_EQ(STATUS_NO_ROOM, MakeListEntry(&list, &index, &entry, 16));
    EXPECT_EQ(1234, index);
    EXPECT_EQ(static_cast<void*>(&list), entry);
    EXPECT_EQ(nullptr, ZmdFree(list.entries));
}

TEST(EntryList, SizeZeroBlockIsNoRoom) {
    EntryList list{};
    uint16_t index = 7;
    EXPECT_EQ(STATUS_NO_ROOM, MakeListEntry(&list, &index, nullptr, 0));
    // The slot was chosen and the array made before the block failed.
    EXPECT_EQ(0, index);
    EXPECT_EQ(1, list.count);
    EXPECT_EQ(nullptr, list.entries[0]);
    Clear(&list);
}

// Every allocation of MakeListEntry fails in turn: the first array, the
// grown array, the block. Each failure gives STATUS_NO_ROOM and leaves the
// list usable, changed only by the steps that succeeded.
TEST(EntryList, EachFailedAllocationLeavesAUsableList) {
    for (int grown = 0; grown <= 1; ++grown) {
        for (uint32_t k = 1;; ++k) {
            int32_t live = tbx::fault::live_objects();
            EntryList list{};
            uint16_t index = 0;
            if (grown) ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 32));
            uint16_t count_before = list.count;
            void** entries_before = list.entries;
            index = 0xBEEF;
            void* entry = &list;
            tbx::fault::arm(k);
            uint32_t status = MakeListEntry(&list, &index, &entry, 32);
            bool fired = tbx::fault::fired();
            tbx::fault::arm(0);
            if (!fired) {
                EXPECT_EQ(STATUS_OK, status);
                Clear(&list);
                EXPECT_GE(k, 2u);
                break;
            }
            SCOPED_TRACE(testing::Message() << "grown " << grown << ", failing call " << k);
            if (status == STATUS_OK) {
                // A grown array that could not be locked is locked again
                // rather than lost with every block in it.
                EXPECT_EQ(count_before + 1, list.count);
                EXPECT_EQ(list.entries[index], entry);
            } else if (list.count == count_before && list.entries == entries_before) {
                // The array could not be made or grown: index tells the old
                // count (or is untouched for a first array), entry untouched.
                EXPECT_EQ(STATUS_NO_ROOM, status);
                EXPECT_EQ(grown ? count_before : 0xBEEF, index);
                EXPECT_EQ(static_cast<void*>(&list), entry);
            } else {
                EXPECT_EQ(STATUS_NO_ROOM, status);
                // The slot was chosen, then its block failed: the slot is
                // empty, its index written, *entry cleared.
                EXPECT_EQ(list.count - 1, index);
                EXPECT_EQ(nullptr, list.entries[index]);
                EXPECT_EQ(nullptr, entry);
            }
            // The list still works, and holds every object that was made.
            ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 32));
            EXPECT_NE(nullptr, list.entries[index]);
            Clear(&list);
            EXPECT_EQ(live, tbx::fault::live_objects());
        }
    }
}

}  // namespace
