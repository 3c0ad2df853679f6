// Zoom level generation: one reduced raster of the output pyramid (or the
// initially resized full-size raster). The source is resampled with the
// Mitchell filter; pass 1 spools the 24-bit target rows to "temp.rpx0" while
// a quantizer learns every pixel, pass 2 maps the spooled rows to the
// level's palette and writes the indexed scratch raster "rpx_<n>.rpx0".
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/picture.h"
#include "common/run_context.h"
#include "sources/source_image.h"

namespace tessary {

inline constexpr int kDominantColourCount = 20;
inline constexpr int kZoomLevelColourLimit = 62;

// The 20 most frequent colours of the full-size raster (blue, green, red;
// reserved 0), which every zoom level adds to its palette. The driver holds
// it from one image's sampling until the next.
struct DominantColourTable {
    std::array<PaletteEntry, kDominantColourCount> entries{};
};

// Samples a 100 x 100 grid of a palettised raster anchored at its top-left
// pixel (steps W div 100 and H div 100) and keeps the 20 most frequent
// palette indices, ties to the lower index; when fewer indices occur, the
// last found repeats. Raises std::invalid_argument for a raster that is not
// palettised or has no pixels.
DominantColourTable SampleDominantColors(Timagerecord4& raster);

// The size of a level of `percent` percent: round-half-even(size / (100 /
// percent)), never below 1.
int ZoomLevelSize(int size, double percent);

// The number of resampled source rows the level build keeps cached:
// round(2 / scale) + 6 with scale = (Dh - 1) / (H - 1), or Dh / H when
// either height is 1.
int64_t RowCacheLimit(int sourceHeight, int targetHeight);

// Builds level `level` ("rpx_<level>.rpx0" in the context's temporary
// folder) from `source` at `percent` percent with `colourLimit` colours of
// its own. For level != 0 the palette gets the 20 dominant colours after the
// quantizer's entries, then black and white (white left out when it would
// fall beyond entry 255). Progress goes to status slot 2; returns false when
// the abort flag stopped it (an abort in pass 1 leaves no output file, one
// in pass 2 a file without its table). Raises std::invalid_argument for a
// source without pixels or a percentage that is not positive.
[[nodiscard]] bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colourLimit,
                    double percent, const DominantColourTable& dominant);

// Counters of the last level build, for tests and benchmarks.
struct ZoomLevelStats {
    int width = 0;
    int height = 0;
    int64_t rowsResampled = 0;   // source rows read and resampled (re-reads included)
    int64_t peakCachedRows = 0;  // the most cached rows at one time
    int64_t cacheLimit = 0;
};
[[nodiscard]] bool BuildZoomLevel(const RunContext& context, int level, Timagerecord4& source, int colourLimit,
                    double percent, const DominantColourTable& dominant, ZoomLevelStats* stats);

}  // namespace tessary
