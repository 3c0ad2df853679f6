// Scratch rasters in the temporary folder.
//
// Indexed scratch raster (".rpx0"), little-endian:
//   0     width  (i32)
//   4     height (i32)
//   8     palette, 256 x (blue, green, red, reserved)
//   1032  one zlib stream per row, row 0 first, back to back
//   end - 4 x (height + 1): row offset table, height + 1 entries (u32):
//         entry i = offset of row i, entry height = offset of the table;
//         stored XOR-ed byte by byte with kScratchKey (byte j with key[j % 8]).
//
// RGB row spool ("temp.rpx0"): for each row, an i32 length L and L bytes of
// one zlib stream of width x 3 bytes (blue, green, red). No header, no table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/picture.h"
#include "common/worker_pool.h"
#include "common/zlib_stream.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {

inline constexpr int kScratchHeaderSize = 1032;
inline constexpr std::array<uint8_t, 8> kScratchKey = {0x54, 0x65, 0x73, 0x73, 0x61, 0x72, 0x79, 0x5A};

// Reader of an indexed scratch raster. Opening never fails on content: a
// header with a non-positive size, or a table that does not fit the file,
// gives a raster whose rows read as zeros and false.
class ScratchRasterReader : public SourceRowReader {
public:
    // Raises IoError when the file cannot be opened or read.
    explicit ScratchRasterReader(const std::string& path);

    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override;
    void ReadRow(int row, uint8_t* buffer) override;

    // The row's indices into `buffer` (at least Width() bytes). False, with
    // the buffer untouched, for a row beyond the raster; false with zeros for
    // a row whose stream lies outside the file. A corrupt stream raises
    // EDecompressionError.
    bool ReadScratchRow(int row, uint8_t* buffer);
    const Palette& ScratchPalette() const { return palette_; }

private:
    CheckedFile file_;
    int32_t headerWidth_ = 0;
    int32_t headerHeight_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
    uint64_t fileSize_ = 0;
    uint64_t tableStart_ = 0;
    Palette palette_{};
    std::vector<uint32_t> offsets_;
    std::vector<uint8_t> packed_;
    FastInflater inflater_;
};

// How many bytes of rows each scratch file stores uncompressed before its
// rows are deflated. Deflating the scratch rows and inflating them on each
// read took a fifth of the instructions of a whole conversion of a
// 2,000 x 1,600 map (libdeflate's set-up per stream weighs most on rows of
// a few thousand bytes). Stored rows make a scratch file 2.5 to 5 times as
// large, so only its first 64 MiB are stored: every image up to about
// 8,000 x 8,000 keeps all its scratch rows stored, and a larger one needs at
// most 64 MiB more per file than fully deflated rows would (against
// gigabytes of scratch for 100,000 x 100,000).
inline constexpr uint64_t kStoredScratchBytes = uint64_t(64) << 20;

// Turns the rows of a scratch file into zlib streams, on worker threads
// when given more than one thread, and hands the streams to `sink` in the
// order the rows came, on the caller's thread. Rows are stored until
// `storedBytes` of them have gone, then deflated; the choice depends on the
// row sizes alone, so the streams are the same whatever the number of
// threads. An error of a row's compression is raised by the Append or Flush
// that hands that row on.
class ScratchRowCompressor {
public:
    using Sink = std::function<void(const std::vector<uint8_t>& stream)>;
    ScratchRowCompressor(unsigned threads, Sink sink, uint64_t storedBytes = kStoredScratchBytes);
    ~ScratchRowCompressor();
    void Append(const uint8_t* data, size_t size);
    // Hands on every row appended so far.
    void Flush();

private:
    Sink sink_;
    uint64_t storedLeft_;
    std::vector<std::unique_ptr<FastDeflater>> deflaters_;  // one per thread
    std::vector<std::unique_ptr<FastDeflater>> storers_;    // one per thread
    std::vector<uint8_t> packed_;
    std::unique_ptr<WorkerPool> pool_;  // none for one thread
    std::unique_ptr<OrderedJobs<std::vector<uint8_t>>> jobs_;
};

// Writes an indexed scratch raster strictly in order, row 0 first.
// Destroying a writer before Finish() leaves a file without its table
// (an aborted pass); such a file is never opened again.
class ScratchRasterWriter {
public:
    // Creates or truncates the file and writes the head. Raises IoError.
    // `threads` (a RunContext::threads value, 0 for every core) deflate the
    // rows; the file is the same for any number.
    ScratchRasterWriter(const std::string& path, int width, int height, const Palette& palette,
                        unsigned threads = 1);

    void AppendRow(const uint8_t* indices);
    // Writes the scrambled table and closes the file.
    void Finish();

    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    CheckedFile file_;
    int width_;
    int height_;
    uint64_t position_ = kScratchHeaderSize;  // the writer's own byte count
    int rowsAppended_ = 0;
    std::vector<uint32_t> offsets_;
    ScratchRowCompressor rows_;  // last: its jobs end before the rest goes
};

// Writes "temp.rpx0": compressed 24-bit rows in order.
class RowSpoolWriter {
public:
    RowSpoolWriter(const std::string& path, int width, unsigned threads = 1);
    void AppendRow(const uint8_t* bgr);
    void Finish();

private:
    CheckedFile file_;
    int width_;
    ScratchRowCompressor rows_;
};

// Reads "temp.rpx0" back from its start, one row at a time.
class RowSpoolReader {
public:
    RowSpoolReader(const std::string& path, int width);
    // Inflates the next row into `bgr` (width x 3 bytes). Raises IoError on a
    // short file and EDecompressionError on a bad stream.
    void NextRow(uint8_t* bgr);

private:
    CheckedFile file_;
    int width_;
    uint64_t fileSize_ = 0;
    uint64_t position_ = 0;
    std::vector<uint8_t> packed_;
    FastInflater inflater_;
};

// The source table's row for ".rpx0", which the engine adds
// (AddSourceFormats).
std::span<const SourceFormat> ScratchFormats();

}  // namespace tessary
