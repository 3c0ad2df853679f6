#include "cli/image_list.h"

#include <algorithm>
#include <array>

#include "common/platform.h"
#include "common/text.h"
#include "sources/source_image.h"

namespace tessary::cli {

namespace {

// The extension as the list sees it: the text from the last '.' of the name.
std::string UpperExtension(const std::string& fileName) {
    size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? std::string() : UpperAscii(fileName.substr(dot));
}

// -1, 0 or +1, ASCII case-insensitive, a prefix before the longer text.
int CompareNoCase(const std::string& a, const std::string& b) {
    std::string ua = UpperAscii(a), ub = UpperAscii(b);
    return ua < ub ? -1 : (ub < ua ? 1 : 0);
}

}  // namespace

bool PassesFilter(const std::string& fileName, const std::string& filterText) {
    std::string extension = UpperExtension(fileName);
    std::string filter = UpperAscii(filterText);
    if (filter != "ALL IMAGES") {
        if (!filter.empty() && filter[0] == '.') filter.erase(0, 1);
        return "." + filter == extension;
    }
    static const std::array<const char*, 13> kImageExtensions = {".BMP", ".TIF", ".JPG",  ".PNG", ".KAP",
                                                                 ".GIF", ".RPX", ".RPX2", ".NOS", ".ECW",
                                                                 ".SID", ".HDR", ".RML"};
    for (const char* known : kImageExtensions)
        if (Contains(extension, known)) return true;
    return false;
}

std::vector<ImageListRow> BuildImageList(const std::string& folderIn, const std::string& filter) {
    std::string folder = WithTrailingSeparator(TrimSpaces(folderIn));
    std::vector<ImageListRow> rows;
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || !PassesFilter(entry.name, filter)) continue;
        ImageListRow row;
        row.name = entry.name;
        row.type = LowerAscii(ExtensionOf(entry.name));
        if (!row.type.empty()) row.type.erase(0, 1);
        row.diskSize = entry.size;
        try {
            SourceImageInfo info = GetSourceImageInfo(folder + entry.name);
            row.width = info.width;
            row.height = info.height;
            row.memSize = uint64_t(std::max(info.width, 0)) * uint64_t(std::max(info.height, 0)) *
                          uint64_t(std::max(info.bytesPerPixel, 0));
        } catch (const std::exception&) {
            row.infoFailed = true;
        }
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ImageListRow& a, const ImageListRow& b) {
        return CompareNoCase(RemoveExtension(a.name), RemoveExtension(b.name)) < 0;
    });
    return rows;
}

std::string FormatImageList(const std::vector<ImageListRow>& rows, const std::string& separator) {
    std::vector<std::array<std::string, 6>> cells;
    cells.push_back({"Name", "Type", "Disk Size", "Mem Size", "Width", "Height"});
    for (const ImageListRow& row : rows) {
        std::array<std::string, 6> line{row.name, row.type, FormatThousands(int64_t(row.diskSize), separator),
                                        "",       "",       ""};
        if (row.infoFailed) {
            line[3] = "Error Opening Image";
        } else {
            line[3] = FormatThousands(int64_t(row.memSize), separator);
            line[4] = FormatThousands(row.width, separator);
            line[5] = FormatThousands(row.height, separator);
        }
        cells.push_back(std::move(line));
    }
    std::array<size_t, 6> widths{};
    for (const auto& line : cells)
        for (size_t c = 0; c < 6; ++c) widths[c] = std::max(widths[c], line[c].size());
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < 6; ++c) {
            if (c > 0) text += "  ";
            size_t pad = widths[c] - line[c].size();
            // Names and types align left, numbers right.
            if (c < 2 || (line[c] == "Error Opening Image")) {
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
