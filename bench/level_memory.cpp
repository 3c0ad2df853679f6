// Builds every zoom level of a tall palettised raster the way a conversion
// does (default scales, levels below 19.9 % from level 1) and reports the
// time of each level and the peak resident memory of the process.
//
//   tessary_level_memory [width height [temporary folder]]   (default 2000 x 150000)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/text.h"
#include "engine/source_rows.h"
#include "engine/zoom_scales.h"
#include "raster/scratch_raster.h"
#include "raster/zoom_level.h"

using namespace tessary;

namespace {

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    AddEngineSourceRows();  // the scratch rasters are read as sources
    const int width = argc > 2 ? std::atoi(argv[1]) : 2000;
    const int height = argc > 2 ? std::atoi(argv[2]) : 150000;
    std::filesystem::path folder = argc > 3 ? std::filesystem::path(argv[3])
                                            : std::filesystem::temp_directory_path() / "tessary_level_memory";
    std::filesystem::create_directories(folder);
    RunContext context;
    context.tempFolder = FolderPath(folder.string() + "/");

    // A 40-colour palette: ten areas in four shades each.
    Palette palette{};
    std::vector<uint8_t> row(static_cast<size_t>(width));
    for (int i = 0; i < 40; ++i) {
        uint8_t bgr[3];
        bench::MapPixel((i / 4) * 97, 0, bgr);
        palette[size_t(i)] = PaletteEntry{uint8_t(bgr[0] - i % 4 * 3), uint8_t(bgr[1]), uint8_t(bgr[2]), 0};
    }
    auto start = std::chrono::steady_clock::now();
    const std::string sourcePath = context.TempPath("source.rpx0");
    {
        ScratchRasterWriter writer(sourcePath, width, height, palette);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                int area = ((x / 97) * 7 + (y / 61) * 3 + (x / 13 + y / 17) % 2) % 10;
                row[size_t(x)] = uint8_t(area * 4 + (uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) % 4);
            }
            writer.AppendRow(row.data());
        }
        writer.Finish();
    }
    std::printf("source %d x %d written in %.1f s, peak RSS %ld kB\n", width, height, Seconds(start),
                PeakRssKb());

    SourceHandle level0 = OpenSourceImageOrNull(sourcePath);
    if (!level0) {
        std::fprintf(stderr, "cannot open %s\n", sourcePath.c_str());
        return 1;
    }
    double aspect = double(width) / double(height);
    int w130 = aspect > 1 ? 130 : int(RoundHalfEven(130 * aspect));
    int w300 = aspect > 1 ? 300 : int(RoundHalfEven(300 * aspect));
    ScaleList scales = BuildScaleListFromText(width, height, w130, w300, std::nullopt);
    DominantColourTable dominant = SampleDominantColors(*level0);

    SourceHandle level1;
    const int used = UsedScaleSlots(scales);
    for (int n = 1; n < used; ++n) {
        double percent = ZoomLevelPercentage(scales, n);
        bool fromLevel1 = n >= 2 && double(scales[size_t(n)]) < 19.9;
        start = std::chrono::steady_clock::now();
        ZoomLevelStats stats;
        (void)BuildZoomLevel(context, n, fromLevel1 ? *level1 : *level0, kZoomLevelColourLimit, percent,
                             dominant, &stats);
        std::printf(
            "level %d: %.4g %% (%.4g %% of %s) -> %d x %d in %.1f s, rows resampled %lld, peak cached rows "
            "%lld (limit %lld), peak RSS %ld kB\n",
            n, double(scales[size_t(n)]), percent, fromLevel1 ? "level 1" : "level 0", stats.width,
            stats.height, Seconds(start), (long long)stats.rowsResampled, (long long)stats.peakCachedRows,
            (long long)stats.cacheLimit, PeakRssKb());
        if (n == 1) level1 = OpenSourceImageOrNull(context.TempPath("rpx_1.rpx0"));
    }
    level0.reset();
    level1.reset();
    std::filesystem::remove_all(folder);
    std::printf("peak RSS %ld kB\n", PeakRssKb());
    return 0;
}
