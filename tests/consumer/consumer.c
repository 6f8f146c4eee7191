/* An application in C of the library: it sees only the public header and
 * links whatever it was pointed at (the test build's library, the installed
 * shared library through pkg-config, or a DLL's import library for mingw or
 * for MSVC's linker). It calls every family of the interface with the
 * types the header gives, and no C library function, so it also links with
 * no runtime at all. The exit status is the number of failed checks. */
#include <stddef.h>

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

/* The widths and layouts the interface fixes. */
typedef char check_handle_width[sizeof(StringHandle) == 4 ? 1 : -1];
typedef char check_list[offsetof(EntryList, entries) == 0 && offsetof(EntryList, count) == sizeof(void *) ? 1 : -1];
typedef char check_status[STATUS_OK == 257 && STATUS_BAD_REF == 261 && STATUS_NO_ROOM == 262 ? 1 : -1];
typedef char check_empty[HSTR_EMPTY == 0x00FFFFFFu ? 1 : -1];
typedef char check_record_size[sizeof(FindRecord) == 544 ? 1 : -1];
typedef char check_record_fields[offsetof(FindRecord, attrib) == 4 && offsetof(FindRecord, time_create) == 8 &&
                                 offsetof(FindRecord, time_access) == 12 && offsetof(FindRecord, time_write) == 16 &&
                                 offsetof(FindRecord, size) == 20 && offsetof(FindRecord, name) == 24 &&
                                 offsetof(FindRecord, name_copy) == 284 ? 1 : -1];
typedef char check_flags[WF_CPU386 == 4 && WF_CPU486 == 8 && WF_STANDARD == 16 && WF_ENHANCED == 32 ? 1 : -1];

static int same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

int main(void) {
    int failed = 0;
    char buffer[16];
    StringHandle text, copy;
    EntryList list;
    uint16_t index = 0xFFFF, v[5] = {1, 1, 1, 1, 1};
    void *block = 0, *mutex;
    FindRecord record;

    /* Text handles and raw strings: round trips, then rejection once freed. */
    text = hstrput("from C");
    failed += hstrlen(text) != 6 || ZmsLen(text) != 7;
    failed += hstrget(text, buffer, sizeof buffer) != 6 || !same_text(buffer, "from C");
    failed += hstrcmp(text, "from D") != -1 || ZmsCmp(text, "from C", 7) != 0;
    failed += hstrptr(text) == 0 || !same_text(hstrptr(text), "from C") || ZmsPtr(text) != hstrptr(text);
    copy = hstrdup(text, 0);
    hstrfree(text);
    failed += hstrlen(text) != 0xFFFF || ZmsGet(ZmsDup(copy), buffer, 2) != 0xFFFF;
    ZmsFree(copy);
    failed += ZmsPut("a\0b", 3) == 0;

    /* An entry list of the caller's own, zeroed field by field (an
     * initialiser may become a memset call, which a build with no runtime
     * cannot resolve), and its blocks. */
    list.entries = 0;
    list.count = 0;
    failed += MakeListEntry(&list, &index, &block, 64) != STATUS_OK;
    failed += index != 0 || block == 0 || list.count != 1 || list.entries[0] != block;
    failed += RemoveListEntry(&list, 0) != STATUS_OK || list.entries[0] != 0;
    failed += ZmdReAlloc(list.entries, 16, 0x40) == 0 || ZmdFree(ZmdAlloc(0, 1)) != 0;

    /* Files, and the machine services. */
    failed += ZfdOpen("no such file.txt", 0x80000000u, 0) != (void *)-1;
    record.handle = 0;
    failed += ZfdFindFirst("no such directory/*", 0, &record) != -1 || record.handle != -1;
    failed += (ZmdGetWinFlags() & ~(WF_CPU386 | WF_CPU486 | WF_STANDARD | WF_ENHANCED)) != 0;
    failed += ZmdDPMIGetVersion(&v[0], &v[1], &v[2], &v[3], &v[4]) != STATUS_OK || v[3] != 16 ||
              (v[0] | v[1] | v[2] | v[4]) != 0;
    failed += ZmdExecute(1) != 0 || ZmdFindWindow(1, 2) != 0 || ZmdRegisterMessage(1) != 0 ||
              ZmdSendMessage(1, 2, 3, 4) != 0;
    failed += ZmdGetCurrentTask() == 0 || ZmdGetModuleFileName(0, buffer, 1) != 1;
    failed += ZmdLoadLibrary("tbx-no-such-module") != 0 || ZmdFreeLibrary(0) != 0;
    mutex = ZmdCreateMutex(1, 0);
    failed += !ZmdIsValidMutex(mutex) || ZmdIsValidMutex(0) || ZmdWaitForSingleObject(mutex, 0) != 0;
    failed += !ZmdReleaseMutex(mutex) || !ZmdReleaseMutex(mutex) || ZmdReleaseMutex(mutex);
    failed += !ZmdCloseHandle(mutex) || ZmdOpenMutex("tbx-abi-none") != 0;
    return failed;
}
