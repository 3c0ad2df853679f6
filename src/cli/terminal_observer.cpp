#include "cli/terminal_observer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/image_table.h"
#include "cli/progress.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tessary::cli {

TerminalSettings DetectTerminal(bool verbose) {
    TerminalSettings settings;
    settings.verbose = verbose;
#ifndef _WIN32
    // A terminal that says it takes no escape sequences gets plain lines.
    const char* term = std::getenv("TERM");
    const bool dumb = term && std::strcmp(term, "dumb") == 0;
    settings.statusLine = isatty(STDERR_FILENO) != 0 && !dumb;
    const char* noColour = std::getenv("NO_COLOR");
    settings.colourLog = isatty(STDOUT_FILENO) != 0 && !(noColour && *noColour) && !dumb;
    const char* colourTerm = std::getenv("COLORTERM");
    settings.trueColour =
        colourTerm && (std::strstr(colourTerm, "truecolor") || std::strstr(colourTerm, "24bit"));
    winsize size{};
    if (settings.statusLine && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) {
        settings.columns = size.ws_col;
        if (size.ws_row > 1) settings.rows = size.ws_row;
    }
#else
    // A console takes escape sequences once its virtual terminal mode is on;
    // a file or a pipe gets plain lines.
    auto vtConsole = [](DWORD which) {
        HANDLE handle = GetStdHandle(which);
        DWORD mode = 0;
        if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
        return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
               SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    };
    settings.statusLine = vtConsole(STD_ERROR_HANDLE);
    const char* noColour = std::getenv("NO_COLOR");
    settings.colourLog = vtConsole(STD_OUTPUT_HANDLE) && !(noColour && *noColour);
    const char* colourTerm = std::getenv("COLORTERM");
    settings.trueColour = (colourTerm && (std::strstr(colourTerm, "truecolor") || std::strstr(colourTerm, "24bit"))) ||
                          std::getenv("WT_SESSION") != nullptr;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (settings.statusLine && GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 10) settings.columns = columns;
        const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        if (rows > 1) settings.rows = rows;
    }
#endif
    return settings;
}

std::string FormatLogLine(const std::string& line, bool colour, bool trueColour) {
    std::string text = ConversionLog::DisplayText(line);
    std::optional<Rgb> rgb = ConversionLog::LineColour(line);
    if (!colour || !rgb || text.empty()) return text;
    // The window shows notes such as "No .map file found" in its error
    // colour; on a terminal red reads as a failure, so they are yellow.
    if (line.rfind("x\t", 0) == 0) return "\033[33m" + text + "\033[0m";
    std::string start;
    if (trueColour) {
        start = "\033[38;2;" + std::to_string(rgb->red) + ";" + std::to_string(rgb->green) + ";" +
                std::to_string(rgb->blue) + "m";
    } else {
        // The nearest of the eight basic terminal colours.
        int code = 30 + (rgb->red >= 128 ? 1 : 0) + (rgb->green >= 64 ? 2 : 0) + (rgb->blue >= 128 ? 4 : 0);
        start = "\033[" + std::to_string(code) + "m";
    }
    return start + text + "\033[0m";
}

TerminalObserver::TerminalObserver(const ConversionLog& log, TerminalSettings settings, std::FILE* out,
                                   std::FILE* err)
    : log_(log), settings_(settings), out_(out), err_(err), printed_(log.Count()) {}

void TerminalObserver::SetStatus(int slot, std::string_view text) {
    FlushLog();
    if (slot < 0 || slot > 2) return;
    bool changed = status_[slot] != text;
    status_[slot] = std::string(text);
    // File and stage changes show at once; progress counts at most 20 times a second.
    if (changed) DrawStatusLine(slot < 2);
}

void TerminalObserver::PumpEvents() {
    FlushLog();
}

void TerminalObserver::AddDetail(std::string_view text) {
    if (!settings_.verbose) return;
    ClearStatusLine();
    std::fprintf(err_, "      %.*s\n", int(text.size()), text.data());
    std::fflush(err_);
    DrawStatusLine(true);
}

void TerminalObserver::ShowMessage(std::string_view text) {
    FlushLog();
    ClearStatusLine();
    messages_.emplace_back(text);
    std::fprintf(err_, "tessary-cli: convert: %.*s\n", int(text.size()), text.data());
    std::fflush(err_);
}

void TerminalObserver::Notice(std::string_view text) {
    FlushLog();
    ClearStatusLine();
    // Every image ends with ImageFinished, so the image at work is the next
    // one in run order.
    std::string path =
        size_t(finished_) < imagePaths_.size() ? imagePaths_[size_t(finished_)] + ": " : std::string();
    std::fprintf(err_, "tessary-cli: convert: %s%.*s\n", path.c_str(), int(text.size()), text.data());
    std::fflush(err_);
    DrawStatusLine(true);
}

void TerminalObserver::SetImagePixels(std::vector<uint64_t> pixels) {
    imagePixels_ = std::move(pixels);
    totalPixels_ = 0;
    for (uint64_t count : imagePixels_) totalPixels_ += count;
    donePixels_ = 0;
    started_ = std::chrono::steady_clock::now();
}

