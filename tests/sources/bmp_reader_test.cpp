#include "sources/bmp_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/le.h"
#include "common/zlib_stream.h"
#include "sources/source_image.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const std::string kData = std::string(TESSARY_TEST_DATA) + "/bmp/";

// A pixel dump made once by an independent decoder: a zlib-compressed binary
// PPM (red, green, blue, top row first).
struct Expected {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

Expected ReadExpected(const std::string& bmpName) {
    std::string packed = ReadWholeFile(kData + "expected/" + bmpName + ".ppm.z");
    std::vector<uint8_t> ppm(1 << 20);
    size_t n =
        InflateStream(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), ppm.data(), ppm.size());
    std::string text(reinterpret_cast<const char*>(ppm.data()), std::min<size_t>(n, 64));
    Expected e;
    int maxValue = 0, consumed = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "P6 %d %d %d%n", &e.width, &e.height, &maxValue, &consumed), 3);
    EXPECT_EQ(maxValue, 255);
    size_t start = size_t(consumed) + 1;
    e.rgb.assign(ppm.begin() + start, ppm.begin() + n);
    EXPECT_EQ(e.rgb.size(), size_t(e.width) * e.height * 3);
    return e;
}

// Every row read through the source interface, as blue, green, red.
std::vector<uint8_t> RowsAsBgr(Timagerecord4& image) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> row(size_t(image.Width) * image.BytesPerPixel);
    for (int y = 0; y < image.Height; ++y) {
        ReadSourceRow(image, y, row.data());
        for (int x = 0; x < image.Width; ++x) {
            if (image.BytesPerPixel == 1) {
                const PaletteEntry& p = image.Palette[row[x]];
                out.insert(out.end(), {p.blue, p.green, p.red});
            } else {
                out.insert(out.end(), row.begin() + x * 3, row.begin() + x * 3 + 3);
            }
        }
    }
    return out;
}

class BmpAgainstReference : public ::testing::TestWithParam<std::string> {};

TEST_P(BmpAgainstReference, RowsEqualTheIndependentDecodersPixels) {
    const std::string name = fs::path(GetParam()).filename().string();
    Expected expected = ReadExpected(name);
    SourceOpenResult result = OpenSourceImage(kData + GetParam());
    ASSERT_TRUE(std::holds_alternative<SourceHandle>(result)) << name;
    SourceHandle image = std::move(std::get<SourceHandle>(result));
    ASSERT_EQ(image->Width, expected.width);
    ASSERT_EQ(image->Height, expected.height);
    std::vector<uint8_t> bgr = RowsAsBgr(*image);
    ASSERT_EQ(bgr.size(), expected.rgb.size());
    size_t mismatches = 0, first = 0;
    for (size_t i = 0; i < bgr.size(); i += 3) {
        if (bgr[i] != expected.rgb[i + 2] || bgr[i + 1] != expected.rgb[i + 1] ||
            bgr[i + 2] != expected.rgb[i]) {
            if (mismatches++ == 0) first = i / 3;
        }
    }
    EXPECT_EQ(mismatches, 0u) << name << ": first differing pixel at x " << first % expected.width << ", y "
                              << first / expected.width;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BmpAgainstReference,
                         ::testing::Values("good/pal1.bmp", "good/pal4.bmp", "good/pal4rle.bmp",
                                           "good/pal8.bmp", "good/pal8os2.bmp", "good/pal8rle.bmp",
                                           "good/pal8topdown.bmp", "good/pal8w125.bmp", "good/rgb16.bmp",
                                           "good/rgb16-565.bmp", "good/rgb24.bmp",
                                           "good/yellow_rose-small.bmp", "good/yellow_rose-small-v5.bmp",
                                           "good/hopper_rle8_greyscale.bmp", "questionable/pal1p1.bmp",
                                           "questionable/pal4rletrns.bmp", "questionable/pal8os2sp.bmp",
                                           "questionable/rgba16-4444.bmp",
                                           "good/pal8_offset.bmp", "bad/badbitssize.bmp", "bad/baddens1.bmp",
                                           "bad/baddens2.bmp", "bad/badfilesize.bmp", "bad/badplanes.bmp",
                                           "bad/hopper_rle8_row_overflow.bmp", "bad/mmap_error.bmp"),
                         [](const auto& info) {
                             std::string s = fs::path(info.param).stem().string();
                             for (char& c : s)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

TEST(BmpLoader, PicturesKeepPalettisedDepthsAndWidenTheOthers) {
    struct Case {
        const char* file;
        int bits;
    } cases[] = {{"good/pal1.bmp", 1},
                 {"good/pal4.bmp", 4},
                 {"good/pal4rle.bmp", 4},
                 {"good/pal8rle.bmp", 8},
                 {"good/rgb16-565.bmp", 24},
                 {"good/rgb24.bmp", 24},
                 {"good/yellow_rose-small.bmp", 24}};
    for (const Case& c : cases) {
        std::optional<Picture> picture = LoadBmpBitmap(kData + c.file);
        ASSERT_TRUE(picture) << c.file;
        EXPECT_EQ(picture->BitsPerPixel(), c.bits) << c.file;
    }
}

TEST(BmpLoader, QuestionableFilesTheReferenceRefusesGiveNoPicture) {
    for (const char* f : {"pal2.bmp", "pal8oversizepal.bmp", "rgb24jpeg.bmp", "rgb24png.bmp"}) {
        EXPECT_FALSE(LoadBmpBitmap(kData + "questionable/" + f)) << f;
        SourceOpenResult result = OpenSourceImage(kData + "questionable/" + f);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result)) << f;
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable) << f;
    }
}

