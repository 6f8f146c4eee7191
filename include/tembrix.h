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
 * changed, or null. On null the old block is still allocated, unchanged, at
 * its old address -- unless `block` was not a block (null, freed, or never
 * returned by ZmdAlloc/ZmdReAlloc), in which case nothing happened, or
 * `size` was 0, in which case the block is gone. */
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

/* Frees the block in slot `index` of `list`, if any, and empties the slot;
 * a block that could not be freed stays in its slot. An index at or beyond
 * `count` is ignored. Always returns STATUS_OK. */
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

#ifdef __cplusplus
}
#endif

#endif /* TEMBRIX_H */
