// The GDAL route: JPEG 2000, PDF, WebP, NITF, Imagine and HEIF files give
// the pixels of their TIFF twins (GDAL's own decode of them, written as
// uncompressed TIFF), read by rows through the GDAL library; the source
// folder is left as it was; alpha is composed over white as in PNG and TIFF
// files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "gdal_reader_test_support.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "sources/ecw_reader.h"
#include "sources/gdal_reader.h"
#include "sources/mrsid_reader.h"
#include "sources/heif_items.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

// Each GDAL-backed library loads wherever it is built, GDAL or not (a
// library that cannot load would look to the user like GDAL missing), and
// tells whether it found GDAL: nothing, or why not.
TEST(GdalBackedLibraries, LoadAndTellWhetherTheyFoundGdal) {
    for (std::string_view name : {GdalLibraryFileName(), EcwLibraryFileName(), MrSidLibraryFileName()}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(TESSARY_BIN_DIR) + "/" + std::string(name);
        ASSERT_TRUE(fs::exists(path));
        void* module = platform::LoadLibraryFile(path);
        ASSERT_NE(module, nullptr) << "the library does not load";
        auto unavailable =
            reinterpret_cast<const char* (*)()>(platform::FindSymbol(module, "TessaryGdalUnavailable"));
        ASSERT_NE(unavailable, nullptr);
        const std::string why = unavailable();
        if (!why.empty()) {
            const bool known = why.rfind("no GDAL library found (looked for ", 0) == 0 ||
                               why.rfind("TESSARY_GDAL_LIBRARY names ", 0) == 0 ||
                               why.find(" lacks GDAL's call ") != std::string::npos ||
                               why.find(": GDAL 3 is needed") != std::string::npos;
            EXPECT_TRUE(known) << why;
        }
        EXPECT_EQ(unavailable(), why) << "the outcome of the first search holds";
        platform::FreeLibraryFile(module);
    }
}

class GdalRouteTest : public testing::GdalReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        if (!LibraryUsable(GdalLibraryFileName())) GTEST_SKIP() << "the GDAL library was not built or finds no GDAL";
    }
    void TearDown() override {
        SetPdfDpi(kDefaultPdfDpi);
        GdalReaderTest::TearDown();
    }

    // Every row of `path` equals the same row of `twin` (read by the TIFF
    // reader), read bottom row first.
    void ExpectSameRows(const std::string& path, const std::string& twin) {
        SCOPED_TRACE(path);
        SourceHandle source = Open(path);
        SourceHandle expected = Open(twin);
        ASSERT_TRUE(source && expected);
        EXPECT_FALSE(source->HeldWhole()) << "the GDAL route reads by rows";
        ASSERT_EQ(source->Width, expected->Width);
        ASSERT_EQ(source->Height, expected->Height);
        ASSERT_EQ(source->BytesPerPixel, 3);
        ASSERT_EQ(expected->BytesPerPixel, 3);
        for (int y = source->Height - 1; y >= 0; --y)
            ASSERT_EQ(ReadRow(*source, y), ReadRow(*expected, y)) << "row " << y;
        SourceImageInfo info = GetSourceImageInfo(path);
        EXPECT_EQ(info.width, source->Width);
        EXPECT_EQ(info.height, source->Height);
    }
};

TEST_F(GdalRouteTest, EachFormatGivesThePixelsOfItsTiffTwin) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"rgb.jp2", "rgb.jp2.twin.tif"},   {"rgb.j2k", "rgb.j2k.twin.tif"},
        {"rgb.webp", "rgb.webp.twin.tif"}, {"rgb.ntf", "rgb.ntf.twin.tif"},
        {"rgb.img", "rgb.img.twin.tif"},   {"palette.img", "palette.img.twin.tif"},
        {"rgb.heic", "rgb.heic.twin.tif"}, {"rgb.pdf", "rgb.pdf300.twin.tif"},
    };
    for (const auto& [file, twin] : files)
        ExpectSameRows(scratch_.Copy(file, file), scratch_.Copy(twin, "twin_" + file + ".tif"));
    // The lossless formats hold the generated map's own pixels.
    SourceHandle jp2 = Open(scratch_.File("rgb.jp2"));
    ASSERT_TRUE(jp2);
    testing::BgrImage map = testing::ReadNetpbm(testing::GdalData("rgb.ppm"));
    ExpectRows(*jp2, map);
}

