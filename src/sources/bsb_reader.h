// BSB raster charts (".kap") and their older NOS variant (".nos"), read row by
// row. A chart file holds a text header ended by 0x1A, run-length-encoded
// rows, a big-endian table of row offsets and, in its last 4 bytes, the
// position of that table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// One open chart. All state lives here, so several charts may be open at once.
class ChartReader : public SourceRowReader {
public:
    int Width() const override { return width_; }
    // The "RA=" height: every row of the chart, the last one included.
    int Height() const override { return height_; }
    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override;
    // Decodes row `row` (0 = top) into `buffer` (Width() palette indices). A
    // row beyond Height() - 1 leaves the buffer untouched. A row the file
    // does not hold, or whose runs do not fill it, throws SourceDamaged after
    // decoding what there is.
    void ReadRow(int row, uint8_t* buffer) override;
    Picture LoadPreview(int factor) override;

    int IndexBits() const { return indexBits_; }
    int ColourCount() const { return colourCount_; }
    // True when the rows were found by scanning because the file holds no
    // usable row table.
    bool RowsFoundByScanning() const { return scanned_; }
    // Rows whose data the file holds: Height(), unless the file ends early.
    int RowsInFile() const { return rowsInFile_; }

private:
    friend std::unique_ptr<ChartReader> OpenChart(const std::string& path);
    ChartReader() = default;
    // Decodes a row in range; gives why it is damaged, or "" when it is not.
    std::string DecodeRow(int row, uint8_t* buffer);

    int width_ = 0;
    int height_ = 0;
    int rowsPerEntry_ = 1;
    int indexBits_ = 0;
    int colourCount_ = 0;
    int rowsInFile_ = 0;
    // Start of every row's data found in the file, followed by the end of the
    // last one.
    std::vector<uint32_t> rowTable_;
    CheckedFile file_;
    std::array<std::array<uint8_t, 3>, 256> colours_{};  // red, green, blue
    std::vector<uint8_t> rowBytes_;
    bool scanned_ = false;
};

// Opens a chart: reads the header and the row table. Throws SourceError
// (SourceUnusable, with the reason) when the chart cannot be used: no "RA="
// size, index bits outside 1..7, an "RGB" index outside 0..255, more than
// one row per table entry, no row found in the file, or a width more than
// twice what any of its rows covers (a header stating a size its rows do not
// hold is refused before a row buffer is sized by it). A file that ends
// before its last rows opens; those rows are damaged. File errors raise
// IoError.
std::unique_ptr<ChartReader> OpenChart(const std::string& path);

// Bytes per pixel 1 and palette entries 1..ColourCount from the "RGB"
// records; other entries are left as they were. False for a null handle.
bool GetChartFormat(ChartReader* chart, int32_t& bytesPerPixel, Palette& palette);

// A reduced 8-bit picture: every factor-th row and column. Empty when the
// chart cannot be opened or the picture would have no pixels.
Picture LoadChartPreview(const std::string& path, int factor);

// Width, Height and 1 byte per pixel, read from the header and row table;
// 0, 0, 1 and false when the chart cannot be used.
bool GetChartInfo(const std::string& path, SourceImageInfo& info);

// Decodes the bytes of one row (row number first, then runs) into `row`,
// which holds `width` pixels. Never reads past `bytes` nor writes past the
// row; pixels no run reaches keep their content, except that a row one pixel
// short gets index 0 in its last pixel. Gives the number of pixels the runs
// covered (at most `width`). A null `row` only counts them.
int DecodeChartRow(std::span<const uint8_t> bytes, int indexBits, int width, uint8_t* row);

// The integer value of a header field: characters other than digits, "+" and
// "-" count as spaces; surrounding spaces are dropped; an empty or
// unconvertible field gives `fallback`.
int ChartFieldInt(const std::string& value, int field, int fallback);

}  // namespace tessary
