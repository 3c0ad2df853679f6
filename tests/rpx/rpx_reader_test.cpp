#include "rpx/rpx_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "common/errors.h"
#include "engine/source_rows.h"
#include "rpx/rpx_test_support.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

using namespace rpxtest;

void ExpectPictureIs(const Picture& picture, const Raster& raster, int step = 1) {
    ASSERT_EQ(picture.Width(), raster.width / step);
    ASSERT_EQ(picture.Height(), raster.height / step);
    ASSERT_EQ(picture.BitsPerPixel(), 8);
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x)
            ASSERT_EQ(picture.Row(y)[x], raster.At(x * step, y * step)) << "pixel " << x << ", " << y;
    for (int i = 0; i < 256; ++i) {
        PaletteEntry want = raster.palette[size_t(i)];
        want.reserved = 0;
        ASSERT_EQ(picture.Colours()[size_t(i)], want) << "palette entry " << i;
    }
}

class RpxReaderTest : public ::testing::Test {
protected:
    std::string WriteRpx2(const std::vector<Raster>& levels, bool chart = false) {
        std::vector<float> scales;
        for (const Raster& r : levels) scales.push_back(float(100.0 * r.width / levels[0].width));
        RunContext context;
        std::string path = temp_.Path("image" + std::to_string(files_++) + ".rpx2");
        WriteRpx2File(path, temp_, levels, ScalesFor(scales), chart, context);
        return path;
    }
    std::string Save(const Bytes& bytes, const std::string& extension) {
        std::string path = temp_.Path("built" + std::to_string(files_++) + extension);
        WriteBytes(path, bytes);
        return path;
    }
    TempFolder temp_;
    int files_ = 0;
};

TEST_F(RpxReaderTest, WrittenFilesReadBackAtEveryLevel) {
    std::vector<Raster> levels = {RandomRaster(301, 300, 60, 21), RandomRaster(150, 149, 50, 22),
                                  RandomRaster(64, 128, 40, 23), RandomRaster(130, 130, 30, 24),
                                  RandomRaster(300, 299, 20, 25)};
    std::string path = WriteRpx2(levels, true);
    for (int i = 0; i < int(levels.size()); ++i) {
        std::optional<Picture> picture = RpxToPicture(path, 1, i);
        ASSERT_TRUE(picture);
        ExpectPictureIs(*picture, levels[size_t(i)]);
    }
    // -1 is the last level, the overview; the step does not matter for RPX2.
    std::optional<Picture> overview = RpxToPicture(path, 3, -1);
    ASSERT_TRUE(overview);
    ExpectPictureIs(*overview, levels.back());
    EXPECT_TRUE(RpxChartFlag(path));
    EXPECT_THROW(RpxToPicture(path, 1, 5), RpxFormatError);
    EXPECT_THROW(RpxToPicture(path, 1, -2), RpxFormatError);
}

TEST_F(RpxReaderTest, RowsArePaddedToFourBytes) {
    Raster w300 = RandomRaster(300, 300, 10, 26), w301 = RandomRaster(301, 70, 10, 27);
    w301.pixels[size_t(5) * 301 + 300] = 9;  // the last column comes from its tile like any other
    std::optional<Picture> p300 = RpxToPicture(WriteRpx2({w300, w300, w300}), 1, 0);
    std::optional<Picture> p301 = RpxToPicture(WriteRpx2({w301, w301, w301}), 1, 0);
    ASSERT_TRUE(p300 && p301);
    EXPECT_EQ(p300->Stride(), 300u);
    EXPECT_EQ(p301->Stride(), 304u);
    ExpectPictureIs(*p301, w301);
    for (int y = 0; y < 70; ++y)
        for (int x = 301; x < 304; ++x) ASSERT_EQ(p301->Row(y)[x], 0);
}

TEST_F(RpxReaderTest, OpensAsASourceImage) {
    Raster level0 = RandomRaster(310, 305, 30, 28);
    std::string path = WriteRpx2({level0, RandomRaster(130, 128, 5, 29), RandomRaster(300, 295, 5, 30)});
    AddEngineSourceRows();
    SourceImageInfo info = GetSourceImageInfo(path);
    EXPECT_EQ(info.width, 310);
    EXPECT_EQ(info.height, 305);
    EXPECT_EQ(info.bytesPerPixel, 1);
    EXPECT_FALSE(RpxChartFlag(path));

    SourceHandle source = OpenSourceImageOrNull(path);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->Width, 310);
    EXPECT_EQ(source->BytesPerPixel, 1);
    std::vector<uint8_t> row(310);
    for (int y : {0, 151, 304}) {
        ReadSourceRow(*source, y, row.data());
        EXPECT_TRUE(std::equal(row.begin(), row.end(), level0.pixels.begin() + y * 310)) << "row " << y;
    }
    EXPECT_EQ(source->Palette[3].red, level0.palette[3].red);

    // The legacy extension goes through the same reader.
    Raster legacy = RandomRaster(40, 30, 200, 31);
    std::string old = Save(BuildLegacyRpx(legacy, 8, true), ".rpx");
    EXPECT_EQ(GetSourceImageInfo(old).width, 40);
    SourceHandle oldSource = OpenSourceImageOrNull(old);
    ASSERT_TRUE(oldSource);
    EXPECT_EQ(oldSource->Height, 30);
}

