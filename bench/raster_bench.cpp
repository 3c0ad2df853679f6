// Micro-benchmarks of the raster passes: quantizer, nearest-palette search,
// horizontal and vertical resampling, and one whole zoom level.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "bench_support.h"
#include "raster/quantizer.h"
#include "raster/resample.h"
#include "raster/zoom_level.h"

namespace tessary {
namespace {

std::vector<uint8_t> MapRows(int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) bench::MapPixel(x, y, pixels.data() + (size_t(y) * width + x) * 3);
    return pixels;
}

// AddPixel on 1,000,000 map-like pixels with the zoom level limit of 62.
void BM_QuantizerAddPixel(benchmark::State& state) {
    const auto pixels = MapRows(1000, 1000);
    for (auto _ : state) {
        TColorQuantizer q(int(state.range(0)), 8);
        for (size_t i = 0; i < pixels.size(); i += 3) q.AddPixel(pixels[i + 2], pixels[i + 1], pixels[i]);
        Palette p{};
        q.BuildPalette(p);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_QuantizerAddPixel)->Arg(62)->Arg(254)->Unit(benchmark::kMillisecond);

Palette LevelPalette(int entries) {
    std::mt19937 rng(5);
    Palette p{};
    for (int i = 0; i < entries; ++i)
        p[size_t(i)] = PaletteEntry{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
    return p;
}

// The plain linear search over a zoom level's 84 entries (or 256).
void BM_NearestPaletteIndex(benchmark::State& state) {
    const int count = int(state.range(0));
    const Palette p = LevelPalette(count);
    const auto pixels = MapRows(1000, 100);
    for (auto _ : state) {
        unsigned sum = 0;
        for (size_t i = 0; i < pixels.size(); i += 3)
            sum += NearestPaletteIndex(p, pixels[i + 2], pixels[i + 1], pixels[i], count);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_NearestPaletteIndex)->Arg(84)->Arg(256);

// The remembered search used by the passes, same pixels (a new cache per
// iteration, so the misses count).
void BM_NearestPaletteSearch(benchmark::State& state) {
    const int count = int(state.range(0));
    const Palette p = LevelPalette(count);
    const auto pixels = MapRows(1000, 100);
    std::vector<uint8_t> indices(1000);
    for (auto _ : state) {
        NearestPaletteSearch search(p, count);
        for (int y = 0; y < 100; ++y) search.MapRow(pixels.data() + size_t(y) * 3000, indices.data(), 1000);
        benchmark::DoNotOptimize(indices.data());
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_NearestPaletteSearch)->Arg(84)->Arg(256);

// One 4000-pixel 24-bit row to 1000 pixels (the 25 % level).
void BM_HorizontalPass(benchmark::State& state) {
    const auto row = MapRows(4000, 1);
    ContributorTable columns(4000, int(state.range(0)), kMitchellFilter);
    std::vector<uint8_t> out(size_t(state.range(0)) * 3);
    for (auto _ : state) {
        ResampleRow(3, row.data(), out.data(), Palette{}, columns);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HorizontalPass)->Arg(1000)->Arg(400);

// One 1000-pixel target row from the resampled rows of one row list.
void BM_VerticalPass(benchmark::State& state) {
    const int width = 1000;
    ContributorTable rows(3000, int(state.range(0)), kMitchellFilter);
    auto list = rows.List(int(state.range(0)) / 2);
    const auto source = MapRows(width, int(list.size()));
    std::vector<const uint8_t*> pointers;
    for (size_t k = 0; k < list.size(); ++k) pointers.push_back(source.data() + k * width * 3);
    std::vector<uint8_t> out(size_t(width) * 3);
    for (auto _ : state) {
        CombineRows(list, pointers.data(), width, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["taps"] = double(list.size());
    state.SetItemsProcessed(state.iterations() * width);
}
BENCHMARK(BM_VerticalPass)->Arg(750)->Arg(300);

// A whole 25 % zoom level of a 24-bit 4000 x 3000 raster: both passes,
// spool and output files included.
void BM_ZoomLevel24Bit4000x3000(benchmark::State& state) {
    auto source = bench::MemorySource(4000, 3000);
    auto folder = std::filesystem::temp_directory_path() / "tessary_bench_level";
    std::filesystem::create_directories(folder);
    RunContext context;
    context.tempFolder = FolderPath(folder.string() + "/");
    DominantColourTable dominant{};
    for (auto _ : state) {
        bool done =
            BuildZoomLevel(context, 1, *source, kZoomLevelColourLimit, double(state.range(0)), dominant);
        benchmark::DoNotOptimize(done);
    }
    std::filesystem::remove_all(folder);
    state.SetItemsProcessed(state.iterations() * 4000 * 3000);
}
BENCHMARK(BM_ZoomLevel24Bit4000x3000)->Arg(25)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace tessary
