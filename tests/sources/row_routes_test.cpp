// PNG, BMP and GIF sources are read row by row (interlaced PNG and GIF
// whole). Whatever the format and the route, the same pixels must give the
// same rows, the same preview and byte-identical converted files; alpha and
// a GIF's transparent index show white paper alike.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/file.h"
#include "common/text.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "sources/bmp_reader.h"
#include "sources/gif_reader.h"
#include "sources/image_expectations.h"
#include "sources/png_reader.h"
#include "sources/source_image.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using test::TestImage;

ConversionEntry Entry(const std::string& name) {
    ConversionEntry entry;
    entry.fileName = name;
    entry.ticked = true;
    return entry;
}

class RowRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"src", "out", "tmp", "program"}) fs::create_directories(root_ / sub);
    }

    std::string Source(const std::string& name) const { return (root_ / "src" / name).string(); }

    // Converts the named sources in one run, drawing every preview as the
    // desktop program does.
    void Run(const std::vector<std::string>& names, test::RecordingObserver& observer) {
        ConversionJob job;
        job.sourceFolder = FolderPath((root_ / "src").string() + "/");
        job.destinationFolder = FolderPath((root_ / "out").string() + "/");
        job.tempFolder = FolderPath((root_ / "tmp").string() + "/");
        job.programFolder = (root_ / "program").string();
        std::atomic<bool> abort{false};
        job.abort = &abort;
        for (const std::string& name : names) job.entries.push_back(Entry(name));
        observer.drawPreviews = true;
        ConversionLog log;
        RunConversion(job, observer, log, &observer);
    }

    // Converts the named sources in one run; gives each output's bytes.
    std::map<std::string, std::string> Convert(const std::vector<std::string>& names) {
        test::RecordingObserver observer;
        Run(names, observer);
        std::map<std::string, std::string> outputs;
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const ImageResult result = observer.ResultFor(name);
            EXPECT_EQ(result.outcome, ImageOutcome::Converted) << result.reason;
            if (!result.outputPath.empty()) outputs[name] = ReadWholeFile(result.outputPath);
        }
        EXPECT_EQ(observer.previews.size(), names.size());
        return outputs;
    }

    // Every output equals the first one's bytes.
    void ExpectIdentical(const std::vector<std::string>& names) {
        std::map<std::string, std::string> outputs = Convert(names);
        ASSERT_EQ(outputs.size(), names.size());
        const std::string& first = outputs[names[0]];
        EXPECT_GT(first.size(), 1000u);
        for (const std::string& name : names) EXPECT_TRUE(outputs[name] == first) << name << " differs from " << names[0];
    }

    test::TempFolder temp_{"tessary_rows"};
    const fs::path root_ = temp_.Path();
};

TEST_F(RowRoutes, ColourPixelsConvertIdenticallyFromEveryFormat) {
    const TestImage image = test::ColourImage(331, 307);
    test::WriteTiff(Source("c_tif.tif"), image);
    test::WritePng(Source("c_png.png"), image, false);
    test::WritePng(Source("c_adam7.png"), image, true);
    test::WriteBmp(Source("c_up.bmp"), image, test::BmpRows::BottomUp);
    test::WriteBmp(Source("c_down.bmp"), image, test::BmpRows::TopDown);
    ExpectIdentical({"c_tif.tif", "c_png.png", "c_adam7.png", "c_up.bmp", "c_down.bmp"});
}

