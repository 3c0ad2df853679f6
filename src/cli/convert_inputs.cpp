#include "cli/convert_inputs.h"

#ifdef _WIN32
#include "common/posix_win.h"
#else
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "common/platform.h"
#include "common/text.h"
#include "engine/image_list.h"
#include "engine/zoom_scales.h"

namespace tessary::cli {

namespace fs = std::filesystem;

#ifdef _WIN32
namespace {

// "\\?\C:\maps" is "C:\maps" and "\\?\UNC\server\share" is "\\server\share":
// the prefix only lifts the length limit, which the program's manifest does.
std::string WithoutExtendedPrefix(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + path.substr(7);
    if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0) return path.substr(4);
    return path;
}

// A share's path: "\\server\share" stays the root, the rest is made normal
// ("." and ".." resolved, never above the share).
std::string UncNormal(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 2;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.size() > 2) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string text = "\\\\";
    for (size_t i = 0; i < parts.size(); ++i) text += (i ? "\\" : "") + parts[i];
    return text;
}

}  // namespace
#endif

std::string AbsoluteNormal(const std::string& pathIn) {
#ifdef _WIN32
    // The standard library knows no share names: those are made normal here.
    const std::string path = WithoutExtendedPrefix(pathIn);
    if (path.rfind("\\\\", 0) == 0) return UncNormal(path);
#else
    const std::string& path = pathIn;
#endif
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(path), ec);
    if (ec) return path;
    std::string text = absolute.lexically_normal().string();
    // "a/b/" normalises to "a/b/"; folders here never keep the separator.
    while (text.size() > 1 && text.back() == '/') text.pop_back();
#ifdef _WIN32
    // "C:\maps\" names the folder "C:\maps"; the root "C:\" keeps its separator.
    while (text.size() > 3 && text.back() == '\\') text.pop_back();
#endif
    return text;
}

FolderPath MapFolderOption(const ConvertOptions& options) {
    const std::string typed = TrimSpaces(options.mapFolder);
    return typed.empty() ? FolderPath() : FolderPath(AbsoluteNormal(typed));
}

namespace {

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

bool IsBareName(const std::string& text) {
    return !text.empty() && text.find('/') == std::string::npos && text != "." && text != "..";
}

bool SameFolder(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

struct WalkEntry {
    std::string name;
    bool isDirectory = false;  // a folder, or a link to one
    bool isSymlink = false;
};

// The entries of a folder, or `ec` set to the system's reason when it cannot
// be listed (or its files cannot be reached: a folder without search
// permission lists names that cannot be opened).
std::vector<WalkEntry> ListWalkFolder(const std::string& folder, std::error_code& ec) {
    std::vector<WalkEntry> entries;
    if (access(folder.c_str(), R_OK | X_OK) != 0) {
        ec = std::error_code(errno, std::generic_category());
        return entries;
    }
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        WalkEntry entry;
        entry.name = it->path().filename().string();
        if (entry.name.empty()) continue;
        std::error_code typeError;
        entry.isSymlink = it->is_symlink(typeError);
        entry.isDirectory = it->is_directory(typeError);
        entries.push_back(std::move(entry));
    }
    if (ec) entries.clear();
    return entries;
}

class Resolver {
public:
    Resolver(const ConvertOptions& options, ConvertInputs& inputs) : options_(options), inputs_(inputs) {}

    void AddFile(const std::string& source, const std::string& relativeFolder) {
        if (!seen_.insert(source).second) return;
        const FolderPath destination(inputs_.destinationRoot.empty()
                                         ? FolderPart(source)
                                         : FolderPath(inputs_.destinationRoot).Join(relativeFolder));
        // A resumed run never takes an RPX2 file that lies in its own output
        // folder: it is the output of this or an earlier run, and converting
        // it again would only add numbered copies.
        if (options_.update && UpperAscii(ExtensionOf(source)) == ".RPX2" &&
            SameFolder(FolderPart(source), destination.Text())) {
            ++inputs_.leftOutOutputs;
            return;
        }
        inputs_.images.push_back({source, destination, relativeFolder + source.substr(source.rfind('/') + 1)});
    }

