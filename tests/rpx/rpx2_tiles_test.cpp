// Single tiles and level summaries for viewers: every tile of every level
// decodes to the level's pixels (top line first, background past the
// edges), in any order of levels; summaries carry the stored scales and
// byte counts; damaged and legacy files raise instead of reading outside.
#include "rpx/rpx2_tiles.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/errors.h"
#include "rpx/rpx_reader.h"
#include "rpx/rpx_test_support.h"

namespace tessary {
namespace {

using namespace rpxtest;

class Rpx2TilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        levels_ = {RandomRaster(301, 200, 60, 31), RandomRaster(128, 64, 40, 32), RandomRaster(40, 27, 20, 33)};
        scales_ = {100.0f, 42.5f, 13.25f};
        path_ = temp_.Path("tiles.rpx2");
        RunContext context;
        WriteRpx2File(path_, temp_, levels_, ScalesFor(scales_), false, context);
    }
    TempFolder temp_;
    std::vector<Raster> levels_;
    std::vector<float> scales_;
    std::string path_;
};

TEST_F(Rpx2TilesTest, EveryTileOfEveryLevelInAnyOrder) {
    Rpx2TileDecoder decoder(path_);
    ASSERT_EQ(decoder.LevelCount(), 3);
    uint8_t tile[64 * 64];
    // Levels visited back and forth, as a viewer zooming in and out does.
    for (int level : {2, 0, 1, 0, 2}) {
        const Raster& raster = levels_[size_t(level)];
        const uint8_t background = NearestToWhite(raster.palette);
        const int across = raster.width / 64 + 1, down = raster.height / 64 + 1;
        for (int r = 0; r < down; ++r)
            for (int c = 0; c < across; ++c) {
                decoder.DecodeTile(level, r, c, tile);
                for (int y = 0; y < 64; ++y)
                    for (int x = 0; x < 64; ++x) {
                        const int ix = 64 * c + x, iy = 64 * r + y;
                        const uint8_t want =
                            ix < raster.width && iy < raster.height ? raster.At(ix, iy) : background;
                        ASSERT_EQ(tile[y * 64 + x], want)
                            << "level " << level << " tile " << r << ", " << c << " pixel " << x << ", " << y;
                    }
            }
        EXPECT_THROW(decoder.DecodeTile(level, down, 0, tile), RpxFormatError);
        EXPECT_THROW(decoder.DecodeTile(level, 0, across, tile), RpxFormatError);
        EXPECT_THROW(decoder.DecodeTile(level, -1, 0, tile), RpxFormatError);
    }
    EXPECT_THROW(decoder.DecodeTile(3, 0, 0, tile), RpxFormatError);
    EXPECT_THROW(decoder.DecodeTile(-1, 0, 0, tile), RpxFormatError);
}

TEST_F(Rpx2TilesTest, SummaryHasSizesStoredScalesAndBytes) {
    const Rpx2Summary summary = ReadRpx2Summary(path_);
    EXPECT_EQ(summary.width, 301);
    EXPECT_EQ(summary.height, 200);
    ASSERT_EQ(summary.levels.size(), 3u);
    const Bytes file = ReadBytes(path_);
    uint64_t total = 0;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Rpx2LevelSummary& level = summary.levels[i];
        EXPECT_EQ(level.width, levels_[i].width);
        EXPECT_EQ(level.height, levels_[i].height);
        EXPECT_EQ(level.tilesAcross, levels_[i].width / 64 + 1);
        EXPECT_EQ(level.tilesDown, levels_[i].height / 64 + 1);
        EXPECT_DOUBLE_EQ(level.scalePercent, double(scales_[i]));
        EXPECT_EQ(level.palette[5].red, levels_[i].palette[5].red);
        total += level.storedBytes;
    }
    EXPECT_EQ(summary.levels[0].distinctColours, 60 + 1) << "60 colours, the rest of the palette black";
    // Header, scale list, the levels, the level table and its position.
    EXPECT_EQ(60 + 4 * 3 + total + 4 * 3 + 4, file.size());
}

TEST_F(Rpx2TilesTest, DamagedAndLegacyFilesRaise) {
    Bytes file = ReadBytes(path_);
    Bytes legacy = file;
    legacy[0] = 0x77;
    WriteBytes(temp_.Path("legacy.rpx2"), legacy);
    EXPECT_THROW(Rpx2TileDecoder(temp_.Path("legacy.rpx2")), RpxFormatError);
    EXPECT_THROW(ReadRpx2Summary(temp_.Path("legacy.rpx2")), RpxFormatError);

    Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(file.size() / 2));
    WriteBytes(temp_.Path("cut.rpx2"), cut);
    EXPECT_THROW(ReadRpx2Summary(temp_.Path("cut.rpx2")), RpxFormatError);
    EXPECT_THROW(ReadRpx2Summary(temp_.Path("missing.rpx2")), IoError);

    // A damaged tile stream fails that tile alone.
    Bytes broken = file;
    const size_t firstTile = 60 + 4 * 3 + 4;
    for (size_t i = firstTile + 2; i < firstTile + 10; ++i) broken[i] = 0xFF;
    WriteBytes(temp_.Path("broken.rpx2"), broken);
    Rpx2TileDecoder decoder(temp_.Path("broken.rpx2"));
    uint8_t tile[64 * 64];
    EXPECT_THROW(decoder.DecodeTile(0, 0, 0, tile), EDecompressionError);
    decoder.DecodeTile(0, 0, 1, tile);
    EXPECT_EQ(tile[0], levels_[0].At(64, 0));
}

}  // namespace
}  // namespace tessary
