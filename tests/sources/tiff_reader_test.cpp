#include "sources/tiff_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sources/fixed_colour_table.h"
#include "sources/source_error.h"
#include "sources/source_image.h"
#include "sources/source_notes.h"
#include "support/corpus.h"
#include "support/image_writers.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using test::WriteTiff;

const fs::path kData = fs::path(TESSARY_TEST_DATA) / "tiff";

// A file in tests/data/tiff (by its file name), else in the shared corpus.
fs::path Locate(const std::string& name, const fs::path& corpusFolder) {
    fs::path local = kData / fs::path(name).filename();
    if (fs::exists(local)) return local;
    if (corpusFolder.empty()) return {};
    fs::path shared = corpusFolder / name;
    if (fs::exists(shared)) return shared;
    return {};
}

// The image as red, green, blue bytes, top row first, read row by row.
std::vector<uint8_t> ReadAllAsRgb(TiffReader& reader) {
    int32_t bytesPerPixel = 0;
    Palette palette{};
    reader.FillFormat(bytesPerPixel, palette);
    const size_t width = size_t(reader.Width());
    std::vector<uint8_t> rgb(width * size_t(reader.Height()) * 3);
    uint8_t* out = rgb.data();
    for (int y = 0; y < reader.Height(); ++y) {
        // Exactly the row's size: the sanitizer build catches any overrun.
        std::vector<uint8_t> row(width * size_t(bytesPerPixel));
        reader.ReadRow(y, row.data());
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

// The reader, or null with the refusal's detail in `detail`.
std::unique_ptr<TiffReader> TryOpen(const fs::path& path, std::string& detail,
                                    uint64_t maxBandBytes = kDefaultMaxBandBytes) {
    try {
        return OpenTiff(path.string(), maxBandBytes);
    } catch (const SourceError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::SourceUnusable);
        detail = e.what();
        return nullptr;
    }
}

// The mean red, green and blue of each cell of an 8 x 8 grid over an RGB
// image, as make_expected_beyond.py writes them.
std::vector<uint8_t> GridMeans(const std::vector<uint8_t>& rgb, int width, int height) {
    std::vector<uint8_t> means;
    for (int j = 0; j < 8; ++j) {
        for (int i = 0; i < 8; ++i) {
            const int x0 = i * width / 8, x1 = std::max(x0 + 1, (i + 1) * width / 8);
            const int y0 = j * height / 8, y1 = std::max(y0 + 1, (j + 1) * height / 8);
            uint64_t sums[3] = {0, 0, 0}, n = 0;
            for (int y = y0; y < std::min(y1, height); ++y)
                for (int x = x0; x < std::min(x1, width); ++x, ++n)
                    for (int c = 0; c < 3; ++c)
                        sums[c] += rgb[3 * (size_t(y) * size_t(width) + size_t(x)) + size_t(c)];
            for (uint64_t sum : sums) means.push_back(uint8_t(sum / n));
        }
    }
    return means;
}

class TiffReaderTest : public ::testing::Test {
protected:
    test::TempFolder temp_{"tessary_tiff"};
    const fs::path folder_ = temp_.Path();
    SourceNotes notes_;  // what the readers note for the user
};

// Every corpus file an independent decoder reads opens and gives the same
// pixels (lossy ones within a few levels, cell by cell); the ones the reader
// refuses show their message and give no handle.
TEST_F(TiffReaderTest, MatchesIndependentDecoderOnCorpus) {
    std::ifstream expected(kData / "expected.txt");
    ASSERT_TRUE(expected) << "missing expected.txt";
    const fs::path corpus = test::CorpusPath("tiff");
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
        notes_.Take();
        std::string detail;
        std::unique_ptr<TiffReader> reader = TryOpen(path, detail);
        if (kind == "refused") {
            std::string message;
            std::getline(fields >> std::ws, message);
            EXPECT_EQ(reader, nullptr);
            EXPECT_EQ(notes_.Take(), std::vector<std::string>{message});
            continue;
        }
        if (kind == "unreadable") continue;  // only: no crash
        ASSERT_NE(reader, nullptr) << detail;
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
        } else if (kind == "blocks") {
            int tolerance = 0;
            std::string hex;
            fields >> tolerance >> hex;
            const std::vector<uint8_t> means = GridMeans(rgb, width, height);
            ASSERT_EQ(hex.size(), 2 * means.size());
            int worst = 0;
            for (size_t i = 0; i < means.size(); ++i)
                worst = std::max(
                    worst, std::abs(int(std::stoul(hex.substr(2 * i, 2), nullptr, 16)) - int(means[i])));
            EXPECT_LE(worst, tolerance);
        }
        EXPECT_TRUE(notes_.Take().empty());
    }
    EXPECT_GE(decodedLocal, 10);  // the copied files alone cover the main layouts
    if (absent > 0) std::printf("[ note ] %d corpus files absent here; %d checked\n", absent, checked);
}