TEST(BmpLoader, MalformedFilesAreRefusedOrLoadedWithinTheirBounds) {
    // Truncated data, absurd or negative sizes, unknown depths, headers and
    // colour counts: no picture.
    const std::vector<std::string> refused = {"badbitcount.bmp", "badheadersize.bmp", "badpalettesize.bmp",
                                              "badwidth.bmp",    "l2rgb_read.bmp",    "reallybig.bmp",
                                              "rletopdown.bmp",  "shortfile.bmp"};
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(kData + "bad")) {
        const std::string name = entry.path().filename().string();
        ++seen;
        std::optional<Picture> picture = LoadBmpBitmap(entry.path().string());
        bool mustRefuse = std::find(refused.begin(), refused.end(), name) != refused.end();
        if (mustRefuse || !picture) {
            EXPECT_FALSE(picture) << name;
            // As a source, refused at open with the reason.
            SourceOpenResult result = OpenSourceImage(entry.path().string());
            ASSERT_TRUE(std::holds_alternative<SourceFailure>(result)) << name;
            EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable) << name;
            EXPECT_NE(std::get<SourceFailure>(result).detail, "") << name;
            continue;
        }
        // What loads has the size its header states, and every row can be
        // read in full (the sanitizer build checks the bounds).
        SourceImageInfo info = GetBmpInfo(entry.path().string());
        EXPECT_EQ(picture->Width(), info.width) << name;
        EXPECT_EQ(picture->Height(), std::abs(info.height)) << name;
        SourceHandle image = OpenSourceImageOrNull(entry.path().string());
        ASSERT_TRUE(image) << name;
        // The rows read from the file one by one are the picture's rows.
        picture->ConvertTo8Bit();
        std::vector<uint8_t> row(size_t(image->Width) * image->BytesPerPixel);
        for (int y = 0; y < image->Height; ++y) {
            ReadSourceRow(*image, y, row.data());
            EXPECT_EQ(std::memcmp(row.data(), picture->Row(y), row.size()), 0) << name << " row " << y;
        }
    }
    EXPECT_EQ(seen, 17);
}

TEST(BmpInspector, ReportsTheHeaderAndThreeBytesOnlyFor24Bit) {
    SourceImageInfo info = GetBmpInfo(kData + "good/rgb24.bmp");
    EXPECT_EQ(info.width, 127);
    EXPECT_EQ(info.height, 64);
    EXPECT_EQ(info.bytesPerPixel, 3);
    for (const char* f : {"good/pal1.bmp", "good/pal4.bmp", "good/pal8.bmp", "good/rgb16.bmp",
                          "good/yellow_rose-small-v5.bmp"}) {
        EXPECT_EQ(GetBmpInfo(kData + f).bytesPerPixel, 1) << f;
    }
    info = GetBmpInfo(kData + "good/pal8topdown.bmp");
    EXPECT_EQ(info.height, -64);
    info = GetBmpInfo(kData + "good/pal8os2.bmp");
    EXPECT_EQ(info.width, 127);
    EXPECT_EQ(info.height, 64);
    info = GetBmpInfo(kData + "no-such-file.bmp");
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.bytesPerPixel, 1);
}

// ---- files built here ---------------------------------------------------------

