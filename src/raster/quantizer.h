// Octree colour quantizer: chooses at most ColourLimit() colours for a stream of
// 24-bit pixels. Pixels go down a tree of depth 8, one bit of each channel
// per level (red the high bit of the child index, blue the low one). When
// the leaves exceed the limit, the most recently created inner node of the
// deepest level that has one is folded into a leaf holding its children's
// sums. Each leaf then gives one palette colour, the truncated average of
// its pixels. Mapping pixels to a palette is a linear search for the
// smallest sum of absolute channel differences, not a walk of the tree.
#pragma once

#include <array>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/picture.h"

namespace tessary {

struct TOctreeNode {
    bool Leaf = false;
    // Counts and sums are 64-bit: a large single-colour area overflows 32.
    int64_t Pixels = 0;
    int64_t SumRed = 0;
    int64_t SumGreen = 0;
    int64_t SumBlue = 0;
    TOctreeNode* NextInLevel = nullptr;  // reducible list of the node's level
    std::array<std::unique_ptr<TOctreeNode>, 8> Children;

    TOctreeNode() = default;
    TOctreeNode(const TOctreeNode&) = delete;
    TOctreeNode& operator=(const TOctreeNode&) = delete;
    // Frees the children from index 7 down to 0.
    ~TOctreeNode();
};

class TColorQuantizer {
public:
    TColorQuantizer(int colourLimit, int leafDepth = 8);
    TColorQuantizer(const TColorQuantizer&) = delete;
    TColorQuantizer& operator=(const TColorQuantizer&) = delete;
    ~TColorQuantizer();

    // Adds one pixel below `node`, which sits at `level` (the root at 0).
    void InsertColor(std::unique_ptr<TOctreeNode>& node, uint8_t red, uint8_t green, uint8_t blue, int level) {
        AddToLeaf(node, red, green, blue, level);
    }
    // Folds one inner node into a leaf. Returns false when there was no
    // inner node left to fold.
    bool MergeNode();
    // Inserts at the root, then folds while the leaves exceed the limit.
    void AddPixel(uint8_t red, uint8_t green, uint8_t blue);
    // Writes one entry per leaf from entry 0, in tree order (reserved 0).
    // Entries beyond the leaves are left alone; at most 256 are written.
    void BuildPalette(Palette& palette) const;

    int Leaves() const { return leaves_; }
    int ColourLimit() const { return colourLimit_; }
    const TOctreeNode* Root() const { return root_.get(); }
    // The root reference, for InsertColor called directly.
    std::unique_ptr<TOctreeNode>& RootSlot() { return root_; }

private:
    TOctreeNode* NewNode(int level);
    // InsertColor's walk; gives the leaf that took the pixel.
    TOctreeNode* AddToLeaf(std::unique_ptr<TOctreeNode>& start, uint8_t red, uint8_t green, uint8_t blue,
                           int level);

    std::unique_ptr<TOctreeNode> root_;
    int leaves_ = 0;
    std::array<TOctreeNode*, 8> levelLists_{};
    int colourLimit_;
    int leafDepth_;

