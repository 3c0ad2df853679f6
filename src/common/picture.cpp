#include "common/picture.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessary {

void PaletteToBytes(const Palette& palette, uint8_t* bytes) {
    for (size_t i = 0; i < 256; ++i) {
        bytes[i * 4 + 0] = palette[i].blue;
        bytes[i * 4 + 1] = palette[i].green;
        bytes[i * 4 + 2] = palette[i].red;
        bytes[i * 4 + 3] = palette[i].reserved;
    }
}

Palette PaletteFromBytes(const uint8_t* bytes) {
    Palette p{};
    for (size_t i = 0; i < 256; ++i) p[i] = {bytes[i * 4], bytes[i * 4 + 1], bytes[i * 4 + 2], bytes[i * 4 + 3]};
    return p;
}

size_t Picture::StrideFor(int width, int bitsPerPixel) {
    return ((uint64_t(width) * uint64_t(bitsPerPixel) + 31) / 32) * 4;
}

Picture::Picture(int width, int height, int bitsPerPixel) {
    switch (bitsPerPixel) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: throw std::bad_alloc();
    }
    if (width <= 0 || height <= 0) throw std::bad_alloc();
    uint64_t stride = StrideFor(width, bitsPerPixel);
    // Refuse sizes that cannot be addressed rather than wrapping them.
    if (stride > (uint64_t(1) << 40) / uint64_t(height)) throw std::bad_alloc();
    pixels_.assign(size_t(stride * uint64_t(height)), 0);
    width_ = width;
    height_ = height;
    bitsPerPixel_ = bitsPerPixel;
    stride_ = size_t(stride);
}

void Picture::ConvertTo8Bit() {
    if (Empty() || (bitsPerPixel_ != 1 && bitsPerPixel_ != 4)) return;
    Picture out(width_, height_, 8);
    out.palette_ = palette_;
    for (int y = 0; y < height_; ++y) {
        const uint8_t* src = Row(y);
        uint8_t* dst = out.Row(y);
        if (bitsPerPixel_ == 1) {
            for (int x = 0; x < width_; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        } else {
            for (int x = 0; x < width_; ++x) dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
        }
    }
    *this = std::move(out);
}

void Picture::FlipVertically() {
    std::vector<uint8_t> tmp(stride_);
    for (int top = 0, bottom = height_ - 1; top < bottom; ++top, --bottom) {
        std::memcpy(tmp.data(), Row(top), stride_);
        std::memcpy(Row(top), Row(bottom), stride_);
        std::memcpy(Row(bottom), tmp.data(), stride_);
    }
}

void PixelColour(const Picture& picture, int x, int y, uint8_t bgr[3]) {
    const uint8_t* row = picture.Row(y);
    const Palette& pal = picture.Colours();
    auto fromIndex = [&](unsigned index) {
        bgr[0] = pal[index].blue;
        bgr[1] = pal[index].green;
        bgr[2] = pal[index].red;
    };
    switch (picture.BitsPerPixel()) {
        case 1: fromIndex((row[x >> 3] >> (7 - (x & 7))) & 1); break;
        case 4: fromIndex((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4)); break;
        case 8: fromIndex(row[x]); break;
        case 16: {
            // 5-5-5, the layout of a 16-bit picture without masks.
            unsigned v = unsigned(row[x * 2]) | (unsigned(row[x * 2 + 1]) << 8);
            bgr[0] = uint8_t(((v & 0x1F) * 255 + 15) / 31);
            bgr[1] = uint8_t((((v >> 5) & 0x1F) * 255 + 15) / 31);
            bgr[2] = uint8_t((((v >> 10) & 0x1F) * 255 + 15) / 31);
            break;
        }
        case 24: std::memcpy(bgr, row + size_t(x) * 3, 3); break;
        case 32: std::memcpy(bgr, row + size_t(x) * 4, 3); break;
        default: bgr[0] = bgr[1] = bgr[2] = 0;
    }
}

Picture StretchDrop(const Picture& source, int width, int height) {
    if (source.Empty() || width <= 0 || height <= 0) return Picture();
    Picture out(width, height, 24);
    for (int y = 0; y < height; ++y) {
        int sy = int(int64_t(y) * source.Height() / height);
        uint8_t* dst = out.Row(y);
        for (int x = 0; x < width; ++x) {
            int sx = int(int64_t(x) * source.Width() / width);
            PixelColour(source, sx, sy, dst + size_t(x) * 3);
        }
    }
    return out;
}

}  // namespace tessary