TEST_F(RpxReaderTest, LegacyOneBitAtStepTwo) {
    Raster raster = RandomRaster(101, 50, 2, 32);
    std::optional<Picture> picture = RpxToPicture(Save(BuildLegacyRpx(raster, 1, true), ".rpx"), 2, 0);
    ASSERT_TRUE(picture);
    // 50 x 25 from rows 0, 2, ..., 48 and columns 0, 2, ..., 98.
    ExpectPictureIs(*picture, raster, 2);
}

TEST_F(RpxReaderTest, LegacyDepthsCompressedAndRaw) {
    for (int bits : {1, 4, 8})
        for (bool compressed : {true, false}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, compressed " << compressed);
            Raster raster = RandomRaster(77, 23, 1 << std::min(bits, 7), uint32_t(33 + bits));
            std::string path = Save(BuildLegacyRpx(raster, bits, compressed), ".rpx");
            std::optional<Picture> picture = RpxToPicture(path, 1, 0);
            ASSERT_TRUE(picture);
            ExpectPictureIs(*picture, raster);
            SourceImageInfo info = GetRpxSize(path);
            EXPECT_EQ(info.width, 77);
            EXPECT_EQ(info.height, 23);
        }
}

TEST_F(RpxReaderTest, RefusesWhatItCannotRead) {
    Raster raster = RandomRaster(41, 20, 4, 40);
    // Two bits per pixel: the size is known, the pixels cannot be expanded.
    std::string twoBit = Save(BuildLegacyRpx(raster, 2, true), ".rpx");
    EXPECT_EQ(GetRpxSize(twoBit).width, 41);
    EXPECT_THROW(RpxToPicture(twoBit, 1, 0), RpxFormatError);

    Bytes unknown = BuildLegacyRpx(raster, 8, true);
    unknown[0] = 0x76;
    EXPECT_THROW(RpxToPicture(Save(unknown, ".rpx"), 1, 0), RpxFormatError);
    EXPECT_THROW(GetRpxSize(temp_.Path("missing.rpx2")), IoError);
}

TEST_F(RpxReaderTest, StreamsNeverInflatePastTheirBuffers) {
    Raster raster = RandomRaster(100, 70, 9, 41);
    // A tile that inflates to 5000 bytes.
    LevelParts parts = PartsOf(raster);
    parts.tiles[2] = Deflate(Bytes(5000, 1));
    std::string tooBig = Save(BuildRpx2(100, 70, {parts, PartsOf(raster), PartsOf(raster)}), ".rpx2");
    EXPECT_THROW(RpxToPicture(tooBig, 1, 0), EDecompressionError);
    EXPECT_TRUE(RpxToPicture(tooBig, 1, 1));  // the other levels are sound

    // A legacy row that inflates beyond its row size, compressed and raw.
    std::vector<Bytes> rows;
    for (int y = 0; y < raster.height; ++y) rows.push_back(Deflate(PackRow(raster, y, 8)));
    rows[7] = Deflate(Bytes(101, 3));
    EXPECT_THROW(RpxToPicture(Save(BuildLegacyRpx(raster, 8, true, rows), ".rpx"), 1, 0),
                 EDecompressionError);
    for (int y = 0; y < raster.height; ++y) rows[size_t(y)] = PackRow(raster, y, 8);
    rows[9].push_back(0);
    EXPECT_THROW(RpxToPicture(Save(BuildLegacyRpx(raster, 8, false, rows), ".rpx"), 1, 0), RpxFormatError);
}

TEST_F(RpxReaderTest, TileIndexBeyondTheLevelLeavesTheBuffer) {
    Raster raster = RandomRaster(100, 70, 9, 42);
    RpxHandle handle(WriteRpx2({raster, raster, raster}));
    uint8_t buffer[4096];
    std::fill(std::begin(buffer), std::end(buffer), 0xAB);
    handle.ReadTile(4, buffer);  // 2 x 2 tiles
    handle.ReadTile(-1, buffer);
    for (uint8_t v : buffer) ASSERT_EQ(v, 0xAB);
    handle.ReadTile(3, buffer);  // the corner tile is background only
    EXPECT_EQ(buffer[0], NearestToWhite(raster.palette));
}