    // The leaves recent colours went to, so a colour seen again skips the
    // walk down the tree (maps repeat their colours: runs, fills, lines).
    // Only a fold frees nodes or puts a leaf above an existing one, so a
    // fold makes every remembered leaf stale: it starts a new epoch, and an
    // entry counts only when its tag carries the current one.
    static constexpr int kLeafMemoBits = 12;
    struct LeafMemo {
        uint64_t tag = 0;  // epoch << 24 | colour; epoch 0 is never current
        TOctreeNode* leaf = nullptr;
    };
    uint64_t epoch_ = 1;
    std::vector<LeafMemo> leafMemo_;
};

// The index of the entry among the first `count` (at most 256) with the
// smallest |red| + |green| + |blue| difference; the lowest index wins ties;
// 0 when count is 0.
uint8_t NearestPaletteIndex(const Palette& palette, uint8_t red, uint8_t green, uint8_t blue, int count);

// The rules a search may find the nearest entry by, each a function of the
// three channel differences. A separable rule (a sum of shares, each
// growing with one channel's difference) lets the search bound an entry's
// distance to a cell channel by channel; any other must be a norm's square,
// bounded through the cell's centre.
// The octree's rule: |red| + |green| + |blue|, as NearestPaletteIndex.
struct ChannelSumRule {
    using Distance = int16_t;  // at most 765
    static int Of(int red, int green, int blue) { return std::abs(red) + std::abs(green) + std::abs(blue); }
    static constexpr bool kSeparable = true;
};
// The fine palette's rule: a quadratic form of the channel differences,
// close to the squared CIE Lab difference near the grey axis (where map
// paper, shading and most map colours lie), so that a step in lightness
// and one in green counts for more than one in blue, as the eye sees it.
// The k-means passes lower the sum of this distance: the mean of a group
// of pixels is the colour nearest all of them under it, so moving an entry
// to its pixels' mean and mapping them agree. Whole numbers (at most
// 58 million for doubled differences), the same on every machine.
struct QuadraticRule {
    using Distance = int32_t;
    static constexpr int kRed = 18, kGreen = 64, kBlue = 37;   // the squares
    static constexpr int kRedGreen = -15, kRedBlue = 1, kGreenBlue = -37;  // half the products
    static int Of(int red, int green, int blue) {
        return kRed * red * red + kGreen * green * green + kBlue * blue * blue +
               2 * (kRedGreen * red * green + kRedBlue * red * blue + kGreenBlue * green * blue);
    }
    static constexpr bool kSeparable = false;
};

// The same search by `Rule`, remembered per colour: the answer is a pure
// function of the colour, so a direct-mapped cache of past answers gives
// the same indices as a search of every entry, much faster on real
// images. Where the cache misses (scanned maps have hundreds of thousands
// of colours), the search looks only at the entries that can win for the
// colour's cell of a coarse colour grid, as an inverse colour map does;
// the lists are built the first time a cell is visited.
template <class Rule>
class BasicPaletteSearch {
public:
    BasicPaletteSearch(const Palette& palette, int count);
    uint8_t Find(uint8_t red, uint8_t green, uint8_t blue) {
        uint32_t colour = (uint32_t(red) << 16) | (uint32_t(green) << 8) | blue;
        uint32_t& slot = cache_[(colour * kHashFactor) >> (32 - kCacheBits)];
        if ((slot >> 8) != colour) slot = (colour << 8) | Search(red, green, blue);
        return uint8_t(slot);
    }
    // Maps `pixels` blue, green, red triples to indices.
    void MapRow(const uint8_t* bgr, uint8_t* indices, int pixels);

private:
    // Each slot packs a colour and its answer (colour << 8 | index) into
    // four bytes: twice the slots of an eight-byte entry in the same memory,
    // for scans with hundreds of thousands of colours. A fresh slot must not match
    // the colours that land on it: every slot starts as colour 0, which
    // lands only on slot 0, and slot 0 starts as colour 1, which lands
    // elsewhere.
    static constexpr int kCacheBits = 17;
    static constexpr uint32_t kHashFactor = 2654435761u;
    static_assert((0u * kHashFactor) >> (32 - kCacheBits) == 0);
    static_assert((1u * kHashFactor) >> (32 - kCacheBits) != 0);
    // Cells of 8 x 8 x 8 colours, 32 along each channel; for a rule whose
    // bounds are looser (not per channel), 4 x 4 x 4, 64 along each.
    static constexpr int kCellShift = Rule::kSeparable ? 3 : 2;
    static constexpr int kCellsPerAxis = 256 >> kCellShift;
    // A cell whose list would be longer than this is searched in full
    // instead, which bounds the lists' memory on degenerate palettes.
    static constexpr int kMaxCandidates = 64;
    static constexpr uint32_t kUnfilled = 0xFFFFFFFFu;
    // Further than any distance either rule gives.
    static constexpr int kFar = 0x7FFFFFFF;
    static constexpr uint32_t kWholePalette = 0xFFFFFFFEu;
    struct Candidate {
        uint8_t red, green, blue, index;
    };
    uint8_t Search(int red, int green, int blue);
    uint8_t SearchAll(int red, int green, int blue) const;
    uint32_t FillCell(int cell, int red, int green, int blue);

    int count_;
    std::array<int16_t, 256> red_{};
    std::array<int16_t, 256> green_{};
    std::array<int16_t, 256> blue_{};
    // The first index of each distinct colour among the first count_
    // entries: a later duplicate never wins a tie, so it is never a candidate.
    std::vector<uint8_t> distinct_;
    // Their colours, side by side, for the loops over them.
    std::array<int32_t, 256> distinctRed_{}, distinctGreen_{}, distinctBlue_{};
    std::vector<uint32_t> cache_;
    // Per cell: where its list starts in candidates_ (or kUnfilled,
    // kWholePalette) and how long it is.
    std::vector<uint32_t> cellStart_;
    std::vector<uint8_t> cellCount_;
    std::vector<Candidate> candidates_;
};

// The octree's search (ties to the lowest index, as NearestPaletteIndex)
// and the fine palette's.
using NearestPaletteSearch = BasicPaletteSearch<ChannelSumRule>;
using WeightedPaletteSearch = BasicPaletteSearch<QuadraticRule>;
extern template class BasicPaletteSearch<ChannelSumRule>;
extern template class BasicPaletteSearch<QuadraticRule>;

}  // namespace tessary
