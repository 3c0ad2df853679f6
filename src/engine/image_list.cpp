#include "engine/image_list.h"

#include <algorithm>
#include <array>

#include "common/platform.h"
#include "common/text.h"
#include "engine/source_rows.h"
#include "sources/gdal_reader.h"
#include "sources/source_image.h"

namespace tessary {

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
    // ".JPEG" is not a substring of ".JPG", and the readers take both.
    static const std::array<const char*, 14> kImageExtensions = {".BMP", ".TIF", ".JPG", ".JPEG", ".PNG",
                                                                 ".KAP", ".GIF", ".RPX", ".RPX2", ".NOS",
                                                                 ".ECW", ".SID", ".HDR", ".RML"};
    for (const char* known : kImageExtensions)
        if (Contains(extension, known)) return true;
    // The GDAL route's extensions, built in and added, match exactly.
    return GdalRequestFor(LowerAscii(extension)).has_value();
}

void SortImageNames(std::vector<std::string>& names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return CompareNoCase(RemoveExtension(a), RemoveExtension(b)) < 0;
    });
}

std::vector<ImageListRow> BuildImageList(const FolderPath& folder, const std::string& filter) {
    return BuildImageList(folder, [&filter](const std::string& name) { return PassesFilter(name, filter); });
}

std::vector<ImageListRow> BuildImageList(const FolderPath& folderIn,
                                         const std::function<bool(const std::string&)>& keep) {
    AddEngineSourceRows();
    const std::string& folder = folderIn.Text();
    std::vector<ImageListRow> rows;
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || !keep(entry.name)) continue;
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

}  // namespace tessary
