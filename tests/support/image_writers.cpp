#include "support/image_writers.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "common/le.h"

namespace tessary::test {

namespace {

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test image writer: " + what);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Check(bool(out), "cannot write " + path);
}

// A row of indices packed at the depth, most significant bits first, padded
// to `stride` bytes.
std::vector<uint8_t> PackRow(const TestImage& image, int y, size_t stride) {
    std::vector<uint8_t> row(stride, 0);
    const int bits = image.bitsPerPixel;
    for (int x = 0; x < image.width; ++x) {
        const uint8_t v = image.Index(x, y);
        if (bits == 8) {
            row[size_t(x)] = v;
        } else {
            const int perByte = 8 / bits;
            const int shift = 8 - bits * (x % perByte + 1);
            row[size_t(x / perByte)] |= uint8_t(v << shift);
        }
    }
    return row;
}

int Colours(const TestImage& image) { return image.bitsPerPixel == 24 ? 0 : 1 << image.bitsPerPixel; }

std::vector<uint8_t> BmpHeaders(const TestImage& image, int32_t height, uint32_t compression, size_t dataSize) {
    const int colours = Colours(image);
    std::vector<uint8_t> f(54 + 4 * size_t(colours), 0);
    f[0] = 'B';
    f[1] = 'M';
    WriteU32LE(&f[2], uint32_t(f.size() + dataSize));
    WriteU32LE(&f[10], uint32_t(f.size()));
    WriteU32LE(&f[14], 40);
    WriteI32LE(&f[18], image.width);
    WriteI32LE(&f[22], height);
    WriteU16LE(&f[26], 1);
    WriteU16LE(&f[28], uint16_t(image.bitsPerPixel));
    WriteU32LE(&f[30], compression);
    WriteU32LE(&f[34], uint32_t(dataSize));
    for (int i = 0; i < colours; ++i) {
        const PaletteEntry& e = image.palette[size_t(i)];
        f[54 + 4 * size_t(i)] = e.blue;
        f[55 + 4 * size_t(i)] = e.green;
        f[56 + 4 * size_t(i)] = e.red;
    }
    return f;
}

}  // namespace

TestImage PalettisedImage(int width, int height, int bitsPerPixel) {
    TestImage image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = bitsPerPixel;
    const int colours = 1 << bitsPerPixel;
    for (int i = 0; i < colours; ++i)
        image.palette[size_t(i)] = {uint8_t(i * 37), uint8_t(i * 91 + 13), uint8_t(i * 53 + 101), 0};
    image.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int v;
            if (y < 3 || (y % 37 >= 10 && y % 37 < 14))
                v = 0;  // bands of whole rows of index 0, the top rows among them
            else if (x % 50 >= 20 && x % 50 < 30)
                v = 0;  // runs of index 0 inside a row
            else if (x % 50 >= 40)
                v = (x * 13 + y * 7) % colours;  // busy: a new index at every pixel
            else
                v = (x / 7 + y * 3) % colours;  // runs of seven
            image.pixels[size_t(y) * size_t(width) + size_t(x)] = uint8_t(v);
        }
    return image;
}

TestImage ColourImage(int width, int height) {
    return DrawnImage(width, height, [](int x, int y) {
        return std::array<uint8_t, 3>{uint8_t(x * 5 + y * 3), uint8_t(x * y / 7), uint8_t((x ^ y) * 3)};
    });
}

TestImage DrawnImage(int width, int height, const PixelColour& colour) {
    TestImage image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 24;
    image.pixels.resize(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::array<uint8_t, 3> c = colour(x, y);
            std::copy(c.begin(), c.end(), &image.pixels[(size_t(y) * size_t(width) + size_t(x)) * 3]);
        }
    return image;
}

TestImage DrawnImage(int width, int height, const Palette& palette, const std::function<uint8_t(int, int)>& index) {
    TestImage image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 8;
    image.palette = palette;
    image.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.pixels[size_t(y) * size_t(width) + size_t(x)] = index(x, y);
    return image;
}

void WriteBmp(const std::string& path, const TestImage& image, BmpRows order) {
    const size_t stride = Picture::StrideFor(image.width, image.bitsPerPixel);
    std::vector<uint8_t> data;
    for (int i = 0; i < image.height; ++i) {
        const int y = order == BmpRows::TopDown ? i : image.height - 1 - i;
        std::vector<uint8_t> row;
        if (image.bitsPerPixel == 24) {
            row.assign(stride, 0);
            std::copy_n(image.Bgr(0, y), size_t(image.width) * 3, row.begin());
        } else {
            row = PackRow(image, y, stride);
        }
        data.insert(data.end(), row.begin(), row.end());
    }
    const int32_t height = order == BmpRows::TopDown ? -image.height : image.height;
    std::vector<uint8_t> f = BmpHeaders(image, height, 0, data.size());
    f.insert(f.end(), data.begin(), data.end());
    WriteBytes(path, f);
}

