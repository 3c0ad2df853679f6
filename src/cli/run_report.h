// The --report of a convert run: JSON Lines, one object per finished image
// as it finishes, then one object with the run's totals.
#pragma once

#include <cstdio>
#include <string>

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
    double seconds = 0;
};

// One image's object: source, output (null when none), outcome, reason (on
// failure), width, height, levels, output_bytes, damaged_rows, seconds.
std::string ReportLine(const ImageResult& result);

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
