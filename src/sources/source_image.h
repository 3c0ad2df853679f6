// One handle and six operations over every source format. The reader is
// chosen by the file's extension alone (lower-cased); no content is sniffed.
// Opening and previewing may leave notes for the user (a missing decoding
// library, a refused kind of file): the caller collects them with a
// SourceNotes (sources/source_notes.h) and shows them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "common/picture.h"
#include "sources/source_error.h"

namespace tessary {

// What a row-access reader keeps open. Closing is destruction.
class SourceRowReader {
public:
    virtual ~SourceRowReader() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Sets the bytes per pixel (1 or 3) and, for 1, the palette.
    virtual void FillFormat(int32_t& bytesPerPixel, Palette& palette) = 0;
    // Copies row `row` (0 = top) into `buffer`, which holds Width() x bytes
    // per pixel bytes. A row that cannot be decoded throws SourceError of
    // kind SourceDamaged after leaving the buffer untouched or partly
    // written; the reader stays usable for other rows. It never writes past
    // Width() x bytes per pixel.
    virtual void ReadRow(int row, uint8_t* buffer) = 0;
    // Draws a reduced picture of the image, taking every `factor`-th row and
    // column. Gives an empty picture when the reader has no preview.
    virtual Picture LoadPreview(int factor) {
        (void)factor;
        return Picture();
    }
    // True for readers that stand in for a picture that used to be held
    // whole (PNG, BMP, GIF): their preview is then drawn from their rows
    // exactly as such a picture is stretched, so the route taken does not
    // change it, and LoadPreview is not used.
    virtual bool PreviewLikeWhole() const { return false; }
};

// The source image handle. Exactly one of `Bitmap` (with Extension ".bmp")
// or `Reader` is live in an open handle. One owned reader object stands for
// the per-format handle fields (chart, MrSID view, ECW view, TIFF, scratch).
struct Timagerecord4 {
    std::string FileName;
    std::string Extension;  // lower-cased with its dot; ".bmp" when held whole
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BytesPerPixel = 0;  // 1: palette indices, 3: blue, green, red
    tessary::Palette Palette{};
    bool FlipRows = false;  // image row r is Bitmap row Height - 1 - r
    std::unique_ptr<SourceRowReader> Reader;
    std::unique_ptr<Picture> Bitmap;
    SourceDamage Damage;  // rows that could not be decoded, and the policy

    // The picture is in memory (a whole-image format, or an interlaced one);
    // otherwise rows are read from the file as the passes ask for them.
    bool HeldWhole() const { return Bitmap != nullptr; }
};

using SourceHandle = std::unique_ptr<Timagerecord4>;

// A handle, or the failure that explains why there is none. A loader or
// opener refuses a file by throwing SourceError (its kind and detail end up
// here); other errors raised inside a loader (IoError, bad_alloc) propagate
// to the caller.
using SourceOpenResult = std::variant<SourceHandle, SourceFailure>;

SourceOpenResult OpenSourceImage(const std::string& path);
// Convenience for callers that only need a handle or nothing.
SourceHandle OpenSourceImageOrNull(const std::string& path);

void CloseSourceImage(SourceHandle& handle);

// Copies image row `row` (0 = top) into `buffer` (Width x BytesPerPixel
// bytes). A row beyond the image leaves the buffer untouched. A damaged row
// throws SourceError, or is counted in handle.Damage when its keepGoing is
// set. One thread at a time per handle.
void ReadSourceRow(Timagerecord4& handle, int row, uint8_t* buffer);

// Puts a reduced picture of the open image into `target` (24-bit for
// images held whole; the reader's own preview for row-access formats).
void DrawSourcePreview(Picture& target, Timagerecord4& handle, int previewWidth, int previewHeight);

struct SourceImageInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerPixel = 1;
};

// Reads only the header. 0, 0, 1 for a missing file or an unknown
// extension. May raise; the caller catches.
SourceImageInfo GetSourceImageInfo(const std::string& path);

// Fills BytesPerPixel and Palette after a successful open.
void FillSourceFormat(Timagerecord4& handle);

}  // namespace tessary
