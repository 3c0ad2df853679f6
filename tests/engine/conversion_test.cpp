#include "engine/conversion.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <tuple>

#include "common/file.h"
#include "common/le.h"
#include "common/text.h"
#include "engine/conversion_log.h"
#include "engine/zoom_scales.h"
#include "raster/scratch_raster.h"
#include "raster/zoom_level.h"
#include "rpx/rpx_reader.h"
#include "support/image_writers.h"
#include "support/damaged_source.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;
using test::RecordingObserver;

// A palette of 256 distinct colours spread over the cube.
Palette SpreadPalette() {
    Palette p{};
    for (int i = 0; i < 256; ++i)
        p[size_t(i)] = PaletteEntry{uint8_t((i * 37) % 256), uint8_t((i * 91 + 40) % 256),
                                    uint8_t((i * 53 + 7) % 256), 0};
    return p;
}

// Map-like content: tinted bands, grid lines, diagonal "roads", fine texture.
uint8_t MapIndex(int x, int y) {
    if (x % 97 < 2 || y % 89 < 2) return 3;
    if (std::abs((x - y) % 150) < 3) return 200;
    return uint8_t(((x / 23) * 7 + (y / 31) * 13 + ((x ^ y) & 3)) % 256);
}

std::array<uint8_t, 3> MapColour(int x, int y) {
    if (x % 97 < 2 || y % 89 < 2) return {180, 120, 60};
    return {uint8_t((x * 7 + y * 3) % 256), uint8_t((x ^ (y * 2)) & 0xFF), uint8_t((y * 5 + x / 3) % 256)};
}

void Write8Bit(const std::string& path, int width, int height) {
    test::WriteTiff(path, test::DrawnImage(width, height, SpreadPalette(), MapIndex));
}

void Write24Bit(const std::string& path, int width, int height) {
    test::WriteTiff(path, test::DrawnImage(width, height, MapColour));
}

// The distinct palette indices a decoded level uses.
int ColoursUsed(const Picture& picture) {
    std::array<bool, 256> seen{};
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x) seen[picture.Row(y)[x]] = true;
    return int(std::count(seen.begin(), seen.end(), true));
}

// True when two pictures show the same colours everywhere.
bool SameColours(const Picture& a, const Picture& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const PaletteEntry& p = a.Colours()[a.Row(y)[x]];
            const PaletteEntry& q = b.Colours()[b.Row(y)[x]];
            if (p.blue != q.blue || p.green != q.green || p.red != q.red) return false;
        }
    return true;
}

// A scratch raster read back as a picture.
Picture ScratchToPicture(const std::string& path) {
    ScratchRasterReader reader(path);
    Picture picture(reader.Width(), reader.Height(), 8);
    for (int y = 0; y < reader.Height(); ++y) reader.ReadScratchRow(y, picture.Row(y));
    picture.Colours() = reader.ScratchPalette();
    for (PaletteEntry& e : picture.Colours()) e.reserved = 0;
    return picture;
}

class ConversionTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::SetRunFolders(job_, temp_);
        src_ = job_.sourceFolder.Text();
        out_ = job_.destinationFolder.Text();
        tmp_ = job_.tempFolder.Text();
        job_.abort = &abort_;
        observer_.abort = &abort_;
    }
    std::string Folder(const std::string& relative) { return temp_.Subfolder(relative); }
    void Tick(std::initializer_list<const char*> names) {
        for (const char* name : names) job_.entries.push_back({name, true});
    }
    void Run() { RunConversion(job_, observer_, log_, &observer_); }
    std::vector<std::string> Lines() const { return log_.Lines(); }
    bool LeftoverFiles(const std::string& folder, const std::string& suffix) const {
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().string().ends_with(suffix)) return true;
        return false;
    }

    test::TempFolder temp_{"tessary_conversion"};
    std::string src_, out_, tmp_;
    std::atomic<bool> abort_{false};
    ConversionJob job_;
    RecordingObserver observer_;
    ConversionLog log_;
};

// Header facts of a written file.
struct FileFacts {
    uint32_t chartFlag = 0;
    int zoomCount = 0;
    std::vector<std::pair<int, int>> levelSizes;
    std::vector<float> scales;
};

FileFacts Inspect(const std::string& path) {
    FileFacts facts;
    std::string bytes = ReadWholeFile(path);
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    facts.chartFlag = ReadU32LE(b + 2);
    facts.zoomCount = ReadI16LE(b + 58);
    RpxHandle handle(path);
    for (int k = 0; k < handle.LevelCount(); ++k) {
        handle.LoadLevel(k);
        facts.levelSizes.emplace_back(handle.LevelWidth(), handle.LevelHeight());
        facts.scales.push_back(ReadF32LE(b + 60 + 4 * k));
    }
    return facts;
}

using Sizes = std::vector<std::pair<int, int>>;

