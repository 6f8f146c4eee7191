// The string store's formats: the 9218-byte chunk block, the link word and
// the string handle. Everything that turns indexes into addresses or packs
// and unpacks these words is here, and only here.
#ifndef TEMBRIX_STRINGS_CHUNK_BLOCK_H_
#define TEMBRIX_STRINGS_CHUNK_BLOCK_H_

#include <cstddef>
#include <cstdint>

namespace tbx {

inline constexpr unsigned kChunksPerBlock = 256;
inline constexpr unsigned kChunkSize = 32;
// The longest string, 65535 bytes, fills this many chunks.
inline constexpr unsigned kMaxChainChunks = (0xFFFF + kChunkSize - 1) / kChunkSize;

// A block of the pool, as callers see it through ZmsPtr. Packed: the link
// words start at byte 2 and are not 4-aligned.
//
//   offset 0     used        u16       occupied chunks, 0..256
//   offset 2     links[256]  u32 each  link word of chunk i at 2 + 4*i
//   offset 1026  data[256]   32 bytes  payload of chunk i at 1026 + 32*i
//   size   9218
struct __attribute__((packed)) ChunkBlock {
    uint16_t used;
    uint32_t links[kChunksPerBlock];
    uint8_t data[kChunksPerBlock][kChunkSize];
};

static_assert(sizeof(ChunkBlock) == 9218, "the block size is part of the interface");
static_assert(offsetof(ChunkBlock, links) == 2, "link words follow the used count");
static_assert(offsetof(ChunkBlock, data) == 1026, "payload follows the 256 link words");
static_assert(alignof(ChunkBlock) == 1, "blocks are packed");

// The block's head, used count and link words, and its payload area.
inline constexpr size_t kHeadSize = offsetof(ChunkBlock, data);
inline constexpr size_t kPayloadSize = sizeof(ChunkBlock::data);

// A link word:
//
//   bits 24..31  length: payload bytes in this chunk, 1..32
//   bits 16..23  chunk index of the next chunk
//   bits  0..15  block index of the next chunk
//
// A link word of 0 marks a free chunk. The low 24 bits form a reference to
// a chunk, the same as the low 24 bits of a string handle.
using LinkWord = uint32_t;
using ChunkRef = uint32_t;

// The reference that ends a chain: next block 0xFFFF, next chunk 0xFF.
inline constexpr ChunkRef END_OF_CHAIN = 0x00FFFFFF;

// A string handle: 0xFF in the top byte, then the first chunk's reference.
inline constexpr uint32_t kHandleTag = 0xFF000000;

inline constexpr ChunkRef make_ref(unsigned block, unsigned chunk) {
    return static_cast<ChunkRef>(chunk) << 16 | block;
}
inline constexpr unsigned block_of(ChunkRef ref) { return ref & 0xFFFF; }
inline constexpr unsigned chunk_of(ChunkRef ref) { return (ref >> 16) & 0xFF; }

inline constexpr LinkWord make_link(unsigned length, ChunkRef next) {
    return static_cast<LinkWord>(length) << 24 | next;
}
inline constexpr unsigned length_of(LinkWord link) { return link >> 24; }
inline constexpr ChunkRef next_of(LinkWord link) { return link & END_OF_CHAIN; }

inline constexpr uint32_t make_handle(ChunkRef ref) { return kHandleTag | ref; }
inline constexpr bool is_tagged(uint32_t handle) { return handle >= kHandleTag; }  // top byte 0xFF
inline constexpr ChunkRef ref_of(uint32_t handle) { return handle & END_OF_CHAIN; }

static_assert(make_handle(make_ref(0, 0)) == 0xFF000000, "first chunk of block 0");
static_assert(make_handle(make_ref(0, 255)) == 0xFFFF0000, "chunk index sits above the block");
static_assert(make_link(6, END_OF_CHAIN) == 0x06FFFFFF, "length sits in the top byte");

// Returns the address of chunk `chunk`'s payload.
inline uint8_t* payload(ChunkBlock* block, unsigned chunk) { return block->data[chunk]; }

// Returns the address of chunk `chunk`'s link word, for reading or writing
// several link words at once (they are not 4-aligned).
inline const void* link_address(const ChunkBlock* block, unsigned chunk) {
    return reinterpret_cast<const uint8_t*>(block) + offsetof(ChunkBlock, links) + sizeof(LinkWord) * chunk;
}
inline void* link_address(ChunkBlock* block, unsigned chunk) {
    return const_cast<void*>(link_address(static_cast<const ChunkBlock*>(block), chunk));
}

}  // namespace tbx

#endif  // TEMBRIX_STRINGS_CHUNK_BLOCK_H_
