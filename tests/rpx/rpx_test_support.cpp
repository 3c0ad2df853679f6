#include "rpx/rpx_test_support.h"

#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "common/file.h"
#include "engine/source_rows.h"
#include "raster/scratch_raster.h"
#include "rpx/rpx2_writer.h"
#include "sources/source_image.h"

namespace tessary::rpxtest {

namespace fs = std::filesystem;

// ---- little helpers (independent of the code under test) ---------------------

namespace {

uint16_t U16(const Bytes& b, size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}
uint32_t U32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
           (uint32_t(b[at + 3]) << 24);
}
void Put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void PutPalette(Bytes& b, const Palette& p) {
    for (const PaletteEntry& e : p) {
        b.push_back(e.blue);
        b.push_back(e.green);
        b.push_back(e.red);
        b.push_back(e.reserved);
    }
}

// Inflates [begin, end) and demands one stream that uses every byte and
// gives exactly `expected` bytes.
bool InflateExactly(const uint8_t* data, size_t size, size_t expected, Bytes& out) {
    out.assign(expected + 1, 0);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int rc = inflate(&zs, Z_FINISH);
    bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == expected;
    inflateEnd(&zs);
    out.resize(expected);
    return ok;
}

}  // namespace

Bytes Deflate(const Bytes& data) {
    uLongf size = compressBound(uLong(data.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, data.data(), uLong(data.size()), 9) != Z_OK) std::abort();
    out.resize(size);
    return out;
}

Raster MakeRaster(int width, int height, const Palette& palette,
                  const std::function<uint8_t(int, int)>& pixel) {
    Raster r;
    r.width = width;
    r.height = height;
    r.palette = palette;
    r.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) r.pixels[size_t(y) * size_t(width) + size_t(x)] = pixel(x, y);
    return r;
}

Palette TestPalette(int colours, uint32_t seed, bool withWhite) {
    std::mt19937 rng(seed);
    Palette p{};
    for (int i = 0; i < colours; ++i) {
        p[size_t(i)] = {uint8_t(rng() % 250), uint8_t(rng() % 250), uint8_t(rng() % 250),
                        uint8_t(1 + rng() % 200)};
    }
    if (withWhite && colours > 2) p[size_t(colours / 2)] = {255, 255, 255, 9};
    return p;
}

Raster RandomRaster(int width, int height, int colours, uint32_t seed, bool withWhite) {
    std::mt19937 rng(seed);
    Palette palette = TestPalette(colours, seed + 1, withWhite);
    uint8_t current = 0;
    return MakeRaster(width, height, palette, [&](int, int) {
        if (rng() % 5 == 0) current = uint8_t(rng() % uint32_t(colours));
        return current;
    });
}

void RecordingProgress::SetStatus(int slot, std::string_view text) {
    if (slot == 2) texts.emplace_back(text);
}

void RecordingProgress::PumpEvents() {
    ++pumps;
    if (pumps == abortAtPump) abort = true;
}

ScaleList ScalesFor(const std::vector<float>& used) {
    ScaleList list;
    list.fill(-1.0f);
    for (size_t i = 0; i < used.size(); ++i) list[i] = used[i];
    return list;
}

void WriteRpx2File(const std::string& path, const TempFolder& temp, const std::vector<Raster>& levels,
                   const ScaleList& scales, bool chartSource, const RunContext& context) {
    Rpx2Writer writer(CheckedFile(path, CheckedFile::Mode::Create), context);
    WriteRpx2Header(writer, levels[0].width, levels[0].height, chartSource, scales);
    for (size_t i = 0; i < levels.size(); ++i) {
        const Raster& r = levels[i];
        std::string scratch = temp.Path("rpx_" + std::to_string(i) + ".rpx0");
        {
            ScratchRasterWriter sw(scratch, r.width, r.height, r.palette);
            for (int y = 0; y < r.height; ++y) sw.AppendRow(r.pixels.data() + size_t(y) * size_t(r.width));
            sw.Finish();
        }
        AddEngineSourceRows();
        SourceHandle source = OpenSourceImageOrNull(scratch);
        ASSERT_TRUE(source) << scratch;
        ASSERT_TRUE(WriteRpx2Level(writer, *source));
    }
    WriteRpx2Trailer(writer);
    writer.Close();
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint8_t NearestToWhite(const Palette& palette) {
    int best = 0, bestDistance = 1 << 30;
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[size_t(i)];
        int d = (255 - e.blue) + (255 - e.green) + (255 - e.red);
        if (d < bestDistance) bestDistance = d, best = i;
    }
    return uint8_t(best);
}

// ---- the strict layout check ----------------------------------------------------

