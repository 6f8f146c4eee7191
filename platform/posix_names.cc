// Win32 names and wildcard patterns on a POSIX host.
#include "platform/posix_names.h"

#include <unistd.h>

#include <cstring>

namespace tbx::os::posix {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Writes to `mask` the file part `part` (trailing dots and spaces already
// dropped) as Win32 hands it to the file system: `?` becomes DOS_QM, a `*`
// before a dot or ending a part the caller ended in a dot becomes
// DOS_STAR, and a dot before a `*` or a DOS_QM becomes DOS_DOT. The DOS
// wildcards are written as the characters that stand for them in a pattern
// (DOS_STAR `<`, DOS_QM `>`, DOS_DOT `"`): a caller who writes those gets
// them unchanged, as on Win32, where a dot before the caller's `>` is taken
// for one before a `?` ("?.??" and ">.>>" both match "a") but one before
// `<` stays a dot. Win32 makes "*.*" plain `*`; here it becomes `<"*`,
// which matches every name too.
void translate(const char* part, bool ended_in_dot, char (&mask)[kMaxName + 1]) {
    size_t i = 0;
    for (; part[i]; ++i) {
        char next = part[i + 1];
        switch (part[i]) {
            case '?': mask[i] = '>'; break;
            case '*': mask[i] = next == '.' || (next == '\0' && ended_in_dot) ? '<' : '*'; break;
            case '.': mask[i] = next == '?' || next == '>' || next == '*' ? '"' : '.'; break;
            default: mask[i] = part[i];
        }
    }
    mask[i] = '\0';
}

}  // namespace

bool full_path(const char* name, char (&out)[kMaxPath]) {
    if (!name) return false;
    size_t n = strnlen(name, kMaxName + 1);
    if (n == 0 || n > kMaxName || is_separator(name[n - 1])) return false;
    size_t len = 0;  // out[0, len) is the path so far, "" standing for the root
    if (!is_separator(name[0])) {
        if (!getcwd(out, kMaxPath)) return false;
        len = std::strlen(out);
        if (len == 1) len = 0;
    }
    for (const char* p = name; *p;) {
        while (is_separator(*p)) ++p;
        const char* part = p;
        while (*p && !is_separator(*p)) ++p;
        size_t size = static_cast<size_t>(p - part);
        if (size == 2 && part[0] == '.' && part[1] == '.') {
            while (len > 0 && out[--len] != '/') {
            }
            continue;
        }
        bool last = *p == '\0';
        while (size > 0 && (part[size - 1] == '.' || (last && part[size - 1] == ' '))) --size;
        if (size == 0) continue;  // "." and parts of dots only
        if (len + 1 + size >= kMaxPath) return false;
        out[len++] = '/';
        std::memcpy(out + len, part, size);
        len += size;
    }
    if (len == 0) out[len++] = '/';
    out[len] = '\0';
    return true;
}

bool split_search(const char* pattern, char (&dir)[kMaxPath], char (&mask)[kMaxName + 1]) {
    if (!full_path(pattern, dir)) return false;
    char* slash = std::strrchr(dir, '/');
    if (slash[1] == '\0') return false;  // the root itself: no name to look for
    // full_path dropped the file part's trailing dots and spaces; the
    // pattern tells whether the caller ended it in a dot.
    translate(slash + 1, pattern[std::strlen(pattern) - 1] == '.', mask);
    if (slash == dir) ++slash;  // the root keeps its "/"
    *slash = '\0';
    return true;
}

bool mask_matches(const char* mask, const char* name) {
    size_t n = std::strlen(name);
    // DOS_STAR runs up to and over the name's last dot, or to the end from
    // beyond it.
    const char* dot = std::strrchr(name, '.');
    size_t dot_stop = dot ? static_cast<size_t>(dot - name) + 1 : n;

    // at[i]: the mask read so far matches the first i characters.
    bool at[kMaxName + 1] = {true};
    for (; *mask; ++mask) {
        bool next[kMaxName + 1] = {};
        size_t reach_end = 0;  // stars: next[i] for every i below this
        for (size_t i = 0; i <= n; ++i) {
            bool at_dot_or_end = i == n || name[i] == '.';
            switch (*mask) {
                case '*':
                case '<':
                    if (at[i]) {
                        size_t stop = *mask == '<' && i < dot_stop ? dot_stop : n;
                        if (stop + 1 > reach_end) reach_end = stop + 1;
                    }
                    next[i] = i < reach_end;
                    break;
                case '>':
                    if (at[i]) next[at_dot_or_end ? i : i + 1] = true;
                    break;
                case '"':
                    if (at[i] && at_dot_or_end) next[i == n ? i : i + 1] = true;
                    break;
                default:
                    if (at[i] && i < n && name[i] == *mask) next[i + 1] = true;
            }
        }
        std::memcpy(at, next, sizeof at);
    }
    return at[n];
}

const char* null_device_part(const char* name) {
    if (!name || strnlen(name, kMaxName + 1) > kMaxName) return nullptr;
    const char* part = name;
    for (const char* p = name; *p; ++p)
        if (is_separator(*p)) part = p + 1;
    const char* rest = part;
    for (const char* device = "nul"; *device; ++device, ++rest)
        if ((*rest | 0x20) != *device) return nullptr;
    while (*rest == ' ') ++rest;
    return *rest == '\0' || *rest == '.' || *rest == ':' ? part : nullptr;
}

}  // namespace tbx::os::posix
