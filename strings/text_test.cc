// Text handles: the NUL stored with each text, the empty text's own handle,
// truncated reads and size queries, and texts too long to store.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tembrix.h"

namespace {

TEST(Text, StoreReadCompareFree) {
    StringHandle h = hstrput("hello");
    EXPECT_EQ(6, ZmsLen(h));
    EXPECT_EQ(5, hstrlen(h));
    char buffer[16];
    EXPECT_EQ(5, hstrget(h, buffer, 6));
    EXPECT_STREQ("hello", buffer);
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(0xFFFF, hstrget(h, buffer, 5));
    EXPECT_STREQ("hell", buffer);
    EXPECT_EQ(5, hstrget(h, nullptr, 6));
    EXPECT_EQ(0xFFFF, hstrget(h, nullptr, 5));
    EXPECT_EQ(0xFFFF, hstrget(h, buffer, 0));
    EXPECT_EQ('h', buffer[0]);
    // No text and the empty text read and compare as an empty text.
    for (StringHandle empty : {0u, HSTR_EMPTY}) {
        buffer[0] = 'q';
        EXPECT_EQ(0, hstrget(empty, buffer, 16));
        EXPECT_EQ('\0', buffer[0]);
        EXPECT_EQ(0, hstrlen(empty));
        EXPECT_EQ(nullptr, hstrptr(empty));
        EXPECT_EQ(0, hstrcmp(empty, nullptr));
        EXPECT_EQ(-1, hstrcmp(empty, "x"));
        hstrfree(empty);
    }
    EXPECT_EQ(HSTR_EMPTY, hstrput(""));
    EXPECT_EQ(HSTR_EMPTY, hstrput(nullptr));
    for (auto [text, want] : {std::pair{"hello", 0}, {"hellp", -1}, {"hell", 1}, {"hello!", -1}, {"", 1}})
        EXPECT_EQ(want, hstrcmp(h, text)) << text;
    EXPECT_EQ(1, hstrcmp(h, nullptr));
    // A rejected handle: 0xFFFF from reads and lengths, only the first NUL.
    hstrfree(h);
    std::strcpy(buffer, "zzzzzzz");
    EXPECT_EQ(0xFFFF, hstrget(h, buffer, 8));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ('z', buffer[1]);
    EXPECT_EQ(0xFFFF, hstrget(h, nullptr, 8));
    EXPECT_EQ(0xFFFF, hstrlen(h));
    EXPECT_EQ(2, hstrcmp(h, "hello"));
    EXPECT_EQ(0u, hstrdup(h, nullptr));
}

TEST(Text, DuplicateAndBorrow) {
    StringHandle h = hstrput("abc");
    EXPECT_EQ(HSTR_EMPTY, hstrdup(0, nullptr));
    EXPECT_EQ(HSTR_EMPTY, hstrdup(HSTR_EMPTY, nullptr));
    EXPECT_EQ(HSTR_EMPTY, hstrdup(h, ""));
    EXPECT_EQ(0, hstrcmp(hstrdup(0x12345678, "xyz"), "xyz"));
    StringHandle copy = hstrdup(h, nullptr);
    EXPECT_NE(h, copy);
    hstrfree(h);
    EXPECT_EQ(0, hstrcmp(copy, "abc"));
    // A text is borrowed in place only while it fits one chunk.
    std::string t31(31, 'a'), t32(32, 'b');
    StringHandle h31 = hstrput(t31.c_str()), h32 = hstrput(t32.c_str());
    ASSERT_NE(nullptr, hstrptr(h31));
    EXPECT_EQ(t31, hstrptr(h31));
    EXPECT_EQ(nullptr, hstrptr(h32));
}

TEST(Text, LongestAndTooLongTexts) {
    // 65534 characters: stored with the NUL as 65535 bytes, the same value
    // as the mark for a buffer that is too small.
    std::string longest(65534, 'm');
    StringHandle h = hstrput(longest.c_str());
    ASSERT_NE(0u, h);
    EXPECT_EQ(65535, ZmsLen(h));
    EXPECT_EQ(65534, hstrlen(h));
    std::string buffer(65535, 'z');
    EXPECT_EQ(0xFFFF, hstrget(h, buffer.data(), 65535));
    EXPECT_EQ(longest, buffer.c_str());
    EXPECT_EQ(0xFFFF, hstrget(h, buffer.data(), 100));
    EXPECT_EQ(99u, std::strlen(buffer.c_str()));
    EXPECT_EQ(65534, hstrget(h, nullptr, 65535));
    // 65535 characters and more cannot be stored, but still compare right:
    // the first 65535 bytes decide.
    std::string too_long(65535, 'm'), much_too_long(70000, 'm');
    EXPECT_EQ(0u, hstrput(too_long.c_str()));
    EXPECT_EQ(0u, hstrdup(h, much_too_long.c_str()));
    EXPECT_EQ(0, hstrcmp(h, longest.c_str()));
    EXPECT_EQ(-1, hstrcmp(h, too_long.c_str()));
    EXPECT_EQ(-1, hstrcmp(h, much_too_long.c_str()));
    EXPECT_EQ(1, hstrcmp(hstrput("n"), much_too_long.c_str()));
    EXPECT_EQ(-1, hstrcmp(HSTR_EMPTY, much_too_long.c_str()));
}

}  // namespace
