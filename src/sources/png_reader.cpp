// PNG sources (.png), read whole through libpng 1.6.
//
// libpng reports errors by jumping back to the point set in the function that
// makes the libpng calls. Objects with destructors (the read structures, the
// file, the buffers) live in the caller's frame and are reached through
// pointers, so the jump never skips a destructor; the caller turns the failure
// into "Error Reading File!".
#include "sources/png_reader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "common/file.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

const char kReadError[] = "Error Reading File!";

// Errors jump back without printing; warnings (bad ancillary chunks and the
// like) are dropped.
void PngError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

struct PngReadContext {
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<uint8_t> alphaRows;  // whole image with alpha, before composing
    std::vector<png_bytep> rows;
    uint64_t fileSize = 0;

    ~PngReadContext() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        if (file) std::fclose(file);
    }
};

void OpenPng(PngReadContext& ctx, const std::string& path) {
    ctx.file = std::fopen(path.c_str(), "rb");
    if (!ctx.file) throw std::runtime_error("Error Opening File : " + path);
    int64_t size = FileSizeOf(path);
    ctx.fileSize = size > 0 ? uint64_t(size) : 0;
    ctx.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (!ctx.png) throw std::runtime_error(kReadError);
    ctx.info = png_create_info_struct(ctx.png);
    if (!ctx.info) throw std::runtime_error(kReadError);
    // No ancillary chunk is used (gamma, colour spaces, text, transparency
    // and background are not applied), so all are skipped unread: a damaged
    // chunk length then cannot make the library reserve and clear gigabytes.
    static const png_byte kIgnored[] =
        "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0sRGB\0sTER\0"
        "tEXt\0tIME\0tRNS\0zTXt";
    png_set_keep_unknown_chunks(ctx.png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(ctx.png, PNG_HANDLE_CHUNK_NEVER, kIgnored, int(sizeof kIgnored / 5));
    png_set_chunk_malloc_max(ctx.png, 8u << 20);
}

// Composes a colour sample over white paper with its alpha.
inline uint8_t OverWhite(unsigned value, unsigned alpha) {
    return uint8_t((value * alpha + 255u * (255u - alpha) + 127u) / 255u);
}

// The libpng part of a load. Returns false when libpng failed.
bool DecodeInto(PngReadContext* ctx, Picture* picture) {
    png_structp png = ctx->png;
    png_infop info = ctx->info;
    if (setjmp(png_jmpbuf(png))) return false;

    png_init_io(png, ctx->file);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, nullptr, nullptr, nullptr);

    // Deflate cannot expand data by more than about 1032 to 1, so a header
    // that promises far more pixels than the file can hold is a bomb or a lie.
    const uint64_t rawBytes =
        ((uint64_t(width) * uint64_t(png_get_channels(png, info)) * uint64_t(bitDepth) + 7) / 8 + 1) * height;
    if (rawBytes > ctx->fileSize * 1100 + 65536) return false;

    if (bitDepth == 16) png_set_strip_16(png);
    if (bitDepth < 8) {
        if (colourType == PNG_COLOR_TYPE_GRAY)
            png_set_expand_gray_1_2_4_to_8(png);
        else
            png_set_packing(png);
    }
    const bool colour = (colourType & PNG_COLOR_MASK_COLOR) != 0 && colourType != PNG_COLOR_TYPE_PALETTE;
    const bool alpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0;
    if (colour) png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    // What libpng now delivers: one byte per sample, as many samples as the
    // colour type has. Anything else is not a layout this reader knows.
    const int channels = png_get_channels(png, info);
    const int expected = (colour ? 3 : 1) + (alpha ? 1 : 0);
    const size_t rowBytes = png_get_rowbytes(png, info);
    if (png_get_bit_depth(png, info) != 8 || channels != expected ||
        rowBytes != size_t(width) * size_t(channels))
        return false;

    *picture = Picture(int(width), int(height), colour ? 24 : 8);
    Palette& palette = picture->Colors();
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &entries, &count) != 0) {
            for (int i = 0; i < count && i < 256; ++i)
                palette[size_t(i)] = {entries[i].blue, entries[i].green, entries[i].red, 0};
        }
    } else if (!colour) {
        for (unsigned i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }

    ctx->rows.resize(height);
    if (!alpha) {
        for (png_uint_32 y = 0; y < height; ++y) ctx->rows[y] = picture->Row(int(y));
        png_read_image(png, ctx->rows.data());
    } else {
        ctx->alphaRows.resize(rowBytes * height);
        for (png_uint_32 y = 0; y < height; ++y) ctx->rows[y] = ctx->alphaRows.data() + rowBytes * y;
        png_read_image(png, ctx->rows.data());
        for (png_uint_32 y = 0; y < height; ++y) {
            const uint8_t* src = ctx->rows[y];
            uint8_t* dst = picture->Row(int(y));
            if (colour) {
                for (png_uint_32 x = 0; x < width; ++x, src += 4, dst += 3) {
                    dst[0] = OverWhite(src[0], src[3]);
                    dst[1] = OverWhite(src[1], src[3]);
                    dst[2] = OverWhite(src[2], src[3]);
                }
            } else {
                for (png_uint_32 x = 0; x < width; ++x, src += 2) dst[x] = OverWhite(src[0], src[1]);
            }
        }
    }
    // What follows the image data (text chunks, IEND) is not needed.
    return true;
}

bool InspectInto(PngReadContext* ctx, SourceImageInfo* info) {
    png_structp png = ctx->png;
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, ctx->file);
    png_read_info(png, ctx->info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    png_get_IHDR(png, ctx->info, &width, &height, &bitDepth, &colourType, nullptr, nullptr, nullptr);
    info->width = int32_t(width);
    info->height = int32_t(height);
    if (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA) info->bytesPerPixel = 3;
    return true;
}

std::optional<WholeImage> LoadPngWhole(const std::string& path) {
    WholeImage whole;
    if (!DecodePngBitmap(path, whole.picture)) return std::nullopt;
    return whole;
}

const SourceFormat kPngFormats[] = {
    {".png", &LoadPngWhole, nullptr, &GetPngInfo},
};

}  // namespace

bool DecodePngBitmap(const std::string& path, Picture& picture) {
    PngReadContext ctx;
    OpenPng(ctx, path);
    Picture decoded;
    if (!DecodeInto(&ctx, &decoded)) throw std::runtime_error(kReadError);
    picture = std::move(decoded);
    return true;
}

SourceImageInfo GetPngInfo(const std::string& path) {
    PngReadContext ctx;
    OpenPng(ctx, path);
    SourceImageInfo info;
    if (!InspectInto(&ctx, &info)) throw std::runtime_error(kReadError);
    return info;
}

std::span<const SourceFormat> PngFormats() {
    return kPngFormats;
}

}  // namespace tessary
