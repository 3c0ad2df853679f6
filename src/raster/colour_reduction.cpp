#include "raster/colour_reduction.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "raster/quantizer.h"
#include "raster/scratch_raster.h"

namespace tessary {

namespace {

std::string ProgressText(const char* pass, int row, int total) {
    return std::string(pass) + std::to_string(row) + " of " + std::to_string(total);
}

void RequirePixels(const Timagerecord4& source) {
    if (source.Width <= 0 || source.Height <= 0) throw std::invalid_argument("source without pixels");
}

// Pass 2 of a 24-bit source with worker threads: rows are read on the
// caller's thread with the same pumps, texts and abort checks as alone; each
// is mapped by a job, every thread with a search of its own (the answer is a
// pure function of the colour, so the indices are the same), while the
// caller reads on; the mapped rows are appended in order. On abort, the rows
// in flight are dropped.
bool MapRowsInParallel(const RunContext& context, Timagerecord4& source, const Palette& palette,
                       int searchCount, unsigned threads, ScratchRasterWriter& output) {
    const int W = source.Width;
    const int H = source.Height;
    std::vector<std::unique_ptr<NearestPaletteSearch>> searches(threads);
    WorkerPool pool(threads);
    OrderedJobs<std::vector<uint8_t>> rows(
        pool, 4 * size_t(threads), [&](std::vector<uint8_t>& indices) { output.AppendRow(indices.data()); });
    for (int i = 0; i < H; ++i) {
        if (i % 10 == 0) {
            context.Pump();
            context.SetStatus(2, ProgressText("Pass 2 : ", i, H));
            if (context.Aborted()) return false;
        }
        auto row = std::make_shared<std::vector<uint8_t>>(size_t(W) * 3, 0);
        ReadSourceRow(source, i, row->data());
        rows.Post([&, row](unsigned thread, std::vector<uint8_t>& indices) {
            if (!searches[thread])
                searches[thread] = std::make_unique<NearestPaletteSearch>(palette, searchCount);
            indices.resize(size_t(W));
            searches[thread]->MapRow(row->data(), indices.data(), W);
        });
    }
    rows.Drain();
    return true;
}

}  // namespace

bool ReduceColorsPass(const RunContext& context, Timagerecord4& source) {
    RequirePixels(source);
    context.SetStatus(1, "Reducing Colors");
    context.Pump();

    const int W = source.Width;
    const int H = source.Height;
    const bool trueColour = source.BytesPerPixel == 3;
    const int N = std::clamp(context.colourCount, 0, 256);
    const std::string outputPath = context.TempPath("rpx_0.rpx0");
    std::vector<uint8_t> row(size_t(W) * 3, 0);

    Palette palette{};
    {
        TColorQuantizer quantizer(N, 8);
        // Pass 1: every tenth row teaches the quantizer.
        for (int i = 0; i < H; ++i) {
            context.Pump();
            if (i % 10 != 0) continue;
            context.SetStatus(2, ProgressText("Pass 1 : ", i, H));
            if (context.Aborted()) return false;
            ReadSourceRow(source, i, row.data());
            if (trueColour) {
                for (int x = 0; x < W; ++x) {
                    const uint8_t* p = row.data() + 3 * size_t(x);
                    quantizer.AddPixel(p[2], p[1], p[0]);
                }
            } else {
                for (int x = 0; x < W; ++x) {
                    const PaletteEntry& e = source.Palette[row[size_t(x)]];
                    quantizer.AddPixel(e.red, e.green, e.blue);
                }
            }
        }
        quantizer.BuildPalette(palette);
    }
    if (N < 256) palette[size_t(N)] = PaletteEntry{0, 0, 0, 0};
    if (N + 1 < 256) palette[size_t(N + 1)] = PaletteEntry{255, 255, 255, 0};
    const int searchCount = std::min(trueColour ? N + 2 : N + 1, 256);

    // Pass 2: every pixel to its nearest entry.
    ScratchRasterWriter output(outputPath, W, H, palette, context.threads);
    const unsigned threads = ResolveThreadCount(context.threads);
    if (trueColour && threads > 1) {
        if (!MapRowsInParallel(context, source, palette, searchCount, threads, output)) return false;
        output.Finish();
        return true;
    }
    NearestPaletteSearch search(palette, searchCount);
    std::vector<uint8_t> indices(static_cast<size_t>(W));
    for (int i = 0; i < H; ++i) {
        if (i % 10 == 0) {
            context.Pump();
            context.SetStatus(2, ProgressText("Pass 2 : ", i, H));
            if (context.Aborted()) return false;
        }
        ReadSourceRow(source, i, row.data());
        if (trueColour) {
            search.MapRow(row.data(), indices.data(), W);
        } else {
            for (int x = 0; x < W; ++x) {
                const PaletteEntry& e = source.Palette[row[size_t(x)]];
                indices[size_t(x)] = search.Find(e.red, e.green, e.blue);
            }
        }
        output.AppendRow(indices.data());
    }
    output.Finish();
    return true;
}

bool CopyIndexedPass(const RunContext& context, Timagerecord4& source) {
    RequirePixels(source);
    if (source.BytesPerPixel != 1) throw std::invalid_argument("copy pass needs a palettised source");
    const int W = source.Width;
    const int H = source.Height;
    ScratchRasterWriter output(context.TempPath("rpx_0.rpx0"), W, H, source.Palette, context.threads);
    std::vector<uint8_t> row(size_t(W), 0);
    for (int i = 0; i < H; ++i) {
        if (i % 10 == 0) {
            context.Pump();
            context.SetStatus(2, ProgressText("Pass 1 : ", i, H));
            if (context.Aborted()) return false;
        }
        ReadSourceRow(source, i, row.data());
        output.AppendRow(row.data());
    }
    output.Finish();
    return true;
}

}  // namespace tessary
