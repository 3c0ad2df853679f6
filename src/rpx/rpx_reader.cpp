#include "rpx/rpx_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/errors.h"
#include "common/le.h"
#include "common/zlib_stream.h"

namespace tessary {

using namespace rpx;

namespace {

// deflate expands at most about 1032 : 1; a legacy row that would need more
// than this from its largest stored row cannot be filled by the file.
constexpr uint64_t kMaxInflateRatio = 1032;

void CheckIncreasing(const std::vector<uint32_t>& positions, uint64_t first, uint64_t last,
                     const char* what) {
    uint64_t previous = first;
    for (uint32_t position : positions) {
        if (position < previous) throw RpxFormatError(std::string(what) + " positions go backwards");
        previous = position;
    }
    if (previous > last) throw RpxFormatError(std::string(what) + " positions lie outside the file");
}

}  // namespace

size_t InflateBuffer(const uint8_t* data, size_t count, uint8_t* out, size_t capacity) {
    return InflateStream(data, count, out, capacity);
}

void Unpack4To8(const uint8_t* packed, uint8_t* out, size_t packedBytes) {
    for (size_t i = 0; i < packedBytes; ++i) {
        *out++ = uint8_t(packed[i] >> 4);
        *out++ = uint8_t(packed[i] & 15);
    }
}

void Unpack1To8(const uint8_t* packed, uint8_t* out, size_t packedBytes) {
    for (size_t i = 0; i < packedBytes; ++i)
        for (int bit = 7; bit >= 0; --bit) *out++ = uint8_t((packed[i] >> bit) & 1);
}

// ---- handle -------------------------------------------------------------------

RpxHandle::RpxHandle(const std::string& path) : file_(path, CheckedFile::Mode::Read) {
    fileSize_ = file_.Size();
    uint8_t head[kImageHeadSize];
    ReadAt(0, head, sizeof head);
    magic_ = ReadU16LE(head + kOffMagic);
    if (magic_ != kRpx2Magic && magic_ != kRpxMagic) throw RpxFormatError("not an RPX or RPX2 file");
    tileEdge_ = ReadU16LE(head + kOffTileEdge);
    compression_ = ReadU16LE(head + kOffCompression);
    const uint8_t* info = head + kInfoBlockStart;
    width_ = ReadI32LE(info + kInfoOffWidth);
    height_ = ReadI32LE(info + kInfoOffHeight);
    bitsPerPixel_ = ReadU16LE(info + kInfoOffBitCount);
    if (width_ <= 0 || height_ <= 0) throw RpxFormatError("the image has no pixels");

    if (IsRpx2()) {
        // The scale list after the marker is not needed: everything else is
        // reached through the positions at the end of the file.
        LoadLevel(0);
    } else {
        uint8_t colours[kPaletteBytes];
        ReadAt(kOffLegacyPalette, colours, sizeof colours);
        palette_ = PaletteFromBytes(colours);
        LoadRowTable();
    }
}

void RpxHandle::ReadAt(uint64_t position, void* buffer, size_t size) {
    if (position > fileSize_ || size > fileSize_ - position)
        throw RpxFormatError("a position lies outside the file");
    file_.Seek(position);
    file_.ReadExact(buffer, size);
}

uint32_t RpxHandle::ReadU32At(uint64_t position) {
    uint8_t bytes[4];
    ReadAt(position, bytes, 4);
    return ReadU32LE(bytes);
}

void RpxHandle::LoadRowTable() {
    if (fileSize_ < uint64_t(kLegacyHeadSize) + 4) throw RpxFormatError("the row table is missing");
    const uint64_t table = ReadU32At(fileSize_ - 4);
    const uint64_t entries = uint64_t(height_) + 2;
    if (table < kLegacyHeadSize || table > fileSize_ || entries * 4 > fileSize_ - table)
        throw RpxFormatError("the row table lies outside the file");
    std::vector<uint8_t> raw(size_t(entries * 4));
    ReadAt(table, raw.data(), raw.size());
    // The height + 1 row positions; the trailing entry is the table's own.
    positions_.resize(size_t(height_) + 1);
    uint64_t largest = 0;
    for (size_t i = 0; i < positions_.size(); ++i) positions_[i] = ReadU32LE(raw.data() + 4 * i);
    CheckIncreasing(positions_, kLegacyHeadSize, table, "row");
    for (size_t i = 0; i + 1 < positions_.size(); ++i)
        largest = std::max<uint64_t>(largest, positions_[i + 1] - positions_[i]);
    if (RowBytes() > kMaxInflateRatio * (largest + 1))
        throw RpxFormatError("the rows are too short for the image width");
}

size_t RpxHandle::RowBytes() const {
    return size_t((uint64_t(uint32_t(width_)) * uint64_t(bitsPerPixel_) + 7) / 8);
}

void RpxHandle::LoadLevel(int index) {
    if (!IsRpx2()) return;
    if (fileSize_ < uint64_t(kOffScaleList) + 8) throw RpxFormatError("the level table is missing");
    const uint64_t table = ReadU32At(fileSize_ - 4);
    if (table < kOffScaleList || table + 4 > fileSize_ - 4)
        throw RpxFormatError("the level table lies outside the file");
    levelTable_ = table;
    levelCount_ = int((fileSize_ - 4 - table) / 4);

    uint64_t header;
    if (index == -1) {
        header = ReadU32At(fileSize_ - 8);
    } else if (index >= 0 && index < levelCount_) {
        header = ReadU32At(table + 4 * uint64_t(index));
    } else {
        throw RpxFormatError("the file has no level " + std::to_string(index));
    }
    if (header < kOffScaleList || header + kLevelOffPositions > table)
        throw RpxFormatError("a level header lies outside the levels");

    uint8_t fixed[kLevelOffPositions];
    ReadAt(header, fixed, sizeof fixed);
    const int32_t width = ReadI32LE(fixed + kLevelOffWidth);
    const int32_t height = ReadI32LE(fixed + kLevelOffHeight);
    const int tx = ReadI16LE(fixed + kLevelOffTilesAcross);
    const int ty = ReadI16LE(fixed + kLevelOffTilesDown);
    if (width <= 0 || height <= 0 || tx <= 0 || ty <= 0 || int64_t(width) > int64_t(tx) * kTileEdge ||
        int64_t(height) > int64_t(ty) * kTileEdge)
        throw RpxFormatError("the level's size does not match its tiles");
    const uint64_t count = uint64_t(tx) * uint64_t(ty) + 1;
    const uint64_t positionsAt = header + kLevelOffPositions;
    if (count * 4 > table - positionsAt) throw RpxFormatError("the tile positions lie outside the file");

    std::vector<uint8_t> raw(size_t(count * 4));
    ReadAt(positionsAt, raw.data(), raw.size());
    std::vector<uint32_t> positions(static_cast<size_t>(count));
    for (size_t i = 0; i < positions.size(); ++i) positions[i] = ReadU32LE(raw.data() + 4 * i);
    // Tiles lie between the scale list and their own level header.
    CheckIncreasing(positions, kOffScaleList, header, "tile");

    levelWidth_ = width;
    levelHeight_ = height;
    tilesAcross_ = tx;
    tilesDown_ = ty;
    palette_ = PaletteFromBytes(fixed + kLevelOffPalette);
    positions_ = std::move(positions);
}

void RpxHandle::ReadStored(uint64_t start, uint64_t end, uint8_t* buffer, size_t capacity) {
    const size_t count = size_t(end - start);
    if (compression_ == kCompressedFlag) {
        stored_.resize(count);
        ReadAt(start, stored_.data(), count);
        InflateBuffer(stored_.data(), count, buffer, capacity);
    } else {
        if (count > capacity) throw RpxFormatError("a stored block is larger than its buffer");
        ReadAt(start, buffer, count);
    }
}

void RpxHandle::ReadTile(int64_t k, uint8_t* buffer) {
    if (!IsRpx2()) return;
    if (k < 0 || k > int64_t(tilesAcross_) * tilesDown_ - 1) return;
    ReadStored(positions_[size_t(k)], positions_[size_t(k) + 1], buffer, kTileBytes);
}

void RpxHandle::ReadRow(int y, uint8_t* buffer) {
    if (IsRpx2() || y < 0 || y > height_ - 1) return;
    ReadStored(positions_[size_t(y)], positions_[size_t(y) + 1], buffer, RowBytes());
}

// ---- whole pictures -----------------------------------------------------------

bool RpxChartFlag(const std::string& path) {
    CheckedFile file(path, CheckedFile::Mode::Read);
    uint8_t head[kFileHeaderSize];
    file.ReadExact(head, sizeof head);
    return ReadU32LE(head + kOffChartFlag) == 1;
}

void CopyTileToPicture(RpxHandle& handle, Picture& picture, int tileRow, int tileColumn) {
    uint8_t tile[kTileBytes] = {};
    handle.ReadTile(int64_t(tileRow) * handle.TilesAcross() + tileColumn, tile);
    const int width = std::min(picture.Width(), handle.LevelWidth());
    const int height = std::min(picture.Height(), handle.LevelHeight());
    const int count = std::min(kTileEdge, width - kTileEdge * tileColumn);
    if (count <= 0) return;
    for (int j = 0; j < kTileEdge; ++j) {
        const int y = kTileEdge * tileRow + j;
        if (y > height - 1) break;
        std::memcpy(picture.Row(y) + size_t(kTileEdge) * size_t(tileColumn),
                    tile + size_t(kTileEdge - 1 - j) * kTileEdge, size_t(count));
    }
}

namespace {

Palette WithoutReserved(const Palette& palette) {
    Palette out = palette;
    for (PaletteEntry& entry : out) entry.reserved = 0;
    return out;
}

std::optional<Picture> CreatePicture(int width, int height) {
    try {
        return Picture(width, height, 8);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<Picture> RpxToPicture(const std::string& path, int step, int level) {
    RpxHandle handle(path);
    if (handle.IsRpx2()) {
        handle.LoadLevel(level);
        std::optional<Picture> picture = CreatePicture(handle.LevelWidth(), handle.LevelHeight());
        if (!picture) return std::nullopt;
        picture->Colours() = WithoutReserved(handle.Colours());
        for (int r = 0; r < handle.TilesDown(); ++r)
            for (int t = 0; t < handle.TilesAcross(); ++t) CopyTileToPicture(handle, *picture, r, t);
        return picture;
    }

    const int bits = handle.BitsPerPixel();
    if (bits != 1 && bits != 4 && bits != 8)
        throw RpxFormatError("rows of " + std::to_string(bits) + " bits per pixel cannot be decoded");
    if (step < 1) step = 1;
    const int width = handle.Width();
    const int height = handle.Height();
    std::optional<Picture> picture = CreatePicture(width / step, height / step);
    if (!picture) return std::nullopt;
    picture->Colours() = WithoutReserved(handle.Colours());

    const size_t rowBytes = handle.RowBytes();
    std::vector<uint8_t> packed(size_t(width) + 8, 0);
    std::vector<uint8_t> expanded(size_t(width) + 8, 0);
    const int lines = height / step;
    const int columns = width / step;
    for (int line = 0; line < lines; ++line) {
        handle.ReadRow(line * step, packed.data());
        const uint8_t* pixels = packed.data();
        if (bits == 4) {
            Unpack4To8(packed.data(), expanded.data(), rowBytes);
            pixels = expanded.data();
        } else if (bits == 1) {
            Unpack1To8(packed.data(), expanded.data(), rowBytes);
            pixels = expanded.data();
        }
        uint8_t* out = picture->Row(line);
        for (int x = 0; x < columns; ++x) out[x] = pixels[size_t(x) * size_t(step)];
    }
    return picture;
}

SourceImageInfo GetRpxSize(const std::string& path) {
    SourceImageInfo info{0, 0, 1};
    RpxHandle handle(path);
    info.width = handle.Width();
    info.height = handle.Height();
    return info;
}

}  // namespace tessary
