// Synthetic rasters for the benchmarks: map-like content (flat areas of a
// few dozen colours, lines, a little noise), held in memory or generated
// row by row.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sources/source_image.h"

namespace tessary::bench {

// The colour (blue, green, red) of pixel (x, y) of a map-like picture.
inline void MapPixel(int x, int y, uint8_t* bgr) {
    static const uint8_t kColours[][3] = {
        {230, 240, 245}, {200, 220, 180}, {120, 180, 90},  {250, 200, 150}, {40, 40, 40},
        {180, 120, 60},  {90, 160, 220},  {255, 255, 255}, {0, 0, 200},     {150, 150, 150},
    };
    int area = ((x / 97) * 7 + (y / 61) * 3 + (x / 13 + y / 17) % 2) % 10;
    const uint8_t* c = kColours[area];
    bool line = (x + 3 * y) % 157 < 2 || (3 * x - y + 100000) % 211 < 2;
    uint32_t h = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
    int noise = int((h >> 13) % 9) - 4;
    for (int k = 0; k < 3; ++k) {
        int v = line ? 30 : c[k] + noise;
        bgr[k] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

class MemoryRows : public SourceRowReader {
public:
    MemoryRows(int width, int height) : width_(width), height_(height), pixels_(size_t(width) * height * 3) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) MapPixel(x, y, pixels_.data() + (size_t(y) * width + x) * 3);
    }
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 3;
        palette = Palette{};
    }
    void ReadRow(int row, uint8_t* buffer) override {
        const uint8_t* p = pixels_.data() + size_t(row) * width_ * 3;
        std::copy(p, p + size_t(width_) * 3, buffer);
    }

private:
    int width_, height_;
    std::vector<uint8_t> pixels_;
};

inline SourceHandle MemorySource(int width, int height) {
    auto handle = std::make_unique<Timagerecord4>();
    handle->FileName = "memory";
    handle->Width = width;
    handle->Height = height;
    handle->Reader = std::make_unique<MemoryRows>(width, height);
    FillSourceFormat(*handle);
    return handle;
}

}  // namespace tessary::bench
