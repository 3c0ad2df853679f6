// Writes a source resampled to a zoom level's size exactly as the zoom
// levels make it and `tessary-cli compare` measures them, as a binary PPM,
// so that other tools can reduce the very picture a level is made from:
//
//   tessary_level_picture SOURCE WIDTH HEIGHT OUT.ppm
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "engine/level_error.h"
#include "sources/source_image.h"

using namespace tessary;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: tessary_level_picture SOURCE WIDTH HEIGHT OUT.ppm\n");
        return 2;
    }
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    if (width <= 0 || height <= 0) {
        std::fprintf(stderr, "tessary_level_picture: bad size %s x %s\n", argv[2], argv[3]);
        return 2;
    }
    try {
        SourceOpenResult opened = OpenSourceImage(argv[1]);
        if (!std::holds_alternative<SourceHandle>(opened) || !std::get<SourceHandle>(opened)) {
            std::fprintf(stderr, "tessary_level_picture: %s is not an image tessary reads\n", argv[1]);
            return 1;
        }
        SourceHandle source = std::move(std::get<SourceHandle>(opened));
        FILE* out = std::fopen(argv[4], "wb");
        if (!out) {
            std::perror(argv[4]);
            return 1;
        }
        std::fprintf(out, "P6\n%d %d\n255\n", width, height);
        std::vector<uint8_t> scratch, rgb(size_t(width) * 3);
        ResampleSourceRows(
            source->Width, source->Height,
            [&](int y, uint8_t* bgr) { ReadSourceRowBgr(*source, y, bgr, scratch); }, width, height,
            [&](int, const uint8_t* bgr) {
                for (int x = 0; x < width; ++x)
                    for (int c = 0; c < 3; ++c) rgb[3 * size_t(x) + size_t(c)] = bgr[3 * size_t(x) + 2 - size_t(c)];
                std::fwrite(rgb.data(), 1, rgb.size(), out);
            });
        CloseSourceImage(source);
        if (std::fclose(out) != 0) {
            std::perror(argv[4]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessary_level_picture: %s\n", e.what());
        return 1;
    }
    return 0;
}