    void AddFolder(const std::string& folder, const std::string& relativeFolder) {
        const std::string withSeparator = WithTrailingSeparator(folder);
        std::error_code ec;
        std::vector<WalkEntry> entries = ListWalkFolder(withSeparator, ec);
        if (ec) {
            Skip(folder, ec.message(), true);
            return;
        }
        std::vector<std::string> files;
        std::vector<std::string> subfolders;
        for (const WalkEntry& entry : entries) {
            const std::string path = withSeparator + entry.name;
            if (entry.isDirectory && !options_.recursive) continue;
            // Hidden entries are not the user's images: dot-files, and the
            // "._NAME" companions a copy from macOS leaves beside each file.
            if (entry.name.rfind("._", 0) == 0) {
                Skip(path, "resource-fork companion", false);
                continue;
            }
            if (entry.name[0] == '.') {
                Skip(path, entry.isDirectory ? "hidden folder" : "hidden file", false);
                continue;
            }
            if (Excluded(relativeFolder + entry.name)) {
                Skip(path, "excluded", false);
                continue;
            }
            if (!entry.isDirectory) {
                if (PassesNameFilter(entry.name, options_.filter)) files.push_back(entry.name);
                continue;
            }
            if (entry.isSymlink) {
                Skip(path, "link to a folder", false);
                continue;
            }
            // Earlier outputs under a destination inside the tree are not sources.
            if (!inputs_.destinationRoot.empty() && SameFolder(path, inputs_.destinationRoot)) continue;
            subfolders.push_back(entry.name);
        }
        SortImageNames(files);
        for (const std::string& name : files) AddFile(withSeparator + name, relativeFolder);
        std::sort(subfolders.begin(), subfolders.end());
        for (const std::string& name : subfolders) AddFolder(withSeparator + name, relativeFolder + name + "/");
    }

private:
    bool Excluded(const std::string& relativePath) const {
        for (const std::string& pattern : options_.excludes)
            if (MatchesExclude(pattern, relativePath)) return true;
        return false;
    }

    void Skip(const std::string& path, const std::string& reason, bool unreadable) {
        inputs_.skipped.push_back({path, reason, unreadable});
    }

    const ConvertOptions& options_;
    ConvertInputs& inputs_;
    std::set<std::string> seen_;
};

}  // namespace

bool PassesNameFilter(const std::string& fileName, const std::string& filter) {
    if (filter.find_first_of("*?[") != std::string::npos)
        return fnmatch(filter.c_str(), fileName.c_str(), FNM_CASEFOLD) == 0;
    std::string word = UpperAscii(filter);
    if (!word.empty() && word[0] == '.') word.erase(0, 1);
    if (word == "TIFF") return PassesFilter(fileName, "tif") || PassesFilter(fileName, "tiff");
    if (word == "JPEG") return PassesFilter(fileName, "jpg") || PassesFilter(fileName, "jpeg");
    return PassesFilter(fileName, filter);
}

bool MatchesExclude(const std::string& pattern, const std::string& relativePath) {
    std::string trimmed = pattern;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    if (trimmed.rfind("./", 0) == 0) trimmed.erase(0, 2);
    if (trimmed.find('/') == std::string::npos)
        return fnmatch(trimmed.c_str(), relativePath.substr(relativePath.rfind('/') + 1).c_str(), 0) == 0;
    return fnmatch(trimmed.c_str(), relativePath.c_str(), FNM_PATHNAME) == 0;
}

