#include "engine/parallel_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "common/worker_pool.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {

namespace fs = std::filesystem;

uint64_t EstimateImageMemory(const std::string& sourcePath) {
    const SourceFormat* format = FindSourceFormat(LowerAscii(ExtensionOf(sourcePath)));
    // ECW and MrSID try a whole load first: they count as whole too.
    const bool whole = format && format->loadWhole;
    if (!whole) return kRowAccessImageMemory;
    SourceImageInfo info;
    try {
        info = GetSourceImageInfo(sourcePath);
    } catch (...) {
        // An unreadable header fails the image at once; it needs little.
        return kRowAccessImageMemory;
    }
    const uint64_t picture = uint64_t(std::max(info.width, 0)) * uint64_t(std::max(info.height, 0)) *
                             uint64_t(std::max(info.bytesPerPixel, 1));
    // The passes' own buffers come on top of the picture.
    return picture + kRowAccessImageMemory;
}

uint64_t DefaultMemoryBudget() {
    const uint64_t physical = platform::PhysicalMemoryBytes();
    return physical > 0 ? physical / 4 : uint64_t(1) << 30;
}

unsigned ResolveJobCount(unsigned jobs, size_t imageCount) {
    unsigned count = jobs == 0 ? ResolveThreadCount(0) : jobs;
    if (imageCount < count) count = unsigned(imageCount);
    return std::max(count, 1u);
}

unsigned ThreadsPerImage(unsigned jobThreads, unsigned jobs) {
    if (jobThreads != 0 || jobs <= 1) return jobThreads;
    return std::max(ResolveThreadCount(0) / jobs, 1u);
}

bool FitsMemoryBudget(uint64_t inUse, unsigned running, uint64_t memory, uint64_t budget) {
    return running == 0 || inUse + memory <= budget;
}

void RecordingImageObserver::SetStatus(int slot, std::string_view text) {
    if (slot < 0 || slot > 2) return;
    std::lock_guard lock(statusMutex_);
    status_[size_t(slot)] = std::string(text);
}

std::array<std::string, 3> RecordingImageObserver::Status() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

void RecordingImageObserver::Replay(ConversionObserver& target, ConversionDisplay* display,
                                    ConversionLog& runLog) const {
    // The image's details start afresh, as they do when it runs alone.
    if (display) display->ClearDetails();
    size_t added = 0;
    auto addLines = [&](size_t upTo) {
        if (added == upTo) return;
        for (; added < upTo; ++added) runLog.Add(log.Line(added));
        // A front end that prints the log shows the lines before what follows.
        target.PumpEvents();
    };
    for (const Recorded& recorded : events_) {
        addLines(recorded.logLines);
        switch (recorded.event) {
            case Event::Detail:
                target.AddDetail(recorded.text);
                break;
            case Event::Notice:
                target.Notice(recorded.text);
                break;
        }
    }
    addLines(log.Count());
    if (result_) target.ImageFinished(*result_);
}

void RemoveScratchFiles(const FolderPath& folder) {
    for (const platform::FolderEntry& file : platform::ListFolder(folder.Text())) {
        if (file.isDirectory || UpperAscii(ExtensionOf(file.name)) != ".RPX0") continue;
        std::error_code ec;
        if (!fs::remove(folder.Join(file.name), ec) || ec) break;
    }
}

EntryRunner::EntryRunner(const ConversionJob& job, const RunContext& context, ConversionDisplay* display,
                         std::vector<std::string> sourcePaths, ConversionObserver& observer, ConversionLog& log,
                         Convert convert)
    : context_(context),
      display_(display),
      sourcePaths_(std::move(sourcePaths)),
      observer_(observer),
      log_(log),
      convert_(std::move(convert)),
      jobs_(ResolveJobCount(job.jobs, sourcePaths_.size())) {
    if (jobs_ > 1) {
        budget_ = job.memoryBudget ? job.memoryBudget : DefaultMemoryBudget();
        threadsPerImage_ = ThreadsPerImage(job.threads, jobs_);
        for (unsigned slot = jobs_; slot > 0; --slot) freeSlots_.push_back(slot);
    }
}

EntryRunner::~EntryRunner() {
    if (!pending_.empty() && context_.abort) context_.abort->store(true);
    for (auto& image : pending_)
        if (image->thread.joinable()) image->thread.join();
}

