// PNG sources (.png) through libpng 1.6. Files without interlacing are read
// row by row as the conversion asks for them, so memory stays one row;
// interlaced (Adam7) files need every pass before any row is complete and are
// decoded whole.
//
// libpng reports errors by jumping back to the point set in Guarded(). The
// code run under the jump point keeps no objects with destructors in its own
// frames: the read structures, the file and the buffers live in a PngStream
// reached through a pointer, so the jump never skips a destructor. The text
// libpng gives with the error ("IDAT: CRC error") is kept in the stream and
// becomes the detail of the SourceError that the caller throws.
#include "sources/png_reader.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/expansion_limit.h"
#include "common/file.h"
#include "common/over_white.h"
#include "common/text.h"
#include "sources/source_error.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

// One pass over the file: the open file and libpng's read structures.
struct PngStream {
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    uint64_t fileSize = 0;
    std::string message;  // libpng's text for the last error
    std::string ending;   // our own text for a file that ends early
    int currentRow = -1;  // the row being decoded, -1 before the image data
    uint32_t height = 0;

    ~PngStream() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        if (file) std::fclose(file);
    }
};

// Errors jump back without printing; warnings (bad ancillary chunks and the
// like) are dropped.
void PngError(png_structp png, png_const_charp text) {
    auto* stream = static_cast<PngStream*>(png_get_error_ptr(png));
    if (stream) stream->message = text ? text : "decoding failed";
    png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

// Reads from the file; a file that ends early is named as such, with the row
// whose data it cut off.
void ReadData(png_structp png, png_bytep data, size_t length) {
    auto* stream = static_cast<PngStream*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, stream->file) == length) return;
    if (stream->currentRow >= 0)
        stream->ending = "file ends inside row " + FormatThousands(int64_t(stream->currentRow) + 1) + " of " +
                         FormatThousands(int64_t(stream->height));
    else
        stream->ending = "file ends before the image data";
    png_error(png, stream->ending.c_str());
}

// Runs libpng calls under the jump point. `work` must keep no objects with
// destructors in its own frame. False when libpng failed.
template <class Work>
bool Guarded(PngStream& stream, Work&& work) {
    if (setjmp(png_jmpbuf(stream.png))) return false;
    work();
    return true;
}

[[noreturn]] void Refuse(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceNotLoadable, detail);
}

std::unique_ptr<PngStream> OpenStream(const std::string& path) {
    auto stream = std::make_unique<PngStream>();
    stream->file = std::fopen(path.c_str(), "rb");
    if (!stream->file) Refuse("Error Opening File : " + path + " - " + std::strerror(errno));
    int64_t size = FileSizeOf(path);
    stream->fileSize = size > 0 ? uint64_t(size) : 0;
    if (size == 0) Refuse("file is empty");
    stream->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, stream.get(), PngError, PngWarning);
    if (!stream->png) Refuse("libpng could not start");
    stream->info = png_create_info_struct(stream->png);
    if (!stream->info) Refuse("libpng could not start");
    png_set_read_fn(stream->png, stream.get(), ReadData);
    // No ancillary chunk but transparency is used (gamma, colour spaces, text
    // and background are not applied), so the others are skipped unread: a
    // damaged chunk length then cannot make the library reserve and clear
    // gigabytes. libpng takes a transparency chunk only of the length its
    // colour type allows (at most 256 bytes).
    static const png_byte kIgnored[] =
        "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0sRGB\0sTER\0"
        "tEXt\0tIME\0zTXt";
    png_set_keep_unknown_chunks(stream->png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(stream->png, PNG_HANDLE_CHUNK_NEVER, kIgnored, int(sizeof kIgnored / 5));
    png_set_chunk_malloc_max(stream->png, 8u << 20);
    return stream;
}

// What a decode delivers: one byte per sample, grey or palette indices
// (8-bit picture) or blue, green, red (24-bit), alpha composed over white.
struct PngLayout {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int colourType = 0;
    bool colour = false;  // RGB, with or without alpha
    bool alpha = false;
    bool interlaced = false;
    int passes = 1;
    size_t rowBytes = 0;  // as libpng delivers a row, alpha included
    Palette palette{};    // palette and grey images
};

// Reads the header only.
void ReadHeader(PngStream& stream, PngLayout& layout) {
    png_structp png = stream.png;
    png_infop info = stream.info;
    int bitDepth = 0, interlace = 0;
    const bool ok = Guarded(stream, [&] {
        png_read_info(png, info);
        png_get_IHDR(png, info, &layout.width, &layout.height, &bitDepth, &layout.colourType, &interlace,
                     nullptr, nullptr);
    });
    if (!ok) Refuse(stream.message);
    layout.interlaced = interlace != PNG_INTERLACE_NONE;
    stream.height = layout.height;

    // A header that promises far more pixels than the file can hold is a bomb
    // or a lie.
    const uint64_t rawBytes =
        ((uint64_t(layout.width) * uint64_t(png_get_channels(png, info)) * uint64_t(bitDepth) + 7) / 8 + 1) *
        layout.height;
    if (!kDeflateExpansion.Allows(stream.fileSize, rawBytes))
        Refuse("header promises " + FormatThousands(layout.width) + " x " + FormatThousands(layout.height) +
               " pixels, more than the file can hold");
}

