#include "engine/map_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"

namespace tessary {

namespace fs = std::filesystem;

namespace {

// Reads text lines: a line ends at LF, and a CR directly before that LF is
// not part of it. A last line without LF still counts; nothing after the
// last LF does. Bytes are kept as they are.
class TextLineReader {
public:
    explicit TextLineReader(CheckedFile& file) : file_(file), buffer_(8192) {}

    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == length_) {
                if (atEnd_) return any;
                length_ = file_.ReadSome(buffer_.data(), buffer_.size());
                pos_ = 0;
                if (length_ < buffer_.size()) atEnd_ = true;
                if (length_ == 0) return any;
            }
            any = true;
            const char* begin = buffer_.data() + pos_;
            const char* end = buffer_.data() + length_;
            const char* lf = static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
            if (!lf) {
                line.append(begin, end);
                pos_ = length_;
                continue;
            }
            line.append(begin, lf);
            pos_ += size_t(lf - begin) + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
    }

private:
    CheckedFile& file_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t length_ = 0;
    bool atEnd_ = false;
};

// The destination folder trimmed of spaces and without its trailing
// separator ("/" stays "/" and then loses it: the root joins as "/name").
std::string DestinationWithoutSeparator(const std::string& destination) {
    std::string folder = TrimSpaces(destination);
    if (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
    return folder;
}

// A folder value that names a file system root: "/" here, "C:\" where
// drives exist.
bool IsRootFolder(const std::string& folder) {
    if (folder.size() == 1 && IsPathSeparator(folder[0])) return true;
    return folder.size() == 3 && folder[1] == ':' && IsPathSeparator(folder[2]);
}

// The read-only attribute of this platform: the owner may not write.
bool IsReadOnly(const std::string& path) {
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) return false;
    return (status.permissions() & fs::perms::owner_write) == fs::perms::none;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

CopyFileError::CopyFileError(Kind kind)
    : std::runtime_error(kind == Kind::Open     ? "File Open Error"
                         : kind == Kind::Create ? "File create Error"
                         : kind == Kind::Read   ? "File Read Error"
                                                : "File Write Error"),
      kind_(kind) {}

std::string ProcessMapFile(const MapFileSettings& settings, const std::string& sourcePath,
                           const std::string& rpx2Path, int resizePercent, const std::string& copySuffix) {
    std::string found = FindMapFile(settings, sourcePath);
    std::optional<std::string> copy;
    if (!found.empty() && settings.copyMapFile) copy = MakeMapCopy(settings, found, copySuffix);
    if (!found.empty() && copy) {
        RewriteMapCopy(settings, *copy, rpx2Path, 100.0 / double(resizePercent));
        return "o\tNew map file created - ( " + *copy + " )";
    }
    if (!settings.copyMapFile) return std::string();
    if (found.empty()) return "x\tNo .map file found";
    return "x\t(.map) file found but could not be copied";
}

std::string FindMapFile(const MapFileSettings& settings, const std::string& sourcePath) {
    if (!settings.sourceFolder.empty()) {
        if (auto match = SearchFolderForMap(settings.sourceFolder, false, sourcePath)) return *match;
    }
    if (!settings.mapFolder.empty()) {
        bool descend = !IsRootFolder(settings.mapFolder);
        if (auto match = SearchFolderForMap(settings.mapFolder, descend, sourcePath)) return *match;
    }
    return std::string();
}

std::optional<std::string> SearchFolderForMap(const std::string& folder, bool descend,
                                              const std::string& sourcePath) {
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isHidden) continue;
        if (entry.isDirectory) {
            // Links to folders are not followed: a link back up the tree
            // would otherwise keep the search going forever.
            if (!descend || entry.isSymlink || entry.name.empty() || entry.name[0] == '.') continue;
            if (auto match = SearchFolderForMap(folder + entry.name + "/", descend, sourcePath)) return match;
            continue;
        }
        if (UpperAscii(ExtensionOf(entry.name)) != ".MAP") continue;
        std::string path = folder + entry.name;
        if (MapFileMatchesImage(path, sourcePath)) return path;
    }
    return std::nullopt;
}

bool MapFileMatchesImage(const std::string& mapPath, const std::string& sourcePath) {
    if (!FileExists(mapPath)) return false;
    CheckedFile file(mapPath, CheckedFile::Mode::Read);
    TextLineReader reader(file);
    std::string line;
    for (int number = 1; number <= 3; ++number)
        if (!reader.Next(line)) return false;
    return UpperAscii(RemoveExtension(FileNamePart(sourcePath))) ==
           UpperAscii(RemoveExtension(MapLineFileNamePart(line)));
}

