#include "sources/tiff_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/platform.h"
#include "sources/fixed_colour_table.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(TESSARY_TEST_DATA) / "tiff";

// The shared corpus the expected decodes were made from; files not copied
// into tests/data are checked when it is present.
fs::path SharedCorpus() {
    const char* folder = std::getenv("TESSARY_IMAGE_CORPUS");
    return fs::path(folder && *folder ? folder : TESSARY_CORPUS_DIR);
}

// A file in tests/data/tiff (by its file name), else in the shared corpus.
fs::path Locate(const std::string& name, const fs::path& corpusFolder) {
    fs::path local = kData / fs::path(name).filename();
    if (fs::exists(local)) return local;
    fs::path shared = corpusFolder / name;
    if (fs::exists(shared)) return shared;
    return {};
}

// The image as red, green, blue bytes, top row first, read row by row.
std::vector<uint8_t> ReadAllAsRgb(TiffReader& reader) {
    int32_t bytesPerPixel = 0;
    Palette palette{};
    GetTiffFormat(reader, bytesPerPixel, palette);
    const size_t width = size_t(reader.Width());
    std::vector<uint8_t> rgb(width * size_t(reader.Height()) * 3);
    uint8_t* out = rgb.data();
    for (int y = 0; y < reader.Height(); ++y) {
        // Exactly the row's size: the sanitizer build catches any overrun.
        std::vector<uint8_t> row(width * size_t(bytesPerPixel));
        ReadTiffRow(reader, y, row.data());
        for (size_t x = 0; x < width; ++x, out += 3) {
            if (bytesPerPixel == 3) {
                out[0] = row[3 * x + 2];
                out[1] = row[3 * x + 1];
                out[2] = row[3 * x];
            } else {
                const PaletteEntry& e = palette[row[x]];
                out[0] = e.red;
                out[1] = e.green;
                out[2] = e.blue;
            }
        }
    }
    return rgb;
}

uint32_t Crc(const std::vector<uint8_t>& bytes) {
    return uint32_t(crc32(0L, bytes.data(), uInt(bytes.size())));
}

struct Written {
    int width, height;
    uint16_t bits, samples, photometric, compression;
    uint32_t rowsPerStrip;
};

// Writes a striped TIFF with libtiff; `rows` holds each row's stored bytes.
void WriteTiff(const fs::path& path, const Written& w, const std::vector<std::vector<uint8_t>>& rows,
               const std::vector<uint16_t>* colourMap = nullptr) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(w.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(w.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, w.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, w.samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, w.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, w.compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, w.rowsPerStrip);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (w.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    if (colourMap) {
        const size_t n = colourMap->size() / 3;
        TIFFSetField(tiff, TIFFTAG_COLORMAP, colourMap->data(), colourMap->data() + n,
                     colourMap->data() + 2 * n);
    }
    for (int y = 0; y < w.height; ++y) {
        std::vector<uint8_t> row = rows[size_t(y)];
        ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0), 1);
    }
    TIFFClose(tiff);
}

class TiffReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("tessary_tiff_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
    platform::RecordingMessageSink messages_;
    platform::ScopedMessageSink sink_{&messages_};
};

