#include "raster/zoom_level.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/text.h"
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

    void Evict(int64_t limit) {
        // Filled slots never lie below lowest_, so the scan starts there
        // instead of at row 0; the rows released are the same.
        int row = lowest_;
        while (filled_ > limit && row < int(slots_.size())) {
            if (slots_[size_t(row)]) {
                slots_[size_t(row)].reset();
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
    const int bytesPerPixel = source.BytesPerPixel;
    const size_t targetRowBytes = size_t(Dw) * 3;

    // Room for a row of any depth the handle may report.
    std::vector<uint8_t> sourceRow(size_t(W) * 4, 0);
    std::vector<uint8_t> targetRow(targetRowBytes, 0);
    auto quantizer = std::make_unique<TColorQuantizer>(colorLimit, 8);

    {
        RowSpoolWriter spool(spoolPath, Dw);
        ContributorTable columns(W, Dw, kMitchellFilter, &context);
        ContributorTable rows(H, Dh, kMitchellFilter, &context);
        RowCache cache(H, targetRowBytes);
        std::vector<const uint8_t*> rowPointers;

        // Pass 1: resample, spool and learn every pixel.
        for (int y = 0; y < Dh; ++y) {
            if (y % 10 == 0) {
                context.SetStatus(2, ProgressText("Pass 1 : ", y, Dh));
                context.Pump();
                if (context.Aborted()) {
                    if (stats) stats->peakCachedRows = cache.Peak();
                    return false;  // cache, lists, quantizer and spool go with their owners
                }
            }
            std::span<const Contributor> list = rows.List(y);
            rowPointers.resize(list.size());
            for (size_t k = 0; k < list.size(); ++k) {
                const int r = list[k].pixel;
                const uint8_t* resampled = cache.Find(r);
                if (!resampled) {
                    ReadSourceRow(source, r, sourceRow.data());
                    uint8_t* slot = cache.Fill(r);
                    ResampleRow(bytesPerPixel, sourceRow.data(), slot, source.Palette, columns);
                    resampled = slot;
                    if (stats) ++stats->rowsResampled;
                }
                rowPointers[k] = resampled;
            }
            CombineRows(list, rowPointers.data(), Dw, targetRow.data());
            spool.AppendRow(targetRow.data());
            for (int x = 0; x < Dw; ++x) {
                const uint8_t* p = targetRow.data() + 3 * size_t(x);
                quantizer->AddPixel(p[2], p[1], p[0]);
            }
            cache.Evict(cacheLimit);
        }
        if (stats) stats->peakCachedRows = cache.Peak();
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
    ScratchRasterWriter output(outputPath, Dw, Dh, palette);
    RowSpoolReader spool(spoolPath, Dw);
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
