#include "cli/image_list.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace tessary::cli {
namespace {

namespace fs = std::filesystem;

TEST(ImageListFilter, AllImagesMatchesKnownExtensionsAsSubstrings) {
    EXPECT_TRUE(PassesFilter("a.BMP", "All Images"));
    EXPECT_TRUE(PassesFilter("b.tiff", "All Images"));
    EXPECT_TRUE(PassesFilter("c.rpx2", "all images"));
    EXPECT_TRUE(PassesFilter("f.kap", "ALL IMAGES"));
    EXPECT_TRUE(PassesFilter("d.jpeg", "All Images"));  // the readers take .jpeg like .jpg
    EXPECT_FALSE(PassesFilter("e.txt", "All Images"));
    EXPECT_FALSE(PassesFilter("noextension", "All Images"));
    // The extension is the text from the last dot.
    EXPECT_FALSE(PassesFilter("chart.tif.bak", "All Images"));
}

TEST(ImageListFilter, OneExtensionMatchesExactly) {
    EXPECT_FALSE(PassesFilter("b.tiff", "tif"));
    EXPECT_TRUE(PassesFilter("b.TIF", "tif"));
    EXPECT_TRUE(PassesFilter("b.tif", "TIF"));
    EXPECT_TRUE(PassesFilter("c.hdr", "hdr"));
    EXPECT_TRUE(PassesFilter("c.hdr", ".hdr"));
    EXPECT_FALSE(PassesFilter("c.rpx2", "rpx"));
}

TEST(ImageList, RowsInNameOrderWithDiskSizes) {
    fs::path folder = fs::temp_directory_path() / ("tessary_list_test_" + std::to_string(getpid()) + "_" +
                                                   std::to_string(std::random_device{}()));
    fs::create_directories(folder / "sub.tif");
    auto write = [&](const char* name, size_t bytes) {
        std::ofstream(folder / name) << std::string(bytes, 'x');
    };
    {
        TIFF* tiff = TIFFOpen((folder / "Zeta.tif").c_str(), "w");
        ASSERT_TRUE(tiff);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 1200u);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 3u);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        std::vector<uint8_t> row(3600, 90);
        for (uint32_t y = 0; y < 3; ++y) ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), y, 0), 1);
        TIFFClose(tiff);
    }
    write("alpha.BMP", 1234);
    write("alpha2.png", 5);
    write("beta.txt", 5);
    write(".hidden.gif", 7);

    auto rows = BuildImageList(folder.string(), "All Images");
    std::vector<std::string> names;
    for (const auto& row : rows) names.push_back(row.name);
    EXPECT_EQ(names, (std::vector<std::string>{".hidden.gif", "alpha.BMP", "alpha2.png", "Zeta.tif"}));
    EXPECT_EQ(rows[1].type, "bmp");
    EXPECT_EQ(rows[1].diskSize, 1234u);

    // Zeta.tif is a real 24-bit image; the others only have image names.
    EXPECT_FALSE(rows[3].infoFailed);
    EXPECT_EQ(rows[3].width, 1200);
    EXPECT_EQ(rows[3].height, 3);
    EXPECT_EQ(rows[3].memSize, 10800u);
    std::string table = FormatImageList(rows, ",");
    EXPECT_EQ(table.substr(0, 30), "Name         Type  Disk Size  ");
    std::string zeta = table.substr(table.find("Zeta.tif"));
    zeta = zeta.substr(0, zeta.find('\n'));
    EXPECT_TRUE(zeta.starts_with("Zeta.tif     tif ")) << zeta;
    EXPECT_TRUE(zeta.ends_with("10,800  1,200       3")) << zeta;
    fs::remove_all(folder);
}

TEST(ImageList, UnreadableInfoShowsErrorOpeningImage) {
    ImageListRow row;
    row.name = "broken.tif";
    row.type = "tif";
    row.diskSize = 1000000;
    row.infoFailed = true;
    std::string table = FormatImageList({row}, ",");
    // As in the window: the message takes the Disk Size column and the
    // size is not shown.
    EXPECT_NE(table.find("\nbroken.tif  tif   Error Opening Image\n"), std::string::npos) << table;
    EXPECT_EQ(table.find("1,000,000"), std::string::npos) << table;
}

TEST(ImageList, ColumnsStayStraightWithWideAndAccentedNames) {
    EXPECT_EQ(DisplayWidth("K\xC3\xBCste Nord.png"), 14u);
    EXPECT_EQ(DisplayWidth("\xE6\x97\xA5\xE6\x9C\xAC \xE5\x9C\xB0\xE5\x9B\xB3.tif"), 13u);
    EXPECT_EQ(DisplayWidth("e\xCC\x81"), 1u);  // e and a combining accent
    EXPECT_EQ(DisplayWidth("\xFF\xFE"), 2u);
    size_t bytes = 0;
    // A wide character that does not fit whole is left out, not cut.
    EXPECT_EQ(FitDisplayWidth("ab\xE6\x97\xA5\xE6\x9C\xAC", 5, &bytes), 4u);
    EXPECT_EQ(bytes, 5u);  // not UTF-8: a column a byte
    std::vector<ImageListRow> rows(3);
    rows[0] = {
        .name = "K\xC3\xBCste Nord.png", .type = "png", .diskSize = 5, .memSize = 1, .width = 1, .height = 1};
    rows[1] = {.name = "\xE6\x97\xA5\xE6\x9C\xAC \xE5\x9C\xB0\xE5\x9B\xB3.tif",
               .type = "tif",
               .diskSize = 7,
               .memSize = 2,
               .width = 2,
               .height = 2};
    rows[2] = {.name = "plain.bmp", .type = "bmp", .diskSize = 9, .memSize = 3, .width = 3, .height = 3};
    std::string table = FormatImageList(rows, ",");
    // Every line puts its Type column at the same display column.
    size_t start = 0;
    std::vector<size_t> typeColumns;
    while (start < table.size()) {
        size_t end = table.find('\n', start);
        std::string line = table.substr(start, end - start);
        for (const char* type : {"Type", "png", "tif", "bmp"}) {
            size_t at = line.find(std::string("  ") + type);
            if (at != std::string::npos) {
                typeColumns.push_back(DisplayWidth(line.substr(0, at)));
                break;
            }
        }
        start = end + 1;
    }
    ASSERT_EQ(typeColumns.size(), 4u) << table;
    for (size_t column : typeColumns) EXPECT_EQ(column, typeColumns[0]) << table;
}

}  // namespace
}  // namespace tessary::cli
