// The names a run writes its RPX2 files under, decided for the whole run
// before the first image is converted. Two images of one run never share an
// output: big.bmp and big.png in one folder become big.rpx2 and big_1.rpx2,
// in list order, whatever files an earlier run left behind, so that running
// the same list again gives the same names. A source that would itself be
// replaced (an RPX2 file in the destination folder) keeps the older rule: the
// first numbered name for which no file exists.
#pragma once

#include <string>
#include <system_error>
#include <vector>

#include "common/folder_path.h"

namespace tessary {

// One ticked entry of the run, in run order.
struct OutputRequest {
    std::string sourcePath;  // resolved
    FolderPath destinationFolder;
};

struct PlannedOutput {
    std::string path;  // the RPX2 file to write; empty when `error` is set
    // "_1", "_2", ... when the name was numbered because an earlier image of
    // the run takes the plain one; the map copy carries the same number.
    std::string numberSuffix;
    // The file system could not tell whether a numbered name is free
    // (a name too long, a folder that cannot be searched): the image fails.
    std::error_code error;
};

// One planned output per request, in the same order. Depends only on the
// list and, for a source that is its own output, on which numbered names
// exist on disk.
std::vector<PlannedOutput> PlanOutputPaths(const std::vector<OutputRequest>& requests);

}  // namespace tessary
