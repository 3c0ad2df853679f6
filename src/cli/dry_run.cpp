#include "cli/dry_run.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "engine/map_file.h"
#include "engine/output_names.h"
#include "engine/update_check.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary::cli {

namespace {

using json = nlohmann::ordered_json;

constexpr int kMinimumSide = 300;  // the run refuses images below it in both directions

// Whether a folder holds any entry named *.map (any case): without one, and
// without a map folder, no calibration search can find anything there, and
// the plan need not list the folder once per image. Remembered per folder.
class MapPresence {
public:
    bool Any(const FolderPath& folderPath) {
        const std::string& folder = folderPath.Text();
        auto found = known_.find(folder);
        if (found != known_.end()) return found->second;
        bool any = true;  // a folder that cannot be listed: let the search decide
        if (DIR* listing = opendir(folder.c_str())) {
            any = false;
            while (const dirent* entry = readdir(listing))
                if (UpperAscii(ExtensionOf(entry->d_name)) == ".MAP") {
                    any = true;
                    break;
                }
            closedir(listing);
        }
        known_.emplace(folder, any);
        return any;
    }

private:
    std::map<std::string, bool> known_;
};

// What the run would do with an image whose output is `planned`.
PlanRow PlanImage(const InputImage& image, const PlannedOutput& planned, const MapFileSettings& settings,
                  bool update, UpdateCheck& check, MapPresence& maps) {
    PlanRow row;
    row.source = image.sourcePath;
    row.output = planned.path;
    auto refuse = [&](const std::string& reason) {
        row.action = PlannedAction::Refused;
        row.reason = reason;
        return row;
    };
    if (planned.error) return refuse(planned.error.message());
    struct stat status {};
    if (stat(image.sourcePath.c_str(), &status) != 0) return refuse(std::strerror(errno));
    // Never open a FIFO or a device: reading one could wait for ever.
    if (!S_ISREG(status.st_mode)) return refuse("not a regular file");
    if (access(image.sourcePath.c_str(), R_OK) != 0) return refuse(std::strerror(errno));
    if (status.st_size == 0) return refuse("the file is empty");
    if (settings.copyMapFile && (!settings.mapFolder.Empty() || maps.Any(settings.sourceFolder))) {
        try {
            MapSearchResult search = SearchMapFile(settings, image.sourcePath);
            row.calibration = std::move(search.found);
            if (search.matches.size() > 1) row.calibrationMatches = std::move(search.matches);
        } catch (const std::exception&) {
            row.calibration.clear();  // an unreadable candidate: the run reports it
        }
    }
    if (update && check.IsUpToDate(image.sourcePath, planned.path, settings)) {
        row.action = PlannedAction::UpToDate;
        row.reason = "the output is newer than the source";
        return row;
    }
    if (!FindSourceFormat(LowerAscii(ExtensionOf(image.sourcePath))))
        return refuse("not a kind of image the converter reads");
    try {
        const SourceImageInfo info = GetSourceImageInfo(image.sourcePath);
        row.width = info.width;
        row.height = info.height;
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
    if (row.width > 0 && row.height > 0 && row.width < kMinimumSide && row.height < kMinimumSide) {
        row.action = PlannedAction::TooSmall;
        row.reason = std::to_string(row.width) + " x " + std::to_string(row.height) +
                     ": below 300 pixels in width and in height";
    }
    return row;
}

}  // namespace

const char* PlannedActionName(PlannedAction action) {
    switch (action) {
        case PlannedAction::Convert:
            return "convert";
        case PlannedAction::UpToDate:
            return "up-to-date";
        case PlannedAction::TooSmall:
            return "too-small";
        case PlannedAction::Refused:
            return "refused";
    }
    return "refused";
}

std::vector<PlanRow> PlanRun(const ConvertOptions& options, const ConvertInputs& inputs) {
    // The names a run plans over its whole list (shards carry theirs).
    std::vector<OutputRequest> requests;
    for (const InputImage& image : inputs.images) requests.push_back({image.sourcePath, image.destinationFolder});
    std::vector<PlannedOutput> plan = PlanOutputPaths(requests);
    const FolderPath mapFolder = MapFolderOption(options);
    UpdateCheck check;
    MapPresence maps;
    std::vector<PlanRow> rows;
    rows.reserve(inputs.images.size());
    for (size_t i = 0; i < inputs.images.size(); ++i) {
        const InputImage& image = inputs.images[i];
        MapFileSettings settings;
        settings.sourceFolder = FolderOf(image.sourcePath);
        settings.mapFolder = mapFolder;
        settings.destinationFolder = image.destinationFolder;
        settings.copyMapFile = options.copyMapFile;
        settings.includeImagePath = options.includeImagePath;
        rows.push_back(PlanImage(image, image.planned ? *image.planned : plan[i], settings, options.update, check, maps));
    }
    return rows;
}

std::string PlanText(const PlanRow& row, bool copyMapFile) {
    std::string calibration =
        !copyMapFile ? "not copied (--no-map-copy)" : row.calibration.empty() ? "none" : row.calibration;
    if (copyMapFile && row.calibrationMatches.size() > 1) {
        // The choice the run warns about, in the words of its warning.
        std::string names;
        for (const std::string& match : row.calibrationMatches) names += (names.empty() ? "" : ", ") + match;
        calibration = "several match: " + names + "; " + row.calibration + " is used";
    }
    switch (row.action) {
        case PlannedAction::Convert:
            return "convert: " + row.source + " -> " + row.output + "; calibration: " + calibration;
        case PlannedAction::UpToDate:
            return "up to date: " + row.source + " -> " + row.output + "; calibration: " + calibration;
        case PlannedAction::TooSmall:
            return "too small: " + row.source + ": " + row.reason;
        case PlannedAction::Refused:
            break;
    }
    return "refused: " + row.source + ": " + row.reason;
}

std::string PlanReportLine(const PlanRow& row) {
    json line =
        ImageLineStart(row.source, row.output, PlannedActionName(row.action), row.reason, row.width, row.height);
    AddPathOrNull(line, "calibration", row.calibration);
    if (row.calibrationMatches.size() > 1) {
        // Every calibration file that names the image, the one used first;
        // each as {"path": ...} so that a name which is not UTF-8 keeps its bytes.
        json matches = json::array();
        for (const std::string& match : row.calibrationMatches) {
            json one;
            AddPath(one, "path", match);
            matches.push_back(std::move(one));
        }
        line["calibration_matches"] = std::move(matches);
    }
    return DumpLine(line);
}

int PrintPlan(const ConvertOptions& options, const ConvertInputs& inputs, ReportWriter& report, std::FILE* out) {
    int counts[4] = {0, 0, 0, 0};
    for (const PlanRow& row : PlanRun(options, inputs)) {
        ++counts[int(row.action)];
        std::fprintf(out, "%s\n", PlanText(row, options.copyMapFile).c_str());
        report.Write(PlanReportLine(row));
    }
    int skipped = 0, unreadable = 0;
    for (const SkippedEntry& entry : inputs.skipped) {
        ++(entry.unreadable ? unreadable : skipped);
        std::fprintf(out, "%s: %s: %s\n", entry.unreadable ? "unreadable" : "skipped", entry.path.c_str(),
                     entry.reason.c_str());
        report.Write(PathOnlyLine(entry.path, entry.unreadable ? "unreadable" : "skipped", entry.reason));
    }
    json totals;
    totals["images"] = int(inputs.images.size());
    totals["convert"] = counts[int(PlannedAction::Convert)];
    totals["up_to_date"] = counts[int(PlannedAction::UpToDate)];
    totals["too_small"] = counts[int(PlannedAction::TooSmall)];
    totals["refused"] = counts[int(PlannedAction::Refused)];
    totals["skipped"] = skipped;
    totals["unreadable"] = unreadable;
    totals["dry_run"] = true;
    json line;
    line["totals"] = totals;
    report.Write(DumpLine(line));
    std::fprintf(out, "Plan for %zu %s: %d to convert, %d up to date, %d too small, %d refused, %d skipped, %d %s "
                 "unreadable; nothing was written\n",
                 inputs.images.size(), inputs.images.size() == 1 ? "image" : "images",
                 counts[int(PlannedAction::Convert)], counts[int(PlannedAction::UpToDate)],
                 counts[int(PlannedAction::TooSmall)], counts[int(PlannedAction::Refused)], skipped, unreadable,
                 unreadable == 1 ? "folder" : "folders");
    std::fflush(out);
    return counts[int(PlannedAction::Refused)] > 0 || unreadable > 0 ? 1 : 0;
}

}  // namespace tessary::cli
