#include "cli/run_report.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace tessary::cli {

namespace {

using json = nlohmann::ordered_json;  // keys in the order written: source first

// File names need not be UTF-8; bytes that are not become U+FFFD rather
// than ending the run.
std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

double Rounded(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

}  // namespace

std::string ReportLine(const ImageResult& result) {
    json line;
    line["source"] = result.sourcePath;
    line["output"] = result.outputPath.empty() ? json(nullptr) : json(result.outputPath);
    line["outcome"] = OutcomeName(result.outcome);
    if (!result.reason.empty()) line["reason"] = result.reason;
    line["width"] = result.width;
    line["height"] = result.height;
    line["levels"] = result.levels;
    line["output_bytes"] = result.outputBytes;
    if (result.damagedRows > 0) line["damaged_rows"] = result.damagedRows;
    line["seconds"] = Rounded(result.seconds);
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
    file_ = std::fopen(path.c_str(), "w");
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
