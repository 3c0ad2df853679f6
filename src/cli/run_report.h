// The --report of a convert run: JSON Lines appended to the file, one
// "run" object, one object per finished image as it finishes, then one
// object with the run's totals.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/conversion.h"

namespace tessary::cli {

struct RunTotals {
    int images = 0;  // selected for the run
    int converted = 0;
    int upToDate = 0;
    int tooSmall = 0;
    int failed = 0;
    int aborted = 0;
    bool runAborted = false;
    int unreadable = 0;  // folders the walk could not read
    double seconds = 0;
};

// True when `text` is valid UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(const std::string& text);

// Sets object[key] to `path`; a path that is not valid UTF-8 (file names
// need not be) is written with U+FFFD for the bytes that are not, and its
// exact bytes go to key + "_hex" as two lower-case hex digits each, so that
// a script can find the file.
void AddPath(nlohmann::ordered_json& object, const std::string& key, const std::string& path);
// As AddPath, with null for an empty path.
void AddPathOrNull(nlohmann::ordered_json& object, const std::string& key, const std::string& path);

// The fields an image's line starts with, in the report and in the plan of
// a dry run: source, output (null when none), outcome, reason (when there
// is one), width, height.
nlohmann::ordered_json ImageLineStart(const std::string& source, const std::string& output,
                                      const std::string& outcome, const std::string& reason, int width,
                                      int height);

// One line of the file: bytes that are not UTF-8 become U+FFFD (paths carry
// their exact bytes beside, AddPath).
std::string DumpLine(const nlohmann::ordered_json& line);

// What the "run" line tells: start time (UTC, ISO 8601), the command line,
// the program's version and the host's name.
struct RunStart {
    std::string started;
    std::vector<std::string> commandLine;
    std::string version;
    std::string host;
    bool dryRun = false;  // --dry-run: the lines that follow are a plan
};

// The first object of a run: {"run": {"started", "command_line", "version",
// "host"}}, with "dry_run": true for a plan.
std::string RunLine(const RunStart& run);

// One image's object: source, output (null when none), outcome, reason (on
// failure), width, height, levels, output_bytes, damaged_rows, seconds;
// source_hex and output_hex for names that are not UTF-8.
std::string ReportLine(const ImageResult& result);

// A path that gives no image: source, output null, outcome ("unreadable"
// for a folder the walk could not read, "skipped" in a plan), reason.
std::string PathOnlyLine(const std::string& path, const char* outcome, const std::string& reason);

// The last object: {"totals": {...}}.
std::string TotalsLine(const RunTotals& totals);

// "4 of 22 images converted, 14 too small, 4 failed": counts that are zero
// are left out, but for the first.
std::string SummaryLine(const RunTotals& totals);

// Writes lines to a file or to standard output ("-"), flushed line by line
// so that a killed run leaves every finished image reported.
class ReportWriter {
public:
    ReportWriter() = default;
    ~ReportWriter();
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Gives false with `error` naming the file and the system's reason.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return file_ != nullptr; }
    void Write(const std::string& line);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
};

}  // namespace tessary::cli
