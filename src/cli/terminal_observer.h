// The conversion observer of tessary-cli: a live status line on stderr when
// it is a terminal (file, stage and progress, like the window's three
// panels), the log lines on stdout as the run adds them (in their kind
// colours on a terminal), and counts of how the images ended.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/conversion.h"
#include "engine/conversion_log.h"

namespace tessary::cli {

struct TerminalSettings {
    bool statusLine = false;  // stderr is a terminal
    bool colourLog = false;   // stdout is a terminal and colours are wanted
    bool trueColour = false;  // the terminal takes 24-bit colours
    bool verbose = false;     // show image details on stderr
    int columns = 80;         // width of the status line
    int rows = 24;            // height of the terminal: the status block stays below it
};

// Settings for the real terminal: isatty, NO_COLOR, COLORTERM, the width.
TerminalSettings DetectTerminal(bool verbose);

// The ANSI text for a log line: its displayed text, coloured when asked.
std::string FormatLogLine(const std::string& line, bool colour, bool trueColour);

class TerminalObserver : public ConversionObserver {
public:
    TerminalObserver(const ConversionLog& log, TerminalSettings settings, std::FILE* out = stdout,
                     std::FILE* err = stderr);

    void SetStatus(int slot, std::string_view text) override;
    void PumpEvents() override;
    void AddDetail(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    void ImageFinished(const ImageResult& result) override;
    // Several images at work (--jobs): one status line for each.
    void ShowImagesAtWork(const std::vector<std::array<std::string, 3>>& panels) override;

    // A message that does not end the run (a reader's notice): printed on
    // stderr, with the path of the image at work in front, without
    // disturbing the status line.
    void Notice(std::string_view text) override;

    // The source paths of the run's images in run order, so that a notice
    // can name the image it is about.
    void SetImagePaths(std::vector<std::string> paths) { imagePaths_ = std::move(paths); }

    // The pixels of each image (same order; 0 when unknown), so that the
    // status line shows the run's overall percentage by pixels and the
    // time left. The clock starts here.
    void SetImagePixels(std::vector<uint64_t> pixels);

    // Called with every finished image after it is counted (the report).
    void SetResultSink(std::function<void(const ImageResult&)> sink) { resultSink_ = std::move(sink); }

    // Prints what the log gained since the last call and removes the status
    // line; call once after the run.
    void Finish();

    int Converted() const { return converted_; }
    int Failed() const { return failed_; }  // damaged files kept under --keep-damaged included
    int Aborted() const { return aborted_; }
    int TooSmall() const { return tooSmall_; }
    int UpToDate() const { return upToDate_; }
    int Finished() const { return finished_; }
    // A run-level message (bad folder, nothing selected) was shown.
    bool RunFailed() const { return !messages_.empty(); }
    const std::vector<std::string>& Messages() const { return messages_; }

private:
    void FlushLog();
    void ReportFailure(const ImageResult& result);
    void ClearStatusLine();
    void DrawStatusLine(bool force);

    const ConversionLog& log_;
    TerminalSettings settings_;
    std::FILE* out_;
    std::FILE* err_;
    size_t printed_ = 0;
    std::string status_[3];
    std::vector<std::array<std::string, 3>> atWork_;  // two or more: one line each
    size_t statusLines_ = 0;                           // lines of the status block on screen
    std::chrono::steady_clock::time_point lastDraw_{};
    int converted_ = 0, failed_ = 0, aborted_ = 0, tooSmall_ = 0, upToDate_ = 0, finished_ = 0;
    std::vector<std::string> messages_;
    std::vector<std::string> imagePaths_;
    std::vector<uint64_t> imagePixels_;
    uint64_t totalPixels_ = 0, donePixels_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::function<void(const ImageResult&)> resultSink_;
};

}  // namespace tessary::cli
