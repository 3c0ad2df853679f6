#include "rpx/rpx2_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>

#include "common/errors.h"
#include "common/zlib_stream.h"
#include "raster/raster_test_support.h"
#include "raster/scratch_raster.h"
#include "rpx/rpx_test_support.h"

namespace tessary {
namespace {

using namespace rpxtest;

RunContext ContextFor(RecordingProgress& progress) {
    RunContext context;
    context.abort = &progress.abort;
    context.observer = &progress;
    return context;
}

// Writes the rasters as one file and checks its every field.
void WriteAndCheck(const std::vector<Raster>& levels, const std::vector<float>& scales, bool chart,
                   Bytes* fileOut = nullptr) {
    TempFolder temp;
    RecordingProgress progress;
    RunContext context = ContextFor(progress);
    std::string path = temp.Path("out.rpx2");
    WriteRpx2File(path, temp, levels, ScalesFor(scales), chart, context);
    Bytes file = ReadBytes(path);
    EXPECT_TRUE(CheckRpx2Layout(file, chart, scales, levels));
    if (fileOut) *fileOut = std::move(file);
}

uint16_t U16At(const Bytes& b, size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}
uint32_t U32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
           (uint32_t(b[at + 3]) << 24);
}

TEST(Rpx2Writer, Image300WithPreviewLevelsPassesTheLayoutCheck) {
    std::vector<Raster> levels = {RandomRaster(300, 300, 40, 1), RandomRaster(150, 150, 30, 2),
                                  RandomRaster(130, 130, 20, 3), RandomRaster(300, 300, 25, 4)};
    Bytes file;
    WriteAndCheck(levels, {100.0f, 50.0f, 43.333332f, 100.0f}, true, &file);
    // 300 = 4 x 64 + 44: five tiles each way at level 0.
    uint32_t header0 = U32At(file, U32At(file, file.size() - 4));
    EXPECT_EQ(U16At(file, header0 + 8), 5);
    EXPECT_EQ(U16At(file, header0 + 10), 5);
}

TEST(Rpx2Writer, ExactMultiplesOf64GetAWholeRowAndColumnOfBackground) {
    // Palette entries 0 and 7 are both pure white: the background is 0,
    // which the image itself never uses.
    Palette palette = TestPalette(64, 11, false);
    palette[0] = {255, 255, 255, 0};
    palette[7] = {255, 255, 255, 0};
    Raster level0 =
        MakeRaster(640, 512, palette, [](int x, int y) { return uint8_t(1 + (x / 7 + y / 5) % 60); });
    Raster thumb = MakeRaster(130, 104, palette, [](int x, int y) { return uint8_t(1 + (x + y) % 60); });
    Raster overview = MakeRaster(300, 240, palette, [](int x, int y) { return uint8_t(1 + (x * y) % 60); });
    Bytes file;
    WriteAndCheck({level0, thumb, overview}, {100.0f, 20.3125f, 46.875f}, false, &file);

    uint32_t header0 = U32At(file, U32At(file, file.size() - 4));
    ASSERT_EQ(U16At(file, header0 + 8), 11);
    ASSERT_EQ(U16At(file, header0 + 10), 9);
    // Every tile of the eleventh column and the ninth row is background only.
    for (int k = 0; k < 99; ++k) {
        if (k % 11 != 10 && k / 11 != 8) continue;
        uint32_t begin = U32At(file, header0 + 1036 + 4 * k), end = U32At(file, header0 + 1040 + 4 * k);
        uint8_t tile[4096];
        ASSERT_EQ(InflateStream(file.data() + begin, end - begin, tile, sizeof tile), 4096u);
        for (uint8_t v : tile) ASSERT_EQ(v, 0) << "tile " << k;
    }
}

TEST(Rpx2Writer, BackgroundIsTheEntryNearestToWhite) {
    Palette palette{};
    EXPECT_EQ(BackgroundIndex(palette), 0);  // all black: the first entry
    palette[3] = {250, 250, 250, 0};         // distance 15
    palette[9] = {255, 255, 240, 0};         // distance 15 too: the lower index wins
    palette[12] = {200, 255, 255, 0};
    EXPECT_EQ(BackgroundIndex(palette), 3);
    palette[200] = {255, 254, 255, 0};
    EXPECT_EQ(BackgroundIndex(palette), 200);

    // A palette without white pads its tiles with its lightest entry.
    Raster raster = RandomRaster(70, 70, 12, 5, false);
    raster.palette[4] = {240, 230, 220, 0};
    WriteAndCheck({raster, raster, raster}, {100.0f, 100.0f, 100.0f}, false);
}

TEST(Rpx2Writer, ProgressEveryTenthTileRestartingAtEachLevel) {
    TempFolder temp;
    RecordingProgress progress;
    RunContext context = ContextFor(progress);
    // 6 x 7 = 42 tiles, then 4 tiles, then 42 again.
    std::vector<Raster> levels = {RandomRaster(330, 400, 9, 6), RandomRaster(100, 100, 9, 7),
                                  RandomRaster(383, 447, 9, 8)};
    WriteRpx2File(temp.Path("p.rpx2"), temp, levels, ScalesFor({100.0f, 30.0f, 116.0f}), false, context);
    std::vector<std::string> want = {"Writing 10 of 42", "Writing 20 of 42", "Writing 30 of 42",
                                     "Writing 40 of 42", "Writing 10 of 42", "Writing 20 of 42",
                                     "Writing 30 of 42", "Writing 40 of 42"};
    EXPECT_EQ(progress.texts, want);
    // A pump after every tile, at every progress text and after every band.
    int tiles = 42 + 4 + 42, bands = 7 + 2 + 7;
    EXPECT_EQ(progress.pumps, tiles + 8 + bands);
}

// `raster` written as the scratch raster r.rpx0 in `temp` and opened as a
// source, as the driver hands a level to the writer.
SourceHandle ScratchSource(const TempFolder& temp, const Raster& raster) {
    return testing::ScratchSource(temp.Path("r.rpx0"), raster.width, raster.height, raster.palette,
                                  [&](int x, int y) { return raster.At(x, y); });
}

TEST(Rpx2Writer, AbortWritesNoLevelHeaderAndNoTrailer) {
    TempFolder temp;
    Raster raster = RandomRaster(200, 200, 20, 9);
    SourceHandle source = ScratchSource(temp, raster);
    ASSERT_TRUE(source);
    for (int abortAt : {3, 5, 17}) {  // inside the first band, at its end, in the fourth band
        RecordingProgress progress;
        progress.abortAtPump = abortAt;
        RunContext context = ContextFor(progress);
        std::string path = temp.Path("a.rpx2");
        uint64_t levelStart;
        {
            Rpx2Writer writer(CheckedFile(path, CheckedFile::Mode::Create), context);
            WriteRpx2Header(writer, 200, 200, false, ScalesFor({100.0f, 50.0f, 65.0f}));
            levelStart = writer.Position();
            EXPECT_FALSE(WriteRpx2Level(writer, *source));
            EXPECT_TRUE(writer.LevelPositions().empty());
            writer.Close();
        }
        // After the marker there are only whole tiles up to the end of the file.
        Bytes file = ReadBytes(path);
        ASSERT_GT(file.size(), levelStart + 4);
        EXPECT_EQ(U16At(file, levelStart), 0x7777);
        size_t pos = levelStart + 4;
        int tiles = 0;
        while (pos < file.size()) {
            z_stream zs{};
            ASSERT_EQ(inflateInit(&zs), Z_OK);
            uint8_t out[4097];
            zs.next_in = file.data() + pos;
            zs.avail_in = uInt(file.size() - pos);
            zs.next_out = out;
            zs.avail_out = sizeof out;
            int rc = inflate(&zs, Z_FINISH);
            size_t used = zs.total_in, produced = zs.total_out;
            inflateEnd(&zs);
            ASSERT_EQ(rc, Z_STREAM_END) << "bytes after tile " << tiles << " are not a tile";
            ASSERT_EQ(produced, 4096u);
            pos += used;
            ++tiles;
        }
        EXPECT_EQ(pos, file.size());
        EXPECT_GT(tiles, 0);
        EXPECT_LT(tiles, 16);
    }
}

TEST(Rpx2Writer, MoreThan51LevelsAreKept) {
    std::vector<Raster> levels;
    std::vector<float> scales;
    for (int i = 0; i < 60; ++i) {
        levels.push_back(RandomRaster(20 + i, 10 + i, 5, uint32_t(100 + i)));
        scales.push_back(i == 0 ? 100.0f : float(100.0 * (20 + i) / 20));
    }
    WriteAndCheck(levels, scales, false);
}

TEST(Rpx2Writer, ScaleSlotsAfterAFreeSlotAreStillWritten) {
    TempFolder temp;
    RecordingProgress progress;
    RunContext context = ContextFor(progress);
    Raster raster = RandomRaster(90, 80, 6, 12);
    ScaleList scales = ScalesFor({100.0f, 50.0f});
    scales[7] = 25.0f;  // a used slot behind free ones
    WriteRpx2File(temp.Path("s.rpx2"), temp, {raster, raster, raster}, scales, false, context);
    EXPECT_TRUE(CheckRpx2Layout(ReadBytes(temp.Path("s.rpx2")), false, {100.0f, 50.0f, 25.0f},
                                {raster, raster, raster}));
}

TEST(Rpx2Writer, PositionsNeverPassTheLimit) {
    TempFolder temp;
    Raster raster = RandomRaster(300, 300, 200, 13);
    SourceHandle source = ScratchSource(temp, raster);
    ASSERT_TRUE(source);
    RecordingProgress progress;
    RunContext context = ContextFor(progress);
    const uint64_t limit = 20000;
    Rpx2Writer writer(CheckedFile(temp.Path("big.rpx2"), CheckedFile::Mode::Create), context, limit);
    WriteRpx2Header(writer, 300, 300, false, ScalesFor({100.0f, 40.0f, 100.0f}));
    try {
        (void)WriteRpx2Level(writer, *source);
        FAIL() << "a level past the limit was written";
    } catch (const IoError& e) {
        EXPECT_EQ(e.code(), EFBIG);
    }
    writer.Close();
    EXPECT_LE(ReadBytes(temp.Path("big.rpx2")).size(), limit);
}

TEST(Rpx2Writer, RefusesRastersOfThreeBytesPerPixel) {
    TempFolder temp;
    RecordingProgress progress;
    RunContext context = ContextFor(progress);
    Timagerecord4 rgb;
    rgb.Extension = ".bmp";
    rgb.Width = 100;
    rgb.Height = 10;
    rgb.BytesPerPixel = 3;
    rgb.Bitmap = std::make_unique<Picture>(100, 10, 24);
    Rpx2Writer writer(CheckedFile(temp.Path("x.rpx2"), CheckedFile::Mode::Create), context);
    WriteRpx2Header(writer, 100, 10, false, ScalesFor({100.0f, 50.0f, 60.0f}));
    EXPECT_THROW((void)WriteRpx2Level(writer, rgb), std::invalid_argument);
}

TEST(TileDeflater, GrowingTheBufferGivesTheSameStream) {
    Raster noise = RandomRaster(64, 64, 256, 14);
    for (uint8_t& v : noise.pixels) v = uint8_t(v * 131 + 7);  // hardly compressible
    std::vector<uint8_t> roomy, tight;
    TileDeflater deflater;
    size_t a = deflater.Compress(noise.pixels.data(), roomy, 8000);
    size_t b = deflater.Compress(noise.pixels.data(), tight, 16);
    ASSERT_EQ(a, b);
    EXPECT_GE(tight.size(), b);
    EXPECT_TRUE(std::equal(roomy.begin(), roomy.begin() + long(a), tight.begin()));
    uint8_t back[4096];
    ASSERT_EQ(InflateStream(tight.data(), b, back, sizeof back), 4096u);
    EXPECT_TRUE(std::equal(back, back + 4096, noise.pixels.begin()));
    // The same bytes as a level-9 zlib stream made in one go.
    EXPECT_EQ(Bytes(roomy.begin(), roomy.begin() + long(a)), Deflate(noise.pixels));
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

using namespace rpxtest;

TEST(Rpx2Writer, BytesMatchALayoutBuiltFromFreshlyDeflatedTiles) {
    // The writer reuses one deflate stream for all tiles; every tile must
    // still be the stream a fresh level-9 deflate gives.
    std::vector<Raster> levels = {RandomRaster(200, 130, 200, 60), RandomRaster(64, 64, 3, 61),
                                  RandomRaster(100, 65, 90, 62)};
    std::vector<float> scales;
    std::vector<LevelParts> parts;
    for (const Raster& r : levels) {
        scales.push_back(float(100.0 * r.width / 200));
        parts.push_back(PartsOf(r));
    }
    TempFolder temp;
    RunContext context;
    WriteRpx2File(temp.Path("same.rpx2"), temp, levels, ScalesFor(scales), false, context);
    EXPECT_EQ(ReadBytes(temp.Path("same.rpx2")), BuildRpx2(200, 130, parts));
}

}  // namespace
}  // namespace tessary