// Every corpus file an independent decoder reads opens and gives the same
// pixels; the ones the reader refuses show their message and give no handle.
TEST_F(TiffReaderTest, MatchesIndependentDecoderOnCorpus) {
    std::ifstream expected(kData / "expected.txt");
    ASSERT_TRUE(expected) << "missing expected.txt";
    const fs::path corpus = SharedCorpus() / "tiff";
    int checked = 0, absent = 0, decodedLocal = 0;
    std::string line;
    while (std::getline(expected, line)) {
        std::istringstream fields(line);
        std::string kind, name;
        fields >> kind >> name;
        if (kind.empty()) continue;
        SCOPED_TRACE(name);
        const fs::path path = Locate(name, corpus);
        if (path.empty()) {
            ++absent;
            continue;
        }
        ++checked;
        messages_.messages.clear();
        std::unique_ptr<TiffReader> reader = OpenTiff(path.string());
        if (kind == "refused") {
            std::string message;
            std::getline(fields >> std::ws, message);
            EXPECT_EQ(reader, nullptr);
            EXPECT_EQ(messages_.messages, std::vector<std::string>{message});
            continue;
        }
        if (kind == "unreadable") continue;  // only: no crash
        ASSERT_NE(reader, nullptr) << (messages_.messages.empty() ? "" : messages_.messages[0]);
        if (path.parent_path() == kData) ++decodedLocal;
        int width = 0, height = 0;
        fields >> width >> height;
        EXPECT_EQ(reader->Width(), width);
        EXPECT_EQ(reader->Height(), height);
        const std::vector<uint8_t> rgb = ReadAllAsRgb(*reader);
        if (kind == "decoded") {
            std::string crc;
            fields >> crc;
            EXPECT_EQ(Crc(rgb), uint32_t(std::stoul(crc, nullptr, 16)));
        } else if (kind == "near") {
            std::string dump;
            int tolerance = 0;
            fields >> dump >> tolerance;
            std::ifstream in(kData / dump, std::ios::binary);
            std::vector<uint8_t> want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_EQ(want.size(), rgb.size());
            int worst = 0;
            for (size_t i = 0; i < want.size(); ++i)
                worst = std::max(worst, std::abs(int(want[i]) - int(rgb[i])));
            EXPECT_LE(worst, tolerance);
        }
        EXPECT_TRUE(messages_.messages.empty());
    }
    EXPECT_GE(decodedLocal, 10);  // the copied files alone cover the main layouts
    if (absent > 0) std::printf("[ note ] %d corpus files absent here; %d checked\n", absent, checked);
}

// Malformed files are refused or read without touching memory they do not
// own, and libtiff writes nothing to stderr.
TEST_F(TiffReaderTest, MalformedFilesAreRefusedCleanly) {
    std::vector<fs::path> files;
    for (const fs::path& folder : {kData / "bad", SharedCorpus() / "bad" / "tiff"}) {
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    }
    ASSERT_GE(files.size(), 7u);
    int refused = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        ::testing::internal::CaptureStderr();
        std::unique_ptr<TiffReader> reader = OpenTiff(file.string());
        if (!reader) {
            ++refused;
        } else {
            ReadAllAsRgb(*reader);
            reader->LoadPreview(3);
        }
        GetTiffInfo(file.string());
        LoadTiffPreview(file.string(), 2);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_GE(refused, 5);
}

TEST_F(TiffReaderTest, OneBitPalettesFollowThePhotometric) {
    const std::vector<std::vector<uint8_t>> rows(4, std::vector<uint8_t>{0xA0});  // pixels 1 0 1 0
    int32_t bytesPerPixel = 0;
    Palette palette{};
    std::vector<uint8_t> row(4);

    WriteTiff(folder_ / "white.tif", {4, 4, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 4}, rows);
    auto white = OpenTiff((folder_ / "white.tif").string());
    ASSERT_NE(white, nullptr);
    EXPECT_TRUE(GetTiffFormat(*white, bytesPerPixel, palette));
    EXPECT_EQ(bytesPerPixel, 1);
    EXPECT_EQ(palette[0], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(palette[2], PaletteEntry{});
    ReadTiffRow(*white, 2, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 0, 1, 0}));

    WriteTiff(folder_ / "black.tif", {4, 4, 1, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 4}, rows);
    auto black = OpenTiff((folder_ / "black.tif").string());
    ASSERT_NE(black, nullptr);
    GetTiffFormat(*black, bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{255, 255, 255, 0}));

    // A 1-bit palette image shows the colours of its colour map.
    const std::vector<uint16_t> map = {0x1200, 0xFF00, 0x3400,
                                       0x0000, 0x5600, 0x8000};  // reds, greens, blues
    WriteTiff(folder_ / "map.tif", {4, 4, 1, 1, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 4}, rows, &map);
    auto mapped = OpenTiff((folder_ / "map.tif").string());
    ASSERT_NE(mapped, nullptr);
    GetTiffFormat(*mapped, bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0x56, 0x34, 0x12, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{0x80, 0x00, 0xFF, 0}));
}

