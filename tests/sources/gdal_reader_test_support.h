// Shared by the ECW and MrSID reader tests: the GDAL-written rasters of
// tests/data/gdal, GDAL's own decodes of them, and a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
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

// The bytes of an 8-bit TIFF of `samples` samples (3: RGB, else grey) in
// one strip that was never written (offset and byte count 0): GDAL reads it
// as zeros, whatever its size.
inline std::string UnwrittenTiff(uint32_t width, uint32_t height, uint16_t samples) {
    std::string out("II*\0\x08\0\0\0", 8);
    auto put16 = [&out](uint32_t v) { out += char(v & 0xFF), out += char((v >> 8) & 0xFF); };
    auto put32 = [&](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    const uint32_t extraOffset = 8 + 2 + 10 * 12 + 4;  // the three bits-per-sample values
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value, uint32_t count = 1) {
        put16(tag), put16(type), put32(count);
        if (type == 3 && count == 1)
            put16(value), put16(0);
        else
            put32(value);
    };
    put16(10);
    entry(256, 4, width);
    entry(257, 4, height);
    if (samples == 3)
        entry(258, 3, extraOffset, 3);
    else
        entry(258, 3, 8);
    entry(259, 3, 1);                     // no compression
    entry(262, 3, samples == 3 ? 2 : 1);  // RGB or grey
    entry(273, 4, 0);                     // strip offset
    entry(277, 3, samples == 3 ? 3 : 1);
    entry(278, 4, height);  // one strip
    entry(279, 4, 0);       // strip byte count
    entry(284, 3, 1);       // interleaved
    put32(0);
    if (samples == 3) put16(8), put16(8), put16(8);
    return out;
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

// The decoding library's test-only call that adds drivers to its
// allow-lists (GTiff, so that the GDAL-written GeoTIFFs of tests/data/gdal
// stand in for the vendor formats), taken back when the object goes. The
// program never makes this call.
class AllowedForTesting {
public:
    AllowedForTesting(std::string_view libraryFileName, std::initializer_list<const char*> drivers) {
        module_ =
            platform::LoadLibraryFile(std::string(TESSARY_BIN_DIR) + "/" + std::string(libraryFileName));
        if (module_)
            allow_ = reinterpret_cast<void (*)(const char*)>(
                platform::FindSymbol(module_, "TessaryGdalAllowDriverForTesting"));
        if (!allow_) {
            ADD_FAILURE() << libraryFileName << " lacks its test-only allow call";
            return;
        }
        for (const char* driver : drivers) allow_(driver);
    }
    ~AllowedForTesting() {
        if (allow_) allow_(nullptr);
        if (module_) platform::FreeLibraryFile(module_);
    }
    AllowedForTesting(const AllowedForTesting&) = delete;
    AllowedForTesting& operator=(const AllowedForTesting&) = delete;

private:
    void* module_ = nullptr;
    void (*allow_)(const char*) = nullptr;
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
    // Whether the decoding library is built and finds a GDAL to work with
    // (the libraries are built without GDAL and look for it at run time).
    static bool LibraryUsable(std::string_view fileName) {
        const std::string path = std::string(TESSARY_BIN_DIR) + "/" + std::string(fileName);
        if (!std::filesystem::exists(path)) return false;
        void* module = platform::LoadLibraryFile(path);
        auto unavailable =
            module ? reinterpret_cast<const char* (*)()>(platform::FindSymbol(module, "TessaryGdalUnavailable"))
                   : nullptr;
        const bool usable = unavailable && !*unavailable();
        platform::FreeLibraryFile(module);
        return usable;
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
