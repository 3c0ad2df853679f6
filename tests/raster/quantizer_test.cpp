#include "raster/quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <vector>

namespace tessary {
namespace {

PaletteEntry Bgr(uint8_t b, uint8_t g, uint8_t r) {
    return PaletteEntry{b, g, r, 0};
}

TEST(OctreeQuantizer, SingleColourGivesThatColourExactly) {
    TColorQuantizer q(62, 8);
    for (int i = 0; i < 1000; ++i) q.AddPixel(12, 200, 77);
    EXPECT_EQ(q.Leaves(), 1);
    Palette p{};
    q.BuildPalette(p);
    EXPECT_EQ(p[0], Bgr(77, 200, 12));
    EXPECT_EQ(p[1], PaletteEntry{});
}

TEST(OctreeQuantizer, LargeSingleColourAreaDoesNotOverflowTheSums) {
    // 9,000,000 x 255 is beyond the range of a 32-bit sum.
    TColorQuantizer q(8, 8);
    for (int i = 0; i < 9'000'000; ++i) q.AddPixel(255, 254, 253);
    Palette p{};
    q.BuildPalette(p);
    EXPECT_EQ(p[0], Bgr(253, 254, 255));
    EXPECT_EQ(q.Root()->Leaf, false);
}

TEST(OctreeQuantizer, FoldedAveragesAreTruncated) {
    TColorQuantizer q(1, 8);
    q.AddPixel(255, 0, 0);
    q.AddPixel(254, 0, 0);
    EXPECT_EQ(q.Leaves(), 1);
    Palette p{};
    q.BuildPalette(p);
    EXPECT_EQ(p[0].red, 254);  // 254.5 truncated
}

TEST(OctreeQuantizer, FoldsTheMostRecentInnerNodeOfTheDeepestLevel) {
    TColorQuantizer q(8, 8);
    for (int r = 0; r <= 1; ++r)
        for (int g = 0; g <= 1; ++g)
            for (int b = 0; b <= 1; ++b) q.AddPixel(uint8_t(r), uint8_t(g), uint8_t(b));
    EXPECT_EQ(q.Leaves(), 8);
    q.InsertColor(q.RootSlot(), 255, 255, 255, 0);
    EXPECT_EQ(q.Leaves(), 9);
    // The white path's level-7 node came last: it has one child, so the
    // count stays; then the node of the eight dark colours goes.
    ASSERT_TRUE(q.MergeNode());
    EXPECT_EQ(q.Leaves(), 9);
    ASSERT_TRUE(q.MergeNode());
    EXPECT_EQ(q.Leaves(), 2);
    Palette p{};
    p[2] = Bgr(9, 9, 9);
    q.BuildPalette(p);
    EXPECT_EQ(p[0], Bgr(0, 0, 0));  // 4/8 truncated on every channel
    EXPECT_EQ(p[1], Bgr(255, 255, 255));
    EXPECT_EQ(p[2], Bgr(9, 9, 9));

    // AddPixel does the same folding by itself.
    TColorQuantizer q2(8, 8);
    for (int r = 0; r <= 1; ++r)
        for (int g = 0; g <= 1; ++g)
            for (int b = 0; b <= 1; ++b) q2.AddPixel(uint8_t(r), uint8_t(g), uint8_t(b));
    q2.AddPixel(255, 255, 255);
    EXPECT_EQ(q2.Leaves(), 2);
    Palette p2{};
    q2.BuildPalette(p2);
    EXPECT_EQ(p2[0], p[0]);
    EXPECT_EQ(p2[1], p[1]);
}

TEST(OctreeQuantizer, PaletteFollowsTreeOrderAndTouchesOnlyItsEntries) {
    TColorQuantizer q(62, 8);
    // Blue first, many times; red last, once: the order is by the bits.
    for (int i = 0; i < 50; ++i) q.AddPixel(0, 0, 255);
    q.AddPixel(255, 0, 0);
    q.AddPixel(0, 255, 0);
    Palette p{};
    q.BuildPalette(p);
    EXPECT_EQ(p[0], Bgr(255, 0, 0));
    EXPECT_EQ(p[1], Bgr(0, 255, 0));
    EXPECT_EQ(p[2], Bgr(0, 0, 255));

    TColorQuantizer many(62, 8);
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) many.AddPixel(uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    EXPECT_LE(many.Leaves(), 62);
    EXPECT_GE(many.Leaves(), 56);  // folding removes at most 7 leaves at a time
    Palette sentinel;
    sentinel.fill(Bgr(1, 2, 3));
    many.BuildPalette(sentinel);
    for (int i = many.Leaves(); i < 256; ++i) EXPECT_EQ(sentinel[size_t(i)], Bgr(1, 2, 3)) << i;
}

TEST(OctreeQuantizer, ImpossibleLimitsStopFolding) {
    TColorQuantizer q(0, 8);
    q.AddPixel(1, 2, 3);
    q.AddPixel(200, 2, 3);
    EXPECT_EQ(q.Leaves(), 1);  // everything folded into the root, which cannot fold further
    Palette p{};
    q.BuildPalette(p);
    EXPECT_EQ(p[0], Bgr(3, 2, 100));
}

TEST(OctreeQuantizer, RememberedLeavesGiveTheSameTreeAsTheWalk) {
    // AddPixel remembers the leaf each colour went to; the reference does
    // the plain walk and the folds. Runs, colours coming back after folds
    // (their remembered leaves freed or put under a new leaf) and noise
    // must give the same leaves, palette and counts for any limit.
    for (int limit : {254, 62, 8, 1}) {
        std::mt19937 rng{uint32_t(limit)};
        TColorQuantizer fast(limit, 8), walk(limit, 8);
        std::vector<uint32_t> seen;
        for (int i = 0; i < 60000; ++i) {
            uint32_t c = rng();
            if (i % 5 != 0 && !seen.empty()) c = seen[c % seen.size()];  // an earlier colour again
            if (seen.size() < 500) seen.push_back(c);
            for (int run = int(c >> 24) % 4; run >= 0; --run) {
                uint8_t r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
                fast.AddPixel(r, g, b);
                walk.InsertColor(walk.RootSlot(), r, g, b, 0);
                while (walk.Leaves() > walk.ColourLimit() && walk.MergeNode()) {
                }
            }
            ASSERT_EQ(fast.Leaves(), walk.Leaves()) << "limit " << limit << " pixel " << i;
        }
        Palette a{}, b{};
        fast.BuildPalette(a);
        walk.BuildPalette(b);
        EXPECT_EQ(a, b) << limit;
        EXPECT_EQ(fast.Root()->Pixels + 0, walk.Root()->Pixels + 0);
    }
}

TEST(NearestPalette, LowestIndexWinsTies) {
    Palette p{};
    p[0] = Bgr(10, 10, 10);
    p[1] = Bgr(50, 50, 50);
    p[2] = Bgr(50, 50, 50);
    p[3] = Bgr(30, 30, 30);
    EXPECT_EQ(NearestPaletteIndex(p, 50, 50, 50, 4), 1);
    EXPECT_EQ(NearestPaletteIndex(p, 30, 30, 30, 4), 3);
    EXPECT_EQ(NearestPaletteIndex(p, 20, 20, 20, 4), 0);  // 30 from entries 0 and 3
    EXPECT_EQ(NearestPaletteIndex(p, 50, 50, 50, 1), 0);  // only entry 0 searched
    EXPECT_EQ(NearestPaletteIndex(p, 50, 50, 50, 0), 0);
    // Channels are compared as red with red: entry 4 is (r 0, g 0, b 90).
    p[4] = Bgr(90, 0, 0);
    EXPECT_EQ(NearestPaletteIndex(p, 0, 0, 90, 5), 4);
}

// The plain searches, written out here so that the fast ones are checked
// against something that does not share their code: the sum of the
// absolute differences, and the weighted rule's quadratic form as a
// matrix product (a wrong bound in the fast search shows as a different
// answer near the cell borders).
int AbsoluteDistance(const PaletteEntry& e, int r, int g, int b) {
    return std::abs(e.red - r) + std::abs(e.green - g) + std::abs(e.blue - b);
}
int QuadraticDistance(const PaletteEntry& e, int r, int g, int b) {
    using W = QuadraticRule;
    const int form[3][3] = {{W::kRed, W::kRedGreen, W::kRedBlue},
                            {W::kRedGreen, W::kGreen, W::kGreenBlue},
                            {W::kRedBlue, W::kGreenBlue, W::kBlue}};
    const int d[3] = {e.red - r, e.green - g, e.blue - b};
    int sum = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum += d[i] * form[i][j] * d[j];
    return sum;
}
template <int (*Distance)(const PaletteEntry&, int, int, int) = AbsoluteDistance>
int PlainNearest(const Palette& p, int count, int r, int g, int b) {
    int best = 0, smallest = 1 << 30;
    for (int k = 0; k < count; ++k) {
        int d = Distance(p[size_t(k)], r, g, b);
        if (d < smallest) {
            smallest = d;
            best = k;
        }
    }
    return best;
}

// Palettes of the kinds that stress the per-cell candidate lists: spread
// over the cube, packed into one corner or one cell (long lists, ties at the
// cell borders), on the grid lines, mostly duplicates, all one colour.
Palette StressPalette(std::mt19937& rng, int kind) {
    Palette p{};
    for (size_t k = 0; k < p.size(); ++k) {
        uint32_t c = rng();
        uint8_t r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
        switch (kind) {
            case 1: r &= 0x1F; g &= 0x1F; b &= 0x1F; break;                    // one corner
            case 2: r = 100 + (r & 7); g = 60 + (g & 7); b = 200 + (b & 7); break;  // one cell
            case 3: r &= 0xF8; g &= 0xF8; b = uint8_t(b | 7); break;           // cell borders
            case 4: if (k % 4) { p[k] = p[k % 4 == 0 ? 0 : k - 1]; continue; } break;  // duplicates
            case 5: r = 128; g = 7; b = 255; break;                            // one colour
            default: break;
        }
        p[k] = Bgr(b, g, r);
    }
    return p;
}

// Each search with the plain search of its own rule.
template <class Search, int (*Distance)(const PaletteEntry&, int, int, int)>
struct SearchAndRule {
    using Fast = Search;
    static int Plain(const Palette& p, int count, int r, int g, int b) {
        return PlainNearest<Distance>(p, count, r, g, b);
    }
};
template <class T>
class GridSearch : public ::testing::Test {};
using BothRules = ::testing::Types<SearchAndRule<NearestPaletteSearch, AbsoluteDistance>,
                                   SearchAndRule<WeightedPaletteSearch, QuadraticDistance>>;
TYPED_TEST_SUITE(GridSearch, BothRules);

TYPED_TEST(GridSearch, MatchesThePlainSearchTiesIncluded) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 36; ++round) {  // every kind with every count
        const int kind = round % 6;
        const int count = std::array<int, 6>{256, 255, 62, 2, 17, 254}[size_t(round / 6 % 6)];
        Palette p = StressPalette(rng, kind);
        typename TypeParam::Fast search(p, count);
        // Random colours all over the cube, colours at the corners of grid
        // cells, and colours next to the entries themselves.
        for (int i = 0; i < 4000; ++i) {
            uint32_t c = rng();
            int r = int(c >> 16) & 255, g = int(c >> 8) & 255, b = int(c) & 255;
            if (i % 4 == 1) { r |= 7; b &= 0xF8; }
            if (i % 4 == 2) {
                const PaletteEntry& e = p[size_t(int(c >> 24) % count)];
                r = std::clamp(e.red + int(c & 3) - 1, 0, 255);
                g = std::clamp(e.green + int(c >> 2 & 3) - 1, 0, 255);
                b = e.blue;
            }
            ASSERT_EQ(search.Find(uint8_t(r), uint8_t(g), uint8_t(b)), TypeParam::Plain(p, count, r, g, b))
                << "kind " << kind << " count " << count << " colour " << r << "," << g << "," << b;
        }
    }
}

