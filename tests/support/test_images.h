// Small real image files written by tests, and a source reader that stands
// for a file with undecodable rows.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "sources/source_image.h"

namespace tessary::test_images {

// Blue, green, red of the pixel at (x, y).
using PixelColour = std::function<std::array<uint8_t, 3>(int x, int y)>;

// An uncompressed 24-bit bottom-up BMP.
void WriteBmp24(const std::string& path, int width, int height, const PixelColour& colour);

// An 8-bit RGB PNG written with libpng.
void WritePng24(const std::string& path, int width, int height, const PixelColour& colour);

// A row-access source of 24-bit rows from `colour`; the rows in
// `damagedRows` throw SourceError of kind SourceDamaged with the detail
// "row <n>: inflate failed" after writing half of the row, as a reader whose
// strip breaks off does.
SourceHandle DamagedRowsSource(const std::string& path, int width, int height, const PixelColour& colour,
                               std::set<int> damagedRows);

}  // namespace tessary::test_images
