#include "raster/zoom_level.h"

#include <gtest/gtest.h>

#include <cmath>

#include "raster/resample.h"
#include "raster/scratch_raster.h"
#include "raster_test_support.h"

namespace tessary {
namespace {

using testing::MemorySource24;
using testing::ReadAllRows;
using testing::RecordingObserver;
using testing::ScratchSource;
using testing::TempFolder;

struct LevelFixture {
    TempFolder temp;
    std::atomic<bool> abort{false};
    RecordingObserver observer;
    RunContext context;
    LevelFixture() {
        context.tempFolder = FolderPath(temp.Folder());
        context.colourCount = 100;
        context.abort = &abort;
        context.observer = &observer;
        observer.abort = &abort;
    }
};

DominantColourTable DistinctDominants() {
    DominantColourTable table;
    for (int i = 0; i < kDominantColourCount; ++i)
        table.entries[size_t(i)] = PaletteEntry{uint8_t(100 + i), uint8_t(7), uint8_t(200 - i), 0};
    return table;
}

Palette GreyPalette() {
    Palette p{};
    for (int i = 0; i < 256; ++i) p[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i)};
    return p;
}

TEST(ZoomLevelSize, RoundsHalfToEvenAndNeverBelowOne) {
    EXPECT_EQ(ZoomLevelSize(1001, 50.0), 500);
    EXPECT_EQ(ZoomLevelSize(801, 50.0), 400);
    EXPECT_EQ(ZoomLevelSize(1003, 50.0), 502);  // 501.5
    EXPECT_EQ(ZoomLevelSize(10, 3.25), 1);      // 0.325
    EXPECT_EQ(ZoomLevelSize(1, 0.001), 1);
    EXPECT_EQ(ZoomLevelSize(20, 250.0), 50);
    EXPECT_THROW(ZoomLevelSize(1 << 30, 1000.0), std::invalid_argument);
}

TEST(ZoomLevelSize, CacheLimitFollowsTheReachOfTheFilter) {
    EXPECT_EQ(RowCacheLimit(1001, 101), 20 + 6);  // 2 / (100 / 1000)
    EXPECT_EQ(RowCacheLimit(300, 1), 600 + 6);    // a one-row level: 2 / (1 / 300)
    EXPECT_EQ(RowCacheLimit(1, 1), 2 + 6);
    EXPECT_EQ(RowCacheLimit(10, 25), 1 + 6);  // enlarging: 2 / (24 / 9)
}

TEST(ZoomLevel, HalvesAnOddSizedRaster) {
    LevelFixture f;
    auto source = MemorySource24(1001, 801, [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x / 4);
        p[1] = uint8_t(y / 4);
        p[2] = 128;
    });
    ZoomLevelStats stats;
    ASSERT_TRUE(BuildZoomLevel(f.context, 1, *source, 62, 50.0, DistinctDominants(), &stats));
    ScratchRasterReader out(f.temp.File("rpx_1.rpx0"));
    EXPECT_EQ(out.Width(), 500);
    EXPECT_EQ(out.Height(), 400);
    EXPECT_EQ(stats.rowsResampled, 801);  // every source row once: the lists fit the cache
}

