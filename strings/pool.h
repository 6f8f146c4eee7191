// The process-wide chunk pool: stringPool, the walk along a chain, and the
// first-fit search for free chunks that ZmsPut and ZmsDup share.
#ifndef TEMBRIX_STRINGS_POOL_H_
#define TEMBRIX_STRINGS_POOL_H_

#include <cstdint>

#include "strings/chunk_block.h"
#include "tembrix.h"

namespace tbx {

// The pool's blocks: slot i holds the block of block index i, or is empty.
extern constinit EntryList stringPool;

// An occupied chunk, found from its reference.
struct Chunk {
    ChunkBlock* block;
    unsigned index;  // chunk index within the block
    LinkWord link;   // never 0
};

// Returns the block in slot `index`, below the pool's count; null when the
// slot is empty.
inline ChunkBlock* block_at(unsigned index) { return static_cast<ChunkBlock*>(stringPool.entries[index]); }

// Finds the occupied chunk of `ref`. Returns false when the block index is
// not below the pool's count, the slot is empty, or the chunk is free; so a
// chain walk rejects freed and made-up references without reading outside
// the pool. Inline: every walk starts here.
inline bool resolve(ChunkRef ref, Chunk* chunk) {
    unsigned b = block_of(ref);
    if (b >= stringPool.count) return false;
    ChunkBlock* block = block_at(b);
    if (!block) return false;
    unsigned c = chunk_of(ref);
    LinkWord link = block->links[c];
    if (link == 0) return false;
    *chunk = Chunk{block, c, link};
    return true;
}

// Finds the chunk that string handle `h` names when it holds the whole
// string, a chain of one chunk (most strings are). Returns false for
// anything else: longer strings, and values that name no string, are left
// to the chain walks. The chunk's payload address is known before its link
// word is read, so a caller's loads of the two need not wait for each other.
inline bool whole_chunk(uint32_t h, Chunk* chunk) {
    return is_tagged(h) && resolve(ref_of(h), chunk) && next_of(chunk->link) == END_OF_CHAIN;
}

// Gathers a run of payload that starts at the chunk `*chunk` of `*ref`:
// full chunks that continue in the next chunk of the same block, taken
// while more than 32 of `budget` bytes would remain. Their payload is
// contiguous, so the run and the chunk after it can be read as one. On
// return `*chunk` names the chunk after the run. Returns the run's size in
// bytes; sets `*broken` when the chunk after the run is free.
unsigned gather_run(ChunkRef ref, Chunk* chunk, unsigned budget, bool* broken);

// Builds a new chain in first-fit order: lowest block with a free chunk,
// lowest free chunk within it, a new block only when no block has room.
// Chunks are taken a run at a time: free chunks that follow each other in
// one block, whose payload is one stretch of memory. Used by ZmsPut and
// ZmsDup.
//
// A block the writer makes is not zero-filled when allocated: its head is
// cleared at once, and its chunks are taken from chunk 0 on, so what the
// chain writes there is the start of its payload area. The rest is zeroed
// when the chain is finished or abandoned, and a new block holds the same
// bytes as a zero-filled one with the chain written into it, while a long
// chain does not write each block twice.
class ChainWriter {
public:
    // Reserves the next chunks of the chain: the lowest free chunk and the
    // free chunks right after it in the same block, at most `most` (1 or
    // more) and at most 64. Makes a block when none has room. Returns
    // false when the pool is full or out of memory.
    bool reserve(unsigned most);

    // Returns how many chunks are reserved.
    unsigned reserved() const { return run_; }

    // Copies `bytes` bytes (1..32 per reserved chunk) into the payload of
    // the reserved chunks, which is one stretch.
    void write(const uint8_t* from, unsigned bytes);

    // Occupies the reserved chunks as the end of the chain so far: every
    // one full but the last, which holds `last_length` (1..32) bytes.
    void commit(unsigned last_length);

    // Zeroes what the chain left unwritten in a block it made, and returns
    // the handle of the chain, or 0 when nothing was committed.
    uint32_t finish();

    // Zeroes what the chain left unwritten in a block it made, and frees
    // every chunk committed so far. The writer is not used after it.
    void abandon();

private:
    // Zeroes the payload of the block the writer made past what it wrote.
    void settle();

    ChunkBlock* block_ = nullptr;
    unsigned block_index_ = 0;
    unsigned chunk_ = 0;
    unsigned run_ = 0;
    ChunkBlock* last_block_ = nullptr;  // block of the last committed chunk
    unsigned last_chunk_ = 0;
    uint32_t first_ = 0;
    unsigned written_ = 0;  // payload bytes written into the reserved chunks
    bool made_ = false;     // block_ was made by this writer, its payload not yet all set
};

// Frees the chain that starts at `ref`, up to its end or the first
// reference that does not resolve.
void free_chain(ChunkRef ref);

// Recounts the pool's invariants: each block's `used` equals its nonzero
// link words, each length is 1..32 and only a chain's last chunk is short,
// the search state matches the blocks.
// Returns null when all hold, else what was found wrong.
const char* pool_fault();

}  // namespace tbx

#endif  // TEMBRIX_STRINGS_POOL_H_
