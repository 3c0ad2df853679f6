#include "engine/level_error.h"

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "raster/resample.h"
#include "sources/source_image.h"

namespace tessary {

bool ResampleSourceRows(int sourceWidth, int sourceHeight, const BgrRowSource& source, int width, int height,
                        const ResampledRowSink& sink, const std::function<bool()>& stop) {
    std::vector<uint8_t> reference(size_t(width) * 3);
    // A level of another size is measured against the source resampled as
    // the zoom levels are: each source row across to the level's width, then
    // the rows a level row draws on combined. Only the rows between the
    // lowest any later level row needs and the highest this one needs stay.
    const bool same = width == sourceWidth && height == sourceHeight;
    ContributorTable columns, rows;
    std::vector<int> keepFrom;
    std::vector<uint8_t> sourceRow;
    std::deque<std::vector<uint8_t>> window;
    int windowFirst = 0, nextSource = 0;
    std::vector<const uint8_t*> inputs;
    const Palette none{};
    if (!same) {
        columns = ContributorTable(sourceWidth, width, kMitchellFilter);
        rows = ContributorTable(sourceHeight, height, kMitchellFilter);
        sourceRow.resize(size_t(sourceWidth) * 3);
        keepFrom.assign(size_t(height) + 1, sourceHeight);
        for (int y = height - 1; y >= 0; --y) {
            int lowest = sourceHeight;
            for (const Contributor& c : rows.List(y)) lowest = std::min(lowest, int(c.pixel));
            keepFrom[size_t(y)] = std::min(lowest, keepFrom[size_t(y) + 1]);
        }
    }

    for (int y = 0; y < height; ++y) {
        if (stop && stop()) return false;
        if (same) {
            source(y, reference.data());
        } else {
            const auto list = rows.List(y);
            int highest = 0;
            for (const Contributor& c : list) highest = std::max(highest, int(c.pixel));
            const int keep = keepFrom[size_t(y)];
            while (!window.empty() && windowFirst < keep) {
                window.pop_front();
                ++windowFirst;
            }
            for (; nextSource <= highest; ++nextSource) {
                source(nextSource, sourceRow.data());
                if (nextSource < keep) continue;
                if (window.empty()) windowFirst = nextSource;
                window.emplace_back(size_t(width) * 3);
                ResampleRow(3, sourceRow.data(), window.back().data(), none, columns);
            }
            inputs.resize(list.size());
            for (size_t k = 0; k < list.size(); ++k) inputs[k] = window[size_t(list[k].pixel - windowFirst)].data();
            CombineRows(list, inputs.data(), width, reference.data());
        }
        sink(y, reference.data());
    }
    return true;
}

LevelError MeasureLevelError(int sourceWidth, int sourceHeight, const BgrRowSource& source,
                             const LevelToMeasure& level, const ErrorRowSink& errors,
                             const std::function<bool()>& stop) {
    LevelError result;
    const int width = level.width;
    std::array<Lab, 256> palette;
    for (size_t i = 0; i < 256; ++i)
        palette[i] = SrgbToLab(level.palette[i].red, level.palette[i].green, level.palette[i].blue);
    std::array<bool, 256> used{};
    LabCache cache;
    std::vector<float> differences(static_cast<size_t>(width));
    result.stopped = !ResampleSourceRows(
        sourceWidth, sourceHeight, source, width, level.height,
        [&](int y, const uint8_t* reference) {
            const uint8_t* indices = level.rows(y);
            for (int x = 0; x < width; ++x) {
                used[indices[x]] = true;
                const uint8_t* p = reference + 3 * size_t(x);
                const double d = Ciede2000(cache.Get(p[2], p[1], p[0]), palette[indices[x]]);
                result.statistics.Add(d);
                differences[size_t(x)] = float(d);
            }
            if (errors) errors(y, differences.data());
        },
        stop);
    result.colours = int(std::count(used.begin(), used.end(), true));
    return result;
}

void ReadSourceRowBgr(Timagerecord4& source, int y, uint8_t* bgr, std::vector<uint8_t>& scratch) {
    if (source.BytesPerPixel == 3) {
        ReadSourceRow(source, y, bgr);
        return;
    }
    scratch.assign(size_t(source.Width), 0);
    ReadSourceRow(source, y, scratch.data());
    for (int x = 0; x < source.Width; ++x) {
        const PaletteEntry& e = source.Palette[scratch[size_t(x)]];
        bgr[3 * x] = e.blue;
        bgr[3 * x + 1] = e.green;
        bgr[3 * x + 2] = e.red;
    }
}

}  // namespace tessary
