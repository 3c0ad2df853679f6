// GIF sources (.gif): the first frame, decoded with giflib record by record,
// so that nothing after the first image is read and no frame is held twice.
#include "sources/gif_reader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/expansion_limit.h"
#include "common/file.h"
#include "common/text.h"
#include "sources/source_error.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

[[noreturn]] void ThrowGifError(const std::string& what) {
    throw SourceError(SourceOpenError::SourceNotLoadable, what);
}

std::string GiflibText(int code) {
    const char* text = GifErrorString(code);
    return text ? text : "decoding failed";
}

[[noreturn]] void ThrowGiflibError(int code) {
    ThrowGifError(GiflibText(code));
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

// Reads past an extension block and its sub-blocks. A graphic control
// extension sets `transparent` to the index it makes transparent, or -1 when
// its transparency flag is off; a plain text extension takes the graphic
// control before it for itself, so it sets `transparent` back to -1.
void ReadExtension(GifFileType* gif, int& transparent) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) ThrowGiflibError(gif->Error);
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
        transparent = (block[1] & 1) ? block[4] : -1;
    else if (code == PLAINTEXT_EXT_FUNC_CODE)
        transparent = -1;
    while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) ThrowGiflibError(gif->Error);
}

// The first frame of an open file and how it lies on the screen.
struct FirstFrame {
    int frameWidth = 0, frameHeight = 0;
    int64_t left = 0, top = 0;
    bool interlaced = false;
    bool wholeScreen = true;    // the frame's own picture is the image
    int width = 0, height = 0;  // of the image
    int64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // the part of the screen the frame covers
    uint8_t background = 0;
    Palette palette{};
};

// Opens the file and reads up to the first frame's pixel data. Refuses with
// giflib's reason, or when the file holds no frame or sizes it cannot hold.
std::unique_ptr<GifHandle> OpenFirstFrame(const std::string& path, FirstFrame& f) {
    auto handle = std::make_unique<GifHandle>();
    int error = 0;
    handle->gif = DGifOpenFileName(path.c_str(), &error);
    if (!handle->gif) ThrowGiflibError(error);
    GifFileType* gif = handle->gif;

    // Frame sizes beyond what LZW can decode from the file are refused before
    // anything is allocated. The screen itself is not encoded; it may be
    // larger, but not absurdly so.
    const int64_t fileSize = std::max<int64_t>(FileSizeOf(path), 0);
    const uint64_t frameLimit = kLzwExpansion.MostFor(uint64_t(fileSize));
    const uint64_t screenLimit = std::max<uint64_t>(frameLimit, uint64_t(1) << 26);

    int transparent = -1;  // the first frame's transparent index
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) ThrowGiflibError(gif->Error);
        if (type == TERMINATE_RECORD_TYPE) ThrowGifError("the file holds no image");
        if (type == EXTENSION_RECORD_TYPE) {
            ReadExtension(gif, transparent);
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) ThrowGifError("unknown block");
        if (DGifGetImageDesc(gif) == GIF_ERROR) ThrowGiflibError(gif->Error);
        break;
    }

    const GifImageDesc& frame = gif->Image;
    f.frameWidth = frame.Width;
    f.frameHeight = frame.Height;
    f.left = frame.Left;
    f.top = frame.Top;
    f.interlaced = frame.Interlace;
    if (f.frameWidth <= 0 || f.frameHeight <= 0) ThrowGifError("empty frame");
    if (uint64_t(f.frameWidth) * uint64_t(f.frameHeight) > frameLimit) ThrowGifError("frame larger than the file");
    const ColorMapObject* frameMap = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    FillFromColourMap(f.palette, frameMap);

    const int screenWidth = gif->SWidth;
    const int screenHeight = gif->SHeight;
    f.wholeScreen = screenWidth <= 0 || screenHeight <= 0 ||
                    (f.frameWidth == screenWidth && f.frameHeight == screenHeight);
    // Transparent pixels show white paper, as alpha does in other sources.
    // The uncovered screen's colour is chosen below from the file's own
    // colours.
    const Palette colours = f.palette;
    if (transparent >= 0) f.palette[size_t(transparent)] = {255, 255, 255, 0};
    if (f.wholeScreen) {
        f.width = f.frameWidth;
        f.height = f.frameHeight;
        return handle;
    }

    if (uint64_t(screenWidth) * uint64_t(screenHeight) > screenLimit) ThrowGifError("screen too large");
    f.width = screenWidth;
    f.height = screenHeight;
    // The uncovered screen shows the background colour: its index when the
    // frame uses the global table, otherwise the frame's entry nearest to it
    // (white paper when the file names no background colour).
    const ColorMapObject* global = gif->SColorMap;
    const bool backgroundKnown = global && gif->SBackGroundColor < global->ColorCount;
    GifColorType backgroundColour{255, 255, 255};
    if (backgroundKnown) backgroundColour = global->Colors[gif->SBackGroundColor];
    if (frameMap == global && backgroundKnown)
        f.background = uint8_t(gif->SBackGroundColor);
    else
        f.background = NearestEntry(colours, frameMap ? frameMap->ColorCount : 256, backgroundColour);
    // The part of the frame that lies on the screen (none when the frame
    // lies wholly beside it).
    f.x0 = std::max<int64_t>(f.left, 0);
    f.x1 = std::min<int64_t>(f.left + f.frameWidth, screenWidth);
    f.y0 = std::max<int64_t>(f.top, 0);
    f.y1 = std::min<int64_t>(f.top + f.frameHeight, screenHeight);
    return handle;
}

