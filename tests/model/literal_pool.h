// A literal string pool: every store scans the slots from block 0 and the
// link words from chunk 0, exactly as the store's rules are written. Small
// and slow on purpose; the library's pool must give the same handles and
// the same block contents for any sequence of calls.
#ifndef TEMBRIX_TESTS_MODEL_LITERAL_POOL_H_
#define TEMBRIX_TESTS_MODEL_LITERAL_POOL_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "strings/chunk_block.h"
#include "tembrix.h"

namespace model {

class LiteralPool {
public:
    uint32_t Put(const void* bytes, uint16_t length);
    uint16_t Get(uint32_t h, void* buffer, uint16_t size) const;
    uint16_t Len(uint32_t h) const;
    // Returns the (block, chunk) of a one-chunk string as block << 8 | chunk,
    // or -1 where ZmsPtr gives null.
    int32_t Ptr(uint32_t h) const;
    void Free(uint32_t h);
    int32_t Cmp(uint32_t h, const void* bytes, uint16_t length) const;
    uint32_t Dup(uint32_t h);

    // Text handles on top of the operations above.
    uint32_t HPut(const char* text);
    uint16_t HGet(uint32_t h, char* buffer, uint16_t size) const;
    int32_t HCmp(uint32_t h, const char* text) const;
    uint16_t HLen(uint32_t h) const;
    uint32_t HDup(uint32_t h, const char* text);
    void HFree(uint32_t h);

    // Becomes a copy of `pool`: its count and every block it holds. For
    // tests that let the library fail a call the model was not told about.
    void Mirror(const EntryList& pool);

    // The pool as the entry list holds it: one entry per slot, null if empty.
    size_t count() const { return blocks_.size(); }
    const tbx::ChunkBlock* block(size_t i) const { return blocks_[i].get(); }
    // Returns the link word of an occupied chunk, or 0 when `ref` names an
    // out-of-range block, an empty slot or a free chunk.
    uint32_t Link(uint32_t ref) const;

private:
    // Calls visit(ref, link) for each chunk of the chain of `h` while it
    // returns true. Returns 0 at the end of the chain, 1 when `visit`
    // stopped the walk, -1 at a reference that names no occupied chunk.
    template <typename Visit>
    int Walk(uint32_t h, Visit visit) const;
    // Fills free chunks first-fit while more() holds: fill(payload) writes
    // the next chunk and returns its length, or 0 to abandon the string.
    // Returns the handle of the new chain, or 0.
    template <typename More, typename Fill>
    uint32_t Store(More more, Fill fill);
    uint8_t* Data(uint32_t ref) const;

    std::vector<std::unique_ptr<tbx::ChunkBlock>> blocks_;
};

}  // namespace model

#endif  // TEMBRIX_TESTS_MODEL_LITERAL_POOL_H_
