#include "gdal_bgr.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <mutex>
#include <string>

#include "common/over_white.h"
#include "gdal_calls.h"

namespace tessary::gdalplug {

namespace {

// A list of GDAL names (drivers, options) as GDAL takes them: null-terminated.
// Names are matched without regard to case, as GDAL matches driver names.
class NameList {
public:
    void Add(const char* name) { names_.emplace_back(name); }
    bool Has(const char* name) const {
        return std::any_of(names_.begin(), names_.end(), [name](const std::string& n) { return SameName(n, name); });
    }
    bool empty() const { return names_.empty(); }
    const char* const* List() {
        pointers_.clear();
        for (const std::string& n : names_) pointers_.push_back(n.c_str());
        pointers_.push_back(nullptr);
        return pointers_.data();
    }

private:
    static bool SameName(const std::string& a, const char* b) {
        size_t i = 0;
        for (; i < a.size() && b[i]; ++i) {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
            if (x != y) return false;
        }
        return i == a.size() && !b[i];
    }
    std::vector<std::string> names_;
    std::vector<const char*> pointers_;
};

// GDAL prints its errors by default; a decoder library reports failure by
// its results only.
class QuietErrors {
public:
    QuietErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietErrors() { CPLPopErrorHandler(); }
};

// The block cache GDAL may keep when the user has not configured one. Rows
// are read in order, so a few bands of blocks are all that pays; GDAL's own
// default (a share of physical memory) would let reading a large image grow
// the process far beyond what one row needs. Full-resolution rows come from
// bands of whole block rows read at once, so the cache need not hold a
// block row of its own.
constexpr int64_t kDefaultCacheBytes = 32 << 20;

// Every web request GDAL would make (CPLHTTPFetch) fails at once.
CPLHTTPResult* RefuseHttp(const char*, CSLConstList, GDALProgressFunc, void*, CPLHTTPFetchWriteFunc, void*,
                          void*) {
    auto* result = static_cast<CPLHTTPResult*>(CPLCalloc(1, sizeof(CPLHTTPResult)));
    result->pszErrBuf = CPLStrdup("network access is switched off");
    return result;
}

void EnsureGdal() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Before any driver runs: no side files written beside a source
        // (.aux.xml) and no folder listings to find side files by; no web
        // access, neither through the /vsicurl/ family (no name matches the
        // one allowed) nor through GDAL's HTTP fetches.
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
        CPLSetConfigOption("CPL_VSIL_CURL_ALLOWED_FILENAME", "network access is switched off");
        CPLSetConfigOption("CPL_VSIL_CURL_ALLOWED_EXTENSIONS", "network access is switched off");
        CPLHTTPSetFetchCallback(RefuseHttp, nullptr);
        GDALAllRegister();
        if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr &&
            GDALGetCacheMax64() > kDefaultCacheBytes)
            GDALSetCacheMax64(kDefaultCacheBytes);
    });
}

std::mutex testingMutex;
std::vector<std::string> testingDrivers;

// The most a band of full-width rows may hold; a taller block is read in
// several bands.
constexpr size_t kMaxBandBytes = size_t(96) << 20;

thread_local std::string lastError;

// GDAL's text for the error just raised, or `fallback` when it gave none.
std::string GdalReason(const char* fallback) {
    const char* message = CPLGetLastErrorMsg();
    return message && *message ? std::string(message) : std::string(fallback);
}

