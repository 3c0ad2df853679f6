// JPEG sources (.jpg, .jpeg): whole-image loader and header inspector. They
// stay whole: the two-pass quantiser needs every pixel before the first row
// comes out. As a source, a file the decoder refuses fails with libjpeg's
// text, and one whose data ends early or is corrupt is handed over with the
// rows from the first damaged one counted as damaged.
#pragma once

#include <optional>
#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// Decodes the whole file at full size, quantised to at most 256 colours
// without dithering: an 8-bit picture with the quantiser's palette (a grey
// palette for grey files). CMYK and YCCK files give a 24-bit picture instead.
// Nothing when the file cannot be opened or decoded (corrupt, truncated,
// unsupported); never raises for bad data. Raises std::bad_alloc when the
// picture does not fit in memory.
std::optional<Picture> LoadJpegBitmap(const std::string& path);

// Width and height from the header; 0 x 0 when the file cannot be opened or
// its header read. 1 byte per pixel, 3 for CMYK and YCCK files.
SourceImageInfo GetJpegInfo(const std::string& path);

}  // namespace tessary
