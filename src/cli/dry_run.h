// tessary-cli convert --dry-run: the plan of a run, made without touching
// anything. Every image the run would meet gets one line: its source, the
// output it would write, what the run would do with it (convert, up to
// date, too small, refused) and why, and the calibration file it would
// copy; the entries the walk passed by follow. Only headers are read.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/convert_inputs.h"
#include "cli/options.h"
#include "cli/run_report.h"

namespace tessary::cli {

enum class PlannedAction { Convert, UpToDate, TooSmall, Refused };

struct PlanRow {
    std::string source;
    std::string output;  // empty when no name could be planned
    PlannedAction action = PlannedAction::Convert;
    std::string reason;       // why, for all but Convert
    std::string calibration;  // the calibration file to copy; empty none
    // Every calibration file of the folder where `calibration` lies that names
    // the image too (it first); more than one: the run warns about the choice.
    std::vector<std::string> calibrationMatches;
    int width = 0;            // from the header; 0 when it does not tell
    int height = 0;
};

// The plan of `inputs`' images, in run order.
std::vector<PlanRow> PlanRun(const ConvertOptions& options, const ConvertInputs& inputs);

// "convert", "up-to-date", "too-small", "refused".
const char* PlannedActionName(PlannedAction action);

// The printed line of a row.
std::string PlanText(const PlanRow& row, bool copyMapFile);

// The report's object for a row (the run report's keys, the action as its
// outcome, "calibration" the file or null).
std::string PlanReportLine(const PlanRow& row);

// Prints the plan on `out` (and into `report` when it is open), the skipped
// entries and a last line with the counts. Gives the exit status: 0, or 1
// when an image would be refused or a folder could not be read.
int PrintPlan(const ConvertOptions& options, const ConvertInputs& inputs, ReportWriter& report, std::FILE* out);

}  // namespace tessary::cli
