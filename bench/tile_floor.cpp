// The floor of an RPX2 conversion: the time zlib needs, at level 9 on one
// thread, to deflate the level-0 tiles of a finished RPX2 file again. The
// tiles are inflated first (not timed); the output line reads
//
//   deflate seconds <wall> cpu <cpu seconds> bytes <total compressed> tiles <count>
//
//   tessary_tile_floor FILE.rpx2
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/le.h"
#include "rpx/rpx_layout.h"

using namespace tessary;
using namespace tessary::rpx;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessary_tile_floor FILE.rpx2\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fail = [](const char* what) {
        std::fprintf(stderr, "%s\n", what);
        return 1;
    };
    if (file.size() < 100) return fail("file too short");
    const uint32_t table = ReadU32LE(file.data() + file.size() - 4);
    if (uint64_t(table) + 4 > file.size()) return fail("bad level table position");
    const uint32_t level0 = ReadU32LE(file.data() + table);
    if (uint64_t(level0) + kLevelHeaderFixedBytes > file.size()) return fail("bad level position");
    const uint8_t* header = file.data() + level0;
    const int tx = ReadU16LE(header + kLevelOffTilesAcross);
    const int ty = ReadU16LE(header + kLevelOffTilesDown);
    const size_t count = size_t(tx) * size_t(ty);
    if (uint64_t(level0) + kLevelOffPositions + 4 * (count + 1) > file.size()) return fail("bad tile table");

    std::vector<uint8_t> tiles(count * kTileBytes);
    for (size_t k = 0; k < count; ++k) {
        const uint32_t start = ReadU32LE(header + kLevelOffPositions + 4 * k);
        const uint32_t end = ReadU32LE(header + kLevelOffPositions + 4 * (k + 1));
        if (end < start || end > file.size()) return fail("bad tile position");
        uLongf size = kTileBytes;
        if (uncompress(tiles.data() + k * kTileBytes, &size, file.data() + start, end - start) != Z_OK ||
            size != uLongf(kTileBytes))
            return fail("bad tile stream");
    }

    std::vector<uint8_t> out(compressBound(kTileBytes));
    z_stream zs{};
    if (deflateInit(&zs, 9) != Z_OK) return fail("deflateInit");
    uint64_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    for (size_t k = 0; k < count; ++k) {
        deflateReset(&zs);
        zs.next_in = tiles.data() + k * kTileBytes;
        zs.avail_in = kTileBytes;
        zs.next_out = out.data();
        zs.avail_out = uInt(out.size());
        if (deflate(&zs, Z_FINISH) != Z_STREAM_END) return fail("deflate");
        total += zs.total_out;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    deflateEnd(&zs);
    std::printf("deflate seconds %.3f cpu %.3f bytes %llu tiles %zu\n", seconds, cpu, (unsigned long long)total,
                count);
    return 0;
}
