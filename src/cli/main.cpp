// tessary-cli: converts raster map images into RPX2 files from a
// terminal, and lists, inspects and decodes the results.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/commands.h"
#include "cli/options.h"
#include "engine/source_rows.h"
#include "sources/gdal_reader.h"

namespace {

// Ctrl-C, a polite kill and a closed terminal (SIGINT, SIGTERM, SIGHUP) set
// the abort flag, exactly like Esc in the window: the image at work ends as
// aborted and the run ends normally, so the scratch folder is still removed
// and the totals line is printed. The process then exits with 128 + the
// first signal's number, as a shell reports a command the signal ended.
std::atomic<bool> g_abort{false};
std::atomic<int> g_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int signal) {
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    g_abort.store(true);
#ifndef _WIN32
    // A dropped connection may also have closed the reader of standard
    // output: the clean-up must not die of SIGPIPE on the next log line.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    static const char text[] = "\ntessary-cli: aborting...\n";
    ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
#endif
}

#ifdef _WIN32
// Set when the run has cleaned up, so that a closing console may end the
// process: Windows ends it as soon as the handler of such an event returns.
std::atomic<bool> g_cleanedUp{false};

// Ctrl-C reads as SIGINT, Ctrl-Break (what other programs send to stop a
// console program) as SIGTERM and a closing console, logoff or shutdown as
// SIGHUP (1, which the C runtime does not name): the same abort and the same
// exit codes as elsewhere.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signal = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGTERM : 1;
    const bool first = g_signal.load() == 0;
    OnInterrupt(signal);
    if (first) {
        static const char text[] = "\ntessary-cli: aborting...\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(sizeof text - 1), &written, nullptr);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system allows a few seconds before it ends the process.
        for (int i = 0; i < 450 && !g_cleanedUp.load(); ++i) Sleep(10);
    }
    return TRUE;
}
#endif

void InstallInterruptHandler() {
#ifndef _WIN32
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
#else
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
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
#ifdef _WIN32
    // The arguments and every text the program prints are UTF-8 (the
    // program's active code page); the console shows them as such.
    SetConsoleOutputCP(CP_UTF8);
#endif
    // Before any extension is looked at (--gdal-ext refuses those with a
    // reader of their own).
    tessary::AddEngineSourceRows();
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
    if (parsed.pdfDpi) tessary::SetPdfDpi(parsed.pdfDpi);
    for (const auto& [extension, driver] : parsed.gdalExtensions) {
        std::string why;
        if (!tessary::AddGdalExtension(extension, driver, why)) {
            std::fprintf(stderr, "tessary-cli: --gdal-ext: %s\n", why.c_str());
            return 2;
        }
    }
    switch (parsed.command) {
        case Command::List:
            return RunListCommand(parsed.list);
        case Command::Convert: {
            InstallInterruptHandler();
            parsed.convert.commandLine.assign(argv, argv + argc);
            const int status = RunConvertCommand(parsed.convert, g_abort);
#ifdef _WIN32
            std::fflush(nullptr);
            g_cleanedUp.store(true);
#endif
            const int signal = g_signal.load();
            return signal != 0 ? 128 + signal : status;
        }
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
