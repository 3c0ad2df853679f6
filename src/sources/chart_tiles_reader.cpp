#include "sources/chart_tiles_reader.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"
#include "sources/source_formats.h"
#include "sources/source_notes.h"
#include "sources/whole_image_limit.h"

namespace tessary {

namespace {

constexpr int kTileWidth = 640;
constexpr int kTileHeight = 480;
constexpr size_t kTileRowBytes = kTileWidth / 2;
constexpr size_t kTilePixelBytes = kTileRowBytes * kTileHeight;
constexpr size_t kRmlTileHeaderBytes = 104;
// The palette block of an RML chart: 16 entries of red, green, blue and a
// spare byte, the first 4 bytes in.
constexpr size_t kRmlPaletteBytes = 4 + 16 * 4;

constexpr const char* kMissingLibraryMessage =
    "The DLL to load Maptech files (kartopcx.dll) was not found or could not be loaded";

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

enum class ChartKind { None, Header, Rml };

ChartKind KindOf(const std::string& path) {
    std::string upper = UpperAscii(path);
    if (Contains(upper, ".HDR")) return ChartKind::Header;
    if (Contains(upper, ".RML")) return ChartKind::Rml;
    return ChartKind::None;
}

std::string FullPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    if (ec) return path;
    return full.lexically_normal().string();
}

template <typename F>
bool Bind(void* library, const char* name, F& target) {
    target = reinterpret_cast<F>(platform::FindSymbol(library, name));
    return target != nullptr;
}

// Owns one block of the library and releases it on every path out.
class TileBlock {
public:
    TileBlock(const ChartTileLibrary& library, ChartTileLibrary::Block block)
        : library_(library), block_(block) {}
    ~TileBlock() {
        if (block_) library_.freeBlock(block_);
    }
    TileBlock(const TileBlock&) = delete;
    TileBlock& operator=(const TileBlock&) = delete;

    // The tile's pixels after `skip` header bytes, or null when the block is
    // missing or too small to hold a whole tile.
    const uint8_t* Pixels(size_t skip) const {
        if (!block_ || library_.blockSize(block_) < skip + kTilePixelBytes) return nullptr;
        const uint8_t* bytes = static_cast<const uint8_t*>(library_.lockBlock(block_));
        return bytes ? bytes + skip : nullptr;
    }

private:
    const ChartTileLibrary& library_;
    ChartTileLibrary::Block block_;
};

// Copies a tile (rows stored bottom first) into tile column k and row j of a
// 4-bit picture.
void PlaceTile(Picture& picture, const uint8_t* tile, int k, int j) {
    for (int y = 0; y < kTileHeight; ++y) {
        const uint8_t* source = tile + size_t(kTileHeight - 1 - y) * kTileRowBytes;
        std::memcpy(picture.Row(j * kTileHeight + y) + size_t(k) * kTileRowBytes, source, kTileRowBytes);
    }
}

void WriteTileColours(Picture& picture, const std::array<PaletteEntry, 16>& colours) {
    for (int i = 0; i < 16; ++i) picture.Colours()[size_t(i)] = colours[size_t(i)];
}

}  // namespace

ChartTileLibrary::ChartTileLibrary(const std::string& folder) {
    std::string path = WithTrailingSeparator(folder) + FileName();
    void* library = platform::LoadLibraryFile(path);
    if (!library) return;
    bool complete = Bind(library, "GetPCXXtiles", getPcxColumns) &&
                    Bind(library, "GetPCXYtiles", getPcxRows) && Bind(library, "GetXtiles", getRmlColumns) &&
                    Bind(library, "GetYtiles", getRmlRows) && Bind(library, "GetRMLpalette", getRmlPalette) &&
                    Bind(library, "GetRMLdib", getRmlTile) && Bind(library, "Pcx2Dib", pcxTile) &&
                    Bind(library, "ChartBlockLock", lockBlock) &&
                    Bind(library, "ChartBlockSize", blockSize) && Bind(library, "ChartBlockFree", freeBlock);
    if (!complete) {
        platform::FreeLibraryFile(library);
        return;
    }
    Bind(library, "ChartTilesLastError", lastError);
    handle_ = library;
}

