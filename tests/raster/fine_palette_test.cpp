// The fine palette builder, alone and in the passes: exact colours kept,
// rare colours kept, closer colours than the octree on a scan-like picture,
// every level's full palette used, the same bytes for any thread count, and
// dithering that keeps an area's average colour.
#include "raster/fine_palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>

#include "raster/colour_difference.h"
#include "raster/colour_reduction.h"
#include "raster/quantizer.h"
#include "raster/raster_test_support.h"
#include "raster/zoom_level.h"

namespace tessary {
namespace {

using testing::MemorySource24;
using testing::ReadAllRows;
using testing::TempFolder;

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Scan-like: hill shading (a smooth gradient in two directions), paper
// grain, dark label strokes, and one small red symbol of 3 x 3 pixels.
void ScanPixel(int x, int y, uint8_t* bgr) {
    const uint32_t h = (uint32_t(x) * 2654435761u) ^ (uint32_t(y) * 2246822519u);
    const int grain = int((h >> 13) % 9) - 4;
    int r = 150 + (x * 90) / 300 - (y * 40) / 200 + grain;
    int g = 170 + (y * 60) / 200 - (x * 20) / 300 + grain;
    int b = 120 + ((x + y) * 50) / 500 + grain;
    if ((x * 3 + y * 7) % 61 < 2) r = g = b = 40 + (x % 5);  // labels
    if (x >= 200 && x < 203 && y >= 100 && y < 103) {        // the symbol
        r = 230;
        g = 20;
        b = 25;
    }
    bgr[0] = uint8_t(std::clamp(b, 0, 255));
    bgr[1] = uint8_t(std::clamp(g, 0, 255));
    bgr[2] = uint8_t(std::clamp(r, 0, 255));
}

RunContext Context(const TempFolder& folder, PaletteMethod method, bool dither, unsigned threads) {
    RunContext context;
    context.tempFolder = FolderPath(folder.Folder());
    context.palette = method;
    context.dither = dither;
    context.threads = threads;
    return context;
}

struct Errors {
    ErrorStatistics stats;
    int coloursUsed = 0;
};

// The reduced raster against the source, pixel by pixel.
Errors Measure(const std::string& scratch, int width, int height,
               const std::function<void(int, int, uint8_t*)>& pixel) {
    Palette palette;
    const auto rows = ReadAllRows(scratch, &palette);
    Errors e;
    std::set<int> used;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t bgr[3];
            pixel(x, y, bgr);
            const uint8_t index = rows[size_t(y)][size_t(x)];
            used.insert(index);
            const PaletteEntry& p = palette[index];
            e.stats.Add(Ciede2000(SrgbToLab(bgr[2], bgr[1], bgr[0]), SrgbToLab(p.red, p.green, p.blue)));
        }
    e.coloursUsed = int(used.size());
    return e;
}

TEST(FinePalette, APictureWithFewColoursKeepsThemExactly) {
    ColourHistogram histogram;
    const uint8_t colours[][3] = {{255, 255, 255}, {0, 0, 0}, {230, 20, 25}, {231, 20, 25}, {12, 90, 200}};
    for (int i = 0; i < 1000; ++i) {
        const auto& c = colours[size_t(i % 5 == 4 ? 4 : i % 4)];
        histogram.Add(c[0], c[1], c[2]);
    }
    Palette palette;
    // Two colours one step apart stay apart.
    const int built = BuildFinePalette(histogram, 256, palette);
    ASSERT_EQ(built, 5);
    std::set<std::array<int, 3>> got;
    for (int i = 0; i < built; ++i)
        got.insert({palette[size_t(i)].red, palette[size_t(i)].green, palette[size_t(i)].blue});
    for (const auto& c : colours) EXPECT_TRUE(got.count({c[0], c[1], c[2]})) << int(c[0]) << "," << int(c[1]);
    for (int i = built; i < 256; ++i) EXPECT_EQ(palette[size_t(i)].red + palette[size_t(i)].green, 0);
}

TEST(FinePalette, ColoursSeenBeforeThePictureHadTooManyKeepTheirWeight) {
    // A flat sky over a quarter of the picture, then noise with far more
    // colours than are kept exactly: the sky's pixels, counted before the
    // histogram gave up on exact colours, must still weigh in, so that the
    // sky keeps an entry of its own colour.
    ColourHistogram histogram;
    const int W = 400, H = 400;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            if (y < H / 4) {
                histogram.Add(90, 140, 200);
                continue;
            }
            const uint32_t h = (uint32_t(x) * 2654435761u) ^ (uint32_t(y) * 2246822519u) * 3266489917u;
            histogram.Add(uint8_t(h >> 8), uint8_t(h >> 16), uint8_t(h >> 24));
        }
    EXPECT_TRUE(histogram.ExactColours().empty());
    Palette palette;
    ASSERT_EQ(BuildFinePalette(histogram, 256, palette), 256);
    int closest = 1000;
    for (const PaletteEntry& e : palette)
        closest = std::min(closest, std::abs(e.red - 90) + std::abs(e.green - 140) + std::abs(e.blue - 200));
    EXPECT_LE(closest, 1);
}

