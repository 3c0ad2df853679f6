#include "sources/mrsid_reader.h"

#include <cstring>
#include <mutex>
#include <new>

#include "common/text.h"
#include "sources/gdal_abi.h"
#include "sources/lazy_library.h"
#include "sources/source_notes.h"
#include "sources/whole_image_limit.h"

namespace tessary {

namespace {

// The library and its five exports, loaded by LazyLibrary. Open readers
// hold the library alive.
//
// The library keeps one open image and its strip and close calls name no
// file, so it also records which reader's image is the open one: a reader
// whose image was replaced by a later open opens its own file again before
// reading, instead of reading rows of the other file.
struct MrSidLibrary {
    LibraryModule module;
    MrSidOpenFn open = nullptr;
    MrSidGetInfoFn getInfo = nullptr;
    MrSidLoadStripFn loadStrip = nullptr;
    MrSidLoadImageFn loadImage = nullptr;
    MrSidCloseFn close = nullptr;
    MrSidLastErrorFn lastError = nullptr;  // optional

    std::mutex openImageMutex;
    const void* openImageOwner = nullptr;

    bool Bind() {
        const bool complete = module.Find(open, MRSID_OPEN) && module.Find(getInfo, MRSID_GET_INFO) &&
                              module.Find(loadStrip, MRSID_LOAD_STRIP) &&
                              module.Find(loadImage, MRSID_LOAD_IMAGE) && module.Find(close, MRSID_CLOSE) &&
                              module.Usable(GDAL_UNAVAILABLE);
        if (complete) module.Find(lastError, MRSID_LAST_ERROR);
        return complete;
    }
};

// Why the library's last call failed, or `fallback` when it cannot tell.
std::string LibraryReason(const MrSidLibrary& library, const char* fallback) {
    const char* text = library.lastError ? library.lastError() : nullptr;
    return text && *text ? std::string(text) : std::string(fallback);
}

[[noreturn]] void Refuse(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceUnusable, detail);
}

std::shared_ptr<MrSidLibrary> TheMrSidLibrary() {
    static LazyLibrary<MrSidLibrary> library(MrSidLibraryFileName());
    return library.Get();
}

// A bitmap handed over by the library, released on every path out.
struct BitmapRelease {
    void operator()(MrSidBitmap* bitmap) const {
        if (bitmap && bitmap->release) bitmap->release(bitmap);
    }
};
using OwnedBitmap = std::unique_ptr<MrSidBitmap, BitmapRelease>;

class MrSidRowReader : public SourceRowReader {
public:
    MrSidRowReader(std::shared_ptr<MrSidLibrary> library, std::string path, int width, int height)
        : library_(std::move(library)), path_(std::move(path)), width_(width), height_(height) {
        library_->openImageOwner = this;
    }

    ~MrSidRowReader() override {
        std::lock_guard lock(library_->openImageMutex);
        if (library_->openImageOwner == this) {
            library_->close();
            library_->openImageOwner = nullptr;
        }
    }

    int Width() const override { return width_; }
    int Height() const override { return height_; }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 3;
        palette = Palette{};
    }

    // One single-row strip at a time. A strip that does not come back is a
    // damaged row, and the buffer is left untouched.
    void ReadRow(int row, uint8_t* buffer) override {
        if (row < 0 || row >= height_) return;
        std::lock_guard lock(library_->openImageMutex);
        if (library_->openImageOwner != this) {
            int32_t width = 0, height = 0;
            if (library_->open(path_.c_str(), &width, &height) == 0) {
                library_->openImageOwner = nullptr;
                ThrowDamaged(RowName(row) + ": " +
                             LibraryReason(*library_, "the MrSID library cannot open the file again"));
            }
            library_->openImageOwner = this;
            if (width != width_ || height != height_)
                ThrowDamaged(RowName(row) + ": the file changed size while it was read");
        }
        OwnedBitmap strip(library_->loadStrip(0, row, width_, 1, 0));
        if (!strip)
            ThrowDamaged(RowName(row) + ": " + LibraryReason(*library_, "the MrSID library cannot decode it"));
        if (!strip->bits || strip->bitsPerPixel != 24 || strip->width < width_ || strip->height < 1)
            ThrowDamaged(RowName(row) + ": the MrSID library gives no 24-bit row of " + FormatThousands(width_) +
                         " pixels");
        std::memcpy(buffer, strip->bits, size_t(width_) * 3);
    }

    Picture LoadPreview(int factor) override {
        (void)factor;  // the preview is always the reduced level
        return LoadMrSidPreview(path_, kMrSidPreviewLevel);
    }

private:
    std::string RowName(int row) const {
        return "row " + FormatThousands(int64_t(row) + 1) + " of " + FormatThousands(height_);
    }

    std::shared_ptr<MrSidLibrary> library_;
    std::string path_;
    int width_;
    int height_;
};

std::optional<WholeImage> LoadMrSidWholeImage(const std::string& path) {
    return LoadMrSidBitmap(path, 0);
}