ChartTileLibrary::~ChartTileLibrary() {
    platform::FreeLibraryFile(handle_);
}

const ChartTileLibrary& ChartTileLibrary::Shared() {
    static const ChartTileLibrary library(platform::ProgramFolder());
    return library;
}

const char* ChartTileLibrary::FileName() {
#if defined(_WIN32)
    return "tessary_charttiles.dll";
#elif defined(__APPLE__)
    return "libtessary_charttiles.dylib";
#else
    return "libtessary_charttiles.so";
#endif
}

std::string ChartTileFolder(const std::string& fullHeaderPath) {
    std::string folder = FolderPart(fullHeaderPath);
    std::string name = RemoveExtension(FileNamePart(fullHeaderPath));
    if (FileExists(folder + name + ".A01")) return folder;
    std::string parent = folder.size() > 8 ? folder.substr(0, folder.size() - 8) : std::string();
    return parent + name + kSeparator;
}

std::string ChartTileFileName(const std::string& headerPath, int column, int row) {
    int number = row + 1;
    return RemoveExtension(FileNamePart(headerPath)) + "." + char('A' + column) + (number < 10 ? "0" : "") +
           std::to_string(number);
}

bool LoadChartTiles(const std::string& path, Picture& picture, ChartTilesReport* report) {
    return LoadChartTiles(path, picture, ChartTileLibrary::Shared(), report);
}

bool LoadChartTiles(const std::string& path, Picture& picture, const ChartTileLibrary& library,
                    ChartTilesReport* report) {
    ChartTilesReport unused;
    if (!report) report = &unused;
    *report = ChartTilesReport{};
    auto refuse = [&](std::string why) {
        report->refusal = std::move(why);
        return false;
    };
    if (!library.Loaded()) {
        NoteForUser(kMissingLibraryMessage);
        return refuse(std::string("the chart tile library ") + ChartTileLibrary::FileName() +
                      " is missing from the program's folder or incomplete");
    }
    const ChartKind kind = KindOf(path);
    if (kind == ChartKind::None) return refuse("neither a .hdr nor an .rml chart");

    std::array<PaletteEntry, 16> colours{};
    int columns = 0, rows = 0;
    std::string full, tileFolder;
    if (kind == ChartKind::Header) {
        full = FullPath(path);
        tileFolder = ChartTileFolder(full);
        columns = library.getPcxColumns(full.c_str());
        rows = library.getPcxRows(full.c_str());
        const std::string firstTile = ChartTileFileName(full, 0, 0);
        if (columns <= 0 || rows <= 0) return refuse("no tile files (" + firstTile + " and on) found for the chart");
        // The first tile's PCX header holds the chart's 16 colours (red,
        // green, blue) in bytes 16 to 63.
        CheckedFile first;
        if (!CheckedFile::TryOpen(tileFolder + firstTile, CheckedFile::Mode::Read, first))
            return refuse("first tile " + firstTile + " cannot be opened");
        uint8_t header[66];
        if (first.ReadSome(header, sizeof header) < sizeof header)
            return refuse("first tile " + firstTile + " is too short to hold the chart's colours");
        for (int i = 0; i < 16; ++i)
            colours[size_t(i)] = {header[16 + 3 * i + 2], header[16 + 3 * i + 1], header[16 + 3 * i], 0};
    } else {
        columns = library.getRmlColumns(path.c_str());
        rows = library.getRmlRows(path.c_str());
        if (columns <= 0 || rows <= 0) return refuse("the chart tile library finds no tiles in this RML chart");
        std::array<uint8_t, kRmlPaletteBytes> block{};
        library.getRmlPalette(path.c_str(), block.data());
        for (int i = 0; i < 16; ++i) {
            const uint8_t* e = block.data() + 4 + 4 * i;
            colours[size_t(i)] = {e[2], e[1], e[0], 0};
        }
    }

    // The tile files present decide the grid, so two small files (A01 and
    // Z2000) can name a chart of 16 billion pixels. It is held whole, at 4
    // bits a pixel and then at 8 beside it, so it is weighed against the
    // whole-image limit before anything is allocated.
    if (!FitsWholeImageLimit(int64_t(columns) * kTileWidth, int64_t(rows) * kTileHeight, 12))
        return refuse("a chart of " + FormatThousands(int64_t(columns) * kTileWidth) + " x " +
                      FormatThousands(int64_t(rows) * kTileHeight) + " pixels (" + std::to_string(columns) +
                      " x " + std::to_string(rows) + " tiles) needs more than the " +
                      FormatThousands(int64_t(WholeImageLimit())) + " bytes allowed");
    Picture assembled(columns * kTileWidth, rows * kTileHeight, 4);
    WriteTileColours(assembled, colours);
    // A tile that cannot be read leaves a hole of index 0 in the chart: the
    // picture is kept, and the rows it crosses are reported as damaged.
    for (int j = 0; j < rows; ++j) {
        bool rowDamaged = false;
        for (int k = 0; k < columns; ++k) {
            std::string why;
            if (kind == ChartKind::Header) {
                std::string name = ChartTileFileName(full, k, j);
                std::string tilePath = tileFolder + name;
                TileBlock block(library, library.pcxTile(tilePath.c_str()));
                if (const uint8_t* pixels = block.Pixels(0))
                    PlaceTile(assembled, pixels, k, j);
                else if (!FileExists(tilePath))
                    why = "tile " + name + ": file missing";
                else if (const char* reason = library.lastError ? library.lastError() : nullptr; reason && *reason)
                    why = "tile " + name + ": " + reason;
                else
                    why = "tile " + name + ": not a 640 x 480 16-colour PCX tile the library can decode";
            } else {
                TileBlock block(library, library.getRmlTile(path.c_str(), int16_t(k + 1), int16_t(j + 1)));
                if (const uint8_t* pixels = block.Pixels(kRmlTileHeaderBytes))
                    PlaceTile(assembled, pixels, k, j);
                else
                    why = "tile in column " + std::to_string(k + 1) + ", row " + std::to_string(j + 1) +
                          ": the library cannot deliver it";
            }
            if (why.empty()) continue;
            if (report->damageDetail.empty()) report->damageDetail = why;
            rowDamaged = true;
        }
        if (rowDamaged) report->damagedRows += kTileHeight;
    }
    assembled.ConvertTo8Bit();
    WriteTileColours(assembled, colours);
    picture = std::move(assembled);
    return true;
}

