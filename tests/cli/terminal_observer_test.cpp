#include "cli/terminal_observer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "cli/commands.h"

namespace tessary::cli {
namespace {

std::string ReadAll(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    return text;
}

TEST(LogLineFormat, KindColoursOnATerminalAndPlainOtherwise) {
    EXPECT_EQ(FormatLogLine("e\tImage file not found", false, false), "Image file not found");
    EXPECT_EQ(FormatLogLine("e\tImage file not found", true, false), "\033[31mImage file not found\033[0m");
    EXPECT_EQ(FormatLogLine("i\tProcessing - a.tif", true, false), "\033[34mProcessing - a.tif\033[0m");
    EXPECT_EQ(FormatLogLine("z\t2 Image File(s) Processed", true, true),
              "\033[38;2;0;128;0m2 Image File(s) Processed\033[0m");
    EXPECT_EQ(FormatLogLine("o\t   In path : /out/", true, true), "   In path : /out/");
    EXPECT_EQ(FormatLogLine("", true, true), "");
    // A note is not a failure: not in the error colour.
    EXPECT_EQ(FormatLogLine("x\tNo .map file found", true, true), "\033[33m   No .map file found\033[0m");
}

TEST(TerminalObserver, PrintsLinesAsTheLogGrowsAndCountsOutcomes) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    ConversionLog log;
    TerminalSettings settings;  // not a terminal: no status line, no colours
    TerminalObserver observer(log, settings, out, err);
    observer.SetImagePaths({"/maps/a.tif", "/maps/b.tif", "/maps/c.tif", "/maps/d.tif"});
    std::vector<std::string> reported;
    observer.SetResultSink([&](const ImageResult& r) { reported.push_back(OutcomeName(r.outcome)); });
    // The initial content was there before the run: never printed.
    observer.SetStatus(0, "");
    log.Clear();
    log.Add("i\tProcessing - a.tif");
    observer.SetStatus(0, "Loading Image - a.tif");
    log.Add("o\t   Rpx2 image created : a.rpx2");
    log.Add("");
    observer.ImageFinished({.sourcePath = "a.tif", .outcome = ImageOutcome::Converted});
    log.Add("");
    log.Add("i\tProcessing - b.tif");
    observer.Notice("No decoder for this kind of file");  // names the image at work
    log.Add("e\tImage file not found");
    observer.ImageFinished(
        {.sourcePath = "/maps/b.tif", .outcome = ImageOutcome::Failed, .reason = "Image file not found"});
    observer.ImageFinished({.sourcePath = "c.tif", .outcome = ImageOutcome::TooSmall});
    observer.ImageFinished({.sourcePath = "d.tif", .outcome = ImageOutcome::UpToDate});
    log.Add("");
    log.Add("z\t2 Image File(s) Processed");
    observer.ShowMessage("Destination Folder is not valid");
    observer.Finish();

