// How the POSIX stand-in reads Win32 file names and search patterns: the
// length limit, both separators, the lexical "." and ".." steps, the
// trailing dots Win32 drops, the null device, and the DOS wildcard rules
// Win32 turns a search's `*` and `?` into.
#ifndef TEMBRIX_PLATFORM_POSIX_NAMES_H_
#define TEMBRIX_PLATFORM_POSIX_NAMES_H_

#include <climits>
#include <cstddef>

namespace tbx::os::posix {

// The longest name or pattern, in bytes, that Win32's ANSI calls accept:
// their conversion buffer holds 260 characters and the NUL.
inline constexpr size_t kMaxName = 260;

// Room for a full host path.
inline constexpr size_t kMaxPath = PATH_MAX;

// Writes to `out` the absolute host path that Win32 makes of `name`, without
// touching the file system beyond asking the current directory:
// - `\` and `/` both separate, and runs of them count as one;
// - "." parts are dropped and ".." drops the part before it, by the text
//   alone (so "missing/../a" is "a", and ".." after a link is not followed);
// - trailing dots are dropped from every part, and trailing spaces from the
//   last part ("a.txt. " is "a.txt").
// Returns false for a null or empty name, one longer than kMaxName, one that
// ends in a separator (Win32 finds no file by such a name), and when the
// result does not fit.
bool full_path(const char* name, char (&out)[kMaxPath]);

// The characters that make a search pattern's file part a wildcard mask.
inline constexpr char kWildcards[] = "*?<>\"";

// Splits the search pattern `pattern` as Win32 does: writes to `dir` the
// host directory to read (as full_path resolves it) and to `mask` its file
// part, without trailing dots and spaces, in the form mask_matches takes.
// A file part of dots only is resolved with the rest ("sub/.." looks for
// the current directory's name in its parent). Returns false when
// full_path does, and for a pattern that names the root itself.
bool split_search(const char* pattern, char (&dir)[kMaxPath], char (&mask)[kMaxName + 1]);

// Returns true when `name`, a directory entry's name (shorter than
// kMaxName), matches `mask`, a file part as split_search writes it.
// Characters other than wildcards compare exactly, as the host's file
// systems name files; 8.3 short names do not exist here.
// - `*` matches any run of characters.
// - `>` (DOS_QM; the caller's `?`) matches one character other than a dot,
//   or nothing at a dot or the end of the name.
// - `"` (DOS_DOT; a dot before `?` or `*`) matches a dot, or nothing at the
//   end of the name: "a.*" matches "a".
// - `<` (DOS_STAR; a `*` before a dot) matches any run of characters that
//   does not go past the name's last dot, though it may take that dot in:
//   "ab<exe" matches "abcd.exe", "*.txt" does not match "a.txt.bak", and
//   "*." (`<`) matches the names without a dot.
bool mask_matches(const char* mask, const char* name);

// Returns the last part of `name` when Win32 reads `name` as the null
// device, in whatever directory: "NUL" in any case, alone or followed by
// spaces, a colon or an extension ("nul.txt", "NUL :"). Returns null for
// any other name. The device's own name is the part's first three bytes.
const char* null_device_part(const char* name);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_NAMES_H_