// The details name the route the rows actually take: a bitmap or a plain PNG
// is read row by row ("Paged", six rows of memory) while an interlaced PNG
// is decoded whole first.
TEST_F(ConversionTest, DetailsFollowTheReadingRoute) {
    const test::TestImage image = test::ColourImage(301, 7);
    test::WriteBmp(src_ + "rows.bmp", image, test::BmpRows::BottomUp);
    test::WritePng(src_ + "whole.png", image, /*interlaced=*/true);
    const std::string thousands = LocaleThousandsSeparator();
    for (const auto& [name, route, bytes] :
         {std::tuple<std::string, std::string, int64_t>{"rows.bmp", "Paged", 301 * 6 * 3},
          {"whole.png", "Fully loaded", 301 * 7 * 3}}) {
        observer_.details.clear();
        Tick({name.c_str()});
        Run();
        EXPECT_EQ(observer_.details,
                  (std::vector<std::string>{name, "Width = 301", "Height = 7", route, "Mem Used = ",
                                            FormatThousands(bytes, thousands) + " Bytes"}))
            << name;
    }
}

TEST_F(ConversionTest, DefaultRunOfAn8BitImage) {
    Write8Bit(src_ + "a.tif", 1000, 1000);
    std::ofstream(src_ + "a.map", std::ios::binary) << "x\r\ny\r\nC:\\scans\\A.TIF\r\n4\r\n5\r\n6\r\n";
    Tick({"a.tif"});
    Run();

    const std::string out = out_ + "a.rpx2";
    FileFacts facts = Inspect(out);
    EXPECT_EQ(facts.zoomCount, 3);
    EXPECT_EQ(facts.levelSizes, (Sizes{{1000, 1000}, {250, 250}, {100, 100}, {130, 130}, {300, 300}}));
    EXPECT_EQ(facts.scales, (std::vector<float>{100, 25, 10, 13, 30}));
    EXPECT_EQ(facts.chartFlag, 0u);
    for (const char* status :
         {"0:Loading Image - a.tif", "0:Creating RPX2 File : a.rpx2", "1:Creating 25.0% Zoom",
          "1:Creating 10.0% Zoom", "1:Creating 13.0% Zoom", "1:Creating 30.0% Zoom", "1:Writing 100% Zoom",
          "1:Writing 25.0% Zoom", "1:Writing 30.0% Zoom", "0:Rpx2 image created : a.rpx2", "0:Completed"})
        EXPECT_TRUE(observer_.HasStatus(status)) << status;
    EXPECT_EQ(observer_.details,
              (std::vector<std::string>{"a.tif", "Width = 1000", "Height = 1000", "Paged", "Mem Used = ",
                                        FormatThousands(6000, LocaleThousandsSeparator()) + " Bytes"}));
    EXPECT_EQ(observer_.previews, (std::vector<std::string>{"130x130"}));
    EXPECT_EQ(observer_.pictures, (std::vector<std::string>{"300x300"}));
    EXPECT_EQ(
        Lines(),
        (std::vector<std::string>{
            "i\tProcessing - a.tif", "o\t   Rpx2 image created : a.rpx2", "o\t   In path : " + out_,
            "o\t   File Size : " + FormatThousands(FileSizeOf(out), LocaleThousandsSeparator()),
            "o\tNew map file created - ( " + out_ + "a_rpx.map )", "", "z\t1 Image File(s) Processed"}));
    EXPECT_EQ(observer_.busy, (std::vector<bool>{true, false}));
    EXPECT_EQ(observer_.logMarked, 1);
    EXPECT_EQ(observer_.logModal, 0);
    EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"a.tif:converted"}));
    ASSERT_EQ(observer_.results.size(), 1u);
    const ImageResult& result = observer_.results[0];
    EXPECT_EQ(result.outputPath, out);
    EXPECT_EQ(result.levels, 5);
    EXPECT_EQ(result.outputBytes, uint64_t(FileSizeOf(out)));
    EXPECT_EQ(std::make_pair(result.width, result.height), std::make_pair(1000, 1000));
    EXPECT_EQ(result.reason, "");
    EXPECT_TRUE(fs::is_empty(tmp_));
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));

    // Level 0 is the source with its own palette (8 bits, N = 254, no resize).
    auto level0 = RpxToPicture(out, 1, 0);
    ASSERT_TRUE(level0);
    Palette palette = SpreadPalette();
    for (int y : {0, 1, 499, 999})
        for (int x : {0, 3, 500, 999}) {
            ASSERT_EQ(level0->Row(y)[x], MapIndex(x, y));
            EXPECT_EQ(level0->Colours()[MapIndex(x, y)], palette[MapIndex(x, y)]);
        }

    // The 10 % and 13 % levels are resampled from the 25 % level at 40 % and
    // 52 %; the 30 % level from the full image. Rebuild them independently.
    std::string ref = Folder("ref");
    std::atomic<bool> noAbort{false};
    RunContext context;
    context.tempFolder = FolderPath(ref);
    context.abort = &noAbort;
    SourceHandle source = OpenSourceImageOrNull(src_ + "a.tif");
    ASSERT_TRUE(source);
    DominantColourTable dominant = SampleDominantColors(*source);
    ASSERT_TRUE(BuildZoomLevel(context, 1, *source, 62, 25.0, dominant));
    SourceHandle level1 = OpenSourceImageOrNull(ref + "rpx_1.rpx0");
    ASSERT_TRUE(level1);
    ASSERT_TRUE(BuildZoomLevel(context, 2, *level1, 62, 40.0, dominant));
    ASSERT_TRUE(BuildZoomLevel(context, 3, *level1, 62, double(13.0f) / 25.0 * 100.0, dominant));
    ASSERT_TRUE(BuildZoomLevel(context, 4, *source, 62, double(30.0f), dominant));
    ASSERT_TRUE(BuildZoomLevel(context, 5, *source, 62, 10.0, dominant));  // the wrong way, for contrast
    for (int k : {1, 2, 3, 4}) {
        auto level = RpxToPicture(out, 1, k);
        ASSERT_TRUE(level);
        EXPECT_TRUE(SameColours(*level, ScratchToPicture(ref + "rpx_" + std::to_string(k) + ".rpx0"))) << k;
    }
    auto level2 = RpxToPicture(out, 1, 2);
    EXPECT_FALSE(SameColours(*level2, ScratchToPicture(ref + "rpx_5.rpx0")));
}