TEST(ZoomLevel, ZoomPaletteHoldsQuantizerDominantBlackAndWhite) {
    LevelFixture f;
    auto source = MemorySource24(400, 300, [](int, int, uint8_t* p) {
        p[0] = 30;
        p[1] = 20;
        p[2] = 10;
    });
    DominantColourTable dominant = DistinctDominants();
    ASSERT_TRUE(BuildZoomLevel(f.context, 3, *source, 62, 25.0, dominant));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_3.rpx0"), &palette);
    ASSERT_EQ(rows.size(), 75u);
    EXPECT_EQ(palette[0], (PaletteEntry{30, 20, 10, 0}));
    for (int i = 1; i < 62; ++i) EXPECT_EQ(palette[size_t(i)], PaletteEntry{}) << i;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(palette[size_t(62 + i)], dominant.entries[size_t(i)]) << i;
    EXPECT_EQ(palette[82], (PaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(palette[83], (PaletteEntry{255, 255, 255, 0}));
    for (int i = 84; i < 256; ++i) EXPECT_EQ(palette[size_t(i)], PaletteEntry{}) << i;
    for (const auto& row : rows)
        for (uint8_t v : row) ASSERT_EQ(v, 0);
}

TEST(ZoomLevel, DominantAndBlackAndWhiteEntriesAreSearched) {
    LevelFixture f;
    // Left half black, right half white: the quantizer learns both (and
    // the blends at the seam), so pixels may map to its entries first;
    // with only dominant colours near, they are chosen.
    DominantColourTable dominant;
    for (auto& e : dominant.entries) e = PaletteEntry{0, 0, 250, 0};
    auto source = MemorySource24(64, 64, [](int x, int, uint8_t* p) {
        p[0] = p[1] = 0;
        p[2] = x < 32 ? 250 : 0;
    });
    ASSERT_TRUE(BuildZoomLevel(f.context, 1, *source, 1, 50.0, dominant));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_1.rpx0"), &palette);
    // One quantizer colour (the average), dominant at 1..20, black 21, white 22.
    EXPECT_EQ(palette[1], (PaletteEntry{0, 0, 250, 0}));
    EXPECT_EQ(palette[21], PaletteEntry{});
    EXPECT_EQ(palette[22], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(rows[10][0], 1);    // red: the first dominant entry
    EXPECT_EQ(rows[10][31], 21);  // black
}

TEST(ZoomLevel, InitialResizeAddsNoDominantColours) {
    LevelFixture f;
    auto source = MemorySource24(100, 100, [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x);
        p[1] = uint8_t(y);
        p[2] = 255;
    });
    ASSERT_TRUE(BuildZoomLevel(f.context, 0, *source, 100, 50.0, DistinctDominants()));
    Palette palette;
    ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[100], PaletteEntry{});
    EXPECT_EQ(palette[101], (PaletteEntry{255, 255, 255, 0}));
    for (int i = 102; i < 256; ++i) EXPECT_EQ(palette[size_t(i)], PaletteEntry{}) << i;
}

TEST(ZoomLevel, ColourCountOf255PutsBlackLastAndLeavesWhiteOut) {
    LevelFixture f;
    auto source = MemorySource24(60, 60, [](int x, int y, uint8_t* p) {
        // Plenty of colours, and a white block that must map somewhere valid.
        bool white = x >= 40 && y >= 40;
        p[0] = white ? 255 : uint8_t(x * 4);
        p[1] = white ? 255 : uint8_t(y * 4);
        p[2] = white ? 255 : uint8_t((x * y) & 0xFF);
    });
    ASSERT_TRUE(BuildZoomLevel(f.context, 0, *source, 255, 100.0, DistinctDominants()));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[255], PaletteEntry{});
    ASSERT_EQ(rows.size(), 60u);
    EXPECT_EQ(rows[59].size(), 60u);
}

TEST(ZoomLevel, ThinImagesGetOnePixelLevels) {
    LevelFixture f;
    Palette grey = GreyPalette();
    const double thumbnail = double(float(130.0 / 4000 * 100));
    for (int height : {30, 10, 1}) {
        auto source =
            ScratchSource(f.temp.File("thin.rpx0"), 4000, height, grey, [](int, int) { return uint8_t(90); });
        ASSERT_TRUE(source);
        ASSERT_TRUE(BuildZoomLevel(f.context, 4, *source, 62, thumbnail, DistinctDominants()));
        Palette palette;
        auto rows = ReadAllRows(f.temp.File("rpx_4.rpx0"), &palette);
        ASSERT_EQ(rows.size(), 1u) << height;
        ASSERT_EQ(rows[0].size(), 130u);
        for (uint8_t v : rows[0]) ASSERT_EQ(palette[v], (PaletteEntry{90, 90, 90, 0})) << height;
    }
    // And one pixel wide.
    auto tall = ScratchSource(f.temp.File("tall.rpx0"), 30, 4000, grey, [](int, int) { return uint8_t(40); });
    ASSERT_TRUE(BuildZoomLevel(f.context, 5, *tall, 62, thumbnail, DistinctDominants()));
    auto rows = ReadAllRows(f.temp.File("rpx_5.rpx0"));
    ASSERT_EQ(rows.size(), 130u);
    EXPECT_EQ(rows[0].size(), 1u);
}

TEST(ZoomLevel, EnlargesWithTheMagnifyingForm) {
    LevelFixture f;
    auto source =
        ScratchSource(f.temp.File("small.rpx0"), 20, 16, GreyPalette(), [](int, int) { return uint8_t(77); });
    ASSERT_TRUE(BuildZoomLevel(f.context, 2, *source, 62, 250.0, DistinctDominants()));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_2.rpx0"), &palette);
    ASSERT_EQ(rows.size(), 40u);
    ASSERT_EQ(rows[0].size(), 50u);
    for (const auto& row : rows)
        for (uint8_t v : row) ASSERT_EQ(palette[v], (PaletteEntry{77, 77, 77, 0}));
}

