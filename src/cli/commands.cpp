#include "cli/commands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/image_list.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"
#include "engine/leftovers.h"

namespace tessary::cli {

namespace fs = std::filesystem;

namespace {

// An absolute, lexically normal form of a folder path; kept as it is when
// it cannot be made absolute.
std::string Absolute(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(path), ec);
    return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

int RunListCommand(const ListOptions& options) {
    std::string folder = TrimSpaces(options.folder);
    if (folder.empty() || !DirectoryExists(folder)) {
        std::fprintf(stderr, "tessary-cli list: \"%s\" is not a folder\n", options.folder.c_str());
        return 2;
    }
    std::vector<ImageListRow> rows = BuildImageList(folder, options.filter);
    std::fputs(FormatImageList(rows, LocaleThousandsSeparator()).c_str(), stdout);
    return 0;
}

std::optional<ConversionJob> BuildConversionJob(const ConvertOptions& options, const std::string& tempFolder,
                                                std::atomic<bool>* abort, std::string& error) {
    std::string source = TrimSpaces(options.sourceFolder);
    if (source.empty() || !DirectoryExists(source)) {
        error = "source folder \"" + options.sourceFolder + "\" does not exist";
        return std::nullopt;
    }
    if (!options.scaleFile.empty() && !FileExists(options.scaleFile)) {
        error = "scale file \"" + options.scaleFile + "\" does not exist";
        return std::nullopt;
    }
    // Folders go to the engine as absolute paths: the ".map" copy names the
    // RPX2 file by its full path, which must not depend on where the command
    // was started.
    ConversionJob job;
    job.sourceFolder = Absolute(source);
    job.destinationFolder = options.destination;
    if (job.destinationFolder.empty() || UpperAscii(job.destinationFolder) == "AS ABOVE")
        job.destinationFolder = job.sourceFolder;
    else
        job.destinationFolder = Absolute(TrimSpaces(job.destinationFolder));
    job.tempFolder = WithTrailingSeparator(TrimSpaces(tempFolder));
    std::string mapFolder = TrimSpaces(options.mapFolder);
    job.mapFolder = mapFolder.empty() ? std::string() : WithTrailingSeparator(Absolute(mapFolder));
    if (options.files.empty()) {
        for (const ImageListRow& row : BuildImageList(source, options.filter))
            job.entries.push_back({row.name, true});
    } else {
        for (const std::string& file : options.files) job.entries.push_back({file, true});
    }
    job.resizeEnabled = options.resize.has_value();
    job.resizeValue = options.resize.value_or(100);
    job.coloursEnabled = options.colours.has_value();
    job.coloursValue = options.colours.value_or(256);
    job.copyMapFile = options.copyMapFile;
    job.includeImagePath = options.includeImagePath;
    job.abort = abort;
    job.programFolder = platform::ProgramFolder();
    job.scaleFile = options.scaleFile;
    job.threads = options.threads;
    return job;
}

std::optional<PrivateTempFolder> PrivateTempFolder::Create(const std::string& base) {
    std::string folder = TrimSpaces(base);
    if (folder.empty() || !DirectoryExists(folder)) return std::nullopt;
    RemoveDeadTempFolders(folder);  // what killed runs left
    std::string pattern = WithTrailingSeparator(folder) + "tessary-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
#ifndef _WIN32
    if (!mkdtemp(buffer.data())) return std::nullopt;
#else
    return std::nullopt;
#endif
    PrivateTempFolder made(std::string(buffer.data()) + "/");
    if (!ClaimFolder(made.Path())) return std::nullopt;  // marked as this run's while it works
    return made;
}

PrivateTempFolder::PrivateTempFolder(PrivateTempFolder&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

PrivateTempFolder::~PrivateTempFolder() {
    if (path_.empty()) return;
    ReleaseFolder(path_);
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace tessary::cli
