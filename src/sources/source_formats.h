// The extension dispatch table. Each reader file of this folder contributes
// its rows; readers that live elsewhere (RPX files, scratch rasters) have
// theirs added by the engine (AddSourceFormats). An extension without a row
// behaves like an unknown one.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// A picture from a whole-image loader, and whether its rows are stored
// bottom-up relative to the image.
struct WholeImage {
    Picture picture;
    bool flipRows = false;
    // Rows the loader could not decode (a file that ends early, a corrupt
    // block) and the reason; the picture holds what could be decoded.
    int64_t damagedRows = 0;
    std::string damageDetail{};
};

struct SourceFormat {
    std::string_view extension;  // lower-case, with its dot
    // Whole-image loader. For row-access formats, the whole-image attempt
    // that is tried first (ECW, MrSID), or null. Gives nothing when the file
    // cannot be loaded whole; throws SourceError to refuse with a reason.
    std::optional<WholeImage> (*loadWhole)(const std::string& path) = nullptr;
    // Row-access open, or null for whole-image formats. Gives null when the
    // file cannot be used; throws SourceError to refuse with a reason.
    std::unique_ptr<SourceRowReader> (*openRows)(const std::string& path) = nullptr;
    // Header inspection, or null when the format has none.
    SourceImageInfo (*inspect)(const std::string& path) = nullptr;
};

// The row for an extension (lower-case, with its dot), or null: this
// folder's rows first, then the added ones, then the extensions added to
// the GDAL route (AddGdalExtension).
const SourceFormat* FindSourceFormat(std::string_view extension);

// This folder's rows, in table order.
const std::vector<SourceFormat>& SourceFormats();

// Adds rows of a reader outside this folder, for extensions no reader here
// claims; `rows` must outlive every lookup. Adding the same rows again does
// nothing.
void AddSourceFormats(std::span<const SourceFormat> rows);

// Each reader file defines its function; a reader not built yet returns an
// empty span.
std::span<const SourceFormat> BmpFormats();
std::span<const SourceFormat> JpegFormats();
std::span<const SourceFormat> GifFormats();
std::span<const SourceFormat> PngFormats();
std::span<const SourceFormat> ChartTilesFormats();  // .hdr, .rml
std::span<const SourceFormat> EcwFormats();
std::span<const SourceFormat> MrSidFormats();
std::span<const SourceFormat> BsbFormats();         // .kap, .nos
std::span<const SourceFormat> TiffFormats();
std::span<const SourceFormat> GdalFormats();        // .jp2, .pdf, .webp, ... through GDAL

}  // namespace tessary