// The command line runs with no display: nothing is drawn or decoded for
// it, yet the files, the log, the statuses and the results are the window's.
TEST_F(ConversionTest, ARunWithoutADisplayWritesWhatTheWindowsRunWrites) {
    Write24Bit(src_ + "a.tif", 700, 500);
    std::ofstream(src_ + "a.map", std::ios::binary) << "x\r\ny\r\nC:\\scans\\A.TIF\r\n4\r\n5\r\n6\r\n";
    Tick({"a.tif"});
    Run();
    const std::string windowFile = ReadFile(out_ + "a.rpx2");
    const std::vector<std::string> windowLines = Lines();

    job_.destinationFolder = FolderPath(Folder("plain"));
    RecordingObserver plain;
    ConversionLog plainLog;
    RunConversion(job_, plain, plainLog);
    EXPECT_EQ(ReadFile(job_.destinationFolder.Text() + "a.rpx2"), windowFile);
    std::vector<std::string> plainLines = plainLog.Lines();
    for (std::string& line : plainLines)
        if (size_t at = line.find(job_.destinationFolder.Text()); at != std::string::npos)
            line.replace(at, job_.destinationFolder.Text().size(), out_);
    EXPECT_EQ(plainLines, windowLines);
    EXPECT_EQ(plain.details, observer_.details);
    EXPECT_EQ(plain.outcomes, observer_.outcomes);
    EXPECT_EQ(plain.statuses, observer_.statuses);
    EXPECT_TRUE(plain.pictures.empty() && plain.previews.empty() && plain.busy.empty());
    EXPECT_EQ(plain.logMarked + plain.logModal, 0);
    EXPECT_EQ(observer_.pictures.size(), 1u);
}

// A strip map far taller than wide (a river or a route): its preview boxes
// round to no width at all, yet its previews are still one pixel wide.
TEST_F(ConversionTest, AStripMapTallerThan260TimesItsWidthConverts) {
    Write8Bit(src_ + "strip.tif", 3, 1000);
    Tick({"strip.tif"});
    Run();
    EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"strip.tif:converted"}));
    const FileFacts facts = Inspect(out_ + "strip.rpx2");
    ASSERT_GE(facts.levelSizes.size(), 3u);
    EXPECT_EQ(facts.levelSizes.front(), std::make_pair(3, 1000));
    EXPECT_EQ(facts.levelSizes.back().first, 1);  // the overview
    EXPECT_EQ(facts.levelSizes[facts.levelSizes.size() - 2].first, 1);  // the thumbnail
}

TEST_F(ConversionTest, ColourCountsFromTheColoursValue) {
    Write24Bit(src_ + "c.tif", 420, 310);
    Tick({"c.tif"});
    auto runWith = [&](bool enabled, double value) {
        job_.coloursEnabled = enabled;
        job_.coloursValue = value;
        Run();
        return ReadFile(out_ + "c.rpx2");
    };
    const std::string defaults = runWith(false, 0);
    EXPECT_EQ(runWith(true, 256), defaults);  // 256 becomes 254
    EXPECT_EQ(runWith(true, 254.4), defaults);
    const std::string n255 = runWith(true, 255);
    EXPECT_NE(n255, defaults);
    auto level0 = RpxToPicture(out_ + "c.rpx2", 1, 0);
    ASSERT_TRUE(level0);
    EXPECT_LE(ColoursUsed(*level0), 256);
    EXPECT_GT(ColoursUsed(*level0), 200);

    // 200 colours: even an 8-bit image is quantised.
    job_.entries.clear();
    Write8Bit(src_ + "p.tif", 400, 400);
    Tick({"p.tif"});
    job_.coloursEnabled = false;
    Run();
    auto own = RpxToPicture(out_ + "p.rpx2", 1, 0);
    job_.coloursEnabled = true;
    job_.coloursValue = 200;
    Run();
    auto reduced = RpxToPicture(out_ + "p.rpx2", 1, 0);
    ASSERT_TRUE(own && reduced);
    std::array<bool, 256> inSource{};
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) inSource[MapIndex(x, y)] = true;
    EXPECT_EQ(ColoursUsed(*own), int(std::count(inSource.begin(), inSource.end(), true)));
    EXPECT_GT(ColoursUsed(*own), 201);
    EXPECT_LE(ColoursUsed(*reduced), 201);
    EXPECT_FALSE(observer_.HasStatus("1:Preprocessing Image"));
}

