// tessary-cli convert: one conversion run of the engine in a private scratch
// folder, reported on the terminal.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>

#include "cli/commands.h"
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

}  // namespace

int RunConvertCommand(const ConvertOptions& options, std::atomic<bool>& abort) {
    std::string base = options.temp.empty() ? std::filesystem::temp_directory_path().string() : options.temp;
    // The run works in a folder of its own; a temporary folder that does not
    // exist goes to the engine as it is, which refuses it.
    std::optional<PrivateTempFolder> scratch = PrivateTempFolder::Create(base);
    std::string error;
    std::optional<ConversionJob> job =
        BuildConversionJob(options, scratch ? scratch->Path() : base, &abort, error);
    if (!job) {
        std::fprintf(stderr, "tessary-cli convert: %s\n", error.c_str());
        return 2;
    }

    ConversionLog log;
    log.Clear();
    TerminalObserver observer(log, DetectTerminal(options.verbose));
    NoticeSink sink(observer);
    platform::ScopedMessageSink installed(&sink);
    const auto start = std::chrono::steady_clock::now();
    try {
        RunConversion(*job, observer, log);
    } catch (const std::exception& e) {
        observer.Finish();
        std::fprintf(stderr, "tessary-cli convert: the run stopped: %s\n", e.what());
        return 2;
    }
    observer.Finish();
    if (observer.RunFailed()) return 2;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int selected = int(job->entries.size());
    std::fprintf(stderr, "tessary-cli: %d of %d image(s) converted, %d failed, %d aborted%s (%.1f s)\n",
                 observer.Converted(), selected, observer.Failed(), observer.Aborted(),
                 abort.load() ? ", run aborted" : "", seconds);
    return observer.Converted() == selected ? 0 : 1;
}

}  // namespace tessary::cli
