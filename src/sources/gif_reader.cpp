// GIF sources (.gif): the first frame, decoded with giflib record by record,
// so that nothing after the first image is read and no frame is held twice.
#include "sources/gif_reader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "common/file.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

[[noreturn]] void ThrowGifError(const std::string& what) {
    throw std::runtime_error("GIF file unreadable: " + what);
}

[[noreturn]] void ThrowGiflibError(int code) {
    const char* text = GifErrorString(code);
    ThrowGifError(text ? text : "decoding failed");
}

// Owns the giflib decoder.
struct GifHandle {
    GifFileType* gif = nullptr;
    ~GifHandle() {
        if (gif) {
            int error = 0;
            DGifCloseFile(gif, &error);
        }
    }
};

void FillFromColourMap(Palette& palette, const ColorMapObject* map) {
    if (!map) {
        // No colour table at all: the indices are grey levels.
        for (unsigned i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
        return;
    }
    const int count = std::min(map->ColorCount, 256);
    for (int i = 0; i < count; ++i)
        palette[size_t(i)] = {map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red, 0};
}

// The entry nearest to a colour: smallest sum of absolute differences, the
// lowest index winning ties.
uint8_t NearestEntry(const Palette& palette, int count, const GifColorType& colour) {
    int best = 0;
    int bestDistance = 1 << 30;
    for (int i = 0; i < count && i < 256; ++i) {
        const PaletteEntry& e = palette[size_t(i)];
        int d = std::abs(int(e.red) - colour.Red) + std::abs(int(e.green) - colour.Green) +
                std::abs(int(e.blue) - colour.Blue);
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return uint8_t(best);
}

// Skips an extension block and its sub-blocks.
void SkipExtension(GifFileType* gif) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) ThrowGiflibError(gif->Error);
    while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) ThrowGiflibError(gif->Error);
}

// Reads the frame's rows (in file order, re-ordered when interlaced) into a
// width x height buffer.
std::vector<uint8_t> ReadFrame(GifFileType* gif, int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * size_t(height));
    auto readRow = [&](int y) {
        if (DGifGetLine(gif, pixels.data() + size_t(y) * size_t(width), width) == GIF_ERROR)
            ThrowGiflibError(gif->Error);
    };
    if (gif->Image.Interlace) {
        static const int kStart[] = {0, 4, 2, 1};
        static const int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < height; y += kStep[pass]) readRow(y);
    } else {
        for (int y = 0; y < height; ++y) readRow(y);
    }
    return pixels;
}

std::optional<WholeImage> LoadGifWhole(const std::string& path) {
    WholeImage whole;
    if (!LoadGifBitmap(path, whole.picture)) return std::nullopt;
    return whole;
}

const SourceFormat kGifFormats[] = {
    {".gif", &LoadGifWhole, nullptr, &GetGifInfo},
};

}  // namespace