TEST_F(ConversionTest, InitialResizeShrinksLevelZeroAndTheMapFactor) {
    Write8Bit(src_ + "r.tif", 1000, 600);
    std::ofstream(src_ + "r.map", std::ios::binary) << "1\n2\nr.tif\n4\n5\nsix\n7";
    Tick({"r.tif"});
    job_.resizeEnabled = true;
    job_.resizeValue = 50;
    job_.includeImagePath = false;
    Run();
    EXPECT_TRUE(observer_.HasStatus("1:Initial Resize to 50%"));
    FileFacts facts = Inspect(out_ + "r.rpx2");
    ASSERT_FALSE(facts.levelSizes.empty());
    EXPECT_EQ(facts.levelSizes[0], std::make_pair(500, 300));
    // Previews keep the source's proportions: 130 x 78 and 300 x 180 of 500.
    EXPECT_EQ(facts.scales, (std::vector<float>{100, 25, 26, 60}));
    EXPECT_EQ(ReadFile(out_ + "r_rpx.map"), "1\r\n2\r\nr.rpx2\r\n4\r\n5\r\nMSF,2\r\n7\r\n");
}

TEST_F(ConversionTest, RpxSourceInTheDestinationTakesANumberedName) {
    Write8Bit(src_ + "map.tif", 400, 300);
    Tick({"map.tif"});
    job_.copyMapFile = false;
    Run();
    const std::string first = ReadFile(out_ + "map.rpx2");

    job_.sourceFolder = FolderPath(out_);
    job_.entries = {{"map.rpx2", true}};
    Run();
    EXPECT_TRUE(fs::exists(out_ + "map_1.rpx2"));
    EXPECT_EQ(Lines()[1], "o\t   Rpx2 image created : map_1.rpx2");
    Run();
    EXPECT_TRUE(fs::exists(out_ + "map_2.rpx2"));
    EXPECT_EQ(ReadFile(out_ + "map.rpx2"), first);
    // Copying switched off leaves one empty line for the map step.
    EXPECT_EQ(Lines()[4], "");
}

TEST_F(ConversionTest, ChartMarkerAnywhereInThePathSetsTheChartFlag) {
    std::string charts = Folder("scans.KAP");
    Write8Bit(charts + "plain.tif", 320, 300);
    job_.sourceFolder = FolderPath(charts);
    Tick({"plain.tif"});
    Run();
    EXPECT_EQ(Inspect(out_ + "plain.rpx2").chartFlag, 1u);
}

TEST_F(ConversionTest, AbortDuringTheSecondOfThreeImages) {
    for (const char* name : {"a.tif", "b.tif", "c.tif"}) Write8Bit(src_ + name, 400, 360);
    std::ofstream(out_ + "b.rpx2") << "an earlier good file";
    Tick({"a.tif", "b.tif", "c.tif"});
    observer_.abortWhen = [&](int slot, const std::string& text) {
        return slot == 1 && text.starts_with("Creating") && observer_.file == "Creating RPX2 File : b.rpx2";
    };
    Run();
    EXPECT_TRUE(fs::exists(out_ + "a.rpx2"));
    EXPECT_EQ(ReadFile(out_ + "b.rpx2"), "an earlier good file");
    EXPECT_FALSE(fs::exists(out_ + "c.rpx2"));
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
    EXPECT_TRUE(fs::is_empty(tmp_));
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"i\tProcessing - b.tif", "o\t   Aborted by user", "",
                                        "z\t2 Image File(s) Processed"}));
    EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"a.tif:converted", "b.tif:aborted"}));
    EXPECT_EQ(observer_.logMarked, 1);

    // The next run clears the flag again.
    job_.entries = {{"c.tif", true}};
    observer_.abortWhen = nullptr;
    Run();
    EXPECT_TRUE(fs::exists(out_ + "c.rpx2"));
}

TEST_F(ConversionTest, AbortWhileWritingKeepsNoPartialFile) {
    Write8Bit(src_ + "w.tif", 700, 700);
    std::ofstream(out_ + "w.rpx2") << "earlier";
    Tick({"w.tif"});
    observer_.abortWhen = [](int slot, const std::string& text) {
        return slot == 1 && text == "Writing 25.0% Zoom";
    };
    Run();
    EXPECT_EQ(ReadFile(out_ + "w.rpx2"), "earlier");
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
    EXPECT_EQ(Lines()[1], "o\t   Aborted by user");
}

