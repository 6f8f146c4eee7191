// Entry lists: slot reuse, growth one slot at a time, the 65534-slot limit.
// What a failed allocation or free leaves behind is checked by the fuzz
// corpus replay, after every call of its two lists.
#include <gtest/gtest.h>

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

// This tests a fault where a slot kept a value ZmdFree refused -- a block
// the caller had freed already, a value that never was a block -- for
// good, so the next MakeListEntry grew the list instead of reusing it.
TEST(EntryList, RemoveEmptiesASlotThatHoldsNoBlock) {
    EntryList list{};
    uint16_t index = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 16));
    uint64_t local = 0x0123456789ABCDEF;
    void* blocks[2] = {list.entries[0], list.entries[2]};
    ASSERT_EQ(nullptr, ZmdFree(list.entries[1]));
    list.entries[0] = &local;
    list.entries[2] = static_cast<char*>(blocks[1]) + 8;  // inside a block
    for (uint16_t i : {0, 1, 2}) {
        EXPECT_EQ(STATUS_OK, RemoveListEntry(&list, i));
        EXPECT_EQ(nullptr, list.entries[i]);
    }
    EXPECT_EQ(0x0123456789ABCDEFu, local);
    for (void* b : blocks) EXPECT_EQ(nullptr, ZmdFree(b));
    for (uint16_t want : {0, 1, 2}) {
        ASSERT_EQ(STATUS_OK, MakeListEntry(&list, &index, nullptr, 16));
        EXPECT_EQ(want, index);
    }
    EXPECT_EQ(3, list.count);
    Clear(&list);
}

}  // namespace