// Reads every row into a buffer of exactly the row's size (the sanitizer
// build catches any overrun). Gives the number of rows reported damaged and
// the first reason.
int ReadAllRows(TiffReader& reader, std::string& firstDamage) {
    int32_t bytesPerPixel = 0;
    Palette palette{};
    reader.FillFormat(bytesPerPixel, palette);
    int damaged = 0;
    for (int y = 0; y < reader.Height(); ++y) {
        std::vector<uint8_t> row(size_t(reader.Width()) * size_t(bytesPerPixel));
        try {
            reader.ReadRow(y, row.data());
        } catch (const SourceError& e) {
            EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
            if (damaged++ == 0) firstDamage = e.what();
        }
    }
    return damaged;
}

// Malformed files are refused with a reason, or read with every row that
// cannot be decoded reported as damaged, without touching memory they do not
// own; libtiff writes nothing to stderr. The copies in tests/data carry the
// test alone; the shared corpus adds its files when it is present. The
// other copies (faulty fax streams libtiff recovers from, a directory that
// loops to itself) are readable and may read.
TEST_F(TiffReaderTest, MalformedFilesAreRefusedCleanly) {
    const std::set<std::string> unreadable = {"crash-86214e58da443d2b80820cff9677a38a33dcbbca.tif",
                                              "libtiff_segfault.tif",
                                              "oom-225817ca0f8c663be7ab4b9e717b02c661e66834.tif"};
    int localFiles = 0;
    for (const fs::path& folder : {kData / "bad", test::CorpusPath("bad/tiff")}) {
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const fs::path& file = entry.path();
            SCOPED_TRACE(file.string());
            ::testing::internal::CaptureStderr();
            std::string detail;
            bool failed = false;
            std::unique_ptr<TiffReader> reader = TryOpen(file, detail);
            if (!reader) {
                failed = true;
                EXPECT_FALSE(detail.empty()) << "a refusal names its reason";
            } else {
                std::string damage;
                if (ReadAllRows(*reader, damage) > 0) {
                    failed = true;
                    EXPECT_FALSE(damage.empty()) << "damage names its reason";
                }
                reader->LoadPreview(3);
            }
            GetTiffInfo(file.string());
            LoadTiffPreview(file.string(), 2);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
            if (folder == kData / "bad") {
                ++localFiles;
                if (unreadable.count(file.filename().string())) {
                    EXPECT_TRUE(failed) << "reads as good";
                }
            }
        }
    }
    EXPECT_EQ(localFiles, 7);
}

