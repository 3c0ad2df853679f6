// Access to single tiles of an RPX2 file for viewers: a summary of every
// level (size, stored scale, palette, bytes) and a decoder that inflates one
// tile of one level at a time, so that a view of a huge file reads only the
// tiles it shows. Built on RpxHandle, which checks every position it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/picture.h"
#include "rpx/rpx_layout.h"

namespace tessary {

class RpxHandle;

struct Rpx2LevelSummary {
    int32_t width = 0;
    int32_t height = 0;
    int tilesAcross = 0;
    int tilesDown = 0;
    // The scale the file stores for the level, in percent of level 0's
    // width; computed from the widths when the scale list cannot be read.
    double scalePercent = 0.0;
    Palette palette{};
    // Distinct colours among the palette's 256 entries.
    int distinctColours = 0;
    // Bytes the level takes in the file: its marker, tiles and level header.
    uint64_t storedBytes = 0;
};

struct Rpx2Summary {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<Rpx2LevelSummary> levels;  // in file order
};

// Reads the header and every level header of an RPX2 file. Raises IoError
// when the file cannot be read and RpxFormatError when it is not an RPX2
// file (a legacy RPX file included) or its structure is damaged.
Rpx2Summary ReadRpx2Summary(const std::string& path);

// A tile stream that does not inflate: still an EDecompressionError, with
// zlib's own reason as its text ("inflate failed: invalid distance too far
// back") for a viewer to show.
class TileInflateError : public EDecompressionError {
public:
    explicit TileInflateError(std::string reason) : reason_(std::move(reason)) {}
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string reason_;
};

// Decodes tiles of any level of one RPX2 file. One thread at a time: a
// viewer gives its decoding thread a decoder of its own.
class Rpx2TileDecoder {
public:
    // Raises as ReadRpx2Summary does.
    explicit Rpx2TileDecoder(const std::string& path);
    ~Rpx2TileDecoder();
    Rpx2TileDecoder(const Rpx2TileDecoder&) = delete;
    Rpx2TileDecoder& operator=(const Rpx2TileDecoder&) = delete;

    int LevelCount() const;

    // Tile (row, column) of `level` into `out` (64 x 64 bytes), with the
    // image's top line first (the file stores the bottom line first). Raises
    // RpxFormatError for a level or tile that is not in the file and
    // EDecompressionError for a damaged tile stream.
    void DecodeTile(int level, int tileRow, int tileColumn, uint8_t* out);

private:
    RpxHandle& HandleFor(int level);

    std::string path_;
    int levelCount_ = 0;
    // One handle per level, each with its own level loaded, opened on first
    // use: switching levels would reread the tile positions every time.
    std::vector<std::unique_ptr<RpxHandle>> handles_;
};

}  // namespace tessary
