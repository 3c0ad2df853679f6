#include "engine/output_record.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdio>
#include <vector>

#include "common/file.h"
#include "common/text.h"
#include "engine/leftovers.h"
#include "rpx/rpx_reader.h"

#ifndef TESSARY_VERSION
#define TESSARY_VERSION "unknown"
#endif

namespace tessary {

namespace {

constexpr const char* kRecordHead = "tessary-output-record 1\n";

// "key LEN:VALUE\n": the length lets any byte stand in a path.
void Field(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += ' ';
    text += std::to_string(value.size());
    text += ':';
    text += value;
    text += '\n';
}

}  // namespace

const char* RecordedProgramVersion() {
    return TESSARY_VERSION;
}

std::string RecordPathFor(const std::string& outputPath) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : FileNamePart(outputPath)) hash = (hash ^ c) * 1099511628211ull;
    char name[48];
    std::snprintf(name, sizeof name, ".tessary-%016llx.record", static_cast<unsigned long long>(hash));
    return FolderPart(outputPath) + name;
}

bool IsRecordFileName(const std::string& name) {
    return name.size() == std::string(".tessary-0123456789abcdef.record").size() &&
           name.compare(0, 9, ".tessary-") == 0 && name.compare(name.size() - 7, 7, ".record") == 0;
}

bool StatForRecord(const std::string& path, uint64_t& size, int64_t& timeNs) {
#ifdef _WIN32
    // Nanoseconds since 1970 from the 100-nanosecond ticks since 1601.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const int64_t ticks = int64_t((uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    timeNs = (ticks - 116444736000000000LL) * 100;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    size = uint64_t(st.st_size);
    timeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + int64_t(st.st_mtim.tv_nsec);
#endif
    return true;
}

std::string RecordText(const OutputRecord& record) {
    std::string text = kRecordHead;
    Field(text, "output", record.outputName);
    Field(text, "source", record.sourcePath);
    Field(text, "source_size", std::to_string(record.sourceSize));
    Field(text, "source_time_ns", std::to_string(record.sourceTimeNs));
    Field(text, "options", record.options);
    Field(text, "version", record.version);
    Field(text, "calibration", record.calibrationPath);
    Field(text, "calibration_size", std::to_string(record.calibrationSize));
    Field(text, "calibration_time_ns", std::to_string(record.calibrationTimeNs));
    Field(text, "damaged", record.damaged ? "1" : "0");
    Field(text, "output_size", std::to_string(record.outputSize));
    return text + "end\n";
}

std::optional<OutputRecord> ParseRecord(const std::string& whole) {
    // A record is committed as the closing file of its output's commit
    // note, whose lines come first.
    const std::string text = whole.substr(NoteLength(whole));
    const std::string head = kRecordHead;
    if (text.compare(0, head.size(), head) != 0) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> fields;
    size_t pos = head.size();
    while (pos < text.size()) {
        if (text.compare(pos, std::string::npos, "end\n") == 0) break;
        size_t space = text.find(' ', pos);
        size_t colon = space == std::string::npos ? space : text.find(':', space);
        if (colon == std::string::npos) return std::nullopt;
        uint64_t length = 0;
        for (size_t i = space + 1; i < colon; ++i) {
            if (text[i] < '0' || text[i] > '9' || length > (uint64_t(1) << 32)) return std::nullopt;
            length = length * 10 + uint64_t(text[i] - '0');
        }
        if (colon == space + 1 || length > text.size() - colon - 1) return std::nullopt;
        fields.emplace_back(text.substr(pos, space - pos), text.substr(colon + 1, size_t(length)));
        pos = colon + 1 + size_t(length);
        if (pos >= text.size() || text[pos] != '\n') return std::nullopt;
        ++pos;
    }
    if (pos >= text.size()) return std::nullopt;  // no "end": cut short
    OutputRecord record;
    auto number = [](const std::string& value, auto& out) {
        if (value.empty() || value.size() > 19) return false;
        int64_t n = 0;
        size_t i = value[0] == '-' ? 1 : 0;
        if (i == value.size()) return false;
        for (; i < value.size(); ++i) {
            if (value[i] < '0' || value[i] > '9') return false;
            n = n * 10 + (value[i] - '0');
        }
        out = static_cast<std::remove_reference_t<decltype(out)>>(value[0] == '-' ? -n : n);
        return true;
    };
    int seen = 0;
    for (const auto& [key, value] : fields) {
        bool ok = true;
        if (key == "output") record.outputName = value;
        else if (key == "source") record.sourcePath = value;
        else if (key == "source_size") ok = number(value, record.sourceSize);
        else if (key == "source_time_ns") ok = number(value, record.sourceTimeNs);
        else if (key == "options") record.options = value;
        else if (key == "version") record.version = value;
        else if (key == "calibration") record.calibrationPath = value;
        else if (key == "calibration_size") ok = number(value, record.calibrationSize);
        else if (key == "calibration_time_ns") ok = number(value, record.calibrationTimeNs);
        else if (key == "damaged") record.damaged = value == "1";
        else if (key == "output_size") ok = number(value, record.outputSize);
        else continue;
        if (!ok) return std::nullopt;
        ++seen;
    }
    if (seen != 11) return std::nullopt;
    return record;
}

std::optional<OutputRecord> ReadRecordOf(const std::string& outputPath) {
    try {
        std::optional<OutputRecord> record =
            ParseRecord(ReadRegularFile(RecordPathFor(outputPath), 1 << 20, false));
        if (record && record->outputName != FileNamePart(outputPath)) return std::nullopt;
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string OutOfDateReason(const OutputRecord& made, const OutputRecord& now, const std::string& outputPath) {
    if (made.sourcePath != now.sourcePath) return "made from another source";
    if (made.sourceSize != now.sourceSize || made.sourceTimeNs != now.sourceTimeNs) return "source changed";
    if (made.options != now.options || made.version != now.version) return "options changed";
    if (made.calibrationPath != now.calibrationPath || made.calibrationSize != now.calibrationSize ||
        made.calibrationTimeNs != now.calibrationTimeNs)
        return "calibration changed";
    if (made.damaged) return "damaged before";
    // The quick check of the output itself: its size, header and level table.
    if (FileSizeOf(outputPath) != int64_t(made.outputSize)) return "output changed";
    try {
        RpxHandle output(outputPath);
        if (output.LevelCount() < 1) return "output changed";
    } catch (const std::exception&) {
        return "output changed";
    }
    return std::string();
}

}  // namespace tessary
