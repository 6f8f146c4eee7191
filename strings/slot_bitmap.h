// A set of slot indexes 0..65535 that finds its lowest member in constant
// time: one bit per slot, and one summary bit per word of slots.
#ifndef TEMBRIX_STRINGS_SLOT_BITMAP_H_
#define TEMBRIX_STRINGS_SLOT_BITMAP_H_

#include <cstdint>

namespace tbx {

class SlotBitmap {
public:
    static constexpr unsigned kNone = 0xFFFFFFFF;

    void set(unsigned i) {
        words_[i >> 6] |= bit(i);
        summary_[i >> 12] |= bit(i >> 6);
    }
    void clear(unsigned i) {
        uint64_t& w = words_[i >> 6];
        w &= ~bit(i);
        if (w == 0) summary_[i >> 12] &= ~bit(i >> 6);
    }
    bool test(unsigned i) const { return (words_[i >> 6] & bit(i)) != 0; }

    // Returns the lowest member, or kNone.
    unsigned lowest() const {
        for (unsigned s = 0; s < kSummaryWords; ++s) {
            if (summary_[s] == 0) continue;
            unsigned w = s * 64 + static_cast<unsigned>(__builtin_ctzll(summary_[s]));
            return w * 64 + static_cast<unsigned>(__builtin_ctzll(words_[w]));
        }
        return kNone;
    }

private:
    static constexpr unsigned kWords = 65536 / 64;
    static constexpr unsigned kSummaryWords = kWords / 64;
    static constexpr uint64_t bit(unsigned i) { return uint64_t{1} << (i & 63); }

    uint64_t words_[kWords] = {};
    uint64_t summary_[kSummaryWords] = {};
};

}  // namespace tbx

#endif  // TEMBRIX_STRINGS_SLOT_BITMAP_H_