void WriteBmp32(const std::string& path, const TestImage& image, const std::vector<uint8_t>& alpha, BmpAlpha kind) {
    Check(image.bitsPerPixel == 24 && alpha.size() == size_t(image.width) * size_t(image.height),
          "32-bit files are made of a 24-bit image and its alpha");
    const uint32_t infoSize = kind == BmpAlpha::HeaderMask ? 124 : 40;
    const uint32_t maskBytes = kind == BmpAlpha::AlphaBitfields ? 16 : 0;
    const uint32_t dataOffset = 14 + infoSize + maskBytes;
    const uint32_t dataSize = uint32_t(image.width) * uint32_t(image.height) * 4;
    std::vector<uint8_t> f(dataOffset, 0);
    f[0] = 'B';
    f[1] = 'M';
    WriteU32LE(&f[2], dataOffset + dataSize);
    WriteU32LE(&f[10], dataOffset);
    WriteU32LE(&f[14], infoSize);
    WriteI32LE(&f[18], image.width);
    WriteI32LE(&f[22], image.height);
    WriteU16LE(&f[26], 1);
    WriteU16LE(&f[28], 32);
    WriteU32LE(&f[30], kind == BmpAlpha::Padding ? 0 : kind == BmpAlpha::HeaderMask ? 3 : 6);
    WriteU32LE(&f[34], dataSize);
    if (kind != BmpAlpha::Padding) {
        const uint32_t masks[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        for (size_t c = 0; c < 4; ++c) WriteU32LE(&f[54 + 4 * c], masks[c]);
    }
    for (int i = 0; i < image.height; ++i) {
        const int y = image.height - 1 - i;
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Bgr(x, y);
            f.insert(f.end(), {p[0], p[1], p[2], alpha[size_t(y) * size_t(image.width) + size_t(x)]});
        }
    }
    WriteBytes(path, f);
}

void WriteRleBmp(const std::string& path, const TestImage& image) {
    Check(image.bitsPerPixel == 8 || image.bitsPerPixel == 4, "run-length files are 4- or 8-bit");
    const bool four = image.bitsPerPixel == 4;
    const int w = image.width;
    std::vector<uint8_t> d;
    auto rowIsZero = [&](int y) {
        for (int x = 0; x < w; ++x)
            if (image.Index(x, y) != 0) return false;
        return true;
    };
    // Stored rows run bottom-up.
    int stored = 0;
    while (stored < image.height) {
        int y = image.height - 1 - stored;
        // All remaining rows index 0: end of the picture.
        bool restZero = true;
        for (int s = stored; s < image.height && restZero; ++s) restZero = rowIsZero(image.height - 1 - s);
        if (restZero) break;
        // Whole rows of index 0: a jump up.
        int zeroRows = 0;
        while (stored + zeroRows < image.height && zeroRows < 255 && rowIsZero(y - zeroRows)) ++zeroRows;
        if (zeroRows > 0) {
            d.insert(d.end(), {0, 2, 0, uint8_t(zeroRows)});
            stored += zeroRows;
            continue;
        }
        int x = 0;
        while (x < w) {
            const uint8_t v = image.Index(x, y);
            int zero = 0;
            while (x + zero < w && image.Index(x + zero, y) == 0) ++zero;
            if (x + zero == w) break;  // the rest of the row is index 0
            if (zero >= 4) {
                const int jump = std::min(zero, 255);
                d.insert(d.end(), {0, 2, uint8_t(jump), 0});
                x += jump;
                continue;
            }
            int run = 1;
            while (x + run < w && run < 255 && image.Index(x + run, y) == v) ++run;
            if (run >= 3) {
                d.insert(d.end(), {uint8_t(run), four ? uint8_t(v << 4 | v) : v});
                x += run;
                continue;
            }
            // A literal stretch up to the next run of three.
            int n = 0;
            while (x + n < w && n < 255) {
                const uint8_t a = image.Index(x + n, y);
                if (x + n + 2 < w && image.Index(x + n + 1, y) == a && image.Index(x + n + 2, y) == a) break;
                ++n;
            }
            if (n < 3) {
                for (int k = 0; k < std::max(n, 1); ++k) {
                    const uint8_t a = image.Index(x + k, y);
                    d.insert(d.end(), {1, four ? uint8_t(a << 4) : a});
                }
                x += std::max(n, 1);
                continue;
            }
            d.insert(d.end(), {0, uint8_t(n)});
            const size_t bytes = four ? size_t(n + 1) / 2 : size_t(n);
            for (size_t b = 0; b < bytes; ++b) {
                if (four) {
                    const uint8_t hi = image.Index(x + int(2 * b), y);
                    const uint8_t lo = int(2 * b + 1) < n ? image.Index(x + int(2 * b + 1), y) : 0;
                    d.push_back(uint8_t(hi << 4 | lo));
                } else {
                    d.push_back(image.Index(x + int(b), y));
                }
            }
            if (bytes % 2) d.push_back(0);
            x += n;
        }
        d.insert(d.end(), {0, 0});  // end of line
        ++stored;
    }
    d.insert(d.end(), {0, 1});  // end of picture
    std::vector<uint8_t> f = BmpHeaders(image, image.height, four ? 2 : 1, d.size());
    f.insert(f.end(), d.begin(), d.end());
    WriteBytes(path, f);
}

