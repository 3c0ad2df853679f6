// Helpers for the RPX tests: palettised rasters written as scratch files,
// an RPX2 writing run over them, an independent strict check of the RPX2
// layout, and builders of RPX2 and legacy RPX files from raw parts (for
// damaged files and for the legacy layout, which the program never writes).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/picture.h"
#include "common/run_context.h"
#include "common/scale_list.h"
#include "support/temp_folder.h"

namespace tessary::rpxtest {

using Bytes = std::vector<uint8_t>;

// The shared temporary folder; the RPX tests name their files with Path().
class TempFolder : public test::TempFolder {
public:
    TempFolder() : test::TempFolder("rpx_test") {}
    std::string Path(const std::string& name) const { return File(name); }
};

// One palettised level: width x height indices, top row first.
struct Raster {
    int width = 0;
    int height = 0;
    Palette palette{};
    Bytes pixels;
    uint8_t At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

Raster MakeRaster(int width, int height, const Palette& palette,
                  const std::function<uint8_t(int, int)>& pixel);
// A palette of `colours` distinct colours (none pure white unless asked),
// with non-zero reserved bytes so that their copying is visible.
Palette TestPalette(int colours, uint32_t seed, bool withWhite);
// Random indices below `colours`, in small runs so that tiles compress.
Raster RandomRaster(int width, int height, int colours, uint32_t seed, bool withWhite = true);

// Records progress texts and pumps; can raise the abort flag at a pump.
class RecordingProgress : public ProgressObserver {
public:
    void SetStatus(int slot, std::string_view text) override;
    void PumpEvents() override;
    std::vector<std::string> texts;  // slot 2 only
    int pumps = 0;
    int abortAtPump = -1;  // raise the flag at this pump (1-based); -1 never
    std::atomic<bool> abort{false};
};

// Writes each raster as a scratch file, opens it as a source and writes one
// RPX2 file with the given scale slots (which must name rasters.size()
// levels).
void WriteRpx2File(const std::string& path, const TempFolder& temp, const std::vector<Raster>& levels,
                   const ScaleList& scales, bool chartSource, const RunContext& context);
ScaleList ScalesFor(const std::vector<float>& used);

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);

// Checks every field of an RPX2 file against the rasters it was written
// from: header, information block, markers, zoom count, scale list, each
// level's marker, tile counts, contiguous tile positions, every tile a zlib
// stream of exactly 4096 bytes holding the level's pixels bottom line first
// and the background index outside the level, end positions, level table and
// its position.
::testing::AssertionResult CheckRpx2Layout(const Bytes& file, bool chartSource,
                                           const std::vector<float>& scales,
                                           const std::vector<Raster>& levels);

// The background index: the entry nearest to white, lowest index on ties.
uint8_t NearestToWhite(const Palette& palette);

// The decoded tile streams of one level of an RPX2 file, for building files
// from parts.
struct LevelParts {
    int width = 0;
    int height = 0;
    int tilesAcross = 0;
    int tilesDown = 0;
    Palette palette{};
    std::vector<Bytes> tiles;  // stored bytes of each tile, in tile order
};
// Lays out an RPX2 file from parts exactly as the format orders them.
Bytes BuildRpx2(int width, int height, const std::vector<LevelParts>& levels, uint16_t compression = 1);
// The parts of a raster written the ordinary way (deflated tiles).
LevelParts PartsOf(const Raster& raster);

// A legacy RPX file: header, information block, palette, one stored row per
// line, row table, table position. `rows` overrides the stored rows when
// not empty.
Bytes BuildLegacyRpx(const Raster& raster, int bitsPerPixel, bool compressed, std::vector<Bytes> rows = {});
// The packed form of one raster row at 1, 2, 4 or 8 bits per pixel.
Bytes PackRow(const Raster& raster, int y, int bitsPerPixel);

Bytes Deflate(const Bytes& data);

}  // namespace tessary::rpxtest
