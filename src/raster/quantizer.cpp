#include "raster/quantizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tessary {

TOctreeNode::~TOctreeNode() {
    for (int i = 7; i >= 0; --i) Children[size_t(i)].reset();
}

TColorQuantizer::TColorQuantizer(int colourLimit, int leafDepth)
    : colourLimit_(colourLimit), leafDepth_(std::clamp(leafDepth, 1, 8)), leafMemo_(size_t(1) << kLeafMemoBits) {}

TColorQuantizer::~TColorQuantizer() {
    // Unlink the lists first: they point into the tree being freed.
    levelLists_.fill(nullptr);
    root_.reset();
}

TOctreeNode* TColorQuantizer::NewNode(int level) {
    auto* node = new TOctreeNode;
    node->Leaf = level == leafDepth_;
    if (node->Leaf) {
        ++leaves_;
    } else {
        node->NextInLevel = levelLists_[size_t(level)];
        levelLists_[size_t(level)] = node;
    }
    return node;
}

TOctreeNode* TColorQuantizer::AddToLeaf(std::unique_ptr<TOctreeNode>& start, uint8_t red, uint8_t green,
                                        uint8_t blue, int level) {
    std::unique_ptr<TOctreeNode>* slot = &start;
    for (;;) {
        if (!*slot) slot->reset(NewNode(level));
        TOctreeNode& node = **slot;
        if (node.Leaf) {
            node.Pixels += 1;
            node.SumRed += red;
            node.SumGreen += green;
            node.SumBlue += blue;
            return &node;
        }
        int shift = 7 - level;
        int mask = 0x80 >> level;
        int child = ((red & mask) >> shift) * 4 + ((green & mask) >> shift) * 2 + ((blue & mask) >> shift);
        slot = &node.Children[size_t(child)];
        ++level;
    }
}

bool TColorQuantizer::MergeNode() {
    int i = leafDepth_ - 1;
    while (i > 0 && levelLists_[size_t(i)] == nullptr) --i;
    TOctreeNode* node = levelLists_[size_t(i)];
    if (!node) return false;  // only the root could be left, and it is a leaf
    levelLists_[size_t(i)] = node->NextInLevel;
    node->NextInLevel = nullptr;
    ++epoch_;  // the folded children may be remembered leaves

    int64_t red = 0, green = 0, blue = 0;
    int children = 0;
    for (auto& child : node->Children) {
        if (!child) continue;
        red += child->SumRed;
        green += child->SumGreen;
        blue += child->SumBlue;
        node->Pixels += child->Pixels;
        child.reset();
        ++children;
    }
    node->Leaf = true;
    node->SumRed = red;
    node->SumGreen = green;
    node->SumBlue = blue;
    leaves_ -= children - 1;
    return true;
}

void TColorQuantizer::AddPixel(uint8_t red, uint8_t green, uint8_t blue) {
    const uint32_t colour = (uint32_t(red) << 16) | (uint32_t(green) << 8) | blue;
    const uint64_t tag = (epoch_ << 24) | colour;
    LeafMemo& memo = leafMemo_[(colour * 2654435761u) >> (32 - kLeafMemoBits)];
    if (memo.tag == tag) {
        TOctreeNode& leaf = *memo.leaf;
        leaf.Pixels += 1;
        leaf.SumRed += red;
        leaf.SumGreen += green;
        leaf.SumBlue += blue;
        return;
    }
    TOctreeNode* leaf = AddToLeaf(root_, red, green, blue, 0);
    while (leaves_ > colourLimit_) {
        if (!MergeNode()) break;  // a limit below one colour cannot be met
    }
    if (tag >> 24 == epoch_) memo = LeafMemo{tag, leaf};  // no fold since the walk
}

namespace {

void WalkPalette(const TOctreeNode& node, Palette& palette, int& index) {
    if (node.Leaf) {
        if (index > 255) return;
        PaletteEntry& entry = palette[size_t(index)];
        if (node.Pixels == 0) {
            entry = PaletteEntry{};
        } else {
            entry.blue = uint8_t(node.SumBlue / node.Pixels);
            entry.green = uint8_t(node.SumGreen / node.Pixels);
            entry.red = uint8_t(node.SumRed / node.Pixels);
            entry.reserved = 0;
        }
        ++index;
        return;
    }
    for (const auto& child : node.Children) {
        if (child) WalkPalette(*child, palette, index);
    }
}

}  // namespace

