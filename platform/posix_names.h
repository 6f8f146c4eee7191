// How the POSIX stand-in reads Win32 file names and search patterns: the
// length limit, both separators, the lexical "." and ".." steps and the
// trailing dots Win32 drops, and the wildcard rules of a search.
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

// Returns true when `name` matches the search pattern `mask` (its last part,
// as full_path leaves it). `*` matches any run of characters and `?` one
// character, as in the runtime's search, with the DOS refinements Win32
// keeps: `?` also matches nothing at a dot or the end of the name, a `*`
// before a dot does not run past the name's last dot, and a dot before a
// wildcard also matches the end of the name (so "*.*" and "a.*" match
// names without a dot). Characters compare exactly, as the host's file
// systems name files.
bool name_matches(const char* mask, const char* name);

// Returns the last part of `name` when Win32 reads `name` as the null
// device, in whatever directory: "NUL" in any case, alone or followed by
// spaces, a colon or an extension ("nul.txt", "NUL :"). Returns null for
// any other name. The device's own name is the part's first three bytes.
const char* null_device_part(const char* name);

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_NAMES_H_
