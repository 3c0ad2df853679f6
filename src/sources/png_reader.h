// PNG sources (.png): whole-image loader and header inspector, through libpng.
#pragma once

#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// Decodes the whole file into `picture`:
// - palette images: 8-bit indices with the file's palette (entries beyond it
//   are 0); tRNS is ignored, the colours stay as the palette has them;
// - grey images: 8-bit with the grey palette 0..255; samples of 1, 2 and 4
//   bits are scaled to 0..255 (x 255, x 85, x 17);
// - RGB images: 24-bit, blue, green, red;
// - grey with alpha and RGB with alpha: composed onto white, then as grey or
//   RGB above;
// - 16-bit samples keep their high byte; interlaced images are assembled.
// Gamma and colour-space chunks are not applied. Gives true when it filled
// the picture. Raises SourceError of kind SourceNotLoadable with
// "Error Opening File : " + path when the file cannot be opened, or with
// libpng's reason when its header cannot be used; of kind SourceDamaged with
// libpng's reason ("IDAT: CRC error") or "file ends inside row ..." when the
// image data is corrupt or cut short; std::bad_alloc when the picture does
// not fit. As a source, a file without interlacing is read row by row with
// the same transformations instead (one row in memory).
bool DecodePngBitmap(const std::string& path, Picture& picture);

// Width, height and bytes per pixel (3 for RGB and RGB with alpha, else 1)
// from the header. Raises SourceError as DecodePngBitmap does.
SourceImageInfo GetPngInfo(const std::string& path);

}  // namespace tessary