namespace {

// Writes a PNG of the image's size (and palette, for palette files): `rows`
// as libpng takes them.
void WritePngRows(const std::string& path, const TestImage& image, int bitDepth, int colourType, bool interlaced,
                  std::vector<std::vector<uint8_t>>& rows,
                  const std::function<void(png_structp, png_infop)>& beforeInfo = nullptr) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr, "cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        throw std::runtime_error("test image writer: libpng failed");
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), bitDepth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> entries;
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i < Colours(image); ++i) {
            const PaletteEntry& e = image.palette[size_t(i)];
            entries.push_back({e.red, e.green, e.blue});
        }
        png_set_PLTE(png, info, entries.data(), int(entries.size()));
    }
    if (beforeInfo) beforeInfo(png, info);
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (std::vector<uint8_t>& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// A PNG of the image: palette images at their depth, 24-bit images as RGB;
// `beforeInfo` adds chunks.
void WritePng(const std::string& path, const TestImage& image, bool interlaced,
              const std::function<void(png_structp, png_infop)>& beforeInfo) {
    const bool colour = image.bitsPerPixel == 24;
    std::vector<std::vector<uint8_t>> rows(size_t(image.height));
    for (int y = 0; y < image.height; ++y) {
        if (colour) {
            rows[size_t(y)].resize(size_t(image.width) * 3);
            for (int x = 0; x < image.width; ++x) {
                const uint8_t* p = image.Bgr(x, y);
                rows[size_t(y)][size_t(x) * 3] = p[2];
                rows[size_t(y)][size_t(x) * 3 + 1] = p[1];
                rows[size_t(y)][size_t(x) * 3 + 2] = p[0];
            }
        } else {
            rows[size_t(y)] = PackRow(image, y, (size_t(image.width) * size_t(image.bitsPerPixel) + 7) / 8);
        }
    }
    WritePngRows(path, image, colour ? 8 : image.bitsPerPixel, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE,
                 interlaced, rows, beforeInfo);
}

}  // namespace

void WritePng(const std::string& path, const TestImage& image, bool interlaced) {
    WritePng(path, image, interlaced, nullptr);
}

void WriteTransparentPng(const std::string& path, const TestImage& image, const std::vector<uint8_t>& entryAlpha,
                         const std::array<uint8_t, 3>& key) {
    WritePng(path, image, false, [&](png_structp png, png_infop info) {
        if (image.bitsPerPixel == 24) {
            png_color_16 colour{};
            colour.blue = key[0];
            colour.green = key[1];
            colour.red = key[2];
            png_set_tRNS(png, info, nullptr, 0, &colour);
        } else {
            png_set_tRNS(png, info, entryAlpha.data(), int(entryAlpha.size()), nullptr);
        }
    });
}

void WriteRgbaPng(const std::string& path, const TestImage& image, const std::vector<uint8_t>& alpha) {
    Check(image.bitsPerPixel == 24 && alpha.size() == size_t(image.width) * size_t(image.height),
          "RGBA files are made of a 24-bit image and its alpha");
    std::vector<std::vector<uint8_t>> rows(size_t(image.height));
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Bgr(x, y);
            rows[size_t(y)].insert(rows[size_t(y)].end(),
                                   {p[2], p[1], p[0], alpha[size_t(y) * size_t(image.width) + size_t(x)]});
        }
    WritePngRows(path, image, 8, PNG_COLOR_TYPE_RGB_ALPHA, false, rows);
}

