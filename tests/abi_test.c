/* The public header compiled as C: every type, constant and function is
 * usable from C with the widths the interface fixes. */
#include <stddef.h>
#include <string.h>

#include "tembrix.h"

typedef char check_handle_width[sizeof(StringHandle) == 4 ? 1 : -1];
typedef char check_entries_first[offsetof(EntryList, entries) == 0 ? 1 : -1];
typedef char check_count_after[offsetof(EntryList, count) == sizeof(void *) ? 1 : -1];
typedef char check_status[STATUS_OK == 257 && STATUS_BAD_REF == 261 && STATUS_NO_ROOM == 262 ? 1 : -1];
typedef char check_empty[HSTR_EMPTY == 0x00FFFFFFu ? 1 : -1];
typedef char check_record_size[sizeof(FindRecord) == 544 ? 1 : -1];
typedef char check_record_fields[offsetof(FindRecord, attrib) == 4 && offsetof(FindRecord, time_create) == 8 &&
                                 offsetof(FindRecord, time_access) == 12 && offsetof(FindRecord, time_write) == 16 &&
                                 offsetof(FindRecord, size) == 20 ? 1 : -1];
typedef char check_record_names[offsetof(FindRecord, name) == 24 && offsetof(FindRecord, name_copy) == 284 ? 1 : -1];
typedef char check_flags[WF_CPU386 == 4 && WF_CPU486 == 8 && WF_STANDARD == 16 && WF_ENHANCED == 32 ? 1 : -1];

/* Stores a text through the C interface and reads it back in every way.
 * Returns 0 when all agree, else the number of the first check that failed. */
int tbx_abi_round_trip(void) {
    char buffer[32];
    EntryList list = {0, 0};
    uint16_t index = 0;
    void *entry = 0;
    StringHandle h = hstrput("from C");
    StringHandle copy;
    FindRecord record;
    if (h == 0) return 1;
    if (hstrlen(h) != 6 || ZmsLen(h) != 7) return 2;
    if (hstrget(h, buffer, sizeof buffer) != 6 || strcmp(buffer, "from C") != 0) return 3;
    if (hstrcmp(h, "from C") != 0 || ZmsCmp(h, "from C", 7) != 0) return 4;
    if (hstrptr(h) == 0 || strcmp(hstrptr(h), "from C") != 0 || ZmsPtr(h) != hstrptr(h)) return 5;
    copy = hstrdup(h, 0);
    if (copy == 0 || copy == h || hstrcmp(copy, "from C") != 0) return 6;
    hstrfree(h);
    hstrfree(copy);
    if (ZmsGet(ZmsDup(0), buffer, 1) != 0) return 7;
    if (MakeListEntry(&list, &index, &entry, 8) != STATUS_OK || index != 0 || entry != list.entries[0]) return 8;
    if (RemoveListEntry(&list, 0) != STATUS_OK || list.entries[0] != 0) return 9;
    if (ZmdReAlloc(list.entries, 16, 0x40) == 0) return 10;
    if (ZmdFree(ZmdAlloc(0, 1)) != 0) return 11;
    if (ZfdOpen("no such file.txt", 0x80000000u, 0) != (void *)-1) return 12;
    record.handle = 0;
    if (ZfdFindFirst("no such directory/*", 0, &record) != -1 || record.handle != -1) return 13;
    return 0;
}

/* Calls the machine services through the C interface of the shipped
 * library. Returns 0 when all answer as they should, else the number of
 * the first check that failed. */
int tbx_abi_machine(void) {
    uint16_t v[5] = {1, 1, 1, 1, 1};
    uint32_t flags = ZmdGetWinFlags();
    void *mutex;
    if ((flags & ~(WF_CPU386 | WF_CPU486 | WF_STANDARD | WF_ENHANCED)) != 0) return 1;
    if (ZmdDPMIGetVersion(&v[0], &v[1], &v[2], &v[3], &v[4]) != STATUS_OK || v[3] != 16 ||
        (v[0] | v[1] | v[2] | v[4]) != 0)
        return 2;
    if (ZmdExecute(1) != 0 || ZmdFindWindow(1, 2) != 0 || ZmdRegisterMessage(1) != 0 ||
        ZmdSendMessage(1, 2, 3, 4) != 0)
        return 3;
    if (ZmdGetCurrentTask() == 0 || ZmdGetModuleFileName(0, (char *)v, 1) != 1) return 4;
    if (ZmdLoadLibrary("tbx-no-such-module") != 0 || ZmdFreeLibrary(0) != 0) return 5;
    mutex = ZmdCreateMutex(1, 0);
    if (!ZmdIsValidMutex(mutex) || ZmdIsValidMutex(0)) return 6;
    if (ZmdWaitForSingleObject(mutex, 0) != 0 || !ZmdReleaseMutex(mutex) || !ZmdReleaseMutex(mutex))
        return 7;
    if (ZmdReleaseMutex(mutex) || !ZmdCloseHandle(mutex) || ZmdOpenMutex("tbx-abi-none") != 0) return 8;
    return 0;
}
