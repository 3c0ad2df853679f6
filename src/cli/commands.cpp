#include "cli/commands.h"

#ifdef _WIN32
#include "common/posix_win.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "cli/convert_inputs.h"
#include "cli/image_table.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"
#include "engine/image_list.h"
#include "engine/leftovers.h"

namespace tessary::cli {

namespace fs = std::filesystem;

namespace {

// Adds the rows of `folder` (names prefixed with `relative`) and, with
// --recursive, of its subfolders in name order, skipping hidden ones and
// links to folders. False when a subfolder could not be read (named on
// standard error).
bool ListTree(const FolderPath& folder, const std::string& relative, const ListOptions& options,
              std::vector<ImageListRow>& rows) {
    for (ImageListRow& row : BuildImageList(
             folder, [&](const std::string& name) { return PassesNameFilter(name, options.filter); })) {
        // A header that gives no size is as unreadable as one that fails.
        if (row.width <= 0 || row.height <= 0) row.infoFailed = true;
        row.name = relative + row.name;
        rows.push_back(std::move(row));
    }
    if (!options.recursive) return true;
    std::vector<std::string> subfolders;
    for (const platform::FolderEntry& entry : platform::ListFolder(folder.Text()))
        if (entry.isDirectory && !entry.isSymlink && !entry.name.empty() && entry.name[0] != '.')
            subfolders.push_back(entry.name);
    std::sort(subfolders.begin(), subfolders.end());
    bool allRead = true;
    for (const std::string& name : subfolders) {
        const std::string sub = folder.Join(name + "/");
        if (access(sub.c_str(), R_OK | X_OK) != 0) {
            std::fprintf(stderr, "tessary-cli: list: cannot read folder \"%s\": %s\n", folder.Join(name).c_str(),
                         std::strerror(errno));
            allRead = false;
            continue;
        }
        allRead = ListTree(FolderPath(sub), relative + name + "/", options, rows) && allRead;
    }
    return allRead;
}

}  // namespace

int RunListCommand(const ListOptions& options) {
    const FolderPath folder(options.folder);
    if (folder.Empty() || !DirectoryExists(folder.ForCheck())) {
        std::fprintf(stderr, "tessary-cli: list: \"%s\" is not a folder\n", options.folder.c_str());
        return 2;
    }
    std::vector<ImageListRow> rows;
    const bool allRead = ListTree(folder, "", options, rows);
    std::fputs(FormatImageList(rows, LocaleThousandsSeparator()).c_str(), stdout);
    return allRead ? 0 : 1;
}

ConversionJob BuildConversionJob(const ConvertOptions& options, const ConvertInputs& inputs,
                                 const std::string& tempFolder, std::atomic<bool>* abort) {
    // Paths go to the engine absolute: the ".map" copy names the RPX2 file
    // by its full path, which must not depend on where the command was
    // started.
    ConversionJob job;
    job.sourceFolder = FolderPath(inputs.firstFolder);
    job.destinationFolder = FolderPath(inputs.destinationRoot.empty() ? inputs.firstFolder : inputs.destinationRoot);
    job.tempFolder = FolderPath(tempFolder);
    job.mapFolder = MapFolderOption(options);
    // When a file name comes more than once, the log names each image by
    // its path below the folder the user named (by its full path when even
    // those repeat), so that its lines can be told apart.
    std::map<std::string, int> nameCount, relativeCount;
    for (const InputImage& image : inputs.images) {
        ++nameCount[FileNamePart(image.sourcePath)];
        ++relativeCount[image.relativeName];
    }
    for (const InputImage& image : inputs.images) {
        ConversionEntry entry;
        entry.fileName = FileNamePart(image.sourcePath);
        if (nameCount[entry.fileName] > 1 && !image.relativeName.empty())
            entry.fileName = relativeCount[image.relativeName] > 1 ? image.sourcePath : image.relativeName;
        entry.ticked = true;
        entry.sourcePath = image.sourcePath;
        entry.destinationFolder = image.destinationFolder;
        entry.plannedOutput = image.planned;
        entry.wholeRunIndex = image.wholeRunIndex;
        job.entries.push_back(std::move(entry));
    }
    for (const InputImage& image : inputs.wholeRun) {
        ConversionEntry entry;
        entry.fileName = FileNamePart(image.sourcePath);
        entry.ticked = true;
        entry.sourcePath = image.sourcePath;
        entry.destinationFolder = image.destinationFolder;
        entry.plannedOutput = image.planned;
        job.wholeRun.push_back(std::move(entry));
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
    job.jobs = options.jobs;
    job.memoryBudget = options.memoryMb << 20;
    job.keepDamaged = options.keepDamaged;
    job.update = options.update;
    job.palette = options.finePalette ? PaletteMethod::kFine : PaletteMethod::kOctree;
    job.dither = options.dither;
    return job;
}

bool CheckConvertFiles(const ConvertOptions& options, std::vector<std::string>& warnings,
                       std::string& error) {
    if (!options.scaleFile.empty()) {
        std::error_code ec;
        fs::file_status status = fs::status(options.scaleFile, ec);
        if (ec || !fs::exists(status)) {
            error = "cannot read scale file \"" + options.scaleFile +
                    "\": " + (ec ? ec.message() : std::string(std::strerror(ENOENT)));
            return false;
        }
        if (fs::is_directory(status)) {
            error = "scale file \"" + options.scaleFile + "\" is a folder, not a file";
            return false;
        }
        try {
            warnings = CheckScaleFileText(ReadWholeFile(options.scaleFile), options.scaleFile);
        } catch (const std::exception& e) {
            error = "cannot read scale file \"" + options.scaleFile + "\": " + e.what();
            return false;
        }
    }
    const std::string mapFolder = TrimSpaces(options.mapFolder);
    if (!mapFolder.empty()) {
        std::error_code ec;
        fs::file_status status = fs::status(mapFolder, ec);
        if (ec || !fs::exists(status) || !fs::is_directory(status)) {
            error = "cannot use map folder \"" + options.mapFolder + "\": " +
                    (ec                    ? ec.message()
                     : !fs::exists(status) ? std::string(std::strerror(ENOENT))
                                           : std::string(std::strerror(ENOTDIR)));
            return false;
        }
    }
    return true;
}

int RunVersionCommand() {
    std::printf("tessary-cli %s\n", TESSARY_VERSION);
    return 0;
}

std::optional<PrivateTempFolder> PrivateTempFolder::Create(const std::string& base, std::string* error) {
    const FolderPath folder(base);
    if (folder.Empty() || !DirectoryExists(folder.ForCheck())) {
        std::error_code ec;
        const bool exists = !folder.Empty() && fs::exists(folder.ForCheck(), ec);
        if (error) *error = "cannot write to \"" + base + "\": " + std::strerror(exists ? ENOTDIR : ENOENT);
        return std::nullopt;
    }
    RemoveDeadTempFolders(folder);  // what killed runs left
    std::string pattern = PrivateFolderPattern(folder);
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        if (error) *error = "cannot write to \"" + base + "\": " + std::strerror(errno);
        return std::nullopt;
    }
    PrivateTempFolder made(std::string(buffer.data()) + "/");
    // Marked as this run's while it works, so that no other run removes it.
    if (!ClaimFolder(FolderPath(made.Path()))) {
        const int code = errno;
        if (error) *error = "cannot write to \"" + base + "\": " + std::strerror(code);
        return std::nullopt;
    }
    return made;
}

PrivateTempFolder::PrivateTempFolder(PrivateTempFolder&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

PrivateTempFolder::~PrivateTempFolder() {
    if (path_.empty()) return;
    ReleaseFolder(FolderPath(path_));
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace tessary::cli