std::optional<ConvertInputs> ResolveConvertInputs(const ConvertOptions& options, std::string& error) {
    ConvertInputs inputs;
    const std::string destination = TrimSpaces(options.destination);
    if (!destination.empty() && UpperAscii(destination) != "AS ABOVE")
        inputs.destinationRoot = AbsoluteNormal(destination);
    Resolver resolver(options, inputs);
    const std::vector<std::string>& paths = options.paths;
    if (paths.empty()) {
        error = "no PATH given";
        return std::nullopt;
    }
    std::error_code ec;

    // The older form: a folder, then bare names of files inside it.
    if (paths.size() >= 2 && fs::is_directory(paths[0], ec)) {
        bool allBare = true;
        std::vector<std::string> missing;  // bare names that are not files in the folder
        for (size_t i = 1; i < paths.size(); ++i) {
            std::error_code fileError;
            allBare = allBare && IsBareName(paths[i]);
            if (!fs::is_regular_file(fs::path(paths[0]) / paths[i], fileError)) missing.push_back(paths[i]);
        }
        const std::string folder = AbsoluteNormal(paths[0]);
        // When every name is also a file or folder here, the line reads as
        // well as "this folder, and these files here": refuse to guess.
        if (allBare && missing.empty()) {
            bool allHere = true;
            for (size_t i = 1; i < paths.size() && allHere; ++i) {
                std::error_code hereError;
                allHere = fs::exists(paths[i], hereError);
            }
            if (allHere) {
                std::string names, inside, here;
                for (size_t i = 1; i < paths.size(); ++i) {
                    names += " " + paths[i];
                    inside += " " + Quoted(WithTrailingSeparator(paths[0]) + paths[i]);
                    here += " " + Quoted("./" + paths[i]);
                }
                error = "ambiguous command line: \"" + paths[0] + names + "\" reads both as the file(s)" + names +
                        " inside folder " + Quoted(paths[0]) + " (say" + inside + ") and as the whole folder " +
                        Quoted(paths[0]) + " with the file(s)" + names + " of the current folder (say " +
                        Quoted(paths[0]) + here + ")";
                return std::nullopt;
            }
        }
        if (allBare && missing.empty()) {
            inputs.firstFolder = folder;
            for (size_t i = 1; i < paths.size(); ++i) resolver.AddFile(folder + "/" + paths[i], "");
            return inputs;
        }
        // Some names are in the folder and one is not there nor here: the
        // older form with a name that does not exist.
        std::error_code hereError;
        if (allBare && missing.size() < paths.size() - 1 && !fs::exists(missing[0], hereError)) {
            error = "cannot read " + Quoted(WithTrailingSeparator(paths[0]) + missing[0]) + ": " +
                    std::strerror(ENOENT);
            return std::nullopt;
        }
    }

    for (const std::string& path : paths) {
        ec.clear();
        fs::file_status status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            error = "cannot read " + Quoted(path) + ": " +
                    (ec ? ec.message() : std::string(std::strerror(ENOENT)));
            return std::nullopt;
        }
        const std::string absolute = AbsoluteNormal(path);
        if (inputs.firstFolder.empty())
            inputs.firstFolder = fs::is_directory(status) ? absolute : AbsoluteNormal(FolderPart(absolute));
        if (fs::is_directory(status)) {
            if (access(path.c_str(), R_OK | X_OK) != 0) {
                error = "cannot read " + Quoted(path) + ": " + std::strerror(errno);
                return std::nullopt;
            }
            resolver.AddFolder(absolute, "");
        } else {
            resolver.AddFile(absolute, "");
        }
    }
    return inputs;
}

void SelectShard(ConvertInputs& inputs, int index, int count) {
    std::vector<OutputRequest> requests;
    requests.reserve(inputs.images.size());
    for (const InputImage& image : inputs.images)
        requests.push_back({image.sourcePath, image.destinationFolder});
    std::vector<PlannedOutput> plan = PlanOutputPaths(requests);
    std::vector<InputImage> kept;
    for (size_t i = 0; i < inputs.images.size(); ++i) {
        inputs.images[i].planned = std::move(plan[i]);
        inputs.images[i].wholeRunIndex = i;
        if (int(i % size_t(count)) == index) kept.push_back(inputs.images[i]);
    }
    // The whole list goes along when the run is split, for the engine to plan
    // the calibration copies' names over it.
    if (count > 1) inputs.wholeRun = std::move(inputs.images);
    inputs.images = std::move(kept);
}

