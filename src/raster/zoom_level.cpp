#include "raster/zoom_level.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "common/worker_pool.h"
#include "raster/colour_reduction.h"
#include "raster/fine_palette.h"
#include "raster/quantizer.h"
#include "raster/resample.h"
#include "raster/scratch_raster.h"

namespace tessary {

namespace {

// Sizes beyond this are refused rather than risk overflowing row buffers.
constexpr int64_t kMaxLevelSide = int64_t(1) << 28;

// The horizontally resampled source rows of one level build: one slot per
// source row, filled on first use, released from the lowest row upwards when
// more than `limit` are held.
class RowCache {
public:
    RowCache(int sourceHeight, size_t rowBytes) : slots_(size_t(sourceHeight)), rowBytes_(rowBytes) {}

    const uint8_t* Find(int row) const { return slots_[size_t(row)].get(); }

    uint8_t* Fill(int row) {
        auto& slot = slots_[size_t(row)];
        slot = std::make_unique<uint8_t[]>(rowBytes_);
        ++filled_;
        lowest_ = std::min(lowest_, row);
        peak_ = std::max(peak_, filled_);
        return slot.get();
    }

    // `released` receives each released row and its buffer (jobs in flight
    // may still read it).
    template <class Release>
    void Evict(int64_t limit, Release&& released) {
        // Filled slots never lie below lowest_, so the scan starts there
        // instead of at row 0; the rows released are the same.
        int row = lowest_;
        while (filled_ > limit && row < int(slots_.size())) {
            if (slots_[size_t(row)]) {
                released(row, std::move(slots_[size_t(row)]));
                --filled_;
            }
            ++row;
        }
        while (row < int(slots_.size()) && !slots_[size_t(row)]) ++row;
        lowest_ = row;
    }

