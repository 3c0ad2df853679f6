#include "cli/run_report.h"

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace tessary::cli {

namespace {

using json = nlohmann::ordered_json;  // keys in the order written: source first

// Bytes that are not UTF-8 become U+FFFD here; paths carry their exact
// bytes beside (AddPath).
std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The length of the valid UTF-8 sequence at `at`, 0 when the bytes there
// are not one (overlong forms, surrogates and values past U+10FFFF are not).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return i < text.size() ? uint8_t(text[i]) : uint8_t(0); };
    const uint8_t lead = byte(at);
    const auto follows = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return follows(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const uint8_t second = byte(at + 1);
        if (lead == 0xE0 && second < 0xA0) return 0;
        if (lead == 0xED && second >= 0xA0) return 0;
        return follows(at + 1) && follows(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const uint8_t second = byte(at + 1);
        if (lead == 0xF0 && second < 0x90) return 0;
        if (lead == 0xF4 && second >= 0x90) return 0;
        return follows(at + 1) && follows(at + 2) && follows(at + 3) ? 4 : 0;
    }
    return 0;
}

double Rounded(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

// The hex digits of every byte of `text`.
std::string Hex(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        out += kHex[uint8_t(c) >> 4];
        out += kHex[uint8_t(c) & 15];
    }
    return out;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

void AddPath(nlohmann::ordered_json& object, const std::string& key, const std::string& path) {
    object[key] = path;
    if (!IsValidUtf8(path)) object[key + "_hex"] = Hex(path);
}

void AddPathOrNull(nlohmann::ordered_json& object, const std::string& key, const std::string& path) {
    if (path.empty())
        object[key] = nullptr;
    else
        AddPath(object, key, path);
}

nlohmann::ordered_json ImageLineStart(const std::string& source, const std::string& output,
                                      const std::string& outcome, const std::string& reason, int width,
                                      int height) {
    json line;
    AddPath(line, "source", source);
    AddPathOrNull(line, "output", output);
    line["outcome"] = outcome;
    if (!reason.empty()) line["reason"] = reason;
    line["width"] = width;
    line["height"] = height;
    return line;
}

std::string DumpLine(const nlohmann::ordered_json& line) {
    return Dump(line);
}

std::string ReportLine(const ImageResult& result) {
    json line = ImageLineStart(result.sourcePath, result.outputPath, OutcomeName(result.outcome), result.reason,
                               result.width, result.height);
    line["levels"] = result.levels;
    line["output_bytes"] = result.outputBytes;
    if (result.damagedRows > 0) line["damaged_rows"] = result.damagedRows;
    if (!result.mapFile.empty()) AddPath(line, "calibration", result.mapFile);
    if (!result.mapCopyPath.empty()) AddPath(line, "map_copy", result.mapCopyPath);
    if (!result.updateReason.empty()) line["update_reason"] = result.updateReason;
    line["seconds"] = Rounded(result.seconds);
    return Dump(line);
}

std::string PathOnlyLine(const std::string& path, const char* outcome, const std::string& reason) {
    json line;
    AddPath(line, "source", path);
    line["output"] = nullptr;
    line["outcome"] = outcome;
    line["reason"] = reason;
    return Dump(line);
}


std::string RunLine(const RunStart& run) {
    json inner;
    inner["started"] = run.started;
    inner["command_line"] = run.commandLine;
    inner["version"] = run.version;
    inner["host"] = run.host;
    if (run.dryRun) inner["dry_run"] = true;
    json line;
    line["run"] = inner;
    return Dump(line);
}

std::string TotalsLine(const RunTotals& totals) {
    json inner;
    inner["images"] = totals.images;
    inner["converted"] = totals.converted;
    inner["up_to_date"] = totals.upToDate;
    inner["too_small"] = totals.tooSmall;
    inner["failed"] = totals.failed;
    inner["aborted"] = totals.aborted;
    inner["run_aborted"] = totals.runAborted;
    inner["unreadable"] = totals.unreadable;
    inner["seconds"] = Rounded(totals.seconds);
    json line;
    line["totals"] = inner;
    return Dump(line);
}

std::string SummaryLine(const RunTotals& totals) {
    std::string text = std::to_string(totals.converted) + " of " + std::to_string(totals.images) +
                       (totals.images == 1 ? " image" : " images") + " converted";
    auto part = [&](int count, const char* what) {
        if (count > 0) text += ", " + std::to_string(count) + " " + what;
    };
    part(totals.upToDate, "up to date");
    part(totals.tooSmall, "too small");
    part(totals.failed, "failed");
    part(totals.aborted, "aborted");
    if (totals.unreadable > 0)
        text += ", " + std::to_string(totals.unreadable) +
                (totals.unreadable == 1 ? " folder unreadable" : " folders unreadable");
    if (totals.runAborted) text += ", run aborted";
    return text;
}

ReportWriter::~ReportWriter() {
    if (file_ && owned_) std::fclose(file_);
}

bool ReportWriter::Open(const std::string& path, std::string& error) {
    if (path == "-") {
        file_ = stdout;
        owned_ = false;
        return true;
    }
    // Appended: each run adds its own lines after a "run" line, so a file
    // named on every resumed run keeps the record of all of them.
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) {
        error = "cannot write report \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    owned_ = true;
    return true;
}

void ReportWriter::Write(const std::string& line) {
    if (!file_) return;
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace tessary::cli
