// The chart tile library: PCX tile decoding and tile counting for header
// charts. See chart_tiles_api.h for the interface.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "chart_tiles_api.h"

struct ChartBlock {
    size_t size;
    // The bytes follow the header.
};

namespace {

namespace fs = std::filesystem;

constexpr int kTileWidth = 640;
constexpr int kTileHeight = 480;
constexpr size_t kTileRowBytes = kTileWidth / 2;
constexpr size_t kPcxHeaderBytes = 128;
// A 640 x 480 16-colour tile takes at most about twice its raw size when
// run-length encoded; anything much larger is not a tile.
constexpr size_t kMaxTileFileBytes = size_t(4) << 20;
constexpr int kMaxColumns = 26;  // "A" to "Z"

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// Why the last Pcx2Dib of this thread gave no tile; empty after a tile.
thread_local std::string lastError;

bool Fail(const char* why) {
    lastError = why;
    return false;
}

ChartBlock* NewBlock(size_t size) {
    void* memory = std::malloc(sizeof(ChartBlock) + size);
    if (!memory) return nullptr;
    ChartBlock* block = static_cast<ChartBlock*>(memory);
    block->size = size;
    std::memset(block + 1, 0, size);
    return block;
}

uint8_t* BlockBytes(ChartBlock* block) {
    return reinterpret_cast<uint8_t*>(block + 1);
}

bool ReadSmallFile(const char* path, std::vector<uint8_t>& out) {
    if (!path) return Fail("no file named");
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return Fail("the file cannot be opened");
    out.clear();
    uint8_t chunk[16384];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(chunk, 1, sizeof chunk, file);
        out.insert(out.end(), chunk, chunk + n);
        if (out.size() > kMaxTileFileBytes) ok = false;
        if (n < sizeof chunk || !ok) break;
    }
    if (!ok) lastError = "the file is far larger than any tile";
    if (std::ferror(file)) ok = Fail("the file cannot be read");
    std::fclose(file);
    return ok;
}

uint16_t U16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

// Decodes a 640 x 480 16-colour PCX file into 480 rows of 320 bytes, bottom
// row first. False for anything else, or when the data ends early.
bool DecodePcxTile(const std::vector<uint8_t>& file, uint8_t* out) {
    if (file.size() < kPcxHeaderBytes) return Fail("the file is shorter than a PCX header");
    const uint8_t* h = file.data();
    const int encoding = h[2];
    const int bitsPerPixel = h[3];
    const int width = int(U16(h + 8)) - int(U16(h + 4)) + 1;
    const int height = int(U16(h + 10)) - int(U16(h + 6)) + 1;
    const int planes = h[65];
    const size_t bytesPerLine = U16(h + 66);
    if (h[0] != 0x0A || (encoding != 0 && encoding != 1)) return Fail("not a PCX file");
    if (width != kTileWidth || height != kTileHeight) return Fail("the image is not 640 x 480 pixels");
    const bool bitPlanes = bitsPerPixel == 1 && planes == 4;
    const bool packed = bitsPerPixel == 4 && planes == 1;
    if (!bitPlanes && !packed) return Fail("the image does not have 16 colours (4 planes of 1 bit or 1 of 4 bits)");
    const size_t needed = bitPlanes ? kTileWidth / 8 : kTileRowBytes;
    if (bytesPerLine < needed) return Fail("its lines are shorter than the image is wide");

    const size_t lineBytes = bytesPerLine * size_t(planes);
    const size_t total = lineBytes * kTileHeight;
    std::vector<uint8_t> lines(total);
    size_t pos = kPcxHeaderBytes, produced = 0;
    if (encoding == 0) {
        if (file.size() - pos < total) return Fail("the pixel data ends early");
        std::memcpy(lines.data(), file.data() + pos, total);
    } else {
        while (produced < total) {
            if (pos >= file.size()) return Fail("the pixel data ends early");
            uint8_t c = file[pos++];
            if ((c & 0xC0) == 0xC0) {
                size_t count = c & 0x3F;
                if (pos >= file.size()) return Fail("the pixel data ends early");
                uint8_t value = file[pos++];
                count = std::min(count, total - produced);
                std::memset(lines.data() + produced, value, count);
                produced += count;
            } else {
                lines[produced++] = c;
            }
        }
    }

    for (int y = 0; y < kTileHeight; ++y) {
        const uint8_t* line = lines.data() + size_t(y) * lineBytes;
        uint8_t* dst = out + size_t(kTileHeight - 1 - y) * kTileRowBytes;
        if (packed) {
            std::memcpy(dst, line, kTileRowBytes);
            continue;
        }
        for (int x = 0; x < kTileWidth; x += 2) {
            uint8_t pair = 0;
            for (int half = 0; half < 2; ++half) {
                int px = x + half;
                uint8_t value = 0;
                for (int p = 0; p < 4; ++p) {
                    uint8_t bit = (line[size_t(p) * bytesPerLine + size_t(px >> 3)] >> (7 - (px & 7))) & 1;
                    value |= uint8_t(bit << p);
                }
                pair |= half == 0 ? uint8_t(value << 4) : value;
            }
            dst[x / 2] = pair;
        }
    }
    return true;
}