void TColorQuantizer::BuildPalette(Palette& palette) const {
    int index = 0;
    if (root_) WalkPalette(*root_, palette, index);
}

uint8_t NearestPaletteIndex(const Palette& palette, uint8_t red, uint8_t green, uint8_t blue, int count) {
    count = std::clamp(count, 0, 256);
    int best = 0;
    int smallest = 0x30000;
    for (int k = 0; k < count; ++k) {
        const PaletteEntry& e = palette[size_t(k)];
        int d = std::abs(int(e.red) - red) + std::abs(int(e.green) - green) + std::abs(int(e.blue) - blue);
        if (d < smallest) {
            smallest = d;
            best = k;
        }
    }
    return uint8_t(best);
}

template <class Rule>
BasicPaletteSearch<Rule>::BasicPaletteSearch(const Palette& palette, int count)
    : count_(std::clamp(count, 0, 256)),
      cache_(size_t(1) << kCacheBits, 0),
      cellStart_(size_t(kCellsPerAxis) * kCellsPerAxis * kCellsPerAxis, kUnfilled),
      cellCount_(cellStart_.size(), 0) {
    cache_[0] = 1u << 8;
    for (int k = 0; k < 256; ++k) {
        red_[size_t(k)] = palette[size_t(k)].red;
        green_[size_t(k)] = palette[size_t(k)].green;
        blue_[size_t(k)] = palette[size_t(k)].blue;
    }
    for (int k = 0; k < count_; ++k) {
        bool repeated = false;
        for (uint8_t j : distinct_) {
            if (red_[j] == red_[size_t(k)] && green_[j] == green_[size_t(k)] && blue_[j] == blue_[size_t(k)]) {
                repeated = true;
                break;
            }
        }
        if (!repeated) {
            distinctRed_[distinct_.size()] = red_[size_t(k)];
            distinctGreen_[distinct_.size()] = green_[size_t(k)];
            distinctBlue_[distinct_.size()] = blue_[size_t(k)];
            distinct_.push_back(uint8_t(k));
        }
    }
}

template <class Rule>
uint8_t BasicPaletteSearch<Rule>::SearchAll(int red, int green, int blue) const {
    // Distances first (a loop the compiler vectorises), then the first
    // smallest one, so the lowest index wins ties.
    using Distance = typename Rule::Distance;
    std::array<Distance, 256> d;
    for (int k = 0; k < count_; ++k)
        d[size_t(k)] = Distance(Rule::Of(red_[size_t(k)] - red, green_[size_t(k)] - green, blue_[size_t(k)] - blue));
    int best = 0;
    int smallest = kFar;
    for (int k = 0; k < count_; ++k) {
        if (d[size_t(k)] < smallest) {
            smallest = d[size_t(k)];
            best = k;
        }
    }
    return uint8_t(best);
}

namespace {

// The smallest and the largest distance along one channel between `value`
// and any channel value in [low, low + span].
inline int NearestAlong(int value, int low, int span) {
    if (value < low) return low - value;
    if (value > low + span) return value - low - span;
    return 0;
}
inline int FarthestAlong(int value, int low, int span) {
    return std::max(std::abs(value - low), std::abs(value - low - span));
}

}  // namespace

