// ZmsPut, ZmsGet, ZmsDup, ZmsLen, ZmsPtr, ZmsFree, and the pool state
// behind them.
//
// Beside the blocks the pool keeps a small search state, so that finding
// the first free chunk costs the same at any pool size:
//   room          slots whose block has a free chunk
//   empty         empty slots below count (a new block goes to the lowest)
//   free_chunks   per block, one bit per free chunk
// It lives outside the blocks, whose format callers see, and is derived
// from them: pool_fault() recounts it.
#include "strings/pool.h"

#include <cstring>

#include "memory/entry_list.h"
#include "strings/slot_bitmap.h"

namespace tbx {

constinit EntryList stringPool = {nullptr, 0};

namespace {

struct SearchState {
    SlotBitmap room;
    SlotBitmap empty;
    uint64_t free_chunks[kMaxSlots][kChunksPerBlock / 64];
};

constinit SearchState g_search = {};

// Finds the lowest free chunk of `block`, which has room, and the free
// chunks right after it within the same word of free-chunk bits. Returns
// the chunk; `*run` is the length of that run, 1..64.
unsigned lowest_free_run(unsigned block, unsigned* run) {
    const uint64_t* words = g_search.free_chunks[block];
    unsigned w = 0;
    while (words[w] == 0) ++w;
    unsigned low = static_cast<unsigned>(__builtin_ctzll(words[w]));
    uint64_t taken = ~(words[w] >> low);  // 0 only when the whole word is free
    *run = taken ? static_cast<unsigned>(__builtin_ctzll(taken)) : 64;
    return w * 64 + low;
}

// Copies `n` bytes of payload. Most strings are short: up to 32 bytes move
// inline as two overlapping loads and stores, without a call.
inline void copy_payload(uint8_t* to, const uint8_t* from, unsigned n) {
    auto two = [&](auto width) {
        decltype(width) head, tail;
        std::memcpy(&head, from, sizeof head);
        std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
        std::memcpy(to, &head, sizeof head);
        std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
    };
    struct Bytes16 {
        uint64_t lo, hi;
    };
    if (n > kChunkSize) std::memcpy(to, from, n);
    else if (n >= 16) two(Bytes16{});
    else if (n >= 8) two(uint64_t{});
    else if (n >= 4) two(uint32_t{});
    else if (n >= 2) two(uint16_t{});
    else if (n == 1) *to = *from;
}

// Four link words, held in one vector register where the target has one.
using LinkLanes = uint32_t __attribute__((vector_size(16)));

// Returns whether chunks c..c+3 of block `b` are full and each links to the
// chunk after it.
bool four_chained(const ChunkBlock* block, unsigned b, unsigned c) {
    LinkLanes want = LinkLanes{0, 1, 2, 3} * (1u << 16) + make_link(kChunkSize, make_ref(b, c + 1));
    LinkLanes links;
    std::memcpy(&links, link_address(block, c), sizeof links);
    LinkLanes diff = links ^ want;
    uint64_t halves[2];
    std::memcpy(halves, &diff, sizeof halves);
    return (halves[0] | halves[1]) == 0;
}

// Marks `count` chunks from `first` free or taken; they lie in one word
// of free-chunk bits.
void mark_chunks(unsigned block, unsigned first, unsigned count, bool free) {
    uint64_t bits = ((uint64_t{2} << (count - 1)) - 1) << (first & 63);  // count 1..64
    if (free)
        g_search.free_chunks[block][first >> 6] |= bits;
    else
        g_search.free_chunks[block][first >> 6] &= ~bits;
}

// Writes the link words of `count` full chunks from `first` in block `b`,
// each linking to the chunk after it, four at a time.
void link_in_order(ChunkBlock* block, unsigned b, unsigned first, unsigned count) {
    LinkWord link = make_link(kChunkSize, make_ref(b, first + 1));
    unsigned i = 0;
    for (; i + 4 <= count; i += 4) {
        LinkLanes four = LinkLanes{0, 1, 2, 3} * (1u << 16) + (link + (i << 16));
        std::memcpy(link_address(block, first + i), &four, sizeof four);
    }
    for (; i < count; ++i) {
        LinkWord one = link + (i << 16);
        std::memcpy(link_address(block, first + i), &one, sizeof one);
    }
}

// Records what a slot holds after the entry list changed it.
void note_slot(unsigned slot) {
    if (slot >= stringPool.count) return;
    if (stringPool.entries[slot]) {
        g_search.empty.clear(slot);
        g_search.room.set(slot);
        for (uint64_t& w : g_search.free_chunks[slot]) w = ~uint64_t{0};
    } else {
        g_search.empty.set(slot);
        g_search.room.clear(slot);
    }
}

// Makes a block in the lowest empty slot, or in a new slot at the end: all
// its chunks free, its payload area not yet set (the chain writer sets all
// of it). Returns STATUS_OK with its index in `*index`, or STATUS_NO_ROOM.
[[gnu::noinline]] uint32_t make_block(unsigned* index) {
    if (stringPool.count >= kMaxSlots) return STATUS_NO_ROOM;
    unsigned slot = g_search.empty.lowest();
    if (slot == SlotBitmap::kNone) slot = stringPool.count;
    uint16_t filled = 0xFFFF;
    void* block = nullptr;
    uint32_t status = make_entry_at(&stringPool, static_cast<uint16_t>(slot), &filled, &block,
                                    sizeof(ChunkBlock), 0);
    if (block) std::memset(block, 0, kHeadSize);
    note_slot(filled);
    *index = filled;
    return status;
}

}  // namespace

unsigned gather_run(ChunkRef ref, Chunk* chunk, unsigned budget, bool* broken) {
    // A run goes on while a chunk is full and links to the next chunk of its
    // own block, and more than a chunk of the budget would remain. Those
    // link words follow one pattern, compared four at a time.
    *broken = false;
    unsigned b = block_of(ref);
    unsigned first = chunk->index;
    if (chunk->link != make_link(kChunkSize, make_ref(b, first + 1))) return 0;  // a chain's last chunk
    unsigned room = budget == 0 ? 0 : (budget - 1) / kChunkSize;  // chunks the budget allows
    unsigned end = first + room < kChunksPerBlock - 1 ? first + room : kChunksPerBlock - 1;
    const ChunkBlock* block = chunk->block;
    unsigned c = first;
    while (c + 4 <= end && four_chained(block, b, c)) c += 4;
    while (c < end && block->links[c] == make_link(kChunkSize, make_ref(b, c + 1))) ++c;
    if (c == first) return 0;
    LinkWord link = block->links[c];
    if (link == 0) *broken = true;
    else *chunk = Chunk{chunk->block, c, link};
    return (c - first) * kChunkSize;
}

bool ChainWriter::reserve(unsigned most) {
    // No chunk is freed while a chain is written, so a block that still has
    // room stays the lowest block with room.
    if (!block_ || block_->used == kChunksPerBlock) {
        unsigned b = g_search.room.lowest();
        if (b == SlotBitmap::kNone) {
            if (make_block(&b) != STATUS_OK) return false;
            settle();
            made_ = true;
        }
        block_index_ = b;
        block_ = block_at(b);
    }
    if (most == 1) {
        // One chunk: the run after it is not looked for.
        unsigned ignored;
        chunk_ = lowest_free_run(block_index_, &ignored);
        run_ = 1;
    } else {
        chunk_ = lowest_free_run(block_index_, &run_);
        if (run_ > most) run_ = most;
    }
    written_ = 0;
    return true;
}

void ChainWriter::write(const uint8_t* from, unsigned bytes) {
    copy_payload(tbx::payload(block_, chunk_), from, bytes);
    written_ = bytes;
}

void ChainWriter::commit(unsigned last_length) {
    ChunkRef ref = make_ref(block_index_, chunk_);
    unsigned last = chunk_ + run_ - 1;
    link_in_order(block_, block_index_, chunk_, run_ - 1);
    block_->links[last] = make_link(last_length, END_OF_CHAIN);
    mark_chunks(block_index_, chunk_, run_, false);
    block_->used = static_cast<uint16_t>(block_->used + run_);
    if (block_->used == kChunksPerBlock) g_search.room.clear(block_index_);
    if (last_block_) {
        LinkWord prev = last_block_->links[last_chunk_];
        last_block_->links[last_chunk_] = make_link(length_of(prev), ref);
    } else {
        first_ = make_handle(ref);
    }
    last_block_ = block_;
    last_chunk_ = last;
}

void ChainWriter::settle() {
    // A made block stays the current one until it is full (no chunk is
    // freed meanwhile) and its chunks are taken from chunk 0 on, each full
    // but the chain's last: what was written is one stretch from the start
    // of its payload area to the end of the last write into the reserved
    // chunks.
    if (!made_) return;
    unsigned end = chunk_ * kChunkSize + written_;
    std::memset(tbx::payload(block_, 0) + end, 0, kPayloadSize - end);
    made_ = false;
}

uint32_t ChainWriter::finish() {
    settle();
    return first_;
}

void ChainWriter::abandon() {
    settle();
    if (first_) free_chain(ref_of(first_));
}

void free_chain(ChunkRef ref) {
    Chunk chunk;
    while (ref != END_OF_CHAIN && resolve(ref, &chunk)) {
        unsigned b = block_of(ref);
        chunk.block->links[chunk.index] = 0;
        mark_chunks(b, chunk.index, 1, true);
        if (--chunk.block->used == 0) {
            RemoveListEntry(&stringPool, static_cast<uint16_t>(b));
            note_slot(b);
        } else {
            g_search.room.set(b);
        }
        ref = next_of(chunk.link);
    }
}

namespace {

// The stores and walks of strings of more than one chunk, and of every
// value that names no string: out of line, behind the one-chunk paths of
// the calls, each with its own helpers inlined (flatten).

[[gnu::noinline, gnu::flatten]] StringHandle put_chain(const uint8_t* source, unsigned length) {
    ChainWriter chain;
    unsigned remaining = length;
    while (remaining) {
        if (!chain.reserve((remaining + kChunkSize - 1) / kChunkSize)) {
            chain.abandon();
            return 0;
        }
        // The run's payload is one stretch: one copy fills it.
        unsigned full = (chain.reserved() - 1) * kChunkSize;
        unsigned n = remaining - full < kChunkSize ? remaining : full + kChunkSize;
        chain.write(source, n);
        chain.commit(n - full);
        source += n;
        remaining -= n;
    }
    return chain.finish();
}

[[gnu::noinline, gnu::flatten]] uint16_t get_chain(StringHandle h, uint8_t* out, unsigned size) {
    if (h == 0 || !is_tagged(h)) return 0;
    unsigned copied = 0;
    unsigned remaining = size;
    ChunkRef ref = ref_of(h);
    Chunk chunk;
    for (;;) {
        if (ref == END_OF_CHAIN) return static_cast<uint16_t>(copied);
        if (!resolve(ref, &chunk)) return 0;
        const uint8_t* run = payload(chunk.block, chunk.index);
        bool broken;
        unsigned run_bytes = gather_run(ref, &chunk, remaining, &broken);
        if (broken) {
            std::memcpy(out, run, run_bytes);
            return 0;
        }
        unsigned length = length_of(chunk.link);
        unsigned left = remaining - run_bytes;
        unsigned n = length < left ? length : left;
        copy_payload(out, run, run_bytes + n);
        out += run_bytes + n;
        copied += run_bytes + n;
        remaining = left - n;
        if (n != kChunkSize) return left < length ? 0xFFFF : static_cast<uint16_t>(copied);
        ref = next_of(chunk.link);
    }
}

[[gnu::noinline, gnu::flatten]] StringHandle dup_chain(StringHandle h) {
    if (!is_tagged(h)) return 0;
    ChunkRef source = ref_of(h);
    ChainWriter chain;
    for (unsigned copied = 0; source != END_OF_CHAIN; ++copied) {
        // The free chunk comes first: only then is the source looked at, so
        // a copy that fails on its source may leave a new, empty block.
        // A stored string has at most kMaxChainChunks chunks; a longer
        // source is a stale handle whose chain runs on into other strings,
        // or into the copy itself when the copy took the chunks it leads to.
        Chunk chunk;
        if (!chain.reserve(1) || copied == kMaxChainChunks || !resolve(source, &chunk)) {
            chain.abandon();
            return 0;
        }
        chain.write(payload(chunk.block, chunk.index), kChunkSize);
        chain.commit(length_of(chunk.link));
        source = next_of(chunk.link);
    }
    return chain.finish();
}

[[gnu::noinline]] uint16_t chain_length(StringHandle h) {
    if (!is_tagged(h)) return 0;
    uint16_t total = 0;
    ChunkRef ref = ref_of(h);
    Chunk chunk;
    while (ref != END_OF_CHAIN) {
        if (!resolve(ref, &chunk)) return 0;
        unsigned length = length_of(chunk.link);
        if (length < kChunkSize) return static_cast<uint16_t>(total + length);
        total = static_cast<uint16_t>(total + kChunkSize);
        ref = next_of(chunk.link);
    }
    return total;
}

}  // namespace

const char* pool_fault() {
    for (unsigned b = 0; b < stringPool.count; ++b) {
        ChunkBlock* block = block_at(b);
        if (!block) {
            if (!g_search.empty.test(b)) return "an empty slot is not marked empty";
            if (g_search.room.test(b)) return "an empty slot is marked as having room";
            continue;
        }
        if (g_search.empty.test(b)) return "an occupied slot is marked empty";
        unsigned occupied = 0;
        for (unsigned c = 0; c < kChunksPerBlock; ++c) {
            LinkWord link = block->links[c];
            bool marked_free = (g_search.free_chunks[b][c >> 6] >> (c & 63)) & 1;
            if (marked_free != (link == 0)) return "the free-chunk bits disagree with a link word";
            if (link == 0) continue;
            ++occupied;
            if (length_of(link) < 1 || length_of(link) > kChunkSize) return "a chunk length is not 1..32";
            ChunkRef next = next_of(link);
            if (next != END_OF_CHAIN && length_of(link) != kChunkSize)
                return "a chunk that is not last holds fewer than 32 bytes";
        }
        if (occupied != block->used) return "used differs from the count of nonzero link words";
        if (g_search.room.test(b) != (occupied < kChunksPerBlock)) return "the room bit is wrong";
    }
    for (unsigned b = stringPool.count; b < 0x10000; ++b) {
        if (g_search.room.test(b) || g_search.empty.test(b)) return "search state names a slot past count";
    }
    return nullptr;
}

}  // namespace tbx

