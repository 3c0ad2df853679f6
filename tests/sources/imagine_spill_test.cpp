// An Imagine file whose raster data lie in a spill file: read when the spill
// file lies beside it, refused before GDAL opens anything when the name it
// holds points into another folder (GDAL would follow "../"). A file that
// states more blocks than it can hold is refused before a row is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>

#include "gdal_reader_test_support.h"
#include "sources/ecw_reader.h"
#include "sources/imagine_spill.h"
#include "sources/source_image.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

class ImagineSpillTest : public testing::GdalReaderTest {
protected:
    const fs::path data_ = fs::path(TESSARY_TEST_DATA) / "gdal" / "spill";
};

TEST_F(ImagineSpillTest, ASpillFileOutsideTheFilesFolderIsRefusedUnread) {
    // The name inside is checked without GDAL.
    EXPECT_EQ(ImagineSpillRefusal((data_ / "beside.img").string()), "");
    const std::string why = ImagineSpillRefusal((data_ / "outside.img").string());
    EXPECT_NE(why.find("\"../spill.ig\" lies outside the file's own folder"), std::string::npos) << why;
    // Files that are not Imagine files, or missing ones, are left to the readers.
    EXPECT_EQ(ImagineSpillRefusal((fs::path(TESSARY_TEST_DATA) / "gdal" / "rgb.tif").string()), "");
    EXPECT_EQ(ImagineSpillRefusal((data_ / "missing.img").string()), "");

    if (!LibraryUsable(GdalLibraryFileName())) GTEST_SKIP() << "the GDAL library was not built or finds no GDAL";
    // The spill file GDAL would reach lies where the name points: the file
    // is refused all the same, through every way in.
    test::TempFolder temp{"tessary_imagine_spill"};
    fs::create_directories(temp.Path() / "maps");
    const fs::path outside = temp.Path() / "maps" / "outside.img";
    fs::copy_file(data_ / "outside.img", outside);
    fs::copy_file(data_ / "beside.ige", temp.Path() / "spill.ig");
    try {
        GetSourceImageInfo(outside.string());
        ADD_FAILURE() << "the file was read";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("lies outside the file's own folder"), std::string::npos) << e.what();
    }
    SourceOpenResult result = OpenSourceImage(outside.string());
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_NE(std::get<SourceFailure>(result).detail.find("lies outside"), std::string::npos);

    // Beside its spill file, the same picture converts: 61 x 37, the rows of rgb.tif.
    SourceHandle beside = Open((data_ / "beside.img").string());
    ASSERT_TRUE(beside);
    SourceHandle twin = Open((fs::path(TESSARY_TEST_DATA) / "gdal" / "rgb.tif").string());
    ASSERT_TRUE(twin);
    ASSERT_EQ(beside->Width, 61);
    ASSERT_EQ(beside->Height, 37);
    for (int y = 0; y < beside->Height; ++y) ASSERT_EQ(ReadRow(*beside, y), ReadRow(*twin, y)) << "row " << y;
}

TEST_F(ImagineSpillTest, AFileStatingMoreBlocksThanItHoldsIsRefusedBeforeARowIsRead) {
    if (!LibraryUsable(GdalLibraryFileName())) GTEST_SKIP() << "the GDAL library was not built or finds no GDAL";
    // GDAL's driver reads past the block table it loaded when the rows after
    // a damaged block are asked for, as --keep-damaged does: the process died.
    SourceOpenResult result = OpenSourceImage((data_ / "states_too_many_blocks.img").string());
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_NE(std::get<SourceFailure>(result).detail.find("states 9175040 blocks, more than its 17811 bytes can hold"),
              std::string::npos)
        << std::get<SourceFailure>(result).detail;
}

}  // namespace
}  // namespace tessary