// The row of the image, 1-based, that frame line `line` lands on, for
// messages.
std::string RowText(const FirstFrame& f, int line) {
    const int64_t row = f.wholeScreen ? line : f.top + line;
    return "row " + FormatThousands(row + 1) + " of " + FormatThousands(f.height);
}

// Puts image row `y` together from frame line `line` (or none when the
// frame does not cover the row).
void ComposeRow(const FirstFrame& f, const uint8_t* line, int y, uint8_t* out) {
    if (f.wholeScreen) {
        std::copy_n(line, f.frameWidth, out);
        return;
    }
    std::fill_n(out, f.width, f.background);
    if (line && f.x0 < f.x1 && y >= f.y0 && y < f.y1)
        std::copy(line + (f.x0 - f.left), line + (f.x1 - f.left), out + f.x0);
}

// The whole first frame, for interlaced frames (whose rows come in four
// passes). Lines that cannot be decoded are recorded as damage; the picture
// holds the lines decoded before them.
WholeImage DecodeWhole(const std::string& path) {
    FirstFrame f;
    std::unique_ptr<GifHandle> handle = OpenFirstFrame(path, f);
    GifFileType* gif = handle->gif;
    WholeImage whole;
    std::vector<uint8_t> pixels(size_t(f.frameWidth) * size_t(f.frameHeight));
    int64_t read = 0;
    auto readRow = [&](int y) {
        if (whole.damagedRows > 0) return;
        if (DGifGetLine(gif, pixels.data() + size_t(y) * size_t(f.frameWidth), f.frameWidth) == GIF_ERROR) {
            whole.damagedRows = f.frameHeight - read;
            whole.damageDetail = GiflibText(gif->Error) + " (" + RowText(f, y) + ")";
        }
        ++read;
    };
    if (f.interlaced) {
        static const int kStart[] = {0, 4, 2, 1};
        static const int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < f.frameHeight; y += kStep[pass]) readRow(y);
    } else {
        for (int y = 0; y < f.frameHeight; ++y) readRow(y);
    }

    Picture& out = whole.picture;
    out = Picture(f.width, f.height, 8);
    out.Colours() = f.palette;
    for (int y = 0; y < f.height; ++y) {
        const int64_t line = f.wholeScreen ? y : y - f.top;
        const bool covered = line >= 0 && line < f.frameHeight;
        ComposeRow(f, covered ? pixels.data() + size_t(line) * size_t(f.frameWidth) : nullptr, y, out.Row(y));
    }
    return whole;
}

// The first frame of a file without interlacing, line by line as the rows
// are asked for. One frame line is held.
class GifRows : public SourceRowReader {
public:
    explicit GifRows(std::string path) : path_(std::move(path)) {
        handle_ = OpenFirstFrame(path_, frame_);
        line_.resize(size_t(frame_.frameWidth));
    }

