#include "cli/image_table.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/text.h"

namespace tessary::cli {

namespace {

const char* const kErrorOpeningImage = "Error Opening Image";

}  // namespace

size_t FitDisplayWidth(const std::string& text, size_t columns, size_t* bytes) {
    size_t width = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        int length = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
        uint32_t code = 0;
        bool valid = length > 0 && i + size_t(length) <= text.size();
        if (valid) {
            code = length == 1 ? lead : lead & (0x7F >> length);
            for (int k = 1; k < length && valid; ++k) {
                const unsigned char next = static_cast<unsigned char>(text[i + size_t(k)]);
                valid = (next & 0xC0) == 0x80;
                code = (code << 6) | (next & 0x3F);
            }
        }
        if (!valid) {
            if (width + 1 > columns) break;
            ++width;
            ++i;
            continue;
        }
        const bool combining = (code >= 0x300 && code <= 0x36F) || (code >= 0x1AB0 && code <= 0x1AFF) ||
                               (code >= 0x1DC0 && code <= 0x1DFF) || (code >= 0x200B && code <= 0x200F) ||
                               (code >= 0x20D0 && code <= 0x20FF) || (code >= 0xFE20 && code <= 0xFE2F);
        const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
                          (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
                          (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
                          (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                          (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                          (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
                          (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
        const size_t add = combining ? 0 : wide ? 2 : 1;
        if (width + add > columns) break;
        width += add;
        i += size_t(length);
    }
    if (bytes) *bytes = i;
    return width;
}

size_t DisplayWidth(const std::string& text) {
    return FitDisplayWidth(text, SIZE_MAX, nullptr);
}

std::string FormatImageList(const std::vector<ImageListRow>& rows, const std::string& separator) {
    std::vector<std::array<std::string, 6>> cells;
    cells.push_back({"Name", "Type", "Disk Size", "Mem Size", "Width", "Height"});
    for (const ImageListRow& row : rows) {
        std::array<std::string, 6> line{row.name, row.type, "", "", "", ""};
        if (row.infoFailed) {
            // As in the window: the information call failed before the sizes
            // were added, so the message takes the Disk Size column.
            line[2] = kErrorOpeningImage;
        } else {
            line[2] = FormatThousands(int64_t(row.diskSize), separator);
            line[3] = FormatThousands(int64_t(row.memSize), separator);
            line[4] = FormatThousands(row.width, separator);
            line[5] = FormatThousands(row.height, separator);
        }
        cells.push_back(std::move(line));
    }
    // "Error Opening Image" starts in the Disk Size column and runs on over
    // the empty columns after it, so that it widens none of them.
    std::array<size_t, 6> widths{};
    for (const auto& line : cells)
        for (size_t c = 0; c < 6; ++c)
            if (line[c] != kErrorOpeningImage) widths[c] = std::max(widths[c], DisplayWidth(line[c]));
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < 6; ++c) {
            if (c > 0) text += "  ";
            if (line[c] == kErrorOpeningImage) {
                text += line[c];
                break;
            }
            size_t pad = widths[c] - DisplayWidth(line[c]);
            // Names and types align left, numbers right.
            if (c < 2) {
                text += line[c] + std::string(pad, ' ');
            } else {
                text += std::string(pad, ' ') + line[c];
            }
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    }
    return out;
}

}  // namespace tessary::cli
