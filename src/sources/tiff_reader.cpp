#include "sources/tiff_reader.h"

#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "common/over_white.h"
#include "common/text.h"
#include "sources/fixed_colour_table.h"
#include "sources/source_error.h"
#include "sources/source_formats.h"
#include "sources/source_notes.h"

namespace tessary {

namespace {

constexpr std::string_view kFormatMessage = "This TIF format is not supported";
constexpr std::string_view kTooLargeMessage =
    "The strips or tiles of this TIF image are too large to be read";

// The largest single allocation libtiff may make for one of our handles;
// malformed headers that ask for more are refused by the library.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t(256) << 20;
// The widest image taken: the caller's row buffer is width x 3 bytes.
constexpr uint32_t kMaxWidth = uint32_t(1) << 24;

// What libtiff had to say about one handle. Errors are kept (the first one
// since the last Clear, as text) rather than written to stderr; warnings are
// dropped. The first error is the reason a person needs: later ones are
// usually consequences of it.
struct TiffDiagnostics {
    std::string path;  // the library names the file as the module; that adds nothing
    std::string firstError;
    int errorCount = 0;

    void Clear() {
        firstError.clear();
        errorCount = 0;
    }
    // libtiff's text, or `fallback` when it said nothing.
    std::string Reason(std::string_view fallback) const {
        return firstError.empty() ? std::string(fallback) : firstError;
    }
};

int RecordTiffError(TIFF*, void* userData, const char* module, const char* format, va_list args) {
    auto* diagnostics = static_cast<TiffDiagnostics*>(userData);
    if (diagnostics) {
        if (diagnostics->errorCount++ == 0) {
            char text[512];
            std::vsnprintf(text, sizeof text, format, args);
            const std::string_view name = module ? module : "";
            diagnostics->firstError = name.empty() || name == diagnostics->path
                                          ? std::string(text)
                                          : std::string(name) + ": " + text;
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
    diagnostics.path = path;
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
    // The first extra sample when it is alpha (EXTRASAMPLE_ASSOCALPHA or
    // EXTRASAMPLE_UNASSALPHA), composed over white; 0 when there is none.
    uint16_t alpha = 0;
    bool tiled = false;
    uint32_t tileWidth = 0;
    uint32_t tileLength = 0;
    // The values that map onto black and white for floating-point samples.
    double floatLow = 0.0;
    double floatHigh = 1.0;

    bool IsRgb() const { return photometric == PHOTOMETRIC_RGB; }
    bool IsPalette() const { return photometric == PHOTOMETRIC_PALETTE; }
    bool IsWhiteIsZero() const { return photometric == PHOTOMETRIC_MINISWHITE; }
    bool IsFloat() const { return sampleFormat == SAMPLEFORMAT_IEEEFP; }
    bool IsSigned() const { return sampleFormat == SAMPLEFORMAT_INT; }
    bool IsUnsigned() const { return sampleFormat == SAMPLEFORMAT_UINT || sampleFormat == SAMPLEFORMAT_VOID; }

    // The kinds read since the reader's first version, with their own fast
    // paths: unsigned samples of 1, 2, 4, 8 or 16 bits (palette up to 8,
    // RGB 8 or 16). Everything else the strip route takes goes through the
    // general sample conversion.
    bool IsClassic() const {
        if (!IsUnsigned()) return false;
        const uint16_t bits = bitsPerSample;
        if (IsRgb()) return bits == 8 || bits == 16;
        if (IsPalette()) return bits == 1 || bits == 2 || bits == 4 || bits == 8;
        return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16;
    }
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
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    const uint16_t colourSamples = layout.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount > 0 && extra &&
        (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA) &&
        layout.samplesPerPixel > colourSamples)
        layout.alpha = extra[0];
    layout.tiled = TIFFIsTiled(tiff) != 0;
    if (layout.tiled) {
        layout.tileWidth = FieldOr<uint32_t>(tiff, TIFFTAG_TILEWIDTH, 0);
        layout.tileLength = FieldOr<uint32_t>(tiff, TIFFTAG_TILELENGTH, 0);
    } else {
        layout.rowsPerStrip = FieldOr<uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP, layout.height);
    }
    if (layout.IsFloat()) {
        // Floating-point images hold 0 to 1 unless they name their range.
        double low = 0.0, high = 0.0;
        if (TIFFGetField(tiff, TIFFTAG_SMINSAMPLEVALUE, &low) == 1 &&
            TIFFGetField(tiff, TIFFTAG_SMAXSAMPLEVALUE, &high) == 1 && std::isfinite(low) &&
            std::isfinite(high) && high > low) {
            layout.floatLow = low;
            layout.floatHigh = high;
        }
    }
    return layout;
}

// Whether the strip route reads the file's kind: grey, palette and RGB
// images whose samples it converts itself. Anything else is left to
// libtiff's RGBA conversion.
bool StripRouteTakes(const TiffLayout& layout) {
    if (layout.photometric > PHOTOMETRIC_PALETTE) return false;
    if (layout.IsRgb() && layout.samplesPerPixel < 3) return false;
    const uint16_t bits = layout.bitsPerSample;
    if (layout.IsPalette()) return layout.IsUnsigned() && (bits == 1 || bits == 2 || bits == 4 || bits == 8);
    if (layout.IsFloat()) return bits == 32 || bits == 64;
    if (layout.IsUnsigned() || layout.IsSigned())
        return bits >= 1 && (bits <= 16 || bits == 24 || bits == 32);
    return false;
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

// A premultiplied colour sample with its alpha over white paper: what
// OverWhite makes of the straight sample.
uint8_t PremultipliedOverWhite(uint32_t premultiplied, uint32_t alpha) {
    return uint8_t(std::min<uint32_t>(255, premultiplied + 255 - alpha));
}

// What the strip and RGBA routes share: the handle, the band of rows
// decoded last, and the damage of that band.
class TiffBandReader : public TiffReader {
public:
    TiffBandReader(std::unique_ptr<TiffDiagnostics> diagnostics, TiffHandle tiff, const TiffLayout& layout)
        : diagnostics_(std::move(diagnostics)), tiff_(std::move(tiff)), layout_(layout) {}

    int Width() const override { return int(layout_.width); }
    int Height() const override { return int(layout_.height); }
    int StripDecodes() const override { return decodes_; }

    // A row of a band that could not be decoded is still written (from a
    // band cleared to black, never from another band's pixels) and then
    // reported as damaged, each time it is read.
    void ReadRow(int row, uint8_t* buffer) override {
        if (row < 0 || uint32_t(row) >= layout_.height) return;
        LoadBand(uint32_t(row) / bandRows_);
        ConvertRow(uint32_t(row) - bandFirstRow_, buffer);
        if (!bandDamage_.empty()) ThrowDamaged(bandDamage_);
    }

    // The decimated preview, or an empty picture for kinds without one.
    virtual Picture BuildPreview(int factor) {
        (void)factor;
        return Picture();
    }

protected:
    // Decodes the rows bandFirstRow_ .. + bandRowCount_ into the band;
    // false when libtiff could not.
    virtual bool DecodeBand() = 0;
    // Names the strip or tiles of a band for a person ("strip 7 of 38").
    virtual std::string BandName() const = 0;
    virtual void ConvertRow(uint32_t rowInBand, uint8_t* out) = 0;

    // "strip 7 of 38" for the unit holding `row` when units are `rows` high.
    std::string UnitName(std::string_view unit, uint32_t row, uint32_t rows) const {
        const uint64_t count = (uint64_t(layout_.height) + rows - 1) / rows;
        return std::string(unit) + " " + FormatThousands(int64_t(row / rows) + 1) + " of " +
               FormatThousands(int64_t(count));
    }

    std::unique_ptr<TiffDiagnostics> diagnostics_;  // outlives the handle that reports into it
    TiffHandle tiff_;
    TiffLayout layout_;
    uint32_t bandRows_ = 1;
    uint32_t bandFirstRow_ = 0;
    uint32_t bandRowCount_ = 0;

private:
    void LoadBand(uint32_t band) {
        if (int64_t(band) == currentBand_) return;
        currentBand_ = band;
        ++decodes_;
        bandFirstRow_ = band * bandRows_;
        bandRowCount_ = std::min(bandRows_, layout_.height - bandFirstRow_);
        bandDamage_.clear();
        diagnostics_->Clear();
        if (!DecodeBand()) bandDamage_ = BandName() + ": " + diagnostics_->Reason("cannot be decoded");
    }

    int64_t currentBand_ = -1;
    int decodes_ = 0;
    std::string bandDamage_;  // why the current band could not be decoded, or ""
};

// The strip route: samples decoded by libtiff strip by strip (or a band of
// tiles at a time) and converted here.
class TiffStripReader final : public TiffBandReader {
public:
    using TiffBandReader::TiffBandReader;

    // Works out how rows are decoded and allocates the band buffers. Gives
    // "" when ready, else why not, with the message to show in `box` (or
    // none).
    std::string Prepare(uint64_t maxBandBytes, std::string_view& box) {
        box = {};
        const TiffLayout& l = layout_;
        if (l.width == 0 || l.height == 0) return "the image has no pixels";
        if (l.height > uint32_t(std::numeric_limits<int32_t>::max()))
            return "the image has more than " + FormatThousands(std::numeric_limits<int32_t>::max()) +
                   " rows";
        if (l.samplesPerPixel == 0) return "the image has no samples per pixel";
        separatePlanes_ = l.planarConfig == PLANARCONFIG_SEPARATE && l.samplesPerPixel > 1;
        samplesInPlane_ = separatePlanes_ ? 1 : l.samplesPerPixel;
        planesUsed_ = separatePlanes_ && l.IsRgb() ? 3 : 1;
        // Width is at most 2^24, samples 2^16 and bits 64: no product below
        // overflows once each factor is checked against the limit.
        rowBytes_ = (uint64_t(l.width) * samplesInPlane_ * l.bitsPerSample + 7) / 8;
        const auto tooLargeFor = [&](uint64_t bytes) {
            box = kTooLargeMessage;
            return "one band of rows needs " + FormatThousands(int64_t(bytes)) + " bytes, more than the " +
                   FormatThousands(int64_t(maxBandBytes)) + " allowed";
        };
        if (rowBytes_ > maxBandBytes) return tooLargeFor(rowBytes_);
        if (l.tiled) {
            if (l.tileWidth == 0 || l.tileLength == 0) return "the tiles have no size";
            if (l.tileWidth > kMaxWidth || l.tileLength > kMaxWidth)
                return tooLargeFor(uint64_t(l.tileWidth) * l.tileLength);
            // Tiles must start on a byte in the row for their columns to be
            // copied whole.
            if ((uint64_t(l.tileWidth) * samplesInPlane_ * l.bitsPerSample) % 8 != 0)
                return "the tiles do not start on a byte boundary";
            tileRowBytes_ = (uint64_t(l.tileWidth) * samplesInPlane_ * l.bitsPerSample + 7) / 8;
            if (tileRowBytes_ > maxBandBytes) return tooLargeFor(tileRowBytes_);
            tileBytes_ = tileRowBytes_ * l.tileLength;
            if (uint64_t(TIFFTileRowSize64(tiff_.get())) != tileRowBytes_ ||
                uint64_t(TIFFTileSize64(tiff_.get())) != tileBytes_)
                return "the tile size does not match the image layout";
            if (tileBytes_ > maxBandBytes) return tooLargeFor(tileBytes_);
            bandRows_ = std::min(l.tileLength, l.height);
        } else {
            if (uint64_t(TIFFScanlineSize64(tiff_.get())) != rowBytes_)
                return "the row size does not match the image layout";
            bandRows_ = l.rowsPerStrip == 0 ? l.height : std::min(l.rowsPerStrip, l.height);
        }
        stripRows_ = bandRows_;
        if (uint64_t(planesUsed_) * bandRows_ * rowBytes_ > maxBandBytes) {
            // A huge strip of interleaved samples is decoded a scanline at a
            // time.
            if (l.tiled || separatePlanes_) return tooLargeFor(uint64_t(planesUsed_) * bandRows_ * rowBytes_);
            scanlines_ = true;
            bandRows_ = 1;
        }
        band_.resize(size_t(planesUsed_) * bandRows_ * rowBytes_);
        if (l.tiled) tile_.resize(size_t(tileBytes_));
        return "";
    }

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

    // Drawn from this reader rather than a second one: a second handle
    // would hold and decode a second band.
    Picture LoadPreview(int factor) override { return BuildPreview(factor); }

    Picture BuildPreview(int factor) override {
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
            NoteForUser(
                "Win32 Error # " + std::to_string(ENOMEM) +
                " - Bitmap Handle could not be Assigned - Possibly insufficient virtual memory");
            return Picture();
        }
        picture.Colours() = palette;
        std::vector<uint8_t> row(layout_.width);
        const bool oneRowPerStrip = !layout_.tiled && layout_.rowsPerStrip == 1;
        for (int j = 0; j < outHeight; ++j) {
            const int source = oneRowPerStrip ? j * factor : (j + 1) * factor - 1;
            try {
                ReadRow(source, row.data());
            } catch (const SourceError&) {
                // A preview shows a damaged band as the black it decodes to.
            }
            uint8_t* target = picture.Row(j);
            for (int i = 0; i < outWidth; ++i) target[i] = row[size_t(i) * size_t(factor)];
        }
        return picture;
    }

private:
    uint8_t* PlaneRow(uint32_t plane, uint32_t rowInBand) {
        return band_.data() + (size_t(plane) * bandRows_ + rowInBand) * rowBytes_;
    }

    bool DecodeBand() override {
        std::fill(band_.begin(), band_.end(), 0);
        bool decoded = true;
        for (uint32_t plane = 0; plane < planesUsed_ && decoded; ++plane) {
            if (scanlines_)
                decoded = ReadScanline(bandFirstRow_);
            else if (layout_.tiled)
                decoded = ReadTileBand(plane);
            else
                decoded = ReadStrip(plane);
        }
        // Rows of a band that failed are black, never the pixels of another
        // band or a half-decoded mix.
        if (!decoded) std::fill(band_.begin(), band_.end(), 0);
        return decoded;
    }

    std::string BandName() const override {
        return layout_.tiled ? UnitName("tile row", bandFirstRow_, stripRows_)
                             : UnitName("strip", bandFirstRow_, stripRows_);
    }

    // Most codecs cannot skip rows: rows are decoded in order from where
    // the last read stopped, or from the start of the row's strip. Once a
    // row of a strip failed, every later row of that strip fails the same
    // way; it is not decoded again from the strip's start (a damaged huge
    // strip would cost its rows squared).
    bool ReadScanline(uint32_t row) {
        const uint32_t strip = row / stripRows_;
        if (strip == failedStrip_ && row >= failedScanline_) {
            diagnostics_->firstError = failedReason_;
            return false;
        }
        uint32_t from = nextScanline_;
        if (from > row || from / stripRows_ != strip) from = row - row % stripRows_;
        nextScanline_ = kNoScanline;
        for (uint32_t r = from; r <= row; ++r) {
            if (TIFFReadScanline(tiff_.get(), PlaneRow(0, 0), r, 0) < 0) {
                failedStrip_ = strip;
                failedScanline_ = r;
                failedReason_ = diagnostics_->firstError;
                return false;
            }
        }
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
        for (uint64_t x = 0; x < layout_.width; x += layout_.tileWidth) {
            const uint32_t tile = TIFFComputeTile(tiff, uint32_t(x), bandFirstRow_, 0, uint16_t(plane));
            if (tile >= TIFFNumberOfTiles(tiff) ||
                TIFFReadEncodedTile(tiff, tile, tile_.data(), tmsize_t(tileBytes_)) < 0)
                return false;
            const uint64_t offset = x * samplesInPlane_ * layout_.bitsPerSample / 8;
            const size_t bytes = size_t(std::min(tileRowBytes_, rowBytes_ - offset));
            for (uint32_t r = 0; r < bandRowCount_; ++r)
                std::memcpy(PlaneRow(plane, r) + offset, tile_.data() + size_t(r) * tileRowBytes_, bytes);
        }
        return true;
    }

    // One integer sample as an unsigned number of bitsPerSample bits:
    // signed samples are shifted so that the most negative is 0. Samples
    // of 8, 16, 24 and 32 bits are in the machine's byte order (libtiff
    // swaps them), the others packed most significant bit first.
    uint32_t RawSample(const uint8_t* row, size_t index) const {
        const uint16_t bits = layout_.bitsPerSample;
        uint32_t value = 0;
        switch (bits) {
            case 8:
                value = row[index];
                break;
            case 16:
                value = Load16(row + 2 * index);
                break;
            case 24: {
                const uint8_t* p = row + 3 * index;
                value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
                if constexpr (std::endian::native == std::endian::big)
                    value = uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16;
                break;
            }
            case 32:
                std::memcpy(&value, row + 4 * index, sizeof value);
                break;
            default: {
                // At most 16 bits from any bit of a byte: three bytes, never
                // past the row's last byte.
                const uint64_t bit = uint64_t(index) * bits;
                const size_t first = size_t(bit >> 3);
                const unsigned skip = unsigned(bit & 7);
                const size_t count = (skip + bits + 7) / 8;
                uint32_t window = 0;
                for (size_t i = 0; i < count; ++i) window = window << 8 | row[first + i];
                value = (window >> (count * 8 - skip - bits)) & ((uint32_t(1) << bits) - 1);
                break;
            }
        }
        if (layout_.IsSigned()) value ^= uint32_t(1) << (bits - 1);
        return value;
    }

    // One sample of any kind as 0..255.
    uint8_t ScaledSample(const uint8_t* row, size_t index) const {
        if (layout_.IsFloat()) {
            double value = 0.0;
            if (layout_.bitsPerSample == 32) {
                float f;
                std::memcpy(&f, row + 4 * index, sizeof f);
                value = f;
            } else {
                std::memcpy(&value, row + 8 * index, sizeof value);
            }
            const double unit = (value - layout_.floatLow) / (layout_.floatHigh - layout_.floatLow);
            if (!(unit > 0.0)) return 0;  // NaN too
            if (unit >= 1.0) return 255;
            return uint8_t(std::lround(unit * 255.0));
        }
        const uint16_t bits = layout_.bitsPerSample;
        const uint64_t value = RawSample(row, index);
        if (bits == 8) return uint8_t(value);
        const uint64_t top = (uint64_t(1) << bits) - 1;
        return uint8_t((value * 255 + top / 2) / top);
    }

    // Grey and palette samples as an index: the value itself up to 8 bits
    // (the palette holds the levels), scaled to 0..255 above that.
    uint8_t IndexSample(const uint8_t* row, size_t index) const {
        if (!layout_.IsFloat() && layout_.bitsPerSample <= 8) return uint8_t(RawSample(row, index));
        return ScaledSample(row, index);
    }

    // One row in the caller's layout: grey and palette samples as one index
    // each, RGB as blue, green, red (extra samples are dropped). `sample`
    // gives one sample as a byte; it is a template argument so that each
    // kind's loop is compiled with its own conversion inlined.
    template <typename Sample>
    void ConvertWith(uint32_t rowInBand, uint8_t* out, Sample sample) {
        const size_t width = layout_.width;
        const size_t step = samplesInPlane_;
        if (ComposesAlpha()) {
            // Alpha follows the colour samples; composed over white. A
            // premultiplied sample p of straight value v holds
            // round(v x alpha / 255), so p + 255 - alpha is v composed.
            const uint8_t* s = PlaneRow(0, rowInBand);
            const bool associated = layout_.alpha == EXTRASAMPLE_ASSOCALPHA;
            const size_t colours = layout_.IsRgb() ? 3 : 1;
            auto over = [&](uint32_t value, uint32_t alpha) {
                return associated ? PremultipliedOverWhite(value, alpha) : OverWhite(value, alpha);
            };
            for (size_t x = 0; x < width; ++x) {
                const uint32_t alpha = sample(s, x * step + colours);
                if (colours == 1) {
                    out[x] = over(sample(s, x * step), alpha);
                    continue;
                }
                out[3 * x] = over(sample(s, x * step + 2), alpha);
                out[3 * x + 1] = over(sample(s, x * step + 1), alpha);
                out[3 * x + 2] = over(sample(s, x * step), alpha);
            }
            return;
        }
        if (!layout_.IsRgb()) {
            const uint8_t* s = PlaneRow(0, rowInBand);
            for (size_t x = 0; x < width; ++x) out[x] = sample(s, x * step);
            return;
        }
        if (separatePlanes_) {
            const uint8_t* red = PlaneRow(0, rowInBand);
            const uint8_t* green = PlaneRow(1, rowInBand);
            const uint8_t* blue = PlaneRow(2, rowInBand);
            for (size_t x = 0; x < width; ++x) {
                out[3 * x] = sample(blue, x);
                out[3 * x + 1] = sample(green, x);
                out[3 * x + 2] = sample(red, x);
            }
            return;
        }
        const uint8_t* s = PlaneRow(0, rowInBand);
        for (size_t x = 0; x < width; ++x) {
            out[3 * x] = sample(s, x * step + 2);
            out[3 * x + 1] = sample(s, x * step + 1);
            out[3 * x + 2] = sample(s, x * step);
        }
    }

    // The classic kinds take their samples directly: bytes, 16-bit samples
    // by their high byte, and grey and palette samples under 8 bits
    // unpacked. The others are scaled from whatever they hold.
    void ConvertRow(uint32_t rowInBand, uint8_t* out) override {
        const uint16_t bits = layout_.bitsPerSample;
        if (!layout_.IsClassic()) {
            if (layout_.IsRgb())
                ConvertWith(rowInBand, out, [this](const uint8_t* row, size_t i) { return ScaledSample(row, i); });
            else
                ConvertWith(rowInBand, out, [this](const uint8_t* row, size_t i) { return IndexSample(row, i); });
        } else if (bits == 8 && samplesInPlane_ == 1 && !layout_.IsRgb()) {
            std::memcpy(out, PlaneRow(0, rowInBand), layout_.width);
        } else if (bits == 8) {
            ConvertWith(rowInBand, out, [](const uint8_t* row, size_t i) { return row[i]; });
        } else if (bits == 16) {
            ConvertWith(rowInBand, out,
                        [](const uint8_t* row, size_t i) { return SixteenToEight(Load16(row + 2 * i)); });
        } else {
            const unsigned mask = (1u << bits) - 1;
            ConvertWith(rowInBand, out, [bits, mask](const uint8_t* row, size_t i) {
                const uint64_t bit = uint64_t(i) * bits;
                return uint8_t((row[bit >> 3] >> (8 - bits - (bit & 7))) & mask);
            });
        }
    }

    // Whether rows compose an alpha sample: interleaved samples of 8 bits
    // or more, RGB or black-is-zero grey (whose index is its level).
    bool ComposesAlpha() const {
        return layout_.alpha != 0 && !separatePlanes_ && layout_.bitsPerSample >= 8 &&
               (layout_.IsRgb() || layout_.photometric == PHOTOMETRIC_MINISBLACK);
    }

    bool separatePlanes_ = false;
    uint32_t samplesInPlane_ = 1;
    uint32_t planesUsed_ = 1;
    uint64_t rowBytes_ = 0;  // one decoded row of one plane
    bool scanlines_ = false;
    static constexpr uint32_t kNoScanline = std::numeric_limits<uint32_t>::max();
    uint32_t stripRows_ = 1;               // rows per strip, or per tile
    uint32_t nextScanline_ = kNoScanline;  // the row libtiff decodes next
    uint32_t failedStrip_ = kNoScanline;   // the strip whose scanline failed, and where
    uint32_t failedScanline_ = 0;
    std::string failedReason_;
    uint64_t tileRowBytes_ = 0;
    uint64_t tileBytes_ = 0;
    std::vector<uint8_t> band_;  // planes used x band rows x row bytes
    std::vector<uint8_t> tile_;
};

// Whether the RGBA route takes a file's signed samples: 8-bit interleaved
// CMYK, whose samples it converts itself (PutSignedCmyk).
bool TakesSignedCmyk(const TiffLayout& layout) {
    return layout.IsSigned() && layout.photometric == PHOTOMETRIC_SEPARATED && layout.bitsPerSample == 8 &&
           layout.planarConfig == PLANARCONFIG_CONTIG;
}

// libtiff's conversion of 8-bit interleaved CMYK, for signed samples: -128
// is no ink and 127 full ink, as signed grey runs from black to white on the
// strip route. libtiff would take the samples for unsigned ones, so that -1
// (the most ink) and 0 (none) would lie side by side. The colours are
// libtiff's own for the samples moved up by 128.
void PutSignedCmyk(TIFFRGBAImage* image, uint32_t* out, uint32_t, uint32_t, uint32_t width, uint32_t rows,
                   int32_t fromSkew, int32_t toSkew, unsigned char* in) {
    const int32_t samples = image->samplesperpixel;
    for (; rows > 0; --rows, out += toSkew, in += fromSkew * samples) {
        for (uint32_t x = 0; x < width; ++x, in += samples) {
            const uint32_t paper = 255 - uint8_t(in[3] ^ 0x80);
            const uint32_t red = paper * (255 - uint8_t(in[0] ^ 0x80)) / 255;
            const uint32_t green = paper * (255 - uint8_t(in[1] ^ 0x80)) / 255;
            const uint32_t blue = paper * (255 - uint8_t(in[2] ^ 0x80)) / 255;
            *out++ = red | (green << 8) | (blue << 16) | 0xFF000000u;
        }
    }
}

// The RGBA route: every kind libtiff converts to colour itself (YCbCr and
// JPEG-in-TIFF, CMYK, CIE L*a*b*, LogLuv, ...), one strip or one row of
// tiles at a time. Always 3 bytes per pixel; alpha is composed over white.
class TiffRgbaReader final : public TiffBandReader {
public:
    using TiffBandReader::TiffBandReader;

