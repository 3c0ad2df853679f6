#include "sources/mrsid_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <variant>

#include "gdal_reader_test_support.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

using testing::BgrImage;
using testing::ReadNetpbm;

class MrSidReaderTest : public testing::GdalReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        if (!LibraryBuilt(MrSidLibraryFileName()))
            GTEST_SKIP() << "the MrSID library was not built (no GDAL)";
        standIns_ = std::make_unique<testing::AllowedForTesting>(MrSidLibraryFileName(),
                                                                 std::initializer_list<const char*>{"GTiff"});
    }
    void TearDown() override {
        standIns_.reset();
        GdalReaderTest::TearDown();
    }
    // GeoTIFF files stand in for the vendor format.
    std::unique_ptr<testing::AllowedForTesting> standIns_;
};

TEST_F(MrSidReaderTest, WholeImageIsStoredBottomUpAndReadThroughFlipRows) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(scratch_.Copy("rgb.tif", "rgb.sid"));
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".bmp");
    // The library's pictures are stored bottom row first.
    EXPECT_TRUE(handle->FlipRows);
    ExpectRows(*handle, expected);

    // The preview of a picture held whole is upright too: its first row is
    // the image's first row.
    Picture preview;
    DrawSourcePreview(preview, *handle, 61, 37);
    ASSERT_EQ(preview.Height(), 37);
    EXPECT_TRUE(std::equal(expected.Row(0), expected.Row(0) + 61 * 3, preview.Row(0)));
}

TEST_F(MrSidReaderTest, ImageAboveTheWholeImageLimitIsReadOneStripAtATime) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    std::string path = scratch_.Copy("rgb.tif", "rgb.sid");
    // The library's bitmap and the reader's copy: 2 x 6808 bytes.
    SetWholeImageLimit(2 * 6808 - 1);
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".sid");
    EXPECT_TRUE(handle->Reader);
    EXPECT_FALSE(handle->FlipRows);
    ExpectRows(*handle, expected);
    EXPECT_EQ(ReadRow(*handle, 37), std::vector<uint8_t>(61 * 3, 0xAA))
        << "a row past the end stays untouched";
}

TEST_F(MrSidReaderTest, OneBandFilesComeOutGreyOrThroughTheirColourTableOnBothRoutes) {
    for (uint64_t limit : {uint64_t(256) << 20, uint64_t(100)}) {
        SetWholeImageLimit(limit);
        SCOPED_TRACE(limit);
        testing::ScratchFolder folder;
        SourceHandle handle = Open(folder.Copy("grey.tif", "grey.sid"));
        ASSERT_TRUE(handle);
        ExpectRows(*handle, ReadNetpbm(testing::GdalData("grey.pgm")));
        handle = Open(folder.Copy("palette.tif", "palette.sid"));
        ASSERT_TRUE(handle);
        ExpectRows(*handle, ReadNetpbm(testing::GdalData("palette.ppm")));
    }
}

TEST_F(MrSidReaderTest, PreviewComesFromLevelFourUpright) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SetWholeImageLimit(2 * 6808 - 1);
    SourceHandle handle = Open(scratch_.Copy("rgb.tif", "rgb.sid"));
    ASSERT_TRUE(handle);
    ASSERT_EQ(handle->Extension, ".sid");
    Picture preview;
    // The preview size asked for does not matter: level 4 is 61/16 x 37/16.
    DrawSourcePreview(preview, *handle, 30, 18);
    ASSERT_EQ(preview.Width(), 3);
    ASSERT_EQ(preview.Height(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_TRUE(testing::PreviewPixelFromItsBlock(expected, preview.Row(y) + x * 3, x, y, 3, 2))
                << x << "," << y;
}

TEST(MrSidBitmapCopy, RowsOf301PixelsAre904BytesApartAndReversed) {
    const int width = 301, height = 3;
    const size_t stride = 904;
    std::vector<uint8_t> bits(stride * height, 0xEE);
    for (int y = 0; y < height; ++y)
        for (size_t i = 0; i < size_t(width) * 3; ++i) bits[size_t(y) * stride + i] = uint8_t(y * 50 + i % 7);
    MrSidBitmap bitmap{width, height, 24, width * 3, 1, bits.data(), nullptr};

    Picture reversed = CopyMrSidBitmap(bitmap, true);
    ASSERT_EQ(reversed.Width(), width);
    ASSERT_EQ(reversed.Height(), height);
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = bits.data() + size_t(height - 1 - y) * stride;
        EXPECT_TRUE(std::equal(from, from + width * 3, reversed.Row(y))) << "row " << y;
    }
    Picture kept = CopyMrSidBitmap(bitmap, false);
    ASSERT_EQ(kept.Height(), height);
    EXPECT_TRUE(std::equal(bits.data() + stride, bits.data() + stride + width * 3, kept.Row(1)));

    // A bitmap that is not 24-bit, or whose rows are shorter than its
    // width needs, is refused.
    MrSidBitmap eightBit = bitmap;
    eightBit.bitsPerPixel = 8;
    EXPECT_TRUE(CopyMrSidBitmap(eightBit, true).Empty());
    MrSidBitmap shortRows = bitmap;
    shortRows.rowBytes = width * 3 - 1;
    EXPECT_TRUE(CopyMrSidBitmap(shortRows, true).Empty());
}

