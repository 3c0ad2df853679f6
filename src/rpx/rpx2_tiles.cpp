#include "rpx/rpx2_tiles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include <zlib.h>

#include "common/file.h"
#include "common/le.h"
#include "rpx/rpx_reader.h"

namespace tessary {

using namespace rpx;

namespace {

std::unique_ptr<RpxHandle> OpenRpx2(const std::string& path) {
    auto handle = std::make_unique<RpxHandle>(path);
    if (!handle->IsRpx2()) throw RpxFormatError("a legacy RPX file, not an RPX2 file");
    return handle;
}

int DistinctColours(const Palette& palette) {
    std::set<uint32_t> colours;
    for (const PaletteEntry& entry : palette)
        colours.insert(uint32_t(entry.blue) | uint32_t(entry.green) << 8 | uint32_t(entry.red) << 16);
    return int(colours.size());
}

// Why tile `tile` of level `level` does not inflate, in zlib's words, for a
// viewer to show; empty when the stream inflates to at most one tile. The
// level's positions are those the handle has already checked.
std::string InflateFailure(const std::string& path, int level, int64_t tile) {
    CheckedFile file(path, CheckedFile::Mode::Read);
    uint8_t bytes[4];
    auto u32At = [&](uint64_t position) {
        file.Seek(position);
        file.ReadExact(bytes, 4);
        return uint64_t(ReadU32LE(bytes));
    };
    const uint64_t table = u32At(file.Size() - 4);
    const uint64_t positions = u32At(table + 4 * uint64_t(level)) + kLevelOffPositions;
    const uint64_t start = u32At(positions + 4 * uint64_t(tile));
    const uint64_t end = u32At(positions + 4 * uint64_t(tile) + 4);
    std::vector<uint8_t> stored(size_t(end - start));
    file.Seek(start);
    file.ReadExact(stored.data(), stored.size());

    std::vector<uint8_t> out(kTileBytes + 1);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return "inflate could not start";
    zs.next_in = stored.data();
    zs.avail_in = uInt(stored.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    std::string reason;
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT)
        reason = std::string("inflate failed: ") + (zs.msg ? zs.msg : "damaged data");
    else if (rc != Z_STREAM_END && zs.avail_out == 0)
        reason = "inflate failed: the tile holds more than 64 x 64 pixels";
    else if (rc != Z_STREAM_END)
        reason = "inflate failed: the stream ends early";
    else if (zs.total_out > uLong(kTileBytes))
        reason = "inflate failed: the tile holds more than 64 x 64 pixels";
    inflateEnd(&zs);
    return reason;
}

}  // namespace

Rpx2Summary ReadRpx2Summary(const std::string& path) {
    std::unique_ptr<RpxHandle> handle = OpenRpx2(path);
    Rpx2Summary summary;
    summary.width = handle->Width();
    summary.height = handle->Height();
    const int count = handle->LevelCount();

    // The level table and the scale list, read directly: the handle checks
    // the positions it follows, these are only shown.
    CheckedFile file(path, CheckedFile::Mode::Read);
    const uint64_t size = file.Size();
    uint8_t bytes[4];
    file.Seek(size - 4);
    file.ReadExact(bytes, 4);
    const uint64_t table = ReadU32LE(bytes);
    std::vector<uint64_t> headers(size_t(count), 0);
    for (int i = 0; i < count; ++i) {
        file.Seek(table + 4 * uint64_t(i));
        file.ReadExact(bytes, 4);
        headers[size_t(i)] = ReadU32LE(bytes);
    }
    const uint64_t scalesEnd = uint64_t(kOffScaleList) + 4 * uint64_t(count);
    const bool scalesReadable = count > 0 && scalesEnd <= headers[0];

    uint64_t levelStart = scalesEnd;
    for (int i = 0; i < count; ++i) {
        handle->LoadLevel(i);
        Rpx2LevelSummary level;
        level.width = handle->LevelWidth();
        level.height = handle->LevelHeight();
        level.tilesAcross = handle->TilesAcross();
        level.tilesDown = handle->TilesDown();
        level.palette = handle->Colours();
        level.distinctColours = DistinctColours(level.palette);
        level.scalePercent = 100.0 * double(level.width) / double(summary.width);
        if (scalesReadable) {
            file.Seek(uint64_t(kOffScaleList) + 4 * uint64_t(i));
            file.ReadExact(bytes, 4);
            float stored;
            const uint32_t raw = ReadU32LE(bytes);
            std::memcpy(&stored, &raw, 4);
            if (std::isfinite(stored) && stored > 0) level.scalePercent = stored;
        }
        const uint64_t levelEnd = headers[size_t(i)] + kLevelOffPositions +
                                  4 * (uint64_t(level.tilesAcross) * uint64_t(level.tilesDown) + 1);
        level.storedBytes = levelEnd > levelStart ? levelEnd - levelStart : 0;
        levelStart = std::max(levelStart, levelEnd);
        summary.levels.push_back(level);
    }
    return summary;
}

Rpx2TileDecoder::Rpx2TileDecoder(const std::string& path) : path_(path) {
    std::unique_ptr<RpxHandle> first = OpenRpx2(path);
    levelCount_ = first->LevelCount();
    handles_.resize(size_t(levelCount_));
    if (levelCount_ > 0) handles_[0] = std::move(first);
}

Rpx2TileDecoder::~Rpx2TileDecoder() = default;

int Rpx2TileDecoder::LevelCount() const {
    return levelCount_;
}

RpxHandle& Rpx2TileDecoder::HandleFor(int level) {
    if (level < 0 || level >= levelCount_)
        throw RpxFormatError("the file has no level " + std::to_string(level));
    std::unique_ptr<RpxHandle>& handle = handles_[size_t(level)];
    if (!handle) {
        handle = OpenRpx2(path_);
        handle->LoadLevel(level);
    }
    return *handle;
}

void Rpx2TileDecoder::DecodeTile(int level, int tileRow, int tileColumn, uint8_t* out) {
    RpxHandle& handle = HandleFor(level);
    if (tileRow < 0 || tileColumn < 0 || tileRow >= handle.TilesDown() || tileColumn >= handle.TilesAcross())
        throw RpxFormatError("level " + std::to_string(level) + " has no tile " + std::to_string(tileRow) +
                             ", " + std::to_string(tileColumn));
    uint8_t stored[kTileBytes] = {};
    const int64_t tile = int64_t(tileRow) * handle.TilesAcross() + tileColumn;
    try {
        handle.ReadTile(tile, stored);
    } catch (const EDecompressionError&) {
        // The stream's own complaint says more than the bare error does.
        const std::string reason = InflateFailure(path_, level, tile);
        if (reason.empty()) throw;
        throw TileInflateError(reason);
    }
    for (int j = 0; j < kTileEdge; ++j)
        std::memcpy(out + size_t(j) * kTileEdge, stored + size_t(kTileEdge - 1 - j) * kTileEdge, kTileEdge);
}

}  // namespace tessary
