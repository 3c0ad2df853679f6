/* The chart tile library's C interface.
 *
 * Header charts (".hdr") keep their 640 x 480, 16-colour tiles in PCX files
 * named after the header: the header's name, a dot, a capital letter for the
 * tile column (A for column 0) and a two-digit tile row counted from 1
 * ("chart.A01", "chart.C02", "chart.A10"). The tiles sit beside the header,
 * or else in the folder named after the chart beside the header's parent
 * folder (the header's folder path with its last 8 characters cut, then the
 * chart's name).
 *
 * Tiles are handed over in memory blocks owned by the library: a block handle
 * is never null when a block is given; ChartBlockLock gives the block's bytes,
 * ChartBlockSize their number, and ChartBlockFree releases the block (null is
 * ignored). Blocks must be released with ChartBlockFree, never with free().
 *
 * RML charts keep their tiles inside one file whose layout has no public
 * description; this library reports 0 tiles for them and gives no tiles.
 */
#ifndef TESSARY_CHART_TILES_API_H
#define TESSARY_CHART_TILES_API_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(tessary_charttiles_EXPORTS)
#define CHART_TILES_API __declspec(dllexport)
#else
#define CHART_TILES_API __declspec(dllimport)
#endif
#else
#define CHART_TILES_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ChartBlock* ChartBlockHandle;

/* Bytes of one tile's pixels: 480 rows of 320 bytes (two 4-bit pixels a
 * byte, the left one in the high half), bottom row first. */
#define CHART_TILE_PIXEL_BYTES (480 * 320)
/* Bytes before the pixels in a tile from GetRMLdib: a 40-byte bitmap header
 * and 16 colour entries of blue, green, red, reserved. */
#define CHART_TILE_DIB_HEADER_BYTES 104

/* Tile columns and rows of a header chart, from the tile files present; 0
 * when there are none. The path is the header file's. */
CHART_TILES_API int16_t GetPCXXtiles(const char* headerPath);
CHART_TILES_API int16_t GetPCXYtiles(const char* headerPath);

/* Tile columns and rows of an RML chart: always 0 (see above). */
CHART_TILES_API int16_t GetXtiles(const char* rmlPath);
CHART_TILES_API int16_t GetYtiles(const char* rmlPath);

/* Fills a 68-byte block with 16 entries of red, green, blue and a spare
 * byte, the first 4 bytes into the block. Gives 0 and leaves the block alone
 * when the file's palette cannot be read (always, for now). */
CHART_TILES_API int32_t GetRMLpalette(const char* rmlPath, uint8_t* block);

/* One tile of an RML chart (column and row from 1) as a 104-byte header
 * followed by the tile's pixels; null when it cannot be delivered (always,
 * for now). */
CHART_TILES_API ChartBlockHandle GetRMLdib(const char* rmlPath, int16_t column, int16_t row);

/* The pixels of one PCX tile file (CHART_TILE_PIXEL_BYTES bytes); null for a
 * missing, truncated or malformed file, or a tile that is not 640 x 480 with
 * 16 colours (4 planes of 1 bit, or 1 plane of 4 bits; run-length encoded or
 * raw). */
CHART_TILES_API ChartBlockHandle Pcx2Dib(const char* pcxPath);

/* Why the last Pcx2Dib of this thread gave no tile ("the pixel data ends
 * early"); "" after a tile. Optional for readers: the text lives until the
 * thread's next call. */
CHART_TILES_API const char* ChartTilesLastError(void);

CHART_TILES_API void* ChartBlockLock(ChartBlockHandle block);
CHART_TILES_API size_t ChartBlockSize(ChartBlockHandle block);
CHART_TILES_API void ChartBlockFree(ChartBlockHandle block);

#ifdef __cplusplus
}
#endif

#endif
