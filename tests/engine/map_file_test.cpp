#include "engine/map_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/file.h"
#include "common/text.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

class MapFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = Folder("src");
        out_ = Folder("out");
        maps_ = Folder("maps");
        settings_.sourceFolder = FolderPath(src_);
        settings_.mapFolder = FolderPath(maps_);
        settings_.destinationFolder = FolderPath(out_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root_, fs::perms::all, fs::perm_options::add, ec);
    }

    // A folder below the test root, ending in "/".
    std::string Folder(const std::string& relative) {
        fs::create_directories(root_ / relative);
        return (root_ / relative / "").string();
    }
    static void Write(const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string& path) { return ReadWholeFile(path); }
    // A calibration file whose third line names `image`.
    static std::string MapText(const std::string& image, const std::string& eol = "\r\n") {
        return "Calibration data" + eol + "Test map" + eol + image + eol + "Datum,WGS 84" + eol +
               "Projection,Transverse Mercator" + eol + "Reserved 1" + eol + "Point01,0,0,46.5,7.0" + eol;
    }

    test::TempFolder temp_{"tessary_map_test"};
    fs::path root_ = temp_.Path();
    std::string src_, out_, maps_;
    MapFileSettings settings_;
};

TEST_F(MapFileTest, CopiesAndRewritesTheCalibrationFileBesideTheImage) {
    Write(src_ + "chart.map", MapText("C:\\scans\\chart.tif"));
    const std::string rpx2 = out_ + "chart.rpx2";

    std::string line = ProcessMapFile(settings_, src_ + "chart.tif", rpx2, 100);
    const std::string copy = out_ + "chart_rpx.map";
    EXPECT_EQ(line, "o\tNew map file created - ( " + copy + " )");
    EXPECT_EQ(Read(copy), MapText(rpx2));
    EXPECT_FALSE(fs::exists(out_ + "chart_rpx.$$$"));
    // The original stays as it was.
    EXPECT_EQ(Read(src_ + "chart.map"), MapText("C:\\scans\\chart.tif"));

    settings_.includeImagePath = false;
    ProcessMapFile(settings_, src_ + "chart.tif", rpx2, 100);
    EXPECT_EQ(Read(copy), MapText("chart.rpx2"));
}

TEST_F(MapFileTest, LineThreeMatchesOnBaseNameOnly) {
    Write(src_ + "a.map", MapText("D:\\elsewhere\\CHART.BMP"));
    EXPECT_TRUE(MapFileMatchesImage(src_ + "a.map", src_ + "chart.tif"));
    Write(src_ + "b.map", MapText("/some/where/chart.v2.tif"));
    EXPECT_FALSE(MapFileMatchesImage(src_ + "b.map", src_ + "chart.tif"));
    // Spaces are not trimmed.
    Write(src_ + "c.map", MapText("chart.tif "));
    EXPECT_TRUE(MapFileMatchesImage(src_ + "c.map", src_ + "chart.tif"));
    Write(src_ + "d.map", MapText(" chart.tif"));
    EXPECT_FALSE(MapFileMatchesImage(src_ + "d.map", src_ + "chart.tif"));
    // A third line without a line break still counts; two lines never match.
    Write(src_ + "e.map", "one\ntwo\nchart.png");
    EXPECT_TRUE(MapFileMatchesImage(src_ + "e.map", src_ + "chart.tif"));
    Write(src_ + "f.map", "chart.tif\nchart.tif\n");
    EXPECT_FALSE(MapFileMatchesImage(src_ + "f.map", src_ + "chart.tif"));
    EXPECT_FALSE(MapFileMatchesImage(src_ + "missing.map", src_ + "chart.tif"));
}

TEST_F(MapFileTest, NoMatchLogsNoMapFileAndWritesNothing) {
    Write(src_ + "other.map", MapText("other.tif"));
    Write(src_ + "short.map", "line1\r\nchart.tif\r\n");
    EXPECT_EQ(ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 100),
              "x\tNo .map file found");
    EXPECT_TRUE(fs::is_empty(out_));
}

TEST_F(MapFileTest, SearchOrderAndSubfolders) {
    // Only the map folder is searched with its subfolders.
    Write(src_ + "sub/chart.map", MapText("chart.tif"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), "");
    Write(maps_ + "deep/er/chart.map", MapText("chart.tif"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), maps_ + "deep/er/chart.map");
    // The source folder comes first.
    Write(src_ + "mine.MAP", MapText("chart.tif"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), src_ + "mine.MAP");
    // No second search without a map folder.
    fs::remove(src_ + "mine.MAP");
    settings_.mapFolder = FolderPath();
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), "");
}

TEST_F(MapFileTest, HiddenEntriesAndFolderLinksAreNotSearched) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    Write(maps_ + ".hidden/chart.map", MapText("chart.tif"));
    Write(maps_ + ".chart.map", MapText("chart.tif"));
    Write(src_ + ".chart.map", MapText("chart.tif"));
    // A link back to the map folder itself must not trap the search, and a
    // link to another folder is not followed either.
    fs::create_directory_symlink(maps_, maps_ + "loop");
    std::string elsewhere = Folder("elsewhere");
    Write(elsewhere + "chart.map", MapText("chart.tif"));
    fs::create_directory_symlink(elsewhere, maps_ + "link");
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), "");
    // A real folder beside the links is searched.
    Write(maps_ + "real/chart.map", MapText("chart.tif"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "chart.tif"), maps_ + "real/chart.map");
}