class BmpBuilt : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) { return temp_.Write(name, bytes); }

    test::TempFolder temp_{"tessary_bmp"};
    const fs::path dir_ = temp_.Path();
};

// A bitmap with a header of `headerSize` bytes (40 or more), the given
// colour table and pixel data.
std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, uint16_t bpp, uint32_t compression,
                             uint32_t headerSize, const std::vector<uint8_t>& table,
                             const std::vector<uint8_t>& pixels, uint32_t coloursUsed = 0) {
    std::vector<uint8_t> f(14 + headerSize);
    f[0] = 'B';
    f[1] = 'M';
    uint32_t offset = uint32_t(14 + headerSize + table.size());
    WriteU32LE(&f[2], uint32_t(offset + pixels.size()));
    WriteU32LE(&f[10], offset);
    WriteU32LE(&f[14], headerSize);
    WriteI32LE(&f[18], width);
    WriteI32LE(&f[22], height);
    WriteU16LE(&f[26], 1);
    WriteU16LE(&f[28], bpp);
    WriteU32LE(&f[30], compression);
    WriteU32LE(&f[46], coloursUsed);
    f.insert(f.end(), table.begin(), table.end());
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
}

TEST_F(BmpBuilt, PaletteKeepsReservedBytesAndZeroesEntriesBeyondTheTable) {
    // 8-bit, 2x2, a three-entry table whose reserved bytes are set, and a
    // V5 header with a 256-entry table (a block larger than 1064 bytes).
    std::vector<uint8_t> table = {1, 2, 3, 0x11, 4, 5, 6, 0x22, 7, 8, 9, 0x33};
    std::vector<uint8_t> pixels = {0, 1, 0, 0, 2, 5, 0, 0};
    std::optional<Picture> p = LoadBmpBitmap(Write("a.bmp", MakeBmp(2, 2, 8, 0, 40, table, pixels, 3)));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Colours()[1], (PaletteEntry{4, 5, 6, 0x22}));
    EXPECT_EQ(p->Colours()[2], (PaletteEntry{7, 8, 9, 0x33}));
    EXPECT_EQ(p->Colours()[3], PaletteEntry{});
    EXPECT_EQ(p->Row(0)[0], 2);  // bottom-up: the file's second row is the top row
    EXPECT_EQ(p->Row(0)[1], 5);
    EXPECT_EQ(p->Row(1)[1], 1);

    std::vector<uint8_t> full(1024);
    for (size_t i = 0; i < full.size(); ++i) full[i] = uint8_t(i * 7);
    p = LoadBmpBitmap(Write("v5.bmp", MakeBmp(2, 2, 8, 0, 124, full, pixels)));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Colours()[255],
              (PaletteEntry{uint8_t(1020 * 7), uint8_t(1021 * 7), uint8_t(1022 * 7), uint8_t(1023 * 7)}));
}

TEST_F(BmpBuilt, PixelDataMustBeInTheFileExceptTheLastRowsPadding) {
    // 3x2 24-bit: rows of 9 pixel bytes padded to 12.
    std::vector<uint8_t> pixels(24);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i + 1);
    std::vector<uint8_t> file = MakeBmp(3, 2, 24, 0, 40, {}, pixels);
    file.resize(file.size() - 3);  // the padding of the last row only
    std::optional<Picture> p = LoadBmpBitmap(Write("pad.bmp", file));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Row(0)[8], 21);  // file row 1 is the top row
    EXPECT_EQ(p->Row(1)[0], 1);
    file.resize(file.size() - 1);  // now a pixel byte is missing
    EXPECT_FALSE(LoadBmpBitmap(Write("short.bmp", file)));
}

TEST_F(BmpBuilt, SizesThatOverflowOrCannotBeHeldGiveNoPicture) {
    std::vector<uint8_t> pixels(64, 0x55);
    EXPECT_FALSE(LoadBmpBitmap(Write("huge24.bmp", MakeBmp(0x7FFFFFFF, 0x7FFFFFFF, 24, 0, 40, {}, pixels))));
    EXPECT_FALSE(LoadBmpBitmap(Write("huge1.bmp", MakeBmp(0x40000000, 0x40000000, 1, 0, 40, {}, pixels))));
    EXPECT_FALSE(LoadBmpBitmap(Write("zero.bmp", MakeBmp(0, 4, 24, 0, 40, {}, pixels))));
    EXPECT_FALSE(LoadBmpBitmap(Write("minh.bmp", MakeBmp(4, INT32_MIN, 24, 0, 40, {}, pixels))));
    // A few bytes of run-length data cannot stand for a picture of gigabytes.
    std::vector<uint8_t> rle = {0, 1};
    EXPECT_FALSE(LoadBmpBitmap(Write("rle.bmp", MakeBmp(60000, 60000, 8, 1, 40, {}, rle))));
}

