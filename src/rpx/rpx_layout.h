// The byte layout of RPX2 files and of the legacy row-based RPX files, in one
// place. All integers are little-endian; every position stored in a file is
// an absolute byte offset from its start, as a u32.
//
// RPX2 file, front to back (written in one pass, never patched):
//   0     file header (14 bytes)
//   14    image information block (40 bytes, BITMAPINFOHEADER layout)
//   54    marker 0x7777, 0x7777
//   58    i16 zoom count: N - 2 (N levels; the last two are the previews)
//   60    f32 x N: scale of each level in percent, 100.0 first
//         level 0 .. level N-1, back to back, each:
//           marker 0x7777, 0x7777
//           TX x TY tiles, top tile row first, each row left to right; one
//           zlib stream per tile inflating to 4096 bytes of palette indices,
//           the tile's bottom line first; pixels outside the level hold the
//           background index (the entry nearest to white)
//           level header: i32 width, i32 height, i16 TX, i16 TY,
//           1024-byte palette, u32 x (TX x TY) tile positions, u32 end
//           position (= position of this level header)
//   end - 4 x (N + 1)   level table: u32 x N level header positions
//   end - 4             u32 position of the level table
//   TX = width div 64 + 1, TY = height div 64 + 1 (quotient plus one).
//
// Legacy RPX file (read only):
//   0     file header with magic 0x7777; the compression flag applies to rows
//   14    image information block; 1, 4 or 8 bits per pixel
//   54    palette (1024 bytes)
//   1078  one stored row per image line, top line first (zlib streams when
//         the compression flag is 1, raw bytes otherwise)
//         row table: u32 x (height + 1), row positions then the end of rows
//   end - 4  u32 position of the row table
#pragma once

#include <cstdint>

namespace tessary::rpx {

inline constexpr uint16_t kRpx2Magic = 0x7778;
inline constexpr uint16_t kRpxMagic = 0x7777;
inline constexpr uint16_t kMarkerWord = 0x7777;

inline constexpr int kTileEdge = 64;
inline constexpr int kTileBytes = kTileEdge * kTileEdge;
inline constexpr uint16_t kCompressedFlag = 1;
inline constexpr uint32_t kHeaderConstant = 1078;
inline constexpr int kPaletteBytes = 1024;

// File header.
inline constexpr int kFileHeaderSize = 14;
inline constexpr int kOffMagic = 0;            // u16
inline constexpr int kOffChartFlag = 2;        // u32, 1 for chart sources
inline constexpr int kOffTileEdge = 6;         // u16
inline constexpr int kOffCompression = 8;      // u16
inline constexpr int kOffHeaderConstant = 10;  // u32, 1078

// Image information block, offsets from its start (file offset 14).
inline constexpr int kInfoBlockStart = kFileHeaderSize;
inline constexpr int kInfoBlockSize = 40;
inline constexpr int kInfoOffSize = 0;              // u32, 40
inline constexpr int kInfoOffWidth = 4;             // i32
inline constexpr int kInfoOffHeight = 8;            // i32
inline constexpr int kInfoOffPlanes = 12;           // u16, 1
inline constexpr int kInfoOffBitCount = 14;         // u16, 8
inline constexpr int kInfoOffCompression = 16;      // u32, 0
inline constexpr int kInfoOffImageSize = 20;        // u32, width x height
inline constexpr int kInfoOffXResolution = 24;      // i32, 0
inline constexpr int kInfoOffYResolution = 28;      // i32, 0
inline constexpr int kInfoOffColoursUsed = 32;       // u32, 256
inline constexpr int kInfoOffColoursImportant = 36;  // u32, 256

// After the information block.
inline constexpr int kImageHeadSize = kFileHeaderSize + kInfoBlockSize;  // 54
inline constexpr int kOffMarker = 54;                                    // u16 x 2 (RPX2)
inline constexpr int kOffZoomCount = 58;                                 // i16 (RPX2)
inline constexpr int kOffScaleList = 60;                                 // f32 x N (RPX2)
inline constexpr int kOffLegacyPalette = 54;                             // 1024 bytes (RPX)
inline constexpr int kLegacyHeadSize = kImageHeadSize + kPaletteBytes;   // 1078

// Level header: i32 width, i32 height, i16 TX, i16 TY, palette; then the
// tile positions and the end position.
inline constexpr int kLevelMarkerSize = 4;
inline constexpr int kLevelOffWidth = 0;
inline constexpr int kLevelOffHeight = 4;
inline constexpr int kLevelOffTilesAcross = 8;
inline constexpr int kLevelOffTilesDown = 10;
inline constexpr int kLevelOffPalette = 12;
inline constexpr int kLevelOffPositions = kLevelOffPalette + kPaletteBytes;  // 1036
// The fixed fields plus the end position: 4 + 4 + 2 + 2 + 1024 + 4.
inline constexpr int kLevelHeaderFixedBytes = kLevelOffPositions + 4;  // 1040

// The largest value a stored position can hold.
inline constexpr uint64_t kMaxFilePosition = 0xFFFFFFFFull;

// Tiles across or down for a level side: the quotient plus one, so a side
// that is an exact multiple of 64 gets one extra tile of background.
inline constexpr int64_t TilesFor(int64_t side) {
    return side / kTileEdge + 1;
}

}  // namespace tessary::rpx