SourceImageInfo GetChartTilesInfo(const std::string& path) {
    return GetChartTilesInfo(path, ChartTileLibrary::Shared());
}

SourceImageInfo GetChartTilesInfo(const std::string& path, const ChartTileLibrary& library) {
    SourceImageInfo info;
    if (!library.Loaded()) return info;
    int columns = 0, rows = 0;
    switch (KindOf(path)) {
        case ChartKind::Header: {
            std::string full = FullPath(path);
            columns = library.getPcxColumns(full.c_str());
            rows = library.getPcxRows(full.c_str());
            break;
        }
        case ChartKind::Rml:
            columns = library.getRmlColumns(path.c_str());
            rows = library.getRmlRows(path.c_str());
            break;
        case ChartKind::None:
            break;
    }
    if (columns > 0 && rows > 0) {
        info.width = columns * kTileWidth;
        info.height = rows * kTileHeight;
    }
    return info;
}

namespace {

std::optional<WholeImage> LoadChartTilesWhole(const std::string& path) {
    WholeImage whole;
    ChartTilesReport report;
    if (!LoadChartTiles(path, whole.picture, &report))
        throw SourceError(SourceOpenError::SourceNotLoadable, report.refusal);
    whole.damagedRows = report.damagedRows;
    whole.damageDetail = report.damageDetail;
    return whole;
}

const SourceFormat kChartTilesFormats[] = {
    {".hdr", &LoadChartTilesWhole, nullptr, &GetChartTilesInfo},
    {".rml", &LoadChartTilesWhole, nullptr, &GetChartTilesInfo},
};

}  // namespace

std::span<const SourceFormat> ChartTilesFormats() {
    return kChartTilesFormats;
}

}  // namespace tessary
