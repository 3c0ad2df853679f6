#include "engine/map_file.h"

#include <cstdio>
#include <algorithm>
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

// The destination folder without its trailing separator, for joining with
// a separator of a fixed kind ("/" loses it too: the root joins as "/name").
std::string DestinationWithoutSeparator(const FolderPath& destination) {
    const std::string& folder = destination.Text();
    return folder.empty() ? folder : folder.substr(0, folder.size() - 1);
}

// A folder value that names a file system root: "/" here, "C:\" where
// drives exist.
bool IsRootFolder(const FolderPath& folderPath) {
    const std::string& folder = folderPath.Text();
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

// UTF-8 decoding that gives nothing for a text that is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<std::u32string> DecodeUtf8(const std::string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + size_t(length) > text.size()) return std::nullopt;
        char32_t value = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + size_t(k)]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            value = (value << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return std::nullopt;
        out += value;
        i += size_t(length);
    }
    return out;
}

// Windows-1252 bytes as code points (the five unassigned bytes keep their
// values, as Windows itself maps them).
std::u32string DecodeWindows1252(const std::string& text) {
    static constexpr char32_t kHigh[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                           0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    std::u32string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        out += (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : char32_t(c);
    }
    return out;
}

// Simple Unicode case folding for the scripts map names are written in:
// Latin (ASCII, Latin-1, Latin Extended-A), Greek and Cyrillic.
char32_t FoldCase(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
    if (c == 0x178) return 0xFF;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c == 0x17F ? U's' : c;
        const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddPairs) return (c % 2 == 1) ? c + 1 : c;
        return (c % 2 == 0) ? c + 1 : c;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c == 0x3C2) return 0x3C3;  // final sigma
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

// A file's base name (no folder, no extension) as folded code points; bytes
// that are not UTF-8 are read as Windows-1252.
// The name without its extension, case-folded; `name` has no folder.
std::u32string FoldedBaseName(const std::string& name) {
    const std::string base = RemoveExtension(name);
    std::optional<std::u32string> decoded = DecodeUtf8(base);
    std::u32string text = decoded ? *decoded : DecodeWindows1252(base);
    for (char32_t& c : text) c = FoldCase(c);
    return text;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

// The final name of a copy must take a new file: a folder there is not
// written into, and a read-only file is kept as its owner marked it.
void CheckCopyName(const std::string& copyPath) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(copyPath, ec);
    if (ec || !fs::exists(status)) return;
    if (fs::is_directory(status)) throw IoError(copyPath + ": the name is taken by a folder", EISDIR);
    if (fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_write) == fs::perms::none)
        throw IoError(copyPath + ": a read-only file is in the way", EACCES);
}

// `bytes` under a new partial name in the folder of `copyPath`.
PartialFile WriteCopyPartial(const std::string& copyPath, const std::string& bytes) {
    PartialFile partial = PartialFile::Create(FolderPath(FolderPart(copyPath)));
    try {
        CheckedFile out = partial.OpenForWriting();
        out.Write(bytes.data(), bytes.size());
        out.Close();  // flushed to the disk by the commit, before its rename
    } catch (const IoError& e) {
        std::error_code ec;
        fs::remove(partial.Path(), ec);
        throw IoError(copyPath + ": " + e.what(), e.code());
    }
    return partial;
}

// Puts a written partial file under the copy's name.
void CommitCopy(PartialFile& partial, const std::string& copyPath) {
    try {
        CheckCopyName(copyPath);
        CommitFile(partial.Path(), copyPath);
    } catch (const IoError&) {
        std::error_code ec;
        fs::remove(partial.Path(), ec);
        throw;
    }
    partial.Release();
}

}  // namespace