bool LoadGifBitmap(const std::string& path, Picture& picture) {
    GifHandle handle;
    int error = 0;
    handle.gif = DGifOpenFileName(path.c_str(), &error);
    if (!handle.gif) ThrowGiflibError(error);
    GifFileType* gif = handle.gif;

    // LZW codes are at least 2 bits wide and stand for at most 4096 pixels,
    // so a file cannot describe more than 16384 pixels per byte. Sizes beyond
    // that are a bomb or garbage, and are refused before anything is
    // allocated. The screen itself is not encoded; it may be larger, but not
    // absurdly so.
    const int64_t fileSize = std::max<int64_t>(FileSizeOf(path), 0);
    const uint64_t frameLimit = uint64_t(fileSize) * 16384 + 65536;
    const uint64_t screenLimit = std::max<uint64_t>(frameLimit, uint64_t(1) << 26);

    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) ThrowGiflibError(gif->Error);
        if (type == TERMINATE_RECORD_TYPE) return false;  // no frame at all
        if (type == EXTENSION_RECORD_TYPE) {
            SkipExtension(gif);
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) ThrowGifError("unknown block");
        if (DGifGetImageDesc(gif) == GIF_ERROR) ThrowGiflibError(gif->Error);
        break;
    }

    const GifImageDesc& frame = gif->Image;
    const int frameWidth = frame.Width;
    const int frameHeight = frame.Height;
    if (frameWidth <= 0 || frameHeight <= 0) ThrowGifError("empty frame");
    if (uint64_t(frameWidth) * uint64_t(frameHeight) > frameLimit)
        ThrowGifError("frame larger than the file");
    const ColorMapObject* frameMap = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    std::vector<uint8_t> pixels = ReadFrame(gif, frameWidth, frameHeight);

    int screenWidth = gif->SWidth;
    int screenHeight = gif->SHeight;
    const bool wholeScreen =
        screenWidth <= 0 || screenHeight <= 0 || (frameWidth == screenWidth && frameHeight == screenHeight);
    if (wholeScreen) {
        Picture out(frameWidth, frameHeight, 8);
        FillFromColourMap(out.Colors(), frameMap);
        for (int y = 0; y < frameHeight; ++y)
            std::copy_n(pixels.data() + size_t(y) * size_t(frameWidth), frameWidth, out.Row(y));
        picture = std::move(out);
        return true;
    }

    if (uint64_t(screenWidth) * uint64_t(screenHeight) > screenLimit) ThrowGifError("screen too large");
    Picture out(screenWidth, screenHeight, 8);
    FillFromColourMap(out.Colors(), frameMap);
    // The uncovered screen shows the background colour: its index when the
    // frame uses the global table, otherwise the frame's entry nearest to it
    // (white paper when the file names no background colour).
    uint8_t background = 0;
    const ColorMapObject* global = gif->SColorMap;
    const bool backgroundKnown = global && gif->SBackGroundColor < global->ColorCount;
    GifColorType backgroundColour{255, 255, 255};
    if (backgroundKnown) backgroundColour = global->Colors[gif->SBackGroundColor];
    if (frameMap == global && backgroundKnown)
        background = uint8_t(gif->SBackGroundColor);
    else
        background = NearestEntry(out.Colors(), frameMap ? frameMap->ColorCount : 256, backgroundColour);
    for (int y = 0; y < screenHeight; ++y) std::fill_n(out.Row(y), screenWidth, background);

    // Draw the part of the frame that lies on the screen (none when the
    // frame lies wholly beside it).
    const int64_t left = frame.Left, top = frame.Top;
    const int64_t x0 = std::max<int64_t>(left, 0), x1 = std::min<int64_t>(left + frameWidth, screenWidth);
    const int64_t y0 = std::max<int64_t>(top, 0), y1 = std::min<int64_t>(top + frameHeight, screenHeight);
    for (int64_t y = y0; x0 < x1 && y < y1; ++y) {
        const uint8_t* src = pixels.data() + size_t(y - top) * size_t(frameWidth) + size_t(x0 - left);
        std::copy(src, src + (x1 - x0), out.Row(int(y)) + x0);
    }
    picture = std::move(out);
    return true;
}

SourceImageInfo GetGifInfo(const std::string& path) {
    SourceImageInfo info;
    CheckedFile file(path, CheckedFile::Mode::Read);
    uint8_t signature[6];
    file.ReadExact(signature, sizeof signature);
    if (signature[0] != 'G' || signature[1] != 'I' || signature[2] != 'F') return info;
    uint8_t screen[7];
    file.ReadExact(screen, sizeof screen);
    const uint8_t flags = screen[4];
    if ((flags & 0x80) == 0) return info;
    file.Seek(file.Tell() + 3u * (2u << (flags & 7)));
    uint8_t descriptor[10];
    file.ReadExact(descriptor, sizeof descriptor);
    if (descriptor[0] == 44) {
        info.width = int32_t(descriptor[5]) | (int32_t(descriptor[6]) << 8);
        info.height = int32_t(descriptor[7]) | (int32_t(descriptor[8]) << 8);
    }
    return info;
}

std::span<const SourceFormat> GifFormats() {
    return kGifFormats;
}

}  // namespace tessary