    int64_t Peak() const { return peak_; }

private:
    std::vector<std::unique_ptr<uint8_t[]>> slots_;
    size_t rowBytes_;
    int64_t filled_ = 0;
    int64_t peak_ = 0;
    int lowest_ = 0x7FFFFFFF;
};

// Buffer `index` of `buffers`, made (zeroed) on first use. What a reader
// leaves unwritten in a damaged row stays as it was: alone, the previous
// row, as the one buffer of the plain loop always held; with workers, zeros
// (`fresh`), as in the new buffer each row had there.
uint8_t* SourceRowBuffer(std::vector<std::vector<uint8_t>>& buffers, size_t index, size_t bytes, bool fresh) {
    if (buffers.size() <= index) buffers.resize(index + 1);
    if (fresh) {
        buffers[index].assign(bytes, 0);
    } else {
        buffers[index].resize(bytes);
    }
    return buffers[index].data();
}

// Pass 1 of a level: for each target row, read the source rows it needs
// that are not cached and resample them into the cache, combine them, hand
// the row to `learn` (spool and quantizer) and release cached rows beyond
// the limit. Source rows are read, and the status texts, pumps and abort
// tests made, on the caller's thread in the same order for any number of
// threads. Each source row read is resampled by a job, each target row
// combined by a job that first waits for the rows it needs (posted before
// it, so already taken by a thread); combined rows come back in order to
// `learn`. On a pool of one every job runs at once, which is the plain loop.
// A cached row released while combining jobs are in flight is kept until
// the target row of its release has come back.
bool ResampleLevel(const RunContext& context, Timagerecord4& source, const ContributorTable& columns,
                   const ContributorTable& rows, RowCache& cache, int64_t cacheLimit,
                   const std::function<void(const uint8_t*)>& learn, ZoomLevelStats* stats) {
    const int Dh = rows.TargetSize();
    const int Dw = columns.TargetSize();
    const size_t sourceRowBytes = size_t(source.Width) * 4;  // room for a row of any depth
    struct Released {
        int targetRow;
        std::unique_ptr<uint8_t[]> buffer;
    };
    std::deque<Released> released;
    // One target row in the making, reused from row to row with its buffers.
    struct TargetRow {
        int y = 0;
        std::span<const Contributor> list;
        std::vector<const uint8_t*> inputs;            // the resampled source rows of `list`
        std::vector<WorkerPool::TaskPtr> needs;        // the jobs that resample them
        std::vector<std::vector<uint8_t>> sourceRows;  // read for the jobs of this row
        std::vector<uint8_t> pixels;
    };
    std::unordered_map<int, WorkerPool::TaskPtr> producers;  // source row -> its resampling job
    const unsigned threads = ResolveThreadCount(context.threads);
    WorkerPool pool(threads);  // after everything its jobs use: its end waits for them
    OrderedJobs<TargetRow> combined(pool, 4 * size_t(threads), [&](TargetRow& done) {
        learn(done.pixels.data());
        while (!released.empty() && released.front().targetRow <= done.y) released.pop_front();
    });

    for (int y = 0; y < Dh; ++y) {
        if (y % 10 == 0 && context.Checkpoint(ProgressText("Pass 1 : ", y, Dh))) return false;
        TargetRow& target = combined.Next();
        target.y = y;
        target.list = rows.List(y);
        target.inputs.resize(target.list.size());
        target.needs.clear();
        size_t buffersHeld = 0;
        for (size_t k = 0; k < target.list.size(); ++k) {
            const int r = target.list[k].pixel;
            const uint8_t* resampled = cache.Find(r);
            if (!resampled) {
                uint8_t* sourceRow =
                    SourceRowBuffer(target.sourceRows, buffersHeld, sourceRowBytes, pool.Threads() > 1);
                ReadSourceRow(source, r, sourceRow);
                uint8_t* slot = cache.Fill(r);
                WorkerPool::TaskPtr task = pool.Dispatch([&, sourceRow, slot](unsigned) {
                    ResampleRow(source.BytesPerPixel, sourceRow, slot, source.Palette, columns);
                });
                if (task) {  // else it has run, and its buffer is free again
                    producers[r] = std::move(task);
                    ++buffersHeld;
                }
                resampled = slot;
                if (stats) ++stats->rowsResampled;
            }
            if (!producers.empty()) {  // never on a pool of one
                auto producer = producers.find(r);
                if (producer != producers.end()) target.needs.push_back(producer->second);
            }
            target.inputs[k] = resampled;
        }
        combined.Post([&](unsigned, TargetRow& row) {
            for (const auto& task : row.needs) pool.WaitRunning(task);
            row.pixels.resize(size_t(Dw) * 3);
            CombineRows(row.list, row.inputs.data(), Dw, row.pixels.data());
        });
        cache.Evict(cacheLimit, [&](int row, std::unique_ptr<uint8_t[]> buffer) {
            auto producer = producers.find(row);
            if (producer != producers.end()) {
                pool.Wait(producer->second);  // it is long done: rows are released well behind the reading
                producers.erase(producer);
            }
            if (combined.InFlight() > 0) released.push_back({y, std::move(buffer)});
        });
    }
    combined.Drain();
    return true;
}

// The palette of a level: the quantizer's colours, the dominant colours
// (zoom levels only), black and white; nothing beyond entry 255. Gives the
// number of entries pass 2 searches.
int LevelPalette(TColorQuantizer& quantizer, int level, int colourLimit, const DominantColourTable& dominant,
                 Palette& palette) {
    palette = Palette{};
    quantizer.BuildPalette(palette);
    int k = std::clamp(colourLimit, 0, 256);
    if (level != 0) {
        for (int i = 0; i < kDominantColourCount; ++i) {
            if (k + i < 256) {
                const PaletteEntry& c = dominant.entries[size_t(i)];
                palette[size_t(k + i)] = PaletteEntry{c.blue, c.green, c.red, 0};
            }
        }
        k += kDominantColourCount;
    }
    if (k < 256) palette[size_t(k)] = PaletteEntry{0, 0, 0, 0};
    if (k + 1 < 256) palette[size_t(k + 1)] = PaletteEntry{255, 255, 255, 0};
    return std::min(k + 2, 256);
}

}  // namespace

int ZoomLevelSize(int size, double percent) {
    double factor = 100.0 / percent;
    double exact = double(size) / factor;
    if (!(exact < double(kMaxLevelSide))) throw std::invalid_argument("zoom level too large");
    int64_t rounded = RoundHalfEven(exact);
    return int(std::max<int64_t>(rounded, 1));
}

int64_t RowCacheLimit(int sourceHeight, int targetHeight) {
    double scale = (sourceHeight <= 1 || targetHeight <= 1)
                       ? double(targetHeight) / double(sourceHeight)
                       : double(targetHeight - 1) / double(sourceHeight - 1);
    return RoundHalfEven(2.0 / scale) + 6;
}

DominantColourTable SampleDominantColors(Timagerecord4& raster) {
    if (raster.Width <= 0 || raster.Height <= 0) throw std::invalid_argument("raster without pixels");
    if (raster.BytesPerPixel != 1) throw std::invalid_argument("dominant colours need a palettised raster");
    const int stepX = raster.Width / 100;
    const int stepY = raster.Height / 100;
    std::vector<uint8_t> row(size_t(raster.Width), 0);
    std::array<int, 256> bins{};
    for (int r = 0; r < 100; ++r) {
        ReadSourceRow(raster, r * stepY, row.data());
        for (int col = 0; col < 100; ++col) ++bins[row[size_t(col * stepX)]];
    }
    DominantColourTable table;
    int best = 0;
    for (PaletteEntry& entry : table.entries) {
        int bestCount = 0;
        for (int i = 0; i < 256; ++i) {
            if (bins[size_t(i)] > bestCount) {
                bestCount = bins[size_t(i)];
                best = i;
            }
        }
        const PaletteEntry& colour = raster.Palette[size_t(best)];
        entry = PaletteEntry{colour.blue, colour.green, colour.red, 0};
        bins[size_t(best)] = 0;
    }
    return table;
}

bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colourLimit,
                    double percent, const DominantColourTable& dominant) {
    return BuildZoomLevel(context, level, source, colourLimit, percent, dominant, nullptr);
}

bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colourLimit,
                    double percent, const DominantColourTable& dominant, ZoomLevelStats* stats) {
    const int W = source.Width;
    const int H = source.Height;
    if (W <= 0 || H <= 0) throw std::invalid_argument("zoom level of a source without pixels");
    if (!(percent > 0.0)) throw std::invalid_argument("zoom level percentage not positive");
    const int Dw = ZoomLevelSize(W, percent);
    const int Dh = ZoomLevelSize(H, percent);
    const int64_t cacheLimit = RowCacheLimit(H, Dh);
    if (stats) *stats = ZoomLevelStats{Dw, Dh, 0, 0, cacheLimit};

    const std::string outputPath = context.TempPath("rpx_" + std::to_string(level) + ".rpx0");
    const std::string spoolPath = context.TempPath("temp.rpx0");
    const bool fine = context.palette == PaletteMethod::kFine;
    auto quantizer = std::make_unique<TColorQuantizer>(colourLimit, 8);
    std::unique_ptr<ColourHistogram> histogram;
    if (fine) histogram = std::make_unique<ColourHistogram>();
    {
        RowSpoolWriter spool(spoolPath, Dw, ResolveThreadCount(context.threads));
        ContributorTable columns(W, Dw, kMitchellFilter, &context);
        ContributorTable rows(H, Dh, kMitchellFilter, &context);
        RowCache cache(H, size_t(Dw) * 3);
        auto learn = [&](const uint8_t* target) {
            spool.AppendRow(target);
            if (histogram) {
                histogram->AddRow(target, Dw);
                return;
            }
            for (int x = 0; x < Dw; ++x) {
                const uint8_t* p = target + 3 * size_t(x);
                quantizer->AddPixel(p[2], p[1], p[0]);
            }
        };
        const bool finished = ResampleLevel(context, source, columns, rows, cache, cacheLimit, learn, stats);
        if (stats) stats->peakCachedRows = cache.Peak();
        if (!finished) return false;  // cache, lists, quantizer and spool go with their owners
        spool.Finish();
    }

    Palette palette;
    int searchCount = 0;
    if (fine) {
        // A zoom level takes all 256 entries for its own picture; level 0
        // (an initial resize) the N colours and the two places black and
        // white have in the octree's palette.
        const int colours = level == 0 ? std::min(std::clamp(colourLimit, 0, 256) + 2, 256) : 256;
        searchCount = std::max(BuildFinePalette(*histogram, colours, palette,
                                                level == 0 ? kFineProtectDetail : kFineProtectZoom),
                               1);
        histogram.reset();
    } else {
        searchCount = LevelPalette(*quantizer, level, colourLimit, dominant, palette);
    }
    quantizer.reset();

    // Pass 2: map the spooled rows to the palette.
    ScratchRasterWriter output(outputPath, Dw, Dh, palette, context.threads);
    RowSpoolReader spool(spoolPath, Dw);
    if (!MapRowsToPalette(
            context, Dw, Dh, nullptr, palette, searchCount,
            [&](int, uint8_t* pixels) { spool.NextRow(pixels); }, output))
        return false;  // the output stays without its table
    output.Finish();
    return true;
}

}  // namespace tessary