// Sets the transformations after the header: 16 to 8 bits, low depths to a
// byte per pixel (grey scaled to 0..255), blue-green-red order, every pass
// of an interlaced file combined into the rows. Fills the palette.
void SetUpTransforms(PngStream& stream, PngLayout& layout) {
    png_structp png = stream.png;
    png_infop info = stream.info;
    int bitDepth = png_get_bit_depth(png, info);
    layout.colour = (layout.colourType & PNG_COLOR_MASK_COLOR) != 0 && layout.colourType != PNG_COLOR_TYPE_PALETTE;
    // A grey or RGB file with a transparent colour (tRNS) gets an alpha
    // sample that marks it, composed over white like any alpha; a palette
    // file's transparency is composed into its palette entries below.
    const bool keyed =
        layout.colourType != PNG_COLOR_TYPE_PALETTE && png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    layout.alpha = (layout.colourType & PNG_COLOR_MASK_ALPHA) != 0 || keyed;
    int channels = 0, deliveredDepth = 0;
    const bool ok = Guarded(stream, [&] {
        if (keyed) png_set_tRNS_to_alpha(png);
        if (bitDepth == 16) png_set_strip_16(png);
        if (bitDepth < 8) {
            if (layout.colourType == PNG_COLOR_TYPE_GRAY)
                png_set_expand_gray_1_2_4_to_8(png);
            else
                png_set_packing(png);
        }
        if (layout.colour) png_set_bgr(png);
        layout.passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        channels = png_get_channels(png, info);
        deliveredDepth = png_get_bit_depth(png, info);
        layout.rowBytes = png_get_rowbytes(png, info);
    });
    if (!ok) Refuse(stream.message);

    // What libpng now delivers: one byte per sample, as many samples as the
    // colour type has. Anything else is not a layout this reader knows.
    const int expected = (layout.colour ? 3 : 1) + (layout.alpha ? 1 : 0);
    if (deliveredDepth != 8 || channels != expected || layout.rowBytes != size_t(layout.width) * size_t(channels))
        Refuse("unsupported sample layout");

    if (layout.colourType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &entries, &count) != 0) {
            for (int i = 0; i < count && i < 256; ++i)
                layout.palette[size_t(i)] = {entries[i].blue, entries[i].green, entries[i].red, 0};
        }
        png_bytep alphas = nullptr;
        int alphaCount = 0;
        if (png_get_tRNS(png, info, &alphas, &alphaCount, nullptr) != 0 && alphas) {
            for (int i = 0; i < alphaCount && i < 256; ++i) {
                auto& entry = layout.palette[size_t(i)];
                entry = {OverWhite(entry.blue, alphas[i]), OverWhite(entry.green, alphas[i]),
                         OverWhite(entry.red, alphas[i]), 0};
            }
        }
    } else if (!layout.colour) {
        for (unsigned i = 0; i < 256; ++i) layout.palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }
}

// Turns a row as libpng delivers it into the picture's row: alpha composed
// over white, one or three bytes per pixel.
void ComposeRow(const PngLayout& layout, const uint8_t* src, uint8_t* dst) {
    const png_uint_32 width = layout.width;
    if (!layout.alpha) {
        std::memcpy(dst, src, layout.rowBytes);
    } else if (layout.colour) {
        for (png_uint_32 x = 0; x < width; ++x, src += 4, dst += 3) {
            dst[0] = OverWhite(src[0], src[3]);
            dst[1] = OverWhite(src[1], src[3]);
            dst[2] = OverWhite(src[2], src[3]);
        }
    } else {
        for (png_uint_32 x = 0; x < width; ++x, src += 2) dst[x] = OverWhite(src[0], src[1]);
    }
}

// Decodes the whole file. Data that ends early or is corrupt gives the
// picture with the rows that were decoded and the damage recorded.
WholeImage DecodeWhole(const std::string& path) {
    std::unique_ptr<PngStream> stream = OpenStream(path);
    PngLayout layout;
    ReadHeader(*stream, layout);
    SetUpTransforms(*stream, layout);

    WholeImage whole;
    Picture& picture = whole.picture;
    picture = Picture(int(layout.width), int(layout.height), layout.colour ? 24 : 8);
    picture.Colours() = layout.palette;

    // Rows with alpha are gathered first: later passes of an interlaced file
    // add to rows of earlier ones, and alpha is composed only at the end.
    std::vector<uint8_t> alphaRows;
    if (layout.alpha) alphaRows.resize(layout.rowBytes * layout.height);
    auto target = [&](png_uint_32 y) {
        return layout.alpha ? alphaRows.data() + layout.rowBytes * y : picture.Row(int(y));
    };

    png_structp png = stream->png;
    PngStream* s = stream.get();
    int pass = 0;
    png_uint_32 y = 0;
    const bool ok = Guarded(*stream, [&] {
        for (pass = 0; pass < layout.passes; ++pass)
            for (y = 0; y < layout.height; ++y) {
                s->currentRow = int(y);
                png_read_row(png, target(y), nullptr);
            }
    });
    if (!ok) {
        // A row is complete only after the last pass wrote it.
        whole.damagedRows = pass == layout.passes - 1 ? int64_t(layout.height - y) : int64_t(layout.height);
        whole.damageDetail = stream->message;
    }
    if (layout.alpha)
        for (png_uint_32 row = 0; row < layout.height; ++row)
            ComposeRow(layout, alphaRows.data() + layout.rowBytes * row, picture.Row(int(row)));
    // What follows the image data (text chunks, IEND) is not needed.
    return whole;
}