bool EndsWithNoCase(const char* text, const char* suffix) {
    size_t n = std::strlen(text), m = std::strlen(suffix);
    if (n < m) return false;
    for (size_t i = 0; i < m; ++i) {
        char a = text[n - m + i], b = suffix[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The formats whose GDAL drivers are built on their vendors' decoders and
// so missing from most GDAL installations: the driver a file of that
// extension needs, and what to call the format.
struct VendorFormat {
    const char* extension;
    const char* driver;
    const char* format;
};
constexpr VendorFormat kVendorFormats[] = {
    {".ecw", "ECW", "ECW"},
    {".sid", "MrSID", "MrSID"},
};

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char a = *text;
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (a != *prefix) return false;
    }
    return true;
}

// The drivers a refused file is identified against, to name what it is.
// Identifying reads only the file's first bytes, whatever the driver.
constexpr const char* kKnownDrivers[] = {
    "VRT",   "GTiff", "PNG",   "JPEG",   "GIF", "BMP",  "JP2OpenJPEG", "JP2ECW",  "JP2MrSID", "ECW",
    "MrSID", "PDF",   "WEBP",  "NITF",   "HFA", "HEIF", "GPKG",        "netCDF",  "HDF5",     "HDF4",
    "PNM",   "XPM",   "ISIS3", "PCIDSK", "ERS", "ENVI", "EHdr",        "MBTiles",
};

// The format GDAL finds in `path` among the known drivers, as
// "Long name (Short)", or empty.
std::string FoundFormat(const char* path) {
    NameList known;
    for (const char* name : kKnownDrivers)
        if (GDALGetDriverByName(name)) known.Add(name);
    char* noSiblings[] = {nullptr};
    CPLErrorReset();
    GDALDriverH driver = GDALIdentifyDriverEx(path, GDAL_OF_RASTER, known.List(), noSiblings);
    if (!driver) return {};
    return std::string(GDALGetDriverLongName(driver)) + " (" + GDALGetDriverShortName(driver) + ")";
}

// Why GDAL could not open `path` as `format`. A file of another format is
// named as what GDAL finds it to be; when GDAL has no driver for a vendor
// format, says so and how to add one: GDAL's own message would only call
// the file unrecognised.
std::string OpenFailure(const char* path, const char* format, bool anyDriver) {
    std::string reason = GdalReason("GDAL cannot open the file");
    std::string found = FoundFormat(path);
    if (!found.empty())
        return "GDAL finds a " + found + " file, which is not read as " + format + ": refused";
    for (const VendorFormat& vendor : kVendorFormats) {
        if (!EndsWithNoCase(path, vendor.extension) || GDALGetDriverByName(vendor.driver) != nullptr)
            continue;
        return std::string("GDAL ") + GDALVersionInfo("RELEASE_NAME") + " has no " + vendor.format +
               " driver: install the vendor's " + vendor.format +
               " plugin for GDAL and set GDAL_DRIVER_PATH to the folder that holds it";
    }
    if (!anyDriver)
        return std::string("GDAL ") + GDALVersionInfo("RELEASE_NAME") + " has no driver for " + format +
               " files";
    return reason;
}

// The bytes an Imagine file needs at the least for each block it states:
// its entry in the file's block table (file code, offset, size, validity,
// compression), or far more in a spill file, which holds the blocks raw.
constexpr int64_t kImagineBytesPerBlock = 14;

// Why GDAL's Imagine driver must not read `ds`: it states more blocks, in
// its bands and their overviews, than its files can hold. GDAL 3.6 reads
// such a file's block table until an entry is missing, then reads past the
// part it loaded when later rows are asked for (the process dies); real
// files always hold their tables. Empty when the file may be read.
std::string ImagineBlockRefusal(GDALDatasetH ds) {
    int64_t bytes = 0;
    char** files = GDALGetFileList(ds);
    for (char** name = files; name && *name; ++name) {
        // GDAL's names are UTF-8 paths of plain files (virtual paths are
        // refused before GDAL opens anything).
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(*name), error);
        if (!error) bytes += int64_t(size);
    }
    CSLDestroy(files);
    int64_t blocks = 0;
    auto count = [&blocks](GDALRasterBandH band) {
        int blockWidth = 0, blockHeight = 0;
        GDALGetBlockSize(band, &blockWidth, &blockHeight);
        if (blockWidth <= 0 || blockHeight <= 0) return;
        const int64_t across = (int64_t(GDALGetRasterBandXSize(band)) + blockWidth - 1) / blockWidth;
        const int64_t down = (int64_t(GDALGetRasterBandYSize(band)) + blockHeight - 1) / blockHeight;
        blocks += across * down;
    };
    for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        count(band);
        for (int o = 0; o < GDALGetOverviewCount(band); ++o)
            if (GDALRasterBandH overview = GDALGetOverview(band, o)) count(overview);
    }
    if (blocks <= bytes / kImagineBytesPerBlock) return {};
    return "the Imagine file states " + std::to_string(blocks) + " blocks, more than its " + std::to_string(bytes) +
           " bytes can hold: it is damaged";
}

