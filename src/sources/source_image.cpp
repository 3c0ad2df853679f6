#include "sources/source_image.h"

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/file.h"
#include "common/text.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

bool IsWholeImageFormat(const SourceFormat& format) { return format.openRows == nullptr; }

// Takes a loaded picture into the handle: the image is now held whole.
void AdoptPicture(Timagerecord4& record, WholeImage&& whole) {
    whole.picture.ConvertTo8Bit();
    record.Extension = ".bmp";
    record.Width = whole.picture.Width();
    record.Height = whole.picture.Height();
    record.FlipRows = whole.flipRows;
    record.Damage.RecordCount(whole.damagedRows, whole.damageDetail);
    record.Bitmap = std::make_unique<Picture>(std::move(whole.picture));
}

// What StretchDrop gives for the picture of a handle held whole, built from
// the rows of a row reader instead: the same rows and columns are dropped
// and palette indices are looked up in the handle's palette, so both routes
// draw the same preview. Rows are read in ascending order.
Picture StretchRowsDrop(Timagerecord4& handle, int width, int height) {
    if (handle.Width <= 0 || handle.Height <= 0) return Picture();
    Picture out(width, height, 24);
    std::vector<uint8_t> row(size_t(handle.Width) * size_t(handle.BytesPerPixel));
    int loaded = -1;
    for (int y = 0; y < height; ++y) {
        const int sy = int(int64_t(y) * handle.Height / height);
        if (sy != loaded) {
            handle.Reader->ReadRow(sy, row.data());
            loaded = sy;
        }
        uint8_t* dst = out.Row(y);
        for (int x = 0; x < width; ++x, dst += 3) {
            const size_t sx = size_t(int64_t(x) * handle.Width / width);
            if (handle.BytesPerPixel == 1) {
                const PaletteEntry& e = handle.Palette[row[sx]];
                dst[0] = e.blue;
                dst[1] = e.green;
                dst[2] = e.red;
            } else {
                std::memcpy(dst, row.data() + sx * 3, 3);
            }
        }
    }
    return out;
}

}  // namespace

namespace {

// What stands at a source's path, when it is not a file to read. Only a
// regular file (or a link to one) is opened: a named pipe would block the open
// until some writer came, and a device can deliver endless data. Only a path
// with nothing at it is "not found"; anything else says what it is, or why
// the system could not tell.
std::optional<SourceFailure> NotARegularFile(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    const auto what = [](const char* text) {
        return SourceFailure{SourceOpenError::SourceUnusable, std::string(text) + ", not a regular file"};
    };
    switch (status.type()) {
        case fs::file_type::regular:
            return std::nullopt;
        case fs::file_type::not_found:
            return SourceFailure{SourceOpenError::SourceFileNotFound, {}};
        case fs::file_type::directory:
            return what("a folder");
        case fs::file_type::fifo:
            return what("a named pipe (FIFO)");
        case fs::file_type::character:
            return what("a character device");
        case fs::file_type::block:
            return what("a block device");
        case fs::file_type::socket:
            return what("a socket");
        case fs::file_type::none:
            if (error) return SourceFailure{SourceOpenError::SourceUnusable, error.message()};
            return what("an unknown kind of file");
        default:
            return what("an unknown kind of file");
    }
}

SourceOpenResult OpenSourceImageOrThrow(const std::string& path) {
    if (std::optional<SourceFailure> failure = NotARegularFile(path)) return *failure;

    auto record = std::make_unique<Timagerecord4>();
    record->FileName = path;
    record->Extension = LowerAscii(ExtensionOf(path));
    record->FlipRows = false;

    const SourceFormat* format = FindSourceFormat(record->Extension);
    if (!format) return SourceFailure{SourceOpenError::SourceUnusable, {}};

    if (IsWholeImageFormat(*format)) {
        std::optional<WholeImage> whole;
        if (format->loadWhole) whole = format->loadWhole(path);
        if (!whole || whole->picture.Empty()) return SourceFailure{SourceOpenError::SourceNotLoadable, {}};
        AdoptPicture(*record, std::move(*whole));
        FillSourceFormat(*record);
        return record;
    }

    if (format->loadWhole) {
        std::optional<WholeImage> whole = format->loadWhole(path);
        if (whole && !whole->picture.Empty()) {
            AdoptPicture(*record, std::move(*whole));
            FillSourceFormat(*record);
            return record;
        }
    }

    record->Reader = format->openRows(path);
    if (!record->Reader) return SourceFailure{SourceOpenError::SourceUnusable, {}};
    record->Width = record->Reader->Width();
    record->Height = record->Reader->Height();
    FillSourceFormat(*record);
    return record;
}

}  // namespace