const SourceFormat kMrSidFormats[] = {
    {".sid", &LoadMrSidWholeImage, &OpenMrSid, &GetMrSidInfo},
};

// The bitmap of the whole image at a level, or null. Nothing is asked of the
// library when the picture (the library's and this reader's copy of it)
// would exceed the whole-image limit.
OwnedBitmap LoadWholeBitmap(MrSidLibrary& library, const std::string& path, int level) {
    if (level < 0 || level > 30) return nullptr;
    int32_t width = 0, height = 0;
    if (library.getInfo(path.c_str(), &width, &height) != 0 || width <= 0 || height <= 0) return nullptr;
    // Each side of a level, rounded up: never less than the library gives.
    int64_t levelWidth = (int64_t(width) + (int64_t(1) << level) - 1) >> level;
    int64_t levelHeight = (int64_t(height) + (int64_t(1) << level) - 1) >> level;
    if (!FitsWholeImageLimit(levelWidth, levelHeight, 24, 2)) return nullptr;
    return OwnedBitmap(library.loadImage(path.c_str(), level));
}

}  // namespace

std::string_view MrSidLibraryFileName() {
#if defined(_WIN32)
    return "tessary_mrsid.dll";
#elif defined(__APPLE__)
    return "libtessary_mrsid.dylib";
#else
    return "libtessary_mrsid.so";
#endif
}

Picture CopyMrSidBitmap(const MrSidBitmap& bitmap, bool reverseRows) {
    if (!bitmap.bits || bitmap.bitsPerPixel != 24 || bitmap.width <= 0 || bitmap.height <= 0)
        return Picture();
    size_t rowBytes = size_t(bitmap.width) * 3;
    if (bitmap.rowBytes < 0 || size_t(bitmap.rowBytes) < rowBytes) return Picture();
    size_t stride = (size_t(bitmap.rowBytes) + 3) / 4 * 4;
    Picture picture;
    try {
        picture = Picture(bitmap.width, bitmap.height, 24);
    } catch (const std::bad_alloc&) {
        return Picture();
    }
    for (int y = 0; y < bitmap.height; ++y) {
        int from = reverseRows ? bitmap.height - 1 - y : y;
        std::memcpy(picture.Row(y), bitmap.bits + size_t(from) * stride, rowBytes);
    }
    return picture;
}

std::optional<WholeImage> LoadMrSidBitmap(const std::string& path, int level) {
    auto library = TheMrSidLibrary();
    if (!library) {
        NoteForUser(kMrSidLibraryMissingMessage);
        return std::nullopt;
    }
    OwnedBitmap bitmap = LoadWholeBitmap(*library, path, level);
    if (!bitmap) return std::nullopt;
    // Rows stay in the order the library stores them; a bitmap stored bottom
    // row first is read through FlipRows.
    Picture picture = CopyMrSidBitmap(*bitmap, false);
    if (picture.Empty()) return std::nullopt;
    return WholeImage{std::move(picture), bitmap->bottomUp != 0};
}

Picture LoadMrSidPreview(const std::string& path, int level) {
    auto library = TheMrSidLibrary();
    if (!library) {
        NoteForUser(kMrSidLibraryMissingMessage);
        return Picture();
    }
    OwnedBitmap bitmap = LoadWholeBitmap(*library, path, level);
    if (!bitmap) return Picture();
    return CopyMrSidBitmap(*bitmap, bitmap->bottomUp != 0);
}

std::unique_ptr<SourceRowReader> OpenMrSid(const std::string& path) {
    auto library = TheMrSidLibrary();
    // The whole-image attempt before this has told the user.
    if (!library)
        Refuse(UnusableLibraryDetail("the MrSID decoding library", MrSidLibraryFileName(), GDAL_UNAVAILABLE));
    std::lock_guard lock(library->openImageMutex);
    int32_t width = 0, height = 0;
    uint32_t handle = library->open(path.c_str(), &width, &height);
    if (handle == 0) {
        library->openImageOwner = nullptr;
        Refuse(LibraryReason(*library, "the MrSID library cannot open the file"));
    }
    if (width <= 0 || height <= 0 || width > INT32_MAX / 3) {
        library->close();
        library->openImageOwner = nullptr;
        Refuse("the MrSID library gives a size of " + FormatThousands(width) + " x " + FormatThousands(height) +
               " pixels, which cannot be read");
    }
    return std::make_unique<MrSidRowReader>(library, path, width, height);
}

SourceImageInfo GetMrSidInfo(const std::string& path) {
    SourceImageInfo result{0, 0, 3};
    auto library = TheMrSidLibrary();
    if (!library) return result;
    // A file the library cannot open is an error in the list, not an image
    // of 0 x 0 pixels.
    int32_t width = 0, height = 0;
    if (library->getInfo(path.c_str(), &width, &height) != 0)
        Refuse(LibraryReason(*library, "the MrSID library cannot open the file"));
    if (width > 0 && height > 0) {
        result.width = width;
        result.height = height;
    }
    return result;
}

std::span<const SourceFormat> MrSidFormats() {
    return kMrSidFormats;
}

}  // namespace tessary