// Blocks of more pixels than this are refused when they are also larger
// than the whole picture: GDAL allocates a whole block to read any of it.
constexpr int64_t kMaxBlockPixels = int64_t(16) << 20;

// Why `ds` must not be read: a band states blocks larger than its picture
// and than kMaxBlockPixels (a 311-byte JPEG 2000 of 400 x 300 pixels stated
// blocks of 400 x 33,554,732, and GDAL asked for 13 GB to read its first
// row). Empty when it may be read.
std::string BlockSizeRefusal(GDALDatasetH ds) {
    const int64_t picture = int64_t(GDALGetRasterXSize(ds)) * GDALGetRasterYSize(ds);
    for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
        int blockWidth = 0, blockHeight = 0;
        GDALGetBlockSize(GDALGetRasterBand(ds, b), &blockWidth, &blockHeight);
        const int64_t block = int64_t(blockWidth) * blockHeight;
        if (block > picture && block > kMaxBlockPixels)
            return "GDAL's driver reads the file in blocks of " + std::to_string(blockWidth) + " x " +
                   std::to_string(blockHeight) + " pixels, larger than the picture (" +
                   std::to_string(GDALGetRasterXSize(ds)) + " x " + std::to_string(GDALGetRasterYSize(ds)) +
                   "): it is damaged";
    }
    return {};
}

}  // namespace

TESSARY_EXPORT void TessaryGdalAllowDriverForTesting(const char* driver) {
    std::lock_guard lock(testingMutex);
    if (driver)
        testingDrivers.emplace_back(driver);
    else
        testingDrivers.clear();
}

TESSARY_EXPORT const char* TessaryGdalUnavailable(void) {
    const char* why = GdalUnavailable();
    return why ? why : "";
}

const char* LastError() {
    return lastError.c_str();
}

void SetLastError(std::string text) {
    lastError = std::move(text);
}

