/* tembrix.h -- the public interface of the TEMBRIX library.
 *
 * TEMBRIX gives 32-bit Windows applications one set of low-level services:
 * a process-wide string store addressed by 32-bit handles, text handles on
 * top of it, fixed-address memory blocks and growable tables of them, file
 * access with 16-bit counts and directory search, modules, named mutexes and
 * a description of the machine.
 *
 * Some conventions:
 *
 * (1) Every function is plain C with fixed-width arguments. None of them
 *     throws, logs, or calls back; failure is told by the result alone.
 * (2) A string handle of 0 means "no string"; its top byte is always 0xFF,
 *     and a value with any other top byte is rejected at once. A text handle
 *     is 0 (no text), HSTR_EMPTY (the empty text, which owns no storage) or
 *     a string handle of the text's bytes followed by one NUL.
 * (3) 16-bit results of the string store and the text handles use 0xFFFF for
 *     "the data did not fit the buffer"; a stored length of 65535 reads back
 *     as the same value.
 * (4) Any 32-bit value may be passed as a string or text handle: the store
 *     looks it up in its own blocks and never reads or writes outside them
 *     and the caller's arguments. A value that names no occupied chunk (one
 *     that never was a handle, or a freed handle whose chunk no later store
 *     has taken) gets the function's rejection value; 0xFFFFFFFF reads as a
 *     string of no bytes. A handle is a plain value and the store cannot tell
 *     whose it is: a freed handle whose chunk a later store took names that
 *     string, or part of it; freeing a handle that names any chunk of a live
 *     string's chain (its first or one further along) frees that chunk and
 *     the rest of that chain. The string it was cut from keeps its front
 *     chunks, whose chain now leads to free chunks or into strings stored
 *     since: treat its handle as freed, because freeing it would free those
 *     too. Apart from such frees, nothing a caller passes changes a stored
 *     string: a string stored and not freed reads back unchanged.
 *     Pointer arguments are the caller's memory: a buffer must hold `size`
 *     bytes, a text must be terminated, and the bytes ZmsPtr and hstrptr
 *     point to are for reading. The memory functions reject an address that
 *     is not the start of a live block, but act on any block the library
 *     made, including the string store's own blocks, whose addresses a caller
 *     can work out from ZmsPtr: passing one of those is outside the contract.
 * (5) Ownership: the library owns the string store. Callers own their
 *     string and text handles (valid until freed), their EntryList records
 *     and the blocks filed in them, FindRecords, and file, module and mutex
 *     handles. Each is released by the family that made it.
 * (6) No function takes a lock. The string store is one structure shared by
 *     the whole process: a call into the string store or the text handles
 *     must not overlap a call that stores, copies or frees.
 */
#ifndef TEMBRIX_H
#define TEMBRIX_H

#include <stdint.h>

#include "tembrix_version.h" /* TEMBRIX_VERSION_MAJOR, _MINOR, _PATCH */

