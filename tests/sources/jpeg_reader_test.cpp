#include "sources/jpeg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/zlib_stream.h"
#include "sources/image_expectations.h"
#include "sources/source_image.h"
#include "sources/whole_image_limit.h"
#include "support/temp_folder.h"
#include "support/unprivileged.h"

namespace tessary {
namespace {

using test::CorpusFolder;
using test::ReadFile;
using test::TestData;

std::vector<uint8_t> PictureRgb(const Picture& picture) {
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(picture.Width()) * size_t(picture.Height()) * 3);
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x) {
            uint8_t bgr[3];
            PixelColour(picture, x, y, bgr);
            rgb.insert(rgb.end(), {bgr[2], bgr[1], bgr[0]});
        }
    return rgb;
}

size_t DistinctColours(const std::vector<uint8_t>& rgb) {
    std::set<uint32_t> colours;
    for (size_t i = 0; i < rgb.size(); i += 3)
        colours.insert(uint32_t(rgb[i]) << 16 | uint32_t(rgb[i + 1]) << 8 | rgb[i + 2]);
    return colours.size();
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

bool IsFourInk(const std::string& name) {
    return name.find("cmyk") != std::string::npos;
}

// Colour files come out 8-bit with at most 256 colours; four-ink files as
// 24-bit colour (the quantiser works on three components).
void ExpectDepth(const Picture& picture, const std::string& name) {
    if (IsFourInk(name)) {
        EXPECT_EQ(picture.BitsPerPixel(), 24);
    } else {
        EXPECT_EQ(picture.BitsPerPixel(), 8);
        EXPECT_LE(DistinctColours(PictureRgb(picture)), 256u);
    }
}

// Full comparison with the independent decode. It decodes with the accurate
// DCT and no quantisation; this reader with the fast DCT and 256 colours
// without dithering, so pixels differ by small amounts, more on sharp edges.
TEST(JpegReader, PixelsStayCloseToAnIndependentDecode) {
    const std::map<std::string, int> files = {
        {"video-001.jpeg", 150}, {"video-005.gray.jpeg", 150}, {"video-001.cmyk.jpeg", 150}};
    for (const auto& [name, width] : files) {
        SCOPED_TRACE(name);
        std::optional<Picture> picture = LoadJpegBitmap(TestData("jpeg/" + name));
        ASSERT_TRUE(picture);
        ASSERT_EQ(picture->Width(), width);
        ASSERT_EQ(picture->Height(), 103);
        ExpectDepth(*picture, name);

        const std::string packed = ReadFile(TestData("jpeg/" + name + ".rgb.z"));
        std::vector<uint8_t> expected(size_t(width) * 103 * 3);
        ASSERT_EQ(InflateStream(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(),
                                expected.data(), expected.size()),
                  expected.size());
        const std::vector<uint8_t> actual = PictureRgb(*picture);
        std::vector<int> worst;  // per pixel, the largest channel difference
        long total = 0;
        for (size_t i = 0; i < actual.size(); i += 3) {
            int d = 0;
            for (size_t c = 0; c < 3; ++c) {
                int diff = std::abs(int(actual[i + c]) - int(expected[i + c]));
                total += diff;
                d = std::max(d, diff);
            }
            worst.push_back(d);
        }
        std::sort(worst.begin(), worst.end());
        EXPECT_LE(double(total) / double(actual.size()), 6.0);
        EXPECT_LE(worst[worst.size() * 99 / 100], 32);
        EXPECT_LE(worst.back(), 64);
    }
}

// Block means (16 x 16) of every file the independent decoder accepts. A
// quantised block without dithering can sit a few levels off on average.
int CompareBlockMeans(const std::string& folder) {
    int compared = 0;
    for (const test::ExpectedDecode& e : test::ReadExpected(TestData("jpeg/expected.txt"))) {
        const std::string path = folder + "/" + e.file;
        if (!std::filesystem::exists(path)) continue;
        SCOPED_TRACE(e.file);
        std::optional<Picture> picture = LoadJpegBitmap(path);
        EXPECT_TRUE(picture);
        if (!picture) continue;
        ++compared;
        EXPECT_EQ(picture->Width(), e.width);
        EXPECT_EQ(picture->Height(), e.height);
        ExpectDepth(*picture, e.file);
        if (picture->Width() != e.width || picture->Height() != e.height) continue;

        const std::vector<uint8_t> rgb = PictureRgb(*picture);
        int worst = 0;
        size_t block = 0;
        for (int by = 0; by < e.height; by += 16)
            for (int bx = 0; bx < e.width; bx += 16, ++block) {
                long sums[3] = {0, 0, 0};
                long n = 0;
                for (int y = by; y < std::min(by + 16, e.height); ++y)
                    for (int x = bx; x < std::min(bx + 16, e.width); ++x, ++n)
                        for (int c = 0; c < 3; ++c)
                            sums[c] += rgb[(size_t(y) * size_t(e.width) + size_t(x)) * 3 + size_t(c)];
                for (int c = 0; c < 3; ++c) {
                    int mean = int((sums[c] + n / 2) / n);
                    int expected = std::stoi(e.check.substr((block * 3 + size_t(c)) * 2, 2), nullptr, 16);
                    worst = std::max(worst, std::abs(mean - expected));
                }
            }
        EXPECT_LE(worst, 12);
    }
    return compared;
}

TEST(JpegReader, CommittedFilesMatchTheIndependentDecodeBlockByBlock) {
    EXPECT_GE(CompareBlockMeans(TestData("jpeg")), 6);
}

TEST(JpegReader, EveryCorpusFileTheIndependentDecoderAcceptsLoads) {
    const std::string corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "image corpus not present";
    EXPECT_GE(CompareBlockMeans(corpus + "/jpeg"), 28);
}

TEST(JpegReader, OpensThroughTheSourceInterfaceAsPalettisedPicture) {
    std::string whyNot;
    SourceHandle colour = test::OpenLoaded(TestData("jpeg/hopper.jpg"), &whyNot);
    ASSERT_TRUE(colour) << whyNot;
    EXPECT_EQ(colour->Extension, ".bmp");
    EXPECT_EQ(colour->BytesPerPixel, 1);
    EXPECT_EQ(colour->Width, 128);

    // A grey file: its palette is the decoder's single colour map, so every
    // entry is a grey level.
    SourceHandle grey = test::OpenLoaded(TestData("jpeg/hopper_gray.jpg"), &whyNot);
    ASSERT_TRUE(grey) << whyNot;
    EXPECT_EQ(grey->BytesPerPixel, 1);
    std::set<int> levels;
    for (const PaletteEntry& e : grey->Palette) {
        EXPECT_EQ(e.red, e.green);
        EXPECT_EQ(e.green, e.blue);
        levels.insert(e.red);
    }
    EXPECT_GT(levels.size(), 100u);  // a real grey ramp, not a few levels

    // The inspector: header size, 1 byte per pixel for colour and grey, 3
    // for four-ink files (which load as 24-bit colour).
    SourceImageInfo info = GetSourceImageInfo(TestData("jpeg/hopper.jpg"));
    EXPECT_EQ(info.width, 128);
    EXPECT_EQ(info.height, 128);
    EXPECT_EQ(info.bytesPerPixel, 1);
    EXPECT_EQ(GetJpegInfo(TestData("jpeg/hopper_gray.jpg")).bytesPerPixel, 1);
    EXPECT_EQ(GetJpegInfo(TestData("jpeg/video-001.cmyk.jpeg")).bytesPerPixel, 3);
}

TEST(JpegReader, CorruptTruncatedAndUnsupportedFilesGiveNoPictureSilently) {
    const std::string whole = ReadFile(TestData("jpeg/video-001.jpeg"));
    const std::string cut = WriteTemp("tessary-cut.jpg", whole.substr(0, whole.size() / 2));
    const std::string headerOnly = WriteTemp("tessary-header-only.jpg", whole.substr(0, 600));
    const std::string garbage =
        WriteTemp("tessary-garbage.jpg", std::string("\xff\xd8\xff\xe0", 4) + std::string(300, 'x'));
    const std::string empty = WriteTemp("tessary-empty.jpg", "");
    const std::string missing = (std::filesystem::temp_directory_path() / "tessary-no-such.jpg").string();

    testing::internal::CaptureStderr();
    for (const std::string& path : {cut, headerOnly, garbage, empty, missing, TestData("jpeg/testorig12.jpg"),
                                    TestData("jpeg/bad/truncated_jpeg.jpg")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(LoadJpegBitmap(path));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // nothing printed

    // As a source the cut file is damaged, not silently whole: its rows from
    // the cut on are counted with libjpeg's reason. Garbage is refused with
    // libjpeg's reason.
    SourceOpenResult result = OpenSourceImage(cut);
    ASSERT_TRUE(std::holds_alternative<SourceHandle>(result));
    const Timagerecord4& damaged = *std::get<SourceHandle>(result);
    EXPECT_GT(damaged.Damage.rows, 0);
    EXPECT_LT(damaged.Damage.rows, damaged.Height);
    EXPECT_EQ(damaged.Damage.firstDetail.rfind("Premature end of JPEG file, from row ", 0), 0u)
        << damaged.Damage.firstDetail;
    // Its rows are not handed over as the image unless damage is accepted.
    std::vector<uint8_t> row(size_t(damaged.Width));
    Timagerecord4& reading = *std::get<SourceHandle>(result);
    EXPECT_THROW(ReadSourceRow(reading, 0, row.data()), SourceError);
    reading.Damage.keepGoing = true;
    const int64_t counted = reading.Damage.rows;
    ReadSourceRow(reading, reading.Height - 1, row.data());
    EXPECT_EQ(reading.Damage.rows, counted);
    result = OpenSourceImage(garbage);
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceNotLoadable);
    EXPECT_NE(std::get<SourceFailure>(result).detail, "");

    // The inspector reads only the header: a cut file still tells its size;
    // garbage and missing files give 0 x 0.
    EXPECT_EQ(GetJpegInfo(cut).width, 150);
    for (const std::string& path : {garbage, empty, missing}) {
        SourceImageInfo info = GetJpegInfo(path);
        EXPECT_EQ(info.width, 0) << path;
        EXPECT_EQ(info.height, 0) << path;
        EXPECT_EQ(info.bytesPerPixel, 1) << path;
    }
    for (const std::string& path : {cut, headerOnly, garbage, empty}) std::filesystem::remove(path);
}

TEST(JpegReader, JpegExtensionOpensLikeJpg) {
    const std::string path = WriteTemp("tessary-long-name.JPEG", ReadFile(TestData("jpeg/video-001.jpeg")));
    SourceHandle handle = OpenSourceImageOrNull(path);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->Width, 150);
    EXPECT_EQ(handle->BytesPerPixel, 1);
    EXPECT_EQ(GetSourceImageInfo(path).width, 150);
    std::filesystem::remove(path);
}

// The size a frame header states, as a copy of `bytes` stating `size` x
// `size` pixels.
std::string StatingSize(std::string bytes, uint16_t size) {
    for (size_t i = 0; i + 9 < bytes.size(); ++i) {
        const uint8_t marker = uint8_t(bytes[i + 1]);
        if (uint8_t(bytes[i]) == 0xFF && (marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9)) {
            for (size_t at : {i + 5, i + 7}) {  // height, then width
                bytes[at] = char(size >> 8);
                bytes[at + 1] = char(size & 0xFF);
            }
            return bytes;
        }
    }
    ADD_FAILURE() << "no frame header";
    return bytes;
}

SourceFailure OpenFailure(const std::string& path) {
    SourceOpenResult result = OpenSourceImage(path);
    if (!std::holds_alternative<SourceFailure>(result)) {
        ADD_FAILURE() << path << " opened";
        return {};
    }
    return std::get<SourceFailure>(result);
}

// A 21 KB baseline file stating 30,000 x 30,000 pixels took 3.5 GB and 17 s
// before failing, its progressive twin 7.9 GB: libjpeg makes up every block
// the data lacks. Huffman data spends at least a bit per block (two in a
// sequential file), so the stated size is weighed against the file's size
// before anything is allocated, whatever the machine's memory.
TEST(JpegReader, AStatedSizeTheCodedDataCannotHoldIsRefusedWithItsReason) {
    struct Case {
        std::string path;
        std::string reason;
    };
    test::TempFolder temp("tessary_jpeg_bombs");
    const Case cases[] = {
        {TestData("jpeg/bad/stated_30000_baseline.jpg"),
         "a picture of 30,000 x 30,000 pixels needs at least 10,546,875 bytes of coded data; the file has 21,459"},
        {TestData("jpeg/bad/stated_30000_progressive.jpg"),
         "a picture of 30,000 x 30,000 pixels needs at least 2,636,719 bytes of coded data; the file has 3,279"},
        // Grey: one component, 14 million blocks.
        {temp.Write("grey.jpg", StatingSize(ReadFile(TestData("jpeg/hopper_gray.jpg")), 30000)),
         "a picture of 30,000 x 30,000 pixels needs at least 3,515,625 bytes of coded data; the file has 5,353"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const SourceFailure failure = OpenFailure(c.path);
        EXPECT_EQ(failure, SourceOpenError::SourceNotLoadable);
        EXPECT_EQ(failure.detail, c.reason);
        // The header still tells the list the size it states.
        EXPECT_EQ(GetJpegInfo(c.path).width, 30000);
    }
    // Files of their true size are far inside the bound and load.
    for (const char* name : {"jpeg/video-001.jpeg", "jpeg/video-001.q50.420.progressive.jpeg", "jpeg/hopper_gray.jpg"})
        EXPECT_TRUE(OpenSourceImageOrNull(TestData(name))) << name;
}

// Arithmetic coding can code a plain block in a fraction of a bit, so its
// file size bounds nothing: the whole-image limit weighs it, the picture and
// libjpeg's whole-image buffer for the quantiser, before libjpeg allocates.
TEST(JpegReader, ArithmeticCodedFilesAreWeighedByTheWholeImageLimit) {
    test::TempFolder temp("tessary_jpeg_limit");
    const std::string path = temp.Write("ari.jpg", StatingSize(ReadFile(TestData("jpeg/testimgari.jpg")), 60000));
    SetWholeImageLimit(uint64_t(1) << 30);
    const SourceFailure failure = OpenFailure(path);
    SetWholeImageLimit(std::nullopt);
    EXPECT_EQ(failure, SourceOpenError::SourceNotLoadable);
    EXPECT_NE(failure.detail.find("60,000 x 60,000 pixels needs more than the"), std::string::npos)
        << failure.detail;
}

// The reason under "could not be fully loaded in memory" says what is wrong
// with the file instead of only that it could not be opened.
TEST(JpegReader, AFileThatCannotBeReadSaysWhy) {
    test::TempFolder temp("tessary_jpeg_reasons");
    EXPECT_EQ(OpenFailure(temp.Write("empty.jpg", "")).detail, "file is empty");

    const std::string locked = temp.Write("locked.jpg", ReadFile(TestData("jpeg/hopper.jpg")));
    std::filesystem::permissions(temp.Path(), std::filesystem::perms::all & ~std::filesystem::perms::others_write &
                                                  ~std::filesystem::perms::group_write);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    test::ScopedUnprivileged unprivileged;
    if (!unprivileged.PermissionsApply()) GTEST_SKIP() << "permissions do not apply to this user";
    const SourceFailure failure = OpenFailure(locked);
    EXPECT_EQ(failure, SourceOpenError::SourceNotLoadable);
    EXPECT_EQ(failure.detail, "Permission denied");
}

TEST(JpegReader, MalformedCorpusFilesAreRefusedUnlessTheirImageDataIsIntact) {
    const std::string corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "image corpus not present";
    // Damage in marker segments only (junk between markers, cut application
    // segments), or a progressive file that ends properly after fewer scans:
    // the independent decoder accepts these as well.
    const std::set<std::string> intact = {"junk_jpeg_header.jpg", "photoshop-200dpi-broken.jpg",
                                          "truncated_app14.jpg", "video-001.progressive.truncated.jpeg"};
    for (const std::string& path : test::FilesIn(corpus + "/bad/jpeg")) {
        const std::string name = std::filesystem::path(path).filename().string();
        EXPECT_EQ(LoadJpegBitmap(path).has_value(), intact.count(name) == 1) << name;
    }
}

}  // namespace
}  // namespace tessary
