#include "raster/scratch_raster.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "common/zlib_stream.h"
#include "engine/source_rows.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

class ScratchRaster : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tessary_scratch_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

Palette TestPalette() {
    Palette p{};
    for (int i = 0; i < 256; ++i) p[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0};
    return p;
}

uint8_t Pixel(int x, int y) {
    return uint8_t((x * 7 + y * 13) ^ (y >> 3));
}

void WriteRaster(const std::string& path, int width, int height) {
    ScratchRasterWriter writer(path, width, height, TestPalette());
    std::vector<uint8_t> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) row[x] = Pixel(x, y);
        writer.AppendRow(row.data());
    }
    writer.Finish();
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void PutFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The offset table at the end of the file, unscrambled.
std::vector<uint32_t> Table(const std::vector<uint8_t>& file, int height) {
    size_t start = file.size() - 4 * (size_t(height) + 1);
    std::vector<uint32_t> out;
    for (size_t i = 0; i <= size_t(height); ++i) {
        uint8_t b[4];
        for (size_t k = 0; k < 4; ++k) b[k] = file[start + 4 * i + k] ^ kScratchKey[(4 * i + k) % 8];
        out.push_back(ReadU32LE(b));
    }
    return out;
}

TEST_F(ScratchRaster, RoundTripsRowsAndPaletteThroughTheSourceInterface) {
    WriteRaster(PathOf("rpx_0.RPX0"), 37, 11);
    AddEngineSourceRows();
    SourceHandle image = OpenSourceImageOrNull(PathOf("rpx_0.RPX0"));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Extension, ".rpx0");
    EXPECT_EQ(image->Width, 37);
    EXPECT_EQ(image->Height, 11);
    EXPECT_EQ(image->BytesPerPixel, 1);
    EXPECT_EQ(image->Palette, TestPalette());
    std::vector<uint8_t> row(37);
    for (int y = 10; y >= 0; --y) {  // any order
        ReadSourceRow(*image, y, row.data());
        for (int x = 0; x < 37; ++x) ASSERT_EQ(row[x], Pixel(x, y)) << x << "," << y;
    }
    std::vector<uint8_t> untouched(37, 0xEE);
    ReadSourceRow(*image, 11, untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(37, 0xEE));
}

TEST_F(ScratchRaster, RowBeyondTheHeightReadsFalseAndLeavesTheBuffer) {
    WriteRaster(PathOf("a.rpx0"), 5, 3);
    ScratchRasterReader reader(PathOf("a.rpx0"));
    std::vector<uint8_t> buffer(5, 0xAB);
    EXPECT_TRUE(reader.ReadScratchRow(2, buffer.data()));
    buffer.assign(5, 0xAB);
    EXPECT_FALSE(reader.ReadScratchRow(3, buffer.data()));
    EXPECT_FALSE(reader.ReadScratchRow(-1, buffer.data()));
    EXPECT_EQ(buffer, std::vector<uint8_t>(5, 0xAB));
}

TEST_F(ScratchRaster, OneRowRasterHasATwoEntryTable) {
    WriteRaster(PathOf("one.rpx0"), 9, 1);
    std::vector<uint8_t> file = FileBytes(PathOf("one.rpx0"));
    std::vector<uint32_t> table = Table(file, 1);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0], 1032u);
    EXPECT_EQ(table[1], file.size() - 8);
    // The stream between the two entries is the whole row.
    std::vector<uint8_t> row(9);
    EXPECT_EQ(InflateStream(file.data() + table[0], table[1] - table[0], row.data(), row.size()), 9u);
    EXPECT_EQ(row[4], Pixel(4, 0));
}

TEST_F(ScratchRaster, UnscrambledTableIsStrictlyIncreasingFromHeadToTable) {
    const int height = 40;
    WriteRaster(PathOf("t.rpx0"), 23, height);
    std::vector<uint8_t> file = FileBytes(PathOf("t.rpx0"));
    EXPECT_EQ(ReadI32LE(file.data()), 23);
    EXPECT_EQ(ReadI32LE(file.data() + 4), height);
    std::vector<uint32_t> table = Table(file, height);
    EXPECT_EQ(table.front(), 1032u);
    EXPECT_EQ(table.back(), file.size() - 4 * (height + 1));
    for (size_t i = 1; i < table.size(); ++i) EXPECT_LT(table[i - 1], table[i]) << i;
}

TEST_F(ScratchRaster, RowPointingPastTheFileReadsZerosWhileOthersRead) {
    const int height = 4;
    WriteRaster(PathOf("p.rpx0"), 6, height);
    std::vector<uint8_t> file = FileBytes(PathOf("p.rpx0"));
    // Entry 2 (the end of row 1, the start of row 2) points far past the end.
    size_t start = file.size() - 4 * (height + 1);
    for (size_t entry : {size_t(2)}) {
        uint8_t b[4];
        WriteU32LE(b, uint32_t(file.size() + 1000));
        for (size_t k = 0; k < 4; ++k) file[start + 4 * entry + k] = b[k] ^ kScratchKey[(4 * entry + k) % 8];
    }
    PutFileBytes(PathOf("p.rpx0"), file);
    ScratchRasterReader reader(PathOf("p.rpx0"));
    std::vector<uint8_t> row(6, 0x77);
    EXPECT_FALSE(reader.ReadScratchRow(1, row.data()));
    EXPECT_EQ(row, std::vector<uint8_t>(6, 0));
    row.assign(6, 0x77);
    EXPECT_FALSE(reader.ReadScratchRow(2, row.data()));
    EXPECT_EQ(row, std::vector<uint8_t>(6, 0));
    for (int y : {0, 3}) {
        EXPECT_TRUE(reader.ReadScratchRow(y, row.data())) << y;
        EXPECT_EQ(row[5], Pixel(5, y)) << y;
    }
}

