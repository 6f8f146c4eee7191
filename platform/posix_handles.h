// The POSIX stand-in's one handle space for kernel objects (files and
// mutexes), as Win32 has: CloseHandle closes any of them, and a value that
// is not an open handle is rejected by a table lookup, never dereferenced.
//
// Objects are counted. A handle holds one reference while it is open, and
// every call that uses the object holds one more until it returns, so a
// handle closed by one thread while another is inside a read or a wait
// keeps its object (its file descriptor, its mapped state) alive until that
// call ends, as Win32 keeps an object alive while a call uses it.
#ifndef TEMBRIX_PLATFORM_POSIX_HANDLES_H_
#define TEMBRIX_PLATFORM_POSIX_HANDLES_H_

#include <cstdint>

#include "platform/platform.h"

namespace tbx::os::posix {

enum class HandleType : uint8_t { kFile = 1, kMutex = 2 };

// What a handle stands for. Each kind of object begins with this record.
struct Object {
    HandleType type;
    // Whether a forked child keeps the handle. The child of a fork loses
    // the others at once: their objects are destroyed in the child, where
    // `destroy` must then undo only the child's own copies.
    bool inherited;
    uint32_t refs;  // kept by the table
    // Releases what the object holds and frees it. Called once, after the
    // last reference is gone, outside the table's lock.
    void (*destroy)(Object* object);
};

// Enters `object` in the table with one reference, the handle's. Returns
// the new handle, or null when the table is full (the caller then still
// owns `object`).
Handle add_handle(Object* object);

// Returns the object of the open handle `h` if it is of `type`, with one
// more reference that the caller gives back with release(); else null.
// Win32 ignores the low two bits of a handle value, and so does this.
Object* acquire(Handle h, HandleType type);

// Gives back a reference from acquire(); destroys the object after the last.
void release(Object* object);

// Closes `h`: the value stops naming its object at once, and the object is
// destroyed when no call uses it any more. Returns false when `h` is not an
// open handle.
bool close_handle(Handle h);

// Returns true for the pseudo-handles of the current process (all bits set)
// and thread (all but the lowest), which name no entry of the table: they
// close without effect and, while their process and thread run, a wait on
// them only times out.
inline bool is_pseudo_handle(Handle h) {
    auto value = reinterpret_cast<uintptr_t>(h);
    return value == ~uintptr_t{0} || value == ~uintptr_t{1};
}

// A reference to the object of type T (which begins with Object and names
// its type as T::kType) of a handle, held for a scope.
template <typename T>
class Ref {
public:
    explicit Ref(Handle h) : object_(static_cast<T*>(acquire(h, T::kType))) {}
    ~Ref() {
        if (object_) release(object_);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    explicit operator bool() const { return object_ != nullptr; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }

private:
    T* object_;
};

}  // namespace tbx::os::posix

#endif  // TEMBRIX_PLATFORM_POSIX_HANDLES_H_
