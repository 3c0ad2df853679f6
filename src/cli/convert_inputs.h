// What a convert command works on: its PATH arguments turned into images
// (absolute source paths, each with the folder its output goes to), and the
// checks that refuse a run before any image is touched.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "common/folder_path.h"
#include "engine/output_names.h"

namespace tessary::cli {

struct InputImage {
    std::string sourcePath;         // absolute, lexically normal
    FolderPath destinationFolder;  // absolute
    // The path below the folder the user named ("north/a.tif"); the bare
    // name for a file named itself.
    std::string relativeName{};
    // Set by SelectShard: the output planned over the whole run's list, and
    // the image's place in that list (`ConvertInputs::wholeRun`).
    std::optional<PlannedOutput> planned{};
    std::optional<size_t> wholeRunIndex{};
};

// An entry the walk of a folder passed by.
struct SkippedEntry {
    std::string path;    // absolute
    std::string reason;  // the system's reason, or why the walk leaves it
    // A folder that could not be read: an error of the run. Otherwise the
    // walk leaves the entry by its rules (hidden, a link to a folder).
    bool unreadable = false;
};

struct ConvertInputs {
    std::vector<InputImage> images;
    std::string destinationRoot;  // --dest as an absolute folder; empty: beside each source
    std::string firstFolder;      // the folder of the first PATH (absolute), for the run's own checks
    int leftOutOutputs = 0;       // RPX2 files beside their own outputs, left out under --update
    std::vector<SkippedEntry> skipped;  // in walk order
    // Set by SelectShard when the run is split: every image of the whole run,
    // in run order, with its planned output.
    std::vector<InputImage> wholeRun{};
};

// Resolves the PATH arguments. "SOURCE_FOLDER FILE..." is taken in its older
// sense when the first argument is a folder and every later one is a bare
// name of a file inside it (and refused as ambiguous when every name is also
// a file here); otherwise every argument is an image file or a folder (its
// files that pass the filter, in list order; with `recursive` its subfolders
// too, skipping links to folders and the destination itself). The walk
// leaves hidden entries and "._NAME" companions, and records them and every
// subfolder it cannot read in `skipped`. The same file named twice is taken
// once. Gives nothing and sets `error` (naming the path and the system's
// reason) when an argument does not exist or cannot be read.
// An absolute, lexically normal form of a folder path, without a trailing
// separator; kept as it is when it cannot be made absolute.
std::string AbsoluteNormal(const std::string& path);

// The --map-folder option as an absolute folder; empty when none was given.
FolderPath MapFolderOption(const ConvertOptions& options);

std::optional<ConvertInputs> ResolveConvertInputs(const ConvertOptions& options, std::string& error);

// Keeps the images of shard `index` of `count` (those whose place in the
// list leaves `index` when divided by `count`), each with the output name
// planned over the whole list: numbered names (a.bmp and a.png becoming
// a.rpx2 and a_1.rpx2) then do not depend on how the run is split.
void SelectShard(ConvertInputs& inputs, int index, int count);

// Creates every output folder the images need (with parents) and checks
// that each can be written, by making and removing a file in it. Gives false
// and sets `error` naming the folder and the reason. The folders it made are
// added to `created`, each after its parent.
bool PrepareOutputFolders(const ConvertInputs& inputs, std::string& error,
                          std::vector<std::string>* created = nullptr);

// Removes those of `folders` (each listed after its parent) that are empty,
// innermost first.
void RemoveEmptyFolders(const std::vector<std::string>& folders);

// Checks that `folder` is a folder this process can create files in.
bool CheckWritableFolder(const std::string& folder, std::string& error);

// The command line's filter: the list's own (PassesFilter), and also a
// glob ("*.tif", "sheet_??.png": '*', '?' and '[...]' matched against the
// whole name, letter case ignored), "tiff" for both .tif and .tiff files and
// "jpeg" for both .jpg and .jpeg.
bool PassesNameFilter(const std::string& fileName, const std::string& filter);

// Whether an --exclude pattern names an entry: a pattern without '/' is
// matched against the entry's name at any depth, one with '/' against its
// path relative to the folder the user named ('*' then stops at '/').
bool MatchesExclude(const std::string& pattern, const std::string& relativePath);

// Warnings for the lines of a scale file that select no zoom level at any
// image size: words, numbers outside every allowed window, numbers followed
// by text. Comments (";") and blank lines are fine.
std::vector<std::string> CheckScaleFileText(const std::string& text, const std::string& fileName);

}  // namespace tessary::cli