TEST_F(MapFileTest, CopyOntoItselfTakesTheFirstFreeChainedName) {
    // The source folder is the destination and already holds the copy's name.
    settings_.destinationFolder = FolderPath(src_);
    const std::string original = MapText("chart.tif");
    Write(src_ + "chart_rpx.map", original);
    auto copy = MakeMapCopy(settings_, src_ + "chart_rpx.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, src_ + "chart_rpx_1.map");
    EXPECT_EQ(Read(src_ + "chart_rpx.map"), original);

    copy = MakeMapCopy(settings_, src_ + "chart_rpx.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, src_ + "chart_rpx_1_2.map");
    Write(src_ + "chart_rpx_1_2.map", "x");
    copy = MakeMapCopy(settings_, src_ + "chart_rpx.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, src_ + "chart_rpx_1_2_3.map");

    // The same folder spelled differently is still the same file.
    settings_.destinationFolder = FolderPath((root_ / "src" / "." / "").string());
    copy = MakeMapCopy(settings_, src_ + "chart_rpx.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(FileNamePart(*copy), "chart_rpx_1_2_3_4.map");
    EXPECT_EQ(Read(src_ + "chart_rpx.map"), original);
}

TEST_F(MapFileTest, CopyNameFollowsRpxMarkerAndFirstDot) {
    std::string rpxFolder = Folder("maps_rpx");
    Write(rpxFolder + "chart.map", MapText("chart.tif"));
    auto copy = MakeMapCopy(settings_, rpxFolder + "chart.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, out_ + "chart.map");

    std::string dotted = Folder("v1.5");
    Write(dotted + "chart.map", MapText("chart.tif"));
    copy = MakeMapCopy(settings_, dotted + "chart.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, out_ + "chart_rpx.map");

    Write(src_ + "chart.old.map", MapText("chart.tif"));
    copy = MakeMapCopy(settings_, src_ + "chart.old.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, out_ + "chart_rpx.map");

    // A destination typed with spaces and without a trailing separator.
    settings_.destinationFolder = FolderPath("  " + out_.substr(0, out_.size() - 1) + "  ");
    copy = MakeMapCopy(settings_, src_ + "chart.old.map");
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, out_ + "chart_rpx.map");
}

TEST_F(MapFileTest, ShrinkFactorReplacesLineSix) {
    Write(src_ + "chart.map", MapText("chart.tif"));
    const std::string copy = out_ + "chart_rpx.map";
    settings_.includeImagePath = false;
    ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 50);
    std::string expected = MapText("chart.rpx2");
    expected.replace(expected.find("Reserved 1"), 10, "MSF,2");
    EXPECT_EQ(Read(copy), expected);

    EXPECT_EQ(MapScaleFactorText(100.0 / 50), "2");
    EXPECT_EQ(MapScaleFactorText(100.0 / 80), "1.25");
    EXPECT_EQ(MapScaleFactorText(100.0 / 30), "3.33333333333333");
    EXPECT_EQ(MapScaleFactorText(100.0 / 10), "10");
    EXPECT_EQ(MapScaleFactorText(100.0 / 70), "1.42857142857143");
    EXPECT_EQ(MapScaleFactorText(1e20), "100000000000000000000");
    EXPECT_EQ(MapScaleFactorText(1.5e-7), "0.00000015");
}

TEST_F(MapFileTest, LineEndsBecomeCrLfAndShortFilesKeepTheirLines) {
    Write(src_ + "chart.map", "a\nb\r\nchart.tif\nd\re\n\nsix\nlast");
    settings_.includeImagePath = false;
    ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 25);
    // A CR not followed by LF stays inside its line; the last line gains CR LF.
    EXPECT_EQ(Read(out_ + "chart_rpx.map"), "a\r\nb\r\nchart.rpx2\r\nd\re\r\n\r\nMSF,4\r\nlast\r\n");

    Write(src_ + "chart.map", "a\nb\nchart.tif\n");
    ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 25);
    EXPECT_EQ(Read(out_ + "chart_rpx.map"), "a\r\nb\r\nchart.rpx2\r\n");
}

TEST_F(MapFileTest, CopySwitchedOffSearchesButWritesNothing) {
    Write(src_ + "chart.map", MapText("chart.tif"));
    settings_.copyMapFile = false;
    EXPECT_EQ(ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 50), "");
    EXPECT_EQ(ProcessMapFile(settings_, src_ + "none.tif", out_ + "none.rpx2", 50), "");
    EXPECT_TRUE(fs::is_empty(out_));
}

TEST_F(MapFileTest, ReadOnlyCopyInTheWayIsReportedAndKept) {
    Write(src_ + "chart.map", MapText("chart.tif"));
    Write(out_ + "chart_rpx.map", "keep me");
    fs::permissions(out_ + "chart_rpx.map",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_EQ(ProcessMapFile(settings_, src_ + "chart.tif", out_ + "chart.rpx2", 50),
              "x\t(.map) file found but could not be copied");
    EXPECT_EQ(Read(out_ + "chart_rpx.map"), "keep me");
}

// Calibration files that belong are found: names compared with Unicode case
// folding, a third line written on Windows read as Windows-1252, the first
// of several in name order (all of them reported), and never a copy this
// program made for another image.
TEST_F(MapFileTest, CalibrationFilesThatBelongAreFoundAndCopiesAreNot) {
    Write(src_ + "ile.map", MapText("C:\\Scans\\\xC3\x8ELE_DE_R\xC3\x89.JPG"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "\xC3\x8Ele_de_R\xC3\xA9.jpg"), src_ + "ile.map");
    EXPECT_EQ(FindMapFile(settings_, src_ + "ile_de_re.jpg"), "");
    fs::remove(src_ + "ile.map");
    // "ÎLE_DE_RÉ" in Windows-1252 bytes.
    Write(src_ + "cp1252.map", MapText("D:\\\xCELE_DE_R\xC9.jpg"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "\xC3\x8Ele_de_R\xC3\xA9.jpg"), src_ + "cp1252.map");
    Write(src_ + "greek.map", MapText("\xCE\x91\xCE\x98\xCE\x97\xCE\x9D\xCE\x91.tif"));  // ΑΘΗΝΑ
    EXPECT_EQ(FindMapFile(settings_, src_ + "\xCE\xB1\xCE\xB8\xCE\xB7\xCE\xBD\xCE\xB1.tif"), src_ + "greek.map");

    // Several match: the first in name order is used, whatever order the
    // folder lists them in, and all of them are named.
    for (const char* name : {"m3.map", "m1.map", "m2.map"}) Write(src_ + name, MapText("sheet.tif"));
    MapSearchResult search = SearchMapFile(settings_, src_ + "sheet.tif");
    EXPECT_EQ(search.found, src_ + "m1.map");
    EXPECT_EQ(search.matches, (std::vector<std::string>{src_ + "m1.map", src_ + "m2.map", src_ + "m3.map"}));
    EXPECT_EQ(SeveralMapFilesWarning(search.matches),
              "x\t   Warning : several calibration files match: " + src_ + "m1.map, " + src_ + "m2.map, " + src_ +
                  "m3.map; " + src_ + "m1.map is used");

    // A copy made for bali.rpx2 is no calibration of bali.tif, but it is the
    // calibration of an RPX2 source of that name.
    Write(src_ + "bali_rpx.map", MapText(src_ + "bali.rpx2"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "bali.tif"), "");
    EXPECT_EQ(FindMapFile(settings_, src_ + "bali.rpx2"), src_ + "bali_rpx.map");
    Write(src_ + "old.map", MapText("bali.RPX"));
    EXPECT_EQ(FindMapFile(settings_, src_ + "bali.png"), "");
}

TEST_F(MapFileTest, CopyFileChunkedRaisesItsFourErrors) {
    auto kindOf = [](auto&& call) {
        try {
            call();
        } catch (const CopyFileError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    std::string big(20000, 'q');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 26);
    Write(src_ + "big.bin", big);

    EXPECT_EQ(kindOf([&] { CopyFileChunked(src_ + "missing", out_ + "x", false); }), "File Open Error");
    Write(src_ + "plainfile", "x");
    EXPECT_EQ(kindOf([&] { CopyFileChunked(src_ + "big.bin", src_ + "plainfile/x", false); }),
              "File create Error");
#ifndef _WIN32
    // Windows opens no folder as a file: there the open fails already.
    EXPECT_EQ(kindOf([&] { CopyFileChunked(maps_, out_ + "fromdir", false); }), "File Read Error");
#endif
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(kindOf([&] { CopyFileChunked(src_ + "big.bin", "/dev/full", false); }), "File Write Error");
    }

    // A whole copy across several chunks, into folders that do not exist yet.
    CopyFileChunked(src_ + "big.bin", out_ + "new/deeper/big.bin", false);
    EXPECT_EQ(Read(out_ + "new/deeper/big.bin"), big);
    // A destination that is a folder receives the source's name.
    CopyFileChunked(src_ + "big.bin", out_, false);
    EXPECT_EQ(Read(out_ + "big.bin"), big);
    // Read-only destinations are refused unless clearing is asked for.
    fs::permissions(out_ + "big.bin", fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(kindOf([&] { CopyFileChunked(src_ + "plainfile", out_ + "big.bin", false); }),
              "File create Error");
    CopyFileChunked(src_ + "plainfile", out_ + "big.bin", true);
    EXPECT_EQ(Read(out_ + "big.bin"), "x");
    // Copying a file onto itself is refused instead of truncating it.
    EXPECT_EQ(kindOf([&] { CopyFileChunked(src_ + "big.bin", src_ + "./big.bin", false); }),
              "File create Error");
    EXPECT_EQ(Read(src_ + "big.bin"), big);
}

}  // namespace
}  // namespace tessary
