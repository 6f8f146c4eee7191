// Win32 names and wildcard patterns on a POSIX host.
#include "platform/posix_names.h"

#include <unistd.h>

#include <cstring>

namespace tbx::os::posix {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The runtime's wildcards as Win32 hands them to the file system: a `*`
// before a dot and a dot before a wildcard take their DOS meanings.
enum class Token { kChar, kStar, kDosStar, kDosQm, kDosDot };

Token token_at(const char* mask) {
    switch (mask[0]) {
        case '*': return mask[1] == '.' ? Token::kDosStar : Token::kStar;
        case '?': return Token::kDosQm;
        case '.': return mask[1] == '*' || mask[1] == '?' ? Token::kDosDot : Token::kChar;
        default: return Token::kChar;
    }
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

bool name_matches(const char* mask, const char* name) {
    size_t n = strnlen(name, kMaxName);
    if (n == kMaxName) return false;  // no such name fits a search record
    const char* dot = std::strrchr(name, '.');
    size_t last_dot = dot ? static_cast<size_t>(dot - name) : n;

    // at[i]: the mask read so far matches the first i characters.
    bool at[kMaxName + 1] = {true};
    for (; *mask; ++mask) {
        Token token = token_at(mask);
        bool next[kMaxName + 1] = {};
        size_t reach = 0;  // stars: next[i] for every i up to here
        bool reaching = false;
        for (size_t i = 0; i <= n; ++i) {
            bool here = at[i];
            bool at_dot_or_end = i == n || name[i] == '.';
            switch (token) {
                case Token::kStar:
                case Token::kDosStar:
                    if (here) {
                        size_t limit = token == Token::kDosStar && i <= last_dot ? last_dot : n;
                        if (!reaching || limit > reach) reach = limit;
                        reaching = true;
                    }
                    next[i] = reaching && i <= reach;
                    break;
                case Token::kDosQm:
                    if (here) next[at_dot_or_end ? i : i + 1] = true;
                    break;
                case Token::kDosDot:
                    if (here && i < n && name[i] == '.') next[i + 1] = true;
                    if (here && i == n) next[i] = true;
                    break;
                case Token::kChar:
                    if (here && i < n && name[i] == *mask) next[i + 1] = true;
                    break;
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
