// The passes that turn a full-size source into the indexed scratch raster
// "rpx_0.rpx0": the reduction pass (quantise to N colours plus black and
// white) and the copy pass (a palettised source copied unchanged).
#pragma once

#include <cstdint>
#include <functional>

#include "common/picture.h"
#include "common/run_context.h"
#include "sources/source_image.h"

namespace tessary {

class ScratchRasterWriter;

// Sets status slot 1 to "Reducing Colors", learns a palette of at most
// context.colourCount colours from every tenth row (rows 0, 10, 20, ...),
// puts black at entry N and white at N + 1 (white left out when N + 1 is
// beyond 255), and maps every pixel to its nearest entry: for a 24-bit
// source among N + 2 entries, for a palettised one among N + 1 (white is
// stored but not searched). Returns false when the abort flag stopped it:
// during sampling nothing is written, during mapping the output is left
// without its table. Raises std::invalid_argument for a source without pixels.
[[nodiscard]] bool ReduceColorsPass(const RunContext& context, Timagerecord4& source);

// Copies a palettised source, rows and all 256 palette entries unchanged,
// into "rpx_0.rpx0". The caller sets status slot 1 ("Preprocessing Image").
// Returns false when the abort flag stopped it. Raises std::invalid_argument
// for a source without pixels or one that is not palettised.
[[nodiscard]] bool CopyIndexedPass(const RunContext& context, Timagerecord4& source);

// The mapping pass shared by the reduction pass and the zoom levels: maps
// rows 0 to height - 1 to their nearest entries among the first
// `searchCount` of `palette` (by the octree's rule, or by the fine
// palette's with `--palette fine`) and appends them to `output`, in order. On the
// caller's thread, every tenth row pumps, shows "Pass 2 : " row " of "
// height and tests the abort flag; then `readRow` fills `pixels` with the
// row: width blue, green, red triples, or width indices into
// `sourcePalette` when one is given. The rows are mapped on the context's
// threads (on the caller's alone for one thread). Returns false when the
// abort flag stopped it, leaving `output` without its table.
bool MapRowsToPalette(const RunContext& context, int width, int height, const Palette* sourcePalette,
                      const Palette& palette, int searchCount,
                      const std::function<void(int row, uint8_t* pixels)>& readRow, ScratchRasterWriter& output);

}  // namespace tessary
