/* tembrix.hpp -- the C++ interface of the TEMBRIX library.
 *
 * A header-only layer over tembrix.h for C++17 and later: each handle the
 * C interface gives out is owned by an object that gives it back, reads and
 * writes take any size, a directory search is a range, and a mutex meets
 * the standard's TimedLockable, so std::lock_guard, std::unique_lock and
 * std::scoped_lock take it. It adds no function to the library and changes
 * none: every member below is a call, or a few calls, of tembrix.h.
 *
 * Some conventions:
 *
 * (1) Everything is in namespace `tembrix`. The C interface stays visible
 *     beside it; get(), native_handle() and release() hand its values over.
 * (2) Each owning type gives its handle back in its destructor to the
 *     family that made it: ZmsFree, hstrfree, ZfdClose, ZfdFindClose,
 *     ZmdCloseHandle, ZmdFreeLibrary. Each is move-only (a search range is
 *     not even moved); a moved-from object owns nothing and may be assigned
 *     to.
 * (3) Failure is told as the standard library tells it: an open, a create
 *     or a load that can fail returns an empty std::optional; storing that
 *     the store refuses throws std::bad_alloc, a size it cannot hold
 *     std::length_error, a text with a NUL inside std::invalid_argument;
 *     a mutex wait that fails throws std::system_error.
 *     Nothing else throws, except std::string's own allocations. A program
 *     that includes this header must be built with exceptions.
 * (4) The rules of tembrix.h still hold: the string store takes no lock, so
 *     calls on `string` and `text` objects must not overlap a call that
 *     stores, copies or frees, in any thread.
 */
#ifndef TEMBRIX_HPP
#define TEMBRIX_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "tembrix.h"

namespace tembrix {

/* Access rights and share modes of file::open, as Win32 spells them. */
inline constexpr std::uint32_t access_read = 0x80000000u;
inline constexpr std::uint32_t access_write = 0x40000000u;
inline constexpr std::uint32_t share_read = 0x1u;
inline constexpr std::uint32_t share_write = 0x2u;
inline constexpr std::uint32_t share_delete = 0x4u;

namespace detail {

/* Owns one value of a C family: `Family` names its type, the value that
 * owns nothing, and the call that gives a value back. The base of every
 * owning type below. */
template <class Family>
class owner {
public:
    using value_type = typename Family::value_type;

    owner(owner&& other) noexcept : value_(other.take()) {}
    owner& operator=(owner&& other) noexcept {
        if (this != &other) reset(other.take());
        return *this;
    }
    ~owner() { reset(Family::none()); }

protected:
    explicit owner(value_type value = Family::none()) noexcept : value_(value) {}
    value_type value() const noexcept { return value_; }
    bool owns() const noexcept { return value_ != Family::none(); }
    /* Gives up the value without giving it back. */
    value_type take() noexcept { return std::exchange(value_, Family::none()); }
    /* Gives the value owned back and owns `value` instead. */
    void reset(value_type value) noexcept {
        value_type old = std::exchange(value_, value);
        if (old != Family::none()) Family::close(old);
    }

private:
    value_type value_;
};

struct string_family {
    using value_type = StringHandle;
    static value_type none() noexcept { return 0; }
    static void close(value_type h) noexcept { ZmsFree(h); }
};
struct text_family {
    using value_type = StringHandle;
    static value_type none() noexcept { return 0; }
    static void close(value_type h) noexcept { hstrfree(h); }
};
struct file_family {
    using value_type = void*;
    static value_type none() noexcept { return reinterpret_cast<void*>(~std::uintptr_t{0}); }
    static void close(value_type f) noexcept { ZfdClose(f); }
};
struct mutex_family {
    using value_type = void*;
    static value_type none() noexcept { return nullptr; }
    static void close(value_type m) noexcept { ZmdCloseHandle(m); }
};
struct module_family {
    using value_type = void*;
    static value_type none() noexcept { return nullptr; }
    static void close(value_type m) noexcept { ZmdFreeLibrary(m); }
};

/* Marks the private constructors that take a handle over. */
struct adopted {};

/* The 16-bit counts of the C interface. */
inline constexpr std::size_t max_count = 0xFFFF;

/* Returns the comparison `result` of a stored string with the first
 * `compared` bytes of `given` as the comparison with all of `given`: a
 * stored string equal to a proper prefix of it orders first. */
inline int whole_comparison(std::int32_t result, std::size_t compared, std::size_t given) noexcept {
    return result == 0 && compared < given ? -1 : static_cast<int>(result);
}

}  // namespace detail

/* ---- string ---------------------------------------------------------------
 * Owns one string handle of the store (1 to 65535 bytes, NULs included), or
 * none. Move-only; the destructor frees the string. */
class string : private detail::owner<detail::string_family> {
public:
    /* Makes an object that owns no string. */
    string() noexcept = default;

