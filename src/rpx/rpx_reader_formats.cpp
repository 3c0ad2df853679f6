#include "rpx/rpx_reader.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

// RPX and RPX2 sources are loaded whole: level 0 at full size.
std::optional<WholeImage> LoadRpxWhole(const std::string& path) {
    std::optional<Picture> picture = RpxToPicture(path, 1, 0);
    if (!picture) return std::nullopt;
    return WholeImage{std::move(*picture), false};
}

const SourceFormat kRpxRows[] = {
    {".rpx", LoadRpxWhole, nullptr, GetRpxSize},
    {".rpx2", LoadRpxWhole, nullptr, GetRpxSize},
};

}  // namespace

std::span<const SourceFormat> RpxFormats() {
    return kRpxRows;
}

}  // namespace tessary
