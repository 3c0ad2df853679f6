// The ECW and MrSID readers over their GDAL-built libraries, with GeoTIFF
// stand-ins under the vendor names. What both readers promise runs once per
// format (VendorReaderTest); what each does its own way (whole pictures,
// previews, the MrSID library's one open image) follows in its own fixture.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <variant>

#include "gdal_reader_test_support.h"
#include "sources/ecw_reader.h"
#include "sources/mrsid_reader.h"
#include "sources/source_image.h"
#include "sources/source_notes.h"

namespace tessary {
namespace {

using testing::BgrImage;
using testing::ReadNetpbm;

struct VendorFormat {
    const char* name;  // as the library's missing-driver reason names it
    const char* extension;
    std::string_view (*libraryFileName)();
    std::string_view missingMessage;
    const char* missingText;  // the message as the user reads it
    // The whole-image limit one byte below what the whole 61 x 37 picture
    // takes, so that the open goes to row access.
    uint64_t belowWholePicture;
    // The missing-library message is shown once for each attempt: the ECW
    // open tries the whole picture and then the view, the MrSID open only
    // the whole picture.
    size_t messagesPerOpen;
    // The preview of the 61 x 37 picture read by rows, asked for at 20 x 12:
    // the ECW library decodes at the factor (61 div 20 = 3), the MrSID
    // library gives its level 4 whatever was asked (61/16 x 37/16).
    int previewWidth, previewHeight;
    // The format's own whole-picture load, which gives nothing for a file
    // it cannot read.
    Picture (*loadWhole)(const std::string& path);
};

// 61 x 37 x 3 bytes with padded rows is 6808 bytes.
const VendorFormat kEcw{"ECW",
                        ".ecw",
                        EcwLibraryFileName,
                        kEcwLibraryMissingMessage,
                        "The DLLs to load ECW files were not found or could not be loaded",
                        6807,
                        2,
                        20,
                        12,
                        [](const std::string& path) { return LoadEcwBitmap(path, 1); }};
// The library's bitmap and the reader's copy: 2 x 6808 bytes.
const VendorFormat kMrSid{"MrSID",
                          ".sid",
                          MrSidLibraryFileName,
                          kMrSidLibraryMissingMessage,
                          "KartoMrSID.dll not found",
                          2 * 6808 - 1,
                          1,
                          3,
                          2,
                          [](const std::string& path) { return LoadMrSidPreview(path, kMrSidPreviewLevel); }};

std::string FormatName(const ::testing::TestParamInfo<const VendorFormat*>& info) {
    return info.param->name;
}

class VendorReaderTest : public testing::GdalReaderTest {
protected:
    // Call from SetUp: skips the test when the library was not built.
    void Use(const VendorFormat& format) {
        format_ = &format;
        if (!LibraryUsable(format.libraryFileName()))
            GTEST_SKIP() << "the " << format.name << " library was not built or finds no GDAL";
        standIns_ = std::make_unique<testing::AllowedForTesting>(format.libraryFileName(),
                                                                 std::initializer_list<const char*>{"GTiff"});
    }
    void TearDown() override {
        standIns_.reset();
        GdalReaderTest::TearDown();
    }
    // A test raster copied under the format's extension ("rgb.tif" as "rgb.ecw").
    std::string CopyAs(const testing::ScratchFolder& folder, const std::string& stem) const {
        return folder.Copy(stem + ".tif", stem + format_->extension);
    }

    const VendorFormat* format_ = nullptr;

private:
    std::unique_ptr<testing::AllowedForTesting> standIns_;
};

class BothVendorReaders : public VendorReaderTest, public ::testing::WithParamInterface<const VendorFormat*> {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        Use(*GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Formats, BothVendorReaders, ::testing::Values(&kEcw, &kMrSid), FormatName);

TEST_P(BothVendorReaders, ImageAboveTheWholeImageLimitIsReadByRowsAndItsPreviewDecodedByTheLibrary) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    // Too small for the whole picture, large enough for the preview.
    SetWholeImageLimit(format_->belowWholePicture);
    SourceHandle handle = Open(CopyAs(scratch_, "rgb"));
    ASSERT_TRUE(handle);
    ASSERT_EQ(handle->Extension, format_->extension);
    EXPECT_TRUE(handle->Reader);
    EXPECT_FALSE(handle->FlipRows);
    EXPECT_EQ(handle->Palette, Palette{});
    ExpectRows(*handle, expected);
    EXPECT_EQ(ReadRow(*handle, expected.height), std::vector<uint8_t>(size_t(expected.width) * 3, 0xAA))
        << "a row past the end stays untouched";