    /* Stores `bytes`; an empty view makes no string. Throws
     * std::length_error above 65,535 bytes, std::bad_alloc when the store
     * refuses. */
    explicit string(std::string_view bytes) : owner(put(bytes)) {}

    /* Takes ownership of `h` (0: none). Nothing is checked. */
    static string adopt(StringHandle h) noexcept { return string(h, detail::adopted()); }

    /* Returns the handle, still owned, or 0. */
    StringHandle get() const noexcept { return value(); }

    /* Returns the handle, or 0, and owns it no longer: the caller frees it. */
    StringHandle release() noexcept { return take(); }

    /* Returns whether a string is owned. */
    explicit operator bool() const noexcept { return owns(); }

    /* Returns the string's length in bytes; 0 for none or a rejected handle. */
    std::size_t size() const noexcept { return ZmsLen(value()); }

    /* Returns a copy of the string's bytes; empty for none or a rejected
     * handle. */
    std::string str() const {
        std::string bytes(size(), '\0');
        if (!bytes.empty()) ZmsGet(value(), &bytes[0], static_cast<std::uint16_t>(bytes.size()));
        return bytes;
    }

    /* Stores a copy under a new handle; no string for none or a rejected
     * handle. Throws std::bad_alloc when the store refuses. */
    string dup() const {
        if (size() == 0) return string();
        StringHandle copy = ZmsDup(value());
        if (copy == 0) throw std::bad_alloc();
        return adopt(copy);
    }

    /* Compares the string with `bytes` as unsigned bytes, a prefix ordering
     * first; no string is the empty one. Returns -1, 0 or 1 when the string
     * is less, equal or greater, and the store's 2 for a rejected handle
     * (an empty `bytes` is tested first: it gives 1 then, as ZmsCmp). */
    int compare(std::string_view bytes) const noexcept {
        std::size_t n = bytes.size() < detail::max_count ? bytes.size() : detail::max_count;
        std::int32_t result = ZmsCmp(value(), bytes.data(), static_cast<std::uint16_t>(n));
        return detail::whole_comparison(result, n, bytes.size());
    }

private:
    string(StringHandle h, detail::adopted) noexcept : owner(h) {}

    static StringHandle put(std::string_view bytes) {
        if (bytes.empty()) return 0;
        if (bytes.size() > detail::max_count) throw std::length_error("tembrix::string: over 65535 bytes");
        StringHandle h = ZmsPut(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
        if (h == 0) throw std::bad_alloc();
        return h;
    }
};

/* ---- text -----------------------------------------------------------------
 * Owns one text handle: no text (0, as default-constructed and moved-from),
 * the empty text (HSTR_EMPTY, a value of its own that owns no storage but
 * is a text: it tests true), or a stored text of 1 to 65534 characters
 * without NULs. Move-only; the destructor frees the text. */
class text : private detail::owner<detail::text_family> {
public:
    /* Makes an object that owns no text. */
    text() noexcept = default;

    /* Stores the terminated `chars`; null or "" makes the empty text.
     * Throws std::length_error at 65,535 characters or more, std::bad_alloc
     * when the store refuses. */
    explicit text(const char* chars) : owner(put(chars, chars ? std::strlen(chars) : 0)) {}

    /* Stores `chars`, which must hold no NUL (std::invalid_argument); an
     * empty view makes the empty text. Throws as text(const char*). */
    explicit text(std::string_view chars) : owner(put(chars)) {}

    /* Takes ownership of `h` (0: none; HSTR_EMPTY). Nothing is checked. */
    static text adopt(StringHandle h) noexcept { return text(h, detail::adopted()); }

    /* Returns the handle, still owned: 0, HSTR_EMPTY or a stored text's. */
    StringHandle get() const noexcept { return value(); }

    /* Returns the handle and owns it no longer: the caller frees it. */
    StringHandle release() noexcept { return take(); }

