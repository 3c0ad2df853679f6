#include "sources/png_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "sources/image_expectations.h"
#include "sources/source_image.h"
#include "support/temp_folder.h"
#include "support/unprivileged.h"

namespace tessary {
namespace {

using test::CorpusFolder;
using test::HandleRgb;
using test::TestData;

TEST(PngReader, CommittedFilesDecodeAsTheIndependentDecoderDoes) {
    EXPECT_GE(test::CompareWithExpected("png/expected.txt", TestData("png"), 0, true), 20);
}

TEST(PngReader, EveryCorpusFileTheIndependentDecoderAcceptsDecodesTheSame) {
    const std::string corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "image corpus not present";
    EXPECT_GE(test::CompareWithExpected("png/expected.txt", corpus + "/png", 0, true), 90);
}

// Malformed files are refused at open with libpng's reason, or fail the
// first row that cannot be decoded with it; never a crash, a picture of
// invented pixels or another kind of failure.
void ExpectCleanRefusals(const std::vector<std::string>& files, std::set<std::string> mayLoad) {
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        try {
            SourceOpenResult result = OpenSourceImage(path);
            if (auto* handle = std::get_if<SourceHandle>(&result)) {
                try {
                    HandleRgb(**handle);
                } catch (const SourceError& e) {
                    EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
                    EXPECT_STRNE(e.what(), "");
                    continue;
                }
                EXPECT_TRUE(mayLoad.count(std::filesystem::path(path).filename().string()))
                    << "loaded a malformed file";
            } else {
                EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable);
                EXPECT_NE(std::get<SourceFailure>(result).detail, "");
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "raised " << e.what();
        }
    }
}

// The malformed files whose image data is complete and intact: a missing
// or cut IEND after the image, empty ancillary chunks, indices beyond a short
// palette (they show entry colours 0). Everything else must be refused.
const std::set<std::string> kLoadableMalformed = {"invalid-noend.png", "invalid-trunc.png",
                                                  "empty_ancillary_chunks.png", "invalid-palette.png"};

TEST(PngReader, MalformedFilesAreRefusedCleanly) {
    const std::vector<std::string> files = test::FilesIn(TestData("png/bad"));
    ASSERT_GE(files.size(), 5u);
    ExpectCleanRefusals(files, kLoadableMalformed);
}

TEST(PngReader, EveryMalformedCorpusFileIsRefusedCleanly) {
    const std::string corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "image corpus not present";
    ExpectCleanRefusals(test::FilesIn(corpus + "/bad/png"), kLoadableMalformed);
}

Picture Decode(const std::string& relative) {
    Picture picture;
    EXPECT_TRUE(DecodePngBitmap(TestData(relative), picture));
    return picture;
}

TEST(PngReader, FourBitPaletteGivesOneIndexPerByteAndTheFilePalette) {
    Picture picture = Decode("png/pngsuite/basn3p04.png");
    ASSERT_EQ(picture.BitsPerPixel(), 8);
    // The file's 15 colours in entries 0 to 14; the rest stay 0.
    EXPECT_EQ(picture.Colours()[0], (PaletteEntry{255, 0, 34, 0}));
    EXPECT_EQ(picture.Colours()[1], (PaletteEntry{255, 255, 0, 0}));
    for (size_t i = 15; i < 256; ++i) EXPECT_EQ(picture.Colours()[i], PaletteEntry{}) << i;
    EXPECT_EQ(picture.Row(0)[0], 8);
    uint8_t highest = 0;
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x) highest = std::max(highest, picture.Row(y)[x]);
    EXPECT_EQ(highest, 14);
}

TEST(PngReader, RgbIsTwentyFourBitBlueGreenRedAndInspectsAsThreeBytes) {
    Picture picture = Decode("png/pngsuite/basn2c08.png");
    ASSERT_EQ(picture.BitsPerPixel(), 24);
    const uint8_t* row = picture.Row(20);
    EXPECT_EQ(row[30], 255);  // pixel 10 is red 117, green 255, blue 255
    EXPECT_EQ(row[31], 255);
    EXPECT_EQ(row[32], 117);
    EXPECT_EQ(GetPngInfo(TestData("png/pngsuite/basn2c08.png")).bytesPerPixel, 3);
    EXPECT_EQ(GetPngInfo(TestData("png/pngsuite/basn6a08.png")).bytesPerPixel, 3);
}

