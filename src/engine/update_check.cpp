#include "engine/update_check.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"
#include "engine/conversion_log.h"
#include "rpx/rpx_reader.h"

namespace tessary {

namespace fs = std::filesystem;

bool UpdateCheck::IsUpToDate(const std::string& sourcePath, const std::string& outputPath,
                             const MapFileSettings& settings) {
    std::error_code ec;
    const fs::file_time_type sourceTime = fs::last_write_time(sourcePath, ec);
    if (ec) return false;
    if (!fs::is_regular_file(outputPath, ec) || ec) return false;
    const fs::file_time_type outputTime = fs::last_write_time(outputPath, ec);
    if (ec || !(outputTime > sourceTime)) return false;
    if (!settings.copyMapFile) return true;
    try {
        if (FindMapFile(settings, sourcePath).empty()) return true;
    } catch (const std::exception&) {
        return false;  // a calibration file that cannot be read: convert, and let the run report it
    }
    return CopyNamesOutput(outputPath);
}

bool UpdateCheck::CopyNamesOutput(const std::string& outputPath) {
    return NamedByMapFiles(FolderPath(FolderPart(outputPath))).count(UpperAscii(FileNamePart(outputPath))) > 0;
}

const std::set<std::string>& UpdateCheck::NamedByMapFiles(const FolderPath& folder) {
    auto found = mapNames_.find(folder.Text());
    if (found != mapNames_.end()) return found->second;
    std::set<std::string>& names = mapNames_[folder.Text()];
    for (const platform::FolderEntry& entry : platform::ListFolder(folder.Text())) {
        if (entry.isDirectory || entry.isSymlink || UpperAscii(ExtensionOf(entry.name)) != ".MAP") continue;
        try {
            // The copy names its RPX2 file on line 3, with or without a folder.
            // Only regular files are read, never through a link and never
            // beyond the size of any real calibration file: a FIFO would hang
            // the run, a link to a device would fill the memory.
            std::string text =
                ReadRegularFile(folder.Join(entry.name), kMaxCalibrationFileBytes, false);
            size_t start = 0;
            for (int line = 1; line < 3 && start != std::string::npos; ++line) {
                start = text.find('\n', start);
                if (start != std::string::npos) ++start;
            }
            if (start == std::string::npos) continue;
            size_t end = text.find('\n', start);
            std::string third =
                text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!third.empty() && third.back() == '\r') third.pop_back();
            names.insert(UpperAscii(MapLineFileNamePart(third)));
        } catch (const std::exception&) {
            // An unreadable file names nothing.
        }
    }
    return names;
}

bool SkipWhenUpToDate(const ConversionJob& job, UpdateCheck& check, const std::string& sourcePath,
                      const std::string& outputPath, const MapFileSettings& settings, bool separate,
                      ConversionLog& log, ConversionObserver& observer, const std::string& shownName,
                      const OutputRecord* now,
                      std::string* againReason) {
    if (!job.update) return false;
    std::error_code ec;
    if (!fs::is_regular_file(outputPath, ec)) return false;
    std::optional<OutputRecord> made = now ? ReadRecordOf(outputPath) : std::nullopt;
    if (made) {
        std::string reason = OutOfDateReason(*made, *now, outputPath);
        if (reason.empty() && !now->calibrationPath.empty() && !check.CopyNamesOutput(outputPath))
            reason = "calibration copy missing";
        if (!reason.empty()) {
            if (againReason) *againReason = reason;
            return false;
        }
    } else if (!check.IsUpToDate(sourcePath, outputPath, settings)) {
        return false;
    }
    if (separate) log.Add("");
    log.Add("i\tProcessing - " + (shownName.empty() ? FileNamePart(sourcePath) : shownName));
    log.Add("o\t   Up to date : " + FileNamePart(outputPath));
    ImageResult result;
    result.sourcePath = sourcePath;
    result.outputPath = outputPath;
    result.outcome = ImageOutcome::UpToDate;
    result.outputBytes = uint64_t(std::max<int64_t>(FileSizeOf(outputPath), 0));
    // What the report says of an output made earlier: its size and levels
    // from its header, and the calibration file its record names.
    try {
        RpxHandle output(outputPath);
        result.width = output.Width();
        result.height = output.Height();
        result.levels = output.LevelCount();
    } catch (const std::exception&) {
        // An output of an earlier version that cannot be read: no sizes.
    }
    if (made) result.mapFile = made->calibrationPath;
    observer.ImageFinished(result);
    return true;
}

}  // namespace tessary
