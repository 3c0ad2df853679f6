// MrSID (.sid) sources through the MrSID library, loaded at run time from
// the program's folder. The open tries the whole image at level 0 first and
// falls back to reading one single-row strip at a time; previews come from
// a reduced level.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/picture.h"
#include "sources/mrsid_abi.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {

std::string_view MrSidLibraryFileName();

// Noted for the user when the library cannot be loaded.
inline constexpr std::string_view kMrSidLibraryMissingMessage = "KartoMrSID.dll not found";

// The level the preview is drawn from (each side divided by 16).
inline constexpr int kMrSidPreviewLevel = 4;

// The whole image at a level, as the library stores it: `flipRows` is set
// when its rows are stored bottom row first. Nothing when the library is
// missing (after noting the text above), the file is unreadable or the picture would
// exceed the whole-image limit.
std::optional<WholeImage> LoadMrSidBitmap(const std::string& path, int level);

// The whole image at a level with its rows in image order, top row first,
// or an empty picture.
Picture LoadMrSidPreview(const std::string& path, int level);

// The library's image opened for row access. Rows may be read in any order;
// a row the library cannot deliver throws SourceDamaged. Throws SourceError
// (SourceUnusable) with the library's reason when the image cannot be
// opened or the library is missing.
std::unique_ptr<SourceRowReader> OpenMrSid(const std::string& path);

// Width, height and 3 bytes per pixel. 0 x 0, silently, when the library is
// missing; throws SourceError with the library's reason when it cannot open
// the file (GDAL without a MrSID driver, a damaged file).
SourceImageInfo GetMrSidInfo(const std::string& path);

// Copies a 24-bit bitmap of the library into a picture. The bitmap's rows
// lie (rowBytes padded to a multiple of 4) bytes apart. With `reverseRows`
// the last row in memory becomes the picture's first. Empty when the bitmap
// is not a well-formed 24-bit bitmap or memory runs out.
Picture CopyMrSidBitmap(const MrSidBitmap& bitmap, bool reverseRows);

}  // namespace tessary