::testing::AssertionResult CheckRpx2Layout(const Bytes& file, bool chartSource,
                                           const std::vector<float>& scales,
                                           const std::vector<Raster>& levels) {
    using ::testing::AssertionFailure;
    const size_t n = levels.size();
    if (scales.size() != n) return AssertionFailure() << "the test names " << scales.size() << " scales";
    const size_t size = file.size();
    if (size < 60 + 8 * n + 4) return AssertionFailure() << "file of " << size << " bytes is too short";

    const Raster& full = levels[0];
    struct Field {
        size_t at;
        int bytes;
        uint32_t want;
        const char* name;
    };
    const Field fields[] = {
        {0, 2, 0x7778, "magic"},
        {2, 4, chartSource ? 1u : 0u, "chart flag"},
        {6, 2, 64, "tile edge"},
        {8, 2, 1, "compression flag"},
        {10, 4, 1078, "constant"},
        {14, 4, 40, "block size"},
        {18, 4, uint32_t(full.width), "width"},
        {22, 4, uint32_t(full.height), "height"},
        {26, 2, 1, "planes"},
        {28, 2, 8, "bits per pixel"},
        {30, 4, 0, "compression"},
        {34, 4, uint32_t(full.width) * uint32_t(full.height), "image size"},
        {38, 4, 0, "x resolution"},
        {42, 4, 0, "y resolution"},
        {46, 4, 256, "colours used"},
        {50, 4, 256, "important colours"},
        {54, 2, 0x7777, "first marker word"},
        {56, 2, 0x7777, "second marker word"},
        {58, 2, uint32_t(uint16_t(int16_t(n - 2))), "zoom count"},
    };
    for (const Field& f : fields) {
        uint32_t got = f.bytes == 2 ? U16(file, f.at) : U32(file, f.at);
        if (got != f.want)
            return AssertionFailure() << f.name << " at " << f.at << " is " << got << ", not " << f.want;
    }
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &scales[i], 4);
        if (U32(file, 60 + 4 * i) != bits) return AssertionFailure() << "scale " << i << " differs";
    }

    const uint32_t table = U32(file, size - 4);
    if (uint64_t(table) + 4 * n + 4 != size)
        return AssertionFailure() << "level table at " << table << " does not end 4 bytes before the end";
    if (table != size - 4 * (n + 1)) return AssertionFailure() << "final u32 is not size - 4 x (levels + 1)";

    size_t pos = 60 + 4 * n;
    Bytes tile;
    for (size_t i = 0; i < n; ++i) {
        const Raster& level = levels[i];
        if (pos + 4 > size) return AssertionFailure() << "level " << i << " starts beyond the file";
        if (U16(file, pos) != 0x7777 || U16(file, pos + 2) != 0x7777)
            return AssertionFailure() << "level " << i << " lacks its marker at " << pos;
        const uint32_t header = U32(file, table + 4 * i);
        if (header + 1040ull > table)
            return AssertionFailure() << "level " << i << " header beyond the table";
        const int tx = level.width / 64 + 1, ty = level.height / 64 + 1;
        if (int32_t(U32(file, header)) != level.width || int32_t(U32(file, header + 4)) != level.height)
            return AssertionFailure() << "level " << i << " size differs";
        if (U16(file, header + 8) != tx || U16(file, header + 10) != ty)
            return AssertionFailure() << "level " << i << " TX/TY " << U16(file, header + 8) << "/"
                                      << U16(file, header + 10) << ", not " << tx << "/" << ty;
        Bytes palette;
        PutPalette(palette, level.palette);
        if (std::memcmp(file.data() + header + 12, palette.data(), 1024) != 0)
            return AssertionFailure() << "level " << i << " palette differs";
        const size_t tiles = size_t(tx) * size_t(ty);
        const size_t positions = header + 1036;
        if (positions + 4 * (tiles + 1) > table)
            return AssertionFailure() << "level " << i << " positions overrun";
        if (U32(file, positions + 4 * tiles) != header)
            return AssertionFailure() << "level " << i << " end position is not its header position";
        if (U32(file, positions) != pos + 4)
            return AssertionFailure() << "level " << i << " first tile does not follow the marker";
        const uint8_t background = NearestToWhite(level.palette);
        for (size_t k = 0; k < tiles; ++k) {
            uint32_t begin = U32(file, positions + 4 * k), end = U32(file, positions + 4 * (k + 1));
            if (end <= begin || end > header)
                return AssertionFailure() << "level " << i << " tile " << k << " range";
            if (!InflateExactly(file.data() + begin, end - begin, 4096, tile))
                return AssertionFailure()
                       << "level " << i << " tile " << k << " is not one stream of 4096 bytes";
            const int r = int(k) / tx, c = int(k) % tx;
            for (int j = 0; j < 64; ++j) {
                const int line = 64 * r + 63 - j;
                for (int x = 0; x < 64; ++x) {
                    const int column = 64 * c + x;
                    const bool inside = line < level.height && column < level.width;
                    const uint8_t want = inside ? level.At(column, line) : background;
                    if (tile[size_t(j) * 64 + size_t(x)] != want)
                        return AssertionFailure()
                               << "level " << i << " pixel (" << column << ", " << line << ") in tile " << k
                               << " is " << int(tile[size_t(j) * 64 + x]) << ", not " << int(want)
                               << (inside ? "" : " (background)");
                }
            }
        }
        pos = header + 1040 + 4 * tiles;
    }
    if (pos != table) return AssertionFailure() << "the level table does not follow the last level";
    return ::testing::AssertionSuccess();
}