struct TileCount {
    int columns = 0;
    int rows = 0;
};

// The name of a tile file for a column letter and row number, as the reader
// builds it: ".A01" to ".A09", then ".A10" and up.
bool ParseTileSuffix(std::string_view suffix, int& column, int& row) {
    if (suffix.size() < 3 || suffix[0] < 'A' || suffix[0] > 'Z') return false;
    std::string_view digits = suffix.substr(1);
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > 100000) return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1) return false;
    std::string canonical = (value < 10 ? "0" : "") + std::to_string(value);
    if (canonical != digits) return false;
    column = suffix[0] - 'A';
    row = value;
    return true;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(fs::path(path), ec);
}

TileCount CountHeaderTiles(const char* headerPath) {
    TileCount count;
    if (!headerPath) return count;
    std::string header(headerPath);
    size_t sep = header.find_last_of("/\\");
    std::string folder = sep == std::string::npos ? std::string() : header.substr(0, sep + 1);
    std::string fileName = sep == std::string::npos ? header : header.substr(sep + 1);
    size_t dot = fileName.rfind('.');
    std::string name = dot == std::string::npos ? fileName : fileName.substr(0, dot);

    std::string tileFolder = folder;
    if (!Exists(folder + name + ".A01")) {
        tileFolder = folder.size() > 8 ? folder.substr(0, folder.size() - 8) : std::string();
        tileFolder += name;
        tileFolder += kSeparator;
    }
    std::error_code ec;
    fs::directory_iterator it(tileFolder.empty() ? fs::path(".") : fs::path(tileFolder), ec), end;
    const std::string prefix = name + ".";
    for (; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
        int column = 0, row = 0;
        if (!ParseTileSuffix(std::string_view(entry).substr(prefix.size()), column, row)) continue;
        std::error_code ec2;
        if (!it->is_regular_file(ec2)) continue;
        count.columns = std::max(count.columns, column + 1);
        count.rows = std::max(count.rows, row);
    }
    if (count.columns == 0 || count.rows == 0) return TileCount{};
    count.columns = std::min(count.columns, kMaxColumns);
    count.rows = std::min(count.rows, 32767);
    return count;
}

}  // namespace

extern "C" {

int16_t GetPCXXtiles(const char* headerPath) {
    try {
        return int16_t(CountHeaderTiles(headerPath).columns);
    } catch (const std::exception&) {
        return 0;
    }
}

int16_t GetPCXYtiles(const char* headerPath) {
    try {
        return int16_t(CountHeaderTiles(headerPath).rows);
    } catch (const std::exception&) {
        return 0;
    }
}

int16_t GetXtiles(const char*) {
    return 0;
}

int16_t GetYtiles(const char*) {
    return 0;
}

int32_t GetRMLpalette(const char*, uint8_t*) {
    return 0;
}

ChartBlockHandle GetRMLdib(const char*, int16_t, int16_t) {
    return nullptr;
}

ChartBlockHandle Pcx2Dib(const char* pcxPath) {
    lastError.clear();
    try {
        std::vector<uint8_t> file;
        if (!ReadSmallFile(pcxPath, file)) return nullptr;
        ChartBlock* block = NewBlock(CHART_TILE_PIXEL_BYTES);
        if (!block) {
            Fail("out of memory");
            return nullptr;
        }
        if (!DecodePcxTile(file, BlockBytes(block))) {
            std::free(block);
            return nullptr;
        }
        return block;
    } catch (const std::exception&) {
        Fail("out of memory");
        return nullptr;
    }
}

const char* ChartTilesLastError(void) {
    return lastError.c_str();
}

void* ChartBlockLock(ChartBlockHandle block) {
    return block ? BlockBytes(block) : nullptr;
}

size_t ChartBlockSize(ChartBlockHandle block) {
    return block ? block->size : 0;
}

void ChartBlockFree(ChartBlockHandle block) {
    std::free(block);
}

}  // extern "C"
