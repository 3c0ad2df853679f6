#include "raster/scratch_raster.h"

#include <cstring>
#include <stdexcept>

#include "common/errors.h"
#include "common/le.h"
#include "common/zlib_stream.h"

namespace tessary {

namespace {

void Scramble(uint8_t* bytes, size_t n) {
    for (size_t j = 0; j < n; ++j) bytes[j] ^= kScratchKey[j % 8];
}

constexpr uint64_t kMaxOffset = 0xFFFFFFFFull;

}  // namespace

// ---- reader ---------------------------------------------------------------

ScratchRasterReader::ScratchRasterReader(const std::string& path) : file_(path, CheckedFile::Mode::Read) {
    fileSize_ = file_.Size();
    uint8_t head[kScratchHeaderSize];
    if (fileSize_ < kScratchHeaderSize) return;  // no rows
    file_.ReadExact(head, sizeof head);
    headerWidth_ = ReadI32LE(head);
    headerHeight_ = ReadI32LE(head + 4);
    palette_ = PaletteFromBytes(head + 8);
    if (headerWidth_ <= 0 || headerHeight_ <= 0) return;

    uint64_t tableBytes = 4 * (uint64_t(headerHeight_) + 1);
    if (tableBytes > fileSize_ - kScratchHeaderSize) return;
    tableStart_ = fileSize_ - tableBytes;
    std::vector<uint8_t> raw(tableBytes);
    file_.Seek(tableStart_);
    file_.ReadExact(raw.data(), raw.size());
    Scramble(raw.data(), raw.size());
    offsets_.resize(size_t(headerHeight_) + 1);
    for (size_t i = 0; i < offsets_.size(); ++i) offsets_[i] = ReadU32LE(raw.data() + 4 * i);
    width_ = headerWidth_;
    height_ = headerHeight_;
}

void ScratchRasterReader::FillFormat(int32_t& bytesPerPixel, Palette& palette) {
    palette = palette_;
    bytesPerPixel = 1;
}

void ScratchRasterReader::ReadRow(int row, uint8_t* buffer) {
    ReadScratchRow(row, buffer);
}

bool ScratchRasterReader::ReadScratchRow(int row, uint8_t* buffer) {
    if (row < 0 || row > height_ - 1) return false;
    uint64_t start = offsets_[size_t(row)];
    uint64_t end = offsets_[size_t(row) + 1];
    if (start < kScratchHeaderSize || end < start || end > tableStart_) {
        std::memset(buffer, 0, size_t(width_));
        return false;
    }
    packed_.resize(size_t(end - start));
    file_.Seek(start);
    if (file_.ReadSome(packed_.data(), packed_.size()) != packed_.size()) {
        std::memset(buffer, 0, size_t(width_));
        return false;
    }
    inflater_.Inflate(packed_.data(), packed_.size(), buffer, size_t(width_));
    return true;
}

// ---- row compression ---------------------------------------------------------

ScratchRowCompressor::ScratchRowCompressor(unsigned threads, Sink sink, uint64_t storedBytes)
    : sink_(std::move(sink)), storedLeft_(storedBytes) {
    threads = ResolveThreadCount(threads);
    for (unsigned i = 0; i < threads; ++i) {
        deflaters_.push_back(std::make_unique<FastDeflater>());
        storers_.push_back(std::make_unique<FastDeflater>(0));
    }
    if (threads > 1) {
        pool_ = std::make_unique<WorkerPool>(threads);
        // A few rows per thread in flight keep every thread busy while the
        // caller reads the next rows.
        jobs_ = std::make_unique<OrderedJobs<std::vector<uint8_t>>>(
            *pool_, 4 * size_t(threads), [this](std::vector<uint8_t>& stream) { sink_(stream); });
    }
}

ScratchRowCompressor::~ScratchRowCompressor() {
    jobs_.reset();  // waits for the rows in flight and drops them
}

void ScratchRowCompressor::Append(const uint8_t* data, size_t size) {
    // Once a row is deflated, every later one is too.
    const bool store = size <= storedLeft_;
    storedLeft_ = store ? storedLeft_ - size : 0;
    auto& coders = store ? storers_ : deflaters_;
    if (!jobs_) {
        coders[0]->Deflate(data, size, packed_);
        sink_(packed_);
        return;
    }
    jobs_->Post([&coders, row = std::vector<uint8_t>(data, data + size)](unsigned thread,
                                                                          std::vector<uint8_t>& out) {
        coders[thread]->Deflate(row.data(), row.size(), out);
    });
}

void ScratchRowCompressor::Flush() {
    if (jobs_) jobs_->Drain();
}

// ---- writer ---------------------------------------------------------------

ScratchRasterWriter::ScratchRasterWriter(const std::string& path, int width, int height,
                                         const Palette& palette, unsigned threads)
    : width_(width), height_(height), rows_(threads, [this](const std::vector<uint8_t>& stream) {
          if (position_ + stream.size() > kMaxOffset) ThrowIoError(EFBIG);
          file_.Write(stream.data(), stream.size());
          offsets_.push_back(uint32_t(position_));
          position_ += stream.size();
      }) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("scratch raster of no pixels");
    file_ = CheckedFile(path, CheckedFile::Mode::Create);
    uint8_t head[kScratchHeaderSize];
    WriteI32LE(head, width);
    WriteI32LE(head + 4, height);
    PaletteToBytes(palette, head + 8);
    file_.Write(head, sizeof head);
    offsets_.reserve(size_t(height) + 1);
}

