#include "sources/gif_reader.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "common/errors.h"
#include "sources/image_expectations.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

using test::CorpusFolder;
using test::TestData;

// Animated files give their first frame, interlaced files their rows in
// order, a frame smaller than the screen sits on the background colour.
TEST(GifReader, CommittedFilesDecodeAsTheIndependentDecoderDoes) {
    EXPECT_GE(test::CompareWithExpected("gif/expected.txt", TestData("gif"), 1, false), 13);
}

TEST(GifReader, EveryCorpusFileTheIndependentDecoderAcceptsDecodesTheSame) {
    const std::string corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "image corpus not present";
    EXPECT_GE(test::CompareWithExpected("gif/expected.txt", corpus + "/gif", 1, false), 29);
}

// A GIF written with giflib's encoder: one frame of palette indices.
struct GifFrameLayout {
    int screenWidth = 6, screenHeight = 4;
    int background = 2;
    bool globalMap = true;
    int left = 0, top = 0, width = 6, height = 4;
    bool localMap = false;
    std::vector<uint8_t> pixels;  // width x height, row by row
};

GifColorType Colour(int i) {
    return {uint8_t(i * 60), uint8_t(255 - i * 60), uint8_t(i * 20)};
}

std::string WriteGif(const std::string& name, const GifFrameLayout& layout) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    EXPECT_TRUE(gif);
    GifColorType colours[4] = {Colour(0), Colour(1), Colour(2), Colour(3)};
    GifColorType localColours[4] = {{0, 0, 0}, {250, 250, 250}, {0, 0, 255}, {255, 0, 0}};
    ColorMapObject* global = layout.globalMap ? GifMakeMapObject(4, colours) : nullptr;
    ColorMapObject* local = layout.localMap ? GifMakeMapObject(4, localColours) : nullptr;
    EXPECT_EQ(EGifPutScreenDesc(gif, layout.screenWidth, layout.screenHeight, 8, layout.background, global),
              GIF_OK);
    EXPECT_EQ(EGifPutImageDesc(gif, layout.left, layout.top, layout.width, layout.height, false, local),
              GIF_OK);
    std::vector<uint8_t> pixels = layout.pixels;
    for (int y = 0; y < layout.height; ++y)
        EXPECT_EQ(EGifPutLine(gif, pixels.data() + size_t(y) * size_t(layout.width), layout.width), GIF_OK);
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    if (global) GifFreeMapObject(global);
    if (local) GifFreeMapObject(local);
    return path;
}

std::vector<uint8_t> Indices(const Picture& picture) {
    std::vector<uint8_t> out;
    for (int y = 0; y < picture.Height(); ++y)
        out.insert(out.end(), picture.Row(y), picture.Row(y) + picture.Width());
    return out;
}