std::unique_ptr<BgrDataset> BgrDataset::Open(const char* path, const char* format,
                                             const std::vector<std::string>& drivers,
                                             const std::vector<std::string>& options) {
    lastError.clear();
    if (!path) {
        lastError = "no file named";
        return nullptr;
    }
    // GDAL's virtual paths reach into archives, other processes' memory or
    // the network: a source is a plain file.
    if (StartsWithNoCase(path, "/vsi")) {
        lastError = "GDAL's virtual file paths (/vsi...) are not read";
        return nullptr;
    }
    if (const char* why = GdalUnavailable()) {
        lastError = why;
        return nullptr;
    }
    EnsureGdal();
    QuietErrors quiet;

    NameList allowed;
    {
        std::lock_guard lock(testingMutex);
        for (const std::string& name : drivers)
            if (GDALGetDriverByName(name.c_str())) allowed.Add(name.c_str());
        for (const std::string& name : testingDrivers)
            if (GDALGetDriverByName(name.c_str()) && !allowed.Has(name.c_str())) allowed.Add(name.c_str());
    }
    GDALDatasetH ds = nullptr;
    if (!allowed.empty()) {
        // An empty list of side files: GDAL looks for none beside the source.
        char* noSiblings[] = {nullptr};
        CPLErrorReset();
        NameList openOptions;
        for (const std::string& option : options) openOptions.Add(option.c_str());
        ds = GDALOpenEx(path, GDAL_OF_RASTER | GDAL_OF_READONLY, allowed.List(), openOptions.List(),
                        noSiblings);
    }
    if (!ds) {
        lastError = OpenFailure(path, format, !allowed.empty());
        return nullptr;
    }
    GDALDriverH used = GDALGetDatasetDriver(ds);
    if (!used || !allowed.Has(GDALGetDriverShortName(used))) {
        lastError = std::string("GDAL opened the file through a driver not allowed for ") + format;
        GDALClose(ds);
        return nullptr;
    }
    std::string why = BlockSizeRefusal(ds);
    if (why.empty() && std::strcmp(GDALGetDriverShortName(used), "HFA") == 0) why = ImagineBlockRefusal(ds);
    if (!why.empty()) {
        lastError = std::move(why);
        GDALClose(ds);
        return nullptr;
    }
    std::unique_ptr<BgrDataset> out(new BgrDataset());
    out->dataset_ = ds;
    out->width_ = GDALGetRasterXSize(ds);
    out->height_ = GDALGetRasterYSize(ds);
    out->bandCount_ = GDALGetRasterCount(ds);
    if (out->width_ <= 0 || out->height_ <= 0 || out->bandCount_ <= 0) {
        lastError = "GDAL gives the image no pixels or no bands";
        return nullptr;
    }

    for (int b = 1; b <= out->bandCount_; ++b)
        if (GDALGetRasterColorInterpretation(GDALGetRasterBand(ds, b)) == GCI_AlphaBand) {
            out->alphaBand_ = b;
            break;
        }
    if (out->bandCount_ >= 3) {
        out->layout_ = Layout::Rgb;
        int red = 0, green = 0, blue = 0;
        for (int b = 1; b <= out->bandCount_; ++b) {
            const int ci = GDALGetRasterColorInterpretation(GDALGetRasterBand(ds, b));
            if (ci == GCI_RedBand && !red) red = b;
            if (ci == GCI_GreenBand && !green) green = b;
            if (ci == GCI_BlueBand && !blue) blue = b;
        }
        if (!red || !green || !blue) red = 1, green = 2, blue = 3;
        out->bandMap_[0] = blue;
        out->bandMap_[1] = green;
        out->bandMap_[2] = red;
        return out;
    }

    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALColorTableH table = GDALGetRasterColorTable(band);
    if (GDALGetRasterColorInterpretation(band) == GCI_PaletteIndex && table) {
        out->layout_ = Layout::Palette;
        int count = GDALGetColorEntryCount(table);
        for (int i = 0; i < 256 && i < count; ++i) {
            GDALColorEntry entry;
            if (!GDALGetColorEntryAsRGB(table, i, &entry)) continue;
            out->palette_[i] = {uint8_t(entry.c3), uint8_t(entry.c2), uint8_t(entry.c1)};
        }
    } else {
        out->layout_ = Layout::Grey;
    }
    return out;
}

BgrDataset::~BgrDataset() {
    if (dataset_) {
        QuietErrors quiet;
        GDALClose(dataset_);
    }
}

