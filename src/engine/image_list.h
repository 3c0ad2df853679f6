// The image list of a source folder, by the rules both front ends share: the
// "All Images" filter (or one extension), one row per kept file with its
// type, sizes and dimensions, sorted by name. The desktop window shows the
// rows in its list, tessary-cli prints them as a table and takes its convert
// inputs through the same filter and order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/folder_path.h"

namespace tessary {

struct ImageListRow {
    std::string name;  // as the folder listing gives it
    std::string type;  // the extension without its dot, lower-cased
    uint64_t diskSize = 0;
    bool infoFailed = false;  // "Error Opening Image" in the Disk Size column, the rest empty
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
std::vector<ImageListRow> BuildImageList(const FolderPath& folder, const std::string& filter);

// The same with the files `keep` takes (given the file name).
std::vector<ImageListRow> BuildImageList(const FolderPath& folder,
                                         const std::function<bool(const std::string&)>& keep);

// Sorts file names as the list sorts its rows.
void SortImageNames(std::vector<std::string>& names);

}  // namespace tessary