    Picture preview;
    DrawSourcePreview(preview, *handle, 20, 12);
    const int width = format_->previewWidth, height = format_->previewHeight;
    ASSERT_EQ(preview.Width(), width);
    ASSERT_EQ(preview.Height(), height);
    ASSERT_EQ(preview.BitsPerPixel(), 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_TRUE(
                testing::PreviewPixelFromItsBlock(expected, preview.Row(y) + x * 3, x, y, width, height))
                << x << "," << y;
}

TEST_P(BothVendorReaders, OneBandFilesComeOutGreyOrThroughTheirColourTableOnBothRoutes) {
    for (uint64_t limit : {uint64_t(256) << 20, uint64_t(100)}) {
        SetWholeImageLimit(limit);
        SCOPED_TRACE(limit);
        testing::ScratchFolder folder;
        SourceHandle handle = Open(CopyAs(folder, "grey"));
        ASSERT_TRUE(handle);
        ExpectRows(*handle, ReadNetpbm(testing::GdalData("grey.pgm")));

        handle = Open(CopyAs(folder, "palette"));
        ASSERT_TRUE(handle);
        ExpectRows(*handle, ReadNetpbm(testing::GdalData("palette.ppm")));
    }
}

TEST_P(BothVendorReaders, InspectorGivesTheSizeAndAnUnreadableFileIsUnusableWithItsReasonAndNoMessage) {
    for (const char* stem : {"grey", "palette"}) {
        SourceImageInfo info = GetSourceImageInfo(CopyAs(scratch_, stem));
        EXPECT_EQ(info.width, 61) << stem;
        EXPECT_EQ(info.height, 37) << stem;
        EXPECT_EQ(info.bytesPerPixel, 3) << stem;
    }

    SourceNotes notes;
    std::string path = scratch_.Write(std::string("text") + format_->extension, "this is not a raster\n");
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
    EXPECT_TRUE(format_->loadWhole(path).Empty());
    EXPECT_TRUE(notes.Take().empty());

    // GDAL as Debian ships it has neither driver: then the reason says so and
    // how to add one, since GDAL's own text would only call the file
    // unrecognised.
    const std::string name = format_->name;
    if (failure.detail.find("no " + name + " driver") == std::string::npos)
        GTEST_SKIP() << "this GDAL reads " << name << " files: " << failure.detail;
    EXPECT_EQ(failure.detail.rfind("GDAL ", 0), 0u) << failure.detail;
    const std::string advice = "install the vendor's " + name + " plugin for GDAL and set GDAL_DRIVER_PATH";
    EXPECT_NE(failure.detail.find(advice), std::string::npos) << failure.detail;
}

TEST_P(BothVendorReaders, ARowTheLibraryCannotDecodeIsDamagedAndTheOtherRowsStillCome) {
    // rgb.tif cut inside its eighth 16 x 16 tile: rows 17 onwards cannot be
    // decoded. The whole-image attempt fails on them and rows are read.
    std::ifstream in(testing::GdalData("rgb.tif"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 6000u);
    std::string path = scratch_.Write(std::string("cut") + format_->extension, bytes.substr(0, 6000));
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, format_->extension);
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

// Runs whether or not the libraries were built: the program folder points
// at a folder without them.
class VendorReaderWithoutLibrary : public ::testing::TestWithParam<const VendorFormat*> {};

INSTANTIATE_TEST_SUITE_P(Formats, VendorReaderWithoutLibrary, ::testing::Values(&kEcw, &kMrSid), FormatName);

TEST_P(VendorReaderWithoutLibrary, OpenShowsTheMessageAndTheSourceIsUnusable) {
    const VendorFormat& format = *GetParam();
    EXPECT_EQ(format.missingMessage, format.missingText);
    testing::ScratchFolder emptyFolder, files;
    std::string saved = platform::ProgramFolder();
    platform::SetProgramFolder(emptyFolder.Str());
    SourceNotes notes;
    {
        std::string path = files.Copy("rgb.tif", std::string("rgb") + format.extension);

        SourceImageInfo info = GetSourceImageInfo(path);
        EXPECT_EQ(info.width, 0);
        EXPECT_EQ(info.height, 0);
        EXPECT_EQ(info.bytesPerPixel, 3);
        EXPECT_TRUE(notes.Take().empty()) << "the inspector stays silent";

        SourceOpenResult result = OpenSourceImage(path);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable);
        EXPECT_EQ(notes.Take(), (std::vector<std::string>(format.messagesPerOpen, format.missingText)));

        EXPECT_TRUE(format.loadWhole(path).Empty());
    }
    platform::SetProgramFolder(saved);
    EXPECT_EQ(notes.Take(), std::vector<std::string>{format.missingText});
}

class EcwReaderTest : public VendorReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        Use(kEcw);
    }
};

TEST_F(EcwReaderTest, SmallImageOpensWholeWithGdalsRowsInBlueGreenRedOrder) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    std::string path = CopyAs(scratch_, "rgb");
    SourceHandle handle = Open(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Extension, ".bmp");
    EXPECT_FALSE(handle->FlipRows);
    ExpectRows(*handle, expected);

    // Exactly the picture's size is still whole; a byte less is not (above).
    SetWholeImageLimit(kEcw.belowWholePicture + 1);
    SourceHandle whole = Open(path);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->Extension, ".bmp");
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

class MrSidReaderTest : public VendorReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        Use(kMrSid);
    }
};

TEST_F(MrSidReaderTest, WholeImageIsStoredBottomUpAndReadThroughFlipRows) {
    BgrImage expected = ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(CopyAs(scratch_, "rgb"));
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

TEST_F(MrSidReaderTest, TwoImagesOpenAtOnceEachReadTheirOwnRows) {
    // The library keeps one open image; a reader whose image was replaced
    // by a later open must not read the other file's rows.
    SetWholeImageLimit(100);
    BgrImage rgb = ReadNetpbm(testing::GdalData("rgb.ppm"));
    BgrImage grey = ReadNetpbm(testing::GdalData("grey.pgm"));
    SourceHandle first = Open(CopyAs(scratch_, "rgb"));
    SourceHandle second = Open(CopyAs(scratch_, "grey"));
    ASSERT_TRUE(first && second);
    for (int y : {5, 0, 36, 17}) {
        EXPECT_EQ(ReadRow(*first, y), rgb.RowCopy(y)) << "rgb row " << y;
        EXPECT_EQ(ReadRow(*second, y), grey.RowCopy(y)) << "grey row " << y;
    }
    CloseSourceImage(second);
    EXPECT_EQ(ReadRow(*first, 9), rgb.RowCopy(9));
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

}  // namespace
}  // namespace tessary