bool BgrDataset::ReadLine(int left, int top, int width, int height, int outWidth, int outHeight, int line,
                          uint8_t* out) {
    lastError.clear();
    if (!out || left < 0 || top < 0 || width <= 0 || height <= 0 || outWidth <= 0 || outHeight <= 0)
        return false;
    if (int64_t(left) + width > width_ || int64_t(top) + height > height_) {
        lastError = "the lines asked for lie outside the image";
        return false;
    }
    if (line < 0 || line >= outHeight) {
        lastError = "the line asked for lies outside the view";
        return false;
    }

    // The source rows [first, last) that fall on this output line; at least
    // one, so that enlarging repeats rows.
    int first = top + int(int64_t(line) * height / outHeight);
    int last = top + int(int64_t(line + 1) * height / outHeight);
    if (last <= first) last = first + 1;
    if (last > top + height) last = top + height;

    // A line at full resolution comes from the band of rows that holds it.
    const bool oneRow = outWidth == width && last - first == 1;
    const bool fullWidth = left == 0 && width == width_;
    int blockWidth = 0, blockHeight = 0;
    if (oneRow) {
        // A full-width row of a block row that could not be decoded fails
        // as the row before it did: it needs the same blocks, which would
        // fail again (a damaged one-tile picture was decoded once per row).
        if (fullWidth && first >= failedTop_ && first < failedTop_ + failedRows_) {
            lastError = failedError_;
            return false;
        }
        GDALGetBlockSize(GDALGetRasterBand(dataset_, 1), &blockWidth, &blockHeight);
        if (bandRows_ == 0 || first < bandTop_ || first >= bandTop_ + bandRows_) {
            size_t rowBytes = size_t(width_) * 3;
            int rows = std::clamp(blockHeight, 1, int(std::max<size_t>(1, kMaxBandBytes / rowBytes)));
            int bandTop = first - first % rows;
            rows = std::min(rows, height_ - bandTop);
            bandRows_ = 0;
            band_.resize(rowBytes * size_t(rows));
            if (ReadRows(0, bandTop, width_, rows, width_, rows, band_.data())) {
                bandTop_ = bandTop;
                bandRows_ = rows;
            } else {
                // A band with a block GDAL cannot decode: its rows are read
                // one by one, so that only the damaged ones fail.
                band_.clear();
                band_.shrink_to_fit();
            }
        }
        if (bandRows_ != 0) {
            lastError.clear();
            std::memcpy(out, band_.data() + (size_t(first - bandTop_) * size_t(width_) + size_t(left)) * 3,
                        size_t(width) * 3);
            return true;
        }
    }
    const bool read = ReadRows(left, first, width, last - first, outWidth, 1, out);
    if (!read && oneRow && fullWidth && blockHeight > 1) {
        failedTop_ = first - first % blockHeight;
        failedRows_ = std::min(blockHeight, height_ - failedTop_);
        failedError_ = lastError;
    }
    return read;
}

bool BgrDataset::ReadRows(int left, int top, int width, int rows, int outWidth, int outRows, uint8_t* out) {
    QuietErrors quiet;
    CPLErrorReset();
    auto* ds = dataset_;
    const size_t pixels = size_t(outWidth) * size_t(outRows);
    int err;
    if (layout_ == Layout::Rgb && !alphaBand_) {
        err = GDALDatasetRasterIO(ds, GF_Read, left, top, width, rows, out, outWidth, outRows, GDT_Byte, 3,
                                  bandMap_, 3, outWidth * 3, 1);
        if (err != CE_None) lastError = GdalReason("GDAL cannot decode the line");
        return err == CE_None;
    }
    // Samples per pixel as read: the colour (3) or index or grey (1), then
    // alpha when there is one and the layout takes it.
    const bool alpha = alphaBand_ != 0 && layout_ != Layout::Palette;
    int bands[4];
    int count = 0;
    if (layout_ == Layout::Rgb)
        for (int b : bandMap_) bands[count++] = b;
    else
        bands[count++] = 1;
    if (alpha) bands[count++] = alphaBand_;
    scratch_.resize(pixels * size_t(count));
    err = GDALDatasetRasterIO(ds, GF_Read, left, top, width, rows, scratch_.data(), outWidth, outRows,
                              GDT_Byte, count, bands, count, outWidth * count, 1);
    if (err != CE_None) {
        lastError = GdalReason("GDAL cannot decode the line");
        return false;
    }
    const uint8_t* src = scratch_.data();
    for (size_t i = 0; i < pixels; ++i, src += count) {
        uint8_t* px = out + i * 3;
        if (layout_ == Layout::Rgb) {
            px[0] = OverWhite(src[0], src[3]);
            px[1] = OverWhite(src[1], src[3]);
            px[2] = OverWhite(src[2], src[3]);
        } else if (layout_ == Layout::Palette) {
            px[0] = palette_[src[0]][0];
            px[1] = palette_[src[0]][1];
            px[2] = palette_[src[0]][2];
        } else {
            uint8_t v = alpha ? OverWhite(src[0], src[1]) : src[0];
            px[0] = px[1] = px[2] = v;
        }
    }
    return true;
}

}  // namespace tessary::gdalplug
