// Windows and OS/2 bitmap (.bmp) files: a whole-image loader and a header
// inspector. As a source, a bitmap is read row by row (uncompressed rows by
// seeking to them, run-length rows by decoding from where each row starts),
// giving the same rows as the whole picture; a file the loader would refuse
// is refused at open with the reason ("file ends inside row 1,203 of 2,000").
#pragma once

#include <optional>
#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// Loads the whole file into a picture whose rows run from the top row down.
// 1-, 4- and 8-bit files (run-length compressed ones included) keep their
// depth and colour table, reserved bytes and all; entries beyond the table
// are zero. 16-, 24- and 32-bit files become 24-bit blue, green, red
// pictures. Gives nothing for a missing or unreadable file, a wrong
// signature, a header or depth this reader does not know, an absurd size,
// or pixel data that the file does not hold.
std::optional<Picture> LoadBmpBitmap(const std::string& path);

// Width and height as the information header states them (the height is
// negative for top-down files) and 3 bytes per pixel for 24-bit files, 1
// otherwise. 0, 0, 1 when the file cannot be opened or is not a bitmap.
SourceImageInfo GetBmpInfo(const std::string& path);

}  // namespace tessary