TEST_F(RowRoutes, PalettisedPixelsConvertIdenticallyFromEveryFormatAndDepth) {
    // 8-bit: every format, both BMP row orders, run-length and interlaced.
    const TestImage eight = test::PalettisedImage(333, 301, 8);
    test::WriteTiff(Source("p8_tif.tif"), eight);
    test::WritePng(Source("p8_png.png"), eight, false);
    test::WritePng(Source("p8_adam7.png"), eight, true);
    test::WriteGif(Source("p8_gif.gif"), eight, false);
    test::WriteGif(Source("p8_inter.gif"), eight, true);
    test::WriteBmp(Source("p8_up.bmp"), eight, test::BmpRows::BottomUp);
    test::WriteBmp(Source("p8_down.bmp"), eight, test::BmpRows::TopDown);
    test::WriteRleBmp(Source("p8_rle.bmp"), eight);
    ExpectIdentical({"p8_tif.tif", "p8_png.png", "p8_adam7.png", "p8_gif.gif", "p8_inter.gif", "p8_up.bmp",
                     "p8_down.bmp", "p8_rle.bmp"});

    // 4- and 1-bit files become 8-bit indices with the same palette, so an
    // 8-bit TIFF of those indices is the reference.
    for (int bits : {4, 1}) {
        SCOPED_TRACE(bits);
        TestImage low = test::PalettisedImage(bits == 4 ? 301 : 305, 299, bits);
        const std::string stem = "p" + std::to_string(bits);
        TestImage asEight = low;
        asEight.bitsPerPixel = 8;
        test::WriteTiff(Source(stem + "_tif.tif"), asEight);
        test::WritePng(Source(stem + "_png.png"), low, false);
        test::WriteBmp(Source(stem + "_up.bmp"), low, test::BmpRows::BottomUp);
        test::WriteBmp(Source(stem + "_down.bmp"), low, test::BmpRows::TopDown);
        std::vector<std::string> names = {stem + "_tif.tif", stem + "_png.png", stem + "_up.bmp", stem + "_down.bmp"};
        if (bits == 4) {
            test::WriteRleBmp(Source(stem + "_rle.bmp"), low);
            names.push_back(stem + "_rle.bmp");
        }
        ExpectIdentical(names);
    }
}

// Alpha is composed over white wherever a file has it. A 32-bit BMP whose
// header gives an alpha mask converts as the PNG of the same RGBA pixels; one
// without a mask (its fourth byte is padding), or whose alpha bits are zero
// everywhere, converts as its colours alone.
TEST_F(RowRoutes, BmpAlphaConvertsAsThePngOfTheSameRgbaPixels) {
    const TestImage colour = test::ColourImage(313, 157);
    std::vector<uint8_t> alpha(size_t(colour.width) * size_t(colour.height));
    for (int y = 0; y < colour.height; ++y)
        for (int x = 0; x < colour.width; ++x)
            // A transparent collar, a ramp of partial alpha, opaque inside.
            alpha[size_t(y) * size_t(colour.width) + size_t(x)] =
                x < 10 || y < 8 ? 0 : (x < 60 ? uint8_t(x * 4) : 255);
    test::WriteRgbaPng(Source("a_png.png"), colour, alpha);
    test::WriteBmp32(Source("a_mask.bmp"), colour, alpha, test::BmpAlpha::HeaderMask);
    test::WriteBmp32(Source("a_fields.bmp"), colour, alpha, test::BmpAlpha::AlphaBitfields);
    test::WritePng(Source("o_png.png"), colour, false);
    test::WriteBmp32(Source("o_padding.bmp"), colour, alpha, test::BmpAlpha::Padding);
    test::WriteBmp32(Source("o_zero.bmp"), colour, std::vector<uint8_t>(alpha.size(), 0),
                     test::BmpAlpha::HeaderMask);
    std::map<std::string, std::string> out =
        Convert({"a_png.png", "a_mask.bmp", "a_fields.bmp", "o_png.png", "o_padding.bmp", "o_zero.bmp"});
    ASSERT_EQ(out.size(), 6u);
    EXPECT_TRUE(out["a_mask.bmp"] == out["a_png.png"]);
    EXPECT_TRUE(out["a_fields.bmp"] == out["a_png.png"]);
    EXPECT_TRUE(out["o_padding.bmp"] == out["o_png.png"]);
    EXPECT_TRUE(out["o_zero.bmp"] == out["o_png.png"]);
    EXPECT_FALSE(out["a_png.png"] == out["o_png.png"]) << "the alpha changed nothing";
}

