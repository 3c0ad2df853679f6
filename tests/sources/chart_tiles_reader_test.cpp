#include "sources/chart_tiles_reader.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/platform.h"
#include "sources/source_image.h"
#include "sources/source_notes.h"
#include "sources/whole_image_limit.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const fs::path kTiles = fs::path(TESSARY_TEST_DATA) / "pcx" / "chart3x2";
const char* const kTileNames[2][3] = {{"A01", "B01", "C01"}, {"A02", "B02", "C02"}};

// RGB pixels of a PNG file, top row first.
std::vector<uint8_t> ReadPngRgb(const fs::path& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> pixels;
    if (!png_image_begin_read_from_file(&image, path.string().c_str())) return pixels;
    image.format = PNG_FORMAT_RGB;
    pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || image.width != 640 ||
        image.height != 480)
        pixels.clear();
    return pixels;
}

// Counts the pixels of the tile area (column k, row j) of an 8-bit picture
// whose colours differ from the expected tile.
int TileMismatches(const Picture& picture, int k, int j, const std::vector<uint8_t>& expected) {
    int bad = 0;
    for (int y = 0; y < 480; ++y) {
        const uint8_t* row = picture.Row(j * 480 + y);
        for (int x = 0; x < 640; ++x) {
            const PaletteEntry& e = picture.Colours()[row[k * 640 + x]];
            const uint8_t* want = expected.data() + (size_t(y) * 640 + size_t(x)) * 3;
            bad += e.red != want[0] || e.green != want[1] || e.blue != want[2];
        }
    }
    return bad;
}

class ChartTiles : public ::testing::Test {
protected:
    void CopyTile(const char* name, const fs::path& to) {
        fs::copy_file(kTiles / ("chart." + std::string(name)), to);
    }

    test::TempFolder temp_{"tessary_chart_tiles"};
    const fs::path folder_ = temp_.Path();
    SourceNotes notes_;  // what the reader notes for the user
};

TEST_F(ChartTiles, AThreeByTwoHeaderChartAssemblesEachTileInPlace) {
    ASSERT_TRUE(ChartTileLibrary::Shared().Loaded()) << "library not found in " << platform::ProgramFolder();
    const std::string header = (kTiles / "chart.hdr").string();
    SourceHandle h = OpenSourceImageOrNull(header);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->Extension, ".bmp");
    ASSERT_EQ(h->Width, 1920);
    ASSERT_EQ(h->Height, 960);
    EXPECT_EQ(h->BytesPerPixel, 1);
    ASSERT_EQ(h->Bitmap->BitsPerPixel(), 8);

    // Entries 0 to 15 are the first tile's header colours, the rest black.
    std::ifstream first(kTiles / "chart.A01", std::ios::binary);
    uint8_t pcx[64];
    first.read(reinterpret_cast<char*>(pcx), 64);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(h->Palette[size_t(i)], (PaletteEntry{pcx[18 + 3 * i], pcx[17 + 3 * i], pcx[16 + 3 * i], 0}))
            << i;
    for (int i = 16; i < 256; ++i) EXPECT_EQ(h->Palette[size_t(i)], PaletteEntry{}) << i;

    for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 3; ++k) {
            std::vector<uint8_t> expected =
                ReadPngRgb(kTiles / ("tile_" + std::string(kTileNames[j][k]) + ".png"));
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(TileMismatches(*h->Bitmap, k, j, expected), 0) << kTileNames[j][k];
        }

    SourceImageInfo info = GetSourceImageInfo(header);
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 960);
    EXPECT_EQ(info.bytesPerPixel, 1);
    EXPECT_TRUE(notes_.Take().empty());
}

// Two tile files, A01 and Z200, named a chart of 16,640 x 96,000 pixels and
// took 2.3 GB before failing at its first missing tile (Z2000: 16 billion
// pixels). The grid is weighed against the whole-image limit first.
TEST_F(ChartTiles, AGridTooLargeToHoldWholeIsRefusedBeforeAllocating) {
    const fs::path header = folder_ / "grid.hdr";
    std::ofstream(header) << "grid";
    CopyTile("A01", folder_ / "grid.A01");
    std::ofstream(folder_ / "grid.Z200") << "";
    SetWholeImageLimit(uint64_t(1) << 30);
    SourceOpenResult result = OpenSourceImage(header.string());
    SetWholeImageLimit(std::nullopt);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(std::get<SourceFailure>(result).detail,
              "a chart of 16,640 x 96,000 pixels (26 x 200 tiles) needs more than the 1,073,741,824 bytes allowed");
    // The list still shows the size the tiles name.
    EXPECT_EQ(GetSourceImageInfo(header.string()).width, 16640);
    EXPECT_TRUE(notes_.Take().empty());
}

TEST(ChartTileNames, ColumnLetterAndTwoDigitRow) {
    EXPECT_EQ(ChartTileFileName("/maps/chart.hdr", 0, 0), "chart.A01");
    EXPECT_EQ(ChartTileFileName("/maps/chart.hdr", 2, 1), "chart.C02");
    EXPECT_EQ(ChartTileFileName("/maps/chart.hdr", 0, 8), "chart.A09");
    EXPECT_EQ(ChartTileFileName("/maps/chart.hdr", 0, 9), "chart.A10");
}