void WriteGif(const std::string& path, const TestImage& image, bool interlaced, int control, bool transparencyFlag) {
    Check(image.bitsPerPixel <= 8, "GIF images are palettised");
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    Check(gif != nullptr, "cannot write " + path);
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = {image.palette[size_t(i)].red, image.palette[size_t(i)].green, image.palette[size_t(i)].blue};
    ColorMapObject* map = GifMakeMapObject(256, colours);
    bool ok = EGifPutScreenDesc(gif, image.width, image.height, 8, 0, map) == GIF_OK;
    if (control >= 0) {
        // Flags (disposal none, the transparency flag), delay 0, the index.
        const GifByteType block[4] = {GifByteType(transparencyFlag ? 1 : 0), 0, 0, GifByteType(control)};
        ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, 0, 0, image.width, image.height, interlaced, nullptr) == GIF_OK;
    std::vector<uint8_t> line(size_t(image.width));
    auto put = [&](int y) {
        for (int x = 0; x < image.width; ++x) line[size_t(x)] = image.Index(x, y);
        ok = ok && EGifPutLine(gif, line.data(), image.width) == GIF_OK;
    };
    if (interlaced) {
        static const int kStart[] = {0, 4, 2, 1};
        static const int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < image.height; y += kStep[pass]) put(y);
    } else {
        for (int y = 0; y < image.height; ++y) put(y);
    }
    ok = EGifCloseFile(gif, &error) == GIF_OK && ok;
    GifFreeMapObject(map);
    Check(ok, "giflib failed");
}

void WriteTiff(const std::string& path, const TestImage& image) {
    Check(image.bitsPerPixel == 8 || image.bitsPerPixel == 24, "TIFF images are 8- or 24-bit");
    const bool rgb = image.bitsPerPixel == 24;
    std::vector<uint16_t> colourMap;
    if (!rgb) {
        colourMap.resize(3 * 256);
        for (size_t i = 0; i < 256; ++i) {
            colourMap[i] = uint16_t(image.palette[i].red * 257);
            colourMap[256 + i] = uint16_t(image.palette[i].green * 257);
            colourMap[512 + i] = uint16_t(image.palette[i].blue * 257);
        }
    }
    std::vector<std::vector<uint8_t>> rows(size_t(image.height));
    for (int y = 0; y < image.height; ++y) {
        std::vector<uint8_t>& row = rows[size_t(y)];
        row.resize(size_t(image.width) * (rgb ? 3 : 1));
        for (int x = 0; x < image.width; ++x) {
            if (rgb) {
                const uint8_t* p = image.Bgr(x, y);
                row[size_t(x) * 3] = p[2];
                row[size_t(x) * 3 + 1] = p[1];
                row[size_t(x) * 3 + 2] = p[0];
            } else {
                row[size_t(x)] = image.Index(x, y);
            }
        }
    }
    const TiffFields fields{image.width, image.height, 8, uint16_t(rgb ? 3 : 1),
                            uint16_t(rgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_PALETTE), COMPRESSION_NONE, 16};
    WriteTiff(path, fields, rows, rgb ? nullptr : &colourMap);
}

void WriteTiff(const std::string& path, const TiffFields& fields, const std::vector<std::vector<uint8_t>>& rows,
               const std::vector<uint16_t>* colourMap, uint16_t sampleFormat) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    Check(tiff != nullptr, "cannot write " + path);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(fields.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(fields.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, fields.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, fields.samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, fields.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, fields.compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, fields.rowsPerStrip);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, sampleFormat);
    if (fields.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    if (colourMap) {
        const size_t n = colourMap->size() / 3;
        TIFFSetField(tiff, TIFFTAG_COLORMAP, colourMap->data(), colourMap->data() + n, colourMap->data() + 2 * n);
    }
    bool ok = rows.size() >= size_t(fields.height);
    for (int y = 0; ok && y < fields.height; ++y) {
        // libtiff may change the row it encodes in place: hand it a copy.
        std::vector<uint8_t> row = rows[size_t(y)];
        ok = TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) == 1;
    }
    TIFFClose(tiff);
    Check(ok, "libtiff failed writing " + path);
}

}  // namespace tessary::test