TEST(PngReader, GreyKeepsTheFullGreyPaletteAndLowDepthsAreScaled) {
    Picture grey8 = Decode("png/pngsuite/basn0g08.png");
    ASSERT_EQ(grey8.BitsPerPixel(), 8);
    for (unsigned i = 0; i < 256; ++i)
        EXPECT_EQ(grey8.Colours()[i], (PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
    SourceImageInfo info = GetPngInfo(TestData("png/pngsuite/basn0g08.png"));
    EXPECT_EQ(info.width, 32);
    EXPECT_EQ(info.bytesPerPixel, 1);

    // Two-bit samples 0..3 become 0, 85, 170, 255 (not near-black 0..3).
    Picture grey2 = Decode("png/pngsuite/basn0g02.png");
    std::set<int> levels;
    for (int y = 0; y < grey2.Height(); ++y)
        for (int x = 0; x < grey2.Width(); ++x) levels.insert(grey2.Row(y)[x]);
    EXPECT_EQ(levels, (std::set<int>{0, 85, 170, 255}));
}

TEST(PngReader, InterlacedFilesGiveTheSamePixelsAsTheirPlainTwins) {
    for (const char* name : {"basn0g04", "basn2c08", "basn3p04", "basn6a16", "basn4a08"}) {
        SCOPED_TRACE(name);
        std::string whyNot;
        SourceHandle plain =
            test::OpenLoaded(TestData(std::string("png/pngsuite/") + name + ".png"), &whyNot);
        SourceHandle interlaced =
            test::OpenLoaded(TestData(std::string("png/pngsuite/i") + name + ".png"), &whyNot);
        ASSERT_TRUE(plain && interlaced) << whyNot;
        EXPECT_EQ(HandleRgb(*plain), HandleRgb(*interlaced));
    }
}

TEST(PngReader, AlphaIsComposedOntoWhitePaper) {
    Picture rgba = Decode("png/pngsuite/basn6a08.png");
    ASSERT_EQ(rgba.BitsPerPixel(), 24);
    const uint8_t* top = rgba.Row(0);
    // Pixel 0: alpha 0 -> white. Pixel 5: red 255, green 0, blue 8, alpha 41.
    EXPECT_EQ(top[0], 255);
    EXPECT_EQ(top[1], 255);
    EXPECT_EQ(top[2], 255);
    EXPECT_EQ(top[15], 215);
    EXPECT_EQ(top[16], 214);
    EXPECT_EQ(top[17], 255);
    // The last pixel is opaque and keeps its colour (0, 32, 255).
    const uint8_t* last = rgba.Row(31) + 31 * 3;
    EXPECT_EQ(last[0], 255);
    EXPECT_EQ(last[1], 32);
    EXPECT_EQ(last[2], 0);

    // Grey with alpha stays 8-bit grey: grey 255 at alpha 0 and grey 0 at
    // alpha 0 both give paper white.
    Picture greyAlpha = Decode("png/pngsuite/basn4a08.png");
    ASSERT_EQ(greyAlpha.BitsPerPixel(), 8);
    EXPECT_EQ(greyAlpha.Row(0)[0], 255);
    EXPECT_EQ(greyAlpha.Row(31)[0], 255);
    EXPECT_EQ(greyAlpha.Row(0)[31], 255);  // grey 255, opaque
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string Chunk(const std::string& type, const std::string& data) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    std::string body = type + data;
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
    return be32(uint32_t(data.size())) + body + be32(uint32_t(crc));
}

TEST(PngReader, ErrorTextsForUnopenableAndUndecodableFiles) {
    const std::string missing = (std::filesystem::temp_directory_path() / "tessary-no-such.png").string();
    try {
        Picture picture;
        DecodePngBitmap(missing, picture);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error Opening File : " + missing + " - No such file or directory");
    }
    EXPECT_THROW(GetPngInfo(missing), std::runtime_error);

    // The reason under "could not be fully loaded in memory" tells the truth.
    test::TempFolder temp("tessary_png_reasons");
    auto detail = [](const std::string& path) {
        SourceOpenResult result = OpenSourceImage(path);
        return std::holds_alternative<SourceFailure>(result) ? std::get<SourceFailure>(result).detail : "opened";
    };
    EXPECT_EQ(detail(temp.Write("empty.png", "")), "file is empty");
    const std::string locked = temp.Write("locked.png", std::string("\x89PNG\r\n\x1a\n", 8));
    std::filesystem::permissions(temp.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    {
        test::ScopedUnprivileged unprivileged;
        if (unprivileged.PermissionsApply())
            EXPECT_EQ(detail(locked), "Error Opening File : " + locked + " - Permission denied");
    }

    const std::string notPng = WriteTemp("tessary-not-a.png", "GIF89a this is no PNG at all");
    for (int inspect = 0; inspect < 2; ++inspect) {
        try {
            Picture picture;
            if (inspect)
                GetPngInfo(notPng);
            else
                DecodePngBitmap(notPng, picture);
            ADD_FAILURE() << "no error";
        } catch (const SourceError& e) {
            EXPECT_EQ(e.kind(), SourceOpenError::SourceNotLoadable);
            EXPECT_STREQ(e.what(), "Not a PNG file");
        }
    }
    std::filesystem::remove(notPng);
}

TEST(PngReader, HeaderPromisingMorePixelsThanTheFileCanHoldIsRefusedBeforeAllocating) {
    // 1,000,000 x 1,000,000 grey pixels (the library's own size limit) in a
    // file of a few dozen bytes: a terabyte picture must not be attempted.
    const std::string ihdr = {0, 0x0F, 0x42, 0x40, 0, 0x0F, 0x42, 0x40, 8, 0, 0, 0, 0};
    const std::string zeros(100, '\0');
    std::string idat(200, '\0');
    uLongf idatSize = uLongf(idat.size());
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(idat.data()), &idatSize,
                       reinterpret_cast<const Bytef*>(zeros.data()), uLong(zeros.size())),
              Z_OK);
    idat.resize(idatSize);
    const std::string path =
        WriteTemp("tessary-bomb.png", std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) +
                                          Chunk("IDAT", idat) + Chunk("IEND", ""));
    EXPECT_EQ(GetPngInfo(path).width, 1000000);  // the header itself is readable
    Picture picture;
    EXPECT_THROW(DecodePngBitmap(path, picture), SourceError);
    EXPECT_TRUE(picture.Empty());
    // The row reader refuses it too, with the reason.
    SourceOpenResult result = OpenSourceImage(path);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_EQ(std::get<SourceFailure>(result).detail,
              "header promises 1,000,000 x 1,000,000 pixels, more than the file can hold");
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tessary
