// The image list of a source folder, built by the same rules as the desktop
// window's list: the "All Images" filter (or one extension), one row per
// kept file with its type, sizes and dimensions, sorted by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessary::cli {

struct ImageListRow {
    std::string name;  // as the folder listing gives it
    std::string type;  // the extension without its dot, lower-cased
    uint64_t diskSize = 0;
    bool infoFailed = false;  // "Error Opening Image" instead of the numbers
    uint64_t memSize = 0;     // width x height x bytes per pixel
    int32_t width = 0;
    int32_t height = 0;
};

// True when a file name passes the filter: "All Images" (any case) keeps the
// usual image extensions, any other text keeps exactly that extension. A
// leading dot in the filter text is ignored.
bool PassesFilter(const std::string& fileName, const std::string& filter);

// The rows for the files of `folder` that pass the filter, in name order
// (names without extension, case-insensitive ASCII, a prefix first; equal
// names keep their listing order).
std::vector<ImageListRow> BuildImageList(const std::string& folder, const std::string& filter);

// The list as an aligned text table with the window's column headings.
std::string FormatImageList(const std::vector<ImageListRow>& rows, const std::string& separator);

}  // namespace tessary::cli
