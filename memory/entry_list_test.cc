// Entry lists: slot reuse, growth one slot at a time, the 65534-slot limit,
// and what a failed allocation or free leaves behind.
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
    for (uint16_t want = 0; want < 3; ++want) {
        ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 16));
        EXPECT_EQ(want, index);
        EXPECT_EQ(want + 1, list.count);
        EXPECT_EQ(entry, list.entries[want]);
        EXPECT_EQ(0, static_cast<uint8_t*>(entry)[15]);
    }
    // Removing empties the slot and keeps the count; removing an empty
    // slot or one past the end changes nothing.
    for (uint16_t i : {1, 0, 0, 3, 0xFFFF}) EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, i));
    EXPECT_EQ(nullptr, list.entries[0]);
    EXPECT_EQ(3, list.count);
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 8));
    EXPECT_EQ(0, index);
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 8));
    EXPECT_EQ(1, index);
    EXPECT_EQ(3, list.count);
    Clear(&list);

    // A block of size 0 fails after its slot was chosen and the array made.
    EXPECT_EQ(STATUS_NO_ROOM, MakeListEntry(&list, &index, nullptr, 0));
    EXPECT_EQ(0, index);
    EXPECT_EQ(1, list.count);
    EXPECT_EQ(nullptr, list.entries[0]);
    Clear(&list);

    // A full list refuses even with empty slots, and writes nothing back.
    list.count = 0xFFFE;
    list.entries = static_cast<void**>(ZmdAlloc(0x40, sizeof(void*) * 0xFFFE));
    ASSERT_NE(nullptr, list.entries);
    index = 1234;
    entry = &list;
    EXPECT_EQ(STATUS_NO_ROOM, MakeListEntry(&list, &index, &entry, 16));
    EXPECT_EQ(1234, index);
    EXPECT_EQ(static_cast<void*>(&list), entry);
    EXPECT_EQ(nullptr, ZmdFree(list.entries));
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
                // The slot was chosen, then its block failed: the slot is
                // empty, its index written, *entry cleared.
                EXPECT_EQ(STATUS_NO_ROOM, status);
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

// This tests a bug where RemoveListEntry emptied the slot of a block the
// platform would not free, so the list lost the only pointer to its block.
TEST(EntryList, RemoveKeepsABlockThatCannotBeFreed) {
    EntryList list{};
    uint16_t index;
    void* entry;
    ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, &entry, 64));
    static_cast<uint8_t*>(entry)[63] = 0x77;
    int32_t live = tbx::fault::live_objects();
    tbx::fault::arm(1, tbx::fault::kFree);
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, index));
    tbx::fault::arm(0);
    ASSERT_EQ(entry, list.entries[index]);
    EXPECT_EQ(0x77, static_cast<uint8_t*>(entry)[63]);
    EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, index));
    EXPECT_EQ(nullptr, list.entries[index]);
    EXPECT_EQ(live - 1, tbx::fault::live_objects());
    EXPECT_EQ(nullptr, ZmdFree(list.entries));
}

}  // namespace