    ~TiffRgbaReader() override {
        if (begun_) TIFFRGBAImageEnd(&image_);
    }

    // Gives "" when ready, else why not, with the message to show in `box`
    // (or none).
    std::string Prepare(uint64_t maxBandBytes, std::string_view& box) {
        box = {};
        const TiffLayout& l = layout_;
        if (l.width == 0 || l.height == 0) return "the image has no pixels";
        if (l.height > uint32_t(std::numeric_limits<int32_t>::max()))
            return "the image has more than " + FormatThousands(std::numeric_limits<int32_t>::max()) +
                   " rows";
        const uint64_t rowBytes = uint64_t(l.width) * 4;
        if (l.tiled) {
            if (l.tileLength == 0 || l.tileWidth == 0) return "the tiles have no size";
            unitRows_ = std::min(l.tileLength, l.height);
            bandRows_ = unitRows_;
        } else {
            unitRows_ = l.rowsPerStrip == 0 ? l.height : std::min(l.rowsPerStrip, l.height);
            bandRows_ = unitRows_;
            if (rowBytes * bandRows_ > maxBandBytes) {
                // A huge strip is converted a part at a time; libtiff decodes
                // each part from the strip's start. Parts are a multiple of
                // 16 rows so that no chroma subsampling block is cut.
                bandRows_ = uint32_t(std::min<uint64_t>(maxBandBytes / rowBytes / 16 * 16, bandRows_));
            }
        }
        if (bandRows_ == 0 || rowBytes * bandRows_ > maxBandBytes) {
            box = kTooLargeMessage;
            return "one band of rows needs " +
                   FormatThousands(int64_t(rowBytes * std::max<uint32_t>(unitRows_, 16))) +
                   " bytes, more than the " + FormatThousands(int64_t(maxBandBytes)) + " allowed";
        }
        char message[1024] = "";
        if (TIFFRGBAImageBegin(&image_, tiff_.get(), 1, message) != 1) {
            box = kFormatMessage;
            return message[0] ? std::string(message)
                              : diagnostics_->Reason("libtiff cannot convert it to colour");
        }
        begun_ = true;
        if (TakesSignedCmyk(l)) image_.put.contig = PutSignedCmyk;
        // Rows come in the order they are stored, as on the strip route:
        // the orientation tag is not applied.
        image_.orientation = ORIENTATION_TOPLEFT;
        image_.req_orientation = ORIENTATION_TOPLEFT;
        raster_.resize(size_t(l.width) * bandRows_);
        return "";
    }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 3;
        palette = Palette{};
    }

private:
    bool DecodeBand() override {
        image_.row_offset = int(bandFirstRow_);
        image_.col_offset = 0;
        if (TIFFRGBAImageGet(&image_, raster_.data(), layout_.width, bandRowCount_) == 1) return true;
        std::fill(raster_.begin(), raster_.end(), kOpaqueBlack);
        return false;
    }