TEST_F(RpxReaderTest, PositionsOutsideTheFileOrGoingBackwardsAreRefused) {
    Raster raster = RandomRaster(130, 70, 9, 43);
    const Bytes good = BuildRpx2(130, 70, {PartsOf(raster), PartsOf(raster), PartsOf(raster)});
    auto u32 = [](const Bytes& b, size_t at) {
        return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
               (uint32_t(b[at + 3]) << 24);
    };
    auto put = [](Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    const size_t table = u32(good, good.size() - 4);
    const size_t header0 = u32(good, table);
    const size_t positions = header0 + 1036;
    // The file built from parts reads back: tiles bottom line first.
    std::optional<Picture> sound = RpxToPicture(Save(good, ".rpx2"), 1, 0);
    ASSERT_TRUE(sound);
    ExpectPictureIs(*sound, raster);

    Bytes backwards = good;  // tile 2 starts before tile 1
    put(backwards, positions + 8, u32(good, positions + 4) - 1);
    EXPECT_THROW(RpxToPicture(Save(backwards, ".rpx2"), 1, 0), RpxFormatError);

    Bytes outside = good;  // the end position points beyond the file
    put(outside, positions + 4 * 6, uint32_t(good.size() + 100));
    EXPECT_THROW(RpxToPicture(Save(outside, ".rpx2"), 1, 0), RpxFormatError);

    Bytes badTable = good;  // the level table position beyond the file
    put(badTable, badTable.size() - 4, uint32_t(good.size() + 8));
    EXPECT_THROW(GetRpxSize(Save(badTable, ".rpx2")), RpxFormatError);

    Bytes hugeTiles = good;  // tile counts that the file cannot hold
    hugeTiles[header0 + 8] = 0xFF;
    hugeTiles[header0 + 9] = 0x7F;
    hugeTiles[header0 + 10] = 0xFF;
    hugeTiles[header0 + 11] = 0x7F;
    EXPECT_THROW(RpxToPicture(Save(hugeTiles, ".rpx2"), 1, 0), RpxFormatError);

    // The legacy row table likewise.
    Bytes legacy = BuildLegacyRpx(raster, 8, true);
    Bytes rowTable = legacy;
    put(rowTable, rowTable.size() - 4, uint32_t(legacy.size() - 8));
    EXPECT_THROW(RpxToPicture(Save(rowTable, ".rpx"), 1, 0), RpxFormatError);
    Bytes rowBack = legacy;
    size_t rows = u32(legacy, legacy.size() - 4);
    put(rowBack, rows + 4 * 3, u32(legacy, rows + 4) - 2);
    EXPECT_THROW(RpxToPicture(Save(rowBack, ".rpx"), 1, 0), RpxFormatError);
}

// Damaged copies of a small RPX2 and a small legacy file: every outcome must
// be a picture or one of the reader's errors, never a crash or a hang (the
// sanitizer build runs these too).
int DecodeDamaged(const std::string& path) {
    int errors = 0;
    for (int level : {0, -1, 2}) {
        try {
            (void)RpxToPicture(path, 1, level);
        } catch (const IoError&) {
            ++errors;
        } catch (const RpxFormatError&) {
            ++errors;
        } catch (const EDecompressionError&) {
            ++errors;
        }
    }
    try {
        (void)GetRpxSize(path);
    } catch (const std::runtime_error&) {
        ++errors;
    }
    return errors;
}

TEST_F(RpxReaderTest, TruncatedFilesAreRefused) {
    Raster raster = RandomRaster(150, 90, 12, 44);
    const Bytes rpx2 =
        ReadBytes(WriteRpx2({raster, RandomRaster(40, 30, 5, 45), RandomRaster(100, 60, 5, 46)}));
    const Bytes legacy = BuildLegacyRpx(raster, 4, true);
    for (const Bytes* whole : {&rpx2, &legacy}) {
        const std::string extension = whole == &rpx2 ? ".rpx2" : ".rpx";
        std::string path = temp_.Path("cut" + extension);
        for (size_t length = 0; length < whole->size();
             length += (length < 100 || whole->size() - length < 64) ? 1 : 37) {
            WriteBytes(path, Bytes(whole->begin(), whole->begin() + long(length)));
            // The cut removes the final position: nothing may be decoded.
            ASSERT_EQ(DecodeDamaged(path), 4) << "cut at " << length << " of " << whole->size();
        }
    }
}

TEST_F(RpxReaderTest, BitFlippedFilesNeverCrash) {
    Raster raster = RandomRaster(150, 90, 12, 47);
    const Bytes rpx2 =
        ReadBytes(WriteRpx2({raster, RandomRaster(40, 30, 5, 48), RandomRaster(100, 60, 5, 49)}));
    const Bytes legacy = BuildLegacyRpx(raster, 4, true);
    std::mt19937 rng(50);
    int refused = 0, runs = 0;
    for (const Bytes* whole : {&rpx2, &legacy}) {
        const std::string path = temp_.Path(whole == &rpx2 ? "flip.rpx2" : "flip.rpx");
        // Random single flips, and flips in each of the last 64 bytes where
        // the tables and positions live.
        for (int i = 0; i < 300 + 64 * 8; ++i) {
            Bytes damaged = *whole;
            size_t at = i < 300 ? rng() % damaged.size() : damaged.size() - 64 + size_t(i - 300) / 8;
            damaged[at] ^= uint8_t(1u << (i < 300 ? rng() % 8 : unsigned(i - 300) % 8));
            WriteBytes(path, damaged);
            refused += DecodeDamaged(path) > 0;
            ++runs;
        }
    }
    EXPECT_EQ(runs, 2 * (300 + 512));
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace tessary
