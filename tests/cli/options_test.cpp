#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tessary::cli {
namespace {

TEST(CommandLine, ConvertTakesOptionsAnywhereAndPathsInOrder) {
    auto parsed = ParseCommandLine({"convert", "--dest", "/out", "maps", "a.tif", "--resize=50", "--colors",
                                    "256", "--no-map-copy", "b.bmp", "--", "--odd.tif"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.command, Command::Convert);
    EXPECT_EQ(parsed.convert.paths, (std::vector<std::string>{"maps", "a.tif", "b.bmp", "--odd.tif"}));
    EXPECT_FALSE(parsed.convert.recursive || parsed.convert.update || parsed.convert.keepDamaged);
    EXPECT_EQ(parsed.convert.destination, "/out");
    EXPECT_EQ(parsed.convert.resize, 50);
    EXPECT_EQ(parsed.convert.colours, 256);
    EXPECT_FALSE(parsed.convert.copyMapFile);
    EXPECT_TRUE(parsed.convert.includeImagePath);
    EXPECT_EQ(parsed.convert.filter, "All Images");
}

TEST(CommandLine, ArchiveOptions) {
    auto parsed = ParseCommandLine(
        {"convert", "-r", "--update", "--keep-damaged", "--report=-", "a", "--recursive", "-u", "b"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.convert.recursive && parsed.convert.update && parsed.convert.keepDamaged);
    EXPECT_EQ(parsed.convert.report, "-");
    EXPECT_EQ(parsed.convert.paths, (std::vector<std::string>{"a", "b"}));
    EXPECT_NE(ParseCommandLine({"convert", "a", "--report"}).error.find("--report"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"convert", "--update=yes", "a"}).error, "");
    EXPECT_EQ(ParseCommandLine({"--version"}).command, Command::Version);
    EXPECT_EQ(ParseCommandLine({"version"}).command, Command::Version);
    EXPECT_NE(ParseCommandLine({"version", "x"}).error, "");
}

TEST(CommandLine, ValuesOutsideTheWindowsRangesAreRefused) {
    for (const char* bad : {"9", "101", "abc", "50.5", ""})
        EXPECT_NE(ParseCommandLine({"convert", "--resize", bad, "f"}).error, "") << bad;
    for (const char* bad : {"7", "257", "x"})
        EXPECT_NE(ParseCommandLine({"convert", "--colors", bad, "f"}).error, "") << bad;
    EXPECT_EQ(ParseCommandLine({"convert", "--resize", "10", "--colors", "8", "f"}).error, "");
    auto missing = ParseCommandLine({"convert", "f", "--resize"});
    EXPECT_NE(missing.error.find("--resize"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"convert"}).error, "");
    EXPECT_NE(ParseCommandLine({"convert", "--bogus", "f"}).error.find("--bogus"), std::string::npos);
    // Options of one command are not taken by another.
    EXPECT_NE(ParseCommandLine({"list", "f", "--resize", "50"}).error, "");
    EXPECT_NE(ParseCommandLine({"convert", "--no-map-copy=1", "f"}).error, "");
}

TEST(CommandLine, GdalRouteOptionsForConvertAndList) {
    auto parsed = ParseCommandLine(
        {"convert", "--pdf-dpi", "150", "--gdal-ext", "gpkg=GPKG", "a", "--gdal-ext=tile.x=NITF"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.pdfDpi, 150);
    EXPECT_EQ(parsed.gdalExtensions,
              (std::vector<std::pair<std::string, std::string>>{{"gpkg", "GPKG"}, {"tile.x", "NITF"}}));
    EXPECT_EQ(ParseCommandLine({"list", "--pdf-dpi=600", "f"}).pdfDpi, 600);
    for (const char* bad : {"9", "2401", "x", ""})
        EXPECT_NE(ParseCommandLine({"convert", "--pdf-dpi", bad, "f"}).error.find("--pdf-dpi"),
                  std::string::npos)
            << bad;
    for (const char* bad : {"gpkg", "=GPKG", "gpkg=", ""})
        EXPECT_NE(ParseCommandLine({"convert", "--gdal-ext", bad, "f"}).error.find("--gdal-ext"),
                  std::string::npos)
            << bad;
    EXPECT_NE(ParseCommandLine({"info", "--pdf-dpi", "150", "f.rpx2"}).error, "");
}

TEST(CommandLine, OtherCommandsAndHelp) {
    auto list = ParseCommandLine({"list", "--filter", "tif", "maps"});
    ASSERT_EQ(list.error, "");
    EXPECT_EQ(list.list.folder, "maps");
    EXPECT_EQ(list.list.filter, "tif");
    EXPECT_NE(ParseCommandLine({"list", "a", "b"}).error, "");

    auto info = ParseCommandLine({"info", "a.rpx2", "--json"});
    ASSERT_EQ(info.error, "");
    EXPECT_TRUE(info.info.json);
    EXPECT_EQ(info.info.file, "a.rpx2");

    auto extract = ParseCommandLine({"extract", "a.rpx2", "--level", "-1", "out.png"});
    ASSERT_EQ(extract.error, "");
    EXPECT_EQ(extract.extract.level, -1);
    EXPECT_EQ(extract.extract.output, "out.png");
    EXPECT_NE(ParseCommandLine({"extract", "a.rpx2"}).error, "");
    EXPECT_NE(ParseCommandLine({"extract", "a.rpx2", "--level", "-2", "o.png"}).error, "");

    auto help = ParseCommandLine({"extract", "--help"});
    EXPECT_TRUE(help.help);
    EXPECT_EQ(help.command, Command::Extract);
    EXPECT_NE(HelpText(Command::Extract).find("--level"), std::string::npos);
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_EQ(ParseCommandLine({"help", "list"}).command, Command::List);
    EXPECT_NE(ParseCommandLine({"frobnicate"}).error, "");
    EXPECT_NE(ParseCommandLine({}).error, "");
}

}  // namespace
}  // namespace tessary::cli
