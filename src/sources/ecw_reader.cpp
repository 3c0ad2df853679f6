#include "sources/ecw_reader.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "common/text.h"
#include "sources/ecw_abi.h"
#include "sources/gdal_abi.h"
#include "sources/heif_items.h"
#include "sources/imagine_spill.h"
#include "sources/lazy_library.h"
#include "sources/source_formats.h"
#include "sources/source_notes.h"
#include "sources/whole_image_limit.h"

namespace tessary {

namespace {

// The library and the seven calls looked up in it, loaded by LazyLibrary.
// Views hold the library alive while they are open.
struct EcwLibrary {
    LibraryModule module;
    EcwOpenFileViewFn openFileView = nullptr;
    EcwGetViewFileInfoFn getViewFileInfo = nullptr;
    EcwSetFileViewFn setFileView = nullptr;
    EcwReadViewLineFn readViewLineBgr = nullptr;
    EcwReadViewLineFn readViewLineRgb = nullptr;
    EcwCloseFileViewFn closeFileView = nullptr;
    EcwCloseFileViewExFn closeFileViewEx = nullptr;
    EcwLastErrorFn lastError = nullptr;        // optional
    GdalOpenViewFn openWithDrivers = nullptr;  // the GDAL library only

    bool Bind() {
        const bool complete = module.Find(openFileView, ECW_OPEN_FILE_VIEW) &&
                              module.Find(getViewFileInfo, ECW_GET_VIEW_FILE_INFO) &&
                              module.Find(setFileView, ECW_SET_FILE_VIEW) &&
                              module.Find(readViewLineBgr, ECW_READ_VIEW_LINE_BGR) &&
                              module.Find(readViewLineRgb, ECW_READ_VIEW_LINE_RGB) &&
                              module.Find(closeFileView, ECW_CLOSE_FILE_VIEW) &&
                              module.Find(closeFileViewEx, ECW_CLOSE_FILE_VIEW_EX) &&
                              module.Usable(GDAL_UNAVAILABLE);
        if (complete) module.Find(lastError, ECW_LAST_ERROR);
        if (complete) module.Find(openWithDrivers, GDAL_OPEN_VIEW);
        return complete;
    }
};

// Why the library's last call failed, or `fallback` when it cannot tell.
std::string LibraryReason(const EcwLibrary& library, const char* fallback) {
    const char* text = library.lastError ? library.lastError() : nullptr;
    return text && *text ? std::string(text) : std::string(fallback);
}

std::string MissingLibraryDetail() {
    return UnusableLibraryDetail("the ECW decoding library", EcwLibraryFileName(), GDAL_UNAVAILABLE);
}

[[noreturn]] void Refuse(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceUnusable, detail);
}

std::shared_ptr<const EcwLibrary> TheEcwLibrary() {
    static LazyLibrary<EcwLibrary> library(EcwLibraryFileName());
    return library.Get();
}

// The GDAL library: the same view calls, opened with each extension's
// drivers. Null when missing or without its open call.
std::shared_ptr<const EcwLibrary> TheGdalLibrary() {
    static LazyLibrary<EcwLibrary> library(GdalLibraryFileName());
    std::shared_ptr<const EcwLibrary> loaded = library.Get();
    return loaded && loaded->openWithDrivers ? loaded : nullptr;
}

// An open view, closed with the library's cache of the file freed.
class EcwView {
public:
    EcwView(std::shared_ptr<const EcwLibrary> library, EcwFileView* view)
        : library_(std::move(library)), view_(view) {}
    ~EcwView() {
        if (view_) library_->closeFileViewEx(view_, 1);
    }
    EcwView(const EcwView&) = delete;
    EcwView& operator=(const EcwView&) = delete;

    static std::unique_ptr<EcwView> Open(const std::shared_ptr<const EcwLibrary>& library,
                                         const std::string& path) {
        EcwFileView* view = nullptr;
        if (library->openFileView(path.c_str(), &view, nullptr) != 0 || !view) return nullptr;
        return std::make_unique<EcwView>(library, view);
    }

    // Through the GDAL library, with the drivers and options of `request`.
    static std::unique_ptr<EcwView> Open(const std::shared_ptr<const EcwLibrary>& library,
                                         const std::string& path, const GdalOpenRequest& request) {
        std::vector<const char*> drivers, options;
        for (const std::string& d : request.drivers) drivers.push_back(d.c_str());
        for (const std::string& o : request.options) options.push_back(o.c_str());
        drivers.push_back(nullptr);
        options.push_back(nullptr);
        EcwFileView* view = nullptr;
        if (library->openWithDrivers(path.c_str(), request.format.c_str(), drivers.data(), options.data(),
                                     &view) != 0 ||
            !view)
            return nullptr;
        return std::make_unique<EcwView>(library, view);
    }