TEST(ZoomLevel, RowCacheStaysBoundedAndRereadsGiveTheSameRows) {
    LevelFixture f;
    const int W = 50, H = 3000;
    auto pixel = [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x * 5);
        p[1] = uint8_t((y * 7) % 256);
        p[2] = uint8_t((x + y) % 256);
    };
    auto source = MemorySource24(W, H, pixel);
    ZoomLevelStats stats;
    ASSERT_TRUE(BuildZoomLevel(f.context, 1, *source, 62, 2.0, DistinctDominants(), &stats));
    ASSERT_EQ(stats.width, 1);
    ASSERT_EQ(stats.height, 60);
    EXPECT_EQ(stats.cacheLimit, RowCacheLimit(H, 60));
    // A list spans about twice the limit, so rows are read again ...
    EXPECT_GT(stats.rowsResampled, H);
    // ... but never more than the limit plus one list are held.
    ContributorTable rows(H, 60, kMitchellFilter);
    size_t longest = 0;
    for (int y = 0; y < 60; ++y) longest = std::max(longest, rows.List(y).size());
    EXPECT_LE(stats.peakCachedRows, stats.cacheLimit + int64_t(longest));
    EXPECT_LT(stats.peakCachedRows, H / 5);

    // The spooled rows equal the plain computation without any cache.
    ContributorTable columns(W, 1, kMitchellFilter);
    std::vector<std::vector<uint8_t>> resampled(H, std::vector<uint8_t>(3));
    std::vector<uint8_t> src(W * 3);
    for (int r = 0; r < H; ++r) {
        for (int x = 0; x < W; ++x) pixel(x, r, src.data() + 3 * x);
        ResampleRow(3, src.data(), resampled[size_t(r)].data(), Palette{}, columns);
    }
    RowSpoolReader spool(f.temp.File("temp.rpx0"), 1);
    for (int y = 0; y < 60; ++y) {
        float b = 0, g = 0, r = 0;
        for (const Contributor& c : rows.List(y)) {
            const auto& row = resampled[size_t(c.pixel)];
            b = AddWeighted(b, c.weight, row[0]);
            g = AddWeighted(g, c.weight, row[1]);
            r = AddWeighted(r, c.weight, row[2]);
        }
        uint8_t spooled[3];
        spool.NextRow(spooled);
        EXPECT_EQ(spooled[0], SumToByte(b)) << y;
        EXPECT_EQ(spooled[1], SumToByte(g)) << y;
        EXPECT_EQ(spooled[2], SumToByte(r)) << y;
    }
}

TEST(ZoomLevel, ReportsProgressEveryTenthRow) {
    LevelFixture f;
    auto source = MemorySource24(100, 100, [](int, int, uint8_t* p) { p[0] = p[1] = p[2] = 9; });
    ASSERT_TRUE(BuildZoomLevel(f.context, 1, *source, 62, 25.0, DistinctDominants()));
    std::vector<std::string> expect = {"Pass 1 : 0 of 25", "Pass 1 : 10 of 25", "Pass 1 : 20 of 25",
                                       "Pass 2 : 0 of 25", "Pass 2 : 10 of 25", "Pass 2 : 20 of 25"};
    EXPECT_EQ(f.observer.Texts(2), expect);
    EXPECT_TRUE(f.observer.Texts(1).empty());
    EXPECT_EQ(f.observer.pumps, 6 + 25 + 25);  // the passes and one per contributor list
}

TEST(ZoomLevel, AbortInPassOneLeavesNoOutputAndNothingOpen) {
    LevelFixture f;
    auto source = ScratchSource(f.temp.File("src.rpx0"), 200, 400, GreyPalette(),
                                [](int x, int y) { return uint8_t(x + y); });
    int descriptors = testing::OpenDescriptorCount();
    f.observer.abortOn = "Pass 1 : 20 of 100";
    EXPECT_FALSE(BuildZoomLevel(f.context, 1, *source, 62, 25.0, DistinctDominants()));
    EXPECT_FALSE(f.temp.Exists("rpx_1.rpx0"));
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);

    f.abort = false;
    f.observer.abortOn = "Pass 2 : 50 of 100";
    EXPECT_FALSE(BuildZoomLevel(f.context, 1, *source, 62, 25.0, DistinctDominants()));
    EXPECT_TRUE(f.temp.Exists("rpx_1.rpx0"));  // partial, without its table
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
    EXPECT_EQ(f.observer.Texts(2).back(), "Pass 2 : 50 of 100");
}