TEST_F(TiffReaderTest, SubByteSamplesBecomeIndices) {
    // 4-bit palette: 0x3A gives the indices 3 and 10.
    std::vector<uint16_t> map(3 * 16);
    for (int i = 0; i < 16; ++i) map[size_t(i)] = uint16_t(i * 0x1000);
    WriteTiff(folder_ / "p4.tif", {4, 2, 4, 1, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2},
              {{0x3A, 0xF0}, {0x01, 0x23}}, &map);
    auto p4 = OpenTiff((folder_ / "p4.tif").string());
    ASSERT_NE(p4, nullptr) << "an LZW palette TIFF opens";
    std::vector<uint8_t> row(4);
    ReadTiffRow(*p4, 0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{3, 10, 15, 0}));
    int32_t bytesPerPixel = 0;
    Palette palette{};
    GetTiffFormat(*p4, bytesPerPixel, palette);
    EXPECT_EQ(palette[10].red, 0xA0);
    EXPECT_EQ(palette[16], PaletteEntry{});

    // 4-bit grey keeps the indices; the palette spreads the 16 levels.
    WriteTiff(folder_ / "g4.tif", {4, 1, 4, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1}, {{0x3A, 0xF0}});
    auto g4 = OpenTiff((folder_ / "g4.tif").string());
    ASSERT_NE(g4, nullptr);
    GetTiffFormat(*g4, bytesPerPixel, palette);
    EXPECT_EQ(palette[1], (PaletteEntry{17, 17, 17, 0}));
    EXPECT_EQ(palette[15], (PaletteEntry{255, 255, 255, 0}));
    ReadTiffRow(*g4, 0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{3, 10, 15, 0}));

    // 2-bit white-is-zero grey is expanded; levels are inverted.
    WriteTiff(folder_ / "g2.tif", {5, 1, 2, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 1}, {{0x1B, 0xC0}});
    auto g2 = OpenTiff((folder_ / "g2.tif").string());
    ASSERT_NE(g2, nullptr);
    GetTiffFormat(*g2, bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{170, 170, 170, 0}));
    EXPECT_EQ(palette[3], (PaletteEntry{0, 0, 0, 0}));
    std::vector<uint8_t> row5(5);
    ReadTiffRow(*g2, 0, row5.data());
    EXPECT_EQ(row5, (std::vector<uint8_t>{0, 1, 2, 3, 3}));

    // 8-bit white-is-zero grey: entry i is 255 - i.
    WriteTiff(folder_ / "w8.tif", {1, 1, 8, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 1}, {{7}});
    auto w8 = OpenTiff((folder_ / "w8.tif").string());
    ASSERT_NE(w8, nullptr);
    GetTiffFormat(*w8, bytesPerPixel, palette);
    EXPECT_EQ(palette[7], (PaletteEntry{248, 248, 248, 0}));
    EXPECT_EQ(palette[255], (PaletteEntry{0, 0, 0, 0}));
}

TEST_F(TiffReaderTest, RgbRowsComeBlueGreenRedThroughTheSourceInterface) {
    WriteTiff(folder_ / "rgb.TIF", {2, 1, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 1},
              {{10, 20, 30, 40, 50, 60}});
    const std::string path = (folder_ / "rgb.TIF").string();
    SourceHandle handle = OpenSourceImageOrNull(path);
    ASSERT_NE(handle, nullptr) << "upper-case .TIF opens through the TIFF reader";
    EXPECT_EQ(handle->Extension, ".tif");
    EXPECT_EQ(handle->BytesPerPixel, 3);
    EXPECT_EQ(handle->Palette, Palette{});
    std::vector<uint8_t> row(6);
    ReadSourceRow(*handle, 0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{30, 20, 10, 60, 50, 40}));

    Picture preview;
    DrawSourcePreview(preview, *handle, 1, 1);
    EXPECT_TRUE(preview.Empty()) << "RGB TIFF files have no preview";

    const SourceImageInfo info = GetSourceImageInfo(path);
    EXPECT_EQ(info.width, 2);
    EXPECT_EQ(info.height, 1);
    EXPECT_EQ(info.bytesPerPixel, 3);
    EXPECT_TRUE(messages_.messages.empty());
}