TEST_F(TiffReaderTest, OneBitPalettesFollowThePhotometric) {
    const std::vector<std::vector<uint8_t>> rows(4, std::vector<uint8_t>{0xA0});  // pixels 1 0 1 0
    int32_t bytesPerPixel = 0;
    Palette palette{};
    std::vector<uint8_t> row(4);

    WriteTiff((folder_ / "white.tif").string(), {4, 4, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 4}, rows);
    auto white = OpenTiff((folder_ / "white.tif").string());
    ASSERT_NE(white, nullptr);
    white->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(bytesPerPixel, 1);
    EXPECT_EQ(bytesPerPixel, 1);
    EXPECT_EQ(palette[0], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(palette[2], PaletteEntry{});
    white->ReadRow(2, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 0, 1, 0}));

    WriteTiff((folder_ / "black.tif").string(), {4, 4, 1, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 4}, rows);
    auto black = OpenTiff((folder_ / "black.tif").string());
    ASSERT_NE(black, nullptr);
    black->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{255, 255, 255, 0}));

    // A 1-bit palette image shows the colours of its colour map.
    const std::vector<uint16_t> map = {0x1200, 0xFF00, 0x3400,
                                       0x0000, 0x5600, 0x8000};  // reds, greens, blues
    WriteTiff((folder_ / "map.tif").string(), {4, 4, 1, 1, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 4}, rows, &map);
    auto mapped = OpenTiff((folder_ / "map.tif").string());
    ASSERT_NE(mapped, nullptr);
    mapped->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{0x56, 0x34, 0x12, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{0x80, 0x00, 0xFF, 0}));
}

TEST_F(TiffReaderTest, SubByteSamplesBecomeIndices) {
    // 4-bit palette: 0x3A gives the indices 3 and 10.
    std::vector<uint16_t> map(3 * 16);
    for (int i = 0; i < 16; ++i) map[size_t(i)] = uint16_t(i * 0x1000);
    WriteTiff((folder_ / "p4.tif").string(), {4, 2, 4, 1, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2},
              {{0x3A, 0xF0}, {0x01, 0x23}}, &map);
    auto p4 = OpenTiff((folder_ / "p4.tif").string());
    ASSERT_NE(p4, nullptr) << "an LZW palette TIFF opens";
    std::vector<uint8_t> row(4);
    p4->ReadRow(0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{3, 10, 15, 0}));
    int32_t bytesPerPixel = 0;
    Palette palette{};
    p4->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[10].red, 0xA0);
    EXPECT_EQ(palette[16], PaletteEntry{});

    // 4-bit grey keeps the indices; the palette spreads the 16 levels.
    WriteTiff((folder_ / "g4.tif").string(), {4, 1, 4, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1}, {{0x3A, 0xF0}});
    auto g4 = OpenTiff((folder_ / "g4.tif").string());
    ASSERT_NE(g4, nullptr);
    g4->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[1], (PaletteEntry{17, 17, 17, 0}));
    EXPECT_EQ(palette[15], (PaletteEntry{255, 255, 255, 0}));
    g4->ReadRow(0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{3, 10, 15, 0}));

    // 2-bit white-is-zero grey is expanded; levels are inverted.
    WriteTiff((folder_ / "g2.tif").string(), {5, 1, 2, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 1}, {{0x1B, 0xC0}});
    auto g2 = OpenTiff((folder_ / "g2.tif").string());
    ASSERT_NE(g2, nullptr);
    g2->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[0], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{170, 170, 170, 0}));
    EXPECT_EQ(palette[3], (PaletteEntry{0, 0, 0, 0}));
    std::vector<uint8_t> row5(5);
    g2->ReadRow(0, row5.data());
    EXPECT_EQ(row5, (std::vector<uint8_t>{0, 1, 2, 3, 3}));

    // 8-bit white-is-zero grey: entry i is 255 - i.
    WriteTiff((folder_ / "w8.tif").string(), {1, 1, 8, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 1}, {{7}});
    auto w8 = OpenTiff((folder_ / "w8.tif").string());
    ASSERT_NE(w8, nullptr);
    w8->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[7], (PaletteEntry{248, 248, 248, 0}));
    EXPECT_EQ(palette[255], (PaletteEntry{0, 0, 0, 0}));
}

