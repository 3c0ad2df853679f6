// Tiled charts: header charts (".hdr") whose 640 x 480, 16-colour tiles are
// separate PCX files, and RML charts (".rml") that hold their tiles
// themselves. The tiles are decoded by the chart tile library, loaded at run
// time from the program's folder, and assembled into one 8-bit picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// The chart tile library and the calls the reader makes. Blocks are the
// library's own: their bytes are reached through lockBlock and released
// with freeBlock.
class ChartTileLibrary {
public:
    using Block = void*;

    // Loads the library file from `folder`. Loaded() is false when the file
    // is missing or lacks one of the calls.
    explicit ChartTileLibrary(const std::string& folder);
    ~ChartTileLibrary();
    ChartTileLibrary(const ChartTileLibrary&) = delete;
    ChartTileLibrary& operator=(const ChartTileLibrary&) = delete;

    bool Loaded() const { return handle_ != nullptr; }

    // The library beside the program, loaded on first use and kept until the
    // program ends.
    static const ChartTileLibrary& Shared();
    // The library's file name on this platform.
    static const char* FileName();

    int16_t (*getPcxColumns)(const char* headerPath) = nullptr;  // GetPCXXtiles
    int16_t (*getPcxRows)(const char* headerPath) = nullptr;     // GetPCXYtiles
    int16_t (*getRmlColumns)(const char* rmlPath) = nullptr;     // GetXtiles
    int16_t (*getRmlRows)(const char* rmlPath) = nullptr;        // GetYtiles
    int32_t (*getRmlPalette)(const char* rmlPath, uint8_t* block) = nullptr;
    Block (*getRmlTile)(const char* rmlPath, int16_t column, int16_t row) = nullptr;  // GetRMLdib
    Block (*pcxTile)(const char* pcxPath) = nullptr;                                  // Pcx2Dib
    void* (*lockBlock)(Block block) = nullptr;
    size_t (*blockSize)(Block block) = nullptr;
    void (*freeBlock)(Block block) = nullptr;
    const char* (*lastError)() = nullptr;  // ChartTilesLastError; optional

private:
    void* handle_ = nullptr;
};

// What a load found wrong: why it gave no picture, or the tiles it could
// not place (their areas stay index 0).
struct ChartTilesReport {
    std::string refusal;      // why there is no picture; empty when there is one
    int damagedRows = 0;      // picture rows crossed by a tile that could not be read
    std::string damageDetail; // the first such tile and why
};

// Assembles the chart at `path` into `picture` (8 bits per pixel, the 16
// tile colours in entries 0 to 15). False, with the picture left empty, when
// the library is missing (after noting it for the user), the chart has no tiles or
// its first tile cannot be read; `report` then says which.
bool LoadChartTiles(const std::string& path, Picture& picture, ChartTilesReport* report = nullptr);
bool LoadChartTiles(const std::string& path, Picture& picture, const ChartTileLibrary& library,
                    ChartTilesReport* report = nullptr);

// Tile columns x 640 by tile rows x 480, 1 byte per pixel; 0, 0, 1 when the
// library is missing or the chart has no tiles.
SourceImageInfo GetChartTilesInfo(const std::string& path);
SourceImageInfo GetChartTilesInfo(const std::string& path, const ChartTileLibrary& library);

// The folder of a header chart's tiles (ending in a separator): the header's
// folder when the first tile lies there, else the header's folder with its
// last 8 characters cut, followed by the chart's name.
std::string ChartTileFolder(const std::string& fullHeaderPath);

// The file name of the tile in `column` and `row` (both from 0): the
// header's name, a dot, the column letter and the row number from 1 with at
// least two digits ("chart.C02").
std::string ChartTileFileName(const std::string& headerPath, int column, int row);

}  // namespace tessary