void ScratchRasterWriter::AppendRow(const uint8_t* indices) {
    if (rowsAppended_ >= height_) throw std::logic_error("scratch raster row beyond its height");
    ++rowsAppended_;
    rows_.Append(indices, size_t(width_));
}

void ScratchRasterWriter::Finish() {
    if (rowsAppended_ != height_) throw std::logic_error("scratch raster finished early");
    rows_.Flush();
    offsets_.push_back(uint32_t(position_));
    std::vector<uint8_t> raw(offsets_.size() * 4);
    for (size_t i = 0; i < offsets_.size(); ++i) WriteU32LE(raw.data() + 4 * i, offsets_[i]);
    Scramble(raw.data(), raw.size());
    file_.Write(raw.data(), raw.size());
    file_.Close();
}

// ---- RGB row spool -----------------------------------------------------------

RowSpoolWriter::RowSpoolWriter(const std::string& path, int width, unsigned threads)
    : file_(path, CheckedFile::Mode::Create),
      width_(width),
      rows_(threads, [this](const std::vector<uint8_t>& stream) {
          uint8_t length[4];
          WriteI32LE(length, int32_t(stream.size()));
          file_.Write(length, 4);
          file_.Write(stream.data(), stream.size());
      }) {}

void RowSpoolWriter::AppendRow(const uint8_t* bgr) {
    rows_.Append(bgr, size_t(width_) * 3);
}

void RowSpoolWriter::Finish() {
    rows_.Flush();
    file_.Close();
}

RowSpoolReader::RowSpoolReader(const std::string& path, int width)
    : file_(path, CheckedFile::Mode::Read), width_(width) {
    fileSize_ = file_.Size();
}

void RowSpoolReader::NextRow(uint8_t* bgr) {
    uint8_t length[4];
    file_.ReadExact(length, 4);
    int32_t n = ReadI32LE(length);
    position_ += 4;
    if (n < 0 || uint64_t(n) > fileSize_ - position_) ThrowIoError(EIO);
    packed_.resize(size_t(n));
    file_.ReadExact(packed_.data(), packed_.size());
    position_ += uint64_t(n);
    inflater_.Inflate(packed_.data(), packed_.size(), bgr, size_t(width_) * 3);
}

// ---- dispatch -----------------------------------------------------------------

namespace {
std::unique_ptr<SourceRowReader> OpenScratchRaster(const std::string& path) {
    return std::make_unique<ScratchRasterReader>(path);
}
const SourceFormat kScratchRows[] = {{".rpx0", nullptr, OpenScratchRaster, nullptr}};
}  // namespace

std::span<const SourceFormat> ScratchFormats() {
    return kScratchRows;
}

}  // namespace tessary