TEST_F(ScratchRaster, NonPositiveHeaderSizesReadAsNoRows) {
    WriteRaster(PathOf("h.rpx0"), 4, 2);
    std::vector<uint8_t> file = FileBytes(PathOf("h.rpx0"));
    for (int32_t bad : {0, -1, INT32_MIN}) {
        for (int field : {0, 4}) {
            std::vector<uint8_t> copy = file;
            WriteI32LE(copy.data() + field, bad);
            PutFileBytes(PathOf("bad.rpx0"), copy);
            ScratchRasterReader reader(PathOf("bad.rpx0"));
            EXPECT_EQ(reader.Height(), 0);
            std::vector<uint8_t> row(8, 0x11);
            EXPECT_FALSE(reader.ReadScratchRow(0, row.data()));
            EXPECT_EQ(row, std::vector<uint8_t>(8, 0x11));
        }
    }
    // A height whose table cannot fit the file reads as no rows too.
    std::vector<uint8_t> copy = file;
    WriteI32LE(copy.data() + 4, 0x7FFFFFFF);
    PutFileBytes(PathOf("tall.rpx0"), copy);
    EXPECT_EQ(ScratchRasterReader(PathOf("tall.rpx0")).Height(), 0);
}

TEST_F(ScratchRaster, TallRasterRoundTrips) {
    const int height = 250000;
    WriteRaster(PathOf("tall.rpx0"), 3, height);
    ScratchRasterReader reader(PathOf("tall.rpx0"));
    ASSERT_EQ(reader.Height(), height);
    std::vector<uint8_t> row(3);
    for (int y = 0; y < height; ++y) {
        ASSERT_TRUE(reader.ReadScratchRow(y, row.data())) << y;
        ASSERT_EQ(row[0], Pixel(0, y)) << y;
        ASSERT_EQ(row[2], Pixel(2, y)) << y;
    }
}

TEST_F(ScratchRaster, RgbSpoolRoundTripsInOrder) {
    const int width = 17, height = 9;
    {
        RowSpoolWriter writer(PathOf("temp.rpx0"), width);
        std::vector<uint8_t> row(width * 3);
        for (int y = 0; y < height; ++y) {
            for (int i = 0; i < width * 3; ++i) row[i] = uint8_t(i * y + 1);
            writer.AppendRow(row.data());
        }
        writer.Finish();
    }
    RowSpoolReader reader(PathOf("temp.rpx0"), width);
    std::vector<uint8_t> row(width * 3);
    for (int y = 0; y < height; ++y) {
        reader.NextRow(row.data());
        for (int i = 0; i < width * 3; ++i) ASSERT_EQ(row[i], uint8_t(i * y + 1));
    }
    EXPECT_THROW(reader.NextRow(row.data()), IoError);
}

TEST_F(ScratchRaster, FirstRowsAreStoredThenDeflatedAlikeForAnyThreadCount) {
    // With room for three 1,000-byte rows stored, rows 0 to 2 are stored
    // blocks and every later row (the short last one too) goes to the
    // deflater; each
    // stream is a zlib stream of its row, and the streams do not depend on
    // the number of threads.
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < 12; ++y) {
        std::vector<uint8_t> row(y == 11 ? 10 : 1000);
        for (size_t x = 0; x < row.size(); ++x) row[x] = Pixel(int(x) / 9, y);
        rows.push_back(row);
    }
    std::vector<std::vector<uint8_t>> byThreads[2];
    for (unsigned threads : {1u, 3u}) {
        auto& streams = byThreads[threads == 1 ? 0 : 1];
        ScratchRowCompressor compressor(
            threads, [&](const std::vector<uint8_t>& stream) { streams.push_back(stream); }, 3500);
        for (const auto& row : rows) compressor.Append(row.data(), row.size());
        compressor.Flush();
        ASSERT_EQ(streams.size(), rows.size());
        for (size_t y = 0; y < rows.size(); ++y) {
            const auto& stream = streams[y];
            ASSERT_GT(stream.size(), 3u);
            const int blockType = (stream[2] >> 1) & 3;
            if (y < 3) {
                EXPECT_EQ(blockType, 0) << y;                 // stored
                EXPECT_EQ(stream.size(), rows[y].size() + 11) << y;  // head, block head, checksum
            } else if (y < 11) {  // (libdeflate stores a row of a few bytes anyway)
                EXPECT_NE(blockType, 0) << y;
                EXPECT_LT(stream.size(), rows[y].size() / 2) << y;
            }
            std::vector<uint8_t> back(rows[y].size());
            EXPECT_EQ(InflateStream(stream.data(), stream.size(), back.data(), back.size()), rows[y].size());
            EXPECT_EQ(back, rows[y]) << y;
        }
    }
    EXPECT_EQ(byThreads[0], byThreads[1]);

    // A small raster keeps every row stored: the file holds every pixel as is.
    WriteRaster(PathOf("small.rpx0"), 300, 40);
    EXPECT_GT(FileBytes(PathOf("small.rpx0")).size(), size_t(kScratchHeaderSize) + 300 * 40);
}

}  // namespace
}  // namespace tessary
