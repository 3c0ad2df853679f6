#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chart_tiles_api.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kPcx = std::string(TESSARY_TEST_DATA) + "/pcx/";

struct BlockDeleter {
    void operator()(ChartBlock* b) const { ChartBlockFree(b); }
};
using Block = std::unique_ptr<ChartBlock, BlockDeleter>;

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// RGB pixels of a PNG file, top row first.
std::vector<uint8_t> ReadPngRgb(const std::string& path, int& width, int& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> pixels;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
    image.format = PNG_FORMAT_RGB;
    pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
    width = int(image.width);
    height = int(image.height);
    return pixels;
}

// The 4-bit index of pixel (x, y), y from the top, in a tile block stored
// bottom row first.
int TileIndex(const uint8_t* block, int x, int y) {
    uint8_t pair = block[size_t(479 - y) * 320 + size_t(x / 2)];
    return (x & 1) ? (pair & 0x0F) : (pair >> 4);
}

// Compares a decoded tile, its colours looked up in the PCX header palette,
// with the expected RGB pixels.
void ExpectTileColours(const std::string& pcxPath, const std::string& pngPath) {
    Block block(Pcx2Dib(pcxPath.c_str()));
    ASSERT_TRUE(block) << pcxPath;
    ASSERT_EQ(ChartBlockSize(block.get()), size_t(CHART_TILE_PIXEL_BYTES));
    const uint8_t* pixels = static_cast<const uint8_t*>(ChartBlockLock(block.get()));
    std::vector<uint8_t> header = tessary::test::ReadFileBytes(pcxPath);
    int w = 0, h = 0;
    std::vector<uint8_t> expected = ReadPngRgb(pngPath, w, h);
    ASSERT_EQ(w, 640);
    ASSERT_EQ(h, 480);
    int bad = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const uint8_t* rgb = header.data() + 16 + 3 * TileIndex(pixels, x, y);
            const uint8_t* want = expected.data() + (size_t(y) * 640 + size_t(x)) * 3;
            if (std::memcmp(rgb, want, 3) != 0 && ++bad < 4)
                ADD_FAILURE() << pcxPath << " pixel " << x << "," << y;
        }
    EXPECT_EQ(bad, 0) << pcxPath;
}

TEST(Pcx2Dib, TilesOfBothLayoutsDecodeToTheirPixels) {
    const std::string expected = kPcx + "noaa19347_2_x0_y0_640x480.expected.png";
    ExpectTileColours(kPcx + "noaa19347_2_x0_y0_640x480_4planes.pcx", expected);  // 4 planes of 1 bit
    ExpectTileColours(kPcx + "noaa19347_2_x0_y0_640x480_packed.pcx", expected);   // 1 plane of 4 bits
    for (const char* tile : {"A01", "B01", "C01", "A02", "B02", "C02"})
        ExpectTileColours(kPcx + "chart3x2/chart." + tile,
                          kPcx + "chart3x2/tile_" + std::string(tile) + ".png");
}

// Writes a tile without run-length encoding, from decoded pixels.
std::vector<uint8_t> RawTile(const uint8_t* pixels, const std::vector<uint8_t>& header, bool packed) {
    std::vector<uint8_t> out(header.begin(), header.begin() + 128);
    out[2] = 0;  // no encoding
    out[3] = packed ? 4 : 1;
    out[65] = packed ? 1 : 4;
    const int bytesPerLine = packed ? 320 : 82;  // bit planes padded past their 80 bytes
    out[66] = uint8_t(bytesPerLine);
    out[67] = uint8_t(bytesPerLine >> 8);
    for (int y = 0; y < 480; ++y) {
        if (packed) {
            const uint8_t* row = pixels + size_t(479 - y) * 320;
            out.insert(out.end(), row, row + 320);
            continue;
        }
        for (int p = 0; p < 4; ++p) {
            std::vector<uint8_t> plane(size_t(bytesPerLine), 0xA5);
            for (int x = 0; x < 640; ++x) {
                uint8_t bit = uint8_t((TileIndex(pixels, x, y) >> p) & 1);
                if (x % 8 == 0) plane[size_t(x / 8)] = 0;
                plane[size_t(x / 8)] |= uint8_t(bit << (7 - x % 8));
            }
            out.insert(out.end(), plane.begin(), plane.end());
        }
    }
    return out;
}

class ChartTilesFolder : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return temp_.File(name); }
    tessary::test::TempFolder temp_{"tessary_tiles"};
    const fs::path folder_ = temp_.Path();
};

TEST_F(ChartTilesFolder, RawTilesDecodeLikeEncodedOnes) {
    const std::string source = kPcx + "noaa19347_2_x0_y0_640x480_4planes.pcx";
    Block reference(Pcx2Dib(source.c_str()));
    ASSERT_TRUE(reference);
    const uint8_t* pixels = static_cast<const uint8_t*>(ChartBlockLock(reference.get()));
    std::vector<uint8_t> header = tessary::test::ReadFileBytes(source);
    for (bool packed : {false, true}) {
        std::string path = Path(packed ? "raw_packed.pcx" : "raw_planes.pcx");
        WriteFile(path, RawTile(pixels, header, packed));
        Block block(Pcx2Dib(path.c_str()));
        ASSERT_TRUE(block) << path;
        EXPECT_EQ(std::memcmp(ChartBlockLock(block.get()), pixels, CHART_TILE_PIXEL_BYTES), 0) << path;
    }
}