TEST_F(BmpBuilt, BitfieldMasksOfAnyWidthAreScaledToEightBits) {
    // 32-bit with 10-bit channels (red high, blue low) and a 16-bit 4-4-4
    // layout in a V4 header; one pixel each.
    std::vector<uint8_t> masks(12);
    WriteU32LE(&masks[0], 0x3FF00000);
    WriteU32LE(&masks[4], 0x000FFC00);
    WriteU32LE(&masks[8], 0x000003FF);
    std::vector<uint8_t> px(4);
    WriteU32LE(px.data(), (1023u << 20) | (512u << 10) | 0u);
    std::optional<Picture> p = LoadBmpBitmap(Write("ten.bmp", MakeBmp(1, 1, 32, 3, 40, masks, px)));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->BitsPerPixel(), 24);
    EXPECT_EQ(p->Row(0)[0], 0);    // blue
    EXPECT_EQ(p->Row(0)[1], 128);  // green: 512 / 1023 x 255 = 127.6
    EXPECT_EQ(p->Row(0)[2], 255);  // red

    std::vector<uint8_t> v4 = MakeBmp(1, 1, 16, 3, 108, {}, {0x2F, 0x0D, 0, 0});
    WriteU32LE(&v4[14 + 40], 0x0F00);
    WriteU32LE(&v4[14 + 44], 0x00F0);
    WriteU32LE(&v4[14 + 48], 0x000F);
    p = LoadBmpBitmap(Write("v4.bmp", v4));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Row(0)[0], 0xF * 17);
    EXPECT_EQ(p->Row(0)[1], 0x2 * 17);
    EXPECT_EQ(p->Row(0)[2], 0xD * 17);

    // Masks with gaps are refused.
    WriteU32LE(&masks[0], 0x00F0F000);
    EXPECT_FALSE(LoadBmpBitmap(Write("gap.bmp", MakeBmp(1, 1, 32, 3, 40, masks, px))));
}

TEST_F(BmpBuilt, RunLengthJumpsLeaveIndexZeroAndOverlongRunsAreClipped) {
    // 4x3 RLE8, bottom row first: a run of 9 (clipped to 4), end of line, a
    // jump of (2, 1), a literal run of 3 starting at x 2 (clipped), end.
    std::vector<uint8_t> table(16 * 4, 0);
    std::vector<uint8_t> rle = {9, 7, 0, 0, 0, 2, 2, 1, 0, 3, 4, 5, 6, 0, 0, 1};
    std::optional<Picture> p = LoadBmpBitmap(Write("rle.bmp", MakeBmp(4, 3, 8, 1, 40, table, rle, 16)));
    ASSERT_TRUE(p);
    const uint8_t bottom[4] = {7, 7, 7, 7}, middle[4] = {0, 0, 0, 0}, top[4] = {0, 0, 4, 5};
    EXPECT_EQ(std::memcmp(p->Row(2), bottom, 4), 0);
    EXPECT_EQ(std::memcmp(p->Row(1), middle, 4), 0);
    EXPECT_EQ(std::memcmp(p->Row(0), top, 4), 0);
    // Read row by row as a source, top row first, the same.
    SourceHandle image = OpenSourceImageOrNull(Write("rle_rows.bmp", MakeBmp(4, 3, 8, 1, 40, table, rle, 16)));
    ASSERT_TRUE(image);
    ASSERT_TRUE(image->Reader);
    uint8_t row[4];
    for (const auto& [y, expected] : {std::pair{0, top}, std::pair{1, middle}, std::pair{2, bottom}}) {
        ReadSourceRow(*image, y, row);
        EXPECT_EQ(std::memcmp(row, expected, 4), 0) << y;
    }
}

TEST_F(BmpBuilt, SignatureOtherThanBmGivesNothing) {
    std::vector<uint8_t> file = MakeBmp(1, 1, 24, 0, 40, {}, {1, 2, 3, 0});
    file[0] = 'X';
    std::string path = Write("x.bmp", file);
    EXPECT_FALSE(LoadBmpBitmap(path));
    SourceImageInfo info = GetBmpInfo(path);
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.bytesPerPixel, 1);
}

}  // namespace
}  // namespace tessary