std::optional<std::string> MakeMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                                       const std::string& copySuffix) {
    std::string name = FileNamePart(mapPath);
    std::string base = name.substr(0, name.find('.')) + copySuffix;
    std::string copyName = Contains(LowerAscii(mapPath), "_rpx") ? base + ".map" : base + "_rpx.map";
    std::string copyPath = DestinationWithoutSeparator(settings.destinationFolder) + "/" + copyName;
    // The same file under another spelling of its folder counts as equal too:
    // copying a file onto itself would truncate it.
    if (copyPath == mapPath || SameFile(copyPath, mapPath)) {
        int counter = 0;
        do {
            ++counter;
            copyPath = RemoveExtension(copyPath) + "_" + std::to_string(counter) + ".map";
        } while (fs::exists(fs::path(copyPath)));
    }
    try {
        CopyFileChunked(mapPath, copyPath, false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return copyPath;
}

void RewriteMapCopy(const MapFileSettings& settings, const std::string& copyPath, const std::string& rpx2Path,
                    double factor) {
    if (!FileExists(copyPath)) return;
    const std::string workPath = RemoveExtension(copyPath) + ".$$$";
    {
        CheckedFile in(copyPath, CheckedFile::Mode::Read);
        CheckedFile out(workPath, CheckedFile::Mode::Create);
        TextLineReader reader(in);
        std::string line;
        for (int number = 1; reader.Next(line); ++number) {
            if (number == 3) {
                line = settings.includeImagePath ? DestinationWithoutSeparator(settings.destinationFolder) +
                                                       "/" + FileNamePart(rpx2Path)
                                                 : FileNamePart(rpx2Path);
            } else if (number == 6 && factor > 1.0) {
                line = "MSF," + MapScaleFactorText(factor);
            }
            line += "\r\n";
            out.Write(line.data(), line.size());
        }
        out.Close();
    }
    // The work file replaces the copy in one step, flushed before and after,
    // so that a kill or a power cut leaves either the copy as it was or the
    // whole rewritten one: never a copy cut short. A copy made read-only in
    // the meantime is not replaced, as a copy over it would fail.
    std::error_code ec;
    if (IsReadOnly(copyPath)) {
        fs::remove(workPath, ec);
        throw CopyFileError(CopyFileError::Kind::Create);
    }
    try {
        CommitFile(workPath, copyPath);
    } catch (const IoError&) {
        fs::remove(workPath, ec);
        throw;
    }
}

std::string MapScaleFactorText(double factor) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", factor);
    std::string text = buffer;
    size_t e = text.find_first_of("eE");
    if (e != std::string::npos) {
        // Plain decimal without exponent, 15 significant digits.
        int exponent = std::stoi(text.substr(e + 1));
        int decimals = exponent >= 14 ? 0 : 14 - exponent;
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, factor);
        text = buffer;
        if (text.find_first_of(".,") != std::string::npos) {
            while (!text.empty() && text.back() == '0') text.pop_back();
            if (!text.empty() && (text.back() == '.' || text.back() == ',')) text.pop_back();
        }
    }
    for (char& c : text)
        if (c == ',') c = '.';
    return TrimSpaces(text);
}

void CopyFileChunked(const std::string& source, const std::string& destinationIn, bool clearReadOnly) {
    std::string destination = destinationIn;
    if (DirectoryExists(destination)) destination = WithTrailingSeparator(destination) + FileNamePart(source);

    std::vector<char> buffer(8192);
    CheckedFile in;
    if (!CheckedFile::TryOpen(source, CheckedFile::Mode::Read, in))
        throw CopyFileError(CopyFileError::Kind::Open);

    std::string folder = FolderPart(destination);
    if (!folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);  // a failure shows when the file is created
    }
    if (IsReadOnly(destination)) {
        if (!clearReadOnly) throw CopyFileError(CopyFileError::Kind::Create);
        std::error_code ec;
        fs::permissions(destination, fs::perms::owner_write, fs::perm_options::add, ec);
    }
    // Creating the source itself would truncate it before it is read.
    if (SameFile(source, destination)) throw CopyFileError(CopyFileError::Kind::Create);
    CheckedFile out;
    if (!CheckedFile::TryOpen(destination, CheckedFile::Mode::Create, out))
        throw CopyFileError(CopyFileError::Kind::Create);

    for (;;) {
        size_t got;
        try {
            got = in.ReadSome(buffer.data(), buffer.size());
        } catch (const IoError&) {
            throw CopyFileError(CopyFileError::Kind::Read);
        }
        if (got > 0) {
            try {
                out.Write(buffer.data(), got);
            } catch (const IoError&) {
                throw CopyFileError(CopyFileError::Kind::Write);
            }
        }
        if (got < buffer.size()) break;
    }
    try {
        out.Close();
    } catch (const IoError&) {
        throw CopyFileError(CopyFileError::Kind::Write);
    }
}

}  // namespace tessary