TEST_F(MrSidReaderTest, TwoImagesOpenAtOnceEachReadTheirOwnRows) {
    // The library keeps one open image; a reader whose image was replaced
    // by a later open must not read the other file's rows.
    SetWholeImageLimit(100);
    BgrImage rgb = ReadNetpbm(testing::GdalData("rgb.ppm"));
    BgrImage grey = ReadNetpbm(testing::GdalData("grey.pgm"));
    SourceHandle first = Open(scratch_.Copy("rgb.tif", "rgb.sid"));
    SourceHandle second = Open(scratch_.Copy("grey.tif", "grey.sid"));
    ASSERT_TRUE(first && second);
    for (int y : {5, 0, 36, 17}) {
        EXPECT_EQ(ReadRow(*first, y), rgb.RowCopy(y)) << "rgb row " << y;
        EXPECT_EQ(ReadRow(*second, y), grey.RowCopy(y)) << "grey row " << y;
    }
    CloseSourceImage(second);
    EXPECT_EQ(ReadRow(*first, 9), rgb.RowCopy(9));
}

TEST_F(MrSidReaderTest, InspectorReportsSizeAndUnreadableFilesAreUnusable) {
    SourceImageInfo info = GetSourceImageInfo(scratch_.Copy("palette.tif", "palette.sid"));
    EXPECT_EQ(info.width, 61);
    EXPECT_EQ(info.height, 37);
    EXPECT_EQ(info.bytesPerPixel, 3);

    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink scoped(&sink);
    std::string path = scratch_.Write("text.sid", "msid but not really\n");
    SourceOpenResult result = OpenSourceImage(path);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    const SourceFailure& failure = std::get<SourceFailure>(result);
    EXPECT_EQ(failure, SourceOpenError::SourceUnusable);
    EXPECT_FALSE(failure.detail.empty());
    // The list shows an error for it rather than an image of 0 x 0.
    EXPECT_THROW(GetSourceImageInfo(path), SourceError);
    EXPECT_TRUE(sink.messages.empty());

    if (failure.detail.find("no MrSID driver") == std::string::npos)
        GTEST_SKIP() << "this GDAL reads MrSID files: " << failure.detail;
    EXPECT_NE(failure.detail.find("install the vendor's MrSID plugin for GDAL and set GDAL_DRIVER_PATH"),
              std::string::npos)
        << failure.detail;
}

TEST_F(MrSidReaderTest, ARowTheLibraryCannotDecodeIsDamagedAndTheOtherRowsStillCome) {
    // rgb.tif cut inside its eighth 16 x 16 tile: rows 17 onwards cannot be
    // decoded, so the whole image fails and the rows are read one by one.
    std::ifstream in(testing::GdalData("rgb.tif"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 6000u);
    std::string path = scratch_.Write("cut.sid", bytes.substr(0, 6000));
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".sid");
    std::vector<uint8_t> row(size_t(expected.width) * 3);
    try {
        ReadSourceRow(*handle, 36, row.data());
        ADD_FAILURE() << "a row past the end of the file was read";
    } catch (const SourceError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
        std::string detail = e.what();
        EXPECT_EQ(detail.rfind("row 37 of 37: ", 0), 0u) << detail;
        EXPECT_GT(detail.size(), std::string("row 37 of 37: ").size());
    }
    EXPECT_EQ(ReadRow(*handle, 3), expected.RowCopy(3));
}

// Runs whether or not the library was built: the program folder points
// at a folder without it.
TEST(MrSidReaderWithoutLibrary, OpenShowsTheMessageOnceAndTheSourceIsUnusable) {
    testing::ScratchFolder emptyFolder, files;
    std::string saved = platform::ProgramFolder();
    platform::SetProgramFolder(emptyFolder.Str());
    platform::RecordingMessageSink sink;
    {
        platform::ScopedMessageSink scoped(&sink);
        std::string path = files.Copy("rgb.tif", "rgb.sid");

        SourceImageInfo info = GetSourceImageInfo(path);
        EXPECT_EQ(info.width, 0);
        EXPECT_EQ(info.height, 0);
        EXPECT_EQ(info.bytesPerPixel, 3);
        EXPECT_TRUE(sink.messages.empty()) << "the inspector stays silent";

        SourceOpenResult result = OpenSourceImage(path);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable);
        EXPECT_EQ(sink.messages.size(), 1u);

        EXPECT_TRUE(LoadMrSidPreview(path, kMrSidPreviewLevel).Empty());
    }
    platform::SetProgramFolder(saved);
    EXPECT_EQ(sink.messages, (std::vector<std::string>(2, "KartoMrSID.dll not found")));
}

}  // namespace
}  // namespace tessary
