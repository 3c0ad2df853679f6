// The raster passes with worker threads against the passes alone: the same
// scratch files byte for byte, the same progress texts and pumps; and the
// fast row codec against zlib.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/zlib_stream.h"
#include "raster/colour_reduction.h"
#include "raster/raster_test_support.h"
#include "raster/zoom_level.h"
#include "rpx/rpx_test_support.h"

namespace tessary {
namespace {

using testing::MemorySource24;
using testing::RecordingObserver;
using testing::ScratchSource;
using testing::TempFolder;

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Map-like: flat areas, lines, a noisy corner (many distinct colours).
void MapPixel(int x, int y, uint8_t* bgr) {
    static const uint8_t kAreas[][3] = {{200, 230, 210}, {120, 200, 140}, {230, 200, 150}, {90, 90, 200}};
    const uint8_t* c = kAreas[((x / 37) + (y / 29) * 3) % 4];
    const bool line = (x + 2 * y) % 53 < 2;
    const uint32_t h = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
    const int noise = (x > 200 && y > 150) ? int((h >> 11) % 31) - 15 : 0;
    for (int k = 0; k < 3; ++k) {
        const int v = line ? 40 + 20 * k : c[k] + noise;
        bgr[k] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

struct PassRun {
    std::vector<uint8_t> output;
    std::vector<testing::ObserverEvent> events;
    int64_t pumps = 0;
    bool finished = false;
    ZoomLevelStats stats;
};

RunContext ContextFor(const TempFolder& folder, RecordingObserver& observer, std::atomic<bool>& abort,
                      unsigned threads) {
    RunContext context;
    context.tempFolder = FolderPath(folder.Folder());
    context.observer = &observer;
    context.abort = &abort;
    observer.abort = &abort;
    context.threads = threads;
    return context;
}

PassRun Reduce(unsigned threads, const std::string& abortOn = "") {
    TempFolder folder;
    RecordingObserver observer;
    observer.abortOn = abortOn;
    std::atomic<bool> abort{false};
    RunContext context = ContextFor(folder, observer, abort, threads);
    SourceHandle source = MemorySource24(333, 271, MapPixel);
    PassRun run;
    run.finished = ReduceColorsPass(context, *source);
    if (run.finished) run.output = FileBytes(folder.File("rpx_0.rpx0"));
    run.events = observer.events;
    run.pumps = observer.pumps;
    return run;
}

PassRun Level(unsigned threads, bool fromScratch, double percent, const std::string& abortOn = "") {
    TempFolder folder;
    RecordingObserver observer;
    observer.abortOn = abortOn;
    std::atomic<bool> abort{false};
    RunContext context = ContextFor(folder, observer, abort, threads);
    Palette palette{};
    for (int i = 0; i < 40; ++i)
        palette[size_t(i)] = PaletteEntry{uint8_t(i * 6), uint8_t(255 - i * 5), uint8_t(i * i % 256), 0};
    SourceHandle source =
        fromScratch ? ScratchSource(folder.File("source.rpx0"), 701, 509, palette,
                                    [](int x, int y) {
                                        return uint8_t(((x / 13) * 7 + (y / 11) * 3 + (x * y) % 5) % 40);
                                    })
                    : MemorySource24(701, 509, MapPixel);
    DominantColourTable dominant;
    for (int i = 0; i < kDominantColourCount; ++i)
        dominant.entries[size_t(i)] = PaletteEntry{uint8_t(i), 0, 0, 0};
    PassRun run;
    run.finished = BuildZoomLevel(context, 1, *source, kZoomLevelColourLimit, percent, dominant, &run.stats);
    if (run.finished) run.output = FileBytes(folder.File("rpx_1.rpx0"));
    run.events = observer.events;
    run.pumps = observer.pumps;
    return run;
}

void ExpectSameRun(const PassRun& alone, const PassRun& many, const std::string& what) {
    EXPECT_EQ(many.finished, alone.finished) << what;
    EXPECT_TRUE(many.output == alone.output) << what << ": the scratch raster differs";
    ASSERT_EQ(many.events.size(), alone.events.size()) << what;
    for (size_t i = 0; i < alone.events.size(); ++i) {
        EXPECT_EQ(many.events[i].slot, alone.events[i].slot) << what << " event " << i;
        EXPECT_EQ(many.events[i].text, alone.events[i].text) << what << " event " << i;
    }
    EXPECT_EQ(many.pumps, alone.pumps) << what;
}

TEST(ParallelRaster, ColourReductionIsTheSameForAnyThreadCount) {
    const PassRun alone = Reduce(1);
    ASSERT_TRUE(alone.finished);
    ASSERT_GT(alone.output.size(), size_t(kScratchHeaderSize));
    for (unsigned threads : {2u, 5u})
        ExpectSameRun(alone, Reduce(threads), std::to_string(threads) + " threads");
}

TEST(ParallelRaster, ZoomLevelsAreTheSameForAnyThreadCount) {
    // Shrinking from an indexed scratch raster (a zoom level), shrinking a
    // 24-bit source (an initial resize), and enlarging.
    for (bool fromScratch : {true, false}) {
        for (double percent : {25.0, 7.0, 130.0}) {
            const std::string what =
                std::string(fromScratch ? "indexed " : "24-bit ") + std::to_string(percent);
            const PassRun alone = Level(1, fromScratch, percent);
            ASSERT_TRUE(alone.finished) << what;
            const PassRun many = Level(3, fromScratch, percent);
            ExpectSameRun(alone, many, what);
            EXPECT_EQ(many.stats.rowsResampled, alone.stats.rowsResampled) << what;
            EXPECT_EQ(many.stats.peakCachedRows, alone.stats.peakCachedRows) << what;
        }
    }
}

TEST(ParallelRaster, AnAbortIsSeenAtTheSamePoint) {
    const PassRun reduceAlone = Reduce(1, "Pass 2 : 120 of 271");
    const PassRun reduceMany = Reduce(4, "Pass 2 : 120 of 271");
    EXPECT_FALSE(reduceAlone.finished);
    ExpectSameRun(reduceAlone, reduceMany, "reduction");

    for (const char* at : {"Pass 1 : 40 of 127", "Pass 2 : 60 of 127"}) {
        const PassRun alone = Level(1, true, 25.0, at);
        const PassRun many = Level(4, true, 25.0, at);
        EXPECT_FALSE(alone.finished) << at;
        ExpectSameRun(alone, many, at);
    }
}

// Every status text and pump in the order the window sees them: "P" for a
// pump, "<slot>:<text>" for a text.
class OrderedLog : public ProgressObserver {
public:
    void SetStatus(int slot, std::string_view text) override {
        entries.push_back(std::to_string(slot) + ":" + std::string(text));
    }
    void PumpEvents() override { entries.push_back("P"); }
    std::vector<std::string> entries;
};

// The window's event handlers run inside the pumps and may read the status
// bar, so each loop keeps the order of text and pump it has always had:
// the reduction pumps on every row and before each text; a zoom level shows
// the text first in pass 1 and pumps first in pass 2. The same for any
// number of threads.
TEST(ParallelRaster, EachPassKeepsItsOrderOfTextAndPump) {
    for (unsigned threads : {1u, 3u}) {
        TempFolder folder;
        OrderedLog log;
        RunContext context;
        context.tempFolder = FolderPath(folder.Folder());
        context.observer = &log;
        context.threads = threads;

        SourceHandle source = MemorySource24(40, 25, MapPixel);
        ASSERT_TRUE(ReduceColorsPass(context, *source));
        std::vector<std::string> expected = {"1:Reducing Colors", "P"};
        for (int i = 0; i < 25; ++i) {
            expected.push_back("P");
            if (i % 10 == 0) expected.push_back("2:Pass 1 : " + std::to_string(i) + " of 25");
        }
        for (int i = 0; i < 25; i += 10) {
            expected.push_back("P");
            expected.push_back("2:Pass 2 : " + std::to_string(i) + " of 25");
        }
        EXPECT_EQ(log.entries, expected) << threads << " threads, reduction";

        // 40 x 25 at 50 % is 20 x 12 (12.5 rounds to even); building the
        // contributor lists pumps once per column and once per row.
        log.entries.clear();
        ASSERT_TRUE(BuildZoomLevel(context, 1, *source, kZoomLevelColourLimit, 50.0, DominantColourTable{}));
        expected.assign(20 + 12, "P");
        for (const char* first : {"2:Pass 1 : 0 of 12", "P", "2:Pass 1 : 10 of 12", "P"})
            expected.push_back(first);
        for (const char* second : {"P", "2:Pass 2 : 0 of 12", "P", "2:Pass 2 : 10 of 12"})
            expected.push_back(second);
        EXPECT_EQ(log.entries, expected) << threads << " threads, zoom level";
    }
}

TEST(ParallelRaster, ScratchRowStreamsAreZlibStreams) {
    std::vector<uint8_t> row(10000);
    for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t((i / 70) % 7 + (i * 2654435761u >> 29));
    std::vector<uint8_t> fast;
    FastDeflater deflater;
    deflater.Deflate(row.data(), row.size(), fast);
    EXPECT_LT(fast.size(), row.size() / 4);

    // The fast stream inflated by zlib, and zlib's level-9 stream by the
    // fast inflater, give the row back.
    std::vector<uint8_t> back(row.size());
    EXPECT_EQ(InflateStream(fast.data(), fast.size(), back.data(), back.size()), row.size());
    EXPECT_EQ(back, row);
    const std::vector<uint8_t> plain = rpxtest::Deflate(row);
    std::fill(back.begin(), back.end(), 0);
    FastInflater inflater;
    EXPECT_EQ(inflater.Inflate(plain.data(), plain.size(), back.data(), back.size()), row.size());
    EXPECT_EQ(back, row);

    // Too little room and a damaged stream are refused, never overrun.
    std::vector<uint8_t> small(row.size() - 1 + 16, 0xAB);
    EXPECT_THROW(inflater.Inflate(fast.data(), fast.size(), small.data(), row.size() - 1),
                 EDecompressionError);
    for (size_t i = row.size() - 1; i < small.size(); ++i) EXPECT_EQ(small[i], 0xAB);
    std::vector<uint8_t> damaged = fast;
    damaged[damaged.size() / 2] ^= 0x5A;
    damaged[damaged.size() - 2] ^= 0x01;  // the checksum
    EXPECT_THROW(inflater.Inflate(damaged.data(), damaged.size(), back.data(), back.size()),
                 EDecompressionError);
}

}  // namespace
}  // namespace tessary
