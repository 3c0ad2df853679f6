// HEIF files (.heic, .heif) keep their pictures in items: coded pictures
// (HEVC), grids of them, and the properties that give each its size. The
// HEIF library that GDAL uses (libheif) and GDAL's driver trust what they
// read: an item stored in the file with an extent of no length stops the
// process with an assertion, and a picture whose stated size (its "ispe"
// property) is larger than what its decoder gives is read past its end.
// Such files are refused before GDAL opens them.
#pragma once

#include <string>

namespace tessary {

// Why the HEIF file `path` is refused: an item stored in the file with an
// extent of no length; a primary picture that is neither an HEVC picture
// nor a grid; an HEVC picture or grid whose stated size differs from the
// size its coding gives. Empty when none of these is found, when the file
// is not a HEIF file, or when its boxes cannot be read (GDAL then gives its
// own reason). Reads only the boxes that describe the items, and a grid's
// few bytes.
std::string HeifItemRefusal(const std::string& path);

}  // namespace tessary
