#include "sources/source_formats.h"

#include "sources/gdal_reader.h"

namespace tessary {

const std::vector<SourceFormat>& SourceFormats() {
    static const std::vector<SourceFormat> table = [] {
        std::vector<SourceFormat> rows;
        for (auto part :
             {BmpFormats(), JpegFormats(), GifFormats(), PngFormats(), ChartTilesFormats(), RpxFormats(),
              EcwFormats(), MrSidFormats(), BsbFormats(), TiffFormats(), ScratchFormats(), GdalFormats()})
            rows.insert(rows.end(), part.begin(), part.end());
        return rows;
    }();
    return table;
}

const SourceFormat* FindSourceFormat(std::string_view extension) {
    for (const SourceFormat& row : SourceFormats())
        if (row.extension == extension) return &row;
    return FindAddedGdalFormat(extension);
}

}  // namespace tessary
