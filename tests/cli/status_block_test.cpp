// The status block on a terminal with several images at work: what stderr
// receives is played on a small model of a terminal screen, so that a line
// left behind by an earlier draw (a stale fragment) shows as screen text.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "cli/terminal_observer.h"

namespace tessary::cli {
namespace {

// A screen of `columns` columns that understands what the status block
// writes: text, CR, LF, ESC[K (erase to the line's end), ESC[nA (up),
// ESC[J (erase to the screen's end), wrapping at the right edge. Anything
// else fails the test.
class Screen {
public:
    explicit Screen(size_t columns) : columns_(columns) {}

    void Play(const std::string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                ++row_;
                column_ = 0;
            } else if (c == '\033') {
                ASSERT_LT(i + 1, text.size());
                ASSERT_EQ(text[i + 1], '[');
                size_t end = i + 2;
                int count = 0;
                bool counted = false;
                while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                    count = count * 10 + (text[end++] - '0');
                    counted = true;
                }
                ASSERT_LT(end, text.size());
                switch (text[end]) {
                    case 'K':
                        Line().resize(std::min(Line().size(), column_));
                        break;
                    case 'J':
                        Line().resize(std::min(Line().size(), column_));
                        lines_.resize(row_ + 1);
                        break;
                    case 'A':
                        row_ -= std::min(row_, size_t(counted ? count : 1));
                        break;
                    default:
                        FAIL() << "unexpected escape " << text.substr(i, end - i + 1);
                }
                i = end;
            } else {
                if (column_ == columns_) {  // the terminal wraps
                    ++row_;
                    column_ = 0;
                }
                if (Line().size() <= column_) Line().resize(column_ + 1, ' ');
                Line()[column_++] = c;
            }
        }
    }

    // The screen's lines, trailing empty ones left out.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines = lines_;
        while (!lines.empty() && lines.back().empty()) lines.pop_back();
        return lines;
    }

private:
    std::string& Line() {
        if (lines_.size() <= row_) lines_.resize(row_ + 1);
        return lines_[row_];
    }

    size_t columns_;
    size_t row_ = 0, column_ = 0;
    std::vector<std::string> lines_;
};

std::string Drain(std::FILE* file, long& offset) {
    std::fflush(file);
    std::fseek(file, offset, SEEK_SET);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    offset = std::ftell(file);
    return text;
}

TEST(StatusBlock, OneLinePerImageAtWorkWithoutStaleFragments) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ConversionLog log;
    log.Clear();
    TerminalSettings settings;
    settings.statusLine = true;
    settings.columns = 40;
    settings.rows = 4;
    TerminalObserver observer(log, settings, out, err);
    observer.SetImagePaths(std::vector<std::string>(5, "/maps/a.tif"));
    Screen screen(40);
    long offset = 0;
    auto play = [&] { screen.Play(Drain(err, offset)); };

    // One image at work: the one line, as without --jobs.
    observer.SetStatus(0, "Loading Image - first.tif");
    play();
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({"[1/5] Loading Image - first.tif"}));

    // Three at work: a line each, the counts in front of the first, every
    // line cut to the width less one column.
    using Panels = std::array<std::string, 3>;
    observer.ShowImagesAtWork({Panels{"Loading Image - first.tif", "Preprocessing Image", ""},
                               Panels{"Loading Image - second_with_a_very_long_name.tif", "", ""},
                               Panels{"Loading Image - third.tif", "", ""}});
    play();
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({"[1/5] Loading Image - first.tif  |  Pre",
                                                        "Loading Image - second_with_a_very_long",
                                                        "Loading Image - third.tif"}));

    // A log line goes above the block; the block is drawn again below it.
    log.Add("i\tProcessing - first.tif");
    observer.PumpEvents();
    play();
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({"[1/5] Loading Image - first.tif  |  Pre",
                                                        "Loading Image - second_with_a_very_long",
                                                        "Loading Image - third.tif"}));
    long outOffset = 0;
    EXPECT_EQ(Drain(out, outOffset), "Processing - first.tif\n");

    // Fewer and shorter lines: nothing of the longer ones is left.
    observer.ImageFinished({.sourcePath = "/maps/a.tif", .outcome = ImageOutcome::Converted});
    observer.ShowImagesAtWork({Panels{"Writing 100% Zoom", "", ""}, Panels{"Loading Image - d", "", ""}});
    play();
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({"[2/5] Writing 100% Zoom", "Loading Image - d"}));

    // A failure goes on stderr above the block (wrapped by the terminal),
    // and the block comes back whole below it.
    observer.ImageFinished(
        {.sourcePath = "/maps/b.tif", .outcome = ImageOutcome::Failed, .reason = "the file is empty"});
    play();
    const std::vector<std::string> failure = {"tessary-cli: convert: /maps/b.tif: faile", "d: the file is empty"};
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({failure[0], failure[1], "[2/5] Writing 100% Zoom",
                                                        "Loading Image - d"}));

    // Back to one image at work: one line again, at once.
    observer.ShowImagesAtWork({Panels{"Completed", "", ""}});
    play();
    EXPECT_EQ(screen.Lines().size(), 3u);
    observer.SetStatus(0, "Completed");
    play();
    EXPECT_EQ(screen.Lines(), std::vector<std::string>({failure[0], failure[1], "[3/5] Completed"}));
    observer.Finish();
    play();
    EXPECT_EQ(screen.Lines(), failure);
    std::fclose(out);
    std::fclose(err);
}

TEST(StatusBlock, KeepsBelowTheTerminalsHeightAndDrawsNothingWithoutATerminal) {
    size_t drawn = 0;
    const std::string text = DrawStatusBlock(0, {"a", "b", "c", "d"}, 20, 2, &drawn);
    EXPECT_EQ(drawn, 2u);
    EXPECT_EQ(text, "\r\033[Ka\nb");
    EXPECT_EQ(ClearStatusBlock(2), "\r\033[1A\033[J");
    EXPECT_EQ(ClearStatusBlock(1), "\r\033[K");
    EXPECT_EQ(ClearStatusBlock(0), "");

    // Piped stderr (no status line): the images at work draw nothing.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ConversionLog log;
    log.Clear();
    TerminalObserver observer(log, TerminalSettings{}, out, err);
    using Panels = std::array<std::string, 3>;
    observer.ShowImagesAtWork({Panels{"Loading Image - a", "", ""}, Panels{"Loading Image - b", "", ""}});
    observer.SetStatus(0, "Loading Image - a");
    observer.Finish();
    long offset = 0;
    EXPECT_EQ(Drain(err, offset), "");
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
}  // namespace tessary::cli