TEST_F(ConversionTest, SourcesThatCannotBeUsed) {
    Write8Bit(src_ + "small.tif", 299, 299);
    Write8Bit(src_ + "thin.tif", 300, 10);
    std::ofstream(src_ + "junk.tif") << "not a tiff";
    Tick({"missing.tif", "small.tif", "junk.tif", "thin.tif"});
    Run();
    std::vector<std::string> lines = Lines();
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("e\tImage file not found"));
    EXPECT_TRUE(has("e\tImage is too small must be 300 pixels or greater in width or height"));
    EXPECT_TRUE(has("e\tImage could not be used") ||
                has("e\tImage file could not be fully loaded in memory"));
    EXPECT_TRUE(has("z\t4 Image File(s) Processed"));
    EXPECT_TRUE(fs::exists(out_ + "thin.rpx2"));  // 300 x 10 is accepted
    EXPECT_EQ(observer_.logModal, 1);
    EXPECT_EQ(observer_.logMarked, 0);
}

TEST_F(ConversionTest, UnreadableRpxSourcesFailOnlyTheirImage) {
    // A missing RPX2 source and one too short to hold its header: each is one
    // log line, the run goes on, ends with its summary and clears its scratch.
    std::ofstream(src_ + "short.rpx2") << "xw";
    Write8Bit(src_ + "good.tif", 320, 320);
    Tick({"gone.rpx2", "short.rpx2", "good.tif"});
    Run();
    std::vector<std::string> lines = Lines();
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("e\tImage file not found"));
    EXPECT_TRUE(has("x\tError : " + std::string(std::strerror(EIO)) + " - Failed to create the Rpx2 file"));
    EXPECT_TRUE(has("z\t3 Image File(s) Processed"));
    EXPECT_TRUE(fs::exists(out_ + "good.rpx2"));
    EXPECT_FALSE(LeftoverFiles(tmp_, ".rpx0"));
}

TEST_F(ConversionTest, EveryImageTooSmallOpensTheLog) {
    Write8Bit(src_ + "s1.tif", 100, 299);
    Write8Bit(src_ + "s2.tif", 299, 50);
    Tick({"s1.tif", "s2.tif"});
    Run();
    EXPECT_EQ(observer_.logModal, 1);
    EXPECT_EQ(observer_.logMarked, 0);
    EXPECT_TRUE(fs::is_empty(out_));
}

TEST_F(ConversionTest, ErrorsInsideAnImage) {
    // An output name taken by a folder: the finished file cannot take its
    // name. An input/output error: logged with the system's text, no error
    // mark, nothing left behind.
    Write8Bit(src_ + "d.tif", 320, 320);
    fs::create_directory(out_ + "d.rpx2");
    Tick({"d.tif"});
    Run();
#ifdef _WIN32
    const int folderError = EACCES;  // Windows denies access to a folder taken for a file
#else
    const int folderError = EISDIR;
#endif
    EXPECT_EQ(Lines()[1],
              "x\tError : " + std::string(std::strerror(folderError)) + " - Failed to create the Rpx2 file");
    EXPECT_EQ(observer_.logMarked, 1);
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));

    // A scratch raster whose rows are damaged: a decompression error is an
    // unknown error, which raises the error mark.
    {
        ScratchRasterWriter writer(src_ + "bad.rpx0", 320, 320, SpreadPalette());
        std::vector<uint8_t> row(320);
        for (int y = 0; y < 320; ++y) {
            for (int x = 0; x < 320; ++x) row[size_t(x)] = MapIndex(x, y);
            writer.AppendRow(row.data());
        }
        writer.Finish();
    }
    {
        std::fstream f(src_ + "bad.rpx0", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(kScratchHeaderSize + 2000);
        std::string noise(3000, '\x5a');
        f.write(noise.data(), std::streamsize(noise.size()));
    }
    job_.entries = {{"bad.rpx0", true}};
    Run();
    EXPECT_EQ(Lines()[1], "x\tAn unknown Error occurred - Failed to create the Rpx2 file");
    EXPECT_EQ(Lines()[2], "x\t   error");  // the decompression error's own text
    EXPECT_EQ(observer_.results.back().reason, "error");
    EXPECT_EQ(observer_.logModal, 1);
    EXPECT_FALSE(fs::exists(out_ + "bad.rpx2"));
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
}

TEST_F(ConversionTest, RunLevelFailuresTouchNoImage) {
    Write8Bit(src_ + "a.tif", 320, 320);
    Tick({"a.tif"});
    job_.destinationFolder = FolderPath(out_ + "missing");
    Run();
    EXPECT_EQ(observer_.messages, (std::vector<std::string>{"Destination Folder is not valid"}));
    EXPECT_TRUE(observer_.busy.empty());
    EXPECT_EQ(log_.Count(), 2u);  // the initial content stays

    job_.destinationFolder = FolderPath(out_);
    job_.tempFolder = FolderPath("  " + tmp_ + "missing/  ");
    Run();
    EXPECT_EQ(observer_.messages.back(), "Temp File Folder is not valid");

    job_.tempFolder = FolderPath(tmp_);
    job_.sourceFolder = FolderPath("   ");
    Run();
    EXPECT_EQ(observer_.messages.back(), "Image Path not Specified");
    EXPECT_EQ(observer_.busy, (std::vector<bool>{true, false}));

    job_.sourceFolder = FolderPath(src_);
    job_.entries = {{"a.tif", false}};
    Run();
    EXPECT_EQ(observer_.messages.back(), "No Image Files Selected");
    EXPECT_EQ(log_.Count(), 0u);
    EXPECT_TRUE(fs::is_empty(out_));
}

