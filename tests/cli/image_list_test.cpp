#include "cli/image_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace tessary::cli {
namespace {

namespace fs = std::filesystem;

TEST(ImageListFilter, AllImagesMatchesKnownExtensionsAsSubstrings) {
    EXPECT_TRUE(PassesFilter("a.BMP", "All Images"));
    EXPECT_TRUE(PassesFilter("b.tiff", "All Images"));
    EXPECT_TRUE(PassesFilter("c.rpx2", "all images"));
    EXPECT_TRUE(PassesFilter("f.kap", "ALL IMAGES"));
    EXPECT_FALSE(PassesFilter("d.jpeg", "All Images"));
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
    fs::path folder = fs::temp_directory_path() /
                      ("tessary_list_test_" + std::to_string(getpid()) + "_" + std::to_string(std::random_device{}()));
    fs::create_directories(folder / "sub.tif");
    auto write = [&](const char* name, size_t bytes) { std::ofstream(folder / name) << std::string(bytes, 'x'); };
    write("Zeta.tif", 10);
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

    std::string table = FormatImageList(rows, ",");
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "Name         Type  Disk Size  Mem Size  Width  Height");
    EXPECT_NE(table.find("alpha.BMP    bmp       1,234"), std::string::npos) << table;
    fs::remove_all(folder);
}

TEST(ImageList, UnreadableInfoShowsErrorOpeningImage) {
    ImageListRow row;
    row.name = "broken.tif";
    row.type = "tif";
    row.diskSize = 1000000;
    row.infoFailed = true;
    std::string table = FormatImageList({row}, ",");
    EXPECT_NE(table.find("broken.tif  tif   1,000,000  Error Opening Image"), std::string::npos) << table;
}

}  // namespace
}  // namespace tessary::cli