TEST(GifReader, SmallerFrameIsDrawnAtItsPlaceOnTheBackgroundColour) {
    GifFrameLayout layout;
    layout.left = 3, layout.top = 1, layout.width = 2, layout.height = 2;
    layout.pixels = {0, 1, 3, 0};
    const std::string path = WriteGif("tessary-small-frame.gif", layout);
    Picture picture;
    ASSERT_TRUE(LoadGifBitmap(path, picture));
    ASSERT_EQ(picture.Width(), 6);
    ASSERT_EQ(picture.Height(), 4);
    EXPECT_EQ(picture.BitsPerPixel(), 8);
    EXPECT_EQ(Indices(picture), (std::vector<uint8_t>{2, 2, 2, 2, 2, 2,  //
                                                      2, 2, 2, 0, 1, 2,  //
                                                      2, 2, 2, 3, 0, 2,  //
                                                      2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(picture.Colours()[3], (PaletteEntry{60, 75, 180, 0}));
    EXPECT_EQ(picture.Colours()[4], PaletteEntry{});

    // With a local colour table the indices keep their meaning: the picture
    // takes the local table, and the uncovered screen the local entry
    // nearest to the global background colour (120, 135, 40): black, at a
    // distance of 295 against 310 for red, 455 and 470 for the others.
    layout.localMap = true;
    const std::string localPath = WriteGif("tessary-small-local.gif", layout);
    ASSERT_TRUE(LoadGifBitmap(localPath, picture));
    EXPECT_EQ(picture.Colours()[3], (PaletteEntry{0, 0, 255, 0}));
    EXPECT_EQ(picture.Row(1)[3], 0);
    EXPECT_EQ(picture.Row(2)[3], 3);
    EXPECT_EQ(picture.Row(0)[0], 0);
    std::filesystem::remove(path);
    std::filesystem::remove(localPath);
}

TEST(GifReader, FramesReachingOutsideTheScreenAreCutOff) {
    GifFrameLayout layout;
    layout.left = 4, layout.top = 2, layout.width = 4, layout.height = 4;
    layout.pixels.assign(16, 1);
    layout.pixels[0] = 3;
    const std::string path = WriteGif("tessary-outside.gif", layout);
    Picture picture;
    ASSERT_TRUE(LoadGifBitmap(path, picture));
    EXPECT_EQ(Indices(picture), (std::vector<uint8_t>{2, 2, 2, 2, 2, 2,  //
                                                      2, 2, 2, 2, 2, 2,  //
                                                      2, 2, 2, 2, 3, 1,  //
                                                      2, 2, 2, 2, 1, 1}));
    // Wholly outside: only background remains.
    layout.left = 40, layout.top = 40;
    const std::string farPath = WriteGif("tessary-far-outside.gif", layout);
    ASSERT_TRUE(LoadGifBitmap(farPath, picture));
    EXPECT_EQ(Indices(picture), std::vector<uint8_t>(24, 2));
    std::filesystem::remove(path);
    std::filesystem::remove(farPath);
}

std::string WriteBytes(const std::string& name, const std::string& bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Header of a GIF87a with a 2-entry global table, screen w x h.
std::string Header(int w, int h) {
    return std::string("GIF87a") + char(w & 255) + char(w >> 8) + char(h & 255) + char(h >> 8) +
           std::string("\x80\x00\x00", 3) + std::string("\x00\x00\x00\xff\xff\xff", 6);
}

TEST(GifReader, FileWithoutAnyFrameIsNotLoadable) {
    const std::string path = WriteBytes("tessary-no-frame.gif", Header(10, 10) + "\x3b");
    Picture picture;
    EXPECT_THROW(LoadGifBitmap(path, picture), SourceError);
    EXPECT_TRUE(picture.Empty());
    SourceOpenResult result = OpenSourceImage(path);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(std::get<SourceFailure>(result).detail, "the file holds no image");
    std::filesystem::remove(path);
}

TEST(GifReader, CorruptTruncatedAndAbsurdFilesAreRefusedWithGiflibsReason) {
    // A frame of 60000 x 60000 pixels described by a few bytes.
    std::string descriptor("\x2c\x00\x00\x00\x00\x60\xea\x60\xea\x00", 10);
    const std::string bomb = WriteBytes(
        "tessary-bomb.gif", Header(60000, 60000) + descriptor + std::string("\x02\x02\x4c\x01\x00\x3b", 6));
    // A frame cut off in the middle of its data.
    std::ifstream in(TestData("gif/porsche.gif"), std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string truncated = WriteBytes("tessary-truncated.gif", whole.substr(0, whole.size() / 2));
    // Garbage after a valid header.
    const std::string garbage = WriteBytes("tessary-garbage.gif", Header(8, 8) + std::string(40, '\x55'));

    for (const std::string& path : {bomb, truncated, garbage, TestData("gif/bad/decompression_bomb.gif")}) {
        SCOPED_TRACE(path);
        Picture picture;
        EXPECT_THROW(LoadGifBitmap(path, picture), SourceError);
        // As a source: refused at open, or at the first line that cannot
        // be decoded, with the reason.
        test::ReadThrough r = test::OpenAndReadAll(path);
        EXPECT_TRUE(r.refused);
        EXPECT_EQ(r.kind, r.atOpen ? SourceOpenError::SourceNotLoadable : SourceOpenError::SourceDamaged);
        EXPECT_NE(r.detail, "");
    }
    std::filesystem::remove(bomb);
    std::filesystem::remove(truncated);
    std::filesystem::remove(garbage);
}

TEST(GifReader, MalformedCorpusFilesAreRefusedOrLoadCleanly) {
    // test_extents.gif has a second frame reaching beyond the screen; only
    // the first frame is read, and it lies on the screen.
    const std::set<std::string> loadable = {"test_extents.gif", "decompression_bomb_extents.gif"};
    std::vector<std::string> files = test::FilesIn(TestData("gif/bad"));
    const std::string corpus = CorpusFolder();
    if (!corpus.empty()) {
        std::vector<std::string> more = test::FilesIn(corpus + "/bad/gif");
        files.insert(files.end(), more.begin(), more.end());
    }
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const std::string name = std::filesystem::path(path).filename().string();
        test::ReadThrough r = test::OpenAndReadAll(path);
        EXPECT_EQ(r.refused, loadable.count(name) == 0) << r.detail;
        if (r.refused) {
            EXPECT_NE(r.detail, "");
        }
    }
}

TEST(GifReader, InspectorReadsTheHeadersItself) {
    // GIF87a with a 256-entry global table (N = 7): 768 bytes skipped, the
    // image descriptor's size reported.
    SourceImageInfo info = GetGifInfo(TestData("gif/text_mono.gif"));
    EXPECT_EQ(info.width, 100);
    EXPECT_EQ(info.height, 30);
    EXPECT_EQ(info.bytesPerPixel, 1);
    info = GetGifInfo(TestData("gif/treescap.gif"));  // 16 entries (N = 3)
    EXPECT_EQ(info.width, 40);
    EXPECT_EQ(info.height, 40);

    // Extension blocks before the image descriptor (GIF89a: graphic control,
    // application data) are stepped over; a GIF without a global table has
    // its descriptor right after the screen.
    for (const char* name : {"gif/x-trans.gif", "gif/missing_background.gif", "gif/fire.gif"}) {
        info = GetGifInfo(TestData(name));
        const bool fire = std::string(name) == "gif/fire.gif";
        EXPECT_EQ(info.width, fire ? 30 : std::string(name) == "gif/x-trans.gif" ? 100 : 32) << name;
        EXPECT_EQ(info.height, fire ? 60 : std::string(name) == "gif/x-trans.gif" ? 100 : 32) << name;
        EXPECT_EQ(info.bytesPerPixel, 1) << name;
    }
    // A file that ends inside an extension block is a file error.
    std::ifstream in(TestData("gif/x-trans.gif"), std::ios::binary);
    const std::string x((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string cutExtension = WriteBytes("tessary-cut-extension.gif", x.substr(0, 13 + 768 + 4));
    EXPECT_THROW(GetGifInfo(cutExtension), IoError);
    std::filesystem::remove(cutExtension);

    const std::string notGif = WriteBytes("tessary-not-a.gif", "\x89PNG\r\n\x1a\n and more bytes");
    info = GetGifInfo(notGif);
    EXPECT_EQ(info.width, 0);
    // A file that ends inside the global table is a file error.
    const std::string cut = WriteBytes("tessary-cut.gif", Header(5, 5).substr(0, 15));
    EXPECT_THROW(GetGifInfo(cut), IoError);
    std::filesystem::remove(notGif);
    std::filesystem::remove(cut);
}

}  // namespace
}  // namespace tessary
