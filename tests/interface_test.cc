// The shipped library through its public header: what a caller sees of
// the store, including the block format behind ZmsPtr.
#include <cstring>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

// The start of the block that holds the one-chunk string `h`: its payload
// lies 1026 + 32 * chunk bytes in.
const uint8_t* BlockOf(StringHandle h) {
    return static_cast<const uint8_t*>(ZmsPtr(h)) - 1026 - 32 * ((h >> 16) & 0xFF);
}

uint16_t Used(const uint8_t* block) {
    uint16_t used;
    std::memcpy(&used, block, 2);
    return used;
}

uint32_t LinkWord(const uint8_t* block, unsigned chunk) {
    uint32_t link;
    std::memcpy(&link, block + 2 + 4 * chunk, 4);
    return link;
}

TEST(Interface, RoadOfOneTextThroughTheBlock) {
    StringHandle h = hstrput("hello");
    ASSERT_EQ(0xFF000000u, h);
    const uint8_t* block = BlockOf(h);
    EXPECT_EQ(1, Used(block));
    EXPECT_EQ(0x06FFFFFFu, LinkWord(block, 0));
    char buffer[80];
    EXPECT_EQ(5, hstrget(h, buffer, sizeof buffer));
    EXPECT_STREQ("hello", buffer);
    StringHandle abc = ZmsPut("abc", 3);
    EXPECT_EQ(0xFF010000u, abc);
    EXPECT_EQ(2, Used(block));
    EXPECT_EQ(0x03FFFFFFu, LinkWord(block, 1));
    ZmsFree(abc);
    EXPECT_EQ(0u, LinkWord(block, 1));
    EXPECT_EQ(1, Used(block));
    hstrfree(h);
    // The block is gone with its last chunk: the handle is rejected.
    EXPECT_EQ(0xFFFF, hstrlen(h));
    EXPECT_EQ(0xFF000000u, ZmsPut("again", 5));
}

}  // namespace
