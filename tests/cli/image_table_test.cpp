#include "cli/image_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessary::cli {
namespace {

TEST(ImageTable, ColumnsOfRealRowsAlign) {
    // The rows a folder gives: names of several widths, a number that takes
    // thousands separators, a row without a readable image.
    std::vector<ImageListRow> rows(2);
    rows[0] = {.name = "alpha.BMP", .type = "bmp", .diskSize = 1234, .infoFailed = true};
    rows[1] = {
        .name = "Zeta.tif", .type = "tif", .diskSize = 10978, .memSize = 10800, .width = 1200, .height = 3};
    std::string table = FormatImageList(rows, ",");
    EXPECT_EQ(table.substr(0, 30), "Name       Type  Disk Size  Me");
    std::string zeta = table.substr(table.find("Zeta.tif"));
    zeta = zeta.substr(0, zeta.find('\n'));
    EXPECT_TRUE(zeta.starts_with("Zeta.tif   tif ")) << zeta;
    EXPECT_TRUE(zeta.ends_with("10,800  1,200       3")) << zeta;
}

TEST(ImageTable, UnreadableInfoShowsErrorOpeningImage) {
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

TEST(ImageTable, ColumnsStayStraightWithWideAndAccentedNames) {
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
