/* The exports of the MrSID library that the MrSID reader binds at run time.
   Plain C, shared by the reader and by the library built in plugins/mrsid.
   The library holds one open image at a time: the strip and close calls name
   no file. */
#ifndef TESSARY_SOURCES_MRSID_ABI_H
#define TESSARY_SOURCES_MRSID_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A device-independent bitmap handed over by the library. Rows are padded
   to a multiple of 4 bytes in memory; rowBytes is the unpadded row length.
   When bottomUp is non-zero the first row in memory is the bottom row of
   the image. The receiver releases the bitmap with its release function. */
typedef struct MrSidBitmap {
    int32_t width;
    int32_t height;
    int32_t bitsPerPixel;
    int32_t rowBytes;
    int32_t bottomUp;
    uint8_t* bits;
    void (*release)(struct MrSidBitmap* bitmap);
} MrSidBitmap;

#define MRSID_OPEN "_OpenMrSid"
#define MRSID_GET_INFO "_GetMrSidInfo"
#define MRSID_LOAD_STRIP "_LoadMrSidStrip"
#define MRSID_LOAD_IMAGE "_LoadMrSidImage"
#define MRSID_CLOSE "_CloseMrSid"
/* Optional: a library may also tell why its last call on this thread failed.
   The reader works without it, giving its own text instead. */
#define MRSID_LAST_ERROR "TessaryMrSidLastError"

/* Opens the library's image; gives a non-zero handle and fills width and
   height, or gives 0. An image that was open is closed first. */
typedef uint32_t (*MrSidOpenFn)(const char* path, int32_t* width, int32_t* height);
/* Fills width and height of a file without touching the open image. Gives 0
   on success. */
typedef int32_t (*MrSidGetInfoFn)(const char* path, int32_t* width, int32_t* height);
/* A 24-bit bitmap of the rectangle (left, top, width, height) of the open
   image at full resolution (level 0), or null. */
typedef MrSidBitmap* (*MrSidLoadStripFn)(int32_t left, int32_t top, int32_t width, int32_t height,
                                         int32_t level);
/* A 24-bit bitmap of the whole image of a file at a level (0: full
   resolution; level n: each side divided by 2^n), or null. */
typedef MrSidBitmap* (*MrSidLoadImageFn)(const char* path, int32_t level);
typedef void (*MrSidCloseFn)(void);
/* Why the last call of this thread failed, as a person reads it; "" after a
   success. The text lives until the thread's next call. */
typedef const char* (*MrSidLastErrorFn)(void);

#ifdef __cplusplus
}
#endif

#endif
