// The TIFF reader: a row-access source read through libtiff one strip (or
// one band of tiles) at a time, its decimated preview and its inspector.
//
// Two routes, both one band of rows in memory:
// - the strip route takes grey (white-is-zero or black-is-zero) and RGB of
//   any integer depth up to 16 bits, 24 or 32 bits, signed or unsigned, or
//   32/64-bit floating point, and palette images of 1, 2, 4 or 8 bits;
//   striped or tiled; samples interleaved or in separate planes. Extra
//   samples (alpha) are dropped; deep samples are scaled to 8 bits.
// - every other kind libtiff can convert to colour (YCbCr and JPEG-in-TIFF,
//   CMYK, CIE L*a*b*, LogLuv, ...) goes through libtiff's RGBA conversion,
//   one strip or one row of tiles at a time, as RGB with alpha composed over
//   white.
// What neither route reads is refused with "This TIF format is not
// supported" and libtiff's reason.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// An open TIFF source. All its state lives in the object: several may be
// open at once. Closing is destruction.
class TiffReader : public SourceRowReader {
public:
    // How many strips (or bands of tiles) were decoded so far. Reading rows
    // in ascending order decodes each strip once.
    virtual int StripDecodes() const = 0;
};

// The most decoded bytes held for one band of rows (a strip, or one row of
// tiles, over the sample planes used; on the RGBA route 4 bytes a pixel).
// Interleaved strips that are larger are decoded a scanline at a time (on
// the RGBA route in parts of a multiple of 16 rows); larger tiles are
// refused.
inline constexpr uint64_t kDefaultMaxBandBytes = uint64_t(64) << 20;

// Opens a TIFF for reading rows. Throws SourceError (SourceUnusable) with
// the reason when the file cannot be read or is refused; refusals of a kind
// are also noted for the user (sources/source_notes.h).
std::unique_ptr<TiffReader> OpenTiff(const std::string& path, uint64_t maxBandBytes = kDefaultMaxBandBytes);

// A reader's FillFormat gives 1 byte per pixel and the palette for palette
// and grey images, else 3. Its ReadRow copies row `row` (0 = top) into
// `buffer`, which holds width x bytes per pixel bytes; rows beyond the image
// leave the buffer untouched. A row of a strip or tile libtiff cannot decode
// is written black and then throws SourceError (SourceDamaged, "strip 7 of
// 38: <libtiff's reason>"); the reader stays usable for the other rows.

// The handle is closed by releasing it: the reader's destructor frees the
// buffers and closes the file.

// An 8-bit picture of width div factor x height div factor taken by
// decimation; empty for RGB images (and kinds read as RGB) and for files
// that cannot be read.
Picture LoadTiffPreview(const std::string& path, int factor);

// Width, height and bytes per pixel from the header (0, 0, 1 when the file
// cannot be read; 3 for RGB and kinds read as RGB).
SourceImageInfo GetTiffInfo(const std::string& path);

}  // namespace tessary