    /* Returns whether a text is owned, the empty text included. */
    explicit operator bool() const noexcept { return owns(); }

    /* Returns the text's length in characters; 0 for no text, the empty
     * text or a rejected handle. */
    std::size_t size() const noexcept {
        std::uint16_t length = hstrlen(value());
        return length == 0xFFFF ? 0 : length;
    }

    /* Returns a copy of the text; empty for no text or a rejected handle. */
    std::string str() const {
        std::size_t length = size();
        if (length == 0) return std::string();
        // A text of 65534 characters fills the buffer and reads back as
        // 0xFFFF, whole: the length comes from hstrlen.
        std::string chars(length + 1, '\0');
        hstrget(value(), &chars[0], static_cast<std::uint16_t>(chars.size()));
        chars.resize(length);
        return chars;
    }

    /* Stores a copy under a new handle; the empty text for the empty text,
     * no text for no text or a rejected handle. Throws std::bad_alloc when
     * the store refuses. */
    text dup() const {
        if (!owns() || hstrlen(value()) == 0xFFFF) return text();
        StringHandle copy = hstrdup(value(), nullptr);
        if (copy == 0) throw std::bad_alloc();
        return adopt(copy);
    }

    /* Compares the text with the terminated `chars` (null: the empty text)
     * byte by byte; no text is the empty one. Returns -1, 0 or 1 when the
     * text is less, equal or greater, and the store's 2 for a rejected
     * handle. */
    int compare(const char* chars) const noexcept { return hstrcmp(value(), chars); }

    /* The same with the bytes of `chars`, which may hold a NUL: a text is
     * less than a view that goes on past its end. Copies `chars`. */
    int compare(std::string_view chars) const {
        std::string terminated(chars.substr(0, chars.find('\0')));
        return detail::whole_comparison(hstrcmp(value(), terminated.c_str()), terminated.size(),
                                        chars.size());
    }

private:
    static constexpr std::size_t max_length = 65534;

    text(StringHandle h, detail::adopted) noexcept : owner(h) {}

    static StringHandle put(const char* chars, std::size_t length) {
        if (length > max_length) throw std::length_error("tembrix::text: 65535 characters or more");
        StringHandle h = hstrput(chars);
        if (h == 0) throw std::bad_alloc();
        return h;
    }
    static StringHandle put(std::string_view chars) {
        if (chars.find('\0') != std::string_view::npos)
            throw std::invalid_argument("tembrix::text: a NUL inside a text");
        if (chars.size() > max_length) throw std::length_error("tembrix::text: 65535 characters or more");
        return put(std::string(chars).c_str(), chars.size());
    }
};

/* ---- file -----------------------------------------------------------------
 * Owns a file handle of the platform. Move-only; the destructor closes it. */
class file : private detail::owner<detail::file_family> {
public:
    /* Opens the existing file `name` (never created or truncated) with
     * `access` (access_read, access_write) and `share` (share_read, ...).
     * Returns the file, or nothing when ZfdOpen fails. */
    static std::optional<file> open(const char* name, std::uint32_t access,
                                    std::uint32_t share) noexcept {
        void* f = ZfdOpen(name, access, share);
        if (f == detail::file_family::none()) return std::nullopt;
        return file(f);
    }

    /* Reads up to `count` bytes from the file's position into `buffer`, in
     * pieces of at most 65,535 bytes, and stops after the first piece that
     * comes back short. Returns the bytes read: fewer than `count` at the
     * end of the file or after a failed piece. */
    std::size_t read(void* buffer, std::size_t count) {
        return in_pieces(static_cast<char*>(buffer), count, [this](char* at, std::uint16_t n) {
            return ZfdRead(value(), at, n);
        });
    }

    /* Writes `count` bytes from `buffer` at the file's position, in pieces
     * as read(). Returns the bytes written: fewer than `count` when a piece
     * failed. */
    std::size_t write(const void* buffer, std::size_t count) {
        return in_pieces(static_cast<const char*>(buffer), count,
                         [this](const char* at, std::uint16_t n) { return ZfdWrite(value(), at, n); });
    }

    /* Returns the platform's handle, still owned; (void *)-1 for none. */
    void* native_handle() const noexcept { return value(); }

private:
    explicit file(void* f) noexcept : owner(f) {}

