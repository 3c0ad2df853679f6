#include "sources/tiff_reader.h"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "common/platform.h"
#include "common/text.h"
#include "sources/fixed_colour_table.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

constexpr std::string_view kLzwRgbMessage =
    "TIF images using 24 bit color and LZW compression are not supported";
constexpr std::string_view kFormatMessage = "This TIF format is not supported";

// The largest single allocation libtiff may make for one of our handles;
// malformed headers that ask for more are refused by the library.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t(256) << 20;
// The widest image taken: the caller's row buffer is width x 3 bytes.
constexpr uint32_t kMaxWidth = uint32_t(1) << 24;

// What libtiff had to say about one handle. Errors are kept (the first one
// as text) rather than written to stderr; warnings are dropped.
struct TiffDiagnostics {
    std::string firstError;
    int errorCount = 0;
};

int RecordTiffError(TIFF*, void* userData, const char* module, const char* format, va_list args) {
    auto* diagnostics = static_cast<TiffDiagnostics*>(userData);
    if (diagnostics) {
        if (diagnostics->errorCount++ == 0) {
            char text[512];
            std::vsnprintf(text, sizeof text, format, args);
            diagnostics->firstError = std::string(module ? module : "") + ": " + text;
        }
    }
    return 1;  // handled: the library's default handlers are not called
}

int IgnoreTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// The library's default handlers write to stderr; messages that reach
// them without a handle (none should, every open passes its own) go
// nowhere.
void SilenceLibraryDefaults() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

struct TiffCloser {
    void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

struct TiffOptionsFree {
    void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};

// Opens the first image of a file for reading. `diagnostics` must outlive
// the handle.
TiffHandle OpenTiffHandle(const std::string& path, TiffDiagnostics& diagnostics) {
    SilenceLibraryDefaults();
    std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), RecordTiffError, &diagnostics);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreTiffWarning, &diagnostics);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxLibraryAlloc);
    // "m": read the file, never map it, so that memory stays one strip
    // however large the file is.
    return TiffHandle(TIFFOpenExt(path.c_str(), "rm", options.get()));
}

template <class T>
T FieldOr(TIFF* tiff, ttag_t tag, T fallback) {
    T value{};
    return TIFFGetFieldDefaulted(tiff, tag, &value) == 1 ? value : fallback;
}

struct TiffLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitsPerSample = 1;
    uint16_t samplesPerPixel = 1;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t planarConfig = PLANARCONFIG_CONTIG;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint32_t rowsPerStrip = 0;
    bool tiled = false;
    uint32_t tileWidth = 0;
    uint32_t tileLength = 0;

    bool IsRgb() const { return photometric == PHOTOMETRIC_RGB; }
    bool IsPalette() const { return photometric == PHOTOMETRIC_PALETTE; }
    bool IsWhiteIsZero() const { return photometric == PHOTOMETRIC_MINISWHITE; }
};

