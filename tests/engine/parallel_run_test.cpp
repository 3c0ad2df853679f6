// Several images at once (ConversionJob::jobs): the files, the log and the
// results of a run must not depend on how many images ran beside each other,
// and an abort must stop them all without leaving anything half-written.
// Named ParallelRun* so that the thread-sanitizer run (TSAN=1 scripts/test)
// takes these tests too.
#include "engine/parallel_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/platform.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "sources/ecw_reader.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

class ParallelRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = Folder("src");
        WriteMixedDozen();
    }
    std::string Folder(const std::string& relative) { return root_.Subfolder(relative); }

    // Twelve sources of every whole and row-access kind: a failing one, a
    // too-small one, and a.bmp + a.png, which share the name a.rpx2.
    void WriteMixedDozen() {
        using namespace test;
        // Narrow pictures (300 pixels on one side is enough) keep the run
        // quick under the thread sanitizer.
        WriteBmp(src_ + "a.bmp", ColourImage(420, 60), BmpRows::BottomUp);
        WritePng(src_ + "a.png", ColourImage(350, 80), false);
        WriteTiff(src_ + "b.tif", PalettisedImage(500, 50, 8));
        WriteGif(src_ + "c.gif", PalettisedImage(320, 64, 8), false);
        WritePng(src_ + "d.png", PalettisedImage(48, 310, 4), true);
        WriteRleBmp(src_ + "e.bmp", PalettisedImage(640, 48, 8));
        WritePng(src_ + "f.png", ColourImage(900, 70), false);
        WriteTiff(src_ + "g.tif", ColourImage(300, 90));
        WriteBmp(src_ + "h.bmp", ColourImage(200, 200), BmpRows::TopDown);  // too small
        std::ofstream(src_ + "i.png") << "not a png at all";                // fails
        WriteBmp(src_ + "j.bmp", PalettisedImage(1200, 30, 8), BmpRows::TopDown);
        WriteTiff(src_ + "k.tif", PalettisedImage(33, 777, 8));
        names_ = {"a.bmp", "a.png", "b.tif", "c.gif", "d.png", "e.bmp",
                  "f.png", "g.tif", "h.bmp", "i.png", "j.bmp", "k.tif"};
    }

    ConversionJob Job(unsigned jobs, const std::string& name) {
        ConversionJob job;
        job.sourceFolder = FolderPath(src_);
        job.destinationFolder = FolderPath(Folder(name + "/out"));
        job.tempFolder = FolderPath(Folder(name + "/tmp"));
        job.programFolder = root_.File("program");
        job.abort = &abort_;
        job.jobs = jobs;
        job.includeImagePath = false;
        for (const std::string& file : names_) job.entries.push_back({file, true});
        return job;
    }

    // The log with the run's own folder names taken out.
    static std::vector<std::string> Lines(const ConversionLog& log, const std::string& folder) {
        std::vector<std::string> lines;
        for (std::string line : log.Lines()) {
            for (size_t at; (at = line.find(folder)) != std::string::npos;)
                line.replace(at, folder.size(), "OUT/");
            lines.push_back(line);
        }
        return lines;
    }

    // A result as the report shows it, without its seconds.
    static std::string Result(const ImageResult& r, const std::string& folder) {
        std::string output = r.outputPath;
        if (output.rfind(folder, 0) == 0) output = "OUT/" + output.substr(folder.size());
        return r.sourcePath + "|" + output + "|" + OutcomeName(r.outcome) + "|" + r.reason + "|" +
               std::to_string(r.width) + "x" + std::to_string(r.height) + "|" + std::to_string(r.levels) +
               "|" + std::to_string(r.outputBytes) + "|" + std::to_string(r.damagedRows);
    }

    test::TempFolder root_{"tessary_parallel"};
    std::string src_;
    std::vector<std::string> names_;
    std::atomic<bool> abort_{false};
};

TEST_F(ParallelRunTest, OneTwoAndFourJobsGiveTheSameFilesLogAndResults) {
    struct Run {
        std::string out;
        ConversionLog log;
        test::RecordingObserver observer;
    };
    std::map<unsigned, Run> runs;
    for (unsigned jobs : {1u, 2u, 4u}) {
        Run& run = runs[jobs];
        ConversionJob job = Job(jobs, "jobs" + std::to_string(jobs));
        run.out = job.destinationFolder.Text();
        RunConversion(job, run.observer, run.log);
        EXPECT_FALSE(run.observer.foreignThread) << jobs << " jobs";
        EXPECT_TRUE(fs::is_empty(job.tempFolder.Text())) << jobs << " jobs: scratch files or folders left";
    }
    const Run& one = runs[1];
    ASSERT_EQ(one.observer.results.size(), 12u);
    const std::map<std::string, std::string> files = test::FilesByName(one.out);
    EXPECT_TRUE(files.count("a.rpx2") && files.count("a_1.rpx2"));
    EXPECT_EQ(files.size(), 10u);  // twelve sources, one too small, one unusable
    for (unsigned jobs : {2u, 4u}) {
        const Run& run = runs[jobs];
        EXPECT_TRUE(test::FilesByName(run.out) == files) << jobs << " jobs: files differ from one job's";
        EXPECT_EQ(Lines(run.log, run.out), Lines(one.log, one.out)) << jobs << " jobs";
        EXPECT_EQ(run.observer.details, one.observer.details) << jobs << " jobs";
        ASSERT_EQ(run.observer.results.size(), one.observer.results.size());
        for (size_t i = 0; i < one.observer.results.size(); ++i)
            EXPECT_EQ(Result(run.observer.results[i], run.out), Result(one.observer.results[i], one.out))
                << jobs << " jobs, image " << i;
    }
    // The failing and the too-small image are reported as such, in place.
    EXPECT_EQ(one.observer.results[8].outcome, ImageOutcome::TooSmall);
    EXPECT_EQ(one.observer.results[9].outcome, ImageOutcome::Failed);
    EXPECT_EQ(one.log.Lines().back(), "z\t12 Image File(s) Processed");
}

