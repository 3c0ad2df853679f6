#include "sources/bmp_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/errors.h"
#include "common/expansion_limit.h"
#include "common/file.h"
#include "common/le.h"
#include "common/over_white.h"
#include "common/text.h"
#include "sources/source_error.h"
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

struct BmpHeader {
    uint32_t dataOffset = 0;
    uint32_t headerSize = 0;
    bool os2 = false;  // 12-byte header, 3-byte colour entries
    int32_t width = 0;
    int32_t height = 0;  // as stored: negative for top-down files
    uint16_t bitsPerPixel = 0;
    uint32_t compression = kBiRgb;
    uint32_t coloursUsed = 0;
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
    h.coloursUsed = ReadU32LE(h.raw + 32);
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
    Channel alpha;  // 16- and 32-bit pixels whose header gives an alpha mask; else none

    // A 16- or 32-bit row as blue, green, red, alpha composed over white.
    void ConvertMaskedRow(const uint8_t* in, uint8_t* out) const {
        const int bytesPerPixel = h.bitsPerPixel / 8;
        for (int x = 0; x < width; ++x, in += bytesPerPixel, out += 3) {
            const uint32_t pixel = bytesPerPixel == 2 ? ReadU16LE(in) : ReadU32LE(in);
            out[0] = blue.Scale(pixel);
            out[1] = green.Scale(pixel);
            out[2] = red.Scale(pixel);
            if (alpha.mask == 0) continue;
            const uint8_t a = alpha.Scale(pixel);
            for (int c = 0; c < 3; ++c) out[c] = OverWhite(out[c], a);
        }
    }

    // The picture row that the file's row `i` (in storage order) becomes.
    int PictureRow(int64_t i) const { return topDown ? int(i) : height - 1 - int(i); }
};

// The colour masks, and the alpha mask of 16- and 32-bit pixels where the header
// gives one: in the header from the 56-byte kind on, or as the fourth mask
// after a 40-byte header with alpha bitfields. Only bitfield files carry
// masks; an alpha mask that is not contiguous, or that shares bits with a
// colour, is ignored, as the fourth byte of other 32-bit files is.
bool ReadMasks(Decoder& d, uint64_t& tableStart) {
    const BmpHeader& h = d.h;
    uint32_t masks[4] = {0, 0, 0, 0};
    if (h.compression == kBiRgb) {
        if (h.bitsPerPixel == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
        }
    } else if (h.headerSize >= 52) {
        // V4, V5 and the 52/56-byte headers carry the masks themselves.
        for (int c = 0; c < 3; ++c) masks[c] = ReadU32LE(h.raw + 40 + 4 * c);
        if (h.headerSize >= 56) masks[3] = ReadU32LE(h.raw + 52);
    } else if (h.headerSize == 40) {
        // A 40-byte header is followed by three (or, with alpha, four) masks.
        uint64_t count = h.compression == kBiAlphaBitfields ? 4 : 3;
        uint8_t bytes[16];
        if (tableStart + 4 * count > d.fileSize) return false;
        d.file.Seek(tableStart);
        d.file.ReadExact(bytes, 4 * count);
        for (int c = 0; c < 3; ++c) masks[c] = ReadU32LE(bytes + 4 * c);
        if (count == 4) masks[3] = ReadU32LE(bytes + 12);
        tableStart += 4 * count;
    } else {
        return false;
    }
    if (h.bitsPerPixel == 16)
        for (uint32_t& m : masks)
            if (m > 0xFFFF) return false;
    if (masks[0] == 0 && masks[1] == 0 && masks[2] == 0) return false;
    if (!d.red.Set(masks[0]) || !d.green.Set(masks[1]) || !d.blue.Set(masks[2])) return false;
    const bool alphaUsable =
        (h.bitsPerPixel == 16 || h.bitsPerPixel == 32) && (masks[3] & (masks[0] | masks[1] | masks[2])) == 0;
    if (!alphaUsable || !d.alpha.Set(masks[3])) d.alpha = Channel{};
    return true;
}