TEST_F(ChartTiles, TenthRowComesFromA10AndMissingOrBrokenTilesStayIndexZero) {
    const fs::path header = folder_ / "tall.hdr";
    std::ofstream(header) << "tall";
    CopyTile("A01", folder_ / "tall.A01");
    CopyTile("B02", folder_ / "tall.A10");
    std::ofstream(folder_ / "tall.A05", std::ios::binary) << std::string(300, '\x0A');  // not a tile
    Picture picture;
    ChartTilesReport report;
    ASSERT_TRUE(LoadChartTiles(header.string(), picture, &report));
    // The eight tile rows between them are holes, reported as damage.
    EXPECT_EQ(report.damagedRows, 8 * 480);
    EXPECT_EQ(report.damageDetail, "tile tall.A02: file missing");
    ASSERT_EQ(picture.Width(), 640);
    ASSERT_EQ(picture.Height(), 4800);
    EXPECT_EQ(TileMismatches(picture, 0, 0, ReadPngRgb(kTiles / "tile_A01.png")), 0);
    EXPECT_EQ(TileMismatches(picture, 0, 9, ReadPngRgb(kTiles / "tile_B02.png")), 0);
    for (int y = 480; y < 9 * 480; y += 97)
        for (int x = 0; x < 640; x += 13) ASSERT_EQ(picture.Row(y)[x], 0) << x << "," << y;

    // Through the source interface the picture comes with its damage, so
    // the conversion fails the image unless told to keep damaged ones.
    fs::remove(folder_ / "tall.A10");
    CopyTile("A02", folder_ / "tall.A02");
    CopyTile("A02", folder_ / "tall.A03");
    CopyTile("A02", folder_ / "tall.A04");
    SourceHandle h = OpenSourceImageOrNull(header.string());
    ASSERT_TRUE(h);
    ASSERT_EQ(h->Height, 5 * 480);
    EXPECT_EQ(h->Damage.rows, 480);
    EXPECT_EQ(h->Damage.firstDetail,
              "tile tall.A05: not a PCX file");
    // A whole chart has no damage.
    SourceHandle whole = OpenSourceImageOrNull((kTiles / "chart.hdr").string());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->Damage.rows, 0);
}

TEST_F(ChartTiles, TilesAreFoundInTheChartFolderBesideASevenLetterHeaderFolder) {
    fs::create_directories(folder_ / "HEADERS");
    fs::create_directories(folder_ / "chart");
    const fs::path header = folder_ / "HEADERS" / "chart.hdr";
    std::ofstream(header) << "chart";
    EXPECT_EQ(ChartTileFolder(header.string()), (folder_ / "chart" / "").string());
    for (auto& row : kTileNames)
        for (const char* name : row) CopyTile(name, folder_ / "chart" / ("chart." + std::string(name)));
    Picture picture;
    ASSERT_TRUE(LoadChartTiles(header.string(), picture));
    EXPECT_EQ(picture.Width(), 1920);
    EXPECT_EQ(picture.Height(), 960);
    EXPECT_EQ(TileMismatches(picture, 2, 1, ReadPngRgb(kTiles / "tile_C02.png")), 0);
    // A first tile beside the header wins.
    CopyTile("A01", folder_ / "HEADERS" / "chart.A01");
    EXPECT_EQ(ChartTileFolder(header.string()), (folder_ / "HEADERS" / "").string());
}

TEST_F(ChartTiles, ChartsWithoutUsableTilesGiveNoPictureAndNoMessage) {
    auto failure = [](const fs::path& path) {
        SourceOpenResult result = OpenSourceImage(path.string());
        return std::holds_alternative<SourceFailure>(result) ? std::get<SourceFailure>(result)
                                                               : SourceFailure{SourceOpenError::SourceFileNotFound, "opened"};
    };
    const fs::path header = folder_ / "empty.hdr";
    std::ofstream(header) << "no tiles";
    SourceFailure none = failure(header);
    EXPECT_EQ(none.kind, SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(none.detail, "no tile files (empty.A01 and on) found for the chart");
    // A first tile too short to hold the colours.
    std::ofstream(folder_ / "empty.A01", std::ios::binary) << "short";
    Picture picture;
    ChartTilesReport report;
    EXPECT_FALSE(LoadChartTiles(header.string(), picture, &report));
    EXPECT_TRUE(picture.Empty());
    EXPECT_EQ(report.refusal, "first tile empty.A01 is too short to hold the chart's colours");
    EXPECT_EQ(failure(header).detail, report.refusal);
    // RML charts: the library knows no tiles in them.
    const fs::path rml = folder_ / "chart.rml";
    std::ofstream(rml) << "RML";
    SourceFailure rmlFailure = failure(rml);
    EXPECT_EQ(rmlFailure.kind, SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(rmlFailure.detail, "the chart tile library finds no tiles in this RML chart");
    SourceImageInfo info = GetSourceImageInfo(rml.string());
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_TRUE(notes_.Take().empty());
}

TEST_F(ChartTiles, WithoutTheLibraryTheUserIsToldAndNothingIsLoaded) {
    ChartTileLibrary missing(folder_.string());
    ASSERT_FALSE(missing.Loaded());
    Picture picture;
    ChartTilesReport report;
    EXPECT_FALSE(LoadChartTiles((kTiles / "chart.hdr").string(), picture, missing, &report));
    EXPECT_TRUE(picture.Empty());
    EXPECT_NE(report.refusal.find(ChartTileLibrary::FileName()), std::string::npos) << report.refusal;
    EXPECT_EQ(notes_.Take(), std::vector<std::string>{
                                 "The DLL to load Maptech files (kartopcx.dll) was not found or could not be loaded"});
    SourceImageInfo info = GetChartTilesInfo((kTiles / "chart.hdr").string(), missing);
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.bytesPerPixel, 1);
    EXPECT_TRUE(notes_.Take().empty()) << "the inspector stays silent";
}

}  // namespace
}  // namespace tessary
