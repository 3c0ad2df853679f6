#include "raster/colour_reduction.h"

#include <gtest/gtest.h>

#include "raster/scratch_raster.h"
#include "raster_test_support.h"

namespace tessary {
namespace {

using testing::MemorySource24;
using testing::MemorySource8;
using testing::ReadAllRows;
using testing::RecordingObserver;
using testing::TempFolder;

struct PassFixture {
    TempFolder temp;
    std::atomic<bool> abort{false};
    RecordingObserver observer;
    RunContext context;
    explicit PassFixture(int n) {
        context.tempFolder = FolderPath(temp.Folder());
        context.colourCount = n;
        context.abort = &abort;
        context.observer = &observer;
        observer.abort = &abort;
    }
};

TEST(ReduceColours, FewColoursGiveTheirPaletteThenBlackAndWhite) {
    PassFixture f(16);
    auto source = MemorySource24(30, 25, [](int x, int, uint8_t* p) {
        p[0] = x < 10 ? 200 : 10;  // blue
        p[1] = 50;
        p[2] = x < 20 ? 60 : 61;
    });
    ASSERT_TRUE(ReduceColorsPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    ASSERT_EQ(rows.size(), 25u);
    // Tree order: red bits first, then green, then blue.
    EXPECT_EQ(palette[0], (PaletteEntry{10, 50, 60, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{10, 50, 61, 0}));
    EXPECT_EQ(palette[2], (PaletteEntry{200, 50, 60, 0}));
    for (int i = 3; i < 16; ++i) EXPECT_EQ(palette[size_t(i)], PaletteEntry{}) << i;
    EXPECT_EQ(palette[16], PaletteEntry{});
    EXPECT_EQ(palette[17], (PaletteEntry{255, 255, 255, 0}));
    for (int i = 18; i < 256; ++i) EXPECT_EQ(palette[size_t(i)], PaletteEntry{}) << i;
    for (const auto& row : rows) {
        EXPECT_EQ(row[0], 2);
        EXPECT_EQ(row[15], 0);
        EXPECT_EQ(row[29], 1);
    }
    EXPECT_EQ(f.observer.Texts(1), std::vector<std::string>{"Reducing Colors"});
    std::vector<std::string> expect = {"Pass 1 : 0 of 25", "Pass 1 : 10 of 25", "Pass 1 : 20 of 25",
                                       "Pass 2 : 0 of 25", "Pass 2 : 10 of 25", "Pass 2 : 20 of 25"};
    EXPECT_EQ(f.observer.Texts(2), expect);
    EXPECT_EQ(f.observer.pumps, 1 + 25 + 3);
}

TEST(ReduceColours, OnlyEveryTenthRowTeachesThePalette) {
    PassFixture f(8);
    // Rows 1..9 hold a colour that row 0 lacks: it is not learned, but its
    // pixels are still mapped to the nearest entry.
    auto source = MemorySource24(4, 10, [](int, int y, uint8_t* p) {
        p[0] = p[1] = 0;
        p[2] = y == 0 ? 100 : 250;
    });
    ASSERT_TRUE(ReduceColorsPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0, 0, 100, 0}));
    EXPECT_EQ(palette[1], PaletteEntry{});
    EXPECT_EQ(rows[0][0], 0);
    EXPECT_EQ(rows[5][0], 0);  // 150 from entry 0, 250 from black, 515 from white
}

TEST(ReduceColours, TwoHundredFiftyFourColoursFillThePalette) {
    PassFixture f(254);
    // Over 254 colours in the sampled rows, none near white; white only in
    // a row the sampling skips.
    auto source = MemorySource24(64, 64, [](int x, int y, uint8_t* p) {
        bool white = x == 63 && y % 10 == 5;
        p[0] = white ? 255 : uint8_t(x * 4);
        p[1] = white ? 255 : uint8_t((y / 10) * 4);
        p[2] = white ? 255 : 128;
    });
    ASSERT_TRUE(ReduceColorsPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[254], PaletteEntry{});
    EXPECT_EQ(palette[255], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(rows[5][63], 255);  // pure white reaches the white entry
}

TEST(ReduceColours, ColourCountOf255KeepsBlackAndDropsWhite) {
    PassFixture f(255);
    auto source = MemorySource24(64, 64, [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x * 4);
        p[1] = uint8_t(y * 4);
        p[2] = uint8_t(x ^ y);
    });
    ASSERT_TRUE(ReduceColorsPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[255], PaletteEntry{});
    EXPECT_EQ(rows.size(), 64u);
}

TEST(ReduceColours, PalettisedSourcesNeverMapToWhite) {
    PassFixture f(8);
    Palette p{};
    p[0] = PaletteEntry{0, 0, 200, 7};
    p[1] = PaletteEntry{255, 255, 255, 7};
    // White only in rows the sampling skips.
    auto source = MemorySource8(5, 12, p, [](int, int y) { return uint8_t(y % 10 == 0 ? 0 : 1); });
    ASSERT_TRUE(ReduceColorsPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0, 0, 200, 0}));
    EXPECT_EQ(palette[8], PaletteEntry{});
    EXPECT_EQ(palette[9], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(rows[0][0], 0);
    // White is 565 from entry 0 and 765 from black: entry 9 is not searched.
    EXPECT_EQ(rows[3][0], 0);
}

TEST(ReduceColours, AbortWhileSamplingWritesNothingWhileMappingLeavesAPartialFile) {
    PassFixture f(32);
    auto source =
        MemorySource24(20, 100, [](int x, int y, uint8_t* p) { p[0] = p[1] = p[2] = uint8_t(x + y); });
    int descriptors = testing::OpenDescriptorCount();
    f.observer.abortOn = "Pass 1 : 30 of 100";
    EXPECT_FALSE(ReduceColorsPass(f.context, *source));
    EXPECT_FALSE(f.temp.Exists("rpx_0.rpx0"));

    f.abort = false;
    f.observer.abortOn = "Pass 2 : 30 of 100";
    EXPECT_FALSE(ReduceColorsPass(f.context, *source));
    EXPECT_TRUE(f.temp.Exists("rpx_0.rpx0"));
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
}

TEST(CopyIndexed, CopiesRowsAndTheWholePalette) {
    PassFixture f(254);
    Palette p{};
    for (int i = 0; i < 256; ++i) p[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(~i), 3, uint8_t(i & 1)};
    auto source = MemorySource8(33, 21, p, [](int x, int y) { return uint8_t(x * 7 + y); });
    ASSERT_TRUE(CopyIndexedPass(f.context, *source));
    Palette palette;
    auto rows = ReadAllRows(f.temp.File("rpx_0.rpx0"), &palette);
    EXPECT_EQ(palette, p);
    ASSERT_EQ(rows.size(), 21u);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 33; ++x) ASSERT_EQ(rows[size_t(y)][size_t(x)], uint8_t(x * 7 + y));
    std::vector<std::string> expect = {"Pass 1 : 0 of 21", "Pass 1 : 10 of 21", "Pass 1 : 20 of 21"};
    EXPECT_EQ(f.observer.Texts(2), expect);

    auto trueColour = MemorySource24(4, 4, [](int, int, uint8_t* q) { q[0] = q[1] = q[2] = 0; });
    EXPECT_THROW((void)CopyIndexedPass(f.context, *trueColour), std::invalid_argument);
    Timagerecord4 empty;
    EXPECT_THROW((void)ReduceColorsPass(f.context, empty), std::invalid_argument);
}

}  // namespace
}  // namespace tessary