TEST_F(TiffReaderTest, RgbRowsComeBlueGreenRedThroughTheSourceInterface) {
    WriteTiff((folder_ / "rgb.TIF").string(), {2, 1, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 1},
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
    EXPECT_TRUE(notes_.Take().empty());
}

// What the strip route refuses but libtiff converts opens as RGB through the
// source interface, by either extension: LZW RGB on the strip route, CMYK
// and JPEG-compressed YCbCr through libtiff's colour conversion.
TEST_F(TiffReaderTest, KindsBeyondTheStripRouteOpenAsRgb) {
    for (const char* name : {"rgb-lzw-rps16.tif", "cmyk-lzw.tif", "ycbcr-jpeg-tiled32.tif"}) {
        SCOPED_TRACE(name);
        const fs::path copy = folder_ / (fs::path(name).stem().string() + ".tiff");
        fs::copy_file(kData / name, copy);
        SourceOpenResult result = OpenSourceImage(copy.string());
        ASSERT_TRUE(std::holds_alternative<SourceHandle>(result)) << std::get<SourceFailure>(result).detail;
        SourceHandle& handle = std::get<SourceHandle>(result);
        EXPECT_EQ(handle->Extension, ".tiff");
        EXPECT_EQ(handle->BytesPerPixel, 3);
        EXPECT_EQ(GetSourceImageInfo(copy.string()).bytesPerPixel, 3) << "the list and the conversion agree";
        // The top left pixel of the picture all three were made from is a
        // dark red (the CMYK copy is exact, the JPEG one close).
        std::vector<uint8_t> row(size_t(handle->Width) * 3);
        ReadSourceRow(*handle, 0, row.data());
        EXPECT_NEAR(row[2], 0x7f, 6);
        EXPECT_NEAR(row[1], 0x0e, 6);
        EXPECT_NEAR(row[0], 0x02, 6);
    }
    EXPECT_TRUE(notes_.Take().empty());
}

// What libtiff itself cannot decode keeps the refusal message, and the
// reason arrives with the failure.
TEST_F(TiffReaderTest, WhatLibtiffCannotDecodeIsRefusedWithItsReason) {
    // Half-precision floating-point samples: neither route converts them.
    WriteTiff((folder_ / "half.tif").string(), {2, 1, 16, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1},
              {{0, 0x3C, 0, 0x3C}}, nullptr, SAMPLEFORMAT_IEEEFP);
    SourceOpenResult half = OpenSourceImage((folder_ / "half.tif").string());
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(half));
    EXPECT_EQ(std::get<SourceFailure>(half).kind, SourceOpenError::SourceUnusable);
    EXPECT_NE(std::get<SourceFailure>(half).detail.find("floating-point"), std::string::npos)
        << std::get<SourceFailure>(half).detail;
    EXPECT_EQ(notes_.Take(), std::vector<std::string>{"This TIF format is not supported"});
    EXPECT_EQ(GetSourceImageInfo((folder_ / "half.tif").string()).width, 2) << "the inspector still reads it";

    notes_.Take();
    std::ofstream(folder_ / "text.tif") << "not a TIFF at all";
    SourceOpenResult text = OpenSourceImage((folder_ / "text.tif").string());
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(text));
    EXPECT_EQ(std::get<SourceFailure>(text).kind, SourceOpenError::SourceUnusable);
    EXPECT_NE(std::get<SourceFailure>(text).detail.find("Not a TIFF"), std::string::npos)
        << std::get<SourceFailure>(text).detail;
    EXPECT_EQ(std::get<SourceFailure>(text).detail.find(folder_.string()), std::string::npos)
        << "the path is the caller's to show";
    EXPECT_TRUE(notes_.Take().empty()) << "an unreadable file gives no message box";
    const SourceImageInfo info = GetSourceImageInfo((folder_ / "text.tif").string());
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.bytesPerPixel, 1);
}

