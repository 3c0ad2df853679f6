// Reader of RPX2 files and of legacy row-based RPX files (layouts in
// rpx/rpx_layout.h), so that such files serve as source images, and decoder
// of a whole level into an 8-bit picture.
//
// Every position read from a file is checked against the file and against
// the positions around it before anything is read at it, and no stream is
// inflated past its buffer: a damaged file raises an error and never leads
// to a read outside the file or a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/picture.h"
#include "rpx/rpx_layout.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {

// A file whose structure cannot be an RPX or RPX2 file (unknown magic,
// positions outside the file or going backwards, a level that is not in the
// file, a pixel depth the reader cannot expand).
class RpxFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An open RPX or RPX2 file. Opening an RPX2 file loads its level 0; opening
// an RPX file loads its row table. Closing is destruction.
class RpxHandle {
public:
    // Raises IoError when the file cannot be opened or read and
    // RpxFormatError when its structure is damaged.
    explicit RpxHandle(const std::string& path);

    bool IsRpx2() const { return magic_ == rpx::kRpx2Magic; }
    uint16_t Magic() const { return magic_; }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int BitsPerPixel() const { return bitsPerPixel_; }
    uint16_t CompressionFlag() const { return compression_; }
    uint16_t TileEdge() const { return tileEdge_; }

    // RPX2: the number of levels the level table lists.
    int LevelCount() const { return levelCount_; }
    // RPX2: loads the level with this index (0 = full resolution), or the
    // last level for -1. An index beyond the levels present raises
    // RpxFormatError.
    void LoadLevel(int index);
    int32_t LevelWidth() const { return levelWidth_; }
    int32_t LevelHeight() const { return levelHeight_; }
    int TilesAcross() const { return tilesAcross_; }
    int TilesDown() const { return tilesDown_; }
    // The loaded level's palette (RPX2) or the file's palette (RPX).
    const Palette& Colours() const { return palette_; }

    // RPX2: tile k of the loaded level (counted row by row from the top
    // left) into `buffer` (4096 bytes). An index beyond the tiles leaves the
    // buffer untouched. A tile that would inflate past 4096 bytes raises
    // EDecompressionError.
    void ReadTile(int64_t k, uint8_t* buffer);

    // RPX: the packed bytes of row y into `buffer` (RowBytes() bytes). A row
    // beyond the image leaves the buffer untouched.
    void ReadRow(int y, uint8_t* buffer);
    // Packed bytes of one legacy row: ceil(width x bits per pixel / 8).
    size_t RowBytes() const;

private:
    void ReadAt(uint64_t position, void* buffer, size_t size);
    uint32_t ReadU32At(uint64_t position);
    void ReadStored(uint64_t start, uint64_t end, uint8_t* buffer, size_t capacity);
    void LoadRowTable();

    CheckedFile file_;
    uint64_t fileSize_ = 0;
    uint16_t magic_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int bitsPerPixel_ = 0;
    uint16_t compression_ = 0;
    uint16_t tileEdge_ = 0;
    int levelCount_ = 0;
    uint64_t levelTable_ = 0;
    int32_t levelWidth_ = 0;
    int32_t levelHeight_ = 0;
    int tilesAcross_ = 0;
    int tilesDown_ = 0;
    Palette palette_{};
    // RPX2: the loaded level's tile positions and its end position.
    // RPX: the row positions and the end of the rows.
    std::vector<uint32_t> positions_;
    std::vector<uint8_t> stored_;
};

// True when the u32 at offset 2 of the file (the chart-source flag) is 1.
// Any magic is accepted. Raises IoError when 14 bytes cannot be read.
bool RpxChartFlag(const std::string& path);

// Decodes a level of an RPX2 file (index as for LoadLevel; the step has no
// effect) or, for an RPX file, every step-th row and column of the image,
// into an 8-bit picture whose palette has the file's colours (reserved 0).
// Gives none when the picture cannot be created; file and format errors
// raise, and a half-filled picture is dropped on the way out.
std::optional<Picture> RpxToPicture(const std::string& path, int step, int level);

// Width, height and 1 byte per pixel of an RPX or RPX2 file.
SourceImageInfo GetRpxSize(const std::string& path);

// The source table's rows for ".rpx" and ".rpx2" (loaded whole, level 0),
// which the engine adds (AddSourceFormats).
std::span<const SourceFormat> RpxFormats();

// Places tile (r, t) of the loaded level into a picture of the level's size.
void CopyTileToPicture(RpxHandle& handle, Picture& picture, int tileRow, int tileColumn);

// Inflates one zlib stream of `count` bytes into `out`, which holds
// `capacity` bytes; gives the number of bytes produced. A corrupt stream or
// one whose result would not fit raises EDecompressionError; nothing is
// written past `capacity`.
size_t InflateBuffer(const uint8_t* data, size_t count, uint8_t* out, size_t capacity);

// Expands packed pixels to one byte per pixel: 4 bits high nibble first,
// 1 bit most significant bit first.
void Unpack4To8(const uint8_t* packed, uint8_t* out, size_t packedBytes);
void Unpack1To8(const uint8_t* packed, uint8_t* out, size_t packedBytes);

}  // namespace tessary
