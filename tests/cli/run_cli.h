// Runs the built tessary-cli program and collects what it prints; writes
// the small real images the program tests convert.
#pragma once

#include <sys/wait.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessary::testing_cli {

struct RunResult {
    int status = -1;  // the exit status, -1 when the program did not exit
    std::string out;
};

// Runs tessary-cli with a shell command line; stderr joins stdout when asked,
// else it is dropped.
inline RunResult RunCliProgram(const std::string& arguments, bool withStderr) {
    std::string command =
        std::string(TESSARY_BIN_DIR) + "/tessary-cli " + arguments + (withStderr ? " 2>&1" : " 2>/dev/null");
    RunResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
    int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

// A 24-bit RGB TIFF with some structure; `seed` varies the picture.
inline void WriteRgbTiff(const std::string& path, int width, int height, int seed = 0) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff) throw std::runtime_error("cannot create " + path);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(16));
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[size_t(x) * 3] = uint8_t((x * 3 + y + seed) % 256);
            row[size_t(x) * 3 + 1] = uint8_t((y * 2 + seed * 7) % 256);
            row[size_t(x) * 3 + 2] = (x % 50 < 2) ? 20 : uint8_t((x ^ y) & 0xFF);
        }
        if (TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) != 1) {
            TIFFClose(tiff);
            throw std::runtime_error("cannot write " + path);
        }
    }
    TIFFClose(tiff);
}

}  // namespace tessary::testing_cli