// Samples the first version did not take: odd depths, signed and
// floating-point samples, scaled onto the 8-bit levels.
TEST_F(TiffReaderTest, DeepSignedAndFloatSamplesAreScaled) {
    int32_t bytesPerPixel = 0;
    Palette palette{};
    // 3-bit grey: samples cross byte boundaries; 0 1 2 3 4 5 6 7 packed.
    WriteTiff((folder_ / "g3.tif").string(), {8, 1, 3, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1},
              {{0b00000101, 0b00111001, 0b01110111}});
    auto g3 = OpenTiff((folder_ / "g3.tif").string());
    std::vector<uint8_t> row(8);
    g3->ReadRow(0, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    g3->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(palette[7], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(palette[1], (PaletteEntry{36, 36, 36, 0}));

    // Signed 8-bit grey: -128 is black, 127 white.
    WriteTiff((folder_ / "s8.tif").string(), {3, 1, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1},
              {{0x80, 0x00, 0x7F}}, nullptr, SAMPLEFORMAT_INT);
    auto s8 = OpenTiff((folder_ / "s8.tif").string());
    std::vector<uint8_t> row3(3);
    s8->ReadRow(0, row3.data());
    EXPECT_EQ(row3, (std::vector<uint8_t>{0, 128, 255}));

    // 32-bit float RGB in 0..1: clamped, NaN black.
    const float values[] = {0.0f, 0.5f, 1.0f, 2.0f, -1.0f, std::nanf("")};
    std::vector<uint8_t> floats(sizeof values);
    std::memcpy(floats.data(), values, sizeof values);
    WriteTiff((folder_ / "f32.tif").string(), {2, 1, 32, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 1}, {floats},
              nullptr, SAMPLEFORMAT_IEEEFP);
    auto f32 = OpenTiff((folder_ / "f32.tif").string());
    f32->FillFormat(bytesPerPixel, palette);
    EXPECT_EQ(bytesPerPixel, 3);
    std::vector<uint8_t> rgb(6);
    f32->ReadRow(0, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{255, 128, 0, 0, 0, 255}));  // blue, green, red
    EXPECT_TRUE(notes_.Take().empty());
}

TEST_F(TiffReaderTest, AscendingRowsDecodeEachStripOnce) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 40; ++y) rows.push_back(std::vector<uint8_t>(8, uint8_t(y)));
    WriteTiff((folder_ / "strips.tif").string(), {8, 40, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_PACKBITS, 16}, rows);
    auto reader = OpenTiff((folder_ / "strips.tif").string());
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> row(8);
    for (int y = 0; y < 16; ++y) {
        reader->ReadRow(y, row.data());
        EXPECT_EQ(row[7], y);
    }
    EXPECT_EQ(reader->StripDecodes(), 1);
    reader->ReadRow(16, row.data());
    EXPECT_EQ(reader->StripDecodes(), 2);
    for (int y = 17; y < 40; ++y) reader->ReadRow(y, row.data());
    EXPECT_EQ(reader->StripDecodes(), 3);
    EXPECT_EQ(row[0], 39);
    std::vector<uint8_t> untouched(8, 0xEE);
    reader->ReadRow(40, untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0xEE));
}

TEST_F(TiffReaderTest, StripsLargerThanTheBandLimitAreReadAScanlineAtATime) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 30; ++y) {
        rows.emplace_back(60);
        for (int x = 0; x < 60; ++x) rows.back()[size_t(x)] = uint8_t(x * 3 + y * 7);
    }
    const fs::path path = folder_ / "onestrip.tif";
    WriteTiff(path.string(), {20, 30, 8, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 30}, rows);
    auto reader = OpenTiff(path.string(), 200);  // the strip decodes to 1800 bytes
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> row(60);
    for (int y : {0, 1, 2, 29, 3, 17, 0}) {  // backwards too: the strip restarts
        reader->ReadRow(y, row.data());
        EXPECT_EQ(row[0], rows[size_t(y)][2]) << "row " << y;
        EXPECT_EQ(row[59], rows[size_t(y)][57]) << "row " << y;
    }
    EXPECT_EQ(reader->StripDecodes(), 7);
    EXPECT_TRUE(notes_.Take().empty());

    // Rows wider than the limit cannot be read at all.
    std::string detail;
    EXPECT_EQ(TryOpen(path, detail, 50), nullptr);
    EXPECT_EQ(detail, "one band of rows needs 60 bytes, more than the 50 allowed");
    EXPECT_EQ(notes_.Take(),
              std::vector<std::string>{"The strips or tiles of this TIF image are too large to be read"});
}

