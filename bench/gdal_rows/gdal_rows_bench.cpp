// Reads a large 24-bit source through the ECW or MrSID row-access route, or
// a JPEG 2000 file through the GDAL route, and reports time and peak memory.
//
//   gdal_rows_bench make <file> [width height]   writes a striped, deflated
//                                               RGB GeoTIFF (default
//                                               20000 x 20000), or for a
//                                               .jp2 name a lossless JPEG
//                                               2000 file of the same pixels
//   gdal_rows_bench read <file.ecw|file.sid>     opens it as a source with
//                                               the whole picture ruled out
//                                               and reads every row
//
// Run the two steps as separate processes: the peak memory reported by
// "read" then belongs to reading alone.
#include <gdal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "common/platform.h"
#include "sources/source_image.h"
#include "sources/whole_image_limit.h"

namespace {

uint8_t Sample(int x, int y, int band) {
    return uint8_t((x * (band + 1) + y * (3 - band) + ((x ^ y) & 15)) & 0xFF);
}

int MakeTiff(const char* path, int width, int height);

// A .jp2 target: the GeoTIFF first, then a lossless JPEG 2000 copy of it in
// 1024 x 1024 tiles (GDAL's default for JP2OpenJPEG).
int Make(const char* path, int width, int height) {
    std::string name(path);
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".jp2") != 0)
        return MakeTiff(path, width, height);
    std::string tiff = name + ".tif";
    if (int status = MakeTiff(tiff.c_str(), width, height)) return status;
    GDALDatasetH source = GDALOpen(tiff.c_str(), GA_ReadOnly);
    const char* options[] = {"REVERSIBLE=YES", "QUALITY=100", "BLOCKXSIZE=1024", "BLOCKYSIZE=1024", nullptr};
    GDALDatasetH copy = source ? GDALCreateCopy(GDALGetDriverByName("JP2OpenJPEG"), path, source, FALSE,
                                                const_cast<char**>(options), nullptr, nullptr)
                               : nullptr;
    if (copy) GDALClose(copy);
    if (source) GDALClose(source);
    std::remove(tiff.c_str());
    if (!copy) std::fprintf(stderr, "cannot write %s\n", path);
    return copy ? 0 : 1;
}

int MakeTiff(const char* path, int width, int height) {
    GDALAllRegister();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    const char* options[] = {"COMPRESS=DEFLATE", "ZLEVEL=1",         "INTERLEAVE=PIXEL",
                             "BLOCKYSIZE=16",    "BIGTIFF=IF_SAFER", nullptr};
    GDALDatasetH ds = GDALCreate(driver, path, width, height, 3, GDT_Byte, const_cast<char**>(options));
    if (!ds) {
        std::fprintf(stderr, "cannot create %s\n", path);
        return 1;
    }
    std::vector<uint8_t> row(size_t(width) * 3);
    int bands[3] = {1, 2, 3};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int b = 0; b < 3; ++b) row[size_t(x) * 3 + b] = Sample(x, y, b);
        if (GDALDatasetRasterIO(ds, GF_Write, 0, y, width, 1, row.data(), width, 1, GDT_Byte, 3, bands, 3,
                                width * 3, 1) != CE_None) {
            std::fprintf(stderr, "write failed at row %d\n", y);
            GDALClose(ds);
            return 1;
        }
    }
    GDALClose(ds);
    return 0;
}

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Read(const std::string& path) {
    // Rule the whole picture out so that the row-access route is measured
    // on any machine.
    tessary::SetWholeImageLimit(uint64_t(64) << 20);
    // The GeoTIFF written by "make" stands in for the vendor formats: the
    // libraries' test-only call lets GTiff through their allow-lists.
    for (const char* library : {"libtessary_ecw.so", "libtessary_mrsid.so"}) {
        void* module = tessary::platform::LoadLibraryFile(tessary::platform::ProgramFolder() + "/" + library);
        auto allow = module ? reinterpret_cast<void (*)(const char*)>(
                                  tessary::platform::FindSymbol(module, "TessaryGdalAllowDriverForTesting"))
                            : nullptr;
        if (allow) allow("GTiff");  // the module stays loaded for the reader
    }
    auto start = std::chrono::steady_clock::now();
    tessary::SourceOpenResult result = tessary::OpenSourceImage(path);
    auto* handle = std::get_if<tessary::SourceHandle>(&result);
    if (!handle) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    tessary::Timagerecord4& image = **handle;
    if (!image.Reader || image.BytesPerPixel != 3) {
        std::fprintf(stderr, "%s did not open through row access with 3 bytes per pixel\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> row(size_t(image.Width) * 3);
    uint64_t checksum = 0;
    int wrong = 0;
    for (int y = 0; y < image.Height; ++y) {
        tessary::ReadSourceRow(image, y, row.data());
        for (size_t i = 0; i < row.size(); i += 997) checksum = checksum * 31 + row[i];
        // Blue, green, red order: the file holds red, green, blue.
        int x = (y * 7919) % image.Width;
        if (row[size_t(x) * 3] != Sample(x, y, 2) || row[size_t(x) * 3 + 2] != Sample(x, y, 0)) ++wrong;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%s: %d x %d, extension %s, %.1f s, %.1f rows/s, peak memory %.1f MB, checksum %016llx, %d rows "
        "wrong\n",
        path.c_str(), image.Width, image.Height, image.Extension.c_str(), seconds, image.Height / seconds,
        PeakKilobytes() / 1024.0, static_cast<unsigned long long>(checksum), wrong);
    return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "make") {
        int width = argc >= 5 ? std::atoi(argv[3]) : 20000;
        int height = argc >= 5 ? std::atoi(argv[4]) : 20000;
        return Make(argv[2], width, height);
    }
    if (argc == 3 && std::string(argv[1]) == "read") return Read(argv[2]);
    std::fprintf(stderr, "usage: %s make <file> [width height] | read <file.ecw|file.sid|file.jp2>\n",
                 argv[0]);
    return 2;
}