// The lines of the log from the first one that equals `first`.
std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& first) {
    auto at = std::find(lines.begin(), lines.end(), first);
    return std::vector<std::string>(at, lines.end());
}

TEST_F(ConversionTest, SameNamedSourcesOfOneRunKeepTheirOwnOutputs) {
    // One calibration file names the image without its extension, so it
    // belongs to both; each RPX2 file gets a copy that names it.
    test::WriteBmp(src_ + "big.bmp", test::DrawnImage(420, 330, MapColour), test::BmpRows::BottomUp);
    test::WritePng(src_ + "big.png", test::DrawnImage(420, 330, [](int x, int y) { return MapColour(y, x); }),
                   false);
    std::ofstream(src_ + "big.map", std::ios::binary) << "1\r\n2\r\nbig\r\n4\r\n5\r\n6\r\n";
    // What each source gives when it is converted alone.
    auto alone = [&](const char* name) {
        const std::string folder = Folder(std::string("alone_") + name);
        ConversionJob job = job_;
        job.destinationFolder = FolderPath(folder);
        job.entries = {{name, true}};
        job.copyMapFile = false;
        RecordingObserver observer;
        ConversionLog log;
        RunConversion(job, observer, log, &observer);
        return ReadFile(folder + "big.rpx2");
    };
    const std::string bmpAlone = alone("big.bmp"), pngAlone = alone("big.png");
    ASSERT_FALSE(bmpAlone.empty());
    ASSERT_NE(bmpAlone, pngAlone);

    // A numbered file that an earlier run left behind does not move this
    // run's names, and running the list again gives the same names.
    std::ofstream(out_ + "big_1.rpx2") << "left by an earlier run";
    Tick({"big.bmp", "big.png"});
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Run();
        EXPECT_EQ(ReadFile(out_ + "big.rpx2"), bmpAlone);
        EXPECT_EQ(ReadFile(out_ + "big_1.rpx2"), pngAlone);
        EXPECT_FALSE(fs::exists(out_ + "big_2.rpx2"));
        EXPECT_EQ(LinesFrom(Lines(), "i\tProcessing - big.png"),
                  (std::vector<std::string>{
                      "i\tProcessing - big.png", "o\t   Rpx2 image created : big_1.rpx2", "o\t   In path : " + out_,
                      "o\t   File Size : " + FormatThousands(FileSizeOf(out_ + "big_1.rpx2"), LocaleThousandsSeparator()),
                      "o\tNew map file created - ( " + out_ + "big_1_rpx.map )", "", "z\t2 Image File(s) Processed"}));
        EXPECT_EQ(ReadFile(out_ + "big_rpx.map"), "1\r\n2\r\n" + out_ + "big.rpx2\r\n4\r\n5\r\n6\r\n");
        EXPECT_EQ(ReadFile(out_ + "big_1_rpx.map"), "1\r\n2\r\n" + out_ + "big_1.rpx2\r\n4\r\n5\r\n6\r\n");
        ASSERT_EQ(observer_.results.size(), size_t(2 * run));
        EXPECT_EQ(observer_.results.back().outputPath, out_ + "big_1.rpx2");
        EXPECT_EQ(observer_.results.back().outcome, ImageOutcome::Converted);
    }
}

TEST_F(ConversionTest, FileLinkToTheSourceInTheDestination) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    // The destination holds a link named like the output that leads to the
    // source: the numbered file is written in the destination, beside the
    // map copy that names it.
    Write8Bit(src_ + "chart.tif", 400, 300);
    job_.copyMapFile = false;
    Tick({"chart.tif"});
    Run();
    const std::string rpxFolder = Folder("rpx");
    fs::rename(out_ + "chart.rpx2", rpxFolder + "chart.rpx2");
    fs::create_symlink(rpxFolder + "chart.rpx2", out_ + "chart.rpx2");
    job_.sourceFolder = FolderPath(rpxFolder);
    job_.entries = {{"chart.rpx2", true}};
    Run();
    EXPECT_TRUE(fs::is_regular_file(out_ + "chart_1.rpx2"));
    EXPECT_FALSE(fs::exists(rpxFolder + "chart_1.rpx2"));
    EXPECT_EQ(Lines()[1], "o\t   Rpx2 image created : chart_1.rpx2");
    EXPECT_EQ(Lines()[2], "o\t   In path : " + out_);
    EXPECT_TRUE(fs::is_symlink(out_ + "chart.rpx2"));
}

