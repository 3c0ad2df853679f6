// The ECW decoding library: the NCScbm view calls over GDAL. Built a second
// time as the GDAL library, whose views the reader opens through
// TessaryGdalOpenView with the drivers of each extension. A view opens
// its file with GDAL, tells width, height and band count, and delivers the
// lines of a rectangle of the image at a requested output size as blue,
// green, red. It reads ECW files (and JPEG 2000 through the same vendor's
// driver) where the installed GDAL carries a driver for them, and nothing
// else GDAL could open.
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gdal_bgr.h"
#include "sources/ecw_abi.h"

using tessary::gdalplug::BgrDataset;
using tessary::gdalplug::SetLastError;

struct EcwFileView {
    std::unique_ptr<BgrDataset> dataset;
    EcwViewFileInfo info{};
    // The view set by NCScbmSetFileView; lines are delivered from nextLine.
    bool viewSet = false;
    int left = 0, top = 0, width = 0, height = 0;
    int outWidth = 0, outHeight = 0;
    int nextLine = 0;
};

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kFailed = 1;

// The GDAL drivers an ECW file is read through.
const std::vector<std::string>& EcwDrivers() {
    static const std::vector<std::string> drivers{"ECW", "JP2ECW"};
    return drivers;
}

int32_t ReadLine(EcwFileView* view, uint8_t* line, bool bgr) {
    if (!view || !line || !view->viewSet || view->nextLine >= view->outHeight) {
        SetLastError("no view set, or every line of it read");
        return kFailed;
    }
    if (!view->dataset->ReadLine(view->left, view->top, view->width, view->height, view->outWidth,
                                 view->outHeight, view->nextLine, line))
        return kFailed;
    ++view->nextLine;
    if (!bgr) {
        for (int x = 0; x < view->outWidth; ++x) {
            uint8_t t = line[size_t(x) * 3];
            line[size_t(x) * 3] = line[size_t(x) * 3 + 2];
            line[size_t(x) * 3 + 2] = t;
        }
    }
    return kOk;
}

int32_t OpenView(const char* path, const char* format, const std::vector<std::string>& drivers,
                 const std::vector<std::string>& options, EcwFileView** view) {
    if (!view) return kFailed;
    *view = nullptr;
    auto dataset = BgrDataset::Open(path, format, drivers, options);
    if (!dataset) return kFailed;
    auto* out = new (std::nothrow) EcwFileView();
    if (!out) {
        SetLastError("out of memory");
        return kFailed;
    }
    out->info.width = uint32_t(dataset->Width());
    out->info.height = uint32_t(dataset->Height());
    out->info.bands = uint16_t(dataset->BandCount() > 0xFFFF ? 0xFFFF : dataset->BandCount());
    out->dataset = std::move(dataset);
    *view = out;
    return kOk;
}

std::vector<std::string> Strings(const char* const* list) {
    std::vector<std::string> out;
    for (; list && *list; ++list) out.emplace_back(*list);
    return out;
}

}  // namespace

TESSARY_EXPORT int32_t NCScbmOpenFileView(const char* path, EcwFileView** view, void* refreshCallback) {
    (void)refreshCallback;
    return OpenView(path, "ECW", EcwDrivers(), {}, view);
}

// The GDAL library's open: the drivers and options come from the reader.
TESSARY_EXPORT int32_t TessaryGdalOpenView(const char* path, const char* format, const char* const* drivers,
                                           const char* const* options, EcwFileView** view) {
    if (!format || !drivers || !*drivers) {
        SetLastError("no format or no drivers named");
        if (view) *view = nullptr;
        return kFailed;
    }
    return OpenView(path, format, Strings(drivers), Strings(options), view);
}

TESSARY_EXPORT int32_t NCScbmGetViewFileInfo(EcwFileView* view, EcwViewFileInfo** info) {
    if (!view || !info) return kFailed;
    *info = &view->info;
    return kOk;
}

TESSARY_EXPORT int32_t NCScbmSetFileView(EcwFileView* view, uint32_t bandCount, const uint32_t* bandList,
                                         uint32_t left, uint32_t top, uint32_t right, uint32_t bottom,
                                         uint32_t outputWidth, uint32_t outputHeight) {
    if (!view) return kFailed;
    view->viewSet = false;
    auto refuse = [](const char* why) {
        SetLastError(why);
        return kFailed;
    };
    if (bandCount == 0 || !bandList) return refuse("no bands asked for");
    for (uint32_t i = 0; i < bandCount; ++i)
        if (bandList[i] >= view->info.bands) return refuse("a band asked for is not in the file");
    if (left > right || top > bottom || right >= view->info.width || bottom >= view->info.height)
        return refuse("the view lies outside the image");
    if (outputWidth == 0 || outputHeight == 0 || outputWidth > INT32_MAX / 3 || outputHeight > INT32_MAX)
        return refuse("the view's output size is out of range");
    SetLastError({});
    view->left = int(left);
    view->top = int(top);
    view->width = int(right - left + 1);
    view->height = int(bottom - top + 1);
    view->outWidth = int(outputWidth);
    view->outHeight = int(outputHeight);
    view->nextLine = 0;
    view->viewSet = true;
    return kOk;
}

TESSARY_EXPORT int32_t NCScbmReadViewLineBGR(EcwFileView* view, uint8_t* line) {
    return ReadLine(view, line, true);
}

TESSARY_EXPORT int32_t NCScbmReadViewLineRGB(EcwFileView* view, uint8_t* line) {
    return ReadLine(view, line, false);
}

TESSARY_EXPORT int32_t NCScbmCloseFileViewEx(EcwFileView* view, int32_t freeCachedFile) {
    // Every view owns its own dataset, so there is no cache shared between
    // views to keep or free.
    (void)freeCachedFile;
    delete view;
    return kOk;
}

TESSARY_EXPORT const char* TessaryEcwLastError(void) {
    return tessary::gdalplug::LastError();
}

TESSARY_EXPORT int32_t NCScbmCloseFileView(EcwFileView* view) {
    return NCScbmCloseFileViewEx(view, 0);
}
