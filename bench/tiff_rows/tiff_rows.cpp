// Writes a striped 24-bit TIFF with libtiff, or reads one row by row through
// OpenSourceImage / ReadSourceRow and reports the peak resident memory.
//
//   tiff_rows make <path.tif> <width> <height> [none|deflate] [rows per strip]
//   tiff_rows read <path.tif>
#include <sys/resource.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "sources/source_image.h"

namespace {

long PeakRssKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // kilobytes on Linux
}

int Make(const char* path, uint32_t width, uint32_t height, bool deflate, uint32_t rowsPerStrip) {
    // BigTIFF only when a classic file could not hold the uncompressed pixels.
    const bool big = uint64_t(width) * height * 3 > (uint64_t(3) << 30);
    TIFF* tiff = TIFFOpen(path, big ? "w8" : "w");
    if (!tiff) return 1;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, deflate ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE);
    if (deflate) TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 1);
    std::vector<uint8_t> row(size_t(width) * 3);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            row[3 * size_t(x)] = uint8_t(x >> 4);
            row[3 * size_t(x) + 1] = uint8_t(y >> 4);
            row[3 * size_t(x) + 2] = uint8_t((x ^ y) >> 6);
        }
        if (TIFFWriteScanline(tiff, row.data(), y, 0) != 1) {
            TIFFClose(tiff);
            return 1;
        }
    }
    TIFFClose(tiff);
    return 0;
}

int Read(const char* path) {
    const long before = PeakRssKilobytes();
    const auto start = std::chrono::steady_clock::now();
    tessary::SourceOpenResult opened = tessary::OpenSourceImage(path);
    auto* handle = std::get_if<tessary::SourceHandle>(&opened);
    if (!handle || !*handle) {
        std::fprintf(stderr, "could not open %s\n", path);
        return 1;
    }
    tessary::Timagerecord4& image = **handle;
    std::vector<uint8_t> row(size_t(image.Width) * size_t(image.BytesPerPixel));
    uint64_t sum = 0;
    for (int y = 0; y < image.Height; ++y) {
        tessary::ReadSourceRow(image, y, row.data());
        sum += row[size_t(y) % row.size()];
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "rows %d x %d x %d, checksum %llu, %.1f s, peak RSS before open %.1f MB, after reading %.1f MB\n",
        image.Width, image.Height, image.BytesPerPixel, (unsigned long long)sum, seconds, before / 1024.0,
        PeakRssKilobytes() / 1024.0);
    tessary::CloseSourceImage(*handle);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "make") == 0) {
        const bool deflate = argc >= 6 && std::strcmp(argv[5], "deflate") == 0;
        const uint32_t rowsPerStrip = argc >= 7 ? uint32_t(std::strtoul(argv[6], nullptr, 10)) : 16;
        return Make(argv[2], uint32_t(std::strtoul(argv[3], nullptr, 10)),
                    uint32_t(std::strtoul(argv[4], nullptr, 10)), deflate, rowsPerStrip);
    }
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return Read(argv[2]);
    std::fprintf(stderr,
                 "usage: tiff_rows make <path.tif> <width> <height> [none|deflate] [rows per strip]\n"
                 "       tiff_rows read <path.tif>\n");
    return 2;
}