// Overwrites the first bytes of a strip's compressed data with garbage.
void CorruptStrip(const fs::path& path, uint32_t strip) {
    uint64_t offset = 0, count = 0;
    {
        TIFF* tiff = TIFFOpen(path.string().c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        offset = TIFFGetStrileOffset(tiff, strip);
        count = TIFFGetStrileByteCount(tiff, strip);
        TIFFClose(tiff);
    }
    ASSERT_GT(count, 2u);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(std::streamoff(offset));
    for (uint64_t i = 0; i < std::min<uint64_t>(count, 16); ++i) file.put(char(0xFF));
}

// A strip libtiff cannot decode fails each of its rows with libtiff's
// reason; the rows are black, never the previous strip's pixels, and the
// other strips still read.
TEST_F(TiffReaderTest, StripThatFailsToDecodeReportsItsRowsDamaged) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 12; ++y) rows.push_back(std::vector<uint8_t>(16, uint8_t(100 + y)));
    const fs::path path = folder_ / "broken.tif";
    WriteTiff(path.string(), {16, 12, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, 4}, rows);
    CorruptStrip(path, 1);
    auto reader = OpenTiff(path.string());
    std::vector<uint8_t> row(16);
    for (int y = 0; y < 12; ++y) {
        SCOPED_TRACE(y);
        if (y >= 4 && y < 8) {
            try {
                reader->ReadRow(y, row.data());
                ADD_FAILURE() << "a row of the broken strip reads as good";
            } catch (const SourceError& e) {
                EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
                EXPECT_EQ(std::string(e.what()).rfind("strip 2 of 3: ZIPDecode: ", 0), 0u) << e.what();
            }
            EXPECT_EQ(row, std::vector<uint8_t>(16, 0));
        } else {
            reader->ReadRow(y, row.data());
            EXPECT_EQ(row, std::vector<uint8_t>(16, uint8_t(100 + y)));
        }
    }
    EXPECT_THROW(reader->ReadRow(5, row.data()), SourceError) << "read again, still damaged";
    EXPECT_TRUE(notes_.Take().empty()) << "the reason goes to the log, not a box";
}

// The same through the source interface, on the committed file with one
// corrupt deflate strip (rows 24 to 31 of 48) and on a JPEG strip of the
// colour-conversion route: the first damaged row fails the image; with
// keepGoing every damaged row is counted once and the rest reads.
TEST_F(TiffReaderTest, DamagedStripsFailTheImageUnlessKeptGoing) {
    const fs::path jpeg = folder_ / "ycbcr-broken.tif";
    fs::copy_file(kData / "ycbcr-jpeg-rps16.tif", jpeg);
    CorruptStrip(jpeg, 1);
    struct Case {
        fs::path path;
        int firstDamaged, damagedRows;
        std::string reason;
    };
    for (const Case& c : {Case{kData / "rgb-deflate-broken.tif", 24, 8, "strip 4 of 6: ZIPDecode: "},
                          Case{jpeg, 16, 16, "strip 2 of 3: "}}) {
        SCOPED_TRACE(c.path.string());
        SourceHandle handle = OpenSourceImageOrNull(c.path.string());
        ASSERT_NE(handle, nullptr);
        std::vector<uint8_t> row(size_t(handle->Width) * 3);
        for (int y = 0; y < c.firstDamaged; ++y) ReadSourceRow(*handle, y, row.data());
        try {
            ReadSourceRow(*handle, c.firstDamaged, row.data());
            ADD_FAILURE() << "the damaged row reads as good";
        } catch (const SourceError& e) {
            EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
            EXPECT_EQ(std::string(e.what()).rfind(c.reason, 0), 0u) << e.what();
            EXPECT_GT(std::string(e.what()).size(), c.reason.size()) << "libtiff's text follows";
        }

        handle->Damage.keepGoing = true;
        for (int y = 0; y < handle->Height; ++y) ReadSourceRow(*handle, y, row.data());
        ReadSourceRow(*handle, c.firstDamaged, row.data());
        EXPECT_EQ(handle->Damage.rows, c.damagedRows);
        ReadSourceRow(*handle, handle->Height - 1, row.data());
        EXPECT_EQ(handle->Damage.firstDetail.rfind(c.reason, 0), 0u);
        EXPECT_NE(row, std::vector<uint8_t>(row.size(), 0)) << "the last row is intact";
    }
    EXPECT_TRUE(notes_.Take().empty());
}

