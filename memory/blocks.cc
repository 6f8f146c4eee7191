// ZmdAlloc, ZmdReAlloc, ZmdFree: the library's only allocator.
#include "memory/blocks.h"

#include "tembrix.h"
#include "platform/platform.h"

namespace tbx {
namespace {

// Every object is movable and shareable; only the zero-fill bit of the
// caller's flags is passed on.
uint32_t global_flags(uint8_t flags) {
    return os::kGmemMoveable | os::kGmemDdeShare | (flags & kZeroFill);
}

// Locks a fresh or resized object, trying `tries` times. On failure the
// object is freed: it has no address the caller could keep.
void* lock_or_free(os::Handle mem, int tries = 1) {
    void* p = nullptr;
    while (!p && tries-- > 0) p = os::GlobalLock(mem);
    if (!p) os::GlobalFree(mem);
    return p;
}

void* resize(void* block, uint32_t size, uint8_t flags, int lock_tries) {
    os::Handle mem = os::GlobalHandle(block);
    if (!mem) return nullptr;
    os::GlobalUnlock(mem);
    os::Handle resized = os::GlobalReAlloc(mem, size, global_flags(flags));
    if (!resized) {
        // The old object is intact: lock it again so `block` stays valid.
        os::GlobalLock(mem);
        return nullptr;
    }
    return lock_or_free(resized, size ? lock_tries : 1);
}

}  // namespace

void* resize_block(void* block, uint32_t size, uint8_t flags) { return resize(block, size, flags, 2); }

}  // namespace tbx

using namespace tbx;

extern "C" void* TBX_CALL ZmdAlloc(uint8_t flags, uint32_t size) noexcept {
    os::Handle mem = os::GlobalAlloc(global_flags(flags), size);
    return mem ? lock_or_free(mem) : nullptr;
}

extern "C" void* TBX_CALL ZmdReAlloc(void* block, uint32_t size, uint8_t flags) noexcept {
    return resize(block, size, flags, 1);
}

extern "C" void* TBX_CALL ZmdFree(void* block) noexcept {
    os::Handle mem = os::GlobalHandle(block);
    if (!mem) return block;
    os::GlobalUnlock(mem);
    if (!os::GlobalFree(mem)) return nullptr;
    // Still a block: locked again, so it keeps its address.
    os::GlobalLock(mem);
    return block;
}
