// Reads any raster GDAL can open as blue, green, red lines: the common core
// of the GDAL-backed decoding libraries. Three or more bands give red,
// green and blue (by colour interpretation, else the first three bands);
// one palette band is expanded through its colour table; any other band
// layout is grey, repeated in all three channels. A band GDAL calls alpha is
// composed over white paper. Full-resolution lines come from a band of rows
// read at once, as tall as GDAL's blocks, so that each block is decoded once.
//
// Files are opened only through the drivers the caller names for the
// file's format: never through GDAL's virtual file paths (/vsi...), never
// with side files (.aux.xml, .ovr, world files) read or written, and with
// GDAL's network access switched off for the whole process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Marks the C entry points a library exports.
#if defined(_WIN32)
#define TESSARY_EXPORT extern "C" __declspec(dllexport)
#else
#define TESSARY_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tessary::gdalplug {

// Adds a driver to every allow-list of this library, or with null clears
// what was added. For the tests only, which read GeoTIFF files under the
// vendor formats' extensions; the program never calls it.
TESSARY_EXPORT void TessaryGdalAllowDriverForTesting(const char* driver);

// Why the library cannot read anything: no GDAL 3 library was found, or it
// lacks a call this library makes (common/gdal_calls.h). Empty when GDAL is
// there; the readers then treat the library as missing.
TESSARY_EXPORT const char* TessaryGdalUnavailable(void);

// Why the last call of this thread into the library failed: GDAL's own text,
// or a word on what to install when GDAL lacks the driver a file needs.
// Empty after a call that succeeded.
const char* LastError();
void SetLastError(std::string text);

class BgrDataset {
public:
    // Opens a file read-only, silently, through one of `drivers` (GDAL's
    // short driver names) only; `format` names the format in messages
    // ("ECW"). Null when the file is not one GDAL reads through those
    // drivers as a raster with at least one band (LastError() then says
    // why, naming the format GDAL found when it found another).
    // `options` are GDAL open options ("DPI=300").
    static std::unique_ptr<BgrDataset> Open(const char* path, const char* format,
                                            const std::vector<std::string>& drivers,
                                            const std::vector<std::string>& options = {});
    ~BgrDataset();
    BgrDataset(const BgrDataset&) = delete;
    BgrDataset& operator=(const BgrDataset&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }
    int BandCount() const { return bandCount_; }

    // Reads output line `line` of the source rectangle (left, top, width,
    // height) shown at outWidth x outHeight: the source rows that fall on
    // that line are reduced to one row of outWidth pixels. Writes
    // outWidth x 3 bytes, blue, green, red. False when GDAL fails or the
    // arguments lie outside the image (LastError() then says why).
    bool ReadLine(int left, int top, int width, int height, int outWidth, int outHeight, int line,
                  uint8_t* out);

    // Whether GDAL finds an alpha band, composed over white in every line.
    bool HasAlpha() const { return alphaBand_ != 0; }

private:
    enum class Layout { Rgb, Palette, Grey };
    BgrDataset() = default;

    void* dataset_ = nullptr;  // GDALDatasetH
    int width_ = 0;
    int height_ = 0;
    int bandCount_ = 0;
    Layout layout_ = Layout::Grey;
    int bandMap_[3] = {1, 1, 1};                         // blue, green, red band numbers for Rgb
    std::array<std::array<uint8_t, 3>, 256> palette_{};  // blue, green, red
    int alphaBand_ = 0;                                  // 0: none
    std::vector<uint8_t> scratch_;

    // Source rows [top, top + rows) read as outWidth x outRows pixels into
    // `out`, blue, green, red.
    bool ReadRows(int left, int top, int width, int rows, int outWidth, int outRows, uint8_t* out);
    // Full-width rows held from the last band read: the band's first row,
    // its row count and its pixels, blue, green, red.
    int bandTop_ = 0;
    int bandRows_ = 0;
    std::vector<uint8_t> band_;
    // The last block row a full-width row could not be read from: its first
    // row, its row count and the reason.
    int failedTop_ = 0;
    int failedRows_ = 0;
    std::string failedError_;
};

}  // namespace tessary::gdalplug