bool CheckWritableFolder(const std::string& folder, std::string& error) {
#ifdef O_TMPFILE
    // An unnamed file: a run killed while it probes leaves nothing behind.
    int unnamed = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        close(unnamed);
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        error = "cannot write to " + Quoted(folder) + ": " + std::strerror(errno);
        return false;
    }
#endif
    // File systems without unnamed files (NFS, older kernels): a named probe,
    // removed at once.
    std::string pattern = WithTrailingSeparator(folder) + ".tessary-probe-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = mkstemp(buffer.data());
    if (fd < 0) {
        error = "cannot write to " + Quoted(folder) + ": " + std::strerror(errno);
        return false;
    }
#ifdef _WIN32
    close(fd);  // a file that is open cannot be removed there
    unlink(buffer.data());
#else
    unlink(buffer.data());
    close(fd);
#endif
    return true;
}

void RemoveEmptyFolders(const std::vector<std::string>& folders) {
    // Innermost first; a folder that holds anything (or that another run
    // has filled meanwhile) is kept, since rmdir only takes empty ones.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) rmdir(it->c_str());
}

bool PrepareOutputFolders(const ConvertInputs& inputs, std::string& error, std::vector<std::string>* created) {
    std::vector<std::string> folders;
    if (!inputs.destinationRoot.empty()) folders.push_back(inputs.destinationRoot);
    std::set<std::string> seen(folders.begin(), folders.end());
    for (const InputImage& image : inputs.images) {
        std::string folder = image.destinationFolder.Text();
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (seen.insert(folder).second) folders.push_back(folder);
    }
    for (const std::string& folder : folders) {
        std::error_code ec;
        // The folders this call makes, outermost first, so that the run can
        // take away again those it leaves empty.
        std::vector<std::string> missing;
        for (fs::path at = folder; !at.empty() && !fs::exists(fs::symlink_status(at, ec)); at = at.parent_path()) {
            missing.push_back(at.string());
            if (at == at.parent_path()) break;
        }
        fs::create_directories(folder, ec);
        if (created)
            for (auto it = missing.rbegin(); it != missing.rend(); ++it)
                if (fs::is_directory(fs::symlink_status(*it)) &&
                    std::find(created->begin(), created->end(), *it) == created->end())
                    created->push_back(*it);
        if (ec) {
            error = "cannot create " + Quoted(folder) + ": " + ec.message();
            return false;
        }
        if (!fs::is_directory(folder, ec)) {
            error = "cannot write to " + Quoted(folder) + ": " + std::strerror(ENOTDIR);
            return false;
        }
        if (!CheckWritableFolder(folder, error)) return false;
    }
    return true;
}

std::vector<std::string> CheckScaleFileText(const std::string& text, const std::string& fileName) {
    std::vector<std::string> warnings;
    size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ++number;
        if (end == std::string::npos) {
            start = text.size();
        } else {
            start = end + 1;
            if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
        }
        std::string trimmed = line;
        while (!trimmed.empty() && std::strchr(" \t", trimmed.back())) trimmed.pop_back();
        while (!trimmed.empty() && std::strchr(" \t", trimmed.front())) trimmed.erase(0, 1);
        if (trimmed.empty() || line[0] == ';') continue;
        // At the largest image size every window is open, so nothing means
        // the line can never select a level.
        if (ScaleFromLine(line, INT_MAX, INT_MAX)) continue;
        warnings.push_back(
            "scale file " + Quoted(fileName) + " line " + std::to_string(number) + ": " + Quoted(trimmed) +
            " selects no zoom level (the allowed scales are 75, 50, 33, 25, 20, 10, 5, 2.5 and "
            "1); the line is ignored");
    }
    return warnings;
}

}  // namespace tessary::cli