TEST(FinePalette, ScanLikePictureIsCloserThanTheOctreeAndKeepsTheRareSymbol) {
    const int W = 300, H = 200;
    Errors octree, fine;
    for (PaletteMethod method : {PaletteMethod::kOctree, PaletteMethod::kFine}) {
        TempFolder folder;
        RunContext context = Context(folder, method, false, 1);
        SourceHandle source = MemorySource24(W, H, ScanPixel);
        ASSERT_TRUE(ReduceColorsPass(context, *source));
        (method == PaletteMethod::kFine ? fine : octree) = Measure(folder.File("rpx_0.rpx0"), W, H, ScanPixel);
    }
    EXPECT_LT(fine.stats.Mean(), octree.stats.Mean());
    EXPECT_LE(fine.stats.Percentile(0.99), octree.stats.Percentile(0.99));
    EXPECT_LE(fine.stats.Largest(), octree.stats.Largest());
    // Nine red pixels among 60,000 would be lost to the nearest shade of
    // the map if they had no entry of their own.
    EXPECT_LT(fine.stats.Largest(), 10.0);
}

TEST(FinePalette, EveryPixelTakesItsNearestEntryByTheFineRule) {
    // The pass must map by the rule the palette was refined with, on every
    // thread (not the octree's rule, which picks other entries for many of
    // these shades), and exactly: checked against all 256 entries.
    const int W = 300, H = 200;
    TempFolder folder;
    RunContext context = Context(folder, PaletteMethod::kFine, false, 2);
    SourceHandle source = MemorySource24(W, H, ScanPixel);
    ASSERT_TRUE(ReduceColorsPass(context, *source));
    Palette palette;
    const auto rows = ReadAllRows(folder.File("rpx_0.rpx0"), &palette);
    int wrong = 0, octreeWouldDiffer = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t bgr[3];
            ScanPixel(x, y, bgr);
            int best = 0, smallest = std::numeric_limits<int>::max();
            for (int k = 0; k < 256; ++k) {
                const PaletteEntry& e = palette[size_t(k)];
                const int d = QuadraticRule::Of(e.red - bgr[2], e.green - bgr[1], e.blue - bgr[0]);
                if (d < smallest) smallest = d, best = k;
            }
            wrong += rows[size_t(y)][size_t(x)] != best;
            octreeWouldDiffer += NearestPaletteIndex(palette, bgr[2], bgr[1], bgr[0], 256) != best;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(octreeWouldDiffer, W * H / 100);
}

TEST(FinePalette, TheBuildersSearchFromAGuessFindsTheExactNearestEntry) {
    // The k-means passes look only at a window of entries around the
    // colour; a window too narrow (a wrong constant, a rounding the wrong
    // way) would move entries to other means than the mapping's. Palettes
    // of scattered colours, of near greys (many entries in one narrow
    // window) and with repeated entries; any guess.
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u, int((state >> 16) & 0xFF); };
    int mismatches = 0, checked = 0;
    for (int kind = 0; kind < 3; ++kind)
        for (int count : {1, 2, 17, 256}) {
            Palette palette{};
            for (int k = 0; k < count; ++k) {
                const int v = next();
                if (kind == 0) palette[size_t(k)] = PaletteEntry{uint8_t(next()), uint8_t(next()), uint8_t(v), 0};
                if (kind == 1)
                    palette[size_t(k)] =
                        PaletteEntry{uint8_t(v ^ (next() & 3)), uint8_t(v ^ (next() & 3)), uint8_t(v), 0};
                if (kind == 2) palette[size_t(k)] = k % 3 == 2 ? palette[size_t(k - 1)]
                                                                : PaletteEntry{uint8_t(v & 0xF0), 200, 40, 0};
            }
            for (int i = 0; i < 3000; ++i) {
                const uint8_t red = uint8_t(next()), green = uint8_t(next()), blue = uint8_t(next());
                int best = 0, smallest = std::numeric_limits<int>::max();
                for (int k = 0; k < count; ++k) {
                    const PaletteEntry& e = palette[size_t(k)];
                    const int d = QuadraticRule::Of(e.red - red, e.green - green, e.blue - blue);
                    if (d < smallest) smallest = d, best = k;
                }
                const uint8_t guess = uint8_t(next() % count);
                mismatches += NearestEntryFromGuess(palette, count, red, green, blue, guess) != best;
                ++checked;
            }
        }
    EXPECT_EQ(checked, 36000);
    EXPECT_EQ(mismatches, 0);
}

