// Writes the seed inputs of the targets that have no sample files: RPX2
// files (through the program's own writer), legacy RPX files and scratch
// rasters, all small. Run once; its output is kept in fuzz/corpus/.
//   make_seeds <corpus folder>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "raster/scratch_raster.h"
#include "rpx/rpx_test_support.h"

using namespace tessary;
using namespace tessary::rpxtest;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <corpus folder>\n");
        return 2;
    }
    const std::string corpus = std::string(argv[1]) + "/";
    std::filesystem::create_directories(corpus + "rpx");
    std::filesystem::create_directories(corpus + "scratch");
    TempFolder temp;
    RunContext context;
    context.tempFolder = FolderPath(temp.Path(""));

    // RPX2: one level, two levels, a chart source with a tile edge crossing.
    Raster big = RandomRaster(70, 50, 16, 1);
    Raster small = RandomRaster(35, 25, 16, 2);
    WriteRpx2File(corpus + "rpx/one_level.rpx2", temp, {RandomRaster(20, 12, 4, 3)}, ScalesFor({100.0f}),
                  false, context);
    WriteRpx2File(corpus + "rpx/two_levels.rpx2", temp, {big, small}, ScalesFor({100.0f, 50.0f}), false,
                  context);
    WriteRpx2File(corpus + "rpx/chart.rpx2", temp, {RandomRaster(65, 64, 200, 4)}, ScalesFor({100.0f}), true,
                  context);
    // Legacy RPX at each depth, stored and compressed.
    for (int bits : {1, 2, 4, 8})
        for (bool compressed : {false, true}) {
            Raster r = RandomRaster(23, 9, 1 << std::min(bits, 4), uint32_t(10 + bits));
            WriteBytes(corpus + "rpx/legacy_" + std::to_string(bits) + (compressed ? "z" : "") + ".rpx",
                       BuildLegacyRpx(r, bits, compressed));
        }

    // Scratch rasters: small, one pixel, wide.
    auto scratch = [&](const std::string& name, const Raster& r) {
        ScratchRasterWriter writer(corpus + "scratch/" + name, r.width, r.height, r.palette);
        for (int y = 0; y < r.height; ++y) writer.AppendRow(r.pixels.data() + size_t(y) * size_t(r.width));
        writer.Finish();
    };
    scratch("small.rpx0", RandomRaster(30, 20, 8, 5));
    scratch("pixel.rpx0", RandomRaster(1, 1, 2, 6));
    scratch("wide.rpx0", RandomRaster(300, 3, 250, 7));
    return 0;
}