// A GIF's transparent index shows white, as alpha does in other files: the
// GIF gives the rows of the PNG of the same RGBA pixels and converts as the
// same GIF with that entry white, by rows and interlaced alike. An index
// named without the transparency flag keeps its colour.
TEST_F(RowRoutes, GifTransparentIndexShowsWhiteAsAlphaDoes) {
    const TestImage picture = test::PalettisedImage(311, 163, 8);
    const uint8_t clear = picture.Index(5, 3);
    ASSERT_NE(picture.palette[clear], (PaletteEntry{255, 255, 255, 0}));
    test::WriteGif(Source("t_rows.gif"), picture, false, clear);
    test::WriteGif(Source("t_inter.gif"), picture, true, clear);
    TestImage whitened = picture;
    whitened.palette[clear] = {255, 255, 255, 0};
    test::WriteGif(Source("t_white.gif"), whitened, false);
    test::WriteGif(Source("f_flag_off.gif"), picture, false, clear, false);
    test::WriteGif(Source("f_plain.gif"), picture, false);
    std::map<std::string, std::string> out =
        Convert({"t_rows.gif", "t_inter.gif", "t_white.gif", "f_flag_off.gif", "f_plain.gif"});
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out["t_rows.gif"] == out["t_white.gif"]);
    EXPECT_TRUE(out["t_inter.gif"] == out["t_white.gif"]);
    EXPECT_TRUE(out["f_flag_off.gif"] == out["f_plain.gif"]);
    EXPECT_FALSE(out["t_white.gif"] == out["f_plain.gif"]) << "the transparent index is not in the picture";

    // The RGBA picture: the palette's colours, the transparent index's
    // pixels with alpha 0.
    const TestImage colours = test::DrawnImage(picture.width, picture.height, [&](int x, int y) {
        const PaletteEntry& e = picture.palette[picture.Index(x, y)];
        return std::array<uint8_t, 3>{e.blue, e.green, e.red};
    });
    std::vector<uint8_t> alpha;
    for (uint8_t index : picture.pixels) alpha.push_back(index == clear ? 0 : 255);
    test::WriteRgbaPng(Source("t_png.png"), colours, alpha);
    SourceHandle gif = OpenSourceImageOrNull(Source("t_rows.gif"));
    SourceHandle png = OpenSourceImageOrNull(Source("t_png.png"));
    ASSERT_TRUE(gif && png);
    EXPECT_TRUE(test::HandleRgb(*gif) == test::HandleRgb(*png));
}

// The whole picture a loader gives, as the source interface holds it.
Picture WholePicture(const std::string& path) {
    Picture picture;
    const std::string extension = ExtensionOf(path);
    if (extension == ".png") {
        DecodePngBitmap(path, picture);
    } else if (extension == ".gif") {
        LoadGifBitmap(path, picture);
    } else {
        picture = LoadBmpBitmap(path).value_or(Picture());
    }
    picture.ConvertTo8Bit();
    return picture;
}

TEST_F(RowRoutes, RowReadersGiveTheWholePicturesRowsAndPreviewInAnyOrder) {
    const TestImage colour = test::ColourImage(131, 97);
    const TestImage eight = test::PalettisedImage(133, 95, 8);
    const TestImage four = test::PalettisedImage(129, 93, 4);
    test::WritePng(Source("colour.png"), colour, false);
    test::WriteBmp(Source("colour.bmp"), colour, test::BmpRows::TopDown);
    test::WritePng(Source("eight.png"), eight, false);
    test::WriteGif(Source("eight.gif"), eight, false);
    test::WriteRleBmp(Source("eight.bmp"), eight);
    test::WriteRleBmp(Source("four.bmp"), four);
    test::WriteBmp(Source("four_up.bmp"), four, test::BmpRows::BottomUp);

    for (const char* name : {"colour.png", "colour.bmp", "eight.png", "eight.gif", "eight.bmp", "four.bmp",
                             "four_up.bmp"}) {
        SCOPED_TRACE(name);
        const Picture whole = WholePicture(Source(name));
        ASSERT_FALSE(whole.Empty());
        SourceHandle handle = OpenSourceImageOrNull(Source(name));
        ASSERT_TRUE(handle);
        ASSERT_TRUE(handle->Reader) << "not read row by row";
        ASSERT_EQ(handle->Width, whole.Width());
        ASSERT_EQ(handle->Height, whole.Height());
        EXPECT_EQ(handle->BytesPerPixel, whole.BitsPerPixel() == 8 ? 1 : 3);
        if (handle->BytesPerPixel == 1) {
            EXPECT_EQ(handle->Palette, whole.Colours());
        }

        // The preview first (it reads down to the last row), then rows
        // bottom to top and top to bottom: a reader that reads forwards
        // only must start again and still give the same bytes.
        Picture preview;
        DrawSourcePreview(preview, *handle, 61, 45);
        const Picture expected = StretchDrop(whole, 61, 45);
        ASSERT_EQ(preview.Width(), 61);
        EXPECT_EQ(std::vector<uint8_t>(preview.Data(), preview.Data() + preview.DataSize()),
                  std::vector<uint8_t>(expected.Data(), expected.Data() + expected.DataSize()));

        const size_t bytes = size_t(handle->Width) * size_t(handle->BytesPerPixel);
        std::vector<uint8_t> row(bytes + 8, 0xEE);
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 0; i < handle->Height; ++i) {
                const int y = pass == 0 ? handle->Height - 1 - i : i;
                ReadSourceRow(*handle, y, row.data());
                ASSERT_TRUE(std::equal(row.begin(), row.begin() + long(bytes), whole.Row(y))) << "row " << y;
                ASSERT_EQ(row[bytes], 0xEE) << "wrote past the row";
            }
    }
}

