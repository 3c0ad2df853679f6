// Compile-time check of plugins/common/gdal_calls.h against the GDAL headers
// installed where the project is built, when there are any: every call's
// return and parameter types (pointers as pointers, GDAL's enumerations as
// int, integers of the same size and sign), the structs' layouts and the
// values of the constants. Built as an object library; nothing runs.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_http.h>
#include <cpl_string.h>
#include <gdal.h>

#include <cstddef>
#include <type_traits>

// Our own names for these two flags are constants, not macros.
constexpr unsigned kRaster = GDAL_OF_RASTER, kReadOnly = GDAL_OF_READONLY;
#undef GDAL_OF_RASTER
#undef GDAL_OF_READONLY
namespace mine {
#include "gdal_calls.h"
}

namespace {

namespace g = mine::tessary::gdalplug;

#define OFF(T, m) static_assert(offsetof(::T, m) == offsetof(mine::tessary::gdalplug::T, m), #m);
OFF(CPLHTTPResult, nStatus)
OFF(CPLHTTPResult, pszContentType) OFF(CPLHTTPResult, pszErrBuf) OFF(CPLHTTPResult, nDataLen)
    OFF(CPLHTTPResult, nDataAlloc) OFF(CPLHTTPResult, pabyData) OFF(CPLHTTPResult, papszHeaders)
        OFF(CPLHTTPResult, nMimePartCount)
            OFF(CPLHTTPResult, pasMimePart) static_assert(sizeof(::CPLHTTPResult) ==
                                                          sizeof(mine::tessary::gdalplug::CPLHTTPResult));
static_assert(sizeof(::GDALColorEntry) == sizeof(mine::tessary::gdalplug::GDALColorEntry));
OFF(GDALColorEntry, c1)
OFF(GDALColorEntry,
    c3) static_assert(g::CE_None == ::CE_None && g::GF_Read == ::GF_Read && g::GDT_Byte == ::GDT_Byte);
static_assert(g::GCI_PaletteIndex == ::GCI_PaletteIndex && g::GCI_RedBand == ::GCI_RedBand &&
              g::GCI_GreenBand == ::GCI_GreenBand && g::GCI_BlueBand == ::GCI_BlueBand &&
              g::GCI_AlphaBand == ::GCI_AlphaBand);
static_assert(g::GDAL_OF_RASTER == kRaster && g::GDAL_OF_READONLY == kReadOnly);
static_assert(sizeof(GIntBig) == sizeof(long long));
// A parameter or return type as GDAL declares it (A) and as we do (B).
template <class A, class B>
constexpr bool Same() {
    if constexpr (std::is_same_v<A, B>)
        return true;
    else if constexpr (std::is_enum_v<A>)
        return std::is_same_v<B, int> && sizeof(A) == sizeof(int);
    else if constexpr (std::is_pointer_v<A>)
        return std::is_pointer_v<B>;
    else if constexpr (std::is_integral_v<A> && std::is_integral_v<B>)
        return sizeof(A) == sizeof(B) && std::is_signed_v<A> == std::is_signed_v<B>;
    else
        return false;
}
template <class RA, class... A, class RB, class... B>
constexpr bool Match(RA (*)(A...), RB (*)(B...)) {
    if constexpr (sizeof...(A) != sizeof...(B))
        return false;
    else
        return Same<RA, RB>() && (Same<A, B>() && ...);
}
#define CHECK(type, name, params) \
    static_assert(Match(&::name, static_cast<decltype(g::name)>(nullptr)), #name);
TESSARY_GDAL_CALLS(CHECK)

}  // namespace
