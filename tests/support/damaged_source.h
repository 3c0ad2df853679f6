// A source reader that stands for a file with undecodable rows.
#pragma once

#include <set>
#include <string>

#include "sources/source_image.h"
#include "support/image_writers.h"

namespace tessary::test {

// A row-access source of 24-bit rows from `colour`; the rows in
// `damagedRows` throw SourceError of kind SourceDamaged with the detail
// "row <n>: inflate failed" after writing half of the row, as a reader whose
// strip breaks off does.
SourceHandle DamagedRowsSource(const std::string& path, int width, int height, const PixelColour& colour,
                               std::set<int> damagedRows);

}  // namespace tessary::test
