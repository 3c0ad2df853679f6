// ".map" calibration files: the line-3 match against an image name, then the
// rewrite of a copy (line 3 pointed at the RPX2 file, line 6 at the shrink
// factor). The first input byte picks the options and the factor so that
// every branch of the rewrite is reached.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "engine/map_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t choice = data[0];
    tessary::fuzz::TempInput input(data + 1, size - 1, ".map");
    try {
        tessary::MapFileMatchesImage(input.Path(), "/charts/Chart Name.tif");
        tessary::MapFileMatchesImage(input.Path(), "");
    } catch (const std::exception&) {
    }
    tessary::MapFileSettings settings;
    settings.sourceFolder = tessary::FolderPath("/charts/");
    settings.destinationFolder = tessary::FolderPath("/maps/out/");
    settings.includeImagePath = (choice & 1) != 0;
    double factor = (choice & 2) ? 100.0 / double(1 + (choice >> 2)) : 1.0;
    try {
        tessary::RewriteMapCopy(settings, input.Path(), "/maps/out/Chart Name.rpx2", factor);
        tessary::MapFileMatchesImage(input.Path(), "/maps/out/Chart Name.rpx2");
    } catch (const std::exception&) {
    }
    return 0;
}