std::string MapCopyPath(const MapFileSettings& settings, const std::string& mapPath,
                        const std::string& copySuffix) {
    std::string name = FileNamePart(mapPath);
    std::string base = name.substr(0, name.find('.')) + copySuffix;
    std::string copyName = Contains(LowerAscii(mapPath), "_rpx") ? base + ".map" : base + "_rpx.map";
#ifdef _WIN32
    std::string copyPath = DestinationWithoutSeparator(settings.destinationFolder) + "\\" + copyName;
#else
    std::string copyPath = DestinationWithoutSeparator(settings.destinationFolder) + "/" + copyName;
#endif
    // The same file under another spelling of its folder counts as equal too:
    // copying a file onto itself would truncate it.
    if (copyPath == mapPath || SameFile(copyPath, mapPath)) {
        int counter = 0;
        do {
            ++counter;
            copyPath = RemoveExtension(copyPath) + "_" + std::to_string(counter) + ".map";
        } while (fs::exists(fs::symlink_status(fs::path(copyPath))));
    }
    return copyPath;
}

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
    if (!found.empty() && settings.copyMapFile) {
        // One pass: the copy is read, rewritten and written whole, then put
        // in place; a copy that cannot be made leaves the earlier one as it was.
        try {
            StagedMapCopy staged = StageMapCopy(settings, found, MapCopyPath(settings, found, copySuffix),
                                                rpx2Path, 100.0 / double(resizePercent));
            CommitCopy(staged.partial, staged.copyPath);
            copy = staged.copyPath;
        } catch (const std::exception&) {
            copy.reset();
        }
    }
    if (!found.empty() && copy) return "o\tNew map file created - ( " + *copy + " )";
    if (!settings.copyMapFile) return std::string();
    if (found.empty()) return "x\tNo .map file found";
    return "x\t(.map) file found but could not be copied";
}

std::string FindMapFile(const MapFileSettings& settings, const std::string& sourcePath) {
    return SearchMapFile(settings, sourcePath).found;
}