TiffLayout ReadLayout(TIFF* tiff) {
    TiffLayout layout;
    layout.width = FieldOr<uint32_t>(tiff, TIFFTAG_IMAGEWIDTH, 0);
    layout.height = FieldOr<uint32_t>(tiff, TIFFTAG_IMAGELENGTH, 0);
    layout.bitsPerSample = FieldOr<uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    layout.samplesPerPixel = FieldOr<uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    uint16_t photometric = 0;
    layout.photometric =
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 1 ? photometric : PHOTOMETRIC_MINISBLACK;
    layout.compression = FieldOr<uint16_t>(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    layout.planarConfig = FieldOr<uint16_t>(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    layout.sampleFormat = FieldOr<uint16_t>(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    layout.tiled = TIFFIsTiled(tiff) != 0;
    if (layout.tiled) {
        layout.tileWidth = FieldOr<uint32_t>(tiff, TIFFTAG_TILEWIDTH, 0);
        layout.tileLength = FieldOr<uint32_t>(tiff, TIFFTAG_TILELENGTH, 0);
    } else {
        layout.rowsPerStrip = FieldOr<uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP, layout.height);
    }
    return layout;
}

// The message that refuses a file's kind, or "" when the reader takes it.
std::string RefusalMessage(const TiffLayout& layout) {
    if (layout.IsRgb() && layout.compression == COMPRESSION_LZW) return std::string(kLzwRgbMessage);
    if (layout.photometric > PHOTOMETRIC_PALETTE) return std::string(kFormatMessage);
    const uint16_t bits = layout.bitsPerSample;
    if (layout.sampleFormat != SAMPLEFORMAT_UINT && layout.sampleFormat != SAMPLEFORMAT_VOID)
        return "TIF images whose samples are not unsigned integers are not supported";
    bool bitsTaken = false;
    if (layout.IsRgb())
        bitsTaken = bits == 8 || bits == 16;
    else if (layout.IsPalette())
        bitsTaken = bits == 1 || bits == 2 || bits == 4 || bits == 8;
    else
        bitsTaken = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16;
    if (!bitsTaken) {
        std::string kind = layout.IsRgb() ? "RGB" : layout.IsPalette() ? "palette" : "grey";
        return "TIF " + kind + " images with " + std::to_string(bits) + " bits per sample are not supported";
    }
    if (layout.IsRgb() && layout.samplesPerPixel < 3)
        return "TIF RGB images with fewer than 3 samples per pixel are not supported";
    if (layout.width > kMaxWidth)
        return "TIF images wider than " + FormatThousands(kMaxWidth) + " pixels are not supported";
    if (!TIFFIsCODECConfigured(layout.compression))
        return "TIF images using compression scheme " + std::to_string(layout.compression) +
               " are not supported";
    return "";
}

// 0..65535 onto 0..255 (65535 = 255 x 257), as ImageMagick scales.
uint8_t SixteenToEight(uint16_t value) {
    return uint8_t(value / 257);
}

uint16_t Load16(const uint8_t* bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

class TiffRowReaderImpl final : public TiffReader {
public:
    enum class Preparation { Ready, Unreadable, TooLarge };

    TiffRowReaderImpl(std::string path, std::unique_ptr<TiffDiagnostics> diagnostics, TiffHandle tiff,
                      const TiffLayout& layout, bool reportFailures)
        : path_(std::move(path)),
          diagnostics_(std::move(diagnostics)),
          tiff_(std::move(tiff)),
          layout_(layout),
          reportFailures_(reportFailures) {}

    // Works out how rows are decoded and allocates the band buffers.
    Preparation Prepare(uint64_t maxBandBytes) {
        const TiffLayout& l = layout_;
        if (l.width == 0 || l.height == 0 || l.height > uint32_t(std::numeric_limits<int32_t>::max()) ||
            l.samplesPerPixel == 0)
            return Preparation::Unreadable;
        separatePlanes_ = l.planarConfig == PLANARCONFIG_SEPARATE && l.samplesPerPixel > 1;
        samplesInPlane_ = separatePlanes_ ? 1 : l.samplesPerPixel;
        planesUsed_ = separatePlanes_ && l.IsRgb() ? 3 : 1;
        // Width is at most 2^24, samples 2^16 and bits 16: no product below
        // overflows once each factor is checked against the limit.
        rowBytes_ = (uint64_t(l.width) * samplesInPlane_ * l.bitsPerSample + 7) / 8;
        if (rowBytes_ > maxBandBytes) return Preparation::TooLarge;
        if (l.tiled) {
            if (l.tileWidth == 0 || l.tileLength == 0) return Preparation::Unreadable;
            if (l.tileWidth > kMaxWidth || l.tileLength > kMaxWidth) return Preparation::TooLarge;
            // Tiles must start on a byte in the row for their columns to be
            // copied whole.
            if ((uint64_t(l.tileWidth) * samplesInPlane_ * l.bitsPerSample) % 8 != 0)
                return Preparation::Unreadable;
            tileRowBytes_ = (uint64_t(l.tileWidth) * samplesInPlane_ * l.bitsPerSample + 7) / 8;
            if (tileRowBytes_ > maxBandBytes) return Preparation::TooLarge;
            tileBytes_ = tileRowBytes_ * l.tileLength;
            if (uint64_t(TIFFTileRowSize64(tiff_.get())) != tileRowBytes_ ||
                uint64_t(TIFFTileSize64(tiff_.get())) != tileBytes_)
                return Preparation::Unreadable;
            if (tileBytes_ > maxBandBytes) return Preparation::TooLarge;
            bandRows_ = std::min(l.tileLength, l.height);
        } else {
            if (uint64_t(TIFFScanlineSize64(tiff_.get())) != rowBytes_) return Preparation::Unreadable;
            bandRows_ = l.rowsPerStrip == 0 ? l.height : std::min(l.rowsPerStrip, l.height);
        }
        if (uint64_t(planesUsed_) * bandRows_ * rowBytes_ > maxBandBytes) {
            // A huge strip of interleaved samples is decoded a scanline at a
            // time.
            if (l.tiled || separatePlanes_) return Preparation::TooLarge;
            scanlines_ = true;
            stripRows_ = bandRows_;
            bandRows_ = 1;
        }
        band_.resize(size_t(planesUsed_) * bandRows_ * rowBytes_);
        if (l.tiled) tile_.resize(size_t(tileBytes_));
        return Preparation::Ready;
    }

    int Width() const override { return int(layout_.width); }
    int Height() const override { return int(layout_.height); }
    int StripDecodes() const override { return decodes_; }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 1;
        palette = Palette{};
        if (layout_.IsRgb()) {
            bytesPerPixel = 3;
            return;
        }
        const uint16_t bits = std::min<uint16_t>(layout_.bitsPerSample, 8);
        const int colours = 1 << bits;
        if (layout_.IsPalette()) {
            uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
            if (TIFFGetField(tiff_.get(), TIFFTAG_COLORMAP, &red, &green, &blue) == 1 && red && green &&
                blue) {
                for (int i = 0; i < colours; ++i)
                    palette[i] =
                        PaletteEntry{uint8_t(blue[i] >> 8), uint8_t(green[i] >> 8), uint8_t(red[i] >> 8), 0};
            }
            return;
        }
        // Grey: the levels spread over 0..255; white-is-zero inverts them.
        for (int i = 0; i < colours; ++i) {
            int level = i * 255 / (colours - 1);
            if (layout_.IsWhiteIsZero()) level = 255 - level;
            palette[i] = PaletteEntry{uint8_t(level), uint8_t(level), uint8_t(level), 0};
        }
    }

    void ReadRow(int row, uint8_t* buffer) override {
        if (row < 0 || uint32_t(row) >= layout_.height) return;
        LoadBand(uint32_t(row) / bandRows_);
        ConvertRow(uint32_t(row) - bandFirstRow_, buffer);
    }

    Picture LoadPreview(int factor) override { return LoadTiffPreview(path_, factor); }

    Picture BuildPreview(int factor) {
        if (factor < 1) factor = 1;
        if (layout_.IsRgb()) return Picture();  // RGB files have no preview
        const int outWidth = Width() / factor;
        const int outHeight = Height() / factor;
        if (outWidth < 1 || outHeight < 1) return Picture();
        int32_t bytesPerPixel = 1;
        Palette palette{};
        FillFormat(bytesPerPixel, palette);
        if (layout_.IsPalette() && layout_.bitsPerSample == 8) {
            // Unused black entries at the top of an 8-bit colour map show
            // the fixed colours.
            for (int i = 216; i < 256; ++i) {
                if (palette[i] == PaletteEntry{}) {
                    const FixedColour& c = kFixedColourTable[size_t(i - 216)];
                    palette[i] = PaletteEntry{c.blue, c.green, c.red, 0};
                }
            }
        }
        Picture picture;
        try {
            picture = Picture(outWidth, outHeight, 8);
        } catch (const std::bad_alloc&) {
            platform::ShowMessage(
                "Win32 Error # " + std::to_string(ENOMEM) +
                " - Bitmap Handle could not be Assigned - Possibly insufficient virtual memory");
            return Picture();
        }
        picture.Colors() = palette;
        std::vector<uint8_t> row(layout_.width);
        const bool oneRowPerStrip = !layout_.tiled && layout_.rowsPerStrip == 1;
        for (int j = 0; j < outHeight; ++j) {
            const int source = oneRowPerStrip ? j * factor : (j + 1) * factor - 1;
            ReadRow(source, row.data());
            uint8_t* target = picture.Row(j);
            for (int i = 0; i < outWidth; ++i) target[i] = row[size_t(i) * size_t(factor)];
        }
        return picture;
    }

private:
    uint8_t* PlaneRow(uint32_t plane, uint32_t rowInBand) {
        return band_.data() + (size_t(plane) * bandRows_ + rowInBand) * rowBytes_;
    }

    void LoadBand(uint32_t band) {
        if (int64_t(band) == currentBand_) return;
        currentBand_ = band;
        ++decodes_;
        bandFirstRow_ = band * bandRows_;
        bandRowCount_ = std::min(bandRows_, layout_.height - bandFirstRow_);
        std::fill(band_.begin(), band_.end(), 0);
        bool decoded = true;
        for (uint32_t plane = 0; plane < planesUsed_; ++plane) {
            if (scanlines_)
                decoded &= ReadScanline(bandFirstRow_);
            else if (layout_.tiled)
                decoded &= ReadTileBand(plane);
            else
                decoded &= ReadStrip(plane);
        }
        if (!decoded) {
            // Rows of a band that failed are 0, never the pixels of another
            // band. A failed tile leaves only its own area at 0.
            if (!layout_.tiled) std::fill(band_.begin(), band_.end(), 0);
            ReportFailure();
        }
    }

    // Most codecs cannot skip rows: rows are decoded in order from where
    // the last read stopped, or from the start of the row's strip.
    bool ReadScanline(uint32_t row) {
        uint32_t from = nextScanline_;
        if (from > row || from / stripRows_ != row / stripRows_) from = row - row % stripRows_;
        nextScanline_ = kNoScanline;
        for (uint32_t r = from; r <= row; ++r)
            if (TIFFReadScanline(tiff_.get(), PlaneRow(0, 0), r, 0) < 0) return false;
        nextScanline_ = row + 1;
        return true;
    }

    bool ReadStrip(uint32_t plane) {
        TIFF* tiff = tiff_.get();
        const uint32_t strip = TIFFComputeStrip(tiff, bandFirstRow_, uint16_t(plane));
        if (strip >= TIFFNumberOfStrips(tiff)) return false;
        const tmsize_t bytes = tmsize_t(uint64_t(bandRowCount_) * rowBytes_);
        return TIFFReadEncodedStrip(tiff, strip, PlaneRow(plane, 0), bytes) >= 0;
    }

    bool ReadTileBand(uint32_t plane) {
        TIFF* tiff = tiff_.get();
        bool decoded = true;
        for (uint64_t x = 0; x < layout_.width; x += layout_.tileWidth) {
            const uint32_t tile = TIFFComputeTile(tiff, uint32_t(x), bandFirstRow_, 0, uint16_t(plane));
            if (tile >= TIFFNumberOfTiles(tiff) ||
                TIFFReadEncodedTile(tiff, tile, tile_.data(), tmsize_t(tileBytes_)) < 0) {
                decoded = false;
                continue;
            }
            const uint64_t offset = x * samplesInPlane_ * layout_.bitsPerSample / 8;
            const size_t bytes = size_t(std::min(tileRowBytes_, rowBytes_ - offset));
            for (uint32_t r = 0; r < bandRowCount_; ++r)
                std::memcpy(PlaneRow(plane, r) + offset, tile_.data() + size_t(r) * tileRowBytes_, bytes);
        }
        return decoded;
    }

    void ReportFailure() {
        if (!reportFailures_ || failureReported_) return;
        failureReported_ = true;
        platform::ShowMessage("Part of the TIF image " + FileNamePart(path_) +
                              " could not be decoded; its rows are left at 0");
    }

    // One sample of 8 or 16 bits as a byte.
    uint8_t Sample(const uint8_t* row, size_t index) const {
        return layout_.bitsPerSample == 16 ? SixteenToEight(Load16(row + 2 * index)) : row[index];
    }

    void ConvertRow(uint32_t rowInBand, uint8_t* out) {
        const size_t width = layout_.width;
        const size_t step = samplesInPlane_;
        const uint16_t bits = layout_.bitsPerSample;
        if (!layout_.IsRgb()) {
            // Grey and palette: the first sample of each pixel as an index.
            const uint8_t* s = PlaneRow(0, rowInBand);
            if (bits == 8 && step == 1) {
                std::memcpy(out, s, width);
            } else if (bits >= 8) {
                for (size_t x = 0; x < width; ++x) out[x] = Sample(s, x * step);
            } else {
                const unsigned mask = (1u << bits) - 1;
                for (size_t x = 0; x < width; ++x) {
                    const uint64_t bit = uint64_t(x) * step * bits;
                    out[x] = uint8_t((s[bit >> 3] >> (8 - bits - (bit & 7))) & mask);
                }
            }
            return;
        }
        // RGB, delivered blue, green, red; extra samples are dropped.
        if (separatePlanes_) {
            const uint8_t* red = PlaneRow(0, rowInBand);
            const uint8_t* green = PlaneRow(1, rowInBand);
            const uint8_t* blue = PlaneRow(2, rowInBand);
            for (size_t x = 0; x < width; ++x) {
                out[3 * x] = Sample(blue, x);
                out[3 * x + 1] = Sample(green, x);
                out[3 * x + 2] = Sample(red, x);
            }
            return;
        }
        const uint8_t* s = PlaneRow(0, rowInBand);
        if (bits == 8) {
            for (size_t x = 0; x < width; ++x, s += step) {
                out[3 * x] = s[2];
                out[3 * x + 1] = s[1];
                out[3 * x + 2] = s[0];
            }
            return;
        }
        for (size_t x = 0; x < width; ++x) {
            out[3 * x] = Sample(s, x * step + 2);
            out[3 * x + 1] = Sample(s, x * step + 1);
            out[3 * x + 2] = Sample(s, x * step);
        }
    }

    std::string path_;
    std::unique_ptr<TiffDiagnostics> diagnostics_;  // outlives the handle that reports into it
    TiffHandle tiff_;
    TiffLayout layout_;
    bool reportFailures_ = true;

    bool separatePlanes_ = false;
    uint32_t samplesInPlane_ = 1;
    uint32_t planesUsed_ = 1;
    uint64_t rowBytes_ = 0;  // one decoded row of one plane
    uint32_t bandRows_ = 1;
    bool scanlines_ = false;
    static constexpr uint32_t kNoScanline = std::numeric_limits<uint32_t>::max();
    uint32_t stripRows_ = 1;               // rows per strip, when decoding scanlines
    uint32_t nextScanline_ = kNoScanline;  // the row libtiff decodes next
    uint64_t tileRowBytes_ = 0;
    uint64_t tileBytes_ = 0;
    std::vector<uint8_t> band_;  // planes used x band rows x row bytes
    std::vector<uint8_t> tile_;

    int64_t currentBand_ = -1;
    uint32_t bandFirstRow_ = 0;
    uint32_t bandRowCount_ = 0;
    int decodes_ = 0;
    bool failureReported_ = false;
};

// Opens a reader; `interactive` shows refusals and decoding failures.
std::unique_ptr<TiffRowReaderImpl> OpenReader(const std::string& path, bool interactive,
                                              uint64_t maxBandBytes) {
    auto diagnostics = std::make_unique<TiffDiagnostics>();
    TiffHandle tiff = OpenTiffHandle(path, *diagnostics);
    if (!tiff) return nullptr;
    const TiffLayout layout = ReadLayout(tiff.get());
    std::string refusal = RefusalMessage(layout);
    if (!refusal.empty()) {
        if (interactive) platform::ShowMessage(refusal);
        return nullptr;
    }
    auto reader = std::make_unique<TiffRowReaderImpl>(path, std::move(diagnostics), std::move(tiff), layout,
                                                      interactive);
    switch (reader->Prepare(maxBandBytes)) {
        case TiffRowReaderImpl::Preparation::Ready:
            return reader;
        case TiffRowReaderImpl::Preparation::TooLarge:
            if (interactive)
                platform::ShowMessage("The strips or tiles of this TIF image are too large to be read");
            return nullptr;
        case TiffRowReaderImpl::Preparation::Unreadable:
            break;
    }
    return nullptr;
}

std::unique_ptr<SourceRowReader> OpenTiffRows(const std::string& path) {
    return OpenTiff(path);
}

}  // namespace

std::unique_ptr<TiffReader> OpenTiff(const std::string& path, uint64_t maxBandBytes) {
    return OpenReader(path, true, maxBandBytes);
}

bool GetTiffFormat(TiffReader& reader, int32_t& bytesPerPixel, Palette& palette) {
    reader.FillFormat(bytesPerPixel, palette);
    return bytesPerPixel == 1;
}

void ReadTiffRow(TiffReader& reader, int row, uint8_t* buffer) {
    reader.ReadRow(row, buffer);
}

void CloseTiff(std::unique_ptr<TiffReader>& reader) {
    reader.reset();
}

Picture LoadTiffPreview(const std::string& path, int factor) {
    std::unique_ptr<TiffRowReaderImpl> reader = OpenReader(path, false, kDefaultMaxBandBytes);
    if (!reader) return Picture();
    return reader->BuildPreview(factor);
}

SourceImageInfo GetTiffInfo(const std::string& path) {
    SourceImageInfo info;
    TiffDiagnostics diagnostics;
    TiffHandle tiff = OpenTiffHandle(path, diagnostics);
    if (!tiff) return info;
    const TiffLayout layout = ReadLayout(tiff.get());
    constexpr uint32_t kMaxInt = uint32_t(std::numeric_limits<int32_t>::max());
    info.width = int32_t(std::min(layout.width, kMaxInt));
    info.height = int32_t(std::min(layout.height, kMaxInt));
    if (layout.IsRgb()) info.bytesPerPixel = 3;
    return info;
}

std::span<const SourceFormat> TiffFormats() {
    static const SourceFormat rows[] = {{".tif", nullptr, &OpenTiffRows, &GetTiffInfo}};
    return rows;
}

}  // namespace tessary