std::string ReadBytes(const std::string& path) { return ReadWholeFile(path); }
void WriteRaw(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// The failure of reading `row`, or empty when it was read.
std::string RowFailure(Timagerecord4& handle, int row) {
    std::vector<uint8_t> buffer(size_t(handle.Width) * size_t(handle.BytesPerPixel));
    try {
        ReadSourceRow(handle, row, buffer.data());
    } catch (const SourceError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
        return e.what();
    }
    return {};
}

TEST_F(RowRoutes, DamagedDataFailsItsRowsWithTheReasonAndEarlierRowsStayReadable) {
    const TestImage image = test::ColourImage(200, 400);

    // A PNG cut in the middle of its image data.
    test::WritePng(Source("whole.png"), image, false);
    const std::string png = ReadBytes(Source("whole.png"));
    WriteRaw(Source("cut.png"), png.substr(0, png.size() / 2));
    SourceHandle cut = OpenSourceImageOrNull(Source("cut.png"));
    ASSERT_TRUE(cut);
    const std::string failure = RowFailure(*cut, 399);
    EXPECT_NE(failure.find("file ends inside row "), std::string::npos) << failure;
    EXPECT_NE(failure.find(" of 400"), std::string::npos) << failure;
    EXPECT_EQ(RowFailure(*cut, 398), failure);  // later rows fail alike, without reading again
    EXPECT_EQ(RowFailure(*cut, 0), "");         // rows before the damage are still delivered
    // With keep-damaged the row is counted once and reading goes on.
    cut->Damage.keepGoing = true;
    EXPECT_EQ(RowFailure(*cut, 399), "");
    EXPECT_EQ(RowFailure(*cut, 399), "");
    EXPECT_EQ(cut->Damage.rows, 1);
    EXPECT_EQ(cut->Damage.firstDetail, failure);

    // A PNG whose image data has a broken checksum: libpng's reason.
    std::string crc = png;
    const size_t idat = crc.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    const uint32_t length = uint32_t(uint8_t(crc[idat - 4])) << 24 | uint32_t(uint8_t(crc[idat - 3])) << 16 |
                            uint32_t(uint8_t(crc[idat - 2])) << 8 | uint8_t(crc[idat - 1]);
    crc[idat + 4 + length] = char(crc[idat + 4 + length] ^ 0x55);
    WriteRaw(Source("crc.png"), crc);
    SourceHandle broken = OpenSourceImageOrNull(Source("crc.png"));
    ASSERT_TRUE(broken);
    EXPECT_EQ(RowFailure(*broken, 399), "IDAT: CRC error");

    // A GIF cut short: giflib's reason with the row.
    const TestImage eight = test::PalettisedImage(200, 400, 8);
    test::WriteGif(Source("whole.gif"), eight, false);
    const std::string gif = ReadBytes(Source("whole.gif"));
    WriteRaw(Source("cut.gif"), gif.substr(0, gif.size() * 2 / 3));
    SourceHandle cutGif = OpenSourceImageOrNull(Source("cut.gif"));
    ASSERT_TRUE(cutGif);
    const std::string gifFailure = RowFailure(*cutGif, 399);
    EXPECT_NE(gifFailure.find(" of 400)"), std::string::npos) << gifFailure;
    EXPECT_EQ(RowFailure(*cutGif, 1), "");

    // A bitmap without all its rows is refused at open with the row.
    test::WriteBmp(Source("whole.bmp"), image, test::BmpRows::BottomUp);
    const std::string bmp = ReadBytes(Source("whole.bmp"));
    WriteRaw(Source("cut.bmp"), bmp.substr(0, bmp.size() - 600 * 10 - 7));
    SourceOpenResult refused = OpenSourceImage(Source("cut.bmp"));
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(refused));
    EXPECT_EQ(std::get<SourceFailure>(refused).kind, SourceOpenError::SourceNotLoadable);
    // Bottom-up: the file ends in the top rows; row 11 from the top is cut.
    EXPECT_EQ(std::get<SourceFailure>(refused).detail, "file ends inside row 11 of 400");
}

