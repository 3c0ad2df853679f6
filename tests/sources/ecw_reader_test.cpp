#include "sources/ecw_reader.h"

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

class EcwReaderTest : public testing::GdalReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        if (!LibraryBuilt(EcwLibraryFileName())) GTEST_SKIP() << "the ECW library was not built (no GDAL)";
        standIns_ = std::make_unique<testing::AllowedForTesting>(EcwLibraryFileName(),
                                                                 std::initializer_list<const char*>{"GTiff"});
    }
    void TearDown() override {
        standIns_.reset();
        GdalReaderTest::TearDown();
    }
    // GeoTIFF files stand in for the vendor format.
    std::unique_ptr<testing::AllowedForTesting> standIns_;
};

TEST_F(EcwReaderTest, SmallImageOpensWholeWithGdalsRowsInBlueGreenRedOrder) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(scratch_.Copy("rgb.tif", "rgb.ecw"));
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".bmp");
    EXPECT_FALSE(handle->FlipRows);
    ExpectRows(*handle, expected);
}

TEST_F(EcwReaderTest, ImageAboveTheWholeImageLimitOpensThroughTheView) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    std::string path = scratch_.Copy("rgb.tif", "rgb.ecw");
    // 61 x 37 x 3 bytes with padded rows is 6808 bytes.
    SetWholeImageLimit(6807);
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".ecw");
    EXPECT_TRUE(handle->Reader);
    EXPECT_EQ(handle->Palette, Palette{});
    ExpectRows(*handle, expected);

    std::vector<uint8_t> row(size_t(expected.width) * 3, 0x5C);
    std::vector<uint8_t> untouched = row;
    ReadSourceRow(*handle, expected.height, row.data());
    EXPECT_EQ(row, untouched);

    // At exactly the picture's size it is built whole again.
    SetWholeImageLimit(6808);
    SourceHandle whole = Open(path);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->Extension, ".bmp");
}

TEST_F(EcwReaderTest, OneBandFilesComeOutGreyOrThroughTheirColourTableOnBothRoutes) {
    for (uint64_t limit : {uint64_t(256) << 20, uint64_t(100)}) {
        SetWholeImageLimit(limit);
        SCOPED_TRACE(limit);
        testing::ScratchFolder folder;
        BgrImage grey = ReadNetpbm(testing::GdalData("grey.pgm"));
        SourceHandle handle = Open(folder.Copy("grey.tif", "grey.ecw"));
        ASSERT_TRUE(handle);
        ExpectRows(*handle, grey);

        BgrImage palette = ReadNetpbm(testing::GdalData("palette.ppm"));
        handle = Open(folder.Copy("palette.tif", "palette.ecw"));
        ASSERT_TRUE(handle);
        EXPECT_EQ(handle->BytesPerPixel, 3);
        ExpectRows(*handle, palette);
    }
}

TEST_F(EcwReaderTest, PreviewIsDecodedAtTheFactorFromTheViewsOwnPixels) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    // Too small for the whole picture, large enough for the preview.
    SetWholeImageLimit(6807);
    SourceHandle handle = Open(scratch_.Copy("rgb.tif", "rgb.ecw"));
    ASSERT_TRUE(handle);
    ASSERT_EQ(handle->Extension, ".ecw");
    Picture preview;
    // 61 div 20 = factor 3: 20 x 12.
    DrawSourcePreview(preview, *handle, 20, 12);
    ASSERT_EQ(preview.Width(), 20);
    ASSERT_EQ(preview.Height(), 12);
    ASSERT_EQ(preview.BitsPerPixel(), 24);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_TRUE(testing::PreviewPixelFromItsBlock(expected, preview.Row(y) + x * 3, x, y, 20, 12))
                << x << "," << y;
}

TEST_F(EcwReaderTest, HugeImageOpensByRowsAndItsPreviewAtFactor385Is129By103) {
    // A 50,000 x 40,000 three-band GeoTIFF whose one strip was never
    // written: GDAL reads it as zeros without decoding anything.
    std::string path = scratch_.Write("huge.ecw", testing::UnwrittenTiff(50000, 40000, 3));
    SourceImageInfo info = GetSourceImageInfo(path);
    EXPECT_EQ(info.width, 50000);
    EXPECT_EQ(info.height, 40000);
    EXPECT_EQ(info.bytesPerPixel, 3);

    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".ecw");
    EXPECT_EQ(handle->BytesPerPixel, 3);
    EXPECT_EQ(handle->Width, 50000);
    EXPECT_EQ(handle->Height, 40000);
    std::vector<uint8_t> row(50000 * 3, 0xAA);
    ReadSourceRow(*handle, 39999, row.data());
    EXPECT_EQ(row, std::vector<uint8_t>(50000 * 3, 0));

    Picture preview = LoadEcwBitmap(path, 385);
    EXPECT_EQ(preview.Width(), 129);
    EXPECT_EQ(preview.Height(), 103);
    EXPECT_EQ(preview.BitsPerPixel(), 24);
}

