#include "support/damaged_source.h"

#include <utility>

#include "sources/source_error.h"

namespace tessary::test {

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

}  // namespace tessary::test
