#include "sources/bmp_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "common/le.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

constexpr uint64_t kFileHeaderSize = 14;

// Compression kinds of the information header.
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

// A run-length compressed picture may be at most this many times larger
// than its compressed data (plus a floor): runs encode at most 255 pixels in
// two bytes, so a larger ratio only comes from hostile skip commands.
constexpr uint64_t kMaxRleExpansion = 256;
constexpr uint64_t kRleFloorBytes = uint64_t(1) << 20;

struct BmpHeader {
    uint32_t dataOffset = 0;
    uint32_t headerSize = 0;
    bool os2 = false;  // 12-byte header, 3-byte colour entries
    int32_t width = 0;
    int32_t height = 0;  // as stored: negative for top-down files
    uint16_t bitsPerPixel = 0;
    uint32_t compression = kBiRgb;
    uint32_t colorsUsed = 0;
    uint8_t raw[124] = {};  // the information header as read (headerSize bytes)
};

bool KnownHeaderSize(uint32_t size) {
    switch (size) {
        case 12:   // OS/2 1.x
        case 40:   // Windows 3
        case 52:   // with RGB masks
        case 56:   // with RGBA masks
        case 64:   // OS/2 2.x
        case 108:  // V4
        case 124:  // V5
            return true;
        default:
            return false;
    }
}

// Reads the file header and the information header. False when the file is
// not a bitmap or its header has a size this reader does not know.
bool ReadHeaders(CheckedFile& file, uint64_t fileSize, BmpHeader& h) {
    if (fileSize < kFileHeaderSize + 4) return false;
    uint8_t head[kFileHeaderSize + 4];
    file.ReadExact(head, sizeof head);
    if (head[0] != 'B' || head[1] != 'M') return false;
    h.dataOffset = ReadU32LE(head + 10);
    h.headerSize = ReadU32LE(head + 14);
    if (!KnownHeaderSize(h.headerSize)) return false;
    if (fileSize < kFileHeaderSize + h.headerSize) return false;
    std::memcpy(h.raw, head + 14, 4);
    file.ReadExact(h.raw + 4, h.headerSize - 4);
    if (h.headerSize == 12) {
        h.os2 = true;
        h.width = ReadU16LE(h.raw + 4);
        h.height = ReadU16LE(h.raw + 6);
        h.bitsPerPixel = ReadU16LE(h.raw + 10);
        return true;
    }
    h.width = ReadI32LE(h.raw + 4);
    h.height = ReadI32LE(h.raw + 8);
    h.bitsPerPixel = ReadU16LE(h.raw + 14);
    h.compression = ReadU32LE(h.raw + 16);
    h.colorsUsed = ReadU32LE(h.raw + 32);
    return true;
}

// One colour channel of a 16- or 32-bit pixel: its mask, where it starts and
// how many bits it has.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    bool Set(uint32_t m) {
        mask = m;
        if (m == 0) return true;
        shift = std::countr_zero(m);
        bits = std::popcount(m);
        // The bits of a channel must be contiguous.
        return (m >> shift) == (bits == 32 ? 0xFFFFFFFFu : ((uint32_t(1) << bits) - 1));
    }
    // The channel's value scaled to 0..255, rounded to the nearest.
    uint8_t Scale(uint32_t pixel) const {
        if (bits == 0) return 0;
        uint64_t v = (pixel & mask) >> shift;
        if (bits == 8) return uint8_t(v);
        uint64_t max = (uint64_t(1) << bits) - 1;
        return uint8_t((v * 255 + max / 2) / max);
    }
};

struct Decoder {
    Decoder(CheckedFile& f, uint64_t size, const BmpHeader& header) : file(f), fileSize(size), h(header) {}
    CheckedFile& file;
    uint64_t fileSize;
    const BmpHeader& h;
    uint64_t dataOffset = 0;  // where the pixel data starts
    int width = 0;
    int height = 0;  // rows, positive
    bool topDown = false;
    uint64_t fileStride = 0;
    Channel red, green, blue;

    // The picture row that the file's row `i` (in storage order) becomes.
    int PictureRow(int64_t i) const { return topDown ? int(i) : height - 1 - int(i); }
};

bool ReadMasks(Decoder& d, uint64_t& tableStart) {
    const BmpHeader& h = d.h;
    uint32_t masks[3];
    if (h.compression == kBiRgb) {
        if (h.bitsPerPixel == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
        }
    } else if (h.headerSize >= 52) {
        // V4, V5 and the 52/56-byte headers carry the masks themselves.
        for (int c = 0; c < 3; ++c) masks[c] = ReadU32LE(h.raw + 40 + 4 * c);
    } else if (h.headerSize == 40) {
        // A 40-byte header is followed by three (or, with alpha, four) masks.
        uint64_t count = h.compression == kBiAlphaBitfields ? 4 : 3;
        uint8_t bytes[16];
        if (tableStart + 4 * count > d.fileSize) return false;
        d.file.Seek(tableStart);
        d.file.ReadExact(bytes, 4 * count);
        for (int c = 0; c < 3; ++c) masks[c] = ReadU32LE(bytes + 4 * c);
        tableStart += 4 * count;
    } else {
        return false;
    }
    if (h.bitsPerPixel == 16)
        for (uint32_t& m : masks)
            if (m > 0xFFFF) return false;
    if (masks[0] == 0 && masks[1] == 0 && masks[2] == 0) return false;
    return d.red.Set(masks[0]) && d.green.Set(masks[1]) && d.blue.Set(masks[2]);
}

