// The GDAL route: JPEG 2000, PDF, WebP, NITF, Imagine and HEIF sources, and
// the extensions the user adds, read through the GDAL library by rows. Each
// extension opens only through its own GDAL drivers.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sources/ecw_reader.h"
#include "sources/source_formats.h"

namespace tessary {

// The resolution PDF pages are rendered at: the page's own size at this
// many dots per inch. 300 until set.
inline constexpr int kDefaultPdfDpi = 300;
inline constexpr int kMinPdfDpi = 10;
inline constexpr int kMaxPdfDpi = 2400;
void SetPdfDpi(int dpi);
int PdfDpi();

// Adds an extension ("gpkg", with or without its dot) read through the GDAL
// driver `driver` ("GPKG"). False, with the reason in `why`, for an
// extension another reader takes, one named twice, or a driver name that is
// empty, unsafe or one that reads other files by reference. Called while
// the program starts, before sources are opened.
bool AddGdalExtension(std::string_view extension, std::string_view driver, std::string& why);

// The open request of a GDAL-route extension (lower-case, with its dot), or
// nothing for other extensions.
std::optional<GdalOpenRequest> GdalRequestFor(std::string_view extension);

// The row of an extension the user added (lower-case, with its dot), or
// null; rows live as long as the program.
const SourceFormat* FindAddedGdalFormat(std::string_view extension);

}  // namespace tessary
