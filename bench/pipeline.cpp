// Converts one image the way a conversion with default settings does
// (colour reduction or the source itself as level 0, every zoom level, the
// RPX2 file) and prints the time of each stage. Used to profile the passes
// without the front end:
//
//   tessary_pipeline SOURCE OUTPUT.rpx2 [temporary folder [threads]]
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/file.h"
#include "common/text.h"
#include "engine/source_rows.h"
#include "engine/zoom_scales.h"
#include "raster/colour_reduction.h"
#include "raster/zoom_level.h"
#include "rpx/rpx2_writer.h"

using namespace tessary;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    AddEngineSourceRows();  // the scratch rasters are read as sources
    if (argc < 3) {
        std::fprintf(stderr, "usage: tessary_pipeline SOURCE OUTPUT.rpx2 [temporary folder [threads]]\n");
        return 2;
    }
    std::filesystem::path folder = argc > 3 ? std::filesystem::path(argv[3])
                                            : std::filesystem::temp_directory_path() / "tessary_pipeline";
    std::filesystem::create_directories(folder);
    RunContext context;
    context.tempFolder = FolderPath(folder.string() + "/");
    context.threads = argc > 4 ? unsigned(std::atoi(argv[4])) : 0;

    auto start = std::chrono::steady_clock::now();
    auto stage = start;
    auto report = [&](const char* what) {
        std::printf("%-28s %6.2f s\n", what, Seconds(stage));
        stage = std::chrono::steady_clock::now();
    };

    SourceHandle source = OpenSourceImageOrNull(argv[1]);
    if (!source) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    SourceHandle level0;
    if (source->BytesPerPixel == 3) {
        if (!ReduceColorsPass(context, *source)) return 1;
        CloseSourceImage(source);
        level0 = OpenSourceImageOrNull(context.TempPath("rpx_0.rpx0"));
        report("colour reduction");
    } else {
        level0 = std::move(source);
    }
    const int W = level0->Width;
    const int H = level0->Height;
    const double aspect = double(W) / double(H);
    const int w130 = aspect > 1 ? 130 : int(RoundHalfEven(130 * aspect));
    const int w300 = aspect > 1 ? 300 : int(RoundHalfEven(300 * aspect));
    const ScaleList scales = BuildScaleListFromText(W, H, w130, w300, std::nullopt);
    const DominantColourTable dominant = SampleDominantColors(*level0);

    if (!BuildZoomLevel(context, 1, *level0, kZoomLevelColourLimit, scales[1], dominant)) return 1;
    SourceHandle level1 = OpenSourceImageOrNull(context.TempPath("rpx_1.rpx0"));
    for (int t = 2; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        const double s = scales[size_t(t)];
        const bool fromLevel1 = s < 19.9;
        if (!BuildZoomLevel(context, t, fromLevel1 ? *level1 : *level0, kZoomLevelColourLimit,
                            fromLevel1 ? s / double(scales[1]) * 100.0 : s, dominant))
            return 1;
    }
    level1.reset();
    report("zoom levels");

    Rpx2Writer writer(CheckedFile(argv[2], CheckedFile::Mode::Create), context);
    WriteRpx2Header(writer, W, H, false, scales);
    if (!WriteRpx2Level(writer, *level0)) return 1;
    report("writing level 0");
    for (int t = 1; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        SourceHandle level = OpenSourceImageOrNull(context.TempPath("rpx_" + std::to_string(t) + ".rpx0"));
        if (!WriteRpx2Level(writer, *level)) return 1;
    }
    WriteRpx2Trailer(writer);
    writer.Close();
    report("writing other levels");
    std::printf("total %.2f s, %llu bytes, peak RSS %ld kB\n", Seconds(start),
                (unsigned long long)writer.Position(), PeakRssKb());
    return 0;
}
