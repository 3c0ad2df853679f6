// The map file companion: after an image has been written, finds the ".map"
// calibration file of its source, copies it beside the RPX2 file and points
// the copy's third line at the RPX2 file (and its sixth line at the shrink
// factor when the image was shrunk). Hands back one log line.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace tessary {

// The folder values and options the step reads; constant within a run.
struct MapFileSettings {
    std::string sourceFolder;       // trimmed, ending in a separator
    std::string mapFolder;          // trimmed, ending in a separator; empty: no second search
    std::string destinationFolder;  // as resolved ("As Above" already replaced)
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

// Depth-first search of one folder (ending in a separator) in listing order.
// Hidden entries are skipped, and so are links to folders, so that a link
// loop cannot trap the search.
std::optional<std::string> SearchFolderForMap(const std::string& folder, bool descend,
                                              const std::string& sourcePath);

// True when line 3 of the file names the image: base names without folder
// or extension, compared case-insensitively (ASCII).
bool MapFileMatchesImage(const std::string& mapPath, const std::string& sourcePath);

// Copies the calibration file into the destination folder as "<base>_rpx.map"
// (or "<base>.map" when its path contains "_rpx"), with `copySuffix` after
// the base. Gives the copy's path, or nothing when the copy failed.
std::optional<std::string> MakeMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                                       const std::string& copySuffix = {});

// Rewrites the copy with CR LF line ends: line 3 names the RPX2 file, line 6
// becomes "MSF,<factor>" when the factor is above 1.
void RewriteMapCopy(const MapFileSettings& settings, const std::string& copyPath, const std::string& rpx2Path,
                    double factor);

// The factor in plain decimal with 15 significant digits, '.' as the point,
// no trailing zeros: 2 -> "2", 1.25 -> "1.25", 100/30 -> "3.33333333333333".
std::string MapScaleFactorText(double factor);

// Copies a file in 8192-byte chunks, creating the destination's folders.
// A destination that is an existing folder receives the source's file name.
// Raises CopyFileError.
void CopyFileChunked(const std::string& source, const std::string& destination, bool clearReadOnly);

}  // namespace tessary