// The number of colour table entries the header announces.
uint64_t ColourCount(const BmpHeader& h, uint64_t tableStart) {
    uint64_t maxEntries = uint64_t(1) << h.bitsPerPixel;
    if (!h.os2) return h.coloursUsed == 0 ? maxEntries : h.coloursUsed;
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

// Whether any pixel of a 16- or 32-bit file with an alpha mask has alpha. A file
// whose alpha bits are zero everywhere is taken as opaque: its writer gave
// the mask and filled nothing in, and a picture wholly transparent would be
// blank paper. Reads up to the first pixel with alpha.
bool AnyAlpha(Decoder& d) {
    d.file.Seek(d.dataOffset);
    std::vector<uint8_t> buffer(size_t(d.fileStride));
    for (int64_t i = 0; i < d.height; ++i) {
        std::fill(buffer.begin(), buffer.end(), uint8_t(0));
        d.file.ReadSome(buffer.data(), buffer.size());
        const uint8_t* pixel = buffer.data();
        const size_t bytesPerPixel = d.h.bitsPerPixel / 8;
        for (int x = 0; x < d.width; ++x, pixel += bytesPerPixel)
            if ((bytesPerPixel == 2 ? ReadU16LE(pixel) : ReadU32LE(pixel)) & d.alpha.mask) return true;
    }
    return false;
}

// 16- and 32-bit rows become blue, green, red, alpha composed over white.
void ReadRowsMasked(Decoder& d, Picture& picture) {
    d.file.Seek(d.dataOffset);
    std::vector<uint8_t> buffer(size_t(d.fileStride));
    for (int64_t i = 0; i < d.height; ++i) {
        std::fill(buffer.begin(), buffer.end(), uint8_t(0));
        d.file.ReadSome(buffer.data(), buffer.size());
        d.ConvertMaskedRow(buffer.data(), picture.Row(d.PictureRow(i)));
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

[[noreturn]] void Refuse(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceNotLoadable, detail);
}

// An open bitmap whose headers passed every check: what the whole loader and
// the row reader share.
struct BmpSource {
    CheckedFile file;
    BmpHeader h;
    std::unique_ptr<Decoder> d;
    bool rle = false;
    int pictureBpp = 0;  // 1, 4, 8 or 24
    Palette palette{};   // for 1, 4 and 8 bits
};

// Opens the file and checks its headers; refuses with the reason.
std::unique_ptr<BmpSource> Prepare(const std::string& path) {
    auto src = std::make_unique<BmpSource>();
    if (!CheckedFile::TryOpen(path, CheckedFile::Mode::Read, src->file)) Refuse("the file cannot be opened");
    CheckedFile& file = src->file;
    const uint64_t fileSize = file.Size();
    BmpHeader& h = src->h;
    if (fileSize < kFileHeaderSize + 4) Refuse("file ends inside the file header");
    uint8_t signature[2];
    file.ReadExact(signature, 2);
    if (signature[0] != 'B' || signature[1] != 'M') Refuse("not a bitmap: the file does not start with \"BM\"");
    file.Seek(0);
    if (!ReadHeaders(file, fileSize, h)) {
        if (!KnownHeaderSize(h.headerSize))
            Refuse("information header of " + FormatThousands(h.headerSize) + " bytes is of no known kind");
        Refuse("file ends inside the information header");
    }

    src->d = std::make_unique<Decoder>(file, fileSize, h);
    Decoder& d = *src->d;
    const uint32_t c = h.compression;
    const int bpp = h.bitsPerPixel;

    // Depth and compression must go together.
    bool known = true;
    switch (bpp) {
        case 1:
        case 24: known = c == kBiRgb; break;
        case 4: known = c == kBiRgb || c == kBiRle4; break;
        case 8: known = c == kBiRgb || c == kBiRle8; break;
        case 16:
        case 32:
            known = c == kBiRgb || c == kBiBitfields || c == kBiAlphaBitfields;
            // OS/2 2.x numbers its own compressions differently from 3 on.
            if (h.headerSize == 64 && c != kBiRgb) known = false;
            break;
        default: known = false;
    }
    if (!known)
        Refuse(std::to_string(bpp) + " bits per pixel with compression " + std::to_string(c) +
               " is not supported");
    src->rle = c == kBiRle8 || c == kBiRle4;

    // Sizes: a positive width, a non-zero height; run-length data is always
    // stored bottom-up.
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN)
        Refuse("size " + std::to_string(h.width) + " x " + std::to_string(h.height) + " is not usable");
    if (src->rle && h.height < 0) Refuse("run-length data stored top-down");
    d.width = h.width;
    d.topDown = h.height < 0;
    d.height = d.topDown ? -h.height : h.height;
    d.fileStride = Picture::StrideFor(d.width, bpp);

    uint64_t tableStart = kFileHeaderSize + h.headerSize;
    if (bpp >= 16 && !ReadMasks(d, tableStart)) Refuse("colour masks are not usable");
    if (bpp <= 8 && !h.os2 && h.coloursUsed > (uint32_t(1) << bpp))
        Refuse("colour table of " + FormatThousands(h.coloursUsed) + " entries for " + std::to_string(bpp) +
               "-bit pixels");
    // Some writers give the end of the header as the data offset of a
    // palettised file; the pixel data then follows the colour table.
    d.dataOffset = h.dataOffset;
    if (bpp <= 8 && !h.os2 && d.dataOffset == tableStart) d.dataOffset += 4 * ColourCount(h, tableStart);
    if (d.dataOffset < kFileHeaderSize + h.headerSize || d.dataOffset >= fileSize)
        Refuse("pixel data offset " + FormatThousands(int64_t(d.dataOffset)) + " lies outside the file");
    const uint64_t available = fileSize - d.dataOffset;

    src->pictureBpp = bpp <= 8 ? bpp : 24;
    const uint64_t pictureBytes = uint64_t(Picture::StrideFor(d.width, src->pictureBpp)) * uint64_t(d.height);
    if (src->rle) {
        if (!kRleExpansion.Allows(available, pictureBytes))
            Refuse("run-length data far too short for " + FormatThousands(d.width) + " x " +
                   FormatThousands(d.height) + " pixels");
    } else {
        // Every pixel must be in the file; only the last row's padding may
        // be missing.
        uint64_t lastRow = (uint64_t(d.width) * uint64_t(bpp) + 7) / 8;
        if (d.fileStride * uint64_t(d.height - 1) + lastRow > available) {
            const int64_t stored = int64_t(available / d.fileStride);  // complete rows, storage order
            Refuse("file ends inside row " + FormatThousands(int64_t(d.PictureRow(stored)) + 1) + " of " +
                   FormatThousands(d.height));
        }
    }
    if (bpp <= 8) ReadColourTable(d, tableStart, src->palette);
    if (d.alpha.mask != 0 && !AnyAlpha(d)) d.alpha = Channel{};
    return src;
}

Picture LoadPrepared(BmpSource& src) {
    Decoder& d = *src.d;
    Picture picture(d.width, d.height, src.pictureBpp);
    picture.Colours() = src.palette;
    if (src.rle) {
        DecodeRle(d, picture);
    } else if (src.pictureBpp == 24 && src.h.bitsPerPixel != 24) {
        ReadRowsMasked(d, picture);
    } else {
        ReadRowsDirect(d, picture);
    }
    return picture;
}

// A window over the run-length data, read from the file as the decoder
// moves through it. Rows are asked for top row first, which is backwards
// through bottom-up data, so a window moved back ends where it is needed and
// keeps the data before it.
class RleWindow {
public:
    RleWindow(CheckedFile& file, uint64_t start, uint64_t size) : file_(file), start_(start), size_(size) {}
    uint64_t Size() const { return size_; }
    // The bytes from `pos` on (at least min(len, Size() - pos) of them).
    const uint8_t* At(uint64_t pos, size_t len) {
        const uint64_t end = std::min<uint64_t>(pos + len, size_);
        if (pos < from_ || end > from_ + bytes_.size()) {
            uint64_t from = pos;
            if (pos < from_ && end > kWindow) from = std::max<uint64_t>(end - kWindow, 0);
            if (pos < from_ && end <= kWindow) from = 0;
            const uint64_t count = std::min<uint64_t>(kWindow, size_ - from);
            bytes_.resize(size_t(count));
            file_.Seek(start_ + from);
            file_.ReadExact(bytes_.data(), bytes_.size());
            from_ = from;
        }
        return bytes_.data() + (pos - from_);
    }

private:
    static constexpr uint64_t kWindow = 64 * 1024;
    CheckedFile& file_;
    uint64_t start_;
    uint64_t size_;
    uint64_t from_ = 0;
    std::vector<uint8_t> bytes_;
};

// Where the run-length data of a stored row starts: the position of the
// first command in that row and the column the decoder is at.
struct RleRowStart {
    int32_t row = 0;  // storage order, bottom row first
    int32_t x = 0;    // clipped to the width: further right puts nothing
    uint64_t pos = 0;
};

// Runs the run-length commands from `start` while they stay in its row,
// putting the row's pixels through `put(x, index)`. Gives the row the
// commands went on to and their position there, or a row past the picture
// when the data ends. This is DecodeRle's loop, one row at a time.
template <class Put>
RleRowStart DecodeRleRow(RleWindow& data, const Decoder& d, bool four, RleRowStart start, Put&& put) {
    const uint64_t n = data.Size();
    int64_t x = start.x, y = start.row;
    uint64_t pos = start.pos;
    auto emit = [&](uint8_t index) {
        if (x < d.width) put(int(x), index);
        ++x;
    };
    const int64_t row = start.row;
    while (pos + 2 <= n && y == row) {
        const uint8_t* c = data.At(pos, 2);
        uint8_t count = c[0], value = c[1];
        pos += 2;
        if (count > 0) {
            for (int k = 0; k < count; ++k) emit(four ? ((k & 1) ? value & 0x0F : value >> 4) : value);
        } else if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of picture
            y = d.height;
        } else if (value == 2) {  // jump right and up
            if (pos + 2 > n) break;
            const uint8_t* j = data.At(pos, 2);
            x += j[0];
            y += j[1];
            pos += 2;
        } else {  // a literal run of `value` pixels, padded to an even length
            size_t bytes = four ? (size_t(value) + 1) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t(1);
            if (pos + bytes > n) break;
            const uint8_t* b = data.At(pos, bytes);
            for (int k = 0; k < value; ++k) {
                uint8_t v = b[four ? k / 2 : k];
                emit(four ? ((k & 1) ? v & 0x0F : v >> 4) : v);
            }
            pos += std::min<uint64_t>(padded, n - pos);
        }
    }
    if (y == row) y = d.height;  // the data ended inside this row
    RleRowStart next;
    next.row = int32_t(std::min<int64_t>(y, d.height));
    next.x = int32_t(std::min<int64_t>(x, d.width));
    next.pos = pos;
    return next;
}