TEST_F(ConversionTest, OutputNamesAsLongAsTheFileSystemAllows) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows limits whole paths (MAX_PATH), not each name";
#endif
    // A 255-character output name is written (its partial name is short),
    // and a numbered name that would be too long fails only its own image.
    const std::string stem(250, 'n');
    Write8Bit(src_ + stem + ".tif", 320, 300);
    Tick({(stem + ".tif").c_str()});
    Run();
    ASSERT_TRUE(fs::exists(out_ + stem + ".rpx2")) << Lines()[1];
    EXPECT_EQ(Lines()[1], "o\t   Rpx2 image created : " + stem + ".rpx2");

    Write8Bit(out_ + "next.tif", 320, 300);
    job_.sourceFolder = FolderPath(out_);
    job_.entries = {{stem + ".rpx2", true}, {"next.tif", true}};
    Run();
    EXPECT_EQ(Lines()[1], "x\tError : " + std::string(std::strerror(ENAMETOOLONG)) +
                              " - Failed to create the Rpx2 file");
    EXPECT_TRUE(fs::exists(out_ + "next.rpx2"));
    EXPECT_EQ(Lines().back(), "z\t2 Image File(s) Processed");
    EXPECT_EQ(observer_.outcomes.back(), "next.tif:converted");
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
}

TEST_F(ConversionTest, ReaderReasonsShowUnderTheirLines) {
    job_.openSource = [](const std::string& path) -> SourceOpenResult {
        const std::string name = FileNamePart(path);
        if (name == "crc.png") return SourceFailure{SourceOpenError::SourceUnusable, "IDAT: CRC error"};
        if (name == "big.gif") return SourceFailure{SourceOpenError::SourceNotLoadable, "needs 3,000 MB\tof memory\n"};
        if (name == "cut.kap") return SourceFailure{SourceOpenError::SourceDamaged, "row table ends early"};
        return OpenSourceImage(path);
    };
    Tick({"crc.png", "big.gif", "cut.kap", "gone.tif"});
    Run();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"i\tProcessing - crc.png", "e\tImage could not be used",
                                                 "x\t   IDAT: CRC error", "", "i\tProcessing - big.gif",
                                                 "e\tImage file could not be fully loaded in memory",
                                                 "x\t   needs 3,000 MB of memory", "", "i\tProcessing - cut.kap",
                                                 "e\tImage could not be used", "x\t   row table ends early", "",
                                                 "i\tProcessing - gone.tif", "e\tImage file not found", "",
                                                 "z\t4 Image File(s) Processed"}));
    // The window, its copy text and the terminal all show the reason, red.
    EXPECT_EQ(ConversionLog::DisplayText(Lines()[2]), "   IDAT: CRC error");
    EXPECT_EQ(ConversionLog::LineColour(Lines()[2]), ConversionLog::LineColour("x\tNo .map file found"));
    EXPECT_TRUE(Contains(log_.CopyText(), "Image could not be used\r\n   IDAT: CRC error\r\n"));
    ASSERT_EQ(observer_.results.size(), 4u);
    EXPECT_EQ(observer_.results[0].reason, "IDAT: CRC error");
    EXPECT_EQ(observer_.results[3].reason, "Image file not found");
    EXPECT_EQ(observer_.logModal, 1);
}

class DamagedSourceTest : public ConversionTest {
protected:
    void SetUp() override {
        ConversionTest::SetUp();
        // dmg.tif stands for a TIFF with one broken strip: rows 120 to 122
        // cannot be decoded; whole.bmp for a file that ends 5 rows early.
        job_.openSource = [](const std::string& path) -> SourceOpenResult {
            const std::string name = FileNamePart(path);
            if (name == "dmg.tif") return test::DamagedRowsSource(path, 400, 330, MapColour, {120, 121, 122});
            if (name == "whole.bmp") {
                auto handle = std::make_unique<Timagerecord4>();
                handle->FileName = path;
                handle->Extension = ".bmp";
                handle->Bitmap = std::make_unique<Picture>(360, 320, 8);
                handle->Bitmap->Colours() = SpreadPalette();
                for (int y = 0; y < 315; ++y)
                    for (int x = 0; x < 360; ++x) handle->Bitmap->Row(y)[x] = MapIndex(x, y);
                handle->Width = 360;
                handle->Height = 320;
                handle->Damage.RecordCount(5, "file ends inside row 315");
                FillSourceFormat(*handle);
                return handle;
            }
            return OpenSourceImage(path);
        };
        std::ofstream(out_ + "dmg.rpx2") << "an earlier good file";
        Write8Bit(src_ + "ok.tif", 320, 300);
        job_.copyMapFile = false;
        Tick({"dmg.tif", "whole.bmp", "ok.tif"});
    }
};