void TerminalObserver::ImageFinished(const ImageResult& result) {
    FlushLog();
    if (size_t(finished_) < imagePixels_.size()) donePixels_ += imagePixels_[size_t(finished_)];
    switch (result.outcome) {
        case ImageOutcome::Converted:
            ++converted_;
            break;
        case ImageOutcome::Failed:
            ++failed_;
            ReportFailure(result);
            break;
        case ImageOutcome::TooSmall:
            ++tooSmall_;
            break;
        case ImageOutcome::UpToDate:
            ++upToDate_;
            break;
        case ImageOutcome::Aborted:
            ++aborted_;
            break;
    }
    ++finished_;
    if (resultSink_) resultSink_(result);
}

void TerminalObserver::ShowImagesAtWork(const std::vector<std::array<std::string, 3>>& panels) {
    if (panels == atWork_) return;
    const size_t before = atWork_.size();
    atWork_ = panels.size() > 1 ? panels : std::vector<std::array<std::string, 3>>();
    // A block that gains or loses lines is drawn at once; new texts in the
    // same lines at most 20 times a second.
    if (before > 1 || atWork_.size() > 1) DrawStatusLine(atWork_.size() != before);
}

void TerminalObserver::ReportFailure(const ImageResult& result) {
    // Beside the log on standard output, which a script may discard: the
    // source's full path, the outcome and the reason on standard error.
    ClearStatusLine();
    std::string reason = result.reason.empty() ? std::string("no reason given") : result.reason;
    for (char& c : reason)
        if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(err_, "tessary-cli: convert: %s: failed: %s\n", result.sourcePath.c_str(), reason.c_str());
    std::fflush(err_);
    DrawStatusLine(true);
}

void TerminalObserver::Finish() {
    FlushLog();
    ClearStatusLine();
}

void TerminalObserver::FlushLog() {
    // The run clears the log when it starts; print from the top again then.
    if (log_.Count() < printed_) printed_ = 0;
    if (printed_ == log_.Count()) return;
    ClearStatusLine();
    for (; printed_ < log_.Count(); ++printed_) {
        std::string text = FormatLogLine(log_.Line(printed_), settings_.colourLog, settings_.trueColour);
        std::fprintf(out_, "%s\n", text.c_str());
    }
    std::fflush(out_);
    DrawStatusLine(true);
}

void TerminalObserver::ClearStatusLine() {
    if (statusLines_ == 0) return;
    std::fputs(ClearStatusBlock(statusLines_).c_str(), err_);
    std::fflush(err_);
    statusLines_ = 0;
}

namespace {

// The panels of one image, joined.
std::string JoinPanels(const std::array<std::string, 3>& panels) {
    std::string line;
    for (const std::string& panel : panels) {
        if (panel.empty()) continue;
        if (!line.empty()) line += "  |  ";
        line += panel;
    }
    return line;
}

}  // namespace

void TerminalObserver::DrawStatusLine(bool force) {
    if (!settings_.statusLine) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && statusLines_ > 0 && now - lastDraw_ < std::chrono::milliseconds(50)) return;
    // Which image of how many, first, so that cutting the line to the
    // terminal's width never loses the counts. With several images at work
    // each has a line of its own below it.
    std::vector<std::string> lines;
    if (atWork_.size() > 1) {
        for (const auto& panels : atWork_) lines.push_back(JoinPanels(panels));
    } else {
        lines.push_back(JoinPanels({status_[0], status_[1], status_[2]}));
    }
    std::string& line = lines.front();
    if (!line.empty() && !imagePaths_.empty()) {
        std::string counts = std::to_string(std::min(size_t(finished_) + 1, imagePaths_.size())) + "/" +
                             std::to_string(imagePaths_.size());
        if (totalPixels_ > 0) {
            counts += " " + std::to_string(donePixels_ * 100 / totalPixels_) + "%";
            // The time left at the pace of the pixels done so far, once
            // there is a pace to go by.
            const double seconds = std::chrono::duration<double>(now - started_).count();
            if (donePixels_ > 0 && donePixels_ < totalPixels_ && seconds >= 1) {
                const auto left = int64_t(seconds * double(totalPixels_ - donePixels_) / double(donePixels_));
                char eta[32];
                if (left >= 3600)
                    std::snprintf(eta, sizeof eta, " ETA %lldh%02lldm", (long long)(left / 3600),
                                  (long long)(left / 60 % 60));
                else
                    std::snprintf(eta, sizeof eta, " ETA %lldm%02llds", (long long)(left / 60), (long long)(left % 60));
                counts += eta;
            }
        }
        line = "[" + counts + "] " + line;
    }
    // Cut by display width, never inside a character: a line that wraps
    // could not be cleared by the next draw.
    size_t drawn = 0;
    const std::string text =
        DrawStatusBlock(statusLines_, lines, settings_.columns, size_t(std::max(settings_.rows - 1, 1)), &drawn);
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
    statusLines_ = drawn;
    lastDraw_ = now;
}

}  // namespace tessary::cli