// Rows of a file without interlacing, decoded as they are asked for.
class PngRows : public SourceRowReader {
public:
    explicit PngRows(std::string path) : path_(std::move(path)) { Start(); }

    int Width() const override { return int(layout_.width); }
    int Height() const override { return int(layout_.height); }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = layout_.colour ? 3 : 1;
        palette = layout_.colour ? Palette{} : layout_.palette;
    }

    void ReadRow(int row, uint8_t* buffer) override {
        if (row < 0 || row >= Height()) return;
        if (failedAt_ >= 0 && row >= failedAt_) ThrowDamaged(failure_);
        // libpng reads forwards only. The conversion asks for rows in
        // ascending order in every pass over the source; only a new pass (or
        // the preview before the conversion) goes back, and then the file
        // is read again from its start.
        if (row < next_ || !stream_) {
            try {
                Start();
            } catch (const SourceError& e) {
                ThrowDamaged(e.what());
            }
        }
        png_structp png = stream_->png;
        PngStream* s = stream_.get();
        uint8_t* into = rowBuffer_.data();
        int reading = next_;
        const bool ok = Guarded(*stream_, [&] {
            for (; reading <= row; ++reading) {
                s->currentRow = reading;
                png_read_row(png, into, nullptr);
            }
        });
        if (!ok) {
            failedAt_ = reading;
            failure_ = stream_->message;
            stream_.reset();  // libpng cannot go on after an error
            ThrowDamaged(failure_);
        }
        next_ = row + 1;
        ComposeRow(layout_, rowBuffer_.data(), buffer);
    }

    // Drawn as a picture held whole is drawn (see DrawSourcePreview).
    bool PreviewLikeWhole() const override { return true; }

private:
    void Start() {
        stream_.reset();
        std::unique_ptr<PngStream> stream = OpenStream(path_);
        PngLayout layout;
        ReadHeader(*stream, layout);
        SetUpTransforms(*stream, layout);
        if (layout.interlaced) Refuse("interlaced file");  // decoded whole instead
        if (rowBuffer_.empty()) {
            layout_ = layout;
            rowBuffer_.resize(layout_.rowBytes);
        }
        stream_ = std::move(stream);
        next_ = 0;
    }

    std::string path_;
    std::unique_ptr<PngStream> stream_;
    PngLayout layout_;
    std::vector<uint8_t> rowBuffer_;
    int next_ = 0;       // the row libpng delivers next
    int failedAt_ = -1;  // the first row that could not be decoded
    std::string failure_;
};

// The whole-image attempt: interlaced files only; the others decline so that
// the row reader takes them.
std::optional<WholeImage> LoadPngWhole(const std::string& path) {
    {
        std::unique_ptr<PngStream> stream = OpenStream(path);
        PngLayout layout;
        ReadHeader(*stream, layout);
        if (!layout.interlaced) return std::nullopt;
    }
    return DecodeWhole(path);
}

std::unique_ptr<SourceRowReader> OpenPngRows(const std::string& path) {
    return std::make_unique<PngRows>(path);
}

const SourceFormat kPngFormats[] = {
    {".png", &LoadPngWhole, &OpenPngRows, &GetPngInfo},
};

}  // namespace

bool DecodePngBitmap(const std::string& path, Picture& picture) {
    WholeImage whole = DecodeWhole(path);
    if (whole.damagedRows > 0) ThrowDamaged(whole.damageDetail);
    picture = std::move(whole.picture);
    return true;
}

SourceImageInfo GetPngInfo(const std::string& path) {
    std::unique_ptr<PngStream> stream = OpenStream(path);
    png_structp png = stream->png;
    png_infop pngInfo = stream->info;
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    const bool ok = Guarded(*stream, [&] {
        png_read_info(png, pngInfo);
        png_get_IHDR(png, pngInfo, &width, &height, &bitDepth, &colourType, nullptr, nullptr, nullptr);
    });
    if (!ok) Refuse(stream->message);
    SourceImageInfo info;
    info.width = int32_t(width);
    info.height = int32_t(height);
    if (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA) info.bytesPerPixel = 3;
    return info;
}

std::span<const SourceFormat> PngFormats() {
    return kPngFormats;
}

}  // namespace tessary
