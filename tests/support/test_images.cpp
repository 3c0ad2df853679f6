#include "support/test_images.h"

#include <png.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "common/le.h"

namespace tessary::test_images {

void WriteBmp24(const std::string& path, int width, int height, const PixelColour& colour) {
    const uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
    const uint32_t imageBytes = stride * uint32_t(height);
    std::vector<uint8_t> file(54 + imageBytes, 0);
    file[0] = 'B';
    file[1] = 'M';
    WriteU32LE(&file[2], uint32_t(file.size()));
    WriteU32LE(&file[10], 54);
    WriteU32LE(&file[14], 40);
    WriteU32LE(&file[18], uint32_t(width));
    WriteU32LE(&file[22], uint32_t(height));
    file[26] = 1;
    file[28] = 24;
    WriteU32LE(&file[34], imageBytes);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &file[54 + size_t(height - 1 - y) * stride];
        for (int x = 0; x < width; ++x) {
            const std::array<uint8_t, 3> c = colour(x, y);
            row[size_t(x) * 3] = c[0];
            row[size_t(x) * 3 + 1] = c[1];
            row[size_t(x) * 3 + 2] = c[2];
        }
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                std::streamsize(file.size()));
}

void WritePng24(const std::string& path, int width, int height, const PixelColour& colour) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(out);
        throw std::runtime_error("libpng failed writing " + path);
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::array<uint8_t, 3> c = colour(x, y);
            row[size_t(x) * 3] = c[2];
            row[size_t(x) * 3 + 1] = c[1];
            row[size_t(x) * 3 + 2] = c[0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
}

namespace {

class DamagedRowsReader : public SourceRowReader {
public:
    DamagedRowsReader(int width, int height, PixelColour colour, std::set<int> damaged)
        : width_(width), height_(height), colour_(std::move(colour)), damaged_(std::move(damaged)) {}
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 3;
        palette = Palette{};
    }
    void ReadRow(int row, uint8_t* buffer) override {
        const bool damaged = damaged_.count(row) > 0;
        const int columns = damaged ? width_ / 2 : width_;
        for (int x = 0; x < columns; ++x) {
            const std::array<uint8_t, 3> c = colour_(x, row);
            buffer[size_t(x) * 3] = c[0];
            buffer[size_t(x) * 3 + 1] = c[1];
            buffer[size_t(x) * 3 + 2] = c[2];
        }
        if (damaged) ThrowDamaged("row " + std::to_string(row) + ": inflate failed");
    }

private:
    int width_, height_;
    PixelColour colour_;
    std::set<int> damaged_;
};

}  // namespace

SourceHandle DamagedRowsSource(const std::string& path, int width, int height, const PixelColour& colour,
                               std::set<int> damagedRows) {
    auto handle = std::make_unique<Timagerecord4>();
    handle->FileName = path;
    handle->Extension = ".tif";
    handle->Reader = std::make_unique<DamagedRowsReader>(width, height, colour, std::move(damagedRows));
    handle->Width = width;
    handle->Height = height;
    FillSourceFormat(*handle);
    return handle;
}

}  // namespace tessary::test_images