using namespace tbx;

// Every store, read, copy and free of a string passes through one of these,
// so each has its helpers inlined into it (flatten).
extern "C" [[gnu::flatten]] StringHandle TBX_CALL ZmsPut(const void* bytes, uint16_t length) noexcept {
    if (!bytes || length == 0) return 0;
    auto* source = static_cast<const uint8_t*>(bytes);
    if (length > kChunkSize) return put_chain(source, length);
    // Most strings fit one chunk: the same steps, with a run of one.
    ChainWriter chain;
    if (!chain.reserve(1)) return 0;
    chain.write(source, length);
    chain.commit(length);
    return chain.finish();
}

extern "C" [[gnu::flatten]] uint16_t TBX_CALL ZmsGet(StringHandle h, void* buffer, uint16_t size) noexcept {
    if (!buffer || size == 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    // A string of one chunk: the walk's steps without its loop.
    Chunk chunk;
    if (whole_chunk(h, &chunk)) {
        unsigned length = length_of(chunk.link);
        copy_payload(out, payload(chunk.block, chunk.index), length < size ? length : size);
        return length <= size ? static_cast<uint16_t>(length) : 0xFFFF;
    }
    return get_chain(h, out, size);
}

extern "C" [[gnu::flatten]] StringHandle TBX_CALL ZmsDup(StringHandle h) noexcept {
    // A string of one chunk: found first, then copied into the first free
    // chunk. Reserving that chunk changes no link word and fills only an
    // empty slot, with free chunks, so the source reads the same after it.
    Chunk chunk;
    if (whole_chunk(h, &chunk)) {
        ChainWriter chain;
        if (!chain.reserve(1)) return 0;
        chain.write(payload(chunk.block, chunk.index), kChunkSize);
        chain.commit(length_of(chunk.link));
        return chain.finish();
    }
    return dup_chain(h);
}

extern "C" uint16_t TBX_CALL ZmsLen(StringHandle h) noexcept {
    Chunk chunk;
    if (whole_chunk(h, &chunk)) return static_cast<uint16_t>(length_of(chunk.link));
    return chain_length(h);
}

extern "C" void* TBX_CALL ZmsPtr(StringHandle h) noexcept {
    Chunk chunk;
    if (!is_tagged(h) || !resolve(ref_of(h), &chunk)) return nullptr;
    return next_of(chunk.link) == END_OF_CHAIN ? payload(chunk.block, chunk.index) : nullptr;
}

extern "C" [[gnu::flatten]] void TBX_CALL ZmsFree(StringHandle h) noexcept {
    if (!is_tagged(h)) return;
    free_chain(ref_of(h));
}
