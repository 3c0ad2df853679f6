/* The calls of the ECW decoding library that the ECW reader binds at run
   time. Plain C, shared by the reader and by the library built in
   plugins/ecw. Every call gives 0 on success. */
#ifndef TESSARY_SOURCES_ECW_ABI_H
#define TESSARY_SOURCES_ECW_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct EcwFileView EcwFileView;

/* What the library tells about the file of a view. The reader relies on the
   first three fields; the rest belongs to the library. */
typedef struct EcwViewFileInfo {
    uint32_t width;
    uint32_t height;
    uint16_t bands;
    uint16_t reserved;
} EcwViewFileInfo;

/* The library's names, looked up by the reader. */
#define ECW_OPEN_FILE_VIEW "NCScbmOpenFileView"
#define ECW_GET_VIEW_FILE_INFO "NCScbmGetViewFileInfo"
#define ECW_SET_FILE_VIEW "NCScbmSetFileView"
#define ECW_READ_VIEW_LINE_BGR "NCScbmReadViewLineBGR"
#define ECW_READ_VIEW_LINE_RGB "NCScbmReadViewLineRGB"
#define ECW_CLOSE_FILE_VIEW "NCScbmCloseFileView"
#define ECW_CLOSE_FILE_VIEW_EX "NCScbmCloseFileViewEx"
/* Optional: a library may also tell why its last call on this thread failed.
   The reader works without it, giving its own text instead. */
#define ECW_LAST_ERROR "TessaryEcwLastError"

/* Opens a view of a file. The refresh callback is not used and may be null. */
typedef int32_t (*EcwOpenFileViewFn)(const char* path, EcwFileView** view, void* refreshCallback);
/* Gives the file information of a view; it lives as long as the view. */
typedef int32_t (*EcwGetViewFileInfoFn)(EcwFileView* view, EcwViewFileInfo** info);
/* Sets the rectangle (inclusive image coordinates) and the output size that
   the following line reads deliver, top line first. */
typedef int32_t (*EcwSetFileViewFn)(EcwFileView* view, uint32_t bandCount, const uint32_t* bandList,
                                    uint32_t left, uint32_t top, uint32_t right, uint32_t bottom,
                                    uint32_t outputWidth, uint32_t outputHeight);
/* Delivers the next line of the view: output width x 3 bytes. */
typedef int32_t (*EcwReadViewLineFn)(EcwFileView* view, uint8_t* line);
typedef int32_t (*EcwCloseFileViewFn)(EcwFileView* view);
/* Closes a view; a non-zero flag also frees the library's cache of the file. */
typedef int32_t (*EcwCloseFileViewExFn)(EcwFileView* view, int32_t freeCachedFile);
/* Why the last call of this thread failed, as a person reads it; "" after a
   success. The text lives until the thread's next call. */
typedef const char* (*EcwLastErrorFn)(void);

#ifdef __cplusplus
}
#endif

#endif