TEST_F(EcwReaderTest, InspectorReportsSizeAndThreeBytesPerPixel) {
    SourceImageInfo info = GetSourceImageInfo(scratch_.Copy("grey.tif", "grey.ecw"));
    EXPECT_EQ(info.width, 61);
    EXPECT_EQ(info.height, 37);
    EXPECT_EQ(info.bytesPerPixel, 3);
}

TEST_F(EcwReaderTest, UnreadableFileIsUnusableWithTheLibrarysReasonAndNoMessage) {
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink scoped(&sink);
    std::string path = scratch_.Write("text.ecw", "this is not a raster\n");
    SourceOpenResult result = OpenSourceImage(path);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    const SourceFailure& failure = std::get<SourceFailure>(result);
    EXPECT_EQ(failure, SourceOpenError::SourceUnusable);
    EXPECT_FALSE(failure.detail.empty());
    // The list shows an error for it rather than an image of 0 x 0.
    try {
        GetSourceImageInfo(path);
        ADD_FAILURE() << "the inspector gave a size";
    } catch (const SourceError& e) {
        EXPECT_EQ(e.what(), failure.detail);
    }
    EXPECT_TRUE(LoadEcwBitmap(path, 1).Empty());
    EXPECT_TRUE(sink.messages.empty());

    // GDAL as Debian ships it has no ECW driver: then the reason says so and
    // how to add one, since GDAL's own text would only call the file
    // unrecognised.
    if (failure.detail.find("no ECW driver") == std::string::npos)
        GTEST_SKIP() << "this GDAL reads ECW files: " << failure.detail;
    EXPECT_EQ(failure.detail.rfind("GDAL ", 0), 0u) << failure.detail;
    EXPECT_NE(failure.detail.find("install the vendor's ECW plugin for GDAL and set GDAL_DRIVER_PATH"),
              std::string::npos)
        << failure.detail;
}

TEST_F(EcwReaderTest, ALineTheLibraryCannotDecodeIsADamagedRowAndTheViewGoesOn) {
    // rgb.tif cut inside its eighth 16 x 16 tile: rows 17 onwards cannot be
    // decoded. The whole-image attempt fails on them and the view opens.
    std::ifstream in(testing::GdalData("rgb.tif"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 6000u);
    std::string path = scratch_.Write("cut.ecw", bytes.substr(0, 6000));
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".ecw");
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
    ReadSourceRow(*handle, 3, row.data());
    EXPECT_EQ(row, expected.RowCopy(3));
}

// Runs whether or not the library was built: the program folder points
// at a folder without it.
TEST(EcwReaderWithoutLibrary, OpenShowsTheMessageTwiceAndTheSourceIsUnusable) {
    testing::ScratchFolder emptyFolder, files;
    std::string saved = platform::ProgramFolder();
    platform::SetProgramFolder(emptyFolder.Str());
    platform::RecordingMessageSink sink;
    {
        platform::ScopedMessageSink scoped(&sink);
        std::string path = files.Copy("rgb.tif", "rgb.ecw");

        SourceImageInfo info = GetSourceImageInfo(path);
        EXPECT_EQ(info.width, 0);
        EXPECT_EQ(info.height, 0);
        EXPECT_EQ(info.bytesPerPixel, 3);
        EXPECT_TRUE(sink.messages.empty()) << "the inspector stays silent";

        SourceOpenResult result = OpenSourceImage(path);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable);
    }
    platform::SetProgramFolder(saved);
    EXPECT_EQ(sink.messages, (std::vector<std::string>(2, std::string(kEcwLibraryMissingMessage))));
    EXPECT_EQ(kEcwLibraryMissingMessage, "The DLLs to load ECW files were not found or could not be loaded");
}

}  // namespace
}  // namespace tessary