TEST(FinePalette, AZoomLevelUsesItsFullPalette) {
    TempFolder folder;
    RunContext octreeContext = Context(folder, PaletteMethod::kOctree, false, 1);
    SourceHandle source = MemorySource24(600, 400, [](int x, int y, uint8_t* bgr) { ScanPixel(x / 2, y / 2, bgr); });
    ASSERT_TRUE(BuildZoomLevel(octreeContext, 1, *source, kZoomLevelColourLimit, 50.0, DominantColourTable{}));
    Palette palette;
    const auto octreeRows = ReadAllRows(folder.File("rpx_1.rpx0"), &palette);
    RunContext fineContext = Context(folder, PaletteMethod::kFine, false, 1);
    ASSERT_TRUE(BuildZoomLevel(fineContext, 2, *source, kZoomLevelColourLimit, 50.0, DominantColourTable{}));
    const auto fineRows = ReadAllRows(folder.File("rpx_2.rpx0"), &palette);
    auto used = [](const std::vector<std::vector<uint8_t>>& rows) {
        std::set<int> s;
        for (const auto& row : rows) s.insert(row.begin(), row.end());
        return s.size();
    };
    EXPECT_LE(used(octreeRows), size_t(kZoomLevelColourLimit + kDominantColourCount + 2));
    EXPECT_EQ(used(fineRows), 256u);
}

TEST(FinePalette, TheSameBytesForEveryThreadCountWithAndWithoutDithering) {
    for (bool dither : {false, true}) {
        std::vector<uint8_t> reduced, level;
        for (unsigned threads : {1u, 2u, 8u}) {
            TempFolder folder;
            RunContext context = Context(folder, PaletteMethod::kFine, dither, threads);
            SourceHandle source = MemorySource24(300, 200, ScanPixel);
            ASSERT_TRUE(ReduceColorsPass(context, *source));
            ASSERT_TRUE(BuildZoomLevel(context, 1, *source, kZoomLevelColourLimit, 37.0, DominantColourTable{}));
            const auto r = FileBytes(folder.File("rpx_0.rpx0"));
            const auto l = FileBytes(folder.File("rpx_1.rpx0"));
            if (threads == 1) {
                reduced = r;
                level = l;
                continue;
            }
            EXPECT_TRUE(r == reduced) << threads << " threads, dither " << dither;
            EXPECT_TRUE(l == level) << threads << " threads, dither " << dither;
        }
    }
}

TEST(FinePalette, DitheringKeepsTheAverageColourOfAnArea) {
    // A smooth ramp reduced to 8 colours (and black and white): without
    // dithering each 20 x 20 area takes one flat colour, with it the
    // area's average comes closer to the source's (not all the way at the
    // ramp's corners, which lie outside every mix of the palette).
    const int W = 200, H = 60;
    auto ramp = [](int x, int y, uint8_t* bgr) {
        bgr[0] = uint8_t(60 + x / 2);
        bgr[1] = uint8_t(100 + y);
        bgr[2] = uint8_t(200 - x / 3);
    };
    double drift[2] = {0, 0};
    for (bool dither : {false, true}) {
        TempFolder folder;
        RunContext context = Context(folder, PaletteMethod::kFine, dither, 1);
        context.colourCount = 8;
        SourceHandle source = MemorySource24(W, H, ramp);
        ASSERT_TRUE(ReduceColorsPass(context, *source));
        Palette palette;
        const auto rows = ReadAllRows(folder.File("rpx_0.rpx0"), &palette);
        for (int by = 0; by < H; by += 20)
            for (int bx = 0; bx < W; bx += 20) {
                double got[3] = {0, 0, 0}, want[3] = {0, 0, 0};
                for (int y = by; y < by + 20; ++y)
                    for (int x = bx; x < bx + 20; ++x) {
                        uint8_t bgr[3];
                        ramp(x, y, bgr);
                        const PaletteEntry& p = palette[rows[size_t(y)][size_t(x)]];
                        const int channel[3] = {p.blue, p.green, p.red};
                        for (int c = 0; c < 3; ++c) {
                            got[c] += channel[c];
                            want[c] += bgr[c];
                        }
                    }
                for (int c = 0; c < 3; ++c) drift[dither] += std::fabs(got[c] - want[c]) / 400.0;
            }
    }
    EXPECT_LT(drift[1], drift[0] * 0.7) << "plain " << drift[0] << ", dithered " << drift[1];
}

}  // namespace
}  // namespace tessary
