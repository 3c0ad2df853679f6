// Resumable runs: whether an image's earlier output can stand, so that a
// rerun (or a run resumed after a crash) redoes only what is not finished.
#pragma once

#include <map>
#include <set>
#include <string>

#include "engine/conversion.h"
#include "engine/map_file.h"
#include "engine/output_record.h"

namespace tessary {

class UpdateCheck {
public:
    // True when `outputPath` exists, was modified after `sourcePath`, and,
    // when map copies are made and the source has a calibration file, a
    // ".map" file beside the output names the output on its third line.
    // A missing or unreadable source is never up to date: the conversion
    // reports it.
    bool IsUpToDate(const std::string& sourcePath, const std::string& outputPath,
                    const MapFileSettings& settings);

    // True when a ".map" file beside the output names it on its third line.
    bool CopyNamesOutput(const std::string& outputPath);

private:
    // Upper-cased file names that the third lines of a folder's ".map" files
    // name; read once per folder and run.
    const std::set<std::string>& NamedByMapFiles(const FolderPath& folder);

    std::map<std::string, std::set<std::string>> mapNames_;
};

// When the run resumes (`job.update`) and the image is up to date: logs it
// ("Processing - <name>" then "Up to date : <output name>"), reports it to
// the observer and gives true, so that the run goes on with the next image.
// `shownName` is the name the "Processing" line shows (empty: the source's
// file name). An output with a record (engine/output_record.h) is judged by
// it against `now`, the record it would get today; when it is out of date
// the reason goes to `againReason`. An output without one (written by an
// earlier version) is judged by IsUpToDate.
bool SkipWhenUpToDate(const ConversionJob& job, UpdateCheck& check, const std::string& sourcePath,
                      const std::string& outputPath, const MapFileSettings& settings, bool separate,
                      ConversionLog& log, ConversionObserver& observer, const std::string& shownName = {},
                      const OutputRecord* now = nullptr, std::string* againReason = nullptr);

}  // namespace tessary
