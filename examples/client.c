/* An example client: loads the library through its public header and
 * follows one text through the string store, then shows text handles,
 * searches a directory (the one named on the command line, or the current
 * one) and reads the first bytes of a file it found, and ends with a
 * description of the machine and a named mutex. */
#include <stdio.h>
#include <string.h>

#include "tembrix.h"

/* Reads the `used` count and a link word of the block that holds the
 * one-chunk string `h`, through the payload address ZmsPtr gives. */
static const unsigned char *block_of(StringHandle h) {
    return (const unsigned char *)ZmsPtr(h) - 1026 - 32 * ((h >> 16) & 0xFF);
}

static unsigned used_of(const unsigned char *block) {
    return block[0] | block[1] << 8;
}

static unsigned long link_of(const unsigned char *block, unsigned chunk) {
    const unsigned char *p = block + 2 + 4 * chunk;
    return p[0] | p[1] << 8 | (unsigned long)p[2] << 16 | (unsigned long)p[3] << 24;
}

/* Lists the entries of `dir` that match "*.*" (every name) and shows the
 * first bytes of the first file among them. */
static void search_and_read(const char *dir) {
    char pattern[260], path[260];
    unsigned char bytes[16];
    FindRecord record;
    void *file;
    unsigned count = 0, n, i;

    path[0] = '\0';
    sprintf(pattern, "%.250s/*.*", dir);
    if (ZfdFindFirst(pattern, 0, &record) != 0) {
        printf("  nothing matches %s\n", pattern);
        return;
    }
    do {
        if (count++ < 8)
            printf("  %-24s %s %10lu bytes, written %ld\n", record.name,
                   record.attrib & 0x10 ? "dir " : "file", (unsigned long)record.size,
                   (long)record.time_write);
        if (!(record.attrib & 0x10) && path[0] == '\0' && strlen(dir) + strlen(record.name) < 258)
            sprintf(path, "%s/%s", dir, record.name);
    } while (ZfdFindNext(&record) == 0);
    ZfdFindClose(&record);
    printf("  %u entries match %s\n", count, pattern);
    if (path[0] == '\0') return;

    /* Read access (0x80000000), others may read too (share mode 1). */
    file = ZfdOpen(path, 0x80000000u, 1);
    if (file == (void *)-1) {
        printf("  %s cannot be opened\n", path);
        return;
    }
    n = ZfdRead(file, bytes, sizeof bytes);
    printf("  the first %u bytes of %s:", n, path);
    for (i = 0; i < n; ++i) printf(" %02X", bytes[i]);
    printf("\n");
    ZfdClose(file);
}

int main(int argc, char **argv) {
    char buffer[80];
    StringHandle h, abc, copy, empty;
    const unsigned char *block;
    unsigned long flags, task;
    void *mutex;
    int32_t released[3], closed;

    printf("The road of one text through the store\n");
    h = hstrput("hello");
    block = block_of(h);
    printf("  hstrput(\"hello\")      -> handle 0x%08lX (block %lu, chunk %lu)\n",
           (unsigned long)h, (unsigned long)(h & 0xFFFF), (unsigned long)((h >> 16) & 0xFF));
    printf("  its link word          0x%08lX (6 bytes, end of chain)\n", link_of(block, 0));
    printf("  block 0 made: used     %u\n", used_of(block));
    abc = ZmsPut("abc", 3);
    printf("  ZmsPut(\"abc\", 3)      -> handle 0x%08lX, link 0x%08lX, used %u\n",
           (unsigned long)abc, link_of(block, 1), used_of(block));
    printf("  hstrget                -> %u characters: \"%s\"\n", hstrget(h, buffer, sizeof buffer),
           buffer);
    ZmsFree(abc);
    hstrfree(h);
    printf("  both freed: block 0 released, handle now rejected (hstrlen = 0x%04X)\n", hstrlen(h));

    printf("\nText handles\n");
    h = hstrput("borrowed in place");
    printf("  stored \"%s\", %u characters, read in place\n", hstrptr(h), hstrlen(h));
    printf("  compare with \"borrowed\": %ld, with \"zebra\": %ld\n", (long)hstrcmp(h, "borrowed"),
           (long)hstrcmp(h, "zebra"));
    copy = hstrdup(h, NULL);
    hstrfree(h);
    hstrget(copy, buffer, sizeof buffer);
    printf("  duplicate 0x%08lX outlives the original: \"%s\"\n", (unsigned long)copy, buffer);
    empty = hstrput("");
    printf("  the empty text is a handle of its own: 0x%08lX, length %u\n", (unsigned long)empty,
           hstrlen(empty));
    printf("  a 9-byte buffer holds \"%s\" and says 0x%04X\n",
           (hstrget(copy, buffer, 9), buffer), hstrget(copy, buffer, 9));
    hstrfree(copy);

    printf("\nA directory search and a file read\n");
    search_and_read(argc > 1 ? argv[1] : ".");

    printf("\nThe machine\n");
    flags = ZmdGetWinFlags();
    printf("  WinFlags 0x%04lX:%s%s%s%s\n", flags,
           flags & WF_STANDARD ? " WF_STANDARD (Windows 95 family)" : "",
           flags & WF_ENHANCED ? " WF_ENHANCED (Windows NT)" : "",
           flags & WF_CPU386 ? " WF_CPU386 (an Intel 386)" : "",
           flags & WF_CPU486 ? " WF_CPU486 (an Intel 486 or Pentium)" : "");
    if (!(flags & (WF_CPU386 | WF_CPU486)))
        printf("  no processor bit: not an Intel 386, 486 or Pentium as this process sees it\n");
    task = ZmdGetCurrentTask();
    printf("  current task %lu, program file %s\n", task,
           ZmdGetModuleFileName(NULL, buffer, sizeof buffer) < sizeof buffer ? buffer : "(long)");

    sprintf(buffer, "tembrix-client-%lu", task);
    mutex = ZmdCreateMutex(1, buffer);
    printf("  named mutex \"%s\" created and held: %s\n", buffer, mutex ? "yes" : "no");
    printf("  taken again by its owner: wait gives 0x%lX\n",
           (unsigned long)ZmdWaitForSingleObject(mutex, 0));
    released[0] = ZmdReleaseMutex(mutex);
    released[1] = ZmdReleaseMutex(mutex);
    released[2] = ZmdReleaseMutex(mutex);
    printf("  released twice: %ld %ld, a third time: %ld (no longer owned)\n", (long)released[0],
           (long)released[1], (long)released[2]);
    closed = ZmdCloseHandle(mutex);
    printf("  closed: %ld; open by name again: %s\n", (long)closed,
           ZmdOpenMutex(buffer) ? "found" : "gone with its last handle");
    return 0;
}
