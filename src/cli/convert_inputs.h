// What a convert command works on: its PATH arguments turned into images
// (absolute source paths, each with the folder its output goes to), and the
// checks that refuse a run before any image is touched.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/output_names.h"

namespace tessary::cli {

struct InputImage {
    std::string sourcePath;         // absolute, lexically normal
    std::string destinationFolder;  // absolute, ending in a separator
    // Set by SelectShard: the output planned over the whole run's list.
    std::optional<PlannedOutput> planned{};
};

struct ConvertInputs {
    std::vector<InputImage> images;
    std::string destinationRoot;  // --dest as an absolute folder; empty: beside each source
    std::string firstFolder;      // the folder of the first PATH (absolute), for the run's own checks
    int leftOutOutputs = 0;       // RPX2 files beside their own outputs, left out under --update
};

// Resolves the PATH arguments. "SOURCE_FOLDER FILE..." is taken in its older
// sense when the first argument is a folder and every later one is a bare
// name of a file inside it; otherwise every argument is an image file or a
// folder (its files that pass the filter, in list order; with `recursive`
// its subfolders too, skipping hidden folders, links to folders and the
// destination itself). The same file named twice is taken once. Gives
// nothing and sets `error` (naming the path and the system's reason) when an
// argument does not exist or cannot be read.
// An absolute, lexically normal form of a folder path, without a trailing
// separator; kept as it is when it cannot be made absolute.
std::string AbsoluteNormal(const std::string& path);

std::optional<ConvertInputs> ResolveConvertInputs(const ConvertOptions& options, std::string& error);

// Keeps the images of shard `index` of `count` (those whose place in the
// list leaves `index` when divided by `count`), each with the output name
// planned over the whole list: numbered names (a.bmp and a.png becoming
// a.rpx2 and a_1.rpx2) then do not depend on how the run is split.
void SelectShard(ConvertInputs& inputs, int index, int count);

// Creates every output folder the images need (with parents) and checks
// that each can be written, by making and removing a file in it. Gives false
// and sets `error` naming the folder and the reason.
bool PrepareOutputFolders(const ConvertInputs& inputs, std::string& error);

// Checks that `folder` is a folder this process can create files in.
bool CheckWritableFolder(const std::string& folder, std::string& error);

// The names of a folder's files that pass the filter, in the image list's
// order, without opening them.
std::vector<std::string> ListImageFileNames(const std::string& folder, const std::string& filter);

// Warnings for the lines of a scale file that select no zoom level at any
// image size: words, numbers outside every allowed window, numbers followed
// by text. Comments (";") and blank lines are fine.
std::vector<std::string> CheckScaleFileText(const std::string& text, const std::string& fileName);

}  // namespace tessary::cli
