// The one stand-in for a row-access reader that the tests use: rows in
// memory, a drawn pattern, or rows that break, all made by a function.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "common/text.h"
#include "sources/source_image.h"

namespace tessary::test {

class FakeRows : public SourceRowReader {
public:
    // Writes row `row` (0 = top; width x bytes per pixel bytes) into
    // `buffer`, or throws as a reader does for a row it cannot decode.
    using Fill = std::function<void(int row, uint8_t* buffer)>;

    FakeRows(int width, int height, int bytesPerPixel, const Palette& palette, Fill fill)
        : width_(width), height_(height), bytesPerPixel_(bytesPerPixel), palette_(palette), fill_(std::move(fill)) {}
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = bytesPerPixel_;
        palette = palette_;
    }
    void ReadRow(int row, uint8_t* buffer) override { fill_(row, buffer); }

private:
    int width_, height_, bytesPerPixel_;
    Palette palette_;
    Fill fill_;
};

// An open source over a FakeRows reader; `fileName` gives its name and
// extension.
inline SourceHandle FakeRowsSource(const std::string& fileName, int width, int height, int bytesPerPixel,
                                   const Palette& palette, FakeRows::Fill fill) {
    auto handle = std::make_unique<Timagerecord4>();
    handle->FileName = fileName;
    handle->Extension = LowerAscii(ExtensionOf(fileName));
    handle->Width = width;
    handle->Height = height;
    handle->Reader = std::make_unique<FakeRows>(width, height, bytesPerPixel, palette, std::move(fill));
    FillSourceFormat(*handle);
    return handle;
}

}  // namespace tessary::test