SourceOpenResult OpenSourceImage(const std::string& path) {
    try {
        return OpenSourceImageOrThrow(path);
    } catch (const SourceError& e) {
        return e.failure();
    }
}

SourceHandle OpenSourceImageOrNull(const std::string& path) {
    SourceOpenResult result = OpenSourceImage(path);
    if (auto* handle = std::get_if<SourceHandle>(&result)) return std::move(*handle);
    return nullptr;
}

void CloseSourceImage(SourceHandle& handle) { handle.reset(); }

void FillSourceFormat(Timagerecord4& handle) {
    if (handle.Bitmap) {
        handle.BytesPerPixel = 3;
        handle.Palette = Palette{};
        if (handle.Bitmap->BitsPerPixel() == 8) {
            handle.Palette = handle.Bitmap->Colours();
            handle.BytesPerPixel = 1;
        }
        return;
    }
    if (handle.Reader) handle.Reader->FillFormat(handle.BytesPerPixel, handle.Palette);
}

void ReadSourceRow(Timagerecord4& handle, int row, uint8_t* buffer) {
    if (row < 0 || row > handle.Height - 1) return;
    if (handle.Bitmap) {
        // A picture its loader could decode only in part is not to be taken
        // for the image: unless damage is accepted, its rows fail as a row
        // reader's damaged rows do (already counted when it was loaded).
        if (handle.Damage.rows > 0 && !handle.Damage.keepGoing) ThrowDamaged(handle.Damage.firstDetail);
        const Picture& picture = *handle.Bitmap;
        int pictureRow = handle.FlipRows ? handle.Height - 1 - row : row;
        if (pictureRow < 0 || pictureRow >= picture.Height()) return;
        size_t bytes = size_t(handle.Width) * size_t(handle.BytesPerPixel);
        // Pictures of 16 or 32 bits per pixel are widened by their readers;
        // never copy more than the picture's row holds.
        if (bytes > picture.Stride()) bytes = picture.Stride();
        std::memcpy(buffer, picture.Row(pictureRow), bytes);
        return;
    }
    if (!handle.Reader) return;
    // A damaged row is kept as far as its reader got; the rest of it must
    // not be whatever the buffer held before (an earlier row on one thread,
    // zeros on several), or the file would depend on the thread count.
    if (handle.Damage.keepGoing) std::memset(buffer, 0, size_t(handle.Width) * size_t(handle.BytesPerPixel));
    try {
        handle.Reader->ReadRow(row, buffer);
    } catch (const SourceError& e) {
        if (e.kind() != SourceOpenError::SourceDamaged || !handle.Damage.keepGoing) throw;
        handle.Damage.Record(row, e.what());
    }
}

void DrawSourcePreview(Picture& target, Timagerecord4& handle, int previewWidth, int previewHeight) {
    if (previewWidth <= 0 || previewHeight <= 0) return;
    int factor = handle.Width / previewWidth;
    if (factor < 1) factor = 1;
    try {
        if (handle.Bitmap) {
            if (!handle.FlipRows) {
                target = StretchDrop(*handle.Bitmap, previewWidth, previewHeight);
            } else {
                Picture flipped = *handle.Bitmap;
                flipped.FlipVertically();
                target = StretchDrop(flipped, previewWidth, previewHeight);
            }
            return;
        }
        if (handle.Reader && handle.Reader->PreviewLikeWhole()) {
            target = StretchRowsDrop(handle, previewWidth, previewHeight);
            return;
        }
        if (handle.Reader) {
            Picture preview = handle.Reader->LoadPreview(factor);
            if (!preview.Empty()) target = std::move(preview);
        }
    } catch (const std::exception&) {
        // A preview that cannot be drawn is left out.
    }
}

SourceImageInfo GetSourceImageInfo(const std::string& path) {
    SourceImageInfo info;
    if (!FileExists(path)) return info;
    const SourceFormat* format = FindSourceFormat(LowerAscii(ExtensionOf(path)));
    if (format && format->inspect) info = format->inspect(path);
    return info;
}

}  // namespace tessary