TEST_F(TiffReaderTest, RefusedKindsShowTheirMessage) {
    WriteTiff(folder_ / "lzw.tif", {2, 1, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_LZW, 1}, {{1, 2, 3, 4, 5, 6}});
    SourceOpenResult lzw = OpenSourceImage((folder_ / "lzw.tif").string());
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(lzw));
    EXPECT_EQ(std::get<SourceFailure>(lzw), SourceOpenError::SourceUnusable);
    EXPECT_EQ(messages_.messages, std::vector<std::string>{
                                      "TIF images using 24 bit color and LZW compression are not supported"});

    messages_.messages.clear();
    WriteTiff(folder_ / "cmyk.tif", {1, 1, 8, 4, PHOTOMETRIC_SEPARATED, COMPRESSION_NONE, 1}, {{1, 2, 3, 4}});
    SourceOpenResult cmyk = OpenSourceImage((folder_ / "cmyk.tif").string());
    EXPECT_EQ(std::get<SourceFailure>(cmyk), SourceOpenError::SourceUnusable);
    EXPECT_EQ(messages_.messages, std::vector<std::string>{"This TIF format is not supported"});
    EXPECT_EQ(GetSourceImageInfo((folder_ / "cmyk.tif").string()).width, 1) << "the inspector still reads it";

    messages_.messages.clear();
    std::ofstream(folder_ / "text.tif") << "not a TIFF at all";
    EXPECT_EQ(std::get<SourceFailure>(OpenSourceImage((folder_ / "text.tif").string())),
              SourceOpenError::SourceUnusable);
    EXPECT_TRUE(messages_.messages.empty()) << "an unreadable file gives no message box";
    const SourceImageInfo info = GetSourceImageInfo((folder_ / "text.tif").string());
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.bytesPerPixel, 1);
}

TEST_F(TiffReaderTest, AscendingRowsDecodeEachStripOnce) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 40; ++y) rows.push_back(std::vector<uint8_t>(8, uint8_t(y)));
    WriteTiff(folder_ / "strips.tif", {8, 40, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_PACKBITS, 16}, rows);
    auto reader = OpenTiff((folder_ / "strips.tif").string());
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> row(8);
    for (int y = 0; y < 16; ++y) {
        ReadTiffRow(*reader, y, row.data());
        EXPECT_EQ(row[7], y);
    }
    EXPECT_EQ(reader->StripDecodes(), 1);
    ReadTiffRow(*reader, 16, row.data());
    EXPECT_EQ(reader->StripDecodes(), 2);
    for (int y = 17; y < 40; ++y) ReadTiffRow(*reader, y, row.data());
    EXPECT_EQ(reader->StripDecodes(), 3);
    EXPECT_EQ(row[0], 39);
    std::vector<uint8_t> untouched(8, 0xEE);
    ReadTiffRow(*reader, 40, untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0xEE));
}

TEST_F(TiffReaderTest, StripsLargerThanTheBandLimitAreReadAScanlineAtATime) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 30; ++y) {
        rows.emplace_back(60);
        for (int x = 0; x < 60; ++x) rows.back()[size_t(x)] = uint8_t(x * 3 + y * 7);
    }
    const fs::path path = folder_ / "onestrip.tif";
    WriteTiff(path, {20, 30, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 30}, rows);
    auto reader = OpenTiff(path.string(), 200);  // the strip decodes to 1800 bytes
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> row(60);
    for (int y : {0, 1, 2, 29, 3, 17, 0}) {  // backwards too: the strip restarts
        ReadTiffRow(*reader, y, row.data());
        EXPECT_EQ(row[0], rows[size_t(y)][2]) << "row " << y;
        EXPECT_EQ(row[59], rows[size_t(y)][57]) << "row " << y;
    }
    EXPECT_EQ(reader->StripDecodes(), 7);
    EXPECT_TRUE(messages_.messages.empty());

    // Rows wider than the limit cannot be read at all.
    EXPECT_EQ(OpenTiff(path.string(), 50), nullptr);
    EXPECT_EQ(messages_.messages,
              std::vector<std::string>{"The strips or tiles of this TIF image are too large to be read"});
}

TEST_F(TiffReaderTest, StripThatFailsToDecodeGivesZeroRowsAndOneReport) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 12; ++y) rows.push_back(std::vector<uint8_t>(16, uint8_t(100 + y)));
    const fs::path path = folder_ / "broken.tif";
    WriteTiff(path, {16, 12, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, 4}, rows);
    // Overwrite the middle strip's compressed bytes with garbage.
    uint64_t offset = 0, count = 0;
    {
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        offset = TIFFGetStrileOffset(tiff, 1);
        count = TIFFGetStrileByteCount(tiff, 1);
        TIFFClose(tiff);
    }
    ASSERT_GT(count, 2u);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(offset));
        for (uint64_t i = 0; i < count; ++i) file.put(char(0xFF));
    }
    auto reader = OpenTiff(path.string());
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> row(16);
    for (int y = 0; y < 12; ++y) {
        ReadTiffRow(*reader, y, row.data());
        const uint8_t want = (y >= 4 && y < 8) ? 0 : uint8_t(100 + y);
        EXPECT_EQ(row, std::vector<uint8_t>(16, want)) << "row " << y;
    }
    ReadTiffRow(*reader, 5, row.data());  // decodes the broken strip again
    EXPECT_EQ(row, std::vector<uint8_t>(16, 0));
    ASSERT_EQ(messages_.messages.size(), 1u);
    EXPECT_NE(messages_.messages[0].find("broken.tif"), std::string::npos);
}

