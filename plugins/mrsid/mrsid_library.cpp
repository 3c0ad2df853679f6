// The MrSID library: the five exports over GDAL. It keeps one open image
// (the strip and close calls name no file), gives whole images at level 0
// or a reduced level (level n: each side divided by 2^n) and single-row
// strips, each as a 24-bit bitmap stored bottom row first with rows padded
// to 4 bytes, as the platform's device-independent bitmaps are. It reads
// MrSID files (and JPEG 2000 through the same vendor's driver) where the
// installed GDAL carries a driver for them, and nothing else GDAL could open.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "gdal_bgr.h"
#include "sources/mrsid_abi.h"

using tessary::gdalplug::BgrDataset;
using tessary::gdalplug::SetLastError;

namespace {

// A bitmap larger than this is refused rather than allocated.
constexpr uint64_t kMaxBitmapBytes = uint64_t(1) << 40;

struct OpenImage {
    std::mutex mutex;
    std::unique_ptr<BgrDataset> dataset;
    uint32_t handle = 0;
    uint32_t lastHandle = 0;
};

const std::vector<std::string>& MrSidDrivers() {
    static const std::vector<std::string> drivers{"MrSID", "JP2MrSID"};
    return drivers;
}

OpenImage& Current() {
    static OpenImage image;
    return image;
}

void ReleaseBitmap(MrSidBitmap* bitmap) {
    if (!bitmap) return;
    std::free(bitmap->bits);
    delete bitmap;
}

MrSidBitmap* NewBitmap(int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    uint64_t stride = (uint64_t(width) * 3 + 3) / 4 * 4;
    if (stride > kMaxBitmapBytes / uint64_t(height)) return nullptr;
    auto* bitmap = new (std::nothrow) MrSidBitmap();
    if (!bitmap) return nullptr;
    bitmap->bits = static_cast<uint8_t*>(std::calloc(size_t(stride * uint64_t(height)), 1));
    if (!bitmap->bits) {
        delete bitmap;
        return nullptr;
    }
    bitmap->width = width;
    bitmap->height = height;
    bitmap->bitsPerPixel = 24;
    bitmap->rowBytes = int32_t(uint64_t(width) * 3 > INT32_MAX ? INT32_MAX : width * 3);
    bitmap->bottomUp = 1;
    bitmap->release = ReleaseBitmap;
    return bitmap;
}

int LevelSize(int size, int level) {
    int reduced = size >> level;
    return reduced < 1 ? 1 : reduced;
}

// The rectangle (left, top, width, height), in coordinates of the level,
// as a bottom-up bitmap.
MrSidBitmap* ReadRectangle(BgrDataset& dataset, int left, int top, int width, int height, int level) {
    if (level < 0 || level > 30) {
        SetLastError("level " + std::to_string(level) + " is out of range");
        return nullptr;
    }
    int levelWidth = LevelSize(dataset.Width(), level);
    int levelHeight = LevelSize(dataset.Height(), level);
    if (left < 0 || top < 0 || width <= 0 || height <= 0 || int64_t(left) + width > levelWidth ||
        int64_t(top) + height > levelHeight) {
        SetLastError("the rectangle asked for lies outside the image");
        return nullptr;
    }
    MrSidBitmap* bitmap = NewBitmap(width, height);
    if (!bitmap) {
        SetLastError("out of memory for a bitmap of " + std::to_string(width) + " x " +
                     std::to_string(height));
        return nullptr;
    }
    size_t stride = (size_t(width) * 3 + 3) / 4 * 4;
    // A rectangle narrower than the level reads whole lines of the level and
    // keeps its part of each.
    bool fullWidth = left == 0 && width == levelWidth;
    std::unique_ptr<uint8_t[]> line;
    if (!fullWidth) line.reset(new (std::nothrow) uint8_t[size_t(levelWidth) * 3]);
    if (!fullWidth && !line) {
        SetLastError("out of memory");
        ReleaseBitmap(bitmap);
        return nullptr;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap->bits + size_t(height - 1 - y) * stride;
        uint8_t* target = fullWidth ? row : line.get();
        if (!dataset.ReadLine(0, 0, dataset.Width(), dataset.Height(), levelWidth, levelHeight, top + y,
                              target)) {
            ReleaseBitmap(bitmap);
            return nullptr;
        }
        if (!fullWidth) std::memcpy(row, line.get() + size_t(left) * 3, size_t(width) * 3);
    }
    return bitmap;
}

}  // namespace

TESSARY_EXPORT uint32_t _OpenMrSid(const char* path, int32_t* width, int32_t* height) {
    OpenImage& image = Current();
    std::lock_guard lock(image.mutex);
    image.dataset.reset();
    image.handle = 0;
    auto dataset = BgrDataset::Open(path, "MrSID", MrSidDrivers());
    if (!dataset) return 0;
    if (width) *width = dataset->Width();
    if (height) *height = dataset->Height();
    image.dataset = std::move(dataset);
    image.handle = ++image.lastHandle;
    if (image.handle == 0) image.handle = ++image.lastHandle;
    return image.handle;
}

TESSARY_EXPORT int32_t _GetMrSidInfo(const char* path, int32_t* width, int32_t* height) {
    auto dataset = BgrDataset::Open(path, "MrSID", MrSidDrivers());
    if (!dataset) return 1;
    if (width) *width = dataset->Width();
    if (height) *height = dataset->Height();
    return 0;
}

TESSARY_EXPORT MrSidBitmap* _LoadMrSidStrip(int32_t left, int32_t top, int32_t width, int32_t height,
                                            int32_t level) {
    OpenImage& image = Current();
    std::lock_guard lock(image.mutex);
    if (!image.dataset) {
        SetLastError("no image is open");
        return nullptr;
    }
    return ReadRectangle(*image.dataset, left, top, width, height, level);
}

TESSARY_EXPORT MrSidBitmap* _LoadMrSidImage(const char* path, int32_t level) {
    auto dataset = BgrDataset::Open(path, "MrSID", MrSidDrivers());
    if (!dataset) return nullptr;
    if (level < 0 || level > 30) {
        SetLastError("level " + std::to_string(level) + " is out of range");
        return nullptr;
    }
    return ReadRectangle(*dataset, 0, 0, LevelSize(dataset->Width(), level),
                         LevelSize(dataset->Height(), level), level);
}

TESSARY_EXPORT const char* TessaryMrSidLastError(void) {
    return tessary::gdalplug::LastError();
}

TESSARY_EXPORT void _CloseMrSid(void) {
    OpenImage& image = Current();
    std::lock_guard lock(image.mutex);
    image.dataset.reset();
    image.handle = 0;
}
