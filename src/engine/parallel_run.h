// Several images of one run at once (tessary-cli --jobs), and the runner
// that takes a run's images one or several at a time. Each image is one
// unit of work on a thread of its own, with its own scratch folder, its own
// log and an observer that only records; the run's thread replays what each
// image recorded in run order, so that the log, the report and the observer
// see exactly what a one-image-at-a-time run shows them. Nothing an image
// writes depends on another image, so the files are those of that run too.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"

namespace tessary {

// One ticked entry as the image at work: its index in the run's entries and
// its number J (1 for the first).
struct ImageTask {
    size_t index = 0;
    int number = 0;
    // The image's own run context: the run's, or for an image converted
    // beside others, its own scratch folder, observer and share of threads.
    RunContext context;
    // The run's display for an image converted on the run's thread; none
    // for one converted beside others.
    ConversionDisplay* display = nullptr;
};

// How one ticked entry ended, for the run: its outcome, and whether it
// failed in a way that opens the log window.
struct EntryEnd {
    ImageOutcome outcome = ImageOutcome::Failed;
    bool opensLog = false;
};

// The scratch rasters (".rpx0") of a folder, stopping at the first that
// cannot be deleted; nothing else in the folder is the run's to remove.
void RemoveScratchFiles(const FolderPath& folder);

// What converting the image at `sourcePath` is expected to hold in memory:
// the whole picture for formats loaded whole (width x height x bytes per
// pixel, from the header), a modest working set for formats read by rows.
uint64_t EstimateImageMemory(const std::string& sourcePath);

// The memory figure row-access images are counted at.
inline constexpr uint64_t kRowAccessImageMemory = uint64_t(64) << 20;

// A quarter of physical memory; 1 GB when the machine does not say.
uint64_t DefaultMemoryBudget();

// Images at once for a job's `jobs` value: the value itself, or for 0 one
// per core; never more than the run's images, never fewer than 1.
unsigned ResolveJobCount(unsigned jobs, size_t imageCount);

// Threads inside one image when `jobs` images run at once: the job's own
// count when it names one, else the cores shared out (at least 1 each).
unsigned ThreadsPerImage(unsigned jobThreads, unsigned jobs);

// Whether an image of `memory` bytes may start beside images holding
// `inUse` bytes: always when none runs, else when the budget holds both.
bool FitsMemoryBudget(uint64_t inUse, unsigned running, uint64_t memory, uint64_t budget);

// The observer of an image converted on a worker thread: it records the
// image's details, its notices (the readers' messages) and its result, and
// keeps the latest status texts for the run's status line. Progress calls
// are answered at once; the image's log lines go to its own `log`.
class RecordingImageObserver : public ConversionObserver {
public:
    ConversionLog log;  // the image's own lines, none before them

    RecordingImageObserver() { log.Clear(); }

    void SetStatus(int slot, std::string_view text) override;
    void PumpEvents() override {}
    void AddDetail(std::string_view text) override { Record(Event::Detail, text); }
    // The driver shows run-level messages only from the run's thread; a
    // message that reaches an image is kept as a notice.
    void ShowMessage(std::string_view text) override { Notice(text); }
    void ImageFinished(const ImageResult& result) override { result_ = result; }

    void Notice(std::string_view text) override { Record(Event::Notice, text); }

    // The three status texts as last set (any thread).
    std::array<std::string, 3> Status() const;

    // On the run's thread: adds the image's log lines to `runLog` and makes
    // its observer calls on `target`, in the order the image made them; the
    // display, when there is one, has its details emptied first.
    void Replay(ConversionObserver& target, ConversionDisplay* display, ConversionLog& runLog) const;

private:
    enum class Event { Detail, Notice };
    struct Recorded {
        Event event;
        std::string text;
        size_t logLines;  // lines of `log` before the call
    };
    void Record(Event event, std::string_view text) {
        events_.push_back({event, std::string(text), log.Count()});
    }

    std::vector<Recorded> events_;
    std::optional<ImageResult> result_;
    mutable std::mutex statusMutex_;
    std::array<std::string, 3> status_;
};

// Runs the ticked entries in run order, `jobs` at a time. With one job each
// image runs on the calling thread with the front end's observer and the
// run's log: the desktop program's run, unchanged. With more, each image is
// a unit of work on a thread of its own, with its own RunContext (a scratch
// subfolder per slot, so the scratch names stay those of one image; its
// share of the cores) and a RecordingImageObserver; this thread replays the
// records in run order, so that the log and ImageFinished come as from one
// job, and shows the status of the oldest image at work.
class EntryRunner {
public:
    // Converts one image, reporting to the observer and log given.
    using Convert = std::function<EntryEnd(const ImageTask& task, ConversionObserver& observer, ConversionLog& log)>;

    // `sourcePaths` are the run's entries' sources, in run order (for the
    // memory each is expected to take); `context` is the run's.
    EntryRunner(const ConversionJob& job, const RunContext& context, ConversionDisplay* display,
                std::vector<std::string> sourcePaths, ConversionObserver& observer, ConversionLog& log,
                Convert convert);
    EntryRunner(const EntryRunner&) = delete;
    EntryRunner& operator=(const EntryRunner&) = delete;
    // Only on an error of the run itself: the images at work stop at their
    // next test of the abort flag.
    ~EntryRunner();

    // Starts the entry `index` as image number `processed` + 1 (with one
    // job: converts it); false when the run starts no further image.
    bool Start(size_t index, int& processed);

    // Waits for every image at work and reports the images not reported yet.
    void Finish();

    // Whether an image failed in a way that opens the log window.
    bool OpensLog() const { return opensLog_; }

private:
    struct Running {
        ImageTask task;
        unsigned slot = 0;
        uint64_t memory = 0;
        RecordingImageObserver observer;
        EntryEnd end;
        std::exception_ptr failure;
        bool done = false;  // guarded by mutex_
        std::thread thread;
    };

    FolderPath SlotFolder(unsigned slot) const;
    void Launch(ImageTask task, uint64_t memory);
    void Work(Running& image);
    void WaitForRoom(uint64_t memory);
    template <typename Ready>
    void WaitUntil(Ready ready);
    void ReportFinished();
    void ShowProgress();
    void RemoveSlotFolders() const;

    const RunContext& context_;
    ConversionDisplay* display_;
    const std::vector<std::string> sourcePaths_;
    ConversionObserver& observer_;
    ConversionLog& log_;
    const Convert convert_;
    const unsigned jobs_;
    uint64_t budget_ = 0;
    unsigned threadsPerImage_ = 0;
    bool stop_ = false;
    bool opensLog_ = false;
    std::exception_ptr failure_;
    std::array<std::string, 3> shown_;
    std::deque<std::unique_ptr<Running>> pending_;  // started, not yet reported, in run order
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned running_ = 0;  // guarded by mutex_, as are the two below
    uint64_t inUse_ = 0;
    std::vector<unsigned> freeSlots_;
};

}  // namespace tessary
