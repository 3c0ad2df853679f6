#include "engine/parallel_run.h"

#include <algorithm>
#include <thread>

#include "common/text.h"
#include "common/worker_pool.h"
#include "sources/source_formats.h"
#include "sources/source_image.h"

namespace tessary {

namespace {

// The image a worker thread converts, for its readers' notices.
thread_local RecordingImageObserver* t_image = nullptr;

}  // namespace

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
                platform::ShowMessage(recorded.text);
                break;
        }
    }
    addLines(log.Count());
    if (result_) target.ImageFinished(*result_);
}

WorkerNoticeRouter::WorkerNoticeRouter() : previous_(platform::SetMessageSink(this)) {}

WorkerNoticeRouter::~WorkerNoticeRouter() {
    platform::SetMessageSink(previous_);
}

void WorkerNoticeRouter::ShowMessage(std::string_view text) {
    if (t_image) {
        t_image->Notice(text);
    } else if (previous_) {
        previous_->ShowMessage(text);
    } else {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    }
}

void WorkerNoticeRouter::BindThread(RecordingImageObserver* image) {
    t_image = image;
}

}  // namespace tessary
