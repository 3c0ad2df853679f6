// tessary-cli convert: one conversion run of the engine in a private scratch
// folder, reported on the terminal (and, when asked, as JSON Lines).
#include <sys/stat.h>
#ifdef _WIN32
#include "common/posix_win.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>

#include "cli/commands.h"
#include "cli/convert_inputs.h"
#include "cli/dry_run.h"
#include "cli/run_report.h"
#include "cli/terminal_observer.h"
#include "common/text.h"
#include "engine/conversion_log.h"
#include "sources/source_image.h"

namespace tessary::cli {

namespace {

int Refuse(const std::string& message) {
    std::fprintf(stderr, "tessary-cli: convert: %s\n", message.c_str());
    return 2;
}

// Keeps the images of --shard K/N. True when the split leaves this shard
// none of a list that had images: a list shorter than the shards leaves
// some with nothing to do, and that task of a job array succeeds.
bool KeepShard(const ConvertOptions& options, ConvertInputs& inputs) {
    if (options.shardCount <= 1) return false;
    const bool anyImage = !inputs.images.empty();
    SelectShard(inputs, options.shardIndex, options.shardCount);
    return anyImage && inputs.images.empty();
}

RunStart RunStartNow(const ConvertOptions& options) {
    RunStart run;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char started[32];
    std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", &utc);
    run.started = started;
    run.commandLine = options.commandLine;
    run.version = TESSARY_VERSION;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) run.host = host;
    return run;
}

// --dry-run: the plan on standard output (standard error when the report
// goes there), the report's lines when asked; no folder is made, no file
// but the report written.
int DryRun(const ConvertOptions& options, const ConvertInputs& inputs, const std::vector<std::string>& warnings) {
    // The run would stop at once: the plan does too.
    if (inputs.images.empty() && inputs.skipped.empty() && options.shardCount <= 1)
        return Refuse("No Image Files Selected");
    std::string error;
    ReportWriter report;
    if (!options.report.empty() && !report.Open(options.report, error)) return Refuse(error);
    RunStart start = RunStartNow(options);
    start.dryRun = true;
    report.Write(RunLine(start));
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "tessary-cli: convert: %s\n", warning.c_str());
    for (const SkippedEntry& skipped : inputs.skipped)
        if (skipped.unreadable)
            std::fprintf(stderr, "tessary-cli: convert: cannot read folder \"%s\": %s\n", skipped.path.c_str(),
                         skipped.reason.c_str());
    std::fflush(stderr);
    return PrintPlan(options, inputs, report, options.report == "-" ? stderr : stdout);
}

}  // namespace

int RunConvertCommand(const ConvertOptions& options, std::atomic<bool>& abort) {
    // Everything that can refuse the run does so before any image is touched.
    std::string error;
    std::vector<std::string> warnings;
    if (!CheckConvertFiles(options, warnings, error)) return Refuse(error);
    std::optional<ConvertInputs> inputs = ResolveConvertInputs(options, error);
    if (!inputs) return Refuse(error);
    const bool emptyShard = KeepShard(options, *inputs);
    if (options.dryRun) return DryRun(options, *inputs, warnings);
    // Folders the run made in --dest and left empty (it stopped before any
    // image, or all their images failed) are taken away when it ends. The
    // shards of one job share their folders, and one shard cannot tell
    // whether another is about to write into one: they leave them.
    std::vector<std::string> createdFolders;
    struct RemoveWhenEmpty {
        std::vector<std::string>& folders;
        bool keep;
        ~RemoveWhenEmpty() {
            if (!keep) RemoveEmptyFolders(folders);
        }
    } removeWhenEmpty{createdFolders, options.shardCount > 1};
    if (!PrepareOutputFolders(*inputs, error, &createdFolders)) return Refuse(error);
    std::string base = options.temp.empty() ? std::filesystem::temp_directory_path().string() : options.temp;
    std::optional<PrivateTempFolder> scratch = PrivateTempFolder::Create(base, &error);
    if (!scratch) return Refuse(error);
    ReportWriter report;
    if (!options.report.empty() && !report.Open(options.report, error)) return Refuse(error);
    report.Write(RunLine(RunStartNow(options)));

    for (const std::string& warning : warnings)
        std::fprintf(stderr, "tessary-cli: convert: %s\n", warning.c_str());
    // Folders the walk could not read are failures of the run, named before
    // it starts and counted in its totals.
    int unreadable = 0;
    for (const SkippedEntry& skipped : inputs->skipped) {
        if (!skipped.unreadable) continue;
        ++unreadable;
        std::fprintf(stderr, "tessary-cli: convert: cannot read folder \"%s\": %s\n", skipped.path.c_str(),
                     skipped.reason.c_str());
        report.Write(PathOnlyLine(skipped.path, "unreadable", skipped.reason));
    }
    if (inputs->leftOutOutputs > 0)
        std::fprintf(stderr,
                     "tessary-cli: convert: %d RPX2 file(s) left out: they lie in their own output folder, "
                     "so --update takes them as earlier outputs\n",
                     inputs->leftOutOutputs);

    if (emptyShard) {
        RunTotals none;
        none.unreadable = unreadable;
        report.Write(TotalsLine(none));
        std::fprintf(options.report == "-" ? stderr : stdout, "%s\n", SummaryLine(none).c_str());
        return unreadable > 0 ? 1 : 0;
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
    if (settings.statusLine) {
        // Headers only; a terminal is watching, so the overall percentage
        // and the time left are worth the reads.
        std::vector<uint64_t> pixels;
        for (const InputImage& image : inputs->images) {
            uint64_t count = 0;
            try {
                struct stat status {};
                if (stat(image.sourcePath.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
                    const SourceImageInfo info = GetSourceImageInfo(image.sourcePath);
                    count = uint64_t(std::max(info.width, 0)) * uint64_t(std::max(info.height, 0));
                }
            } catch (const std::exception&) {
            }
            pixels.push_back(count);
        }
        observer.SetImagePixels(std::move(pixels));
    }
    if (report.IsOpen())
        observer.SetResultSink([&](const ImageResult& result) { report.Write(ReportLine(result)); });
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
    totals.unreadable = unreadable;
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.Write(TotalsLine(totals));
    // The summary is the last line printed.
    std::fflush(stderr);
    std::fprintf(logStream, "%s\n", SummaryLine(totals).c_str());
    std::fflush(logStream);
    const bool allDone = totals.failed == 0 && totals.aborted == 0 && !totals.runAborted && unreadable == 0 &&
                         observer.Finished() == totals.images;
    return allDone ? 0 : 1;
}

}  // namespace tessary::cli
