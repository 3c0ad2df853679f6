#include "raster/colour_reduction.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "raster/fine_palette.h"
#include "raster/quantizer.h"
#include "raster/scratch_raster.h"

namespace tessary {

namespace {

void RequirePixels(const Timagerecord4& source) {
    if (source.Width <= 0 || source.Height <= 0) throw std::invalid_argument("source without pixels");
}

// Pass 1 of the reduction: every tenth row teaches the quantizer; every row
// pumps.
bool LearnPalette(const RunContext& context, Timagerecord4& source, int colourLimit, Palette& palette) {
    const int W = source.Width;
    const int H = source.Height;
    std::vector<uint8_t> row(size_t(W) * 3, 0);
    TColorQuantizer quantizer(colourLimit, 8);
    for (int i = 0; i < H; ++i) {
        if (i % 10 != 0) {
            context.Pump();
            continue;
        }
        if (context.Checkpoint(ProgressText("Pass 1 : ", i, H), PumpOrder::kBeforeText)) return false;
        ReadSourceRow(source, i, row.data());
        if (source.BytesPerPixel == 3) {
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
    return true;
}

// Pass 1 of the reduction with the fine builder: every row goes into the
// histogram (a rare colour on a single row must not be missed); every tenth
// row shows its progress. Gives the number of entries built, or -1 when
// the abort flag stopped it.
int LearnFinePalette(const RunContext& context, Timagerecord4& source, int colours, Palette& palette) {
    const int W = source.Width;
    const int H = source.Height;
    std::vector<uint8_t> row(size_t(W) * 3, 0);
    ColourHistogram histogram;
    for (int i = 0; i < H; ++i) {
        if (i % 10 == 0) {
            if (context.Checkpoint(ProgressText("Pass 1 : ", i, H), PumpOrder::kBeforeText)) return -1;
        } else {
            context.Pump();
        }
        ReadSourceRow(source, i, row.data());
        if (source.BytesPerPixel == 3) {
            histogram.AddRow(row.data(), W);
        } else {
            histogram.AddIndexedRow(row.data(), source.Palette, W);
        }
    }
    return BuildFinePalette(histogram, colours, palette);
}

// Serpentine Floyd-Steinberg error diffusion: rows in order on the
// caller's thread, even rows left to right, odd rows right to left. Errors
// are kept in sixteenths, in integers, so the indices are the same on
// every machine and for every thread count.
template <class Search>
class Ditherer {
public:
    Ditherer(const Palette& palette, int searchCount, int width)
        : palette_(palette), search_(palette, searchCount), width_(width),
          current_(size_t(width + 2) * 3, 0), next_(size_t(width + 2) * 3, 0) {}

    void MapRow(int row, const uint8_t* bgr, uint8_t* indices) {
        std::swap(current_, next_);
        std::fill(next_.begin(), next_.end(), 0);
        const bool forward = row % 2 == 0;
        const int step = forward ? 1 : -1;
        for (int n = 0; n < width_; ++n) {
            const int x = forward ? n : width_ - 1 - n;
            const uint8_t* p = bgr + 3 * size_t(x);
            int value[3];
            for (int c = 0; c < 3; ++c) {
                // Floor division by 16 with rounding to the nearest: the
                // shift of a negative number rounds down on every target.
                const int carried = (current_[Slot(x, c)] + 8) >> 4;
                value[c] = std::clamp(int(p[c]) + carried, 0, 255);
            }
            const uint8_t index = search_.Find(uint8_t(value[2]), uint8_t(value[1]), uint8_t(value[0]));
            indices[x] = index;
            const PaletteEntry& chosen = palette_[index];
            const int error[3] = {value[0] - chosen.blue, value[1] - chosen.green, value[2] - chosen.red};
            for (int c = 0; c < 3; ++c) {
                current_[Slot(x + step, c)] += 7 * error[c];
                next_[Slot(x - step, c)] += 3 * error[c];
                next_[Slot(x, c)] += 5 * error[c];
                next_[Slot(x + step, c)] += 1 * error[c];
            }
        }
    }

private:
    // Columns -1 and width have slots too, so the edges need no tests.
    size_t Slot(int x, int channel) const { return size_t(x + 1) * 3 + size_t(channel); }

    const Palette& palette_;
    Search search_;
    int width_;
    std::vector<int> current_;
    std::vector<int> next_;
};

template <class Search>
bool MapRowsDithered(const RunContext& context, int width, int height, const Palette* sourcePalette,
                     const Palette& palette, int searchCount,
                     const std::function<void(int row, uint8_t* pixels)>& readRow, ScratchRasterWriter& output) {
    Ditherer<Search> ditherer(palette, searchCount, width);
    std::vector<uint8_t> pixels(size_t(width) * 3, 0);
    std::vector<uint8_t> bgr(size_t(width) * 3, 0);
    std::vector<uint8_t> indices(size_t(width), 0);
    for (int i = 0; i < height; ++i) {
        if (i % 10 == 0 && context.Checkpoint(ProgressText("Pass 2 : ", i, height), PumpOrder::kBeforeText))
            return false;
        readRow(i, pixels.data());
        const uint8_t* row = pixels.data();
        if (sourcePalette) {
            for (int x = 0; x < width; ++x) {
                const PaletteEntry& e = (*sourcePalette)[pixels[size_t(x)]];
                bgr[3 * size_t(x)] = e.blue;
                bgr[3 * size_t(x) + 1] = e.green;
                bgr[3 * size_t(x) + 2] = e.red;
            }
            row = bgr.data();
        }
        ditherer.MapRow(i, row, indices.data());
        output.AppendRow(indices.data());
    }
    return true;
}

template <class Search>
bool MapRowsWith(const RunContext& context, int width, int height, const Palette* sourcePalette,
                 const Palette& palette, int searchCount,
                 const std::function<void(int row, uint8_t* pixels)>& readRow, ScratchRasterWriter& output) {
    struct MappedRow {
        std::vector<uint8_t> pixels;
        std::vector<uint8_t> indices;
    };
    if (context.dither)
        return MapRowsDithered<Search>(context, width, height, sourcePalette, palette, searchCount, readRow, output);
    const unsigned threads = ResolveThreadCount(context.threads);
    // A search per thread: each keeps a cache of its answers, which are a
    // pure function of the colour, so any thread gives the same indices.
    std::vector<std::unique_ptr<Search>> searches(threads);
    WorkerPool pool(threads);
    OrderedJobs<MappedRow> rows(pool, 4 * size_t(threads),
                                [&](MappedRow& mapped) { output.AppendRow(mapped.indices.data()); });
    for (int i = 0; i < height; ++i) {
        if (i % 10 == 0 && context.Checkpoint(ProgressText("Pass 2 : ", i, height), PumpOrder::kBeforeText))
            return false;  // rows in flight are dropped; the output stays without its table
        MappedRow& next = rows.Next();
        // What a reader leaves unwritten in a damaged row stays as it was:
        // alone, the previous row, as the one buffer of the plain loop always
        // held; with workers, zeros, as in the fresh buffer each row had
        // there (a buffer reused rows apart would differ with the count).
        if (pool.Threads() > 1) {
            next.pixels.assign(size_t(width) * 3, 0);
        } else {
            next.pixels.resize(size_t(width) * 3);
        }
        next.indices.resize(size_t(width));
        readRow(i, next.pixels.data());
        rows.Post([&](unsigned thread, MappedRow& mapped) {
            if (!searches[thread]) searches[thread] = std::make_unique<Search>(palette, searchCount);
            Search& search = *searches[thread];
            const uint8_t* pixels = mapped.pixels.data();
            uint8_t* indices = mapped.indices.data();
            if (!sourcePalette) {
                search.MapRow(pixels, indices, width);
                return;
            }
            const Palette& colours = *sourcePalette;
            for (int x = 0; x < width; ++x) {
                const PaletteEntry& e = colours[pixels[x]];
                indices[x] = search.Find(e.red, e.green, e.blue);
            }
        });
    }
    rows.Drain();
    return true;
}

}  // namespace

bool MapRowsToPalette(const RunContext& context, int width, int height, const Palette* sourcePalette,
                      const Palette& palette, int searchCount,
                      const std::function<void(int row, uint8_t* pixels)>& readRow, ScratchRasterWriter& output) {
    // Each builder's palette is mapped by the rule it was built for.
    if (context.palette == PaletteMethod::kFine)
        return MapRowsWith<WeightedPaletteSearch>(context, width, height, sourcePalette, palette, searchCount,
                                                  readRow, output);
    return MapRowsWith<NearestPaletteSearch>(context, width, height, sourcePalette, palette, searchCount, readRow,
                                             output);
}

bool ReduceColorsPass(const RunContext& context, Timagerecord4& source) {
    RequirePixels(source);
    context.SetStatus(1, "Reducing Colors");
    context.Pump();

    const bool trueColour = source.BytesPerPixel == 3;
    const int N = std::clamp(context.colourCount, 0, 256);
    Palette palette{};
    int searchCount = 0;
    if (context.palette == PaletteMethod::kFine) {
        // Black and white get no places of their own: the builder keeps
        // them when the picture has them.
        searchCount = LearnFinePalette(context, source, std::min(N + 2, 256), palette);
        if (searchCount < 0) return false;  // nothing written
    } else {
        if (!LearnPalette(context, source, N, palette)) return false;  // nothing written
        if (N < 256) palette[size_t(N)] = PaletteEntry{0, 0, 0, 0};
        if (N + 1 < 256) palette[size_t(N + 1)] = PaletteEntry{255, 255, 255, 0};
        searchCount = std::min(trueColour ? N + 2 : N + 1, 256);
    }

    // Pass 2: every pixel to its nearest entry.
    ScratchRasterWriter output(context.TempPath("rpx_0.rpx0"), source.Width, source.Height, palette,
                               context.threads);
    if (!MapRowsToPalette(
            context, source.Width, source.Height, trueColour ? nullptr : &source.Palette, palette, searchCount,
            [&](int row, uint8_t* pixels) { ReadSourceRow(source, row, pixels); }, output))
        return false;
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
        if (i % 10 == 0 && context.Checkpoint(ProgressText("Pass 1 : ", i, H), PumpOrder::kBeforeText))
            return false;
        ReadSourceRow(source, i, row.data());
        output.AppendRow(row.data());
    }
    output.Finish();
    return true;
}

}  // namespace tessary