// The number of colour table entries the header announces.
uint64_t ColourCount(const BmpHeader& h, uint64_t tableStart) {
    uint64_t maxEntries = uint64_t(1) << h.bitsPerPixel;
    if (!h.os2) return h.colorsUsed == 0 ? maxEntries : h.colorsUsed;
    // OS/2 1.x headers have no colour count: the table runs up to the pixel
    // data.
    uint64_t count = h.dataOffset > tableStart ? (h.dataOffset - tableStart) / 3 : 0;
    return std::min(count, maxEntries);
}

// Reads the colour table that follows the information header (and masks).
// Entries the file does not hold stay zero.
void ReadColourTable(Decoder& d, uint64_t tableStart, Palette& palette) {
    const BmpHeader& h = d.h;
    const uint64_t entrySize = h.os2 ? 3 : 4;
    if (tableStart >= d.fileSize) return;
    uint64_t count = std::min(ColourCount(h, tableStart), (d.fileSize - tableStart) / entrySize);
    std::vector<uint8_t> bytes(size_t(count * entrySize));
    d.file.Seek(tableStart);
    d.file.ReadExact(bytes.data(), bytes.size());
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + i * entrySize;
        palette[i] = {e[0], e[1], e[2], uint8_t(h.os2 ? 0 : e[3])};
    }
}

// Uncompressed 1-, 4-, 8- and 24-bit rows: the picture row has the file's
// layout, so rows are read straight into it.
void ReadRowsDirect(Decoder& d, Picture& picture) {
    d.file.Seek(d.dataOffset);
    for (int64_t i = 0; i < d.height; ++i) {
        uint8_t* row = picture.Row(d.PictureRow(i));
        // The last row may lack its padding; the size check made sure the
        // pixels themselves are there.
        d.file.ReadSome(row, size_t(d.fileStride));
    }
}

// 16- and 32-bit rows become blue, green, red.
void ReadRowsMasked(Decoder& d, Picture& picture) {
    d.file.Seek(d.dataOffset);
    std::vector<uint8_t> buffer(size_t(d.fileStride));
    const int bytesPerPixel = d.h.bitsPerPixel / 8;
    for (int64_t i = 0; i < d.height; ++i) {
        std::fill(buffer.begin(), buffer.end(), uint8_t(0));
        d.file.ReadSome(buffer.data(), buffer.size());
        uint8_t* out = picture.Row(d.PictureRow(i));
        const uint8_t* in = buffer.data();
        for (int x = 0; x < d.width; ++x, in += bytesPerPixel, out += 3) {
            uint32_t pixel = bytesPerPixel == 2 ? ReadU16LE(in) : ReadU32LE(in);
            out[0] = d.blue.Scale(pixel);
            out[1] = d.green.Scale(pixel);
            out[2] = d.red.Scale(pixel);
        }
    }
}

void SetIndex(Picture& picture, int bitsPerPixel, int x, int y, uint8_t index) {
    uint8_t* row = picture.Row(y);
    if (bitsPerPixel == 8) {
        row[x] = index;
    } else if (x & 1) {
        row[x >> 1] = uint8_t((row[x >> 1] & 0xF0) | (index & 0x0F));
    } else {
        row[x >> 1] = uint8_t((row[x >> 1] & 0x0F) | (index << 4));
    }
}

// Run-length compressed 8- or 4-bit data. Pixels that the data skips (by a
// jump, an early end of line or an early end of the picture) keep index 0;
// pixels beyond the row or the picture are dropped. Data that ends without
// an end-of-picture mark ends the picture there.
void DecodeRle(Decoder& d, Picture& picture) {
    const bool four = d.h.bitsPerPixel == 4;
    std::vector<uint8_t> data(size_t(d.fileSize - d.dataOffset));
    d.file.Seek(d.dataOffset);
    d.file.ReadExact(data.data(), data.size());
    const size_t n = data.size();
    int64_t x = 0, y = 0;  // y counts rows in storage order (bottom row first)
    auto put = [&](uint8_t index) {
        if (x < d.width && y < d.height) SetIndex(picture, d.h.bitsPerPixel, int(x), d.PictureRow(y), index);
        ++x;
    };
    size_t pos = 0;
    while (pos + 2 <= n && y < d.height) {
        uint8_t count = data[pos], value = data[pos + 1];
        pos += 2;
        if (count > 0) {
            for (int k = 0; k < count; ++k) put(four ? ((k & 1) ? value & 0x0F : value >> 4) : value);
        } else if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of picture
            break;
        } else if (value == 2) {  // jump right and up
            if (pos + 2 > n) break;
            x += data[pos];
            y += data[pos + 1];
            pos += 2;
        } else {  // a literal run of `value` pixels, padded to an even length
            size_t bytes = four ? (size_t(value) + 1) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t(1);
            if (pos + bytes > n) break;
            for (int k = 0; k < value; ++k) {
                uint8_t b = data[pos + (four ? k / 2 : k)];
                put(four ? ((k & 1) ? b & 0x0F : b >> 4) : b);
            }
            pos += std::min(padded, n - pos);
        }
    }
}