TYPED_TEST(GridSearch, MatchesThePlainSearchOnWholePlanes) {
    // Every colour of whole red planes on the low and the high edge of grid
    // cells (where the candidate bounds are tightest), against a palette of
    // 256 entries with clusters, duplicates and entries on cell borders.
    std::mt19937 rng(7);
    Palette p = StressPalette(rng, 0);
    Palette corner = StressPalette(rng, 1), border = StressPalette(rng, 3);
    for (size_t k = 0; k < 64; ++k) p[k + 64] = corner[k], p[k + 128] = border[k];
    p[200] = p[3];
    p[255] = p[100];
    typename TypeParam::Fast search(p, 256);
    std::vector<uint8_t> row(256 * 3), got(256);
    int mismatches = 0;
    for (int r : {0, 7, 128, 255}) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                row[size_t(b) * 3] = uint8_t(b), row[size_t(b) * 3 + 1] = uint8_t(g), row[size_t(b) * 3 + 2] = uint8_t(r);
            }
            search.MapRow(row.data(), got.data(), 256);
            for (int b = 0; b < 256; ++b) mismatches += got[size_t(b)] != TypeParam::Plain(p, 256, r, g, b);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(NearestPalette, RememberedSearchGivesThePlainAnswers) {
    std::mt19937 rng(11);
    for (int count : {0, 1, 7, 84, 256, 300}) {
        Palette p{};
        for (auto& e : p) e = Bgr(uint8_t(rng() & 0xF0), uint8_t(rng()), uint8_t(rng() | 3));
        p[5] = p[2];  // duplicates
        NearestPaletteSearch search(p, count);
        for (int i = 0; i < 200000; ++i) {
            uint32_t c = rng();
            // Repeats and near-repeats exercise the cache.
            if (i % 3 == 0) c &= 0xF0F0F0;
            uint8_t r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
            ASSERT_EQ(search.Find(r, g, b), NearestPaletteIndex(p, r, g, b, count)) << count << " " << c;
        }
    }
}