// A strip larger than the band limit is converted a part at a time on the
// colour-conversion route, with the same pixels as in one piece.
TEST_F(TiffReaderTest, ColourConversionKeepsOneBandInMemory) {
    // CMYK, one strip of 40 rows: red = (255 - K) x (255 - C) / 255.
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 40; ++y) {
        rows.emplace_back();
        for (int x = 0; x < 20; ++x)
            for (uint8_t v : {uint8_t(y * 6), uint8_t(x * 12), uint8_t(0), uint8_t(x == 0 ? 255 : 0)})
                rows.back().push_back(v);
    }
    const fs::path path = folder_ / "cmyk.tif";
    WriteTiff(path.string(), {20, 40, 8, 4, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW, 40}, rows);
    auto whole = OpenTiff(path.string());
    auto parts = OpenTiff(path.string(), 20 * 4 * 16);  // 16 rows a part
    std::vector<uint8_t> a(60), b(60);
    for (int y = 0; y < 40; ++y) {
        whole->ReadRow(y, a.data());
        parts->ReadRow(y, b.data());
        ASSERT_EQ(a, b) << "row " << y;
        EXPECT_EQ(a[3 * 5 + 2], (255 - y * 6) * 255 / 255) << "red of pixel 5";
        EXPECT_EQ(a[3 * 5 + 1], 255 - 60) << "green of pixel 5";
        EXPECT_EQ(a[3 * 5], 255) << "blue of pixel 5";
        EXPECT_EQ(a[2], 0) << "full black ink";
    }
    EXPECT_EQ(whole->StripDecodes(), 1);
    EXPECT_EQ(parts->StripDecodes(), 3);
}

// Signed CMYK runs from no ink at -128 to full ink at 127: each pixel has the
// colour of the unsigned CMYK pixel 128 higher, with no jump between -1 and 0.
TEST_F(TiffReaderTest, SignedCmykRunsFromNoInkToFullInk) {
    std::vector<std::vector<uint8_t>> signedRows, unsignedRows;
    for (int y = 0; y < 4; ++y) {
        signedRows.emplace_back();
        unsignedRows.emplace_back();
        for (int x = 0; x < 256; ++x) {
            // Cyan rises along the row, magenta falls, yellow jumps about;
            // black rises from row to row.
            for (int v : {x - 128, 127 - x, (x * 7) % 256 - 128, y * 60 - 128}) {
                signedRows.back().push_back(uint8_t(v));
                unsignedRows.back().push_back(uint8_t(v + 128));
            }
        }
    }
    const test::TiffFields fields{256, 4, 8, 4, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW, 3};
    WriteTiff((folder_ / "signed.tif").string(), fields, signedRows, nullptr, SAMPLEFORMAT_INT);
    WriteTiff((folder_ / "unsigned.tif").string(), fields, unsignedRows);
    std::string detail;
    auto signedCmyk = TryOpen(folder_ / "signed.tif", detail);
    ASSERT_NE(signedCmyk, nullptr) << detail;
    auto unsignedCmyk = OpenTiff((folder_ / "unsigned.tif").string());
    std::vector<uint8_t> a(256 * 3), b(256 * 3);
    for (int y = 0; y < 4; ++y) {
        signedCmyk->ReadRow(y, a.data());
        unsignedCmyk->ReadRow(y, b.data());
        ASSERT_EQ(a, b) << "row " << y;
    }
    // Without black ink, red falls by one level per step of cyan.
    signedCmyk->ReadRow(0, a.data());
    for (int x = 0; x < 256; ++x) ASSERT_EQ(a[3 * size_t(x) + 2], 255 - x) << "pixel " << x;
    EXPECT_TRUE(notes_.Take().empty());
}