// ---- files from parts --------------------------------------------------------------

LevelParts PartsOf(const Raster& raster) {
    LevelParts parts;
    parts.width = raster.width;
    parts.height = raster.height;
    parts.tilesAcross = raster.width / 64 + 1;
    parts.tilesDown = raster.height / 64 + 1;
    parts.palette = raster.palette;
    const uint8_t background = NearestToWhite(raster.palette);
    for (int r = 0; r < parts.tilesDown; ++r)
        for (int c = 0; c < parts.tilesAcross; ++c) {
            Bytes tile(4096, background);
            for (int j = 0; j < 64; ++j)
                for (int x = 0; x < 64; ++x) {
                    int line = 64 * r + 63 - j, column = 64 * c + x;
                    if (line < raster.height && column < raster.width)
                        tile[size_t(j) * 64 + x] = raster.At(column, line);
                }
            parts.tiles.push_back(Deflate(tile));
        }
    return parts;
}

Bytes BuildRpx2(int width, int height, const std::vector<LevelParts>& levels, uint16_t compression) {
    Bytes b;
    Put16(b, 0x7778);
    Put32(b, 0);
    Put16(b, 64);
    Put16(b, compression);
    Put32(b, 1078);
    for (uint32_t v : {40u, uint32_t(width), uint32_t(height)}) Put32(b, v);
    Put16(b, 1);
    Put16(b, 8);
    for (uint32_t v : {0u, uint32_t(width) * uint32_t(height), 0u, 0u, 256u, 256u}) Put32(b, v);
    Put16(b, 0x7777);
    Put16(b, 0x7777);
    Put16(b, uint16_t(levels.size() - 2));
    for (const LevelParts& l : levels) {
        float scale = float(100.0 * l.width / width);
        uint32_t bits;
        std::memcpy(&bits, &scale, 4);
        Put32(b, bits);
    }
    std::vector<uint32_t> headers;
    for (const LevelParts& l : levels) {
        Put16(b, 0x7777);
        Put16(b, 0x7777);
        std::vector<uint32_t> positions;
        for (const Bytes& tile : l.tiles) {
            positions.push_back(uint32_t(b.size()));
            b.insert(b.end(), tile.begin(), tile.end());
        }
        headers.push_back(uint32_t(b.size()));
        Put32(b, uint32_t(l.width));
        Put32(b, uint32_t(l.height));
        Put16(b, uint16_t(l.tilesAcross));
        Put16(b, uint16_t(l.tilesDown));
        PutPalette(b, l.palette);
        for (uint32_t p : positions) Put32(b, p);
        Put32(b, headers.back());
    }
    uint32_t table = uint32_t(b.size());
    for (uint32_t h : headers) Put32(b, h);
    Put32(b, table);
    return b;
}

Bytes PackRow(const Raster& raster, int y, int bitsPerPixel) {
    const int perByte = 8 / bitsPerPixel;
    Bytes row(size_t((raster.width * bitsPerPixel + 7) / 8), 0);
    for (int x = 0; x < raster.width; ++x) {
        int shift = 8 - bitsPerPixel * (x % perByte + 1);
        row[size_t(x / perByte)] |= uint8_t((raster.At(x, y) & ((1 << bitsPerPixel) - 1)) << shift);
    }
    return row;
}

Bytes BuildLegacyRpx(const Raster& raster, int bitsPerPixel, bool compressed, std::vector<Bytes> rows) {
    if (rows.empty())
        for (int y = 0; y < raster.height; ++y) {
            Bytes packed = PackRow(raster, y, bitsPerPixel);
            rows.push_back(compressed ? Deflate(packed) : packed);
        }
    Bytes b;
    Put16(b, 0x7777);
    Put32(b, 0);
    Put16(b, 0);
    Put16(b, compressed ? 1 : 0);
    Put32(b, 1078);
    const uint32_t rowBytes = uint32_t((raster.width * bitsPerPixel + 7) / 8);
    for (uint32_t v : {40u, uint32_t(raster.width), uint32_t(raster.height)}) Put32(b, v);
    Put16(b, 1);
    Put16(b, uint16_t(bitsPerPixel));
    for (uint32_t v : {0u, rowBytes * uint32_t(raster.height), 0u, 0u, 0u, 0u}) Put32(b, v);
    PutPalette(b, raster.palette);
    std::vector<uint32_t> positions;
    for (const Bytes& row : rows) {
        positions.push_back(uint32_t(b.size()));
        b.insert(b.end(), row.begin(), row.end());
    }
    positions.push_back(uint32_t(b.size()));
    uint32_t table = uint32_t(b.size());
    for (uint32_t p : positions) Put32(b, p);
    Put32(b, table);
    return b;
}

}  // namespace tessary::rpxtest
