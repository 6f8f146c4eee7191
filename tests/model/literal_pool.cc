// The literal pool: the store's rules step by step, with no search state.
#include "tests/model/literal_pool.h"

#include <cstring>

namespace model {
namespace {
constexpr uint32_t kEnd = 0x00FFFFFF;
constexpr uint16_t kMaxSlots = 0xFFFE;
constexpr uint32_t kOk = 257, kBadRef = 261, kNoRoom = 262;

unsigned TextLength(const char* text) {
    unsigned n = 0;
    while (text && n < 0xFFFF && text[n]) ++n;
    return n;
}
}  // namespace

uint32_t LiteralPool::Link(uint32_t ref) const {
    uint32_t b = ref & 0xFFFF, c = (ref >> 16) & 0xFF;
    if (b >= blocks_.size() || !blocks_[b]) return 0;
    return blocks_[b]->links[c];
}

bool LiteralPool::ScanOn(uint32_t* b) {
    if (*b < blocks_.size()) return true;
    if (blocks_.size() >= kMaxSlots) return false;
    uint32_t i = 0;
    while (i < blocks_.size() && blocks_[i]) ++i;
    if (i == blocks_.size()) blocks_.emplace_back();
    blocks_[i].reset(new tbx::ChunkBlock());  // value-initialised: all zero
    *b = i;
    return true;
}

void LiteralPool::Chain::Append(tbx::ChunkBlock* block, uint32_t b, unsigned c, unsigned length) {
    block->used++;
    block->links[c] = length << 24 | kEnd;
    uint32_t ref = c << 16 | b;
    if (last) last->links[last_c] = (last->links[last_c] & 0xFF000000) | ref;
    else handle = 0xFF000000 | ref;
    last = block;
    last_c = c;
}


void LiteralPool::Mirror(const EntryList& pool) {
    blocks_.clear();
    blocks_.resize(pool.count);
    for (size_t b = 0; b < pool.count; ++b) {
        if (!pool.entries[b]) continue;
        blocks_[b].reset(new tbx::ChunkBlock());
        std::memcpy(blocks_[b].get(), pool.entries[b], sizeof(tbx::ChunkBlock));
    }
}

uint32_t LiteralPool::Put(const void* bytes, uint16_t length) {
    if (!bytes || length == 0) return 0;
    auto* src = static_cast<const uint8_t*>(bytes);
    unsigned remaining = length;
    uint32_t status = kOk;
    Chain chain;
    for (uint32_t b = 0; remaining;) {
        if (!ScanOn(&b)) {
            status = kNoRoom;
            break;
        }
        tbx::ChunkBlock* blk = blocks_[b].get();
        if (blk && blk->used < 256) {
            for (unsigned c = 0; c < 256 && remaining && blk->used < 256; ++c) {
                if (blk->links[c] != 0) continue;
                unsigned n = remaining < 32 ? remaining : 32;
                std::memcpy(blk->data[c], src, n);
                src += n;
                remaining -= n;
                chain.Append(blk, b, c, n);
            }
        }
        ++b;
    }
    if (status == kOk) return chain.handle;
    Free(chain.handle);
    return 0;
}

uint16_t LiteralPool::Get(uint32_t h, void* buffer, uint16_t size) const {
    if (h == 0 || !buffer || size == 0 || (h >> 24) != 0xFF) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    unsigned copied = 0, remaining = size;
    for (uint32_t ref = h & kEnd;;) {
        if (ref == kEnd) return static_cast<uint16_t>(copied);
        uint32_t link = Link(ref);
        if (link == 0) return 0;
        unsigned L = link >> 24, before = remaining;
        unsigned n = L < remaining ? L : remaining;
        std::memcpy(out, blocks_[ref & 0xFFFF]->data[(ref >> 16) & 0xFF], n);
        out += n;
        copied += n;
        remaining -= n;
        if (n != 32) return before < L ? 0xFFFF : static_cast<uint16_t>(copied);
        ref = link & kEnd;
    }
}

uint16_t LiteralPool::Len(uint32_t h) const {
    if (h == 0 || (h >> 24) != 0xFF) return 0;
    uint16_t total = 0;
    for (uint32_t ref = h & kEnd; ref != kEnd;) {
        uint32_t link = Link(ref);
        if (link == 0) return 0;
        if ((link >> 24) < 32) return static_cast<uint16_t>(total + (link >> 24));
        total = static_cast<uint16_t>(total + 32);
        ref = link & kEnd;
    }
    return total;
}

int32_t LiteralPool::Ptr(uint32_t h) const {
    if (h == 0 || (h >> 24) != 0xFF || (h & kEnd) == kEnd) return -1;
    uint32_t link = Link(h & kEnd);
    if (link == 0 || (link & kEnd) != kEnd) return -1;
    return static_cast<int32_t>((h & 0xFFFF) << 8 | ((h >> 16) & 0xFF));
}

void LiteralPool::Free(uint32_t h) {
    if (h == 0 || (h >> 24) != 0xFF) return;
    for (uint32_t ref = h & kEnd; ref != kEnd;) {
        uint32_t link = Link(ref);
        if (link == 0) return;
        tbx::ChunkBlock* blk = blocks_[ref & 0xFFFF].get();
        blk->links[(ref >> 16) & 0xFF] = 0;
        if (--blk->used == 0) blocks_[ref & 0xFFFF].reset();
        ref = link & kEnd;
    }
}

int32_t LiteralPool::Cmp(uint32_t h, const void* bytes, uint16_t length) const {
    bool none = !bytes || length == 0;
    if (h == 0) return none ? 0 : -1;
    if (none) return 1;
    if ((h >> 24) != 0xFF) return 2;
    auto* given = static_cast<const uint8_t*>(bytes);
    unsigned remaining = length;
    for (uint32_t ref = h & kEnd;;) {
        if (ref == kEnd) return remaining == 0 ? 0 : -1;
        uint32_t link = Link(ref);
        if (link == 0) return 2;
        unsigned L = link >> 24;
        unsigned n = L < remaining ? L : remaining;
        const uint8_t* stored = blocks_[ref & 0xFFFF]->data[(ref >> 16) & 0xFF];
        for (unsigned i = 0; i < n; ++i) {
            if (stored[i] != given[i]) return stored[i] < given[i] ? -1 : 1;
        }
        remaining -= n;
        given += n;
        if (n == L && (link & kEnd) == kEnd) return remaining == 0 ? 0 : -1;
        if (remaining == 0) return 1;
        ref = link & kEnd;
    }
}

uint32_t LiteralPool::Dup(uint32_t h) {
    if (h == 0 || (h >> 24) != 0xFF) return 0;
    uint32_t status = kOk, src = h & kEnd;
    unsigned copied = 0;
    Chain chain;
    for (uint32_t b = 0; src != kEnd && status == kOk; ++b) {
        if (!ScanOn(&b)) {
            status = kNoRoom;
            break;
        }
        tbx::ChunkBlock* blk = blocks_[b].get();
        if (!blk || blk->used == 256) continue;
        for (unsigned c = 0; c < 256 && blk->used < 256 && src != kEnd; ++c) {
            if (blk->links[c] != 0) continue;
            // No stored string has more than 2048 chunks: a longer source
            // is a stale chain that runs into other strings or the copy.
            uint32_t link = Link(src);
            if (link == 0 || copied++ == 2048) {
                status = kBadRef;
                break;
            }
            std::memcpy(blk->data[c], blocks_[src & 0xFFFF]->data[(src >> 16) & 0xFF], 32);
            chain.Append(blk, b, c, link >> 24);
            src = link & kEnd;
        }
    }
    if (status == kOk) return chain.handle;
    Free(chain.handle);
    return 0;
}

uint32_t LiteralPool::HPut(const char* text) {
    unsigned n = TextLength(text);
    if (n == 0) return 0x00FFFFFF;
    return n >= 0xFFFF ? 0 : Put(text, static_cast<uint16_t>(n + 1));
}

uint16_t LiteralPool::HGet(uint32_t h, char* buffer, uint16_t size) const {
    if (size == 0) return 0xFFFF;
    if (buffer) buffer[0] = 0;
    if (h == 0 || h == 0x00FFFFFF) return 0;
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
    if (h == 0 || h == 0x00FFFFFF) return n == 0 ? 0 : -1;
    if (n == 0) return 1;
    return Cmp(h, text, static_cast<uint16_t>(n < 0xFFFF ? n + 1 : 0xFFFF));
}

uint16_t LiteralPool::HLen(uint32_t h) const {
    if (h == 0 || h == 0x00FFFFFF) return 0;
    return static_cast<uint16_t>(Len(h) - 1);
}

uint32_t LiteralPool::HDup(uint32_t h, const char* text) {
    if (text) return HPut(text);
    return (h == 0 || h == 0x00FFFFFF) ? 0x00FFFFFF : Dup(h);
}

void LiteralPool::HFree(uint32_t h) {
    if (h != 0 && h != 0x00FFFFFF) Free(h);
}

}  // namespace model