template <class Rule>
uint32_t BasicPaletteSearch<Rule>::FillCell(int cell, int red, int green, int blue) {
    // For any colour c of the cell and any entry e, the distance d(c, e) lies
    // between e's nearest and farthest distance to the cell. Let F be the
    // smallest farthest distance of all entries: the winner for c is at most
    // F away, so an entry whose nearest distance exceeds F can neither win
    // nor tie. Every entry that may tie stays, in index order, so the lowest
    // index still wins ties.
    constexpr int span = (1 << kCellShift) - 1;
    int r0 = red & ~span, g0 = green & ~span, b0 = blue & ~span;
    std::array<int, 256> nearest;
    int bound = kFar;
    if constexpr (Rule::kSeparable) {
        for (size_t i = 0; i < distinct_.size(); ++i) {
            size_t k = distinct_[i];
            nearest[i] = Rule::Of(NearestAlong(red_[k], r0, span), NearestAlong(green_[k], g0, span),
                                  NearestAlong(blue_[k], b0, span));
            int farthest = Rule::Of(FarthestAlong(red_[k], r0, span), FarthestAlong(green_[k], g0, span),
                                    FarthestAlong(blue_[k], b0, span));
            bound = std::min(bound, farthest);
        }
    } else {
        // In the form's own norm, |c - e| lies within `radius` of |m - e|,
        // m the cell's centre and the radius the largest norm of a corner's
        // offset from it. So the entry nearest m is at most |m - e0| +
        // radius from any colour of the cell, and an entry can win or tie
        // only when |m - e| <= |m - e0| + 2 radius. Offsets are doubled to
        // stay whole; the threshold is widened a little, so that rounding
        // can only add candidates.
        int radius = 0;
        for (int corner = 0; corner < 8; ++corner)
            radius = std::max(radius, Rule::Of(corner & 1 ? span : -span, corner & 2 ? span : -span,
                                               corner & 4 ? span : -span));
        const int cr = 2 * r0 + span, cg = 2 * g0 + span, cb = 2 * b0 + span;
        const size_t n = distinct_.size();
        for (size_t i = 0; i < n; ++i)
            nearest[i] = Rule::Of(2 * distinctRed_[i] - cr, 2 * distinctGreen_[i] - cg, 2 * distinctBlue_[i] - cb);
        int closest = kFar;
        for (size_t i = 0; i < n; ++i) closest = std::min(closest, nearest[i]);
        const double reach = std::sqrt(double(closest)) + 2.0 * std::sqrt(double(radius));
        bound = int(std::min(reach * reach * (1.0 + 1e-9) + 2.0, double(kFar)));
    }
    int n = 0;
    for (size_t i = 0; i < distinct_.size(); ++i) n += nearest[i] <= bound;
    if (n > kMaxCandidates) {
        cellStart_[size_t(cell)] = kWholePalette;
        return kWholePalette;
    }
    uint32_t start = uint32_t(candidates_.size());
    for (size_t i = 0; i < distinct_.size(); ++i) {
        if (nearest[i] > bound) continue;
        size_t k = distinct_[i];
        candidates_.push_back(
            Candidate{uint8_t(red_[k]), uint8_t(green_[k]), uint8_t(blue_[k]), uint8_t(k)});
    }
    cellStart_[size_t(cell)] = start;
    cellCount_[size_t(cell)] = uint8_t(n);
    return start;
}

template <class Rule>
uint8_t BasicPaletteSearch<Rule>::Search(int red, int green, int blue) {
    if (count_ == 0) return 0;
    int cell = ((red >> kCellShift) * kCellsPerAxis + (green >> kCellShift)) * kCellsPerAxis +
               (blue >> kCellShift);
    uint32_t start = cellStart_[size_t(cell)];
    if (start == kUnfilled) start = FillCell(cell, red, green, blue);
    if (start == kWholePalette) return SearchAll(red, green, blue);
    const Candidate* c = candidates_.data() + start;
    int n = cellCount_[size_t(cell)];
    int best = c[0].index;
    int smallest = kFar;
    for (int i = 0; i < n; ++i) {
        int d = Rule::Of(int(c[i].red) - red, int(c[i].green) - green, int(c[i].blue) - blue);
        if (d < smallest) {
            smallest = d;
            best = c[i].index;
        }
    }
    return uint8_t(best);
}

template <class Rule>
void BasicPaletteSearch<Rule>::MapRow(const uint8_t* bgr, uint8_t* indices, int pixels) {
    // A pixel like its left neighbour takes its index without a look-up:
    // rendered maps are mostly runs of one colour.
    uint32_t last = 0xFFFFFFFFu;
    uint8_t index = 0;
    for (int x = 0; x < pixels; ++x, bgr += 3) {
        uint32_t colour = (uint32_t(bgr[2]) << 16) | (uint32_t(bgr[1]) << 8) | bgr[0];
        if (colour != last) {
            last = colour;
            index = Find(bgr[2], bgr[1], bgr[0]);
        }
        indices[x] = index;
    }
}

template class BasicPaletteSearch<ChannelSumRule>;
template class BasicPaletteSearch<QuadraticRule>;

}  // namespace tessary
