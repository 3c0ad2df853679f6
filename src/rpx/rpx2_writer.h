// The RPX2 writer: header, levels and trailer of one file in a single
// forward pass (layout in rpx/rpx_layout.h). It keeps its own count of the
// bytes written and never asks the file for its position or seeks back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/run_context.h"
#include "common/scale_list.h"
#include "rpx/rpx_layout.h"
#include "sources/source_image.h"

namespace tessary {

// Deflates 4096-byte tiles at level 9, one deflate stream kept for many
// tiles: each tile starts from a reset stream, so its bytes are those of a
// fresh stream, without allocating and freeing the stream's quarter megabyte
// for every tile. Compress writes into `out`, whose first `capacity` bytes
// are the output room (the vector is enlarged to at least that); when the
// stream does not fit, the room grows by 256 bytes at a time and the vector
// keeps its larger size for the following tiles. It gives the number of
// bytes produced and raises ECompressionError.
class TileDeflater {
public:
    TileDeflater();
    ~TileDeflater();
    TileDeflater(const TileDeflater&) = delete;
    TileDeflater& operator=(const TileDeflater&) = delete;

    size_t Compress(const uint8_t* tile, std::vector<uint8_t>& out, size_t capacity);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

// The entry nearest to white (smallest |b - 255| + |g - 255| + |r - 255|,
// lowest index on ties): the index of the pixels outside a level.
uint8_t BackgroundIndex(const Palette& palette);

// The state of one RPX2 file from its header to its trailer, written by
// WriteRpx2Header, WriteRpx2Level and WriteRpx2Trailer below. The writer
// owns the output file; Close() (or destruction) closes it.
class Rpx2Writer {
public:
    // Takes an open, empty output file. `context` supplies the abort flag,
    // the progress text (slot 2) and the event pump; it must outlive the
    // writer. `positionLimit` is the largest byte count a file may reach
    // (tests lower it to reach the limit without writing gigabytes).
    Rpx2Writer(CheckedFile file, const RunContext& context, uint64_t positionLimit = rpx::kMaxFilePosition);

    // Flushes and closes the file (raises on failure).
    void Close() { file_.Close(); }

    uint64_t Position() const { return position_; }
    int LevelCount() const { return levelCount_; }
    const std::vector<uint32_t>& LevelPositions() const { return levelPositions_; }

private:
    friend void WriteRpx2Header(Rpx2Writer& writer, int32_t width, int32_t height, bool chartSource,
                                const ScaleList& scales);
    friend bool WriteRpx2Level(Rpx2Writer& writer, Timagerecord4& raster);
    friend void WriteRpx2Trailer(Rpx2Writer& writer);

    // Writes a block and adds its size to the running position; a block that
    // would carry the position past the limit raises IoError (EFBIG) before
    // anything is written, so no stored position ever wraps.
    void Put(const void* data, size_t size);
    // The tiles of a level, deflated on the context's threads and written
    // in order; false when the abort flag was found set.
    bool WriteTiles(Timagerecord4& raster, int tx, int ty, uint8_t background,
                    std::vector<uint32_t>& tilePositions);

    CheckedFile file_;
    const RunContext& context_;
    uint64_t positionLimit_;
    uint64_t position_ = 0;
    int levelCount_ = 0;
    std::vector<uint32_t> levelPositions_;  // grows: a scale list can name 101 levels
};

// Resets the writer's state and writes file header, information block,
// marker, zoom count and the used slots of the scale list.
void WriteRpx2Header(Rpx2Writer& writer, int32_t width, int32_t height, bool chartSource,
                     const ScaleList& scales);

// Writes one level from a raster of 1 byte per pixel: marker, tiles, level
// header. Gives false, having written no level header, when the abort flag
// was found set.
[[nodiscard]] bool WriteRpx2Level(Rpx2Writer& writer, Timagerecord4& raster);

// Writes the level table and its position.
void WriteRpx2Trailer(Rpx2Writer& writer);

}  // namespace tessary
