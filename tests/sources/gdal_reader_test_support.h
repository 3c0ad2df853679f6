// Shared by the ECW and MrSID reader tests: the GDAL-written rasters of
// tests/data/gdal, GDAL's own decodes of them, and a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/platform.h"
#include "sources/source_image.h"
#include "sources/whole_image_limit.h"
#include "support/temp_folder.h"

namespace tessary::testing {

// A decoded reference image, converted to blue, green, red rows.
struct BgrImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width x 3 bytes per row, no padding
    const uint8_t* Row(int y) const { return pixels.data() + size_t(y) * size_t(width) * 3; }
    std::vector<uint8_t> RowCopy(int y) const { return {Row(y), Row(y) + size_t(width) * 3}; }
};

// Reads a binary PPM (P6) or PGM (P5) of 8-bit samples as written by GDAL.
inline BgrImage ReadNetpbm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    BgrImage image;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (!in || maxValue != 255 || (magic != "P6" && magic != "P5")) {
        ADD_FAILURE() << "not an 8-bit netpbm file: " << path;
        return {};
    }
    int channels = magic == "P6" ? 3 : 1;
    size_t count = size_t(image.width) * size_t(image.height);
    std::vector<uint8_t> raw(count * size_t(channels));
    in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
    EXPECT_TRUE(in) << path;
    image.pixels.resize(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (channels == 3) {
            image.pixels[i * 3 + 0] = raw[i * 3 + 2];
            image.pixels[i * 3 + 1] = raw[i * 3 + 1];
            image.pixels[i * 3 + 2] = raw[i * 3 + 0];
        } else {
            image.pixels[i * 3 + 0] = image.pixels[i * 3 + 1] = image.pixels[i * 3 + 2] = raw[i];
        }
    }
    return image;
}

inline std::string GdalData(const std::string& name) {
    return std::string(TESSARY_TEST_DATA) + "/gdal/" + name;
}

// The shared temporary folder, with the test rasters copied or written in.
class ScratchFolder : public test::TempFolder {
public:
    ScratchFolder() : test::TempFolder("tessary_gdal") {}
    // Copies a test raster under a new name (such as "rgb.ecw").
    std::string Copy(const std::string& dataName, const std::string& newName) const {
        std::filesystem::copy_file(GdalData(dataName), Path() / newName);
        return File(newName);
    }
};

// Points the program's folder at the build's program folder (where the
// decoding libraries are built) and pins the whole-image limit; both are
// restored at the end.
class GdalReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedFolder_ = platform::ProgramFolder();
        platform::SetProgramFolder(TESSARY_BIN_DIR);
        SetWholeImageLimit(uint64_t(256) << 20);
    }
    void TearDown() override {
        SetWholeImageLimit(std::nullopt);
        platform::SetProgramFolder(savedFolder_);
    }
    static bool LibraryBuilt(std::string_view fileName) {
        return std::filesystem::exists(std::filesystem::path(TESSARY_BIN_DIR) / std::string(fileName));
    }

    // The handle of a source that must open; a test failure and null otherwise.
    static SourceHandle Open(const std::string& path) {
        SourceOpenResult result = OpenSourceImage(path);
        if (auto* error = std::get_if<SourceFailure>(&result)) {
            ADD_FAILURE() << "open failed with outcome " << int(error->kind) << " " << error->detail;
            return nullptr;
        }
        return std::move(std::get<SourceHandle>(result));
    }

    // One 24-bit row, read over a buffer filled with 0xAA.
    static std::vector<uint8_t> ReadRow(Timagerecord4& handle, int y) {
        std::vector<uint8_t> row(size_t(handle.Width) * 3, 0xAA);
        ReadSourceRow(handle, y, row.data());
        return row;
    }

    // Every row of the handle, read bottom row first so that row access
    // must reposition, compared with the reference decode.
    static void ExpectRows(Timagerecord4& handle, const BgrImage& expected) {
        ASSERT_EQ(handle.Width, expected.width);
        ASSERT_EQ(handle.Height, expected.height);
        ASSERT_EQ(handle.BytesPerPixel, 3);
        for (int y = expected.height - 1; y >= 0; --y)
            ASSERT_EQ(ReadRow(handle, y), expected.RowCopy(y)) << "row " << y;
    }

    ScratchFolder scratch_;

private:
    std::string savedFolder_;
};

// Whether the preview pixel at (x, y) of a previewWidth x previewHeight
// reduction of `image` is one of the image pixels that fall on it.
inline bool PreviewPixelFromItsBlock(const BgrImage& image, const uint8_t* pixel, int x, int y,
                                     int previewWidth, int previewHeight) {
    int x0 = int(int64_t(x) * image.width / previewWidth);
    int x1 = std::max(int(int64_t(x + 1) * image.width / previewWidth), x0 + 1);
    int y0 = int(int64_t(y) * image.height / previewHeight);
    int y1 = std::max(int(int64_t(y + 1) * image.height / previewHeight), y0 + 1);
    for (int sy = y0; sy < y1; ++sy)
        for (int sx = x0; sx < x1; ++sx)
            if (std::equal(pixel, pixel + 3, image.Row(sy) + size_t(sx) * 3)) return true;
    return false;
}

}  // namespace tessary::testing