// The whole conversion: a JPEG 2000 and a WebP map of 400 x 300 give the
// same RPX2 bytes as an uncompressed TIFF of the pixels the GDAL route reads.
TEST_F(GdalRouteTest, ConvertedFilesAreByteIdenticalToTheirTiffTwins) {
    test::TempFolder run("tessary_gdal_run");
    ConversionJob job;
    test::SetRunFolders(job, run);
    job.copyMapFile = false;
    for (const char* name : {"map400.jp2", "map400.webp"}) {
        SCOPED_TRACE(name);
        const std::string stem = fs::path(name).extension().string().substr(1);
        fs::copy_file(testing::GdalData(name), job.sourceFolder.Text() + name);
        SourceHandle source = Open(job.sourceFolder.Text() + name);
        ASSERT_TRUE(source);
        test::TestImage image;
        image.width = source->Width;
        image.height = source->Height;
        image.bitsPerPixel = 24;
        for (int y = 0; y < image.height; ++y) {
            std::vector<uint8_t> row = ReadRow(*source, y);
            image.pixels.insert(image.pixels.end(), row.begin(), row.end());
        }
        source.reset();
        test::WriteTiff(job.sourceFolder.Text() + "twin_" + stem + ".tif", image);
        job.entries = {{name, true}, {"twin_" + stem + ".tif", true}};
        test::RecordingObserver observer;
        ConversionLog log;
        RunConversion(job, observer, log, &observer);
        std::ifstream a(job.destinationFolder.Text() + "map400.rpx2", std::ios::binary);
        std::ifstream b(job.destinationFolder.Text() + "twin_" + stem + ".rpx2", std::ios::binary);
        std::string converted((std::istreambuf_iterator<char>(a)), {});
        std::string twin((std::istreambuf_iterator<char>(b)), {});
        ASSERT_GT(converted.size(), 1000u);
        EXPECT_TRUE(converted == twin) << "the RPX2 files differ";
        fs::remove(job.destinationFolder.Text() + "map400.rpx2");
    }
}

TEST_F(GdalRouteTest, APdfPageIsRenderedAtTheChosenResolution) {
    // The page was written at 300 dots per inch.
    std::string pdf = scratch_.Copy("rgb.pdf", "rgb.pdf");
    SetPdfDpi(150);
    ExpectSameRows(pdf, scratch_.Copy("rgb.pdf150.twin.tif", "twin150.tif"));
    EXPECT_EQ(GetSourceImageInfo(pdf).width, 30);
    SetPdfDpi(300);
    ExpectSameRows(pdf, scratch_.Copy("rgb.pdf300.twin.tif", "twin300.tif"));
    EXPECT_EQ(GetSourceImageInfo(pdf).width, 61);
}

TEST_F(GdalRouteTest, TheSameRgbaPixelsGiveTheSameRowsInPngTiffAndThroughGdal) {
    // One picture with a transparent collar and partial alpha: as PNG, as a
    // TIFF with unassociated and with associated (premultiplied) alpha, and
    // as WebP through GDAL. Every one is composed over white alike.
    SourceHandle png = Open(scratch_.Copy("rgba.png", "rgba.png"));
    ASSERT_TRUE(png);
    ASSERT_EQ(png->BytesPerPixel, 3);
    for (const char* name : {"rgba.tif", "rgba_premultiplied.tif", "rgba.webp"}) {
        SCOPED_TRACE(name);
        SourceHandle other = Open(scratch_.Copy(name, name));
        ASSERT_TRUE(other);
        ASSERT_EQ(other->BytesPerPixel, 3);
        for (int y = 0; y < png->Height; ++y) ASSERT_EQ(ReadRow(*other, y), ReadRow(*png, y)) << "row " << y;
        // The transparent collar is white, not black.
        std::vector<uint8_t> top = ReadRow(*other, 0);
        EXPECT_EQ(top, std::vector<uint8_t>(top.size(), 255));
    }
    // Partial alpha is composed, not dropped: row 10 holds some.
    testing::BgrImage colours = testing::ReadNetpbm(testing::GdalData("rgb.ppm"));
    EXPECT_NE(ReadRow(*png, 10), colours.RowCopy(10));
}

