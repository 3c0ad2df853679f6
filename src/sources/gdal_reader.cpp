#include "sources/gdal_reader.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "common/text.h"
#include "sources/source_error.h"

namespace tessary {

namespace {

struct GdalExtension {
    std::string extension;  // lower-case, with its dot
    std::string format;
    std::vector<std::string> drivers;
    bool pdf = false;  // rendered at PdfDpi()
};

// The built-in extensions and their drivers. Never a driver that reads
// other files by reference, nor one for formats this system writes.
const std::vector<GdalExtension>& BuiltIn() {
    static const std::vector<GdalExtension> table{
        {".jp2", "JPEG 2000", {"JP2OpenJPEG", "JP2ECW", "JP2MrSID"}},
        {".j2k", "JPEG 2000", {"JP2OpenJPEG", "JP2ECW", "JP2MrSID"}},
        {".pdf", "PDF", {"PDF"}, true},
        {".webp", "WebP", {"WEBP"}},
        {".ntf", "NITF", {"NITF"}},
        {".nitf", "NITF", {"NITF"}},
        {".img", "Erdas Imagine", {"HFA"}},
        {".heic", "HEIF", {"HEIF"}},
        {".heif", "HEIF", {"HEIF"}},
    };
    return table;
}

std::atomic<int> pdfDpi{kDefaultPdfDpi};

// The extensions the user added; their rows live as long as the program.
std::mutex addedMutex;
std::deque<GdalExtension> added;
std::deque<SourceFormat> addedRows;

GdalOpenRequest RequestOf(const GdalExtension& e) {
    GdalOpenRequest request{e.format, e.drivers, {}};
    if (e.pdf) request.options.push_back("DPI=" + std::to_string(PdfDpi()));
    return request;
}

GdalOpenRequest RequestOfPath(const std::string& path) {
    std::optional<GdalOpenRequest> request = GdalRequestFor(LowerAscii(ExtensionOf(path)));
    if (!request)
        throw SourceError(SourceOpenError::SourceUnusable, "no GDAL driver is named for this extension");
    return *request;
}

std::unique_ptr<SourceRowReader> OpenRoute(const std::string& path) {
    return OpenGdal(path, RequestOfPath(path));
}

SourceImageInfo InspectRoute(const std::string& path) {
    return GetGdalInfo(path, RequestOfPath(path));
}

const SourceFormat kGdalFormats[] = {
    {".jp2", nullptr, &OpenRoute, &InspectRoute},  {".j2k", nullptr, &OpenRoute, &InspectRoute},
    {".pdf", nullptr, &OpenRoute, &InspectRoute},  {".webp", nullptr, &OpenRoute, &InspectRoute},
    {".ntf", nullptr, &OpenRoute, &InspectRoute},  {".nitf", nullptr, &OpenRoute, &InspectRoute},
    {".img", nullptr, &OpenRoute, &InspectRoute},  {".heic", nullptr, &OpenRoute, &InspectRoute},
    {".heif", nullptr, &OpenRoute, &InspectRoute},
};

bool SafeDriverName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-'))
            return false;
    return true;
}

}  // namespace

void SetPdfDpi(int dpi) {
    pdfDpi = dpi < kMinPdfDpi ? kMinPdfDpi : (dpi > kMaxPdfDpi ? kMaxPdfDpi : dpi);
}

int PdfDpi() {
    return pdfDpi;
}

std::optional<GdalOpenRequest> GdalRequestFor(std::string_view extension) {
    for (const GdalExtension& e : BuiltIn())
        if (e.extension == extension) return RequestOf(e);
    std::lock_guard lock(addedMutex);
    for (const GdalExtension& e : added)
        if (e.extension == extension) return RequestOf(e);
    return std::nullopt;
}

bool AddGdalExtension(std::string_view extensionIn, std::string_view driver, std::string& why) {
    std::string extension = LowerAscii(extensionIn);
    if (!extension.empty() && extension[0] != '.') extension.insert(0, ".");
    if (extension.size() < 2 || extension.find_first_of("./\\", 1) != std::string::npos) {
        why = "\"" + std::string(extensionIn) + "\" is not a file extension";
        return false;
    }
    if (!SafeDriverName(driver)) {
        why = "\"" + std::string(driver) + "\" is not a GDAL driver name";
        return false;
    }
    // The GDAL drivers that read other files by reference stay off.
    std::string upper = UpperAscii(driver);
    if (upper == "VRT" || upper == "DERIVED" || upper == "GTI" || upper == "MEM") {
        why = "the GDAL driver " + std::string(driver) + " reads other files by reference and is not allowed";
        return false;
    }
    if (FindAddedGdalFormat(extension)) {
        why = "the extension " + extension + " is named twice";
        return false;
    }
    if (FindSourceFormat(extension)) {
        why = "files named " + extension + " are read by their own reader";
        return false;
    }
    std::lock_guard lock(addedMutex);
    added.push_back({extension, std::string(driver), {std::string(driver)}});
    addedRows.push_back({std::string_view(added.back().extension), nullptr, &OpenRoute, &InspectRoute});
    return true;
}

const SourceFormat* FindAddedGdalFormat(std::string_view extension) {
    std::lock_guard lock(addedMutex);
    for (const SourceFormat& row : addedRows)
        if (row.extension == extension) return &row;
    return nullptr;
}

std::span<const SourceFormat> GdalFormats() {
    return kGdalFormats;
}

}  // namespace tessary