std::optional<Picture> Load(const std::string& path) {
    CheckedFile file;
    if (!CheckedFile::TryOpen(path, CheckedFile::Mode::Read, file)) return std::nullopt;
    const uint64_t fileSize = file.Size();
    BmpHeader h;
    if (!ReadHeaders(file, fileSize, h)) return std::nullopt;

    Decoder d(file, fileSize, h);
    const uint32_t c = h.compression;
    const int bpp = h.bitsPerPixel;

    // Depth and compression must go together.
    switch (bpp) {
        case 1:
        case 24:
            if (c != kBiRgb) return std::nullopt;
            break;
        case 4:
            if (c != kBiRgb && c != kBiRle4) return std::nullopt;
            break;
        case 8:
            if (c != kBiRgb && c != kBiRle8) return std::nullopt;
            break;
        case 16:
        case 32:
            if (c != kBiRgb && c != kBiBitfields && c != kBiAlphaBitfields) return std::nullopt;
            // OS/2 2.x numbers its own compressions differently from 3 on.
            if (h.headerSize == 64 && c != kBiRgb) return std::nullopt;
            break;
        default:
            return std::nullopt;
    }
    const bool rle = c == kBiRle8 || c == kBiRle4;

    // Sizes: a positive width, a non-zero height; run-length data is always
    // stored bottom-up.
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN) return std::nullopt;
    if (rle && h.height < 0) return std::nullopt;
    d.width = h.width;
    d.topDown = h.height < 0;
    d.height = d.topDown ? -h.height : h.height;
    d.fileStride = Picture::StrideFor(d.width, bpp);

    uint64_t tableStart = kFileHeaderSize + h.headerSize;
    if (bpp >= 16 && !ReadMasks(d, tableStart)) return std::nullopt;
    if (bpp <= 8 && !h.os2 && h.colorsUsed > (uint32_t(1) << bpp)) return std::nullopt;
    // Some writers give the end of the header as the data offset of a
    // palettised file; the pixel data then follows the colour table.
    d.dataOffset = h.dataOffset;
    if (bpp <= 8 && !h.os2 && d.dataOffset == tableStart) d.dataOffset += 4 * ColourCount(h, tableStart);
    if (d.dataOffset < kFileHeaderSize + h.headerSize || d.dataOffset >= fileSize) return std::nullopt;
    const uint64_t available = fileSize - d.dataOffset;

    const int pictureBpp = bpp <= 8 ? bpp : 24;
    const uint64_t pictureBytes = uint64_t(Picture::StrideFor(d.width, pictureBpp)) * uint64_t(d.height);
    if (rle) {
        if (pictureBytes > available * kMaxRleExpansion + kRleFloorBytes) return std::nullopt;
    } else {
        // Every pixel must be in the file; only the last row's padding may
        // be missing.
        uint64_t lastRow = (uint64_t(d.width) * uint64_t(bpp) + 7) / 8;
        if (d.fileStride * uint64_t(d.height - 1) + lastRow > available) return std::nullopt;
    }

    Picture picture(d.width, d.height, pictureBpp);
    if (bpp <= 8) ReadColourTable(d, tableStart, picture.Colors());
    if (rle) {
        DecodeRle(d, picture);
    } else if (bpp == 16 || bpp == 32) {
        ReadRowsMasked(d, picture);
    } else {
        ReadRowsDirect(d, picture);
    }
    return picture;
}

std::optional<WholeImage> LoadWhole(const std::string& path) {
    std::optional<Picture> picture = LoadBmpBitmap(path);
    if (!picture) return std::nullopt;
    return WholeImage{std::move(*picture), false};
}

const SourceFormat kBmpRows[] = {{".bmp", LoadWhole, nullptr, GetBmpInfo}};

}  // namespace

std::optional<Picture> LoadBmpBitmap(const std::string& path) {
    try {
        return Load(path);
    } catch (const IoError&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

SourceImageInfo GetBmpInfo(const std::string& path) {
    SourceImageInfo info;
    try {
        CheckedFile file;
        if (!CheckedFile::TryOpen(path, CheckedFile::Mode::Read, file)) return info;
        BmpHeader h;
        if (!ReadHeaders(file, file.Size(), h)) return info;
        info.width = h.width;
        info.height = h.height;
        if (h.bitsPerPixel == 24) info.bytesPerPixel = 3;
    } catch (const IoError&) {
        // The values set so far stay.
    }
    return info;
}

std::span<const SourceFormat> BmpFormats() {
    return kBmpRows;
}

}  // namespace tessary
