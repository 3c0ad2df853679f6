// The guard against decompression bombs. A header can state any size, but a
// coder can only expand its input so far: a size beyond what the file's bytes
// can decode to is a bomb or garbage, and is refused before anything is
// allocated for it. Each reader states what it counts (bytes, pixels, rows)
// and refuses with its own words; the limits themselves live here.
#pragma once

#include <cstdint>
#include <limits>

namespace tessary {

// At most `units` decoded units for every `perBytes` whole stored bytes, plus
// `floor` units that any file may reach (headers, tables, tiny files).
struct ExpansionLimit {
    uint64_t units;
    uint64_t perBytes;
    uint64_t floor;

    // The most a file of `fileBytes` can decode to; saturates instead of
    // wrapping, so that no file size makes the guard let everything through.
    constexpr uint64_t MostFor(uint64_t fileBytes) const {
        const uint64_t whole = fileBytes / perBytes;
        constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
        if (units != 0 && whole > (kMax - floor) / units) return kMax;
        return whole * units + floor;
    }
    // Whether `promised` units can come out of a file of `fileBytes`.
    constexpr bool Allows(uint64_t fileBytes, uint64_t promised) const { return promised <= MostFor(fileBytes); }
};

// Deflate expands by about 1032 to 1 at the most (PNG: bytes of the filtered
// rows).
inline constexpr ExpansionLimit kDeflateExpansion{1100, 1, 65536};
// LZW codes are at least 2 bits wide and stand for at most 4096 pixels: at
// most 16384 pixels a byte (GIF).
inline constexpr ExpansionLimit kLzwExpansion{16384, 1, 65536};
// Run-length runs encode at most 255 pixels in two bytes, so a larger ratio
// only comes from hostile skip commands (BMP: bytes of the picture).
inline constexpr ExpansionLimit kRleExpansion{256, 1, uint64_t(1) << 20};
// Huffman-coded JPEG data spends at least a bit on each 8 x 8 block's DC
// difference, and a sequential file at least one more on its AC coefficients
// (JPEG: blocks of all components; arithmetic coding has no such floor).
inline constexpr ExpansionLimit kJpegSequentialBlocks{4, 1, 0};
inline constexpr ExpansionLimit kJpegProgressiveBlocks{8, 1, 0};
// Every row of a chart's run-length data takes at least two bytes (BSB: rows).
inline constexpr ExpansionLimit kChartRowExpansion{1, 2, 0};

}  // namespace tessary
