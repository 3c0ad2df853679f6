// tessary-cli convert: one conversion run of the engine in a private scratch
// folder, reported on the terminal (and, when asked, as JSON Lines).
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>

#include "cli/commands.h"
#include "cli/convert_inputs.h"
#include "cli/run_report.h"
#include "cli/terminal_observer.h"
#include "common/platform.h"
#include "common/text.h"
#include "engine/conversion_log.h"

namespace tessary::cli {

namespace {

// Readers' notices (a missing decoding library, an unsupported kind of
// file) go to the terminal without ending the run.
class NoticeSink : public platform::MessageSink {
public:
    explicit NoticeSink(TerminalObserver& observer) : observer_(observer) {}
    void ShowMessage(std::string_view text) override { observer_.Notice(text); }

private:
    TerminalObserver& observer_;
};

int Refuse(const std::string& message) {
    std::fprintf(stderr, "tessary-cli: convert: %s\n", message.c_str());
    return 2;
}

}  // namespace

int RunConvertCommand(const ConvertOptions& options, std::atomic<bool>& abort) {
    // Everything that can refuse the run does so before any image is touched.
    std::string error;
    std::vector<std::string> warnings;
    if (!CheckConvertFiles(options, warnings, error)) return Refuse(error);
    std::optional<ConvertInputs> inputs = ResolveConvertInputs(options, error);
    if (!inputs) return Refuse(error);
    bool emptyShard = false;
    if (options.shardCount > 1) {
        const bool anyImage = !inputs->images.empty();
        SelectShard(*inputs, options.shardIndex, options.shardCount);
        // A list shorter than the shards leaves some with nothing to do:
        // that task of a job array succeeds.
        emptyShard = anyImage && inputs->images.empty();
    }
    if (!PrepareOutputFolders(*inputs, error)) return Refuse(error);
    std::string base = options.temp.empty() ? std::filesystem::temp_directory_path().string() : options.temp;
    std::optional<PrivateTempFolder> scratch = PrivateTempFolder::Create(base, &error);
    if (!scratch) return Refuse(error);
    ReportWriter report;
    if (!options.report.empty() && !report.Open(options.report, error)) return Refuse(error);

    for (const std::string& warning : warnings)
        std::fprintf(stderr, "tessary-cli: convert: %s\n", warning.c_str());
    if (inputs->leftOutOutputs > 0)
        std::fprintf(stderr,
                     "tessary-cli: convert: %d RPX2 file(s) left out: they lie in their own output folder, "
                     "so --update takes them as earlier outputs\n",
                     inputs->leftOutOutputs);

    if (emptyShard) {
        report.Write(TotalsLine(RunTotals{}));
        std::fprintf(options.report == "-" ? stderr : stdout, "%s\n", SummaryLine(RunTotals{}).c_str());
        return 0;
    }

    ConversionJob job = BuildConversionJob(options, *inputs, scratch->Path(), &abort);
    // With the report on standard output, the log and the summary go to
    // standard error so that standard output stays JSON Lines.
    const bool reportOnStdout = options.report == "-";
    std::FILE* logStream = reportOnStdout ? stderr : stdout;
    TerminalSettings settings = DetectTerminal(options.verbose);
    if (reportOnStdout) settings.colourLog = false;

    ConversionLog log;
    log.Clear();
    TerminalObserver observer(log, settings, logStream);
    std::vector<std::string> paths;
    for (const InputImage& image : inputs->images) paths.push_back(image.sourcePath);
    observer.SetImagePaths(std::move(paths));
    if (report.IsOpen())
        observer.SetResultSink([&](const ImageResult& result) { report.Write(ReportLine(result)); });
    NoticeSink sink(observer);
    platform::ScopedMessageSink installed(&sink);
    const auto start = std::chrono::steady_clock::now();
    try {
        RunConversion(job, observer, log);
    } catch (const std::exception& e) {
        observer.Finish();
        return Refuse(std::string("the run stopped: ") + e.what());
    }
    observer.Finish();
    if (observer.RunFailed()) return 2;

    RunTotals totals;
    totals.images = int(job.entries.size());
    totals.converted = observer.Converted();
    totals.upToDate = observer.UpToDate();
    totals.tooSmall = observer.TooSmall();
    totals.failed = observer.Failed();
    totals.aborted = observer.Aborted();
    totals.runAborted = abort.load();
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.Write(TotalsLine(totals));
    // The summary is the last line printed.
    std::fflush(stderr);
    std::fprintf(logStream, "%s\n", SummaryLine(totals).c_str());
    std::fflush(logStream);
    const bool allDone = totals.failed == 0 && totals.aborted == 0 && !totals.runAborted &&
                         observer.Finished() == totals.images;
    return allDone ? 0 : 1;
}

}  // namespace tessary::cli
