#include "engine/zoom_scales.h"

#include <gtest/gtest.h>

#include <fstream>

#include "raster/raster_test_support.h"

namespace tessary {
namespace {

std::vector<float> Used(const ScaleList& s) {
    std::vector<float> out(s.begin(), s.begin() + UsedScaleSlots(s));
    for (size_t i = out.size(); i < s.size(); ++i) EXPECT_EQ(s[i], -1.0f) << i;
    return out;
}

TEST(ScaleList, DefaultsDependOnTheSize) {
    // The last two slots are the previews' widths as percentages of the width
    // (81 of 250 pixels: 32.4 %).
    EXPECT_EQ(Used(BuildScaleListFromText(1000, 1000, 130, 300, std::nullopt)),
              (std::vector<float>{100, 25, 10, 13, 30}));
    EXPECT_EQ(Used(BuildScaleListFromText(250, 400, 81, 188, std::nullopt)),
              (std::vector<float>{100, 25, 32.4f, 75.2f}));
    EXPECT_EQ(Used(BuildScaleListFromText(150, 400, 49, 113, std::nullopt)),
              (std::vector<float>{100, 32.666668f, 75.333336f}));
    EXPECT_EQ(Used(BuildScaleListFromText(6000, 5001, 130, 300, std::nullopt)),
              (std::vector<float>{100, 25, 10, 5, 2.5f, 1, 2.1666667f, 5}));
    // 2000 is not above 2000.
    EXPECT_EQ(Used(BuildScaleListFromText(2000, 150000, 2, 4, std::nullopt)),
              (std::vector<float>{100, 25, 10, 5, 0.1f, 0.2f}));
    EXPECT_THROW(BuildScaleListFromText(0, 10, 1, 1, std::nullopt), std::invalid_argument);
}

TEST(ScaleList, ScaleFileLinesInFileOrder) {
    const std::string file = "50\n;25\n   20  \n2,5\n";
    EXPECT_EQ(Used(BuildScaleListFromText(3000, 3000, 130, 300, file)),
              (std::vector<float>{100, 50, 20, 2.5f, 4.3333335f, 10}));
    // Repeats are kept, nothing is sorted; CR, LF and CR LF all end lines.
    EXPECT_EQ(Used(BuildScaleListFromText(3000, 3000, 130, 300, "10\r50\r\n50\n75")),
              (std::vector<float>{100, 10, 50, 50, 75, 4.3333335f, 10}));
    // An empty file gives only the previews; the defaults do not apply.
    EXPECT_EQ(Used(BuildScaleListFromText(3000, 3000, 130, 300, std::string())).size(), 3u);
}

TEST(ScaleList, WindowsAndTheirBounds) {
    auto pick = [](const char* line, int size = 6000) { return ScaleFromLine(line, size, size); };
    EXPECT_EQ(pick("2.5"), 2.5f);
    EXPECT_EQ(pick("2.2"), 2.5f);
    EXPECT_EQ(pick("2.0"), std::nullopt);
    EXPECT_EQ(pick("33"), 33.333332f);
    EXPECT_EQ(pick("33.3"), 33.333332f);
    EXPECT_EQ(pick("34"), std::nullopt);
    EXPECT_EQ(pick("74.6"), 75.0f);
    EXPECT_EQ(pick("75.5"), std::nullopt);
    EXPECT_EQ(pick("0,6"), 1.0f);
    EXPECT_EQ(pick("1.5"), std::nullopt);
    EXPECT_EQ(pick("12"), std::nullopt);
    EXPECT_EQ(pick("100"), std::nullopt);
    // Size conditions: both sides strictly greater than the minimum.
    EXPECT_EQ(pick("75", 67), 75.0f);
    EXPECT_EQ(pick("75", 66), std::nullopt);
    EXPECT_EQ(ScaleFromLine("10", 501, 500), std::nullopt);
    EXPECT_EQ(ScaleFromLine("10", 501, 501), 10.0f);
    EXPECT_EQ(pick("2.5", 2000), std::nullopt);
    EXPECT_EQ(pick("1", 5000), std::nullopt);
}

TEST(ScaleList, LinesThatAreNotPlainNumbersSelectNothing) {
    auto pick = [](std::string_view line) { return ScaleFromLine(line, 6000, 6000); };
    EXPECT_EQ(pick(";50"), std::nullopt);
    EXPECT_EQ(pick(" ;50"), std::nullopt);
    EXPECT_EQ(pick(""), std::nullopt);
    EXPECT_EQ(pick("   \t"), std::nullopt);
    EXPECT_EQ(pick("5e1"), std::nullopt);
    EXPECT_EQ(pick("50%"), std::nullopt);
    EXPECT_EQ(pick("5 0"), std::nullopt);
    EXPECT_EQ(pick("2,5,0"), std::nullopt);
    EXPECT_EQ(pick("."), std::nullopt);
    EXPECT_EQ(pick("-"), std::nullopt);
    EXPECT_EQ(pick("-50"), std::nullopt);
    EXPECT_EQ(pick("+50"), 50.0f);
    EXPECT_EQ(pick(std::string_view("\t50\0", 4)), 50.0f);
    EXPECT_EQ(pick(".5e"), std::nullopt);
}

TEST(ScaleList, LinesBeyondTheSlotsAreIgnored) {
    std::string file;
    for (int i = 0; i < 120; ++i) file += "50\n";
    ScaleList s = BuildScaleListFromText(3000, 3000, 130, 300, file);
    EXPECT_EQ(UsedScaleSlots(s), 101);
    EXPECT_EQ(s[98], 50.0f);
    EXPECT_EQ(s[99], 4.3333335f);
    EXPECT_EQ(s[100], 10.0f);
}

TEST(ScaleList, ReadsTheScaleFileWhenItExists) {
    testing::TempFolder temp;
    const std::string path = ScaleFilePath(temp.Folder());
    EXPECT_EQ(path, temp.Folder() + "UseScales.dat");
    EXPECT_EQ(ScaleFilePath("/opt/tessary"), "/opt/tessary/UseScales.dat");
    EXPECT_EQ(Used(BuildScaleList(1000, 1000, 130, 300, path)), (std::vector<float>{100, 25, 10, 13, 30}));
    std::ofstream(path) << "; my levels\r\n50\r\n20\r\n";
    EXPECT_EQ(Used(BuildScaleList(1000, 1000, 130, 300, path)), (std::vector<float>{100, 50, 20, 13, 30}));
}

TEST(ScaleList, LevelPercentages) {
    ScaleList s = BuildScaleListFromText(1000, 1000, 130, 300, std::nullopt);  // 100 25 10 13 30
    EXPECT_EQ(ZoomLevelPercentage(s, 1), 25.0);
    EXPECT_EQ(ZoomLevelPercentage(s, 2), 40.0);  // from level 1
    EXPECT_EQ(ZoomLevelPercentage(s, 3), 52.0);
    EXPECT_EQ(ZoomLevelPercentage(s, 4), 30.0);  // from the full raster
    EXPECT_THROW(ZoomLevelPercentage(s, 0), std::out_of_range);
}

}  // namespace
}  // namespace tessary
