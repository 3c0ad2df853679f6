#include "rpx/rpx2_writer.h"

#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/errors.h"
#include "common/le.h"
#include "common/worker_pool.h"

namespace tessary {

using namespace rpx;

namespace {

constexpr size_t kCompressedCapacity = 8000;
constexpr size_t kCompressedGrowth = 256;

}  // namespace

struct TileDeflater::Stream {
    z_stream zs{};
};

TileDeflater::TileDeflater() : stream_(std::make_unique<Stream>()) {
    if (deflateInit(&stream_->zs, 9) != Z_OK) throw ECompressionError();
}

TileDeflater::~TileDeflater() {
    deflateEnd(&stream_->zs);
}

size_t TileDeflater::Compress(const uint8_t* tile, std::vector<uint8_t>& out, size_t capacity) {
    if (out.size() < capacity) out.resize(capacity);
    z_stream& zs = stream_->zs;
    if (deflateReset(&zs) != Z_OK) throw ECompressionError();
    zs.next_in = const_cast<Bytef*>(tile);
    zs.avail_in = uInt(kTileBytes);
    zs.next_out = out.data();
    zs.avail_out = uInt(capacity);
    int rc = deflate(&zs, Z_FINISH);
    while (rc != Z_STREAM_END) {
        if (rc < 0) throw ECompressionError();
        // Out of room: grow by 256 bytes and continue where the stream stopped.
        size_t produced = size_t(zs.total_out);
        if (out.size() < produced + kCompressedGrowth) out.resize(produced + kCompressedGrowth);
        zs.next_out = out.data() + produced;
        zs.avail_out = uInt(kCompressedGrowth);
        rc = deflate(&zs, Z_FINISH);
    }
    return size_t(zs.total_out);
}

uint8_t BackgroundIndex(const Palette& palette) {
    int best = 0;
    int bestDistance = 0x30000;
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[size_t(i)];
        int distance =
            std::abs(int(e.blue) - 255) + std::abs(int(e.green) - 255) + std::abs(int(e.red) - 255);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return uint8_t(best);
}

Rpx2Writer::Rpx2Writer(CheckedFile file, const RunContext& context, uint64_t positionLimit)
    : file_(std::move(file)), context_(context), positionLimit_(positionLimit) {}

void Rpx2Writer::Put(const void* data, size_t size) {
    if (position_ + size > positionLimit_) ThrowIoError(EFBIG);
    file_.Write(data, size);
    position_ += size;
}

void WriteRpx2Header(Rpx2Writer& writer, int32_t width, int32_t height, bool chartSource,
                     const ScaleList& scales) {
    writer.position_ = 0;
    writer.levelCount_ = 0;
    writer.levelPositions_.clear();

    uint8_t head[kOffScaleList] = {};
    WriteU16LE(head + kOffMagic, kRpx2Magic);
    WriteU32LE(head + kOffChartFlag, chartSource ? 1 : 0);
    WriteU16LE(head + kOffTileEdge, uint16_t(kTileEdge));
    WriteU16LE(head + kOffCompression, kCompressedFlag);
    WriteU32LE(head + kOffHeaderConstant, kHeaderConstant);

    uint8_t* info = head + kInfoBlockStart;
    WriteU32LE(info + kInfoOffSize, uint32_t(kInfoBlockSize));
    WriteI32LE(info + kInfoOffWidth, width);
    WriteI32LE(info + kInfoOffHeight, height);
    WriteU16LE(info + kInfoOffPlanes, 1);
    WriteU16LE(info + kInfoOffBitCount, 8);
    WriteU32LE(info + kInfoOffCompression, 0);
    // Informative only (readers ignore it); kept modulo 2^32 for huge images.
    WriteU32LE(info + kInfoOffImageSize, uint32_t(uint64_t(uint32_t(width)) * uint64_t(uint32_t(height))));
    WriteI32LE(info + kInfoOffXResolution, 0);
    WriteI32LE(info + kInfoOffYResolution, 0);
    WriteU32LE(info + kInfoOffColoursUsed, 256);
    WriteU32LE(info + kInfoOffColoursImportant, 256);

    WriteU16LE(head + kOffMarker, kMarkerWord);
    WriteU16LE(head + kOffMarker + 2, kMarkerWord);
    std::vector<float> used = UsedScales(scales);
    WriteU16LE(head + kOffZoomCount, uint16_t(int16_t(int(used.size()) - 2)));
    writer.Put(head, sizeof head);

    std::vector<uint8_t> list(used.size() * 4);
    for (size_t i = 0; i < used.size(); ++i) WriteF32LE(list.data() + 4 * i, used[i]);
    writer.Put(list.data(), list.size());
}

namespace {

// One band of 64 lines, each line one tile wider than the level needs,
// filled with the background where the level has no pixels.
void ReadBand(Timagerecord4& raster, int bandIndex, uint8_t background, size_t lineBytes, uint8_t* band) {
    for (int j = 0; j < kTileEdge; ++j) {
        uint8_t* line = band + size_t(j) * lineBytes;
        std::memset(line, background, lineBytes);
        // Lines at or beyond the height leave the buffer as it is.
        ReadSourceRow(raster, bandIndex * kTileEdge + j, line);
    }
}

// Tile `t` of a band, bottom line first.
void CutTile(const uint8_t* band, size_t lineBytes, int t, uint8_t* tile) {
    for (int j = 0; j < kTileEdge; ++j)
        std::memcpy(tile + size_t(kTileEdge - 1 - j) * kTileEdge,
                    band + size_t(j) * lineBytes + size_t(t) * kTileEdge, kTileEdge);
}

}  // namespace

// The tiles of a level, band by band. On the caller's thread, for every
// tile: the abort test, every tenth tile the progress text and a pump, a
// pump after the tile's compression, the tile written; after every band a
// pump and the abort test. The tiles of a band are deflated by jobs posted
// as soon as the band is read (on a pool of one, at once and in order), and
// with workers the caller reads the next band meanwhile into the other
// buffer. An error reading that band, or deflating a tile, is kept and
// raised at the point where the tile loop reaches it, so a run stops at the
// same place with the same bytes written whatever the number of threads;
// work done ahead is dropped on abort.
bool Rpx2Writer::WriteTiles(Timagerecord4& raster, int tx, int ty, uint8_t background,
                            std::vector<uint32_t>& tilePositions) {
    const size_t lineBytes = size_t(tx + 1) * kTileEdge;
    struct Compressed {
        std::vector<uint8_t> bytes = std::vector<uint8_t>(kCompressedCapacity);
        size_t size = 0;
        std::exception_ptr error;
    };
    std::vector<Compressed> results(static_cast<size_t>(tx));
    std::vector<WorkerPool::TaskPtr> tasks;
    tasks.reserve(size_t(tx));
    const unsigned threads = ResolveThreadCount(context_.threads);
    std::vector<std::unique_ptr<TileDeflater>> deflaters;
    for (unsigned i = 0; i < threads; ++i) deflaters.push_back(std::make_unique<TileDeflater>());
    // A second band only when jobs may still cut tiles from the first while
    // the next is read.
    std::vector<std::vector<uint8_t>> bands(threads > 1 ? 2 : 1, std::vector<uint8_t>(lineBytes * kTileEdge));
    std::vector<std::exception_ptr> readErrors(bands.size());
    WorkerPool pool(threads);  // after everything its jobs use: its end waits for them

    int tileCounter = 0;
    ReadBand(raster, 0, background, lineBytes, bands[0].data());
    for (int r = 0; r < ty; ++r) {
        const size_t current = size_t(r) % bands.size();
        if (readErrors[current]) std::rethrow_exception(readErrors[current]);
        const uint8_t* band = bands[current].data();
        tasks.clear();
        for (int t = 0; t < tx; ++t) {
            tasks.push_back(pool.Dispatch([&, band, t](unsigned thread) {
                uint8_t tile[kTileBytes];
                CutTile(band, lineBytes, t, tile);
                Compressed& result = results[size_t(t)];
                try {
                    result.size = deflaters[thread]->Compress(tile, result.bytes, kCompressedCapacity);
                } catch (...) {
                    result.error = std::current_exception();
                }
            }));
        }
        if (r + 1 < ty) {
            const size_t next = size_t(r + 1) % bands.size();
            try {
                ReadBand(raster, r + 1, background, lineBytes, bands[next].data());
            } catch (...) {
                readErrors[next] = std::current_exception();
            }
        }
        for (int t = 0; t < tx; ++t) {
            if (context_.Aborted()) return false;
            if ((tileCounter + 1) % 10 == 0)
                context_.ShowProgress(ProgressText("Writing ", tileCounter + 1, int64_t(tx) * ty));
            pool.Wait(tasks[size_t(t)]);
            const Compressed& result = results[size_t(t)];
            if (result.error) std::rethrow_exception(result.error);
            context_.Pump();
            const uint64_t tilePosition = position_;
            Put(result.bytes.data(), result.size);
            tilePositions.push_back(uint32_t(tilePosition));
            ++tileCounter;
        }
        if (context_.Checkpoint()) return false;
    }
    return true;
}

bool WriteRpx2Level(Rpx2Writer& writer, Timagerecord4& raster) {
    ++writer.levelCount_;
    const int32_t width = raster.Width;
    const int32_t height = raster.Height;
    if (width <= 0 || height <= 0 || raster.BytesPerPixel != 1)
        throw std::invalid_argument("an RPX2 level needs a raster of 1 byte per pixel");
    const int64_t tilesAcross = TilesFor(width);
    const int64_t tilesDown = TilesFor(height);
    if (tilesAcross > INT16_MAX || tilesDown > INT16_MAX)
        throw std::length_error("the level is too large for the RPX2 format");
    const int tx = int(tilesAcross);
    const int ty = int(tilesDown);
    const int tileCount = tx * ty;

    const uint8_t background = BackgroundIndex(raster.Palette);

    uint8_t marker[kLevelMarkerSize];
    WriteU16LE(marker, kMarkerWord);
    WriteU16LE(marker + 2, kMarkerWord);
    writer.Put(marker, sizeof marker);

    std::vector<uint32_t> tilePositions;
    tilePositions.reserve(size_t(tileCount));
    if (!writer.WriteTiles(raster, tx, ty, background, tilePositions)) return false;

    const uint64_t endPosition = writer.position_;
    std::vector<uint8_t> header(size_t(kLevelHeaderFixedBytes) + 4 * size_t(tileCount));
    WriteI32LE(header.data() + kLevelOffWidth, width);
    WriteI32LE(header.data() + kLevelOffHeight, height);
    WriteU16LE(header.data() + kLevelOffTilesAcross, uint16_t(tx));
    WriteU16LE(header.data() + kLevelOffTilesDown, uint16_t(ty));
    PaletteToBytes(raster.Palette, header.data() + kLevelOffPalette);
    uint8_t* positions = header.data() + kLevelOffPositions;
    for (int k = 0; k < tileCount; ++k) WriteU32LE(positions + 4 * size_t(k), tilePositions[size_t(k)]);
    WriteU32LE(positions + 4 * size_t(tileCount), uint32_t(endPosition));
    writer.Put(header.data(), header.size());
    writer.levelPositions_.push_back(uint32_t(endPosition));
    return true;
}

void WriteRpx2Trailer(Rpx2Writer& writer) {
    const uint64_t tablePosition = writer.position_;
    std::vector<uint8_t> table(4 * (writer.levelPositions_.size() + 1));
    const std::vector<uint32_t>& levels = writer.levelPositions_;
    for (size_t i = 0; i < levels.size(); ++i) WriteU32LE(table.data() + 4 * i, levels[i]);
    WriteU32LE(table.data() + 4 * levels.size(), uint32_t(tablePosition));
    writer.Put(table.data(), table.size());
}

}  // namespace tessary