    template <class Bytes, class Transfer>
    static std::size_t in_pieces(Bytes* at, std::size_t count, Transfer transfer) {
        std::size_t done = 0;
        while (done < count) {
            std::size_t piece = count - done < detail::max_count ? count - done : detail::max_count;
            std::uint16_t moved = transfer(at + done, static_cast<std::uint16_t>(piece));
            done += moved;
            if (moved < piece) break;
        }
        return done;
    }
};

/* ---- directory search -----------------------------------------------------
 * find(pattern) is a range of the names in a directory that match
 * `pattern` (tembrix.h tells the wildcards), each a `found`:
 *
 *     for (const tembrix::found& f : tembrix::find("logs/day*.txt")) ...
 *
 * The search is closed when the range is destroyed, also when the loop is
 * left early, and as soon as its last match has been passed. A pattern
 * that matches nothing is an empty range. The range is a single pass, and
 * neither copied nor moved (its iterators point into it); a `found` is a
 * copy of its match and outlives it. */
class found {
public:
    /* Returns the name (at most 259 bytes), valid while this object is. */
    std::string_view name() const noexcept { return record_.name; }
    /* Returns the attribute bits (0x01 read-only, 0x02 hidden, 0x10
     * directory, 0x20 archive). */
    std::uint32_t attributes() const noexcept { return record_.attrib; }
    /* Returns the size in bytes (low 32 bits); 0 for a directory. */
    std::uint32_t size() const noexcept { return record_.size; }
    bool is_directory() const noexcept { return (record_.attrib & 0x10u) != 0; }
    /* Return the times of creation, last access and last write. */
    std::chrono::system_clock::time_point created() const noexcept { return at(record_.time_create); }
    std::chrono::system_clock::time_point accessed() const noexcept { return at(record_.time_access); }
    std::chrono::system_clock::time_point written() const noexcept { return at(record_.time_write); }

private:
    friend class search;
    static std::chrono::system_clock::time_point at(std::int32_t seconds) noexcept {
        return std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds));
    }
    FindRecord record_{};
};

/* The range find() returns. */
class search {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = found;
        using difference_type = std::ptrdiff_t;
        using pointer = const found*;
        using reference = const found&;

        iterator() noexcept = default;
        reference operator*() const noexcept { return search_->current_; }
        pointer operator->() const noexcept { return &search_->current_; }
        iterator& operator++() noexcept {
            search_->next();
            return *this;
        }
        void operator++(int) noexcept { search_->next(); }
        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            return a.done() == b.done() && (a.done() || a.search_ == b.search_);
        }
        friend bool operator!=(const iterator& a, const iterator& b) noexcept { return !(a == b); }

    private:
        friend class search;
        explicit iterator(search* s) noexcept : search_(s) {}
        bool done() const noexcept { return search_ == nullptr || !search_->open(); }
        search* search_ = nullptr;
    };

    /* Starts the search; find(pattern) is the same. `pattern` must not be
     * null. */
    explicit search(const char* pattern) noexcept { ZfdFindFirst(pattern, 0, &current_.record_); }
    search(const search&) = delete;
    search& operator=(const search&) = delete;
    ~search() { close(); }

    /* Returns an iterator at the current match; end() once none is left. */
    iterator begin() noexcept { return iterator(this); }
    iterator end() noexcept { return iterator(); }

private:
    bool open() const noexcept { return current_.record_.handle != -1; }
    void next() noexcept {
        if (open() && ZfdFindNext(&current_.record_) != 0) close();
    }
    void close() noexcept {
        if (!open()) return;
        ZfdFindClose(&current_.record_);
        current_.record_.handle = -1;
    }
    found current_;
};

/* Returns the range of the matches of `pattern` (not null). */
inline search find(const char* pattern) noexcept { return search(pattern); }

/* ---- mutex ----------------------------------------------------------------
 * Owns a handle of one of the platform's mutexes, which one thread owns at a
 * time and may take again (each taking released once). Meets TimedLockable:
 * lock(), try_lock(), try_lock_for(), try_lock_until(), unlock(). Move-only;
 * the destructor closes the handle (a mutex the thread still owns stays
 * owned until released, as ZmdCloseHandle tells). */
