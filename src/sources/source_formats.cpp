#include "sources/source_formats.h"

#include <mutex>

#include "sources/gdal_reader.h"

namespace tessary {

namespace {

std::mutex outerMutex;
// Rows added by AddSourceFormats; each span points at its owner's static
// table, so a row found stays where it is.
std::vector<std::span<const SourceFormat>> outerRows;

}  // namespace

const std::vector<SourceFormat>& SourceFormats() {
    static const std::vector<SourceFormat> table = [] {
        std::vector<SourceFormat> rows;
        for (auto part : {BmpFormats(), JpegFormats(), GifFormats(), PngFormats(), ChartTilesFormats(),
                          EcwFormats(), MrSidFormats(), BsbFormats(), TiffFormats(), GdalFormats()})
            rows.insert(rows.end(), part.begin(), part.end());
        return rows;
    }();
    return table;
}

void AddSourceFormats(std::span<const SourceFormat> rows) {
    std::lock_guard lock(outerMutex);
    for (std::span<const SourceFormat> added : outerRows)
        if (added.data() == rows.data()) return;
    outerRows.push_back(rows);
}

const SourceFormat* FindSourceFormat(std::string_view extension) {
    for (const SourceFormat& row : SourceFormats())
        if (row.extension == extension) return &row;
    {
        std::lock_guard lock(outerMutex);
        for (std::span<const SourceFormat> part : outerRows)
            for (const SourceFormat& row : part)
                if (row.extension == extension) return &row;
    }
    return FindAddedGdalFormat(extension);
}

}  // namespace tessary