#ifdef __cplusplus
extern "C" {
#endif

/* The calling convention of every function. The default is the C
 * compiler's own (__cdecl on 32-bit Windows); building the library with
 * TBX_USE_STDCALL defined switches the whole interface to __stdcall, and
 * callers of such a build must define it too. Export names are undecorated
 * either way. */
#if defined(_WIN32) && !defined(_WIN64) && defined(TBX_USE_STDCALL)
#define TBX_CALL __stdcall
#else
#define TBX_CALL
#endif

/* No function throws; C++ callers see that in the declarations. */
#ifdef __cplusplus
#define TBX_NOEXCEPT noexcept
#else
#define TBX_NOEXCEPT
#endif

typedef uint32_t StringHandle; /* also the type of a text handle */

/* Status codes of the entry lists and of ZmdDPMIGetVersion. */
#define STATUS_OK      257u
#define STATUS_BAD_REF 261u
#define STATUS_NO_ROOM 262u

/* The text handle of the empty text. */
#define HSTR_EMPTY 0x00FFFFFFu

/* A caller-owned table of block pointers. A zeroed record is an empty list.
 * `entries` holds `count` slots, each a block pointer or null (empty). */
typedef struct EntryList {
    void   **entries;
    uint16_t count;
} EntryList;

/* A caller-owned record of one directory search. `handle` is the search's
 * handle (-1 after a search that found nothing); the six fields from
 * `attrib` to `name` are the runtime's find data of the current match, and
 * `name_copy` repeats `name`. 544 bytes, no gaps, on every target. */
typedef struct FindRecord {
    int32_t  handle;
    uint32_t attrib;      /* 0x01 read-only, 0x02 hidden, 0x10 directory, 0x20 archive */
    int32_t  time_create; /* seconds since 1970, UTC */
    int32_t  time_access;
    int32_t  time_write;
    uint32_t size;        /* bytes (low 32 bits); 0 for a directory */
    char     name[260];
    char     name_copy[260];
} FindRecord;

/* WinFlags bits, as ZmdGetWinFlags returns them. */
#define WF_CPU386   0x0004u
#define WF_CPU486   0x0008u /* also set for a 586 */
#define WF_STANDARD 0x0010u /* platform id 1 */
#define WF_ENHANCED 0x0020u /* platform id 2 */

/* ---- memory blocks -------------------------------------------------------
 * Blocks stay at the address they were given until resized or freed. Of the
 * flags only 0x40 counts: it asks for zero-filled memory. */

/* Allocates a block of `size` bytes. Returns its address, or null when no
 * memory could be had or `size` is 0. */
void *TBX_CALL ZmdAlloc(uint8_t flags, uint32_t size) TBX_NOEXCEPT;

/* Resizes the block at `block` to `size` bytes; with flag 0x40 the bytes
 * added at the end are zero. Returns the block's address, which may have
 * changed, or null. A shrink may move the block too: the POSIX build
 * reallocates a block that shrinks to half its room or less, by 64 KiB or
 * more, so that the memory it no longer needs is given back. On null the old block is still
 * allocated, unchanged, at its old address -- unless `block` was not a
 * block (null, freed, or never returned by ZmdAlloc/ZmdReAlloc), in which
 * case nothing happened, or `size` was 0, in which case the block is gone. */
void *TBX_CALL ZmdReAlloc(void *block, uint32_t size, uint8_t flags) TBX_NOEXCEPT;

/* Frees the block at `block`. Returns null when it was freed, and `block`
 * itself when it was not a block (so null gives null) or could not be
 * freed (it then stays a block, at the same address). */
void *TBX_CALL ZmdFree(void *block) TBX_NOEXCEPT;

/* ---- entry lists ---------------------------------------------------------
 * `count` grows one slot at a time up to 65534 and never shrinks. */

/* Allocates a zero-filled block of `size` bytes and files it in the lowest
 * empty slot of `list`, growing the slot array by one when none is empty.
 * Writes the slot's index to `*index` (before the block is allocated, so
 * also when only that allocation fails) and, if `entry` is not null, the
 * block's address to `*entry`. Returns STATUS_OK, or STATUS_NO_ROOM when
 * the list has 65534 slots or memory could not be had. */
uint32_t TBX_CALL MakeListEntry(EntryList *list, uint16_t *index, void **entry,
                                uint16_t size) TBX_NOEXCEPT;

/* Frees the block in slot `index` of `list` with ZmdFree, if the slot is not
 * null, and empties the slot whatever ZmdFree returned: a value that is not
 * a block (one the caller freed already, or never was) is just dropped, and
 * so is a block the platform would not free, which then stays allocated with
 * no slot naming it. `count` does not change; an index at or beyond `count`
 * is ignored. Always returns STATUS_OK. */
uint32_t TBX_CALL RemoveListEntry(EntryList *list, uint16_t index) TBX_NOEXCEPT;

/* ---- string store --------------------------------------------------------
 * Stores byte strings of 1 to 65535 bytes in 32-byte chunks. */

/* Stores `length` bytes from `bytes` (NULs included, nothing appended).
 * Returns the new handle, or 0 when `bytes` is null, `length` is 0, or the
 * store is full or out of memory (a failed store leaves nothing behind). */
StringHandle TBX_CALL ZmsPut(const void *bytes, uint16_t length) TBX_NOEXCEPT;

/* Copies the string of `h` into `buffer`, at most `size` bytes. Returns the
 * number of bytes copied; 0xFFFF when the buffer was too small (it then
 * holds the first `size` bytes); 0 when `h` is 0 or rejected, `buffer` is
 * null or `size` is 0. */
uint16_t TBX_CALL ZmsGet(StringHandle h, void *buffer, uint16_t size) TBX_NOEXCEPT;

/* Returns the length of the string of `h`, or 0 when `h` is rejected. */
uint16_t TBX_CALL ZmsLen(StringHandle h) TBX_NOEXCEPT;

/* Returns the address of the bytes of `h` in the store when the whole
 * string lies in one chunk (32 bytes or fewer), else null. The bytes are
 * for reading; the pointer is valid until the string is freed. */
void *TBX_CALL ZmsPtr(StringHandle h) TBX_NOEXCEPT;

/* Frees the string of `h`. Does nothing for 0 or a rejected handle. */
void TBX_CALL ZmsFree(StringHandle h) TBX_NOEXCEPT;

/* Compares the string of `h` with `length` bytes at `bytes`, as unsigned
 * bytes, a prefix ordering first. Returns -1, 0 or 1 when the stored string
 * is less, equal or greater; 2 when `h` is rejected. Handle 0 is the empty
 * string; `bytes` may be null when `length` is 0. */
int32_t TBX_CALL ZmsCmp(StringHandle h, const void *bytes, uint16_t length) TBX_NOEXCEPT;

/* Copies the string of `h` under a new handle. Returns it, or 0 when `h` is
 * 0, 0xFFFFFFFF or rejected, or the store is full or out of memory. */
StringHandle TBX_CALL ZmsDup(StringHandle h) TBX_NOEXCEPT;

/* ---- text handles --------------------------------------------------------
 * NUL-terminated texts of up to 65534 characters; `text` arguments may be
 * null, which counts as the empty text. */

/* Stores `text`. Returns its handle; HSTR_EMPTY for an empty or null text;
 * 0 when it could not be stored or has 65535 characters or more. */
StringHandle TBX_CALL hstrput(const char *text) TBX_NOEXCEPT;

/* Copies the text of `h` into `buffer` of `size` bytes, terminated. Returns
 * the characters copied; 0xFFFF when `size` is 0 (nothing written), when the
 * text and its NUL did not fit (the buffer then holds the first size - 1
 * characters, terminated), or when `h` is rejected. With `buffer` null,
 * returns the text's length if a buffer of `size` bytes would hold it, else
 * 0xFFFF. Handle 0 and HSTR_EMPTY give 0 and an empty text. */
uint16_t TBX_CALL hstrget(StringHandle h, char *buffer, uint16_t size) TBX_NOEXCEPT;

/* Compares the text of `h` with `text` byte by byte. Returns -1, 0 or 1
 * when the stored text is less, equal or greater, and 2 when `h` is
 * rejected. A text of 65535 characters or more is ordered correctly too. */
int32_t TBX_CALL hstrcmp(StringHandle h, const char *text) TBX_NOEXCEPT;

/* Returns the length of the text of `h`; 0 for 0 and HSTR_EMPTY, 0xFFFF
 * for a rejected handle. */
uint16_t TBX_CALL hstrlen(StringHandle h) TBX_NOEXCEPT;

/* Stores a new text: `text` if it is not null (`h` is then ignored), else a
 * copy of the text of `h`. Returns its handle, HSTR_EMPTY for an empty
 * text, or 0 on failure as hstrput. */
StringHandle TBX_CALL hstrdup(StringHandle h, const char *text) TBX_NOEXCEPT;

/* Frees the text of `h`. Does nothing for 0, HSTR_EMPTY or a rejected
 * handle. */
void TBX_CALL hstrfree(StringHandle h) TBX_NOEXCEPT;

/* Returns the address of the stored, terminated text of `h` when it has 31
 * characters or fewer, else null (also for 0 and HSTR_EMPTY). */
char *TBX_CALL hstrptr(StringHandle h) TBX_NOEXCEPT;

/* ---- files and directory search ------------------------------------------
 * Each operation is one call of the platform: KERNEL32's CreateFileA,
 * ReadFile, WriteFile, CloseHandle and SetErrorMode, and the C runtime's
 * _findfirst, _findnext and _findclose. Nothing is checked before the call;
 * a bad handle or name gets the platform's failure result. File handles are
 * the platform's; (void *)-1, Win32's INVALID_HANDLE_VALUE, marks a failed
 * open. Access modes are Win32's (0x80000000 read, 0x40000000 write), share
 * modes too (1 read, 2 write, 4 delete).
 *
 * Names are at most 260 bytes; `\` and `/` both separate, "." and ".."
 * are resolved by the text alone, and trailing dots (and, in the last part,
 * spaces) are dropped, as Win32 does.
 *
 * Where the POSIX build stands in for Win32:
 * - What opens is a regular file, or the null device under Win32's names
 *   for it ("NUL" in any case, with or without an extension, in any
 *   directory). A FIFO, socket or device file is refused at once, and no
 *   open or read waits for another process. A file without a write
 *   permission bit has the read-only attribute, and, as on Win32, an open
 *   that asks to write it is refused to every user, root included; access
 *   0x02000000 (MAXIMUM_ALLOWED) gets read and write where both may be
 *   had, else read.
 * - Handle values have their low two bits clear, and those bits are
 *   ignored in the values callers pass, as on Win32. A closed handle's
 *   value names nothing until hundreds of later handles have come and
 *   gone (Win32 reuses values at once). A handle closed while another
 *   thread reads or writes through it stays usable to that call until it
 *   ends. A forked child inherits the file handles, sharing each file's
 *   position with its parent, as a Unix child shares descriptors.
 * - Sharing is checked as on Win32 among the files this library has open in
 *   this process (by file, whatever name opened it): an open fails when it
 *   wants access that an open handle does not share, or does not share
 *   access an open handle has. Files open in other processes, or through
 *   other means in this one, are not seen, and they do not see these.
 * - Searches compare names byte for byte, as the host's file systems tell
 *   names apart (Win32 ignores case), and do not match 8.3 short names
 *   (Win32 gives some names one, such as "A~1" for ".a", and matches it
 *   too). The wildcards keep Win32's DOS rules, read once the pattern's
 *   trailing dots and spaces are dropped: "*.*" is "*"; `?` matches one
 *   character other than a dot, or nothing at a dot or the end of a name;
 *   a `*` before a dot, or last in a pattern that ended in a dot, does not
 *   run past the name's last dot (so "*." matches names without a dot); a
 *   dot before `?` or `*` also matches the end of a name ("a.*" matches
 *   "a"). `<`, `>` and `"` are those DOS forms of `*`, `?` and the dot.
 *   "." and ".." are listed, both or neither, when the pattern matches "."
 *   or an empty name. A pattern whose last part is the null device ("nul",
 *   "NUL.txt", without a wildcard) finds it alone, in any directory,
 *   existing or not: named as the pattern writes it, attributes 0x20, size
 *   and times 0. Entries come in the host's directory order after "." and
 *   ".." (NTFS sorts them); no caller should rely on an order.
 * - Attributes: 0x10 for a directory, 0x20 for any other entry; 0x01 for
 *   a file with no write permission bit (never for a directory: Win32's
 *   read-only bit does not protect a directory's entries); 0x02 for a name
 *   that starts with a dot.
 *   The creation time is the last write time (POSIX keeps none); links are
 *   followed and links to nothing are left out. */

/* Opens the existing file `name` with `access` and `share` (it is never
 * created or truncated). Returns its handle, or (void *)-1 when the file
 * does not exist, is a directory (or no file at all: see above), is shared
 * in a way that conflicts, or the access is refused (writing a read-only
 * file is refused to everybody). */
void *TBX_CALL ZfdOpen(const char *name, uint32_t access, uint32_t share) TBX_NOEXCEPT;

/* Closes `file`. Returns 0 when the platform closed it, -1 for a value that
 * is not an open handle (a closed one, null). Closing (void *)-1 returns 0:
 * Win32 takes it for the current process, whose handle closes without
 * effect. */
int32_t TBX_CALL ZfdClose(void *file) TBX_NOEXCEPT;

/* Reads up to `count` bytes from `file`'s position into `buffer`. Returns
 * the bytes read: fewer than `count` at the end of the file, 0 there and on
 * any failure (a handle not open for reading, a closed one). The count is
 * 16 bits: a caller's 0x10000 is a read of 0 bytes. */
uint16_t TBX_CALL ZfdRead(void *file, void *buffer, uint16_t count) TBX_NOEXCEPT;

/* Writes `count` bytes from `buffer` at `file`'s position. Returns the bytes
 * written, 0 on failure (a handle not open for writing, a closed one). */
uint16_t TBX_CALL ZfdWrite(void *file, const void *buffer, uint16_t count) TBX_NOEXCEPT;

/* Starts a search for the names in a directory that match `pattern`: a
 * directory part (none for the current directory) and a last part with the
 * wildcards `*` and `?`, read by Win32's DOS rules ("*.*" and "*" match
 * every name, "*." those without a dot, "a.*" also "a"; see above). A last
 * part of dots only is resolved with the rest, and the name it comes to is
 * looked for ("sub\.." finds the current directory). `attributes` is not
 * used. On a match, fills `record` and returns 0; else stores -1 in
 * `record->handle`, leaves the rest, and returns -1 (no match, a missing
 * directory, a pattern of more than 260 bytes). Each successful search must
 * end with ZfdFindClose. `record` must not be null. */
int32_t TBX_CALL ZfdFindFirst(const char *pattern, uint32_t attributes,
                              FindRecord *record) TBX_NOEXCEPT;

/* Fills `record` with the next match of its search and returns 0. Returns
 * -1, leaving `record` as it was, after the last match or when its handle
 * is not an open search. */
int32_t TBX_CALL ZfdFindNext(FindRecord *record) TBX_NOEXCEPT;

/* Ends the search of `record`; its fields stay as they are. Returns 0, or
 * -1 when the runtime refuses the handle. Close a search once: the POSIX
 * build refuses the handle of a closed search, but Win32's runtime need not
 * tell it from an open one. */
int32_t TBX_CALL ZfdFindClose(FindRecord *record) TBX_NOEXCEPT;

/* Sets the process's error mode (Win32's SEM_ flags, e.g. 0x8001 for no
 * message boxes) and returns the mode that was in force before. */
uint32_t TBX_CALL ZfdSetErrorMode(uint16_t mode) TBX_NOEXCEPT;
/* ---- modules, system information, fixed answers --------------------------
 * Module handles are the platform's (on Windows an HMODULE). The module
 * functions pass their arguments to the platform's loader and return its
 * results unchanged; they check nothing themselves.
 *
 * Outside Windows the loader is the dynamic linker, behind a stand-in of
 * the library's own (Linux): a name with no `/` is found by the dynamic
 * linker's search, and a module is named by the full path it was loaded
 * by, or, if that was relative, by its file's full path with links
 * resolved. */

/* Loads the module file `name` (or counts one more use of it when it is
 * loaded already) with the platform's error message boxes turned off, so a
 * module that cannot be loaded gives null and nothing else. The error mode
 * in force before the call is in force after it. Returns the module's
 * handle, or null. */
void *TBX_CALL ZmdLoadLibrary(const char *name) TBX_NOEXCEPT;

/* Counts one use of `module` less; the platform unloads it after the last.
 * Returns nonzero on success, 0 when `module` is not a loaded module (null
 * included). */
int32_t TBX_CALL ZmdFreeLibrary(void *module) TBX_NOEXCEPT;

/* Copies the full path of the file of `module` (null: the program's own
 * file) into `buffer` of `size` bytes, terminated, also for a module loaded
 * by a relative name, whatever the current directory is now. Returns its length; when it does
 * not fit, `size` is returned and the buffer holds the first size - 1
 * characters and a NUL (some versions of the platform write `size`
 * characters and no NUL instead); 0 when `module` is not a loaded module or
 * `size` is 0. */
uint32_t TBX_CALL ZmdGetModuleFileName(void *module, char *buffer, uint32_t size) TBX_NOEXCEPT;

/* Returns the address of the function or data `name` that `module` exports
 * (null: the program itself), or null when it exports no such name. On
 * Windows a `name` below 0x10000 is an export ordinal; elsewhere it gives
 * null. */
void *TBX_CALL ZmdGetProcAddress(void *module, const char *name) TBX_NOEXCEPT;

/* Returns the id of the calling process: the current task. */
uint32_t TBX_CALL ZmdGetCurrentTask(void) TBX_NOEXCEPT;

/* Returns the processor and platform as WinFlags bits: WF_STANDARD on the
 * Windows 95 family, WF_ENHANCED on Windows NT; with an Intel-architecture
 * processor (as a 32-bit process sees an x86 one) WF_CPU386 for a 386 and
 * WF_CPU486 for a 486 or Pentium; any other processor adds no bit. A
 * 32-bit process on x86 Windows NT gets 0x28, a 64-bit one 0x20. */
uint32_t TBX_CALL ZmdGetWinFlags(void) TBX_NOEXCEPT;

/* Answers the DPMI version query of the 16-bit interface; there is no DPMI
 * host. All five pointers must be valid: 16 is written to `*d`, 0 to the
 * others. Returns STATUS_OK. */
uint32_t TBX_CALL ZmdDPMIGetVersion(uint16_t *a, uint16_t *b, uint16_t *c, uint16_t *d,
                                    uint16_t *e) TBX_NOEXCEPT;

/* Window, message and program-start calls of the 16-bit interface, kept
 * for their callers: each ignores its arguments and returns 0. */
uint32_t TBX_CALL ZmdExecute(uint32_t a) TBX_NOEXCEPT;
uint32_t TBX_CALL ZmdFindWindow(uint32_t a, uint32_t b) TBX_NOEXCEPT;
uint16_t TBX_CALL ZmdRegisterMessage(uint32_t a) TBX_NOEXCEPT;
uint32_t TBX_CALL ZmdSendMessage(uint32_t a, uint32_t b, uint32_t c, uint32_t d) TBX_NOEXCEPT;

/* ---- mutexes and waits -----------------------------------------------------
 * The platform's mutexes: owned by one thread at a time, which may take one
 * again (each taking is released once), shared between processes by name.
 * Names are case-sensitive; "Global\" and "Local\" name namespaces, and
 * no other backslash is allowed. Handles come from the platform's one
 * handle space, shared with files. Nothing is checked by the library; the
 * results are the platform's. The library never uses these mutexes itself.
 *
 * Outside Windows the platform's part is played by a stand-in of the
 * library's own (Linux):
 * - Each user has a namespace of its own, as each Win32 session has: the
 *   processes of one effective user share their named mutexes, and no
 *   other user can see, open, hold, change or remove them. "Global\"
 *   names form a second namespace apart from plain and "Local\" names, as
 *   on Win32, but it too is the user's own: the stand-in shares nothing
 *   between users. A named mutex lives in a file in the directory
 *   /dev/shm/tembrix-<uid> (mode 0700); if another user made that
 *   directory first, or anything but the user's own private directory is
 *   there, every named mutex of the user fails with null. Processes of the
 *   same user are trusted as on Win32, where they could write into each
 *   other's memory: one that writes into or truncates those files itself
 *   can break the mutexes they hold.
 * - Creating or opening never waits: what stands where a mutex's file
 *   should be (a FIFO, a link, a file of another size or owner, one held
 *   locked for ever) makes that name fail at once with null.
 * - A mutex is destroyed with its last handle in any process, and a process
 *   killed at any point leaves nothing that changes the next use of a
 *   name: its handles close with it, and a mutex it held last is made anew
 *   by the next process that creates the name.
 * - Ownership is per thread. A waiter finds out an owner that ended
 *   holding the mutex -- also one whose thread or process id the system
 *   has since given to a later thread -- when it starts waiting and then
 *   within about 20 ms, and hears 0x80. Processes in another PID namespace
 *   are not told apart.
 * - A forked child does not inherit mutex handles (Win32 makes these
 *   handles not inheritable): in the child they are closed, which leaves
 *   the parent's handles, ownership and names as they were.
 * - A name of more than 80 characters may be refused; security attributes
 *   and access rights do not exist there. */

/* Creates the mutex `name` (null or "": an unnamed one), owned by the
 * calling thread when `initial_owner` is nonzero. When a mutex of that name
 * exists, it is opened instead and `initial_owner` is ignored. Returns a
 * new handle, or null (also for an invalid name). */
void *TBX_CALL ZmdCreateMutex(int32_t initial_owner, const char *name) TBX_NOEXCEPT;

/* Opens the existing mutex `name`. Returns a new handle, or null when no
 * mutex has that name (null and "" included). */
void *TBX_CALL ZmdOpenMutex(const char *name) TBX_NOEXCEPT;

/* Gives up one taking of `mutex` by the calling thread; after the last the
 * mutex is free. Returns nonzero, or 0 when the thread does not own it or
 * `mutex` is not a mutex handle. */
int32_t TBX_CALL ZmdReleaseMutex(void *mutex) TBX_NOEXCEPT;

/* Waits until `handle` is signalled, at most `timeout_ms` milliseconds
 * (0: just look; 0xFFFFFFFF: without limit). A mutex is signalled when no
 * thread owns it, or when the calling thread does; it then belongs to the
 * calling thread. A file handle is always signalled; the pseudo-handles
 * of the current process ((void *)-1) and thread ((void *)-2) never are
 * while they run, so a wait on them times out (or, without a limit, does
 * not return). Returns 0 (taken),
 * 0x80 (taken, abandoned: its owner ended holding it), 0x102 (timed out)
 * or 0xFFFFFFFF (failed: not a handle that can be waited for). */
uint32_t TBX_CALL ZmdWaitForSingleObject(void *handle, uint32_t timeout_ms) TBX_NOEXCEPT;

/* Closes a mutex or file handle. A mutex is destroyed with its last handle
 * in any process; one the calling thread owns stays owned until released.
 * Returns nonzero, or 0 when `handle` is not an open handle. */
int32_t TBX_CALL ZmdCloseHandle(void *handle) TBX_NOEXCEPT;

/* Returns 1 when `mutex` is not null, else 0. The value alone is tested:
 * whether it is an open mutex handle is not asked. */
int32_t TBX_CALL ZmdIsValidMutex(void *mutex) TBX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TEMBRIX_H */