namespace {

// The search of one folder tree; `matches` collects every match of the
// folder where the first one lies.
std::optional<std::string> SearchFolder(const std::string& folder, bool descend, const std::string& sourcePath,
                                        std::vector<std::string>* matches) {
    std::vector<platform::FolderEntry> entries = platform::ListFolder(folder);
    std::sort(entries.begin(), entries.end(),
              [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
    std::optional<std::string> first;
    for (const platform::FolderEntry& entry : entries) {
        if (entry.isHidden) continue;
        if (entry.isDirectory) {
            if (first) continue;
            // Links to folders are not followed: a link back up the tree
            // would otherwise keep the search going forever.
            if (!descend || entry.isSymlink || entry.name.empty() || entry.name[0] == '.') continue;
            if (auto match = SearchFolder(folder + entry.name + "/", descend, sourcePath, matches)) return match;
            continue;
        }
        if (UpperAscii(ExtensionOf(entry.name)) != ".MAP") continue;
        std::string path = folder + entry.name;
        if (!MapFileMatchesImage(path, sourcePath)) continue;
        if (!matches) return path;
        matches->push_back(path);
        if (!first) first = path;
    }
    return first;
}

}  // namespace

MapSearchResult SearchMapFile(const MapFileSettings& settings, const std::string& sourcePath) {
    MapSearchResult result;
    std::optional<std::string> match;
    if (!settings.sourceFolder.Empty())
        match = SearchFolder(settings.sourceFolder.Text(), false, sourcePath, &result.matches);
    if (!match && !settings.mapFolder.Empty()) {
        bool descend = !IsRootFolder(settings.mapFolder);
        match = SearchFolder(settings.mapFolder.Text(), descend, sourcePath, &result.matches);
    }
    if (match) result.found = *match;
    return result;
}

std::string SeveralMapFilesWarning(const std::vector<std::string>& matches) {
    std::string names;
    for (const std::string& match : matches) names += (names.empty() ? "" : ", ") + match;
    return "x\t   Warning : several calibration files match: " + names + "; " +
           (matches.empty() ? std::string() : matches.front()) + " is used";
}

std::optional<std::string> SearchFolderForMap(const FolderPath& folder, bool descend,
                                              const std::string& sourcePath) {
    return SearchFolder(folder.Text(), descend, sourcePath, nullptr);
}

bool MapFileMatchesImage(const std::string& mapPath, const std::string& sourcePath) {
    if (!FileExists(mapPath)) return false;
    CheckedFile file = CheckedFile::OpenRegular(mapPath, true);
    TextLineReader reader(file);
    std::string line;
    for (int number = 1; number <= 3; ++number)
        if (!reader.Next(line)) return false;
    // A copy this program made names its RPX2 (or RPX) file: it belongs to
    // that file, not to every image of its base name. The line names a path
    // as written on the machine that made it, so a backslash separates folders there too.
    const std::string lineName = MapLineFileNamePart(line);
    const std::string named = UpperAscii(ExtensionOf(lineName));
    if ((named == ".RPX2" || named == ".RPX") && UpperAscii(ExtensionOf(FileNamePart(sourcePath))) != named)
        return false;
    return FoldedBaseName(FileNamePart(sourcePath)) == FoldedBaseName(lineName);
}

std::optional<std::string> MakeMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                                       const std::string& copySuffix) {
    const std::string copyPath = MapCopyPath(settings, mapPath, copySuffix);
    try {
        CheckCopyName(copyPath);
        PartialFile partial =
            WriteCopyPartial(copyPath, ReadRegularFile(mapPath, kMaxCalibrationFileBytes, true));
        CommitCopy(partial, copyPath);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return copyPath;
}

std::string RewriteMapText(const MapFileSettings& settings, const std::string& original,
                           const std::string& rpx2Path, double factor) {
    std::string out;
    out.reserve(original.size() + original.size() / 16 + 256);
    size_t pos = 0;
    for (int number = 1; pos < original.size(); ++number) {
        size_t lf = original.find('\n', pos);
        size_t end = lf == std::string::npos ? original.size() : lf;
        std::string line = original.substr(pos, end - pos);
        pos = lf == std::string::npos ? original.size() : lf + 1;
        if (lf != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
        if (number == 3) {
            line = settings.includeImagePath
                       ? DestinationWithoutSeparator(settings.destinationFolder) + "/" + FileNamePart(rpx2Path)
                       : FileNamePart(rpx2Path);
#ifdef _WIN32
            // The full path in Windows form, as the viewer reads it.
            std::replace(line.begin(), line.end(), '/', '\\');
#endif
        } else if (number == 6 && factor > 1.0) {
            line = "MSF," + MapScaleFactorText(factor);
        }
        out += line;
        out += "\r\n";
    }
    return out;
}

StagedMapCopy StageMapCopy(const MapFileSettings& settings, const std::string& mapPath,
                           const std::string& copyPath, const std::string& rpx2Path, double factor) {
    std::string original;
    try {
        original = ReadRegularFile(mapPath, kMaxCalibrationFileBytes, true);
    } catch (const IoError& e) {
        throw IoError(mapPath + ": " + e.what(), e.code());
    }
    CheckCopyName(copyPath);
    StagedMapCopy staged;
    staged.copyPath = copyPath;
    staged.partial = WriteCopyPartial(copyPath, RewriteMapText(settings, original, rpx2Path, factor));
    return staged;
}

void RewriteMapCopy(const MapFileSettings& settings, const std::string& copyPath, const std::string& rpx2Path,
                    double factor) {
    if (!FileExists(copyPath)) return;
    // The whole rewritten copy is written under a new name and then takes the
    // copy's name in one step, flushed before and after, so that a kill or a
    // power cut leaves either the copy as it was or the whole rewritten one.
    // A copy made read-only in the meantime is not replaced.
    const std::string original = ReadRegularFile(copyPath, kMaxCalibrationFileBytes, false);
    if (IsReadOnly(copyPath)) throw CopyFileError(CopyFileError::Kind::Create);
    PartialFile partial = WriteCopyPartial(copyPath, RewriteMapText(settings, original, rpx2Path, factor));
    CommitCopy(partial, copyPath);
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
