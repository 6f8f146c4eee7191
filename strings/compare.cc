// ZmsCmp and ZmsDup: comparing a stored string in place, and copying it.
#include <cstring>

#include "strings/pool.h"

using namespace tbx;

extern "C" int32_t TBX_CALL ZmsCmp(StringHandle h, const void* bytes, uint16_t length) noexcept {
    bool no_bytes = !bytes || length == 0;
    if (h == 0) return no_bytes ? 0 : -1;
    if (no_bytes) return 1;
    if (!is_tagged(h)) return 2;
    auto* given = static_cast<const uint8_t*>(bytes);
    unsigned remaining = length;
    ChunkRef ref = ref_of(h);
    Chunk chunk;
    for (;;) {
        if (ref == END_OF_CHAIN) return remaining == 0 ? 0 : -1;
        if (!resolve(ref, &chunk)) return 2;
        const uint8_t* run = payload(chunk.block, chunk.index);
        bool broken;
        unsigned run_bytes = gather_run(&ref, &chunk, remaining, &broken);
        unsigned length_here = broken ? 0 : length_of(chunk.link);
        unsigned left = remaining - run_bytes;
        unsigned n = length_here < left ? length_here : left;
        if (int d = std::memcmp(run, given, run_bytes + n)) return d < 0 ? -1 : 1;
        if (broken) return 2;
        given += run_bytes + n;
        remaining = left - n;
        if (n == length_here && next_of(chunk.link) == END_OF_CHAIN) return remaining == 0 ? 0 : -1;
        if (remaining == 0) return 1;
        ref = next_of(chunk.link);
    }
}

extern "C" StringHandle TBX_CALL ZmsDup(StringHandle h) noexcept {
    if (h == 0 || !is_tagged(h)) return 0;
    ChunkRef source = ref_of(h);
    ChainWriter chain;
    for (unsigned copied = 0; source != END_OF_CHAIN; ++copied) {
        // The free chunk comes first: only then is the source looked at, so
        // a copy that fails on its source may leave a new, empty block.
        // A stored string has at most kMaxChainChunks chunks; a longer
        // source is a stale handle whose chain runs on into other strings,
        // or into the copy itself when the copy took the chunks it leads to.
        Chunk chunk;
        if (chain.reserve(1) != STATUS_OK || copied == kMaxChainChunks || !resolve(source, &chunk)) {
            chain.abandon();
            return 0;
        }
        std::memcpy(chain.payload(), payload(chunk.block, chunk.index), kChunkSize);
        chain.commit(length_of(chunk.link));
        source = next_of(chunk.link);
    }
    return chain.handle();
}