TEST_F(DamagedSourceTest, DamagedImagesFailAndKeepEarlierOutputs) {
    Run();
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1], "x\tError : row 120: inflate failed - Failed to create the Rpx2 file");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[4], "x\tError : file ends inside row 315 - Failed to create the Rpx2 file");
    EXPECT_EQ(ReadFile(out_ + "dmg.rpx2"), "an earlier good file");
    EXPECT_FALSE(fs::exists(out_ + "whole.rpx2"));
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
    EXPECT_FALSE(LeftoverFiles(tmp_, ".rpx0"));
    EXPECT_TRUE(fs::exists(out_ + "ok.rpx2"));
    EXPECT_EQ(observer_.outcomes,
              (std::vector<std::string>{"dmg.tif:failed", "whole.bmp:failed", "ok.tif:converted"}));
    EXPECT_EQ(observer_.results[0].reason, "row 120: inflate failed");
    EXPECT_EQ(observer_.results[0].damagedRows, 1);
    EXPECT_EQ(observer_.results[0].outputPath, "");
    EXPECT_EQ(observer_.results[1].damagedRows, 5);
    EXPECT_EQ(observer_.logModal, 1);
}

TEST_F(DamagedSourceTest, KeepDamagedWritesTheFileWithAWarning) {
    job_.keepDamaged = true;
    Run();
    const std::string thousands = LocaleThousandsSeparator();
    auto written = [&](const std::string& name) {
        return std::vector<std::string>{"o\t   Rpx2 image created : " + name, "o\t   In path : " + out_,
                                        "o\t   File Size : " + FormatThousands(FileSizeOf(out_ + name), thousands)};
    };
    std::vector<std::string> expected{"i\tProcessing - dmg.tif"};
    for (const std::string& line : written("dmg.rpx2")) expected.push_back(line);
    // Rows read by both colour passes are counted once.
    expected.push_back("x\t   Warning : 3 damaged rows written as far as decoded - row 120: inflate failed");
    expected.insert(expected.end(), {"", "", "i\tProcessing - whole.bmp"});
    for (const std::string& line : written("whole.rpx2")) expected.push_back(line);
    expected.push_back("x\t   Warning : 5 damaged rows written as far as decoded - file ends inside row 315");
    expected.insert(expected.end(), {"", "", "i\tProcessing - ok.tif"});
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + std::ptrdiff_t(expected.size())), expected);

    RpxHandle dmg(out_ + "dmg.rpx2");
    EXPECT_EQ(std::make_pair(dmg.Width(), dmg.Height()), std::make_pair(400, 330));
    EXPECT_EQ(observer_.outcomes,
              (std::vector<std::string>{"dmg.tif:failed", "whole.bmp:failed", "ok.tif:converted"}));
    ASSERT_EQ(observer_.results.size(), 3u);
    EXPECT_EQ(observer_.results[0].damagedRows, 3);
    EXPECT_EQ(observer_.results[0].outputPath, out_ + "dmg.rpx2");
    EXPECT_EQ(observer_.results[0].levels, dmg.LevelCount());
    EXPECT_EQ(observer_.results[0].reason, "row 120: inflate failed");
    EXPECT_EQ(observer_.results[1].damagedRows, 5);
    EXPECT_EQ(observer_.logModal, 1);
}

// A damaged row is half written by its reader; what the reader left out is
// the same whatever the number of threads mapping the rows.
TEST_F(DamagedSourceTest, KeepDamagedWritesTheSameFileForEveryThreadCount) {
    job_.keepDamaged = true;
    job_.threads = 1;
    Run();
    const std::string one = ReadFile(out_ + "dmg.rpx2");
    job_.threads = 3;
    Run();
    EXPECT_EQ(ReadFile(out_ + "dmg.rpx2"), one);
}

// The real thing end to end: a deflate TIFF whose sixth strip is garbage.
// libtiff's reason reaches the log, nothing is written, and the image fails.
TEST_F(ConversionTest, ATiffWithACorruptStripFailsWithLibtiffsReason) {
    const std::string path = src_ + "strip.tif";
    {
        std::vector<std::vector<uint8_t>> rows(320, std::vector<uint8_t>(400 * 3));
        for (int y = 0; y < 320; ++y)
            for (int x = 0; x < 400; ++x) {
                const auto c = MapColour(x, y);
                std::copy(c.begin(), c.end(), rows[size_t(y)].begin() + x * 3);
            }
        test::WriteTiff(path, {400, 320, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 32}, rows);
    }
    uint64_t offset = 0, length = 0;
    {
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        ASSERT_TRUE(tiff);
        uint64_t* offsets = nullptr;
        uint64_t* lengths = nullptr;
        ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets));
        ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &lengths));
        offset = offsets[5];
        length = lengths[5];
        TIFFClose(tiff);
    }
    ASSERT_GT(length, 16u);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(offset + 2));
        const std::string garbage(size_t(length - 4), '\xA5');
        file.write(garbage.data(), std::streamsize(garbage.size()));
    }
    std::ofstream(out_ + "strip.rpx2") << "an earlier good file";
    job_.copyMapFile = false;
    Tick({"strip.tif"});
    Run();

    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("x\tError : strip 6 of 10: ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" - Failed to create the Rpx2 file"), std::string::npos) << lines[1];
    EXPECT_EQ(ReadFile(out_ + "strip.rpx2"), "an earlier good file");
    EXPECT_FALSE(LeftoverFiles(out_, ".part"));
    EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"strip.tif:failed"}));
    EXPECT_EQ(observer_.logModal, 1);
}

}  // namespace
}  // namespace tessary
