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
#include "raster/quantizer.h"
#include "raster/resample.h"
#include "raster/scratch_raster.h"

namespace tessary {

namespace {

// Sizes beyond this are refused rather than risk overflowing row buffers.
constexpr int64_t kMaxLevelSide = int64_t(1) << 28;

std::string ProgressText(const char* pass, int row, int total) {
    return std::string(pass) + std::to_string(row) + " of " + std::to_string(total);
}

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

    // `released`, when given, receives each released row and its buffer
    // (jobs in flight may still read it).
    void Evict(int64_t limit,
               const std::function<void(int, std::unique_ptr<uint8_t[]>)>& released = nullptr) {
        // Filled slots never lie below lowest_, so the scan starts there
        // instead of at row 0; the rows released are the same.
        int row = lowest_;
        while (filled_ > limit && row < int(slots_.size())) {
            if (slots_[size_t(row)]) {
                if (released) {
                    released(row, std::move(slots_[size_t(row)]));
                } else {
                    slots_[size_t(row)].reset();
                }
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

// Pass 1 of a level alone: for each target row, read and resample the
// source rows it needs that are not cached, combine them, hand the row to
// `learn` (spool and quantizer), release cached rows beyond the limit.
bool ResampleLevel(const RunContext& context, Timagerecord4& source, const ContributorTable& columns,
                   const ContributorTable& rows, RowCache& cache, int64_t cacheLimit, uint8_t* sourceRow,
                   uint8_t* targetRow, const std::function<void(const uint8_t*)>& learn,
                   ZoomLevelStats* stats) {
    const int Dh = rows.TargetSize();
    const int Dw = columns.TargetSize();
    std::vector<const uint8_t*> rowPointers;
    for (int y = 0; y < Dh; ++y) {
        if (y % 10 == 0) {
            context.SetStatus(2, ProgressText("Pass 1 : ", y, Dh));
            context.Pump();
            if (context.Aborted()) return false;
        }
        std::span<const Contributor> list = rows.List(y);
        rowPointers.resize(list.size());
        for (size_t k = 0; k < list.size(); ++k) {
            const int r = list[k].pixel;
            const uint8_t* resampled = cache.Find(r);
            if (!resampled) {
                ReadSourceRow(source, r, sourceRow);
                uint8_t* slot = cache.Fill(r);
                ResampleRow(source.BytesPerPixel, sourceRow, slot, source.Palette, columns);
                resampled = slot;
                if (stats) ++stats->rowsResampled;
            }
            rowPointers[k] = resampled;
        }
        CombineRows(list, rowPointers.data(), Dw, targetRow);
        learn(targetRow);
        cache.Evict(cacheLimit);
    }
    return true;
}

// Pass 1 with worker threads, the same steps in the same order on the
// caller's thread: the same status texts, pumps and abort checks, the same
// source rows read in the same order, the same cache fills and releases.
// Each source row read is resampled by a job, each target row combined by a
// job that first waits for the rows it needs (posted before it, so already
// taken by a thread); combined rows come back in order to `learn`. A cached
// row released while jobs may still read it is kept until the target row of
// its release has come back.
bool ResampleLevelParallel(const RunContext& context, Timagerecord4& source, const ContributorTable& columns,
                           const ContributorTable& rows, RowCache& cache, int64_t cacheLimit,
                           unsigned threads, size_t targetRowBytes,
                           const std::function<void(const uint8_t*)>& learn, ZoomLevelStats* stats) {
    const int Dh = rows.TargetSize();
    const int Dw = columns.TargetSize();
    const size_t sourceRowBytes = size_t(source.Width) * 4;  // room for a row of any depth
    struct Released {
        int targetRow;
        std::unique_ptr<uint8_t[]> buffer;
    };
    std::deque<Released> released;
    WorkerPool pool(threads);
    std::unordered_map<int, WorkerPool::TaskPtr> producers;  // source row -> its resampling job
    // Every exit waits for the resampling jobs: they write into the cache.
    struct Settle {
        WorkerPool& pool;
        std::unordered_map<int, WorkerPool::TaskPtr>& producers;
        ~Settle() {
            for (auto& entry : producers) {
                try {
                    pool.Wait(entry.second);
                } catch (...) {
                }
            }
        }
    } settle{pool, producers};
    struct Combined {
        int y = 0;
        std::vector<uint8_t> row;
    };
    OrderedJobs<Combined> combined(pool, 4 * size_t(threads), [&](Combined& done) {
        learn(done.row.data());
        while (!released.empty() && released.front().targetRow <= done.y) released.pop_front();
    });

    for (int y = 0; y < Dh; ++y) {
        if (y % 10 == 0) {
            context.SetStatus(2, ProgressText("Pass 1 : ", y, Dh));
            context.Pump();
            if (context.Aborted()) return false;
        }
        std::span<const Contributor> list = rows.List(y);
        std::vector<const uint8_t*> rowPointers(list.size());
        std::vector<WorkerPool::TaskPtr> needs;
        for (size_t k = 0; k < list.size(); ++k) {
            const int r = list[k].pixel;
            const uint8_t* resampled = cache.Find(r);
            if (!resampled) {
                auto sourceRow = std::make_shared<std::vector<uint8_t>>(sourceRowBytes, 0);
                ReadSourceRow(source, r, sourceRow->data());
                uint8_t* slot = cache.Fill(r);
                producers[r] = pool.Post([&, sourceRow, slot](unsigned) {
                    ResampleRow(source.BytesPerPixel, sourceRow->data(), slot, source.Palette, columns);
                });
                resampled = slot;
                if (stats) ++stats->rowsResampled;
            }
            auto producer = producers.find(r);
            if (producer != producers.end()) needs.push_back(producer->second);
            rowPointers[k] = resampled;
        }
        combined.Post([&, y, list, rowPointers = std::move(rowPointers), needs = std::move(needs)](
                          unsigned, Combined& out) {
            for (const auto& task : needs) pool.WaitRunning(task);
            out.y = y;
            out.row.resize(targetRowBytes);
            CombineRows(list, rowPointers.data(), Dw, out.row.data());
        });
        cache.Evict(cacheLimit, [&](int row, std::unique_ptr<uint8_t[]> buffer) {
            auto producer = producers.find(row);
            if (producer != producers.end()) {
                pool.Wait(producer->second);  // it is long done: rows are released well behind the reading
                producers.erase(producer);
            }
            released.push_back({y, std::move(buffer)});
        });
    }
    combined.Drain();
    return true;
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

DominantColorTable SampleDominantColors(Timagerecord4& raster) {
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
    DominantColorTable table;
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

bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colorLimit,
                    double percent, const DominantColorTable& dominant) {
    return BuildZoomLevel(context, level, source, colorLimit, percent, dominant, nullptr);
}

bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colorLimit,
                    double percent, const DominantColorTable& dominant, ZoomLevelStats* stats) {
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
    const size_t targetRowBytes = size_t(Dw) * 3;

    // Room for a row of any depth the handle may report.
    std::vector<uint8_t> sourceRow(size_t(W) * 4, 0);
    std::vector<uint8_t> targetRow(targetRowBytes, 0);
    auto quantizer = std::make_unique<TColorQuantizer>(colorLimit, 8);

    {
        const unsigned threads = ResolveThreadCount(context.threads);
        RowSpoolWriter spool(spoolPath, Dw, threads);
        ContributorTable columns(W, Dw, kMitchellFilter, &context);
        ContributorTable rows(H, Dh, kMitchellFilter, &context);
        RowCache cache(H, targetRowBytes);
        auto learn = [&](const uint8_t* target) {
            spool.AppendRow(target);
            for (int x = 0; x < Dw; ++x) {
                const uint8_t* p = target + 3 * size_t(x);
                quantizer->AddPixel(p[2], p[1], p[0]);
            }
        };
        const bool finished = threads > 1
                                  ? ResampleLevelParallel(context, source, columns, rows, cache, cacheLimit,
                                                          threads, targetRowBytes, learn, stats)
                                  : ResampleLevel(context, source, columns, rows, cache, cacheLimit,
                                                  sourceRow.data(), targetRow.data(), learn, stats);
        if (stats) stats->peakCachedRows = cache.Peak();
        if (!finished) return false;  // cache, lists, quantizer and spool go with their owners
        spool.Finish();
    }

    // The level's palette: the quantizer's colours, the dominant colours
    // (zoom levels only), black and white; nothing beyond entry 255.
    Palette palette{};
    quantizer->BuildPalette(palette);
    quantizer.reset();
    int k = std::clamp(colorLimit, 0, 256);
    if (level != 0) {
        for (int i = 0; i < kDominantColorCount; ++i) {
            if (k + i < 256) {
                const PaletteEntry& c = dominant.entries[size_t(i)];
                palette[size_t(k + i)] = PaletteEntry{c.blue, c.green, c.red, 0};
            }
        }
        k += kDominantColorCount;
    }
    if (k < 256) palette[size_t(k)] = PaletteEntry{0, 0, 0, 0};
    if (k + 1 < 256) palette[size_t(k + 1)] = PaletteEntry{255, 255, 255, 0};
    const int searchCount = std::min(k + 2, 256);

    // Pass 2: map the spooled rows to the palette.
    ScratchRasterWriter output(outputPath, Dw, Dh, palette, context.threads);
    RowSpoolReader spool(spoolPath, Dw);
    const unsigned threads = ResolveThreadCount(context.threads);
    if (threads > 1) {
        // As alone, with each row mapped by a job (a search per thread; the
        // answer is a pure function of the colour) while the next rows are
        // read; mapped rows are appended in order, those in flight dropped on
        // abort.
        std::vector<std::unique_ptr<NearestPaletteSearch>> searches(threads);
        WorkerPool pool(threads);
        OrderedJobs<std::vector<uint8_t>> mapped(
            pool, 4 * size_t(threads),
            [&](std::vector<uint8_t>& indices) { output.AppendRow(indices.data()); });
        for (int y = 0; y < Dh; ++y) {
            if (y % 10 == 0) {
                context.Pump();
                context.SetStatus(2, ProgressText("Pass 2 : ", y, Dh));
                if (context.Aborted()) return false;  // the output stays without its table
            }
            auto row = std::make_shared<std::vector<uint8_t>>(targetRowBytes);
            spool.NextRow(row->data());
            mapped.Post([&, row](unsigned thread, std::vector<uint8_t>& indices) {
                if (!searches[thread])
                    searches[thread] = std::make_unique<NearestPaletteSearch>(palette, searchCount);
                indices.resize(size_t(Dw));
                searches[thread]->MapRow(row->data(), indices.data(), Dw);
            });
        }
        mapped.Drain();
        output.Finish();
        return true;
    }
    NearestPaletteSearch search(palette, searchCount);
    std::vector<uint8_t> indices(static_cast<size_t>(Dw));
    for (int y = 0; y < Dh; ++y) {
        if (y % 10 == 0) {
            context.Pump();
            context.SetStatus(2, ProgressText("Pass 2 : ", y, Dh));
            if (context.Aborted()) return false;  // the output stays without its table
        }
        spool.NextRow(targetRow.data());
        search.MapRow(targetRow.data(), indices.data(), Dw);
        output.AppendRow(indices.data());
    }
    output.Finish();
    return true;
}

}  // namespace tessary