// Rows of a bitmap read from the file as they are asked for: uncompressed
// rows by seeking to them, run-length rows by decoding from where their
// commands start (found by one pass over the data at open). One row is held.
class BmpRows : public SourceRowReader {
public:
    explicit BmpRows(std::unique_ptr<BmpSource> src) : src_(std::move(src)), d_(*src_->d) {
        buffer_.resize(size_t(d_.fileStride));
        if (src_->rle) IndexRle();
    }

    int Width() const override { return d_.width; }
    int Height() const override { return d_.height; }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = src_->pictureBpp == 24 ? 3 : 1;
        palette = src_->pictureBpp == 24 ? Palette{} : src_->palette;
    }

    void ReadRow(int row, uint8_t* out) override {
        if (row < 0 || row >= d_.height) return;
        const int stored = d_.topDown ? row : d_.height - 1 - row;
        if (src_->rle) {
            ReadRleRow(stored, out);
            return;
        }
        std::fill(buffer_.begin(), buffer_.end(), uint8_t(0));
        src_->file.Seek(d_.dataOffset + uint64_t(stored) * d_.fileStride);
        // The last row may lack its padding; the size check made sure the
        // pixels themselves are there.
        src_->file.ReadSome(buffer_.data(), buffer_.size());
        const uint8_t* in = buffer_.data();
        const int width = d_.width;
        switch (src_->h.bitsPerPixel) {
            case 1:
                for (int x = 0; x < width; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
                break;
            case 4:
                for (int x = 0; x < width; ++x) out[x] = (x & 1) ? (in[x >> 1] & 0x0F) : (in[x >> 1] >> 4);
                break;
            case 8: std::memcpy(out, in, size_t(width)); break;
            case 24: std::memcpy(out, in, size_t(width) * 3); break;
            default: d_.ConvertMaskedRow(in, out);
        }
    }

    // Drawn as a picture held whole is drawn (see DrawSourcePreview).
    bool PreviewLikeWhole() const override { return true; }

private:
    // Notes where each stored row's commands start. Rows that no command
    // reaches (jumped over, or after the end) are not noted and are index 0.
    void IndexRle() {
        rle_ = std::make_unique<RleWindow>(src_->file, d_.dataOffset, d_.fileSize - d_.dataOffset);
        const bool four = d_.h.bitsPerPixel == 4;
        RleRowStart at;
        while (at.row < d_.height) {
            starts_.push_back(at);
            at = DecodeRleRow(*rle_, d_, four, at, [](int, uint8_t) {});
        }
    }

    void ReadRleRow(int stored, uint8_t* out) {
        std::memset(out, 0, size_t(d_.width));
        auto it = std::lower_bound(starts_.begin(), starts_.end(), stored,
                                   [](const RleRowStart& s, int row) { return s.row < row; });
        if (it == starts_.end() || it->row != stored) return;
        DecodeRleRow(*rle_, d_, d_.h.bitsPerPixel == 4, *it, [out](int x, uint8_t index) { out[x] = index; });
    }

    std::unique_ptr<BmpSource> src_;
    Decoder& d_;
    std::vector<uint8_t> buffer_;
    std::unique_ptr<RleWindow> rle_;
    std::vector<RleRowStart> starts_;  // ascending rows
};

std::unique_ptr<SourceRowReader> OpenBmpRows(const std::string& path) {
    try {
        return std::make_unique<BmpRows>(Prepare(path));
    } catch (const IoError& e) {
        Refuse(e.what());
    }
}

const SourceFormat kBmpRows[] = {{".bmp", nullptr, OpenBmpRows, GetBmpInfo}};

}  // namespace

std::optional<Picture> LoadBmpBitmap(const std::string& path) {
    try {
        std::unique_ptr<BmpSource> src = Prepare(path);
        return LoadPrepared(*src);
    } catch (const SourceError&) {
        return std::nullopt;
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