TEST_F(ChartTilesFolder, MalformedOrForeignTilesGiveNoBlock) {
    const std::vector<uint8_t> good = tessary::test::ReadFileBytes(kPcx + "noaa19347_2_x0_y0_640x480_4planes.pcx");
    std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
    cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2))});
    cases.push_back({"headeronly", std::vector<uint8_t>(good.begin(), good.begin() + 128)});
    cases.push_back({"short", std::vector<uint8_t>(good.begin(), good.begin() + 60)});
    auto patched = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> b = good;
        b[at] = value;
        return b;
    };
    cases.push_back({"notpcx", patched(0, 0x0B)});
    cases.push_back({"wider", patched(8, uint8_t(640))});  // xmax 640: 641 pixels wide
    cases.push_back({"twoplanes", patched(65, 2)});
    cases.push_back({"eightbits", patched(3, 8)});
    cases.push_back({"thinlines", patched(66, 40)});  // bytes per line too few for 640 pixels
    cases.push_back({"encoding2", patched(2, 2)});
    // Runs of 63 bytes: the last one reaches past the tile and is clipped.
    std::vector<uint8_t> runs(good.begin(), good.begin() + 128);
    for (int k = 0; k < 80 * 4 * 480 / 63 + 1; ++k) {
        runs.push_back(0xFF);
        runs.push_back(0x00);
    }
    cases.push_back({"allruns", runs});
    for (const auto& [name, bytes] : cases) {
        std::string path = Path(name + ".pcx");
        WriteFile(path, bytes);
        Block block(Pcx2Dib(path.c_str()));
        EXPECT_EQ(bool(block), name == "allruns") << name;
    }
    for (const char* name : {"01r_00.pcx", "ossfuzz-4836216264589312.pcx", "rose.pcx"})
        EXPECT_FALSE(Block(Pcx2Dib((kPcx + "bad/" + name).c_str()))) << name;
    EXPECT_FALSE(Block(Pcx2Dib(Path("missing.pcx").c_str())));
    EXPECT_FALSE(Block(Pcx2Dib(folder_.string().c_str())));  // a folder
    EXPECT_FALSE(Block(Pcx2Dib(nullptr)));
}

TEST_F(ChartTilesFolder, DamagedTilesGiveAWholeBlockOrNone) {
    const std::vector<uint8_t> good = tessary::test::ReadFileBytes(kPcx + "noaa19347_2_x0_y0_640x480_packed.pcx");
    std::mt19937 random(7);
    int decoded = 0;
    for (int round = 0; round < 100; ++round) {
        std::vector<uint8_t> bytes = good;
        int flips = 1 + int(random() % 6);
        for (int f = 0; f < flips; ++f) bytes[random() % bytes.size()] = uint8_t(random());
        if (round % 3 == 2) bytes.resize(random() % bytes.size());
        std::string path = Path("damaged.pcx");
        WriteFile(path, bytes);
        Block block(Pcx2Dib(path.c_str()));
        if (!block) continue;
        ++decoded;
        EXPECT_EQ(ChartBlockSize(block.get()), size_t(CHART_TILE_PIXEL_BYTES)) << round;
    }
    EXPECT_GT(decoded, 10);
}

TEST_F(ChartTilesFolder, TilesAreCountedFromTheFilesPresent) {
    auto touch = [](const fs::path& p) { std::ofstream(p).put('x'); };
    const std::string header = Path("chart.hdr");
    touch(header);
    EXPECT_EQ(GetPCXXtiles(header.c_str()), 0);
    EXPECT_EQ(GetPCXYtiles(header.c_str()), 0);

    // Gaps do not shorten the count; names the reader would not build are
    // ignored (".a03", ".B3", ".C011", other charts).
    for (const char* name :
         {"chart.A01", "chart.C02", "chart.B10", "chart.a30", "chart.D3", "chart.E011", "other.F01"})
        touch(folder_ / name);
    EXPECT_EQ(GetPCXXtiles(header.c_str()), 3);
    EXPECT_EQ(GetPCXYtiles(header.c_str()), 10);

    // Header in a 7-letter folder, tiles in the chart's folder beside it.
    fs::create_directories(folder_ / "HEADERS");
    fs::create_directories(folder_ / "north");
    const std::string moved = Path("HEADERS/north.hdr");
    touch(moved);
    touch(folder_ / "north" / "north.A01");
    touch(folder_ / "north" / "north.B02");
    EXPECT_EQ(GetPCXXtiles(moved.c_str()), 2);
    EXPECT_EQ(GetPCXYtiles(moved.c_str()), 2);
    EXPECT_EQ(GetPCXXtiles(nullptr), 0);
}

TEST(RmlCharts, AreReportedWithoutTiles) {
    const char* path = "/nonexistent/chart.rml";
    EXPECT_EQ(GetXtiles(path), 0);
    EXPECT_EQ(GetYtiles(path), 0);
    uint8_t palette[68];
    std::memset(palette, 0x5A, sizeof palette);
    EXPECT_EQ(GetRMLpalette(path, palette), 0);
    EXPECT_EQ(palette[4], 0x5A);
    EXPECT_EQ(GetRMLdib(path, 1, 1), nullptr);
    EXPECT_EQ(ChartBlockLock(nullptr), nullptr);
    EXPECT_EQ(ChartBlockSize(nullptr), 0u);
    ChartBlockFree(nullptr);
}

}  // namespace
