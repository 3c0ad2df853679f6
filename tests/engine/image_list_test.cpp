#include "engine/image_list.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace tessary {
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
        TIFF* tiff = TIFFOpen((folder / "Zeta.tif").string().c_str(), "w");
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

    auto rows = BuildImageList(FolderPath(folder.string()), "All Images");
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
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tessary
