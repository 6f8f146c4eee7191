// The literal pool: the store's rules step by step, with no search state.
#include "tests/model/literal_pool.h"

#include <algorithm>
#include <cstring>

namespace model {
namespace {
constexpr uint32_t kEnd = 0x00FFFFFF;
constexpr size_t kMaxSlots = 0xFFFE;

bool Tagged(uint32_t h) { return (h >> 24) == 0xFF; }
unsigned BlockOf(uint32_t ref) { return ref & 0xFFFF; }
unsigned ChunkOf(uint32_t ref) { return (ref >> 16) & 0xFF; }
bool NoText(uint32_t h) { return h == 0 || h == 0x00FFFFFF; }

unsigned TextLength(const char* text) {
    unsigned n = 0;
    while (text && n < 0xFFFF && text[n]) ++n;
    return n;
}
}  // namespace

uint32_t LiteralPool::Link(uint32_t ref) const {
    if (BlockOf(ref) >= blocks_.size() || !blocks_[BlockOf(ref)]) return 0;
    return blocks_[BlockOf(ref)]->links[ChunkOf(ref)];
}

uint8_t* LiteralPool::Data(uint32_t ref) const { return blocks_[BlockOf(ref)]->data[ChunkOf(ref)]; }

template <typename Visit>
int LiteralPool::Walk(uint32_t h, Visit visit) const {
    for (uint32_t ref = h & kEnd; ref != kEnd;) {
        uint32_t link = Link(ref);
        if (link == 0) return -1;
        if (!visit(ref, link)) return 1;
        ref = link & kEnd;
    }
    return 0;
}

template <typename More, typename Fill>
uint32_t LiteralPool::Store(More more, Fill fill) {
    uint32_t handle = 0, last = 0;
    bool failed = false;
    for (size_t b = 0; more() && !failed; ++b) {
        if (b == blocks_.size()) {
            // Past the last slot: a new block goes to the lowest empty slot,
            // or to a new one, and the scan goes on from there.
            if ((failed = b >= kMaxSlots)) break;
            b = static_cast<size_t>(std::find(blocks_.begin(), blocks_.end(), nullptr) - blocks_.begin());
            if (b == blocks_.size()) blocks_.emplace_back();
            blocks_[b] = std::make_unique<tbx::ChunkBlock>();
        }
        tbx::ChunkBlock* blk = blocks_[b].get();
        for (uint32_t c = 0; blk && c < 256 && blk->used < 256 && more() && !failed; ++c) {
            if (blk->links[c] != 0) continue;
            unsigned n = fill(blk->data[c]);
            if ((failed = n == 0)) break;
            blk->used++;
            blk->links[c] = n << 24 | kEnd;
            uint32_t ref = c << 16 | static_cast<uint32_t>(b);
            tbx::ChunkBlock* prev = handle ? blocks_[BlockOf(last)].get() : nullptr;
            if (prev) prev->links[ChunkOf(last)] = (prev->links[ChunkOf(last)] & 0xFF000000) | ref;
            else handle = 0xFF000000 | ref;
            last = ref;
        }
    }
    if (!failed) return handle;
    Free(handle);
    return 0;
}

void LiteralPool::Mirror(const EntryList& pool) {
    blocks_.clear();
    for (size_t b = 0; b < pool.count; ++b) {
        auto* block = static_cast<const tbx::ChunkBlock*>(pool.entries[b]);
        blocks_.push_back(block ? std::make_unique<tbx::ChunkBlock>(*block) : nullptr);
    }
}

uint32_t LiteralPool::Put(const void* bytes, uint16_t length) {
    if (!bytes || length == 0) return 0;
    auto* src = static_cast<const uint8_t*>(bytes);
    unsigned remaining = length;
    return Store([&] { return remaining > 0; }, [&](uint8_t* payload) {
        unsigned n = std::min(remaining, 32u);
        std::memcpy(payload, src + length - remaining, n);
        remaining -= n;
        return n;
    });
}

uint16_t LiteralPool::Get(uint32_t h, void* buffer, uint16_t size) const {
    if (h == 0 || !buffer || size == 0 || !Tagged(h)) return 0;
    unsigned copied = 0, last = 0;
    int end = Walk(h, [&](uint32_t ref, uint32_t link) {
        unsigned length = link >> 24, n = std::min(length, size - copied);
        std::memcpy(static_cast<uint8_t*>(buffer) + copied, Data(ref), n);
        // A short chunk ends the copy: the string's end, or the buffer's.
        last = size - copied < length ? 0xFFFF : copied + n;
        copied += n;
        return n == 32;
    });
    return static_cast<uint16_t>(end < 0 ? 0 : end == 0 ? copied : last);
}

uint16_t LiteralPool::Len(uint32_t h) const {
    if (h == 0 || !Tagged(h)) return 0;
    unsigned total = 0;
    int end = Walk(h, [&](uint32_t, uint32_t link) {
        total += link >> 24;
        return (link >> 24) == 32;
    });
    return static_cast<uint16_t>(end < 0 ? 0 : total);
}

int32_t LiteralPool::Ptr(uint32_t h) const {
    if (h == 0 || !Tagged(h) || (h & kEnd) == kEnd) return -1;
    uint32_t link = Link(h & kEnd);
    if (link == 0 || (link & kEnd) != kEnd) return -1;
    return static_cast<int32_t>(BlockOf(h) << 8 | ChunkOf(h));
}

void LiteralPool::Free(uint32_t h) {
    if (h == 0 || !Tagged(h)) return;
    Walk(h, [&](uint32_t ref, uint32_t) {
        tbx::ChunkBlock* blk = blocks_[BlockOf(ref)].get();
        blk->links[ChunkOf(ref)] = 0;
        if (--blk->used == 0) blocks_[BlockOf(ref)].reset();
        return true;
    });
}

int32_t LiteralPool::Cmp(uint32_t h, const void* bytes, uint16_t length) const {
    bool none = !bytes || length == 0;
    if (h == 0) return none ? 0 : -1;
    if (none) return 1;
    if (!Tagged(h)) return 2;
    auto* given = static_cast<const uint8_t*>(bytes);
    unsigned remaining = length;
    int32_t result = -1;  // for a chain with no chunks
    int end = Walk(h, [&](uint32_t ref, uint32_t link) {
        unsigned n = std::min(link >> 24, remaining);
        int diff = std::memcmp(Data(ref), given, n);  // unsigned bytes
        given += n;
        remaining -= n;
        if (diff != 0) result = diff < 0 ? -1 : 1;
        else if (n == link >> 24 && (link & kEnd) == kEnd) result = remaining == 0 ? 0 : -1;
        else if (remaining == 0) result = 1;
        else return true;
        return false;
    });
    return end < 0 ? 2 : result;
}

uint32_t LiteralPool::Dup(uint32_t h) {
    if (h == 0 || !Tagged(h)) return 0;
    uint32_t src = h & kEnd;
    unsigned copied = 0;
    return Store([&] { return src != kEnd; }, [&](uint8_t* payload) {
        // No stored string has more than 2048 chunks: a longer source is a
        // stale chain that runs into other strings or into the copy.
        uint32_t link = Link(src);
        if (link == 0 || copied++ == 2048) return 0u;
        std::memcpy(payload, Data(src), 32);
        src = link & kEnd;
        return link >> 24;
    });
}

uint32_t LiteralPool::HPut(const char* text) {
    unsigned n = TextLength(text);
    if (n == 0) return 0x00FFFFFF;
    return n >= 0xFFFF ? 0 : Put(text, static_cast<uint16_t>(n + 1));
}

uint16_t LiteralPool::HGet(uint32_t h, char* buffer, uint16_t size) const {
    if (size == 0) return 0xFFFF;
    if (buffer) buffer[0] = 0;
    if (NoText(h)) return 0;
    if (!buffer) {
        auto k = static_cast<uint16_t>(Len(h) - 1);
        return size > k ? k : 0xFFFF;
    }
    uint16_t r = Get(h, buffer, size);
    if (r != 0xFFFF) return static_cast<uint16_t>(r - 1);
    buffer[size - 1] = 0;
    return 0xFFFF;
}

int32_t LiteralPool::HCmp(uint32_t h, const char* text) const {
    unsigned n = TextLength(text);
    if (NoText(h)) return n == 0 ? 0 : -1;
    if (n == 0) return 1;
    return Cmp(h, text, static_cast<uint16_t>(n < 0xFFFF ? n + 1 : 0xFFFF));
}

uint16_t LiteralPool::HLen(uint32_t h) const { return NoText(h) ? 0 : static_cast<uint16_t>(Len(h) - 1); }

uint32_t LiteralPool::HDup(uint32_t h, const char* text) {
    if (text) return HPut(text);
    return NoText(h) ? 0x00FFFFFF : Dup(h);
}

void LiteralPool::HFree(uint32_t h) {
    if (!NoText(h)) Free(h);
}

}  // namespace model
