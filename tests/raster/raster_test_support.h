// Helpers shared by the raster tests: a private temporary folder, sources
// held in memory or written as scratch rasters, and a recording observer.
#pragma once

#ifdef _WIN32
#include <io.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/run_context.h"
#include "engine/source_rows.h"
#include "raster/scratch_raster.h"
#include "sources/source_image.h"
#include "support/fake_rows.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary::testing {

using TempFolder = test::TempFolder;

// A handle over rows in memory: 3 bytes per pixel (blue, green, red) or 1
// (indices).
inline SourceHandle MemorySource(int width, int height, int bytesPerPixel, std::vector<uint8_t> pixels,
                                 const Palette& palette = {}) {
    const size_t rowBytes = size_t(width) * size_t(bytesPerPixel);
    return test::FakeRowsSource("memory", width, height, bytesPerPixel, palette,
                                [pixels = std::move(pixels), rowBytes](int row, uint8_t* buffer) {
                                    std::copy_n(pixels.data() + size_t(row) * rowBytes, rowBytes, buffer);
                                });
}

// A handle over rows in memory; `pixel(x, y, bgr)` gives each pixel.
inline SourceHandle MemorySource24(int width, int height,
                                   const std::function<void(int, int, uint8_t*)>& pixel) {
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixel(x, y, pixels.data() + (size_t(y) * size_t(width) + size_t(x)) * 3);
    return MemorySource(width, height, 3, std::move(pixels));
}

inline SourceHandle MemorySource8(int width, int height, const Palette& palette,
                                  const std::function<uint8_t(int, int)>& index) {
    std::vector<uint8_t> pixels(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) pixels[size_t(y) * size_t(width) + size_t(x)] = index(x, y);
    return MemorySource(width, height, 1, std::move(pixels), palette);
}

// Writes an indexed scratch raster and opens it as a source.
inline SourceHandle ScratchSource(const std::string& path, int width, int height, const Palette& palette,
                                  const std::function<uint8_t(int, int)>& index) {
    {
        ScratchRasterWriter writer(path, width, height, palette);
        std::vector<uint8_t> row(static_cast<size_t>(width));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) row[size_t(x)] = index(x, y);
            writer.AppendRow(row.data());
        }
        writer.Finish();
    }
    AddEngineSourceRows();
    return OpenSourceImageOrNull(path);
}

// Every row of an indexed scratch raster.
inline std::vector<std::vector<uint8_t>> ReadAllRows(const std::string& path, Palette* palette = nullptr) {
    ScratchRasterReader reader(path);
    if (palette) *palette = reader.ScratchPalette();
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < reader.Height(); ++y) {
        rows.emplace_back(size_t(reader.Width()));
        reader.ReadScratchRow(y, rows.back().data());
    }
    return rows;
}

using test::ObserverEvent;
using test::RecordingObserver;

// Open file descriptors of this process (to see that nothing stays open).
inline int OpenDescriptorCount() {
    int n = 0;
#ifdef _WIN32
    // The C runtime's descriptors (what fopen and open hold).
    for (int fd = 0; fd < 2048; ++fd)
        if (_get_osfhandle(fd) != -1) ++n;
#else
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
#endif
    return n;
}

}  // namespace tessary::testing
