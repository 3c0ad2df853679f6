#include "sources/source_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sources/bmp_reader.h"
#include "sources/source_formats.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const std::string kBmp = std::string(TESSARY_TEST_DATA) + "/bmp/good/";

class SourceImage : public ::testing::Test {
protected:
    std::string CopyAs(const std::string& from, const std::string& name) {
        fs::copy_file(from, dir_ / name, fs::copy_options::overwrite_existing);
        return (dir_ / name).string();
    }

    test::TempFolder temp_{"tessary_source"};
    const fs::path dir_ = temp_.Path();
};

SourceOpenError OpenError(const std::string& path) {
    SourceOpenResult r = OpenSourceImage(path);
    EXPECT_TRUE(std::holds_alternative<SourceFailure>(r)) << path;
    return std::holds_alternative<SourceFailure>(r) ? std::get<SourceFailure>(r).kind
                                                      : SourceOpenError::SourceFileNotFound;
}

TEST_F(SourceImage, ExtensionIsLowerCasedBeforeDispatch) {
    SourceHandle image = OpenSourceImageOrNull(CopyAs(kBmp + "pal8.bmp", "UPPER.BMP"));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Extension, ".bmp");
    EXPECT_EQ(image->Width, 127);
    // Dispatch keys on the lower-cased text only.
    EXPECT_NE(FindSourceFormat(".bmp"), nullptr);
    EXPECT_EQ(FindSourceFormat(".BMP"), nullptr);
}

TEST_F(SourceImage, UnknownExtensionsAreUnusableAndMissingFilesNotFound) {
    EXPECT_EQ(OpenError(CopyAs(kBmp + "pal8.bmp", "a.tiff")), SourceOpenError::SourceUnusable);
    // ".jpeg" is read as ".jpg" is: a bitmap under that name is no JPEG.
    EXPECT_EQ(OpenError(CopyAs(kBmp + "pal8.bmp", "a.jpeg")), SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(OpenError(CopyAs(kBmp + "pal8.bmp", "noextension")), SourceOpenError::SourceUnusable);
    EXPECT_EQ(OpenError((dir_ / "missing.bmp").string()), SourceOpenError::SourceFileNotFound);
    // A file that the loader cannot read is "not loadable", not "unusable".
    std::ofstream((dir_ / "junk.bmp").string()) << "not a bitmap";
    EXPECT_EQ(OpenError((dir_ / "junk.bmp").string()), SourceOpenError::SourceNotLoadable);

    for (const char* name : {"missing.bmp", "a.tiff"}) {
        SourceImageInfo info = GetSourceImageInfo((dir_ / name).string());
        EXPECT_EQ(info.width, 0) << name;
        EXPECT_EQ(info.height, 0) << name;
        EXPECT_EQ(info.bytesPerPixel, 1) << name;
    }
    SourceImageInfo info = GetSourceImageInfo(kBmp + "rgb24.bmp");
    EXPECT_EQ(info.width, 127);
    EXPECT_EQ(info.bytesPerPixel, 3);
}

// Only a regular file (or a link to one) is opened. Anything else at an
// image's path is named for what it is instead of "not found", and the open
// never waits: a named pipe would block it until a writer came, and a device
// can deliver endless data.
TEST_F(SourceImage, WhatIsNotARegularFileIsNamedAndNeverOpened) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no named pipes or devices in the file system";
#else
    const std::string pipe = (dir_ / "pipe.tif").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
    const std::string device = (dir_ / "zero.jpg").string();
    fs::create_symlink("/dev/zero", device);
    const std::string folder = (dir_ / "folder.png").string();
    fs::create_directory(folder);
    const std::string dangling = (dir_ / "dangling.bmp").string();
    fs::create_symlink(dir_ / "gone.bmp", dangling);

    const std::pair<std::string, std::string> cases[] = {
        {pipe, "a named pipe (FIFO), not a regular file"},
        {device, "a character device, not a regular file"},
        {folder, "a folder, not a regular file"},
    };
    for (const auto& [path, detail] : cases) {
        SCOPED_TRACE(path);
        SourceOpenResult result = OpenSourceImage(path);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable);
        EXPECT_EQ(std::get<SourceFailure>(result).detail, detail);
        EXPECT_EQ(GetSourceImageInfo(path).width, 0);
    }
    // A link whose target is gone has nothing at its path.
    EXPECT_EQ(OpenError(dangling), SourceOpenError::SourceFileNotFound);
    // A link to an image opens it.
    fs::create_symlink(kBmp + "pal8.bmp", dir_ / "linked.bmp");
    EXPECT_TRUE(OpenSourceImageOrNull((dir_ / "linked.bmp").string()));
#endif
}

TEST_F(SourceImage, PalettisedPicturesGiveIndicesAndTheirPalette) {
    SourceHandle image = OpenSourceImageOrNull(kBmp + "pal8.bmp");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->BytesPerPixel, 1);
    EXPECT_EQ(image->Palette, LoadBmpBitmap(kBmp + "pal8.bmp")->Colours());
    EXPECT_NE(image->Palette, Palette{});

    // 1- and 4-bit pictures become 8-bit indices with the same palette.
    for (const char* f : {"pal1.bmp", "pal4.bmp"}) {
        SourceHandle small = OpenSourceImageOrNull(kBmp + f);
        ASSERT_TRUE(small) << f;
        EXPECT_EQ(small->BytesPerPixel, 1) << f;
        std::vector<uint8_t> row(small->Width);
        int highest = 0;
        for (int y = 0; y < small->Height; ++y) {
            ReadSourceRow(*small, y, row.data());
            for (uint8_t v : row) highest = std::max<int>(highest, v);
        }
        EXPECT_EQ(highest, std::string(f) == "pal1.bmp" ? 1 : 11) << f;
    }
}