TEST(ZoomLevel, RefusesSourcesWithoutPixelsAndBadPercentages) {
    LevelFixture f;
    auto source = MemorySource24(10, 10, [](int, int, uint8_t* p) { p[0] = p[1] = p[2] = 0; });
    for (double bad : {0.0, -5.0, std::nan("")})
        EXPECT_THROW((void)BuildZoomLevel(f.context, 1, *source, 62, bad, DistinctDominants()),
                     std::invalid_argument);
    Timagerecord4 empty;
    EXPECT_THROW((void)BuildZoomLevel(f.context, 1, empty, 62, 50.0, DistinctDominants()), std::invalid_argument);
}

TEST(DominantColours, MostFrequentFirstTiesToLowerIndexThenRepeats) {
    TempFolder temp;
    Palette palette{};
    for (int i = 0; i < 256; ++i)
        palette[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(i * 3), uint8_t(255 - i), 99};
    // 200 x 300: the grid takes x = 0, 2, ..., 198 and y = 0, 3, ..., 297.
    auto raster = ScratchSource(temp.File("d.rpx0"), 200, 300, palette, [](int x, int y) {
        if (x < 100) return uint8_t(3);   // 5000 samples
        return uint8_t(y < 150 ? 7 : 1);  // 2500 each
    });
    DominantColourTable table = SampleDominantColors(*raster);
    auto colour = [&](int i) {
        const PaletteEntry& e = palette[size_t(i)];
        return PaletteEntry{e.blue, e.green, e.red, 0};
    };
    EXPECT_EQ(table.entries[0], colour(3));
    EXPECT_EQ(table.entries[1], colour(1));
    EXPECT_EQ(table.entries[2], colour(7));
    for (int k = 3; k < 20; ++k) EXPECT_EQ(table.entries[size_t(k)], colour(7)) << k;
}

TEST(DominantColours, SmallRastersSampleTheirFirstPixel) {
    TempFolder temp;
    Palette palette = GreyPalette();
    auto raster = ScratchSource(temp.File("s.rpx0"), 99, 99, palette,
                                [](int x, int y) { return uint8_t(x == 0 && y == 0 ? 17 : 200); });
    DominantColourTable table = SampleDominantColors(*raster);
    for (const PaletteEntry& e : table.entries) EXPECT_EQ(e, (PaletteEntry{17, 17, 17, 0}));

    auto trueColour = MemorySource24(200, 200, [](int, int, uint8_t* p) { p[0] = p[1] = p[2] = 1; });
    EXPECT_THROW(SampleDominantColors(*trueColour), std::invalid_argument);
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

uint64_t Fnv1a(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

// The bytes of a level are a fixed function of its input: the digests below
// were taken from this implementation and must come out the same in every
// build (optimised or not, sanitised or not) and on every machine.
TEST(ZoomLevel, OutputIsTheSameInEveryBuild) {
    LevelFixture f;
    auto source = MemorySource24(301, 203, [](int x, int y, uint8_t* p) {
        uint32_t h = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
        p[0] = uint8_t((x / 23) * 40 + (h >> 29));
        p[1] = uint8_t((y / 17) * 20 + x % 7);
        p[2] = uint8_t(((x + y) / 31) * 35);
    });
    DominantColourTable dominant = DistinctDominants();
    std::vector<uint64_t> digests;
    for (double percent : {double(100.0f / 3), 250.0, 0.5}) {
        ASSERT_TRUE(BuildZoomLevel(f.context, 1, *source, 62, percent, dominant));
        Palette palette;
        auto rows = ReadAllRows(f.temp.File("rpx_1.rpx0"), &palette);
        uint64_t h = 0xcbf29ce484222325ull;
        uint8_t bytes[1024];
        PaletteToBytes(palette, bytes);
        h = Fnv1a(h, bytes, sizeof bytes);
        for (const auto& row : rows) h = Fnv1a(h, row.data(), row.size());
        digests.push_back(h);
    }
    EXPECT_EQ(digests,
              (std::vector<uint64_t>{0x3e84e0c37c04b35bull, 0x82dc634223b7b62cull, 0x25efe4cf01ce6bafull}));
}

}  // namespace
}  // namespace tessary
