// HEIF files (.heic, .heif) keep their pictures in items whose bytes the
// item location box (iloc) points at. The HEIF library that GDAL uses
// stops the whole process (an assertion) when it reads an item stored in
// the file whose extent has no length; such files are refused before GDAL
// opens them.
#pragma once

#include <string>

namespace tessary {

// Why the HEIF file `path` is refused: an item stored in the file with an
// extent of no length. Empty when no such item is found, when the file is
// not a HEIF file, or when its boxes cannot be read (GDAL then gives its
// own reason). Reads only box headers and the item location boxes.
std::string HeifItemRefusal(const std::string& path);

}  // namespace tessary
