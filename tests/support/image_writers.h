// Writers of small source images for tests: one picture saved as BMP (every
// depth, both row orders, run-length compressed), PNG, GIF and TIFF, so that
// tests can check that every format and every reading route gives the same
// rows and the same converted file.
#pragma once

#include <tiff.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/picture.h"

namespace tessary::test {

// Pixels of a test picture: palette indices (bitsPerPixel 1, 4 or 8, one
// index per byte) or blue, green, red (bitsPerPixel 24).
struct TestImage {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 8;
    Palette palette{};  // entries beyond 2^bitsPerPixel stay zero
    std::vector<uint8_t> pixels;

    uint8_t Index(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
    const uint8_t* Bgr(int x, int y) const { return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
};

// A palettised picture with distinct palette colours, stripes of index 0
// (whole rows and runs inside rows, which run-length files encode as jumps),
// long runs and busy stretches of changing indices.
TestImage PalettisedImage(int width, int height, int bitsPerPixel);
// A 24-bit picture with many colours.
TestImage ColourImage(int width, int height);

// Blue, green, red of the pixel at (x, y).
using PixelColour = std::function<std::array<uint8_t, 3>(int x, int y)>;
// A 24-bit picture drawn by `colour`.
TestImage DrawnImage(int width, int height, const PixelColour& colour);
// An 8-bit palettised picture: `index` gives each pixel's palette entry.
TestImage DrawnImage(int width, int height, const Palette& palette, const std::function<uint8_t(int, int)>& index);

enum class BmpRows { BottomUp, TopDown };
// Uncompressed BMP of the image's depth (24-bit images as 24-bit).
void WriteBmp(const std::string& path, const TestImage& image, BmpRows order);
// How a 32-bit BMP carries the fourth byte of its pixels: as padding (no
// alpha mask, 40-byte header), as alpha named by the mask of a 124-byte
// header with bitfields, or as alpha named by the fourth of the masks that
// follow a 40-byte header with alpha bitfields.
enum class BmpAlpha { Padding, HeaderMask, AlphaBitfields };
// A 32-bit BMP, bottom-up, of a 24-bit image with `alpha` (one byte a pixel,
// row by row) as each pixel's fourth byte.
void WriteBmp32(const std::string& path, const TestImage& image, const std::vector<uint8_t>& alpha, BmpAlpha kind);
// Run-length compressed BMP (8-bit images as RLE8, 4-bit as RLE4), using
// encoded runs, literal runs, jumps over index 0 and an early end of the
// picture when its last stored rows are all index 0.
void WriteRleBmp(const std::string& path, const TestImage& image);
// PNG: palette images at their depth, 24-bit images as RGB.
void WritePng(const std::string& path, const TestImage& image, bool interlaced);
// PNG with a transparency chunk: a palette image's entries from 0 get
// `entryAlpha`; a 24-bit image's colour `key` (blue, green, red) is
// transparent.
void WriteTransparentPng(const std::string& path, const TestImage& image, const std::vector<uint8_t>& entryAlpha,
                         const std::array<uint8_t, 3>& key);
// PNG with straight alpha (RGBA) of a 24-bit image and `alpha`, one byte a
// pixel, row by row.
void WriteRgbaPng(const std::string& path, const TestImage& image, const std::vector<uint8_t>& alpha);
// GIF of an 8-bit (or lower) image with a global colour table of 256 entries.
// With `control` >= 0, a graphic control extension before the image names
// that index, transparent when `transparencyFlag` is set.
void WriteGif(const std::string& path, const TestImage& image, bool interlaced, int control = -1,
              bool transparencyFlag = true);
// TIFF: 8-bit palette or 24-bit RGB, uncompressed strips of 16 rows.
void WriteTiff(const std::string& path, const TestImage& image);

// The fields of a striped, interleaved TIFF of any sample kind.
struct TiffFields {
    int width, height;
    uint16_t bits, samples, photometric, compression;
    uint32_t rowsPerStrip;
};
// Writes a TIFF with libtiff; `rows` holds each row's stored bytes and
// `colourMap` the red, then green, then blue entries of a palette file.
void WriteTiff(const std::string& path, const TiffFields& fields, const std::vector<std::vector<uint8_t>>& rows,
               const std::vector<uint16_t>* colourMap = nullptr, uint16_t sampleFormat = SAMPLEFORMAT_UINT);

}  // namespace tessary::test