    int Width() const override { return frame_.width; }
    int Height() const override { return frame_.height; }

    void FillFormat(int32_t& bytesPerPixel, Palette& palette) override {
        bytesPerPixel = 1;
        palette = frame_.palette;
    }

    void ReadRow(int row, uint8_t* out) override {
        if (row < 0 || row >= frame_.height) return;
        const int64_t line = frame_.wholeScreen ? row : row - frame_.top;
        const bool needed = frame_.wholeScreen || (frame_.x0 < frame_.x1 && row >= frame_.y0 && row < frame_.y1);
        if (needed) Decode(int(line));
        ComposeRow(frame_, needed ? line_.data() : nullptr, row, out);
    }

    // Drawn as a picture held whole is drawn (see DrawSourcePreview).
    bool PreviewLikeWhole() const override { return true; }

private:
    // Brings frame line `line` into line_.
    void Decode(int line) {
        if (line == next_ - 1 && handle_) return;  // the line held
        if (failedAt_ >= 0 && line >= failedAt_) ThrowDamaged(failure_);
        // giflib reads forwards only. The conversion asks for rows in
        // ascending order in every pass over the source; only a new pass (or
        // the preview before the conversion) goes back, and then the file
        // is read again from its start.
        if (line < next_ || !handle_) {
            handle_.reset();
            next_ = 0;
            FirstFrame again;
            try {
                handle_ = OpenFirstFrame(path_, again);
            } catch (const SourceError& e) {
                ThrowDamaged(e.what());
            }
        }
        for (; next_ <= line; ++next_) {
            if (DGifGetLine(handle_->gif, line_.data(), frame_.frameWidth) == GIF_ERROR) {
                failedAt_ = next_;
                failure_ = GiflibText(handle_->gif->Error) + " (" + RowText(frame_, next_) + ")";
                handle_.reset();  // giflib cannot go on after an error
                ThrowDamaged(failure_);
            }
        }
    }

    std::string path_;
    FirstFrame frame_;
    std::unique_ptr<GifHandle> handle_;
    std::vector<uint8_t> line_;
    int next_ = 0;       // the frame line giflib delivers next
    int failedAt_ = -1;  // the first frame line that could not be decoded
    std::string failure_;
};

// The whole-image attempt: interlaced frames only; the others decline so
// that the row reader takes them.
std::optional<WholeImage> LoadGifWhole(const std::string& path) {
    {
        FirstFrame f;
        std::unique_ptr<GifHandle> handle = OpenFirstFrame(path, f);
        if (!f.interlaced) return std::nullopt;
    }
    return DecodeWhole(path);
}

std::unique_ptr<SourceRowReader> OpenGifRows(const std::string& path) {
    return std::make_unique<GifRows>(path);
}

const SourceFormat kGifFormats[] = {
    {".gif", &LoadGifWhole, &OpenGifRows, &GetGifInfo},
};

}  // namespace

bool LoadGifBitmap(const std::string& path, Picture& picture) {
    WholeImage whole = DecodeWhole(path);
    if (whole.damagedRows > 0) ThrowDamaged(whole.damageDetail);
    picture = std::move(whole.picture);
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
    if (flags & 0x80) file.Seek(file.Tell() + 3u * (2u << (flags & 7)));
    // Extension blocks (graphic control, comments, application data: most
    // GIF89a files have some) may come before the first image descriptor;
    // each is a label and sub-blocks up to an empty one. A file that ends
    // first raises, as a short descriptor does.
    uint8_t introducer = 0;
    for (;;) {
        file.ReadExact(&introducer, 1);
        if (introducer != 33) break;
        uint8_t label = 0, length = 0;
        file.ReadExact(&label, 1);
        do {
            file.ReadExact(&length, 1);
            file.Seek(file.Tell() + length);
        } while (length != 0);
    }
    uint8_t descriptor[9];
    file.ReadExact(descriptor, sizeof descriptor);
    if (introducer != 44) return info;
    info.width = int32_t(descriptor[4]) | (int32_t(descriptor[5]) << 8);
    info.height = int32_t(descriptor[6]) | (int32_t(descriptor[7]) << 8);
    return info;
}

std::span<const SourceFormat> GifFormats() {
    return kGifFormats;
}

}  // namespace tessary
