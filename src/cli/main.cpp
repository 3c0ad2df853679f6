// tessary-cli: converts raster map images into RPX2 files from a
// terminal, and lists, inspects and decodes the results.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "cli/commands.h"
#include "cli/options.h"

namespace {

// Ctrl-C (and a polite kill) set the abort flag, exactly like Esc in the
// window: the image at work ends as aborted and the run ends normally, so the
// scratch folder is still removed.
std::atomic<bool> g_abort{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    g_abort.store(true);
#ifndef _WIN32
    static const char text[] = "\ntessary-cli: aborting...\n";
    ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
#endif
}

void InstallInterruptHandler() {
#ifndef _WIN32
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    std::signal(SIGINT, OnInterrupt);
#endif
}

const char* CommandWord(tessary::cli::Command command) {
    using tessary::cli::Command;
    switch (command) {
        case Command::Convert:
            return "convert ";
        case Command::List:
            return "list ";
        case Command::Info:
            return "info ";
        case Command::Extract:
            return "extract ";
        case Command::Compare:
            return "compare ";
        case Command::Version:
        case Command::None:
            break;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessary::cli;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "tessary-cli: %s\nTry \"tessary-cli %s--help\".\n", parsed.error.c_str(),
                     CommandWord(parsed.command));
        return 2;
    }
    if (parsed.help) {
        std::fputs(HelpText(parsed.command).c_str(), stdout);
        return 0;
    }
    switch (parsed.command) {
        case Command::List:
            return RunListCommand(parsed.list);
        case Command::Convert:
            InstallInterruptHandler();
            return RunConvertCommand(parsed.convert, g_abort);
        case Command::Info:
            return RunInfoCommand(parsed.info);
        case Command::Extract:
            return RunExtractCommand(parsed.extract);
        case Command::Compare:
            return RunCompareCommand(parsed.compare);
        case Command::Version:
            return RunVersionCommand();
        case Command::None:
            break;
    }
    std::fputs(HelpText(Command::None).c_str(), stderr);
    return 2;
}
