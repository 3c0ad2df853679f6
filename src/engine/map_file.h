// The map file companion: after an image has been written, finds the ".map"
// calibration file of its source, copies it beside the RPX2 file and points
// the copy's third line at the RPX2 file (and its sixth line at the shrink
// factor when the image was shrunk). Hands back one log line.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/folder_path.h"
#include "engine/leftovers.h"

namespace tessary {

// The folder values and options the step reads; constant within a run.
struct MapFileSettings {
    FolderPath sourceFolder;
    FolderPath mapFolder;          // empty: no second search
    FolderPath destinationFolder;  // as resolved ("As Above" already replaced)
    bool copyMapFile = true;        // "Make a Copy of the Map File"
    bool includeImagePath = true;   // "Include Image Path"
};

// The four failures of CopyFileChunked. They carry only their fixed
// messages, without a file name.
class CopyFileError : public std::runtime_error {
public:
    enum class Kind { Open, Create, Read, Write };
    explicit CopyFileError(Kind kind);
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Finds, copies and rewrites the calibration file of `sourcePath`; gives the
// one log line for the image (empty when copying is switched off). Errors
// while a candidate is read or while the copy is rewritten propagate.
// `copySuffix` ("_1") goes after the copy's base name when the RPX2 file was
// numbered because an earlier image of the run has the plain name, so that
// each copy stays beside the file it names.
std::string ProcessMapFile(const MapFileSettings& settings, const std::string& sourcePath,
                           const std::string& rpx2Path, int resizePercent, const std::string& copySuffix = {});

// The first calibration file naming the source: the source folder first (no
// subfolders), then the map folder with its subfolders (only its top level
// when it is a file system root). Empty when none matches.
std::string FindMapFile(const MapFileSettings& settings, const std::string& sourcePath);

// What the search found: the calibration file used, and every calibration
// file of the folder it lies in that names the image too (itself first), so
// that a choice among several can be reported.
struct MapSearchResult {
    std::string found;                 // empty when none matches
    std::vector<std::string> matches;  // in name order; more than one: the choice is warned about
};
MapSearchResult SearchMapFile(const MapFileSettings& settings, const std::string& sourcePath);

// Depth-first search of one folder, its entries in
// name order (byte order of the names), so that the choice never depends on
// the order in which the file system lists them. Hidden entries are skipped,
// and so are links to folders, so that a link loop cannot trap the search.
std::optional<std::string> SearchFolderForMap(const FolderPath& folder, bool descend,
                                              const std::string& sourcePath);

// True when line 3 of the file names the image: base names without folder
// or extension, compared with Unicode case folding (a line that is not
// valid UTF-8 is read as Windows-1252, which calibration files written on
// Windows hold). A copy this program made (line 3 naming an .rpx2 or .rpx
// file) names only an image of that extension, never another image of its
// base name.
bool MapFileMatchesImage(const std::string& mapPath, const std::string& sourcePath);

// The warning logged when several calibration files name one image.
std::string SeveralMapFilesWarning(const std::vector<std::string>& matches);

// Copies the calibration file into the destination folder as "<base>_rpx.map"
// (or "<base>.map" when its path contains "_rpx"), with `copySuffix` after
// the base. Gives the copy's path, or nothing when the copy failed. The copy
// is written under a new partial name and renamed over the final name, so a
// link or a file at that name is replaced, never written through.
std::optional<std::string> MakeMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                                       const std::string& copySuffix = {});

// Rewrites the copy with CR LF line ends: line 3 names the RPX2 file, line 6
// becomes "MSF,<factor>" when the factor is above 1. The rewritten text is
// written to a new partial file and renamed over the copy.
void RewriteMapCopy(const MapFileSettings& settings, const std::string& copyPath, const std::string& rpx2Path,
                    double factor);

// The largest calibration file read whole. Real ones hold a few kilobytes
// (a header and at most a few hundred calibration points); 16 MiB is far
// beyond any, and stops a link to /dev/zero or a huge file named .map.
inline constexpr uint64_t kMaxCalibrationFileBytes = uint64_t(16) << 20;

// The copy's path for a calibration file (the naming of MakeMapCopy, without
// writing anything).
std::string MapCopyPath(const MapFileSettings& settings, const std::string& mapPath,
                        const std::string& copySuffix = {});

// The rewritten copy of a calibration file's bytes `original`: CR LF line
// ends, line 3 naming the RPX2 file, line 6 "MSF,<factor>" above 1.
std::string RewriteMapText(const MapFileSettings& settings, const std::string& original,
                           const std::string& rpx2Path, double factor);

// A calibration copy written whole under a partial name beside its final
// name, ready to be committed together with its RPX2 file.
struct StagedMapCopy {
    std::string copyPath;
    PartialFile partial;
};

// Reads the calibration file `mapPath` (a regular file, at most
// kMaxCalibrationFileBytes), rewrites it for `rpx2Path` and writes it in one
// pass to a new partial file in the copy's folder. Raises IoError
// with the reason (naming the file) when the file cannot be read, the copy's
// name is taken by a folder or a read-only file, or the copy cannot be
// written; the partial file is then removed. A link at the copy's name is no
// obstacle: the commit replaces the link itself, never what it points at.
StagedMapCopy StageMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                           const std::string& copyPath, const std::string& rpx2Path, double factor);

// The factor in plain decimal with 15 significant digits, '.' as the point,
// no trailing zeros: 2 -> "2", 1.25 -> "1.25", 100/30 -> "3.33333333333333".
std::string MapScaleFactorText(double factor);

// Copies a file in 8192-byte chunks, creating the destination's folders.
// A destination that is an existing folder receives the source's file name.
// Raises CopyFileError.
void CopyFileChunked(const std::string& source, const std::string& destination, bool clearReadOnly);

}  // namespace tessary
