/* An application of the installed library: it sees only the public header
 * and links whatever it was pointed at (the shared library through
 * pkg-config, or a DLL's import library for mingw or for MSVC's linker).
 * It calls no C library function, so it also links with no runtime at all.
 * The exit status is the number of failed checks. */
#include "tembrix.h"

#if !defined(TEMBRIX_VERSION_MAJOR) || !defined(TEMBRIX_VERSION_MINOR) || \
    !defined(TEMBRIX_VERSION_PATCH)
#error "tembrix.h gives no version"
#endif
/* The version the package says it is (pkg-config --modversion, the bundle's
 * name), when the build passes it in. */
#if defined(EXPECT_MAJOR) && (TEMBRIX_VERSION_MAJOR != EXPECT_MAJOR || \
    TEMBRIX_VERSION_MINOR != EXPECT_MINOR || TEMBRIX_VERSION_PATCH != EXPECT_PATCH)
#error "the header's version is not the package's"
#endif

static int same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

int main(void) {
    int failed = 0;
    char buffer[16];
    StringHandle text;
    EntryList list;
    uint16_t index = 0xFFFF;
    void *block = 0;

    /* Text handles: a round trip, then the handle is rejected once freed. */
    text = hstrput("consumer");
    failed += text == 0 || text == HSTR_EMPTY;
    failed += hstrlen(text) != 8;
    failed += hstrget(text, buffer, sizeof buffer) != 8 || !same_text(buffer, "consumer");
    failed += hstrcmp(text, "consumes") != -1;
    hstrfree(text);
    failed += hstrlen(text) != 0xFFFF;

    /* An entry list of the caller's own, zeroed field by field (an
     * initialiser may become a memset call, which a build with no runtime
     * cannot resolve). */
    list.entries = 0;
    list.count = 0;
    failed += MakeListEntry(&list, &index, &block, 64) != STATUS_OK;
    failed += index != 0 || block == 0 || list.count != 1 || list.entries[0] != block;
    failed += RemoveListEntry(&list, 0) != STATUS_OK || list.entries[0] != 0;
    failed += ZmdFree(list.entries) != 0;
    return failed;
}
