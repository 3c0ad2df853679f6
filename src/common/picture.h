// Palettes and in-memory pictures (device-independent bitmaps).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessary {

// One palette entry, stored blue, green, red, reserved: the same four bytes
// in RPX2 files, scratch rasters, BMP colour tables and pictures.
struct PaletteEntry {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    uint8_t reserved = 0;
    bool operator==(const PaletteEntry&) const = default;
};
static_assert(sizeof(PaletteEntry) == 4);

using Palette = std::array<PaletteEntry, 256>;

// Copies a palette to or from its 1024-byte stored form.
void PaletteToBytes(const Palette& palette, uint8_t* bytes1024);
Palette PaletteFromBytes(const uint8_t* bytes1024);

// A picture of 1, 4, 8, 16, 24 or 32 bits per pixel. Rows are addressed from
// the top row (row 0) down and each is padded to a multiple of 4 bytes.
// 24-bit pixels are stored blue, green, red. The palette always has 256
// entries; it is meaningful for 1, 4 and 8 bits per pixel.
class Picture {
public:
    Picture() = default;
    // Allocates a zero-filled picture. Raises std::bad_alloc when the size is
    // absurd (width or height not positive, or too many bytes).
    Picture(int width, int height, int bitsPerPixel);

    bool Empty() const { return width_ <= 0 || height_ <= 0; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitsPerPixel() const { return bitsPerPixel_; }
    size_t Stride() const { return stride_; }
    static size_t StrideFor(int width, int bitsPerPixel);

    uint8_t* Row(int y) { return pixels_.data() + size_t(y) * stride_; }
    const uint8_t* Row(int y) const { return pixels_.data() + size_t(y) * stride_; }
    uint8_t* Data() { return pixels_.data(); }
    const uint8_t* Data() const { return pixels_.data(); }
    size_t DataSize() const { return pixels_.size(); }

    Palette& Colours() { return palette_; }
    const Palette& Colours() const { return palette_; }

    // 1- and 4-bit pictures become 8-bit with the same indices and palette;
    // other depths are left alone.
    void ConvertTo8Bit();

    // Reverses the order of the rows.
    void FlipVertically();

    void Clear() { *this = Picture(); }

private:
    int width_ = 0;
    int height_ = 0;
    int bitsPerPixel_ = 0;
    size_t stride_ = 0;
    std::vector<uint8_t> pixels_;
    Palette palette_{};
};

// The colour (blue, green, red) of pixel x in a row of a picture.
void PixelColour(const Picture& picture, int x, int y, uint8_t bgr[3]);

// Stretches a picture into a 24-bit picture of the given size by dropping or
// repeating rows and columns (no blending), as a colour-on-colour stretch
// does. Gives an empty picture when either picture is empty.
Picture StretchDrop(const Picture& source, int width, int height);

}  // namespace tessary
