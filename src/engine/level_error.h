// The colour error of one RPX2 level against its source, as people see it
// (CIEDE2000), for tessary-cli compare and the viewer's error overlay. The
// source is resampled to the level's size with the zoom levels' filter
// (Mitchell) row by row as the level's rows are measured, so that only the
// source rows one level row draws on are held, whatever the image's size.
#pragma once

#include <cstdint>
#include <functional>

#include "common/picture.h"
#include "raster/colour_difference.h"

namespace tessary {

struct Timagerecord4;

struct LevelError {
    ErrorStatistics statistics;
    int colours = 0;       // palette entries the level's pixels use
    bool stopped = false;  // `stop` answered true before the last row
};

// Fills `bgr` (width x 3 bytes: blue, green, red) with source row y. Rows
// are asked for in increasing order, each once.
using BgrRowSource = std::function<void(int y, uint8_t* bgr)>;
// The level's palette indices of row y, asked for in increasing order.
using LevelRowSource = std::function<const uint8_t*(int y)>;
// Receives each level row's differences, one per pixel.
using ErrorRowSink = std::function<void(int y, const float* differences)>;

// Receives each resampled row: width blue, green, red triples.
using ResampledRowSink = std::function<void(int y, const uint8_t* bgr)>;

// The source as a level of width x height is measured against: the source
// itself when the sizes are the same, otherwise resampled to that size with
// the zoom levels' filter, row by row in order. `stop` (when given) is asked
// once per row; gives false when it ended the rows early.
bool ResampleSourceRows(int sourceWidth, int sourceHeight, const BgrRowSource& source, int width, int height,
                        const ResampledRowSink& sink, const std::function<bool()>& stop = {});

struct LevelToMeasure {
    int width = 0;
    int height = 0;
    Palette palette{};
    LevelRowSource rows;
};

// Measures a level against a source of sourceWidth x sourceHeight pixels:
// the source itself when the sizes are the same, otherwise the source
// resampled to the level's size. `errors` (when given) receives every row's
// differences; `stop` (when given) is asked once per level row and ends the
// measurement early with `stopped` set.
LevelError MeasureLevelError(int sourceWidth, int sourceHeight, const BgrRowSource& source,
                             const LevelToMeasure& level, const ErrorRowSink& errors = {},
                             const std::function<bool()>& stop = {});

// A source row as blue, green, red whatever the source's depth; `scratch`
// is reused between calls. Raises as ReadSourceRow does.
void ReadSourceRowBgr(Timagerecord4& source, int y, uint8_t* bgr, std::vector<uint8_t>& scratch);

}  // namespace tessary