TEST_F(TiffReaderTest, PreviewDecimatesWithTheStoredPalette) {
    // 1000 x 800 grey, previewed at factor 7: 142 x 114 pixels, output row j
    // from source row (j + 1) x 7 - 1, pixel i from column i x 7.
    std::vector<std::vector<uint8_t>> rows(800, std::vector<uint8_t>(1000));
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 1000; ++x) rows[size_t(y)][size_t(x)] = uint8_t((x + 3 * y) % 251);
    const fs::path grey = folder_ / "grey.tif";
    WriteTiff(grey, {1000, 800, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 32}, rows);
    SourceHandle handle = OpenSourceImageOrNull(grey.string());
    ASSERT_NE(handle, nullptr);
    Picture preview;
    DrawSourcePreview(preview, *handle, 130, 104);  // factor 1000 div 130 = 7
    ASSERT_EQ(preview.Width(), 142);
    ASSERT_EQ(preview.Height(), 114);
    EXPECT_EQ(preview.BitsPerPixel(), 8);
    EXPECT_EQ(preview.Colors()[200], (PaletteEntry{200, 200, 200, 0}));
    for (int j : {0, 57, 113})
        for (int i : {0, 70, 141}) EXPECT_EQ(preview.Row(j)[i], ((7 * i) + 3 * ((j + 1) * 7 - 1)) % 251);

    // One row per strip: output row j comes from source row j x factor.
    std::vector<std::vector<uint8_t>> small(20, std::vector<uint8_t>(10));
    for (int y = 0; y < 20; ++y) small[size_t(y)].assign(10, uint8_t(y));
    std::vector<uint16_t> map(3 * 256, 0);
    map[5] = 0x1100;          // red of entry 5; entries 216..255 stay black
    map[256 + 250] = 0x2200;  // green of entry 250
    WriteTiff(folder_ / "rps1.tif", {10, 20, 8, 1, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 1}, small, &map);
    Picture fromStrips = LoadTiffPreview((folder_ / "rps1.tif").string(), 4);
    ASSERT_EQ(fromStrips.Width(), 2);
    ASSERT_EQ(fromStrips.Height(), 5);
    EXPECT_EQ(fromStrips.Row(1)[0], 4);
    EXPECT_EQ(fromStrips.Row(4)[1], 16);
    // Black entries from 216 up show the fixed colours; stored ones stay.
    EXPECT_EQ(fromStrips.Colors()[5], (PaletteEntry{0, 0, 0x11, 0}));
    const FixedColour& fixed = kFixedColourTable[17];
    EXPECT_EQ(fromStrips.Colors()[233], (PaletteEntry{fixed.blue, fixed.green, fixed.red, 0}));
    EXPECT_EQ(fromStrips.Colors()[250], (PaletteEntry{0, 0x22, 0, 0}));
    EXPECT_EQ(fromStrips.Colors()[215], PaletteEntry{});

    EXPECT_TRUE(LoadTiffPreview((folder_ / "rps1.tif").string(), 40).Empty()) << "smaller than a pixel";
}

TEST_F(TiffReaderTest, SeveralReadersStayIndependent) {
    std::vector<std::vector<uint8_t>> a(4, std::vector<uint8_t>(3, 11)), b(4, std::vector<uint8_t>(5, 22));
    WriteTiff(folder_ / "a.tif", {3, 4, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1}, a);
    WriteTiff(folder_ / "b.tif", {5, 4, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 2}, b);
    auto first = OpenTiff((folder_ / "a.tif").string());
    auto second = OpenTiff((folder_ / "b.tif").string());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::vector<uint8_t> rowA(3), rowB(5);
    ReadTiffRow(*first, 3, rowA.data());
    ReadTiffRow(*second, 3, rowB.data());
    EXPECT_EQ(rowA, std::vector<uint8_t>(3, 11));
    EXPECT_EQ(rowB, std::vector<uint8_t>(5, 22));
    CloseTiff(first);
    EXPECT_EQ(first, nullptr);
    ReadTiffRow(*second, 0, rowB.data());
    EXPECT_EQ(rowB, std::vector<uint8_t>(5, 22));
}

}  // namespace
}  // namespace tessary