    std::string BandName() const override {
        return UnitName(layout_.tiled ? "tile row" : "strip", bandFirstRow_, unitRows_);
    }

    void ConvertRow(uint32_t rowInBand, uint8_t* out) override {
        const uint32_t* pixel = raster_.data() + size_t(rowInBand) * layout_.width;
        for (size_t x = 0; x < layout_.width; ++x, out += 3) {
            const uint32_t p = pixel[x];
            const uint32_t alpha = TIFFGetA(p);
            out[0] = PremultipliedOverWhite(TIFFGetB(p), alpha);
            out[1] = PremultipliedOverWhite(TIFFGetG(p), alpha);
            out[2] = PremultipliedOverWhite(TIFFGetR(p), alpha);
        }
    }

    static constexpr uint32_t kOpaqueBlack = 0xFF000000u;
    TIFFRGBAImage image_{};
    bool begun_ = false;
    uint32_t unitRows_ = 1;         // rows per strip or per tile
    std::vector<uint32_t> raster_;  // band rows x width, packed A B G R
};

// Refuses a file: notes `box` for the user when the open is interactive and
// `box` is not empty, and throws with the detail.
[[noreturn]] void Refuse(bool interactive, std::string_view box, const std::string& detail) {
    if (interactive && !box.empty()) NoteForUser(box);
    throw SourceError(SourceOpenError::SourceUnusable, detail);
}

// Opens a reader; `interactive` notes refusals for the user. Throws SourceError with the
// reason when the file cannot be read.
std::unique_ptr<TiffBandReader> OpenReader(const std::string& path, bool interactive, uint64_t maxBandBytes) {
    auto diagnostics = std::make_unique<TiffDiagnostics>();
    TiffHandle tiff = OpenTiffHandle(path, *diagnostics);
    if (!tiff) Refuse(false, "", diagnostics->Reason("libtiff cannot open it as a TIFF file"));
    const TiffLayout layout = ReadLayout(tiff.get());
    if (layout.width > kMaxWidth) {
        const std::string text =
            "TIF images wider than " + FormatThousands(kMaxWidth) + " pixels are not supported";
        Refuse(interactive, text, text);
    }
    if (!TIFFIsCODECConfigured(layout.compression))
        Refuse(interactive, kFormatMessage,
               "libtiff has no decoder for its compression scheme " + std::to_string(layout.compression));
    const auto prepared = [&](std::unique_ptr<TiffBandReader> reader, const std::string& problem,
                              std::string_view box) {
        if (problem.empty()) return reader;
        Refuse(interactive, box, problem);
    };
    std::string_view box;
    if (StripRouteTakes(layout)) {
        auto reader = std::make_unique<TiffStripReader>(std::move(diagnostics), std::move(tiff), layout);
        const std::string problem = reader->Prepare(maxBandBytes, box);
        return prepared(std::move(reader), problem, box);
    }
    char message[1024] = "";
    if (TIFFRGBAImageOK(tiff.get(), message) != 1)
        Refuse(interactive, kFormatMessage,
               message[0] ? std::string(message) : diagnostics->Reason(kFormatMessage));
    // LogLuv stores signed samples by design, and signed 8-bit CMYK is
    // converted by PutSignedCmyk; elsewhere libtiff's colour conversion would
    // take signed samples for unsigned ones.
    if (layout.IsSigned() && layout.photometric != PHOTOMETRIC_LOGL &&
        layout.photometric != PHOTOMETRIC_LOGLUV && !TakesSignedCmyk(layout))
        Refuse(interactive, kFormatMessage, "libtiff converts only unsigned samples of this colour kind");
    auto reader = std::make_unique<TiffRgbaReader>(std::move(diagnostics), std::move(tiff), layout);
    const std::string problem = reader->Prepare(maxBandBytes, box);
    return prepared(std::move(reader), problem, box);
}

std::unique_ptr<SourceRowReader> OpenTiffRows(const std::string& path) {
    return OpenTiff(path);
}

}  // namespace

std::unique_ptr<TiffReader> OpenTiff(const std::string& path, uint64_t maxBandBytes) {
    return OpenReader(path, true, maxBandBytes);
}

Picture LoadTiffPreview(const std::string& path, int factor) {
    try {
        return OpenReader(path, false, kDefaultMaxBandBytes)->BuildPreview(factor);
    } catch (const SourceError&) {
        return Picture();
    }
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
    // Kinds libtiff converts to colour are delivered as RGB.
    if (layout.IsRgb() || !StripRouteTakes(layout)) {
        char message[1024] = "";
        if (layout.IsRgb() || TIFFRGBAImageOK(tiff.get(), message) == 1) info.bytesPerPixel = 3;
    }
    return info;
}

std::span<const SourceFormat> TiffFormats() {
    static const SourceFormat rows[] = {{".tif", nullptr, &OpenTiffRows, &GetTiffInfo},
                                        {".tiff", nullptr, &OpenTiffRows, &GetTiffInfo}};
    return rows;
}

}  // namespace tessary