class mutex : private detail::owner<detail::mutex_family> {
public:
    /* Creates the mutex `name` (null or "": unnamed), owned by the calling
     * thread when `owned` is true; a mutex of that name that exists already
     * is opened, and then not taken. Returns nothing when ZmdCreateMutex
     * fails (an invalid name, among others). */
    static std::optional<mutex> create(const char* name = nullptr, bool owned = false) noexcept {
        return made(ZmdCreateMutex(owned ? 1 : 0, name));
    }

    /* Opens the existing mutex `name`. Returns nothing when there is none. */
    static std::optional<mutex> open(const char* name) noexcept { return made(ZmdOpenMutex(name)); }

    /* Waits without limit until the calling thread owns the mutex. Throws
     * std::system_error when the wait fails (a mutex moved from, among
     * others). */
    void lock() { take_within(wait_forever); }

    /* Takes the mutex if no other thread owns it. Returns whether it did;
     * throws as lock(). */
    bool try_lock() { return take_within(0); }

    /* Waits at most `timeout` (rounded up to milliseconds) to take the
     * mutex. Returns whether it did; throws as lock(). */
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
        // In floating-point milliseconds first: no finite timeout overflows.
        std::chrono::duration<double, std::milli> ms = timeout;
        if (!(ms.count() > 0)) return take_within(0);
        if (ms.count() >= longest_wait) return take_within(longest_wait);
        return take_within(static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(ms).count()));
    }

    /* Waits until `deadline` at the latest to take the mutex. Returns
     * whether it did; throws as lock(). */
    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        return try_lock_for(deadline - Clock::now());
    }

    /* Gives up one taking by the calling thread, which must own the mutex. */
    void unlock() noexcept { ZmdReleaseMutex(value()); }

    /* Returns whether the last successful lock took the mutex from an owner
     * that had ended holding it (the wait's 0x80). Read it while holding
     * the mutex. */
    bool abandoned() const noexcept { return abandoned_; }

    /* Returns the platform's handle, still owned; null for none. */
    void* native_handle() const noexcept { return value(); }

private:
    static constexpr std::uint32_t wait_forever = 0xFFFFFFFFu;
    static constexpr std::uint32_t longest_wait = 0xFFFFFFFEu;

    explicit mutex(void* m) noexcept : owner(m) {}

    static std::optional<mutex> made(void* m) noexcept {
        if (!m) return std::nullopt;
        return mutex(m);
    }

    /* Waits up to `timeout_ms`. Returns true when the mutex was taken,
     * false when the time ran out; throws when the wait failed. */
    bool take_within(std::uint32_t timeout_ms) {
        switch (ZmdWaitForSingleObject(value(), timeout_ms)) {
        case 0x00: abandoned_ = false; return true;
        case 0x80: abandoned_ = true; return true;
        case 0x102: return false;
        default:
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "tembrix::mutex: the wait failed");
        }
    }

    bool abandoned_ = false;
};

/* ---- module ---------------------------------------------------------------
 * Owns one use of a loaded module. Move-only; the destructor frees it (the
 * platform unloads the module after its last use). */
class module : private detail::owner<detail::module_family> {
public:
    /* Loads the module file `name`, or counts one more use of it. Returns
     * nothing when ZmdLoadLibrary fails. */
    static std::optional<module> load(const char* name) noexcept {
        void* m = ZmdLoadLibrary(name);
        if (!m) return std::nullopt;
        return module(m);
    }

    /* Returns the module's export `name` as an F* (a function type for a
     * function, an object type for data), or null when it exports no such
     * name or no module is owned. F must match the export, calling
     * convention included. */
    template <class F>
    F* proc(const char* name) const noexcept {
        return owns() ? reinterpret_cast<F*>(ZmdGetProcAddress(value(), name)) : nullptr;
    }

    /* Returns the full path of the module's file; empty when no module is
     * owned or the platform does not tell it. */
    std::string path() const {
        if (!owns()) return std::string();
        for (std::uint32_t size = 260;; size *= 2) {
            std::string buffer(size, '\0');
            std::uint32_t length = ZmdGetModuleFileName(value(), &buffer[0], size);
            // A path that fills the buffer may have been cut: try a larger one.
            if (length < size || size >= 0x10000) {
                buffer.resize(length < size ? length : 0);
                return buffer;
            }
        }
    }

    /* Returns the platform's handle, still owned; null for none. */
    void* native_handle() const noexcept { return value(); }

private:
    explicit module(void* m) noexcept : owner(m) {}
};

}  // namespace tembrix

#endif /* TEMBRIX_HPP */
