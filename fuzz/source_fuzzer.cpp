// One source format through the reader dispatch, as the conversion uses it:
// open, format, rows, preview and the header inspection. The extension comes
// from TESSARY_FUZZ_EXTENSION (".bsb" stands for ".kap" or ".nos", chosen
// by whether the input names a NOS header, so both rule sets are reached).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "common/picture.h"
#include "engine/source_rows.h"
#include "fuzz_support.h"
#include "rpx/rpx_reader.h"
#include "sources/source_image.h"
#include "sources/whole_image_limit.h"

#ifndef TESSARY_FUZZ_EXTENSION
#error "TESSARY_FUZZ_EXTENSION must name the extension"
#endif

namespace {

// Rows are read only up to this many bytes in all, so that a header that
// states a huge size costs no time: the reader's own bounds checks are what
// is exercised, not the fuzzer's patience.
constexpr uint64_t kRowBudget = 16u << 20;

std::string ExtensionFor(const uint8_t* data, size_t size) {
    std::string extension = TESSARY_FUZZ_EXTENSION;
    if (extension == ".bsb") {
        static const char kNos[] = "NOS/";
        bool nos = size >= 4 && memmem(data, size, kNos, 4) != nullptr;
        extension = nos ? ".nos" : ".kap";
    }
    return extension;
}

void Exercise(const std::string& path) {
    tessary::SourceOpenResult result = tessary::OpenSourceImage(path);
    auto* handle = std::get_if<tessary::SourceHandle>(&result);
    if (handle == nullptr || *handle == nullptr) return;
    tessary::Timagerecord4& image = **handle;
    tessary::FillSourceFormat(image);
    image.Damage.keepGoing = true;  // every row is exercised, damaged or not
    if (image.Width <= 0 || image.Height <= 0) return;
    if (image.BytesPerPixel != 1 && image.BytesPerPixel != 3) __builtin_trap();

    uint64_t rowBytes = uint64_t(image.Width) * uint64_t(image.BytesPerPixel);
    if (rowBytes <= kRowBudget) {
        // Guard bytes after the row catch a reader writing past it even where
        // the sanitizer's redzone would be too small.
        std::vector<uint8_t> row(rowBytes + 64, 0xA5);
        uint64_t rows = std::max<uint64_t>(1, kRowBudget / rowBytes);
        int step = int(std::max<uint64_t>(1, uint64_t(image.Height) / rows));
        for (int y = 0; y < image.Height; y += step) {
            tessary::ReadSourceRow(image, y, row.data());
            for (size_t i = rowBytes; i < row.size(); ++i)
                if (row[i] != 0xA5) __builtin_trap();
        }
        tessary::ReadSourceRow(image, image.Height - 1, row.data());
        tessary::ReadSourceRow(image, image.Height, row.data());
        tessary::ReadSourceRow(image, -1, row.data());
    }
    tessary::Picture preview(64, 48, 24);
    tessary::DrawSourcePreview(preview, image, 64, 48);
    tessary::CloseSourceImage(*handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers' notes for the user are made with no collector and
    // dropped. RPX2 files are read through the engine's rows.
    tessary::AddEngineSourceRows();
    // Whole pictures above 256 MiB are refused before allocating, as on a
    // small machine; keeps the fuzzer under its memory limit.
    tessary::SetWholeImageLimit(uint64_t(256) << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessary::fuzz::TempInput input(data, size, ExtensionFor(data, size));
    try {
        tessary::GetSourceImageInfo(input.Path());
    } catch (const std::exception&) {
    }
    try {
        Exercise(input.Path());
    } catch (const std::exception&) {
        // A refusal by exception is a correct outcome for a damaged file.
    }
    if (std::string_view(TESSARY_FUZZ_EXTENSION) == ".rpx2") {
        // The smallest level with a step, as the viewer's overview reads it.
        try {
            tessary::RpxToPicture(input.Path(), 3, -1);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
