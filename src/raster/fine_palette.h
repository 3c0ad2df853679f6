// The fine palette builder: a colour histogram of every pixel, split by
// variance into boxes (median cut), refined by a few k-means passes with the
// same nearest-entry rule the mapping uses, and with rare colours far from
// every entry given entries of their own. Integer arithmetic throughout, and
// the histogram is filled in row order, so the palette is the same for every
// thread count and machine.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/picture.h"

namespace tessary {

// The exact colours and their counts while there are at most kExactLimit
// of them (clean renders, reduced levels); past that, a histogram of
// 64 x 64 x 64 bins (six bits of each channel), filled from the exact
// colours seen so far and then from every further pixel. Each bin holds its
// pixel count, the sums of its pixels' channels and, while all its pixels
// share one colour, that colour. Memory is fixed (1.5 MiB, or about
// 10 MiB once the bins are made), whatever the size of the picture.
class ColourHistogram {
public:
    ColourHistogram();

    static constexpr int kExactLimit = 1 << 16;

    void Add(uint8_t red, uint8_t green, uint8_t blue) {
        if (!overflow_ && AddExact((uint32_t(red) << 16) | (uint32_t(green) << 8) | blue)) return;
        AddToBin(red, green, blue, 1);
    }
    // `pixels` blue, green, red triples.
    void AddRow(const uint8_t* bgr, int pixels);
    // `pixels` indices into `palette`.
    void AddIndexedRow(const uint8_t* indices, const Palette& palette, int pixels);

    struct Bin {
        int64_t count = 0;
        int64_t sumRed = 0;
        int64_t sumGreen = 0;
        int64_t sumBlue = 0;
        uint32_t exact = 0;  // 1 << 24 | colour while the bin holds one colour
    };
    static constexpr uint32_t kMixed = 0xFFFFFFFFu;
    // Empty while the exact colours are kept.
    const std::vector<Bin>& Bins() const { return bins_; }

    // The exact colours (0xRRGGBB) with their counts, in colour order; empty
    // when the picture had more than kExactLimit colours.
    std::vector<std::pair<uint32_t, int64_t>> ExactColours() const;

private:
    // Counts `colour`; false once there are too many colours to keep, the
    // pixel not counted (the bins take it and every colour counted so far).
    bool AddExact(uint32_t colour) {
        if (colour == lastColour_) {
            ++exactCounts_[lastSlot_];
            return true;
        }
        uint32_t slot = (colour * 2654435761u) >> (32 - kExactBits);
        while (exactKeys_[slot] != 0 && exactKeys_[slot] != colour + 1) slot = (slot + 1) & (kExactSlots - 1);
        if (exactKeys_[slot] == 0) {
            if (++exactDistinct_ > kExactLimit) {
                SpillToBins();
                return false;
            }
            exactKeys_[slot] = colour + 1;
        }
        ++exactCounts_[slot];
        lastColour_ = colour;
        lastSlot_ = slot;
        return true;
    }
    void SpillToBins();
    void AddToBin(uint8_t red, uint8_t green, uint8_t blue, int64_t count) {
        const uint32_t bin = (uint32_t(red >> 2) << 12) | (uint32_t(green >> 2) << 6) | (blue >> 2);
        Bin& b = bins_[bin];
        const uint32_t colour = (uint32_t(1) << 24) | (uint32_t(red) << 16) | (uint32_t(green) << 8) | blue;
        if (b.count == 0) {
            b.exact = colour;
        } else if (b.exact != colour) {
            b.exact = kMixed;
        }
        b.count += count;
        b.sumRed += count * red;
        b.sumGreen += count * green;
        b.sumBlue += count * blue;
    }

    std::vector<Bin> bins_;
    // Open addressing, twice the limit's slots; a key is colour + 1 (0 free).
    static constexpr int kExactBits = 17;
    static constexpr uint32_t kExactSlots = uint32_t(1) << kExactBits;
    std::vector<uint32_t> exactKeys_;
    std::vector<int64_t> exactCounts_;
    int exactDistinct_ = 0;
    bool overflow_ = false;
    uint32_t lastColour_ = 0xFFFFFFFFu;
    uint32_t lastSlot_ = 0;
};

// Where rare colours get entries of their own: at level 0, whose largest
// error people compare with the source's, from a small difference on; in a
// zoom level, whose pixels are blends of the source's, only far ones.
constexpr int kFineProtectDetail = 3;
constexpr int kFineProtectZoom = 10;

// Builds at most `colours` (1 to 256) entries from entry 0 (blue, green,
// red; reserved 0); entries beyond them are black. Gives the number of
// entries built: fewer than `colours` only when the picture has fewer
// distinct colours. A picture with no more colours than `colours` keeps
// them exactly. A colour perceived further than `protectAbove` (whole
// units, close to the CIEDE2000 scale) from every entry is given an entry
// of its own, for at most a sixteenth of them.
int BuildFinePalette(const ColourHistogram& histogram, int colours, Palette& palette,
                     int protectAbove = kFineProtectDetail);

// The entry nearest red, green, blue by the fine palette's rule among the
// first `count` (1 to 256) of `palette`, ties to the lowest index, found as
// the builder's k-means passes find it: from a guess (any index below
// `count`), looking only where a nearer entry can be.
uint8_t NearestEntryFromGuess(const Palette& palette, int count, uint8_t red, uint8_t green, uint8_t blue,
                              uint8_t guess);

}  // namespace tessary