TEST_F(GdalRouteTest, ConvertingLeavesTheSourceFolderExactlyAsItWas) {
    for (const char* file : {"rgb.jp2", "rgb.webp", "rgb.ntf", "rgb.img", "rgb.heic", "rgb.pdf"})
        scratch_.Copy(file, file);
    auto snapshot = [&] {
        std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> entries;
        for (const auto& entry : fs::directory_iterator(scratch_.Path()))
            entries[entry.path().filename().string()] = {entry.file_size(), entry.last_write_time()};
        return entries;
    };
    auto before = snapshot();
    for (const auto& [name, unused] : before) {
        std::string path = scratch_.File(name);
        GetSourceImageInfo(path);
        SourceHandle handle = Open(path);
        ASSERT_TRUE(handle);
        for (int y = 0; y < handle->Height; ++y) ReadRow(*handle, y);
        Picture preview;
        DrawSourcePreview(preview, *handle, 20, 12);
        EXPECT_FALSE(preview.Empty()) << name;
    }
    EXPECT_EQ(snapshot(), before);
}

// HEIF files that Debian 12's libheif and GDAL's driver trust to their harm:
// an item stored with an extent of no length stops the process (libheif
// asserts); a stated size larger than the decoded picture makes GDAL read
// past it (a crash, or rows of whatever lies there). Refused before GDAL
// opens them; the files that are sound are not.
TEST_F(GdalRouteTest, HeifFilesThatGdalWouldReadPastTheirPicturesAreRefusedBeforeItOpensThem) {
    const std::pair<const char*, const char*> damaged[] = {
        {"empty_extent.heic", "item 1 has a stored extent of no length"},
        {"grid_states_more_rows.heic", "grid (item 2) states 61 x 512 pixels, but its coding gives 61 x 37"},
        {"picture_states_more_rows.heic",
         "HEVC picture (item 1) states 400 x 900 pixels, but its coding gives 400 x 300"}};
    for (const auto& [file, reason] : damaged) {
        SCOPED_TRACE(file);
        const std::string why = HeifItemRefusal(testing::GdalData(file));
        EXPECT_NE(why.find(reason), std::string::npos) << why;
        SourceOpenResult result = OpenSourceImage(scratch_.Copy(file, file));
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result).detail, why);
    }
    EXPECT_EQ(HeifItemRefusal(testing::GdalData("rgb.heic")), "");
    EXPECT_EQ(HeifItemRefusal(testing::GdalData("rgb.jp2")), "") << "not a HEIF file";
}

// A file whose driver reads it in blocks larger than the whole picture (and
// than 16 million pixels) is refused: GDAL allocates a whole block to read
// any row of it.
TEST_F(GdalRouteTest, BlocksLargerThanThePictureAreRefusedBeforeARowIsRead) {
    SourceOpenResult result = OpenSourceImage(scratch_.Copy("blocks_larger_than_picture.jp2", "damaged.jp2"));
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_NE(std::get<SourceFailure>(result).detail.find(
                  "blocks of 400 x 33554732 pixels, larger than the picture (400 x 300)"),
              std::string::npos)
        << std::get<SourceFailure>(result).detail;
}

TEST_F(GdalRouteTest, AddedExtensionsOpenThroughTheirOwnDriverOnly) {
    std::string why;
    EXPECT_FALSE(AddGdalExtension("tif", "GTiff", why));
    EXPECT_NE(why.find("own reader"), std::string::npos) << why;
    EXPECT_FALSE(AddGdalExtension("vrtx", "VRT", why));
    EXPECT_NE(why.find("by reference"), std::string::npos) << why;
    EXPECT_FALSE(AddGdalExtension("x", "GTiff;VRT", why));
    EXPECT_FALSE(AddGdalExtension("a/b", "GTiff", why));
    // A GeoTIFF under an added extension reads through GTiff; a VRT under
    // it is refused.
    ASSERT_TRUE(AddGdalExtension(".gtest-tif", "GTiff", why)) << why;
    EXPECT_FALSE(AddGdalExtension("GTEST-TIF", "GTiff", why));
    ASSERT_TRUE(FindSourceFormat(".gtest-tif"));
    testing::BgrImage map = testing::ReadNetpbm(testing::GdalData("rgb.ppm"));
    SourceHandle handle = Open(scratch_.Copy("rgb.tif", "rgb.gtest-tif"));
    ASSERT_TRUE(handle);
    ExpectRows(*handle, map);
    std::string vrt = scratch_.Write("evil.gtest-tif",
                                     "<VRTDataset rasterXSize=\"4\" rasterYSize=\"4\">\n"
                                     "  <VRTRasterBand dataType=\"Byte\" band=\"1\"/>\n"
                                     "</VRTDataset>\n");
    SourceOpenResult result = OpenSourceImage(vrt);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_NE(std::get<SourceFailure>(result).detail.find("Virtual Raster (VRT)"), std::string::npos);
}

}  // namespace
}  // namespace tessary
