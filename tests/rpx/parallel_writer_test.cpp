// The RPX2 writer with worker threads against the writer alone: the same
// file, the same progress texts and pumps, the same abort and error points.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "rpx/rpx2_writer.h"
#include "rpx/rpx_test_support.h"
#include "support/fake_rows.h"

namespace tessary {
namespace {

using rpxtest::Bytes;
using rpxtest::Raster;

// A level of `width` x `height` indices in memory; raises at `failRow`.
SourceHandle LevelSource(const Raster& raster, int failRow = -1) {
    return test::FakeRowsSource("level", raster.width, raster.height, 1, raster.palette,
                                [&raster, failRow](int row, uint8_t* buffer) {
                                    if (row == failRow) throw EDecompressionError();
                                    std::copy_n(raster.pixels.data() + size_t(row) * size_t(raster.width),
                                                raster.width, buffer);
                                });
}

struct Outcome {
    Bytes file;
    std::vector<std::string> texts;
    int pumps = 0;
    bool finished = false;
    std::string error;
};

// Writes a header and the given levels with `threads` threads; stops at
// the first level that returns false or raises.
Outcome Write(const rpxtest::TempFolder& temp, const std::vector<Raster>& levels, unsigned threads,
              int abortAtPump = -1, int failRow = -1) {
    rpxtest::RecordingProgress progress;
    progress.abortAtPump = abortAtPump;
    RunContext context;
    context.tempFolder = FolderPath(temp.Path(""));
    context.observer = &progress;
    context.abort = &progress.abort;
    context.threads = threads;
    const std::string path = temp.Path("out_" + std::to_string(threads) + ".rpx2");
    Outcome outcome;
    {
        Rpx2Writer writer(CheckedFile(path, CheckedFile::Mode::Create), context);
        std::vector<float> scales = {100.0f, 50.0f, 25.0f, 10.0f, 5.0f};
        scales.resize(levels.size());
        WriteRpx2Header(writer, levels[0].width, levels[0].height, false, rpxtest::ScalesFor(scales));
        try {
            outcome.finished = true;
            for (const Raster& level : levels) {
                SourceHandle source = LevelSource(level, failRow);
                if (!WriteRpx2Level(writer, *source)) {
                    outcome.finished = false;
                    break;
                }
            }
            if (outcome.finished) WriteRpx2Trailer(writer);
        } catch (const EDecompressionError&) {
            outcome.finished = false;
            outcome.error = "decompression";
        }
        writer.Close();
    }
    outcome.file = rpxtest::ReadBytes(path);
    outcome.texts = progress.texts;
    outcome.pumps = progress.pumps;
    return outcome;
}

std::vector<Raster> Levels() {
    // Sides that are not multiples of 64, several bands and tiles per band,
    // one level narrower than a tile.
    return {rpxtest::RandomRaster(900, 530, 200, 7), rpxtest::RandomRaster(450, 265, 60, 8),
            rpxtest::RandomRaster(45, 300, 30, 9, false)};
}

TEST(ParallelRpx2Writer, FileTextsAndPumpsMatchTheWriterAlone) {
    rpxtest::TempFolder temp;
    const std::vector<Raster> levels = Levels();
    const Outcome alone = Write(temp, levels, 1);
    ASSERT_TRUE(alone.finished);
    EXPECT_TRUE(rpxtest::CheckRpx2Layout(alone.file, false, {100.0f, 50.0f, 25.0f}, levels));
    for (unsigned threads : {2u, 3u, 8u}) {
        const Outcome many = Write(temp, levels, threads);
        ASSERT_TRUE(many.finished) << threads;
        EXPECT_TRUE(many.file == alone.file) << threads << " threads";
        EXPECT_EQ(many.texts, alone.texts) << threads;
        EXPECT_EQ(many.pumps, alone.pumps) << threads;
    }
}

TEST(ParallelRpx2Writer, AbortStopsAtTheSamePumpWithTheSameBytes) {
    rpxtest::TempFolder temp;
    const std::vector<Raster> levels = Levels();
    // Inside the first band, at a band's end, and in the second level.
    for (int abortAt : {5, 30, 35, 180}) {
        const Outcome alone = Write(temp, levels, 1, abortAt);
        const Outcome many = Write(temp, levels, 4, abortAt);
        EXPECT_FALSE(alone.finished) << abortAt;
        EXPECT_FALSE(many.finished) << abortAt;
        EXPECT_TRUE(many.file == alone.file) << "abort at pump " << abortAt;
        EXPECT_EQ(many.texts, alone.texts) << abortAt;
        EXPECT_EQ(many.pumps, alone.pumps) << abortAt;
    }
}

TEST(ParallelRpx2Writer, ARowErrorAheadIsRaisedWhereTheWriterAloneMeetsIt) {
    rpxtest::TempFolder temp;
    const std::vector<Raster> levels = {rpxtest::RandomRaster(900, 530, 200, 7)};
    // Row 200 lies in the fourth band: the threaded writer reads it while
    // the third band is still being written, and must not raise before the
    // third band's tiles are in the file.
    const Outcome alone = Write(temp, levels, 1, -1, 200);
    const Outcome many = Write(temp, levels, 3, -1, 200);
    EXPECT_EQ(alone.error, "decompression");
    EXPECT_EQ(many.error, "decompression");
    EXPECT_GT(many.file.size(), 3u * 15u * 10u);
    EXPECT_TRUE(many.file == alone.file);
    EXPECT_EQ(many.texts, alone.texts);
    EXPECT_EQ(many.pumps, alone.pumps);
}

}  // namespace
}  // namespace tessary
