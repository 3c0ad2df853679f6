#include "common/text.h"

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(PathRules, LocalPathsSplitAtTheSlash) {
    EXPECT_EQ(FileNamePart("/home/u/maps/chart.tif"), "chart.tif");
    EXPECT_EQ(FileNamePart("plain.bmp"), "plain.bmp");
    EXPECT_EQ(FolderPart("/a/b/c.bmp"), "/a/b/");
    EXPECT_EQ(RemoveExtension("/maps.v2/chart"), "/maps.v2/chart");
    EXPECT_EQ(RemoveExtension("/maps/chart.tar.tif"), "/maps/chart.tar");
    EXPECT_EQ(RemoveExtension("C:file"), "C:file");
    EXPECT_EQ(RemoveExtension("a.b:c"), "a.b:c");
    EXPECT_EQ(ExtensionOf("/m/a.TIF"), ".TIF");
    EXPECT_EQ(ExtensionOf("/m.d/a"), "");
#ifndef _WIN32
    // A backslash is a character of a name here, not a folder separator.
    EXPECT_EQ(FileNamePart("/home/u\\mixed/a\\b.bmp"), "a\\b.bmp");
    EXPECT_EQ(FolderPart("/src/a\\m.png"), "/src/");
    EXPECT_EQ(FolderPart("a\\m.png"), "");
    EXPECT_EQ(RemoveExtension(FileNamePart("/src/a\\m.png")), "a\\m");
    EXPECT_EQ(ExtensionOf("/src/a.b\\m"), ".b\\m");
#else
    EXPECT_EQ(FileNamePart("C:\\maps\\chart.tif"), "chart.tif");
    EXPECT_EQ(RemoveExtension("C:.x\\a"), "C:.x\\a");
#endif
}

TEST(PathRules, CalibrationLinesSplitAtEitherSeparator) {
    EXPECT_EQ(MapLineFileNamePart("C:\\maps\\chart.tif"), "chart.tif");
    EXPECT_EQ(MapLineFileNamePart("/home/u\\mixed/a\\b.bmp"), "b.bmp");
    EXPECT_EQ(MapLineFileNamePart("\\\\server\\share\\a.b\\chart"), "chart");
    EXPECT_EQ(MapLineFileNamePart("chart.tif"), "chart.tif");
    EXPECT_EQ(MapLineFileNamePart("C:\\maps\\"), "");
}

TEST(TextRules, CaseFoldingTouchesAsciiOnly) {
    EXPECT_EQ(UpperAscii("map\xc3\xa9.kap"), "MAP\xc3\xa9.KAP");
    EXPECT_EQ(LowerAscii("A.TIF"), "a.tif");
    EXPECT_TRUE(EqualsIgnoreCaseAscii("Chart.RPX2", "chart.rpx2"));
}

TEST(TextRules, TrimRemovesSpacesOnly) {
    EXPECT_EQ(TrimSpaces("  a b \t "), "a b \t");
    EXPECT_EQ(TrimSpaces("   "), "");
    EXPECT_EQ(TrimLeadingSpaces("  x "), "x ");
}

TEST(NumberDisplay, GroupsDigitsByThreeFromTheRight) {
    EXPECT_EQ(FormatThousands(0), "0");
    EXPECT_EQ(FormatThousands(999), "999");
    EXPECT_EQ(FormatThousands(1000), "1,000");
    EXPECT_EQ(FormatThousands(1234567), "1,234,567");
    EXPECT_EQ(FormatThousands(12000000, "."), "12.000.000");
    EXPECT_EQ(FormatThousands(-1234), "-1,234");
    EXPECT_EQ(FormatThousands(INT64_C(5000000000)), "5,000,000,000");
    EXPECT_EQ(FormatOneDecimal(33.333333), "33.3");
    EXPECT_EQ(FormatOneDecimal(25), "25.0");
}

TEST(NumberDisplay, RoundsHalvesToEven) {
    EXPECT_EQ(RoundHalfEven(127.5), 128);
    EXPECT_EQ(RoundHalfEven(126.5), 126);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
}

}  // namespace
}  // namespace tessary