TEST_F(TiffReaderTest, PreviewDecimatesWithTheStoredPalette) {
    // 1000 x 800 grey, previewed at factor 7: 142 x 114 pixels, output row j
    // from source row (j + 1) x 7 - 1, pixel i from column i x 7.
    std::vector<std::vector<uint8_t>> rows(800, std::vector<uint8_t>(1000));
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 1000; ++x) rows[size_t(y)][size_t(x)] = uint8_t((x + 3 * y) % 251);
    const fs::path grey = folder_ / "grey.tif";
    WriteTiff(grey.string(), {1000, 800, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 32}, rows);
    SourceHandle handle = OpenSourceImageOrNull(grey.string());
    ASSERT_NE(handle, nullptr);
    Picture preview;
    DrawSourcePreview(preview, *handle, 130, 104);  // factor 1000 div 130 = 7
    ASSERT_EQ(preview.Width(), 142);
    ASSERT_EQ(preview.Height(), 114);
    EXPECT_EQ(preview.BitsPerPixel(), 8);
    EXPECT_EQ(preview.Colours()[200], (PaletteEntry{200, 200, 200, 0}));
    for (int j : {0, 57, 113})
        for (int i : {0, 70, 141}) EXPECT_EQ(preview.Row(j)[i], ((7 * i) + 3 * ((j + 1) * 7 - 1)) % 251);

    // One row per strip: output row j comes from source row j x factor.
    std::vector<std::vector<uint8_t>> small(20, std::vector<uint8_t>(10));
    for (int y = 0; y < 20; ++y) small[size_t(y)].assign(10, uint8_t(y));
    std::vector<uint16_t> map(3 * 256, 0);
    map[5] = 0x1100;          // red of entry 5; entries 216..255 stay black
    map[256 + 250] = 0x2200;  // green of entry 250
    WriteTiff((folder_ / "rps1.tif").string(), {10, 20, 8, 1, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 1}, small, &map);
    Picture fromStrips = LoadTiffPreview((folder_ / "rps1.tif").string(), 4);
    ASSERT_EQ(fromStrips.Width(), 2);
    ASSERT_EQ(fromStrips.Height(), 5);
    EXPECT_EQ(fromStrips.Row(1)[0], 4);
    EXPECT_EQ(fromStrips.Row(4)[1], 16);
    // Black entries from 216 up show the fixed colours; stored ones stay.
    EXPECT_EQ(fromStrips.Colours()[5], (PaletteEntry{0, 0, 0x11, 0}));
    const FixedColour& fixed = kFixedColourTable[17];
    EXPECT_EQ(fromStrips.Colours()[233], (PaletteEntry{fixed.blue, fixed.green, fixed.red, 0}));
    EXPECT_EQ(fromStrips.Colours()[250], (PaletteEntry{0, 0x22, 0, 0}));
    EXPECT_EQ(fromStrips.Colours()[215], PaletteEntry{});

    EXPECT_TRUE(LoadTiffPreview((folder_ / "rps1.tif").string(), 40).Empty()) << "smaller than a pixel";
}

TEST_F(TiffReaderTest, SeveralReadersStayIndependent) {
    std::vector<std::vector<uint8_t>> a(4, std::vector<uint8_t>(3, 11)), b(4, std::vector<uint8_t>(5, 22));
    WriteTiff((folder_ / "a.tif").string(), {3, 4, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1}, a);
    WriteTiff((folder_ / "b.tif").string(), {5, 4, 8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 2}, b);
    auto first = OpenTiff((folder_ / "a.tif").string());
    auto second = OpenTiff((folder_ / "b.tif").string());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::vector<uint8_t> rowA(3), rowB(5);
    first->ReadRow(3, rowA.data());
    second->ReadRow(3, rowB.data());
    EXPECT_EQ(rowA, std::vector<uint8_t>(3, 11));
    EXPECT_EQ(rowB, std::vector<uint8_t>(5, 22));
    first.reset();
    second->ReadRow(0, rowB.data());
    EXPECT_EQ(rowB, std::vector<uint8_t>(5, 22));
}

}  // namespace
}  // namespace tessary
