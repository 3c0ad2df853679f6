// Several images of one run at once (tessary-cli --jobs). Each image is one
// unit of work on a thread of its own, with its own scratch folder, its own
// log and an observer that only records; the run's thread replays what each
// image recorded in run order, so that the log, the report and the observer
// see exactly what a one-image-at-a-time run shows them. Nothing an image
// writes depends on another image, so the files are those of that run too.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"

namespace tessary {

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

    // A reader's notice, shown through the program's message sink on replay.
    void Notice(std::string_view text) { Record(Event::Notice, text); }

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

// Routes the readers' notices of a worker thread to that thread's image
// while it is installed; notices from any other thread go on to the sink
// that was installed before.
class WorkerNoticeRouter : public platform::MessageSink {
public:
    WorkerNoticeRouter();
    ~WorkerNoticeRouter() override;
    WorkerNoticeRouter(const WorkerNoticeRouter&) = delete;
    WorkerNoticeRouter& operator=(const WorkerNoticeRouter&) = delete;

    void ShowMessage(std::string_view text) override;

    // Marks the calling thread as working for `image` (nullptr: none).
    static void BindThread(RecordingImageObserver* image);

private:
    platform::MessageSink* previous_;
};

}  // namespace tessary
