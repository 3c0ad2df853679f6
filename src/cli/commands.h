// The commands of tessary-cli. Each gives the process exit status.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "cli/options.h"
#include "engine/conversion.h"

namespace tessary::cli {

// 0 listed, 2 the folder does not exist.
int RunListCommand(const ListOptions& options);

// 0 every selected image converted, 1 an image failed or the run was
// aborted, 2 the run could not start.
int RunConvertCommand(const ConvertOptions& options, std::atomic<bool>& abort);

int RunInfoCommand(const InfoOptions& options);
int RunExtractCommand(const ExtractOptions& options);

// The job for a convert command, with `tempFolder` as the scratch folder.
// Gives nothing and sets `error` when the source folder does not exist.
std::optional<ConversionJob> BuildConversionJob(const ConvertOptions& options, const std::string& tempFolder,
                                                std::atomic<bool>* abort, std::string& error);

// A folder of its own inside a temporary folder, so that two runs never
// share scratch files; removed with everything in it when the object goes.
class PrivateTempFolder {
public:
    // Creates "tessary-XXXXXX" inside `base`. Gives nothing when `base` is
    // not a folder or the folder cannot be made.
    static std::optional<PrivateTempFolder> Create(const std::string& base);
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