TEST(NearestPalette, FreshCacheAndRunsGiveThePlainAnswers) {
    // Black and (0, 0, 1) first, on a palette where neither maps to entry 0:
    // an empty cache slot must never pass for a remembered answer. Then rows
    // of runs, lone pixels and runs broken by one pixel, mapped whole.
    Palette p{};
    p[0] = Bgr(255, 255, 255);
    p[1] = Bgr(0, 0, 0);
    p[2] = Bgr(40, 0, 0);
    NearestPaletteSearch fresh(p, 3);
    EXPECT_EQ(fresh.Find(0, 0, 0), 1);
    EXPECT_EQ(fresh.Find(0, 0, 1), 1);
    EXPECT_EQ(fresh.Find(0, 0, 30), 2);

    std::mt19937 rng(3);
    for (auto& e : p) e = Bgr(uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    NearestPaletteSearch search(p, 200);
    std::vector<uint8_t> row(3 * 3000), got(3000);
    for (int round = 0; round < 20; ++round) {
        uint32_t c = 0;  // the first pixel of the first row is black
        for (size_t x = 0; x < got.size(); ++x) {
            if (x > 0 && rng() % (round % 2 ? 2 : 9) == 0) c = rng() & 0xFFFFFF;
            row[3 * x] = uint8_t(c), row[3 * x + 1] = uint8_t(c >> 8), row[3 * x + 2] = uint8_t(c >> 16);
        }
        search.MapRow(row.data(), got.data(), int(got.size()));
        for (size_t x = 0; x < got.size(); ++x)
            ASSERT_EQ(got[x], PlainNearest(p, 200, row[3 * x + 2], row[3 * x + 1], row[3 * x])) << round << " " << x;
    }
}

}  // namespace
}  // namespace tessary
