#include "app/ini_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "common/file.h"
#include "common/text.h"

namespace tessary::app {

namespace {

std::string TrimBlanks(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// Some editors begin a UTF-8 file with a byte-order mark; it belongs to no
// line.
const std::string kByteOrderMark = "\xEF\xBB\xBF";

// The lines of the file without their line ends (CR LF, LF or CR) and
// without a leading byte-order mark, which `hadMark` reports.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, bool* hadMark = nullptr) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::string content;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        // A read error (the path vanished or changed kind) reads as no file.
        return std::nullopt;
    }
    const bool mark = content.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
    if (hadMark) *hadMark = mark;
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = mark ? kByteOrderMark.size() : 0; i < content.size(); ++i) {
        char c = content[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// The section name of a "[name]" line.
std::optional<std::string> SectionName(const std::string& line) {
    std::string text = TrimBlanks(line);
    if (text.size() < 2 || text.front() != '[') return std::nullopt;
    size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    return TrimBlanks(text.substr(1, close - 1));
}

// The key of a "key=value" line (comments and other lines have none).
std::optional<std::string> KeyOf(const std::string& line) {
    std::string text = TrimBlanks(line);
    if (text.empty() || text[0] == ';') return std::nullopt;
    size_t equals = text.find('=');
    if (equals == std::string::npos) return std::nullopt;
    return TrimBlanks(text.substr(0, equals));
}

// Only an existing file is rewritten in place: a new one could not be made
// where no temporary file can.
bool WriteInPlace(const std::string& path, const std::string& content) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    out.close();
    return bool(out);
}

}  // namespace

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback) {
    auto lines = ReadLines(path);
    if (!lines) return fallback;
    bool inSection = false;
    for (const std::string& line : *lines) {
        if (auto name = SectionName(line)) {
            inSection = EqualsIgnoreCaseAscii(*name, section);
            continue;
        }
        if (!inSection) continue;
        auto lineKey = KeyOf(line);
        if (!lineKey || !EqualsIgnoreCaseAscii(*lineKey, key)) continue;
        std::string value = TrimBlanks(line.substr(line.find('=') + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return fallback;
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    bool hadMark = false;
    std::vector<std::string> lines = ReadLines(path, &hadMark).value_or(std::vector<std::string>{});
    const std::string entry = key + "=" + value;
    bool inSection = false, sectionFound = false, done = false;
    size_t insertAt = 0;  // after the last non-blank line of the section
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto name = SectionName(lines[i])) {
            if (inSection) break;
            inSection = EqualsIgnoreCaseAscii(*name, section);
            if (inSection) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection) continue;
        if (auto lineKey = KeyOf(lines[i]); lineKey && EqualsIgnoreCaseAscii(*lineKey, key)) {
            lines[i] = entry;
            done = true;
        } else if (!TrimBlanks(lines[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (!done) {
        if (sectionFound) {
            lines.insert(lines.begin() + std::ptrdiff_t(insertAt), entry);
        } else {
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        }
    }
    // The mark is kept for the editor that wrote it.
    std::string content = hadMark ? kByteOrderMark : std::string();
    for (const std::string& line : lines) content += line + "\r\n";
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        // No temporary file can be made beside the settings (a folder that
        // only the file itself may be written in): the file is rewritten in
        // place rather than losing the setting.
        if (!out) return WriteInPlace(path, content);
        out << content;
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    // Replacing the file in one step keeps a complete file on disk even when
    // the program stops half-way through a write.
    try {
        CommitFile(temporary, path);  // flushed before and after the rename
    } catch (const std::exception&) {
        std::remove(temporary.c_str());
        return WriteInPlace(path, content);
    }
    return true;
}

}  // namespace tessary::app