    // The file information; null when the library gives none or an image
    // that rows of this system cannot address, with the reason in `why`.
    const EcwViewFileInfo* Info(std::string& why) {
        EcwViewFileInfo* info = nullptr;
        if (library_->getViewFileInfo(view_, &info) != 0 || !info) {
            why = LibraryReason(*library_, "the ECW library gives no file information");
            return nullptr;
        }
        if (info->width == 0 || info->height == 0 || info->bands == 0) {
            why = "the ECW library gives the image no pixels or no bands";
            return nullptr;
        }
        if (info->width > uint32_t(INT32_MAX / 3) || info->height > uint32_t(INT32_MAX)) {
            why = "images of " + FormatThousands(info->width) + " x " + FormatThousands(info->height) +
                  " pixels are not supported";
            return nullptr;
        }
        return info;
    }
    const EcwViewFileInfo* Info() {
        std::string unused;
        return Info(unused);
    }

    std::string Reason(const char* fallback) const { return LibraryReason(*library_, fallback); }

    // All bands (0, 1, ... up to the band count, at most 100 of them), the
    // inclusive rectangle, at the output size.
    bool Set(const EcwViewFileInfo& info, uint32_t left, uint32_t top, uint32_t right, uint32_t bottom,
             uint32_t outputWidth, uint32_t outputHeight) {
        uint32_t bands[100];
        uint32_t count = std::min<uint32_t>(info.bands, 100);
        for (uint32_t i = 0; i < count; ++i) bands[i] = i;
        return library_->setFileView(view_, count, bands, left, top, right, bottom, outputWidth,
                                     outputHeight) == 0;
    }

    bool ReadLineBgr(uint8_t* line) { return library_->readViewLineBgr(view_, line) == 0; }

private:
    std::shared_ptr<const EcwLibrary> library_;
    EcwFileView* view_;
};

class EcwRowReader : public SourceRowReader {
public:
    EcwRowReader(std::string path, std::unique_ptr<EcwView> view, const EcwViewFileInfo& info,
                 std::optional<GdalOpenRequest> request = std::nullopt)
        : path_(std::move(path)), view_(std::move(view)), info_(info), request_(std::move(request)) {}

    int Width() const override { return int(info_.width); }
    int Height() const override { return int(info_.height); }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 3;
        palette = Palette{};
    }

    // Every row repositions the view to that one line, so rows come in any
    // order. A line the library cannot deliver is a damaged row; a failed
    // repositioning leaves the buffer untouched.
    void ReadRow(int row, uint8_t* buffer) override {
        if (row < 0 || uint32_t(row) >= info_.height) return;
        if (!view_->Set(info_, 0, uint32_t(row), info_.width - 1, uint32_t(row), info_.width, 1))
            ThrowDamaged(RowName(row) + ": " + view_->Reason("the ECW library cannot set a view of it"));
        if (!view_->ReadLineBgr(buffer))
            ThrowDamaged(RowName(row) + ": " + view_->Reason("the ECW library cannot decode it"));
    }

    Picture LoadPreview(int factor) override {
        return request_ ? LoadGdalBitmap(path_, *request_, factor) : LoadEcwBitmap(path_, factor);
    }

private:
    std::string RowName(int row) const {
        return "row " + FormatThousands(int64_t(row) + 1) + " of " + FormatThousands(info_.height);
    }

    std::string path_;
    std::unique_ptr<EcwView> view_;
    EcwViewFileInfo info_;
    std::optional<GdalOpenRequest> request_;  // set for the GDAL library's views
};

// What an opened view tells of its file; refuses with the library's reason
// (`cannotOpen` when it gives none) when there is no view or no information.
EcwViewFileInfo InfoOrRefuse(const EcwLibrary& library, EcwView* view, const char* cannotOpen) {
    if (!view) Refuse(LibraryReason(library, cannotOpen));
    std::string why;
    const EcwViewFileInfo* info = view->Info(why);
    if (!info) Refuse(why);
    return *info;
}

// The whole image of an open view reduced by `factor`, or an empty picture.
Picture ReduceView(EcwView& view, int factor) {
    if (factor < 1) factor = 1;
    const EcwViewFileInfo* info = view.Info();
    if (!info) return Picture();
    uint32_t outputWidth = info->width / uint32_t(factor);
    uint32_t outputHeight = info->height / uint32_t(factor);
    // A picture above the limit is not built: the source is read by rows.
    if (!FitsWholeImageLimit(outputWidth, outputHeight, 24)) return Picture();
    Picture picture;
    try {
        picture = Picture(int(outputWidth), int(outputHeight), 24);
    } catch (const std::bad_alloc&) {
        return Picture();
    }
    if (!view.Set(*info, 0, 0, info->width - 1, info->height - 1, outputWidth, outputHeight))
        return Picture();
    for (int y = 0; y < picture.Height(); ++y) {
        // A line the library cannot deliver would leave a hole in the
        // picture: give none, and the source is read by rows instead.
        if (!view.ReadLineBgr(picture.Row(y))) return Picture();
    }
    return picture;
}