TEST_F(RowRoutes, ConvertingADamagedSourceFailsAndWritesNothing) {
    const TestImage image = test::ColourImage(331, 307);
    test::WritePng(Source("whole.png"), image, false);
    const std::string png = ReadBytes(Source("whole.png"));
    WriteRaw(Source("cut.png"), png.substr(0, png.size() * 3 / 4));
    test::RecordingObserver observer;
    Run({"cut.png"}, observer);
    const ImageResult result = observer.ResultFor("cut.png");
    // The first damaged row fails the image (the reason reaches the log
    // through the driver) and no output is written.
    EXPECT_EQ(result.outcome, ImageOutcome::Failed);
    EXPECT_TRUE(fs::is_empty(root_ / "out"));
}

// A PNG's transparency chunk shows white as alpha does: a palette file's
// entries are composed over white (transparent, half and opaque entries), a
// colour file's transparent colour becomes white; each gives the rows of
// the RGBA PNG of the same pixels, and the colour file its bytes.
TEST_F(RowRoutes, PngTransparencyChunkShowsWhiteAsAlphaDoes) {
    const TestImage picture = test::PalettisedImage(311, 163, 8);
    const uint8_t clear = picture.Index(5, 3), half = picture.Index(40, 20);
    ASSERT_NE(clear, half);
    std::vector<uint8_t> entryAlpha(std::max(clear, half) + 1u, 255);
    entryAlpha[clear] = 0;
    entryAlpha[half] = 128;
    test::WriteTransparentPng(Source("p_trns.png"), picture, entryAlpha, {});
    const TestImage colours = test::DrawnImage(picture.width, picture.height, [&](int x, int y) {
        const PaletteEntry& e = picture.palette[picture.Index(x, y)];
        return std::array<uint8_t, 3>{e.blue, e.green, e.red};
    });
    std::vector<uint8_t> alpha;
    for (uint8_t index : picture.pixels) alpha.push_back(index < entryAlpha.size() ? entryAlpha[index] : 255);
    test::WriteRgbaPng(Source("p_rgba.png"), colours, alpha);
    SourceHandle indexed = OpenSourceImageOrNull(Source("p_trns.png"));
    SourceHandle rgba = OpenSourceImageOrNull(Source("p_rgba.png"));
    ASSERT_TRUE(indexed && rgba);
    EXPECT_EQ(indexed->BytesPerPixel, 1) << "a palette file stays indexed";
    EXPECT_TRUE(test::HandleRgb(*indexed) == test::HandleRgb(*rgba));

    // The colour of pixel (5, 3) is the transparent one, wherever it is.
    const std::array<uint8_t, 3> key{colours.Bgr(5, 3)[0], colours.Bgr(5, 3)[1], colours.Bgr(5, 3)[2]};
    std::vector<uint8_t> keyAlpha;
    for (int y = 0; y < colours.height; ++y)
        for (int x = 0; x < colours.width; ++x)
            keyAlpha.push_back(std::equal(key.begin(), key.end(), colours.Bgr(x, y)) ? 0 : 255);
    test::WriteTransparentPng(Source("c_trns.png"), colours, {}, key);
    test::WriteRgbaPng(Source("c_rgba.png"), colours, keyAlpha);
    test::WritePng(Source("c_plain.png"), colours, false);
    std::map<std::string, std::string> out = Convert({"c_trns.png", "c_rgba.png", "c_plain.png"});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out["c_trns.png"] == out["c_rgba.png"]);
    EXPECT_FALSE(out["c_trns.png"] == out["c_plain.png"]) << "the transparent colour changed nothing";
}

}  // namespace
}  // namespace tessary
