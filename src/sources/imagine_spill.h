// Imagine (.img) files may keep their raster data in "spill" files (.ige)
// that they name inside; GDAL opens a spill file by that name, relative to
// the .img file's folder, whatever the name holds ("../" included). A
// source names only files beside it: the names are checked before GDAL sees
// the file.
#pragma once

#include <string>

namespace tessary {

// Why the Imagine file `path` is refused: a spill file named with a folder
// in its name (it would be read from outside the file's own folder), or an
// external raster entry whose name cannot be read. Empty when the file
// names no spill file or only plain names. Reads only the entry tree's
// headers and the external raster entries.
std::string ImagineSpillRefusal(const std::string& path);

}  // namespace tessary