std::optional<WholeImage> LoadEcwWhole(const std::string& path) {
    Picture picture = LoadEcwBitmap(path, 1);
    if (picture.Empty()) return std::nullopt;
    return WholeImage{std::move(picture), false};
}

const SourceFormat kEcwFormats[] = {
    {".ecw", &LoadEcwWhole, &OpenEcw, &GetEcwInfo},
};

}  // namespace

std::string_view EcwLibraryFileName() {
#if defined(_WIN32)
    return "tessary_ecw.dll";
#elif defined(__APPLE__)
    return "libtessary_ecw.dylib";
#else
    return "libtessary_ecw.so";
#endif
}

Picture LoadEcwBitmap(const std::string& path, int factor) {
    auto library = TheEcwLibrary();
    if (!library) {
        NoteForUser(kEcwLibraryMissingMessage);
        return Picture();
    }
    auto view = EcwView::Open(library, path);
    if (!view) return Picture();
    return ReduceView(*view, factor);
}

std::unique_ptr<SourceRowReader> OpenEcw(const std::string& path) {
    auto library = TheEcwLibrary();
    if (!library) {
        NoteForUser(kEcwLibraryMissingMessage);
        Refuse(MissingLibraryDetail());
    }
    auto view = EcwView::Open(library, path);
    const EcwViewFileInfo info = InfoOrRefuse(*library, view.get(), "the ECW library cannot open the file");
    return std::make_unique<EcwRowReader>(path, std::move(view), info);
}

SourceImageInfo GetEcwInfo(const std::string& path) {
    SourceImageInfo result{0, 0, 3};
    auto library = TheEcwLibrary();
    if (!library) return result;
    // A file the library cannot open is an error in the list, not an image
    // of 0 x 0 pixels.
    auto view = EcwView::Open(library, path);
    const EcwViewFileInfo info = InfoOrRefuse(*library, view.get(), "the ECW library cannot open the file");
    result.width = int32_t(info.width);
    result.height = int32_t(info.height);
    return result;
}

std::string_view GdalLibraryFileName() {
#if defined(_WIN32)
    return "tessary_gdal.dll";
#elif defined(__APPLE__)
    return "libtessary_gdal.dylib";
#else
    return "libtessary_gdal.so";
#endif
}

// Why a file is refused before GDAL opens it: an Imagine file whose spill
// file GDAL would read from another folder, a HEIF file that would stop
// the HEIF library. Empty when it may be opened.
static std::string GdalReferenceRefusal(const std::string& path, const GdalOpenRequest& request) {
    auto allows = [&request](const char* driver) {
        return std::find(request.drivers.begin(), request.drivers.end(), driver) != request.drivers.end();
    };
    if (allows("HFA"))
        if (std::string why = ImagineSpillRefusal(path); !why.empty()) return why;
    if (allows("HEIF")) return HeifItemRefusal(path);
    return {};
}

Picture LoadGdalBitmap(const std::string& path, const GdalOpenRequest& request, int factor) {
    auto library = TheGdalLibrary();
    if (!library || !GdalReferenceRefusal(path, request).empty()) return Picture();
    auto view = EcwView::Open(library, path, request);
    if (!view) return Picture();
    return ReduceView(*view, factor);
}

namespace {

// The GDAL library's view of a file and what it tells of the file; refuses
// with the reason when the library, the file or its references forbid one.
struct GdalView {
    std::unique_ptr<EcwView> view;
    EcwViewFileInfo info;
};

GdalView OpenGdalView(const std::string& path, const GdalOpenRequest& request) {
    auto library = TheGdalLibrary();
    if (!library)
        Refuse(UnusableLibraryDetail("the GDAL library", GdalLibraryFileName(), GDAL_UNAVAILABLE));
    if (std::string why = GdalReferenceRefusal(path, request); !why.empty()) Refuse(why);
    GdalView opened;
    opened.view = EcwView::Open(library, path, request);
    opened.info = InfoOrRefuse(*library, opened.view.get(), "GDAL cannot open the file");
    return opened;
}

}  // namespace

std::unique_ptr<SourceRowReader> OpenGdal(const std::string& path, const GdalOpenRequest& request) {
    GdalView opened = OpenGdalView(path, request);
    return std::make_unique<EcwRowReader>(path, std::move(opened.view), opened.info, request);
}

SourceImageInfo GetGdalInfo(const std::string& path, const GdalOpenRequest& request) {
    const EcwViewFileInfo info = OpenGdalView(path, request).info;
    return SourceImageInfo{int32_t(info.width), int32_t(info.height), 3};
}

std::span<const SourceFormat> EcwFormats() {
    return kEcwFormats;
}

}  // namespace tessary
