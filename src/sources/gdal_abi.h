/* The GDAL library's open call. The library also carries the view calls of
   the ECW decoding library (sources/ecw_abi.h) for the views it opens. Plain
   C, shared by the reader and by the library built from plugins/ecw. */
#ifndef TESSARY_SOURCES_GDAL_ABI_H
#define TESSARY_SOURCES_GDAL_ABI_H

#include <stdint.h>

#include "sources/ecw_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GDAL_OPEN_VIEW "TessaryGdalOpenView"
/* Optional, in every library built over GDAL (also the ECW and MrSID ones):
   why the library cannot read anything where it runs (no GDAL 3 library
   found, or one without a call it makes), or "" when it can. A library
   that gives a reason is treated as missing. */
#define GDAL_UNAVAILABLE "TessaryGdalUnavailable"
typedef const char* (*GdalUnavailableFn)(void);

/* Opens a view of a file through one of `drivers` only (GDAL's short driver
   names, a null-terminated list), with GDAL's open options `options`
   ("DPI=300"; a null-terminated list, or null). `format` names the format in
   the reasons the library gives. 0 on success. */
typedef int32_t (*GdalOpenViewFn)(const char* path, const char* format, const char* const* drivers,
                                  const char* const* options, EcwFileView** view);

#ifdef __cplusplus
}
#endif

#endif
