// tessary-cli info and extract: what an RPX2 file holds, and one level of it
// as a PNG, so that output can be checked without the map viewer.
#include <png.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/run_report.h"
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

std::string ScaleText(float scale) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g%%", double(scale));
    return buffer;
}

// What a level is for: level 0 is the image at full size; the converter
// ends every file with the 130-pixel thumbnail and the 300-pixel overview
// (by their longer side); the levels between are the zoom levels.
std::string LevelKind(const std::vector<LevelFacts>& levels, size_t k) {
    if (k == 0) return "full size";
    const int longer = std::max(levels[k].width, levels[k].height);
    if (k + 2 >= levels.size()) {
        if (std::abs(longer - 130) <= 1) return "thumbnail";
        if (std::abs(longer - 300) <= 1) return "overview";
    }
    return "zoom level";
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
    std::printf("\n%-5s  %-10s  %7s  %7s  %8s  %9s  %7s  %16s\n", "Level", "Kind", "Width", "Height", "Scale",
                "Tiles", "Colours", "Compressed bytes");
    for (size_t k = 0; k < f.levels.size(); ++k) {
        const LevelFacts& l = f.levels[k];
        std::string tiles = std::to_string(l.tilesAcross) + " x " + std::to_string(l.tilesDown);
        std::printf("%-5zu  %-10s  %7d  %7d  %8s  %9s  %7d  %16s\n", k, LevelKind(f.levels, k).c_str(),
                    l.width, l.height, ScaleText(l.scale).c_str(), tiles.c_str(), l.coloursUsed,
                    FormatThousands(int64_t(l.compressedBytes), sep).c_str());
    }
}

void PrintJson(const std::string& path, const FileFacts& f) {
    using json = nlohmann::ordered_json;
    json out;
    AddPath(out, "file", path);
    out["format"] = f.magic == rpx::kRpx2Magic ? "RPX2" : "RPX";
    out["magic"] = f.magic;
    out["file_size"] = f.fileSize;
    out["width"] = f.width;
    out["height"] = f.height;
    out["bits_per_pixel"] = f.bitsPerPixel;
    out["chart_flag"] = f.chartFlag;
    out["tile_edge"] = f.tileEdge;
    out["compression"] = f.compression;
    out["zoom_count"] = f.zoomCount;
    out["levels"] = json::array();
    for (size_t k = 0; k < f.levels.size(); ++k) {
        const LevelFacts& l = f.levels[k];
        out["levels"].push_back({{"index", k},
                                 {"kind", LevelKind(f.levels, k)},
                                 {"width", l.width},
                                 {"height", l.height},
                                 {"scale", double(l.scale)},
                                 {"tiles_across", l.tilesAcross},
                                 {"tiles_down", l.tilesDown},
                                 {"colours_used", l.coloursUsed},
                                 {"compressed_bytes", l.compressedBytes}});
    }
    // A file name need not be UTF-8: such bytes become U+FFFD, and file_hex
    // holds the name's exact bytes.
    std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
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
        const PaletteEntry& e = picture.Colours()[size_t(i)];
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
        std::fprintf(stderr, "tessary-cli: info: \"%s\" does not exist or is not a file\n",
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
        std::fprintf(stderr, "tessary-cli: info: \"%s\" is not a readable RPX2 file: %s\n",
                     options.file.c_str(), e.what());
        return 2;
    }
}

int RunExtractCommand(const ExtractOptions& options) {
    if (LowerAscii(ExtensionOf(options.output)) != ".png") {
        std::fprintf(stderr,
                     "tessary-cli: extract: \"%s\" does not end in .png; extract writes PNG files only\n",
                     options.output.c_str());
        return 2;
    }
    if (!FileExists(options.file)) {
        std::fprintf(stderr, "tessary-cli: extract: \"%s\" does not exist or is not a file\n",
                     options.file.c_str());
        return 2;
    }
    std::optional<Picture> picture;
    int level = options.level;
    std::string kind;
    try {
        RpxHandle handle(options.file);
        if (handle.IsRpx2() && options.level >= handle.LevelCount()) {
            std::fprintf(stderr, "tessary-cli: extract: \"%s\" has levels 0 to %d, not %d\n",
                         options.file.c_str(), handle.LevelCount() - 1, options.level);
            return 2;
        }
        if (handle.IsRpx2()) {
            if (level < 0) level = handle.LevelCount() - 1;
            // Only the sizes: counting colours would decode every tile.
            std::vector<LevelFacts> sizes(size_t(handle.LevelCount()));
            for (int k = 0; k < handle.LevelCount(); ++k) {
                handle.LoadLevel(k);
                sizes[size_t(k)].width = handle.LevelWidth();
                sizes[size_t(k)].height = handle.LevelHeight();
            }
            kind = LevelKind(sizes, size_t(level));
        } else {
            level = 0;
            kind = "full size";
        }
        picture = RpxToPicture(options.file, 1, options.level);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessary-cli: extract: \"%s\" is not a readable RPX2 file: %s\n",
                     options.file.c_str(), e.what());
        return 2;
    }
    if (!picture || picture->Empty()) {
        std::fprintf(stderr, "tessary-cli: extract: level %d of \"%s\" could not be decoded\n", options.level,
                     options.file.c_str());
        return 2;
    }
    std::string error;
    if (!WritePalettePng(options.output, *picture, error)) {
        std::fprintf(stderr, "tessary-cli: extract: \"%s\": %s\n", options.output.c_str(), error.c_str());
        return 2;
    }
    std::printf("%s: level %d (%s), %d x %d, written to %s\n", options.file.c_str(), level, kind.c_str(),
                picture->Width(), picture->Height(), options.output.c_str());
    return 0;
}

}  // namespace tessary::cli