    EXPECT_EQ(ReadAll(out),
              "Processing - a.tif\n   Rpx2 image created : a.rpx2\n\n\nProcessing - b.tif\n"
              "Image file not found\n\n2 Image File(s) Processed\n");
    EXPECT_EQ(ReadAll(err),
              "tessary-cli: convert: /maps/b.tif: No decoder for this kind of file\n"
              "tessary-cli: convert: /maps/b.tif: failed: Image file not found\n"
              "tessary-cli: convert: Destination Folder is not valid\n");
    EXPECT_EQ(observer.Converted(), 1);
    EXPECT_EQ(observer.Failed(), 1);  // too small is counted apart
    EXPECT_EQ(observer.TooSmall(), 1);
    EXPECT_EQ(observer.UpToDate(), 1);
    EXPECT_EQ(observer.Aborted(), 0);
    EXPECT_EQ(reported, (std::vector<std::string>{"converted", "failed", "too-small", "up-to-date"}));
    EXPECT_TRUE(observer.RunFailed());
    std::fclose(out);
    std::fclose(err);
}

TEST(TerminalObserver, StatusLineShowsThePanelsAndIsClearedForLogLines) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ConversionLog log;
    log.Clear();
    TerminalSettings settings;
    settings.statusLine = true;
    settings.columns = 40;
    TerminalObserver observer(log, settings, out, err);
    observer.SetStatus(0, "Creating RPX2 File : a.rpx2");
    observer.SetStatus(1, "Creating 25.0% Zoom");
    log.Add("o\t   Aborted by user");
    observer.PumpEvents();
    observer.Finish();
    std::string status = ReadAll(err);
    EXPECT_NE(status.find("\r\033[KCreating RPX2 File : a.rpx2\r\033[K"), std::string::npos);
    // Cut to the terminal's width less one column.
    EXPECT_NE(status.find("\r\033[KCreating RPX2 File : a.rpx2  |  Creatin\r\033[K"), std::string::npos)
        << status;
    EXPECT_EQ(status.substr(status.size() - 4), "\r\033[K");
    // A name of wide characters is cut by columns, between characters: 16
    // columns of text and 11 characters of two fill 38 of the 39.
    std::string name, shown;
    for (int k = 0; k < 12; ++k) name += "\xE6\x97\xA5";
    for (int k = 0; k < 11; ++k) shown += "\xE6\x97\xA5";
    std::FILE* err2 = std::tmpfile();
    TerminalObserver wide(log, settings, out, err2);
    wide.SetStatus(0, "Loading Image - " + name);
    EXPECT_EQ(ReadAll(err2), "\r\033[KLoading Image - " + shown);
    std::fclose(err2);
    // With the run's images known, the line starts with which image of how
    // many, and the cut takes the end.
    std::FILE* err3 = std::tmpfile();
    TerminalObserver counted(log, settings, out, err3);
    counted.SetImagePaths(std::vector<std::string>(12, "/maps/a.tif"));
    counted.SetStatus(0, "Loading Image - " + name);
    counted.ImageFinished({.sourcePath = "/maps/a.tif", .outcome = ImageOutcome::Converted});
    counted.SetStatus(0, "Loading Image - b.tif");
    // With the images' sizes, the overall share of the pixels done: the
    // first of 300 pixels in 3,600 is 8 %.
    std::vector<uint64_t> pixels(12, 300);
    counted.SetImagePixels(pixels);
    counted.ImageFinished({.sourcePath = "/maps/a.tif", .outcome = ImageOutcome::Converted});
    counted.SetStatus(0, "Loading Image - c.tif");
    const std::string lines = ReadAll(err3);
    EXPECT_NE(lines.find("\r\033[K[1/12] Loading Image - \xE6\x97\xA5"), std::string::npos) << lines;
    EXPECT_NE(lines.find("\r\033[K[2/12] Loading Image - b.tif"), std::string::npos) << lines;
    EXPECT_NE(lines.find("\r\033[K[3/12 8%] Loading Image - c.tif"), std::string::npos) << lines;
    std::fclose(err3);
    EXPECT_EQ(ReadAll(out), "   Aborted by user\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(PrivateTempFolder, IsMadeInsideTheBaseAndRemovedWithItsFiles) {
    std::string base = std::filesystem::temp_directory_path().string();
    std::string path;
    {
        auto folder = PrivateTempFolder::Create(base);
        ASSERT_TRUE(folder);
        path = folder->Path();
        EXPECT_EQ(path.rfind(base, 0), 0u);
        EXPECT_EQ(path.back(), '/');
        std::FILE* f = std::fopen((path + "rpx_0.rpx0").c_str(), "wb");
        ASSERT_TRUE(f);
        std::fclose(f);
        auto other = PrivateTempFolder::Create(base);
        ASSERT_TRUE(other);
        EXPECT_NE(other->Path(), path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    std::string error;
    EXPECT_FALSE(PrivateTempFolder::Create(base + "/no/such/folder", &error));
    EXPECT_EQ(error, "cannot write to \"" + base + "/no/such/folder\": No such file or directory");
}

}  // namespace
}  // namespace tessary::cli