TEST_F(ParallelRunTest, AnAbortStopsEveryImageAtWorkAndStartsNoOther) {
    ConversionJob job = Job(2, "abort");
    // The abort comes while f.png (the seventh) is opened, with another image
    // at work beside it; the images after them must not start.
    std::atomic<int> opened{0};
    job.openSource = [&](const std::string& path) {
        ++opened;
        SourceOpenResult result = OpenSourceImage(path);
        if (path.size() >= 5 && path.compare(path.size() - 5, 5, "f.png") == 0) abort_.store(true);
        return result;
    };
    ConversionLog log;
    test::RecordingObserver observer;
    RunConversion(job, observer, log);

    ASSERT_FALSE(observer.results.empty());
    const size_t count = observer.results.size();
    EXPECT_LE(count, 8u) << "images were started after the abort";
    EXPECT_EQ(opened.load(), int(count));
    bool fSeen = false;
    for (const ImageResult& result : observer.results) {
        if (fs::path(result.sourcePath).filename() == "f.png") {
            fSeen = true;
            EXPECT_EQ(result.outcome, ImageOutcome::Aborted);
        }
        if (result.outcome == ImageOutcome::Aborted) {
            EXPECT_TRUE(result.outputPath.empty());
        }
    }
    EXPECT_TRUE(fSeen);
    EXPECT_EQ(observer.results.back().outcome, ImageOutcome::Aborted);
    for (const auto& [name, bytes] : test::FilesByName(job.destinationFolder.Text()))
        EXPECT_EQ(name.find(".part"), std::string::npos) << "partial file left: " << name;
    EXPECT_FALSE(fs::exists(job.destinationFolder.Text() + "f.rpx2"));
    EXPECT_TRUE(fs::is_empty(job.tempFolder.Text()));
    EXPECT_EQ(log.Lines().back(), "z\t" + std::to_string(count) + " Image File(s) Processed");
}

TEST_F(ParallelRunTest, ReadersNotesReachTheRunsObserverOnItsThreadInRunOrder) {
    // Without the ECW library the open notes its absence twice (the whole
    // picture, then the view) and the image fails; the images around it
    // convert. Through every job count the window and the terminal must show
    // the same notes, from the run's thread, between the same images.
    test::WriteTiff(src_ + "m.ecw", test::ColourImage(320, 40));
    test::WriteTiff(src_ + "n.ecw", test::ColourImage(320, 40));
    names_ = {"b.tif", "m.ecw", "g.tif", "n.ecw"};
    const test::TempFolder noLibraries("tessary_no_libraries");
    const std::string savedFolder = platform::ProgramFolder();
    platform::SetProgramFolder(noLibraries.Path().string());
    for (unsigned jobs : {1u, 2u}) {
        ConversionLog log;
        test::RecordingObserver observer;
        std::vector<std::string> seen;  // notes and finished images, in order
        observer.onFinished = [&](const std::string& name) { seen.push_back(name); };
        observer.onNotice = [&](const std::string& text) { seen.push_back(text); };
        RunConversion(Job(jobs, "notes" + std::to_string(jobs)), observer, log);
        const std::string missing(kEcwLibraryMissingMessage);
        EXPECT_EQ(seen, (std::vector<std::string>{"b.tif", missing, missing, "m.ecw", "g.tif", missing, missing,
                                                  "n.ecw"}))
            << jobs << " jobs";
        EXPECT_FALSE(observer.foreignThread) << jobs << " jobs";
        ASSERT_EQ(observer.results.size(), 4u);
        EXPECT_EQ(observer.results[1].outcome, ImageOutcome::Failed);
        EXPECT_EQ(observer.results[2].outcome, ImageOutcome::Converted);
    }
    platform::SetProgramFolder(savedFolder);
}

TEST(ParallelRunBudget, ImagesHeldWholeCountTheirPicturesAndOneAlwaysRuns) {
    const test::TempFolder folder("tessary_budget");
    const std::string png = folder.File("whole.png");
    test::WritePng(png, test::ColourImage(1000, 500), false);
    const std::string tif = folder.File("rows.tif");
    test::WriteTiff(tif, test::ColourImage(1000, 500));
    EXPECT_EQ(EstimateImageMemory(png), uint64_t(1000) * 500 * 3 + kRowAccessImageMemory);
    EXPECT_EQ(EstimateImageMemory(tif), kRowAccessImageMemory);
    EXPECT_EQ(EstimateImageMemory(folder.File("missing.png")), kRowAccessImageMemory);

    EXPECT_TRUE(FitsMemoryBudget(0, 0, uint64_t(1) << 40, 1));  // one image always runs
    EXPECT_FALSE(FitsMemoryBudget(600, 1, 500, 1000));
    EXPECT_TRUE(FitsMemoryBudget(500, 1, 500, 1000));
    EXPECT_EQ(ResolveJobCount(4, 2), 2u);  // never more than the images
    EXPECT_EQ(ResolveJobCount(3, 0), 1u);
    EXPECT_EQ(ThreadsPerImage(3, 4), 3u);  // the user's count stands
    EXPECT_GE(ThreadsPerImage(0, 64), 1u);
}

}  // namespace
}  // namespace tessary
