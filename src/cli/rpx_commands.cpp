// tessary-cli info and extract: what an RPX2 file holds, and one level of it
// as a PNG, so that output can be checked without the map viewer.
#include <png.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "common/file.h"
#include "common/le.h"
#include "common/text.h"
#include "rpx/rpx_layout.h"
#include "rpx/rpx_reader.h"

namespace tessary::cli {

namespace {

struct LevelFacts {
    int32_t width = 0;
    int32_t height = 0;
    float scale = 0;
    int tilesAcross = 0;
    int tilesDown = 0;
    int coloursUsed = 0;
    uint64_t compressedBytes = 0;
};

struct FileFacts {
    uint16_t magic = 0;
    uint32_t chartFlag = 0;
    uint16_t tileEdge = 0;
    uint16_t compression = 0;
    int32_t width = 0;
    int32_t height = 0;
    int bitsPerPixel = 0;
    int zoomCount = 0;
    uint64_t fileSize = 0;
    std::vector<LevelFacts> levels;
};

uint32_t ReadU32At(CheckedFile& file, uint64_t position) {
    uint8_t bytes[4];
    file.Seek(position);
    file.ReadExact(bytes, 4);
    return ReadU32LE(bytes);
}

FileFacts Inspect(const std::string& path) {
    FileFacts facts;
    RpxHandle handle(path);  // checks the structure; raises on damage
    CheckedFile file(path, CheckedFile::Mode::Read);
    facts.fileSize = file.Size();
    uint8_t head[rpx::kOffScaleList] = {};
    file.ReadExact(head, handle.IsRpx2() ? rpx::kOffScaleList : rpx::kImageHeadSize);
    facts.magic = handle.Magic();
    facts.chartFlag = ReadU32LE(head + rpx::kOffChartFlag);
    facts.tileEdge = handle.TileEdge();
    facts.compression = handle.CompressionFlag();
    facts.width = handle.Width();
    facts.height = handle.Height();
    facts.bitsPerPixel = handle.BitsPerPixel();
    if (!handle.IsRpx2()) return facts;
    facts.zoomCount = ReadI16LE(head + rpx::kOffZoomCount);

    const int count = handle.LevelCount();
    const uint64_t table = ReadU32At(file, facts.fileSize - 4);
    std::vector<uint8_t> tile(rpx::kTileBytes);
    for (int k = 0; k < count; ++k) {
        LevelFacts level;
        handle.LoadLevel(k);
        level.width = handle.LevelWidth();
        level.height = handle.LevelHeight();
        level.tilesAcross = handle.TilesAcross();
        level.tilesDown = handle.TilesDown();
        uint8_t scale[4];
        file.Seek(rpx::kOffScaleList + 4 * uint64_t(k));
        file.ReadExact(scale, 4);
        level.scale = ReadF32LE(scale);
        const uint64_t header = ReadU32At(file, table + 4 * uint64_t(k));
        const uint64_t firstTile = ReadU32At(file, header + rpx::kLevelOffPositions);
        level.compressedBytes = header > firstTile ? header - firstTile : 0;
        // Colours: the palette entries that pixels inside the level use.
        std::bitset<256> used;
        for (int r = 0; r < level.tilesDown; ++r) {
            for (int t = 0; t < level.tilesAcross; ++t) {
                handle.ReadTile(int64_t(r) * level.tilesAcross + t, tile.data());
                int columns = std::min(rpx::kTileEdge, level.width - rpx::kTileEdge * t);
                for (int j = 0; j < rpx::kTileEdge && columns > 0; ++j) {
                    int y = rpx::kTileEdge * r + j;
                    if (y >= level.height) break;
                    const uint8_t* line = tile.data() + size_t(rpx::kTileEdge - 1 - j) * rpx::kTileEdge;
                    for (int x = 0; x < columns; ++x) used.set(line[x]);
                }
            }
        }
        level.coloursUsed = int(used.count());
        facts.levels.push_back(level);
    }
    return facts;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string ScaleText(float scale) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", double(scale));
    return buffer;
}

void PrintText(const std::string& path, const FileFacts& f) {
    const std::string sep = LocaleThousandsSeparator();
    std::printf("File          %s\n", path.c_str());
    std::printf("Format        %s (magic 0x%04X)\n", f.magic == rpx::kRpx2Magic ? "RPX2" : "RPX", f.magic);
    std::printf("File size     %s bytes\n", FormatThousands(int64_t(f.fileSize), sep).c_str());
    std::printf("Image         %s x %s, %d bits per pixel\n", FormatThousands(f.width, sep).c_str(),
                FormatThousands(f.height, sep).c_str(), f.bitsPerPixel);
    std::printf("Chart flag    %u\n", f.chartFlag);
    std::printf("Tile edge     %u\n", f.tileEdge);
    std::printf("Compression   %u\n", f.compression);
    if (f.magic != rpx::kRpx2Magic) return;
    std::printf("Zoom count    %d\n", f.zoomCount);
    std::printf("Levels        %zu\n", f.levels.size());
    std::printf("\n%-5s  %7s  %7s  %8s  %9s  %7s  %16s\n", "Level", "Width", "Height", "Scale %", "Tiles",
                "Colours", "Compressed bytes");
    for (size_t k = 0; k < f.levels.size(); ++k) {
        const LevelFacts& l = f.levels[k];
        std::string tiles = std::to_string(l.tilesAcross) + " x " + std::to_string(l.tilesDown);
        std::printf("%-5zu  %7d  %7d  %8s  %9s  %7d  %16s\n", k, l.width, l.height,
                    ScaleText(l.scale).c_str(), tiles.c_str(), l.coloursUsed,
                    FormatThousands(int64_t(l.compressedBytes), sep).c_str());
    }
}

void PrintJson(const std::string& path, const FileFacts& f) {
    std::printf("{\n  \"file\": %s,\n  \"format\": \"%s\",\n  \"magic\": %u,\n  \"fileSize\": %llu,\n",
                JsonString(path).c_str(), f.magic == rpx::kRpx2Magic ? "RPX2" : "RPX", f.magic,
                static_cast<unsigned long long>(f.fileSize));
    std::printf("  \"width\": %d,\n  \"height\": %d,\n  \"bitsPerPixel\": %d,\n  \"chartFlag\": %u,\n",
                f.width, f.height, f.bitsPerPixel, f.chartFlag);
    std::printf("  \"tileEdge\": %u,\n  \"compression\": %u,\n  \"zoomCount\": %d,\n  \"levels\": [",
                f.tileEdge, f.compression, f.zoomCount);
    for (size_t k = 0; k < f.levels.size(); ++k) {
        const LevelFacts& l = f.levels[k];
        char scale[32];
        std::snprintf(scale, sizeof scale, "%.9g", double(l.scale));
        std::printf(
            "%s\n    {\"index\": %zu, \"width\": %d, \"height\": %d, \"scale\": %s, \"tilesAcross\": %d, "
            "\"tilesDown\": %d, \"coloursUsed\": %d, \"compressedBytes\": %llu}",
            k ? "," : "", k, l.width, l.height, scale, l.tilesAcross, l.tilesDown, l.coloursUsed,
            static_cast<unsigned long long>(l.compressedBytes));
    }
    std::printf("%s]\n}\n", f.levels.empty() ? "" : "\n  ");
}

// Writes an 8-bit palette picture as a PNG with as many palette entries as
// the highest index used needs. Gives false with `error` set on failure.
bool WritePalettePng(const std::string& path, const Picture& picture, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = std::string("cannot create the file: ") + std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = "the PNG could not be written";
        return false;
    }
    png_init_io(png, file);
    int highest = 0;
    for (int y = 0; y < picture.Height(); ++y) {
        const uint8_t* row = picture.Row(y);
        for (int x = 0; x < picture.Width(); ++x) highest = std::max<int>(highest, row[x]);
    }
    png_set_IHDR(png, info, png_uint_32(picture.Width()), png_uint_32(picture.Height()), 8,
                 PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::array<png_color, 256> colours{};
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = picture.Colors()[size_t(i)];
        colours[size_t(i)] = png_color{e.red, e.green, e.blue};
    }
    png_set_PLTE(png, info, colours.data(), highest + 1);
    png_write_info(png, info);
    for (int y = 0; y < picture.Height(); ++y) png_write_row(png, const_cast<png_bytep>(picture.Row(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file) != 0) {
        error = std::string("cannot write the file: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int RunInfoCommand(const InfoOptions& options) {
    if (!FileExists(options.file)) {
        std::fprintf(stderr, "tessary-cli info: \"%s\" does not exist or is not a file\n",
                     options.file.c_str());
        return 2;
    }
    try {
        FileFacts facts = Inspect(options.file);
        if (options.json)
            PrintJson(options.file, facts);
        else
            PrintText(options.file, facts);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessary-cli info: \"%s\" is not a readable RPX2 file: %s\n",
                     options.file.c_str(), e.what());
        return 2;
    }
}

int RunExtractCommand(const ExtractOptions& options) {
    if (!FileExists(options.file)) {
        std::fprintf(stderr, "tessary-cli extract: \"%s\" does not exist or is not a file\n",
                     options.file.c_str());
        return 2;
    }
    std::optional<Picture> picture;
    try {
        RpxHandle handle(options.file);
        if (handle.IsRpx2() && options.level >= handle.LevelCount()) {
            std::fprintf(stderr, "tessary-cli extract: \"%s\" has levels 0 to %d, not %d\n",
                         options.file.c_str(), handle.LevelCount() - 1, options.level);
            return 2;
        }
        picture = RpxToPicture(options.file, 1, options.level);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessary-cli extract: \"%s\" is not a readable RPX2 file: %s\n",
                     options.file.c_str(), e.what());
        return 2;
    }
    if (!picture || picture->Empty()) {
        std::fprintf(stderr, "tessary-cli extract: level %d of \"%s\" could not be decoded\n", options.level,
                     options.file.c_str());
        return 2;
    }
    std::string error;
    if (!WritePalettePng(options.output, *picture, error)) {
        std::fprintf(stderr, "tessary-cli extract: \"%s\": %s\n", options.output.c_str(), error.c_str());
        return 2;
    }
    std::printf("%s: level %d, %d x %d, written to %s\n", options.file.c_str(), options.level,
                picture->Width(), picture->Height(), options.output.c_str());
    return 0;
}

}  // namespace tessary::cli
