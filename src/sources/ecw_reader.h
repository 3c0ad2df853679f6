// ECW (.ecw) sources through the ECW decoding library, loaded at run time
// from the program's folder. The open tries the whole image as one 24-bit
// picture first and falls back to a view read line by line; previews are
// decoded by the library directly at the reduced size.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// The library's file name in the program's folder.
std::string_view EcwLibraryFileName();

// Noted for the user when the library cannot be loaded.
inline constexpr std::string_view kEcwLibraryMissingMessage =
    "The DLLs to load ECW files were not found or could not be loaded";

// The whole image reduced by `factor` as a 24-bit picture of
// (width div factor) x (height div factor), or an empty picture (library
// missing, unreadable file, or a picture above the whole-image limit).
Picture LoadEcwBitmap(const std::string& path, int factor);

// A view of the file for row access. Rows may be read in any order; a line
// the library cannot decode throws SourceDamaged. Throws SourceError
// (SourceUnusable) with the library's reason when there is no view, after
// noting the text above when the library is missing.
std::unique_ptr<SourceRowReader> OpenEcw(const std::string& path);

// Width, height and 3 bytes per pixel. 0 x 0, silently, when the library is
// missing; throws SourceError with the library's reason when it cannot open
// the file (GDAL without an ECW driver, a damaged file).
SourceImageInfo GetEcwInfo(const std::string& path);

// The GDAL library (libtessary_gdal, the same view calls) opens the formats
// of the GDAL route: each extension with its own drivers and options.
struct GdalOpenRequest {
    std::string format;                // named in reasons ("JPEG 2000")
    std::vector<std::string> drivers;  // GDAL's short driver names
    std::vector<std::string> options;  // GDAL open options ("DPI=300")
};
std::string_view GdalLibraryFileName();
// As LoadEcwBitmap, OpenEcw and GetEcwInfo, through the GDAL library; a
// missing library is a reason, not a note for the user.
Picture LoadGdalBitmap(const std::string& path, const GdalOpenRequest& request, int factor);
std::unique_ptr<SourceRowReader> OpenGdal(const std::string& path, const GdalOpenRequest& request);
SourceImageInfo GetGdalInfo(const std::string& path, const GdalOpenRequest& request);

}  // namespace tessary