TEST_F(SourceImage, TrueColourPicturesGiveThreeBytesAndAZeroPalette) {
    for (const char* f : {"rgb24.bmp", "rgb16-565.bmp", "yellow_rose-small-v5.bmp"}) {
        SourceHandle image = OpenSourceImageOrNull(kBmp + f);
        ASSERT_TRUE(image) << f;
        EXPECT_EQ(image->BytesPerPixel, 3) << f;
        EXPECT_EQ(image->Palette, Palette{}) << f;
    }
}

TEST_F(SourceImage, RowAtTheHeightLeavesTheBufferUnchanged) {
    SourceHandle image = OpenSourceImageOrNull(kBmp + "rgb24.bmp");
    ASSERT_TRUE(image);
    std::vector<uint8_t> buffer(size_t(image->Width) * 3, 0x5A);
    ReadSourceRow(*image, image->Height, buffer.data());
    ReadSourceRow(*image, -1, buffer.data());
    EXPECT_EQ(buffer, std::vector<uint8_t>(buffer.size(), 0x5A));
    ReadSourceRow(*image, image->Height - 1, buffer.data());
    EXPECT_NE(buffer, std::vector<uint8_t>(buffer.size(), 0x5A));
}

TEST_F(SourceImage, TopDownAndBottomUpFilesGiveTheSameRows) {
    SourceHandle up = OpenSourceImageOrNull(kBmp + "pal8.bmp");
    SourceHandle down = OpenSourceImageOrNull(kBmp + "pal8topdown.bmp");
    ASSERT_TRUE(up && down);
    ASSERT_EQ(down->Height, 64);
    std::vector<uint8_t> a(127), b(127);
    for (int y = 0; y < 64; ++y) {
        ReadSourceRow(*up, y, a.data());
        ReadSourceRow(*down, y, b.data());
        ASSERT_EQ(a, b) << y;
    }
}

// Whole images that a library hands over bottom row first (MrSID's, on
// most platforms) are kept as they are and read through FlipRows: rows and
// the preview must come out top row first all the same. A JPEG is held
// whole, so its picture stands in for such a library's.
TEST_F(SourceImage, FlipRowsReadsAPictureStoredBottomUpInImageOrder) {
    const std::string jpeg = std::string(TESSARY_TEST_DATA) + "/jpeg/video-001.jpeg";
    SourceHandle plain = OpenSourceImageOrNull(jpeg);
    SourceHandle flipped = OpenSourceImageOrNull(jpeg);
    ASSERT_TRUE(plain && flipped);
    ASSERT_TRUE(plain->Bitmap && flipped->Bitmap);
    ASSERT_FALSE(plain->FlipRows);
    flipped->Bitmap->FlipVertically();
    flipped->FlipRows = true;

    const size_t width = size_t(plain->Width);
    std::vector<uint8_t> a(width), b(width);
    ReadSourceRow(*plain, 0, a.data());
    ReadSourceRow(*plain, plain->Height - 1, b.data());
    ASSERT_NE(a, b) << "the picture must differ between top and bottom";
    for (int y = 0; y < plain->Height; ++y) {
        ReadSourceRow(*plain, y, a.data());
        ReadSourceRow(*flipped, y, b.data());
        ASSERT_EQ(a, b) << y;
    }
    std::vector<uint8_t> untouched(width, 0x5A);
    b = untouched;
    ReadSourceRow(*flipped, flipped->Height, b.data());
    EXPECT_EQ(b, untouched);

    Picture plainPreview, flippedPreview;
    DrawSourcePreview(plainPreview, *plain, 64, 32);
    DrawSourcePreview(flippedPreview, *flipped, 64, 32);
    ASSERT_EQ(flippedPreview.Height(), 32);
    for (int y = 0; y < 32; ++y)
        ASSERT_EQ(std::memcmp(plainPreview.Row(y), flippedPreview.Row(y), 64 * 3), 0) << y;
}

TEST_F(SourceImage, PreviewHasTheAskedSizeAndCloseClears) {
    SourceHandle image = OpenSourceImageOrNull(kBmp + "pal8.bmp");
    ASSERT_TRUE(image);
    Picture preview;
    DrawSourcePreview(preview, *image, 130, 65);
    EXPECT_EQ(preview.Width(), 130);
    EXPECT_EQ(preview.Height(), 65);
    EXPECT_EQ(preview.BitsPerPixel(), 24);
    // Dropping rows and columns: the corner pixel is the image's corner.
    uint8_t expected[3];
    PixelColour(*LoadBmpBitmap(kBmp + "pal8.bmp"), 0, 0, expected);
    EXPECT_EQ(std::memcmp(preview.Row(0), expected, 3), 0);
    CloseSourceImage(image);
    EXPECT_FALSE(image);
    CloseSourceImage(image);  // none stays none
}

}  // namespace
}  // namespace tessary
