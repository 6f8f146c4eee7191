// The hstr family: NUL-terminated texts stored with their NUL in the pool,
// and the empty text as a handle value of its own.
#include "tembrix.h"

namespace {

// A stored text has at most this many bytes, its NUL included.
constexpr unsigned kMaxStored = 0xFFFF;

// Returns the length of `text` (0 for null), counting no further than
// kMaxStored: a text that long cannot be stored, and its first kMaxStored
// bytes decide its order against any stored text.
unsigned text_length(const char* text) {
    unsigned n = 0;
    if (text) {
        while (n < kMaxStored && text[n]) ++n;
    }
    return n;
}

bool owns_no_chunk(StringHandle h) { return h == 0 || h == HSTR_EMPTY; }

// Stores `length` characters of `text` and its NUL.
StringHandle store(const char* text, unsigned length) {
    if (length == 0) return HSTR_EMPTY;
    if (length >= kMaxStored) return 0;
    return ZmsPut(text, static_cast<uint16_t>(length + 1));
}

}  // namespace

extern "C" StringHandle TBX_CALL hstrput(const char* text) noexcept {
    return store(text, text_length(text));
}

extern "C" uint16_t TBX_CALL hstrget(StringHandle h, char* buffer, uint16_t size) noexcept {
    if (size == 0) return 0xFFFF;
    if (buffer) buffer[0] = '\0';
    if (owns_no_chunk(h)) return 0;
    if (!buffer) {
        auto k = static_cast<uint16_t>(ZmsLen(h) - 1);
        return size > k ? k : 0xFFFF;
    }
    uint16_t r = ZmsGet(h, buffer, size);
    if (r != 0xFFFF) return static_cast<uint16_t>(r - 1);
    buffer[size - 1] = '\0';
    return 0xFFFF;
}

extern "C" int32_t TBX_CALL hstrcmp(StringHandle h, const char* text) noexcept {
    unsigned length = text_length(text);
    if (owns_no_chunk(h)) return length == 0 ? 0 : -1;
    if (length == 0) return 1;
    // The NUL takes part, so a stored prefix of `text` orders first.
    unsigned compared = length < kMaxStored ? length + 1 : kMaxStored;
    return ZmsCmp(h, text, static_cast<uint16_t>(compared));
}

extern "C" uint16_t TBX_CALL hstrlen(StringHandle h) noexcept {
    if (owns_no_chunk(h)) return 0;
    return static_cast<uint16_t>(ZmsLen(h) - 1);
}

extern "C" StringHandle TBX_CALL hstrdup(StringHandle h, const char* text) noexcept {
    if (text) return store(text, text_length(text));
    return owns_no_chunk(h) ? HSTR_EMPTY : ZmsDup(h);
}

extern "C" void TBX_CALL hstrfree(StringHandle h) noexcept {
    if (!owns_no_chunk(h)) ZmsFree(h);
}

extern "C" char* TBX_CALL hstrptr(StringHandle h) noexcept {
    return owns_no_chunk(h) ? nullptr : static_cast<char*>(ZmsPtr(h));
}
