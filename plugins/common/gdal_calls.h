// GDAL's C calls as the GDAL-backed libraries use them, bound by name at run
// time from the GDAL library installed on the machine, so that the libraries
// build without GDAL's headers and libraries and load where GDAL is missing.
//
// The types and signatures below are our own declarations of GDAL's C ABI for
// the calls listed, checked against the headers of GDAL 3.6 (gdal.h,
// cpl_conv.h, cpl_error.h, cpl_http.h, cpl_string.h). GDAL keeps its C ABI
// through 3.x; where later releases changed a declaration it stays the same at
// the call (GDALClose now gives a CPLErr, which is not read here). Handles are
// opaque pointers; GDAL's enumerations are passed as int. Nothing here depends
// on a platform struct of GDAL's (VSIStatBufL is one: the libraries take file
// sizes from the file system themselves).
//
// Each call is a function pointer named as GDAL's function, in this
// namespace, so the code over it reads as GDAL code does. They are null
// until GdalUnavailable() has found a GDAL library with every one of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::gdalplug {

#if defined(_WIN32) && !defined(_WIN64)
// GDAL's CPL_STDCALL is __stdcall on 32-bit Windows only.
#error "the GDAL calls are declared for 64-bit programs only"
#endif

using GDALDatasetH = void*;
using GDALRasterBandH = void*;
using GDALDriverH = void*;
using GDALColorTableH = void*;
using CSLConstList = const char* const*;

// Values of GDAL's enumerations and flags used here.
constexpr int CE_None = 0;           // CPLErr
constexpr int GF_Read = 0;           // GDALRWFlag
constexpr int GDT_Byte = 1;          // GDALDataType
constexpr int GCI_PaletteIndex = 2;  // GDALColorInterp
constexpr int GCI_RedBand = 3;
constexpr int GCI_GreenBand = 4;
constexpr int GCI_BlueBand = 5;
constexpr int GCI_AlphaBand = 6;
constexpr unsigned GDAL_OF_READONLY = 0x00;  // GDALOpenEx flags
constexpr unsigned GDAL_OF_RASTER = 0x02;

struct GDALColorEntry {
    short c1, c2, c3, c4;
};

using GDALProgressFunc = int (*)(double, const char*, void*);
using CPLHTTPFetchWriteFunc = size_t (*)(void*, size_t, size_t, void*);
using CPLErrorHandler = void (*)(int, int, const char*);

struct CPLHTTPResult {
    int nStatus;
    char* pszContentType;
    char* pszErrBuf;
    int nDataLen;
    int nDataAlloc;
    unsigned char* pabyData;
    char** papszHeaders;
    int nMimePartCount;
    void* pasMimePart;
};
using CPLHTTPFetchCallbackFunc = CPLHTTPResult* (*)(const char*, CSLConstList, GDALProgressFunc, void*,
                                                    CPLHTTPFetchWriteFunc, void*, void*);

// Every call: return type, name, parameters.
#define TESSARY_GDAL_CALLS(X)                                                                      \
    X(void, GDALAllRegister, ())                                                                   \
    X(const char*, GDALVersionInfo, (const char*))                                                 \
    X(GDALDatasetH, GDALOpenEx, (const char*, unsigned, CSLConstList, CSLConstList, CSLConstList)) \
    X(GDALDriverH, GDALIdentifyDriverEx, (const char*, unsigned, CSLConstList, CSLConstList))      \
    X(void, GDALClose, (GDALDatasetH))                                                             \
    X(GDALDriverH, GDALGetDriverByName, (const char*))                                             \
    X(const char*, GDALGetDriverShortName, (GDALDriverH))                                          \
    X(const char*, GDALGetDriverLongName, (GDALDriverH))                                           \
    X(GDALDriverH, GDALGetDatasetDriver, (GDALDatasetH))                                           \
    X(char**, GDALGetFileList, (GDALDatasetH))                                                     \
    X(int, GDALGetRasterXSize, (GDALDatasetH))                                                     \
    X(int, GDALGetRasterYSize, (GDALDatasetH))                                                     \
    X(int, GDALGetRasterCount, (GDALDatasetH))                                                     \
    X(GDALRasterBandH, GDALGetRasterBand, (GDALDatasetH, int))                                     \
    X(int, GDALDatasetRasterIO,                                                                    \
      (GDALDatasetH, int, int, int, int, int, void*, int, int, int, int, int*, int, int, int))     \
    X(void, GDALGetBlockSize, (GDALRasterBandH, int*, int*))                                       \
    X(int, GDALGetRasterBandXSize, (GDALRasterBandH))                                              \
    X(int, GDALGetRasterBandYSize, (GDALRasterBandH))                                              \
    X(int, GDALGetOverviewCount, (GDALRasterBandH))                                                \
    X(GDALRasterBandH, GDALGetOverview, (GDALRasterBandH, int))                                    \
    X(int, GDALGetRasterColorInterpretation, (GDALRasterBandH))                                    \
    X(GDALColorTableH, GDALGetRasterColorTable, (GDALRasterBandH))                                 \
    X(int, GDALGetColorEntryCount, (GDALColorTableH))                                              \
    X(int, GDALGetColorEntryAsRGB, (GDALColorTableH, int, GDALColorEntry*))                        \
    X(long long, GDALGetCacheMax64, ())                                                            \
    X(void, GDALSetCacheMax64, (long long))                                                        \
    X(void, CPLPushErrorHandler, (CPLErrorHandler))                                                \
    X(void, CPLPopErrorHandler, ())                                                                \
    X(void, CPLQuietErrorHandler, (int, int, const char*))                                         \
    X(void, CPLErrorReset, ())                                                                     \
    X(const char*, CPLGetLastErrorMsg, ())                                                         \
    X(void, CPLSetConfigOption, (const char*, const char*))                                        \
    X(const char*, CPLGetConfigOption, (const char*, const char*))                                 \
    X(void, CPLHTTPSetFetchCallback, (CPLHTTPFetchCallbackFunc, void*))                            \
    X(void*, CPLCalloc, (size_t, size_t))                                                          \
    X(char*, CPLStrdup, (const char*))                                                             \
    X(void, CSLDestroy, (char**))

#define TESSARY_GDAL_DECLARE(type, name, params) extern type(*name) params;
TESSARY_GDAL_CALLS(TESSARY_GDAL_DECLARE)
#undef TESSARY_GDAL_DECLARE

// Finds and binds GDAL on the first call (later calls give the first
// outcome). Null when every call above is bound; otherwise why not, as a
// person reads it ("no GDAL library found (looked for ...)"). The library
// named by the environment variable TESSARY_GDAL_LIBRARY (a file name or a
// path) is the only one tried when it is set; otherwise GDAL 3's names, in
// the places the system looks for libraries (on Windows also the program's
// folder).
const char* GdalUnavailable();

}  // namespace tessary::gdalplug