bool EntryRunner::Start(size_t index, int& processed) {
    if (stop_) return false;
    if (jobs_ == 1) {
        const ImageTask task{index, ++processed, context_, display_};
        const EntryEnd end = convert_(task, observer_, log_);
        opensLog_ = opensLog_ || end.opensLog;
        if (end.outcome == ImageOutcome::Aborted) stop_ = true;
        return !stop_;
    }
    const uint64_t memory = EstimateImageMemory(sourcePaths_[index]);
    WaitForRoom(memory);
    if (stop_ || context_.Aborted()) return false;
    Launch(ImageTask{index, ++processed, context_, nullptr}, memory);
    return true;
}

void EntryRunner::Finish() {
    if (jobs_ == 1) return;
    WaitUntil([&] { return running_ == 0; });
    ReportFinished();
    observer_.ShowImagesAtWork({});
    RemoveSlotFolders();
    if (failure_) std::rethrow_exception(failure_);
}

FolderPath EntryRunner::SlotFolder(unsigned slot) const {
    return FolderPath(context_.tempFolder.Join("job" + std::to_string(slot)));
}

void EntryRunner::Launch(ImageTask task, uint64_t memory) {
    auto image = std::make_unique<Running>();
    {
        std::lock_guard lock(mutex_);
        image->slot = freeSlots_.back();
        freeSlots_.pop_back();
        ++running_;
        inUse_ += memory;
    }
    const FolderPath folder = SlotFolder(image->slot);
    std::error_code ec;
    fs::create_directories(folder.Text(), ec);
    task.context.tempFolder = folder;
    task.context.observer = &image->observer;
    task.context.threads = threadsPerImage_;
    image->task = std::move(task);
    image->memory = memory;
    Running* raw = image.get();
    pending_.push_back(std::move(image));
    raw->thread = std::thread([this, raw] { Work(*raw); });
}

void EntryRunner::Work(Running& image) {
    try {
        image.end = convert_(image.task, image.observer, image.observer.log);
    } catch (...) {
        image.failure = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    image.done = true;
    --running_;
    inUse_ -= image.memory;
    freeSlots_.push_back(image.slot);
    wake_.notify_all();
}

void EntryRunner::WaitForRoom(uint64_t memory) {
    WaitUntil([&] {
        return stop_ || context_.Aborted() ||
               (running_ < jobs_ && FitsMemoryBudget(inUse_, running_, memory, budget_));
    });
}

// Waits (holding mutex_ only to test `ready`), reporting finished images
// and showing progress meanwhile.
template <typename Ready>
void EntryRunner::WaitUntil(Ready ready) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (ready()) break;
            wake_.wait_for(lock, std::chrono::milliseconds(100));
            if (ready()) break;
        }
        ReportFinished();
        ShowProgress();
    }
    ReportFinished();
}

// Replays the finished images at the front of the run order.
void EntryRunner::ReportFinished() {
    for (;;) {
        std::unique_ptr<Running> image;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty() || !pending_.front()->done) return;
            image = std::move(pending_.front());
            pending_.pop_front();
        }
        image->thread.join();
        if (image->failure) {
            // An error of the run itself: as in a one-job run it ends
            // the run, once the images at work are done.
            if (!failure_) failure_ = image->failure;
            stop_ = true;
            continue;
        }
        if (failure_) continue;
        image->observer.Replay(observer_, display_, log_);
        opensLog_ = opensLog_ || image->end.opensLog;
        if (image->end.outcome == ImageOutcome::Aborted) stop_ = true;
    }
}

// The status panels show the oldest image at work; a front end that can
// show every image at work gets them all.
void EntryRunner::ShowProgress() {
    std::array<std::string, 3> status;
    std::vector<std::array<std::string, 3>> atWork;
    {
        std::lock_guard lock(mutex_);
        for (const auto& image : pending_)
            if (!image->done) atWork.push_back(image->observer.Status());
    }
    if (!atWork.empty()) status = atWork.front();
    observer_.ShowImagesAtWork(atWork);
    for (int slot = 0; slot < 3; ++slot) {
        if (status[size_t(slot)] == shown_[size_t(slot)]) continue;
        shown_[size_t(slot)] = status[size_t(slot)];
        observer_.SetStatus(slot, shown_[size_t(slot)]);
    }
    observer_.PumpEvents();
}

// The slots' scratch folders, with their scratch files only: anything else
// in them is not this run's to remove.
void EntryRunner::RemoveSlotFolders() const {
    for (unsigned slot = 1; slot <= jobs_; ++slot) {
        const FolderPath folder = SlotFolder(slot);
        RemoveScratchFiles(folder);
        std::error_code ec;
        fs::remove(folder.Text(), ec);
    }
}

}  // namespace tessary
