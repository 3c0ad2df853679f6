// The commands of tessary-cli. Each gives the process exit status.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "cli/convert_inputs.h"
#include "cli/options.h"
#include "engine/conversion.h"

namespace tessary::cli {

// 0 listed, 1 a subfolder (with --recursive) could not be read, 2 the
// folder does not exist.
int RunListCommand(const ListOptions& options);

// 0 every image converted, up to date or too small; 1 an image failed
// (damaged files kept included) or the run was aborted; 2 the run could not
// start.
int RunConvertCommand(const ConvertOptions& options, std::atomic<bool>& abort);

// "tessary-cli <version>" and a line on the project.
int RunVersionCommand();

int RunInfoCommand(const InfoOptions& options);
int RunExtractCommand(const ExtractOptions& options);
// 0 measured, 2 a file could not be read or the heatmap not written.
int RunCompareCommand(const CompareOptions& options);

// The job for a convert command's resolved images, with `tempFolder` as the
// scratch folder: every image is an entry with its own source path and
// output folder.
ConversionJob BuildConversionJob(const ConvertOptions& options, const ConvertInputs& inputs,
                                 const std::string& tempFolder, std::atomic<bool>* abort);

// Refusals of a convert command's own files before anything is touched: the
// scale file (missing, a folder, unreadable) and the map folder. Warnings
// for scale file lines that select nothing go to `warnings`.
bool CheckConvertFiles(const ConvertOptions& options, std::vector<std::string>& warnings, std::string& error);

// A folder of its own inside a temporary folder, so that two runs never
// share scratch files; removed with everything in it when the object goes.
class PrivateTempFolder {
public:
    // Creates "tessary-HOST-PID-LIFE-XXXXXX" inside `base`. Gives nothing when `base` is
    // not a folder or the folder cannot be made; `error` (when given) then
    // names `base` and the system's reason.
    static std::optional<PrivateTempFolder> Create(const std::string& base, std::string* error = nullptr);
    ~PrivateTempFolder();
    PrivateTempFolder(PrivateTempFolder&& other) noexcept;
    PrivateTempFolder& operator=(PrivateTempFolder&&) = delete;
    PrivateTempFolder(const PrivateTempFolder&) = delete;
    PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;

    // Ends in a separator.
    const std::string& Path() const { return path_; }

private:
    explicit PrivateTempFolder(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

}  // namespace tessary::cli
