// Worker threads for the passes of a run, and an ordered queue of jobs on
// them. The thread that owns a pool stays the only one that reads sources,
// writes files, reports progress and checks the abort flag; the workers only
// compute (compress, inflate, resample) into buffers of their own. Results
// are taken back in the order the jobs were posted, so the bytes written are
// those of the one-thread run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessary {

// The number of threads a RunContext::threads value stands for: the value
// itself, or the hardware's concurrency for 0 (at least 1).
unsigned ResolveThreadCount(unsigned requested);

class WorkerPool {
public:
    // A pool of `threads` threads in all, counting the owner, which helps
    // while it waits: `threads - 1` workers are started (none for 1, where
    // every job runs on the owner's thread when it waits for it).
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Threads in all, the owner included. A job is given the index of the
    // thread that runs it, 0 (the owner) to Threads() - 1, so that it can use
    // state kept per thread (a deflate stream, a search cache).
    unsigned Threads() const { return unsigned(workers_.size()) + 1; }

    using Job = std::function<void(unsigned thread)>;

    // A job whose completion can be awaited; Wait() rethrows what it raised.
    class Task {
    private:
        friend class WorkerPool;
        Job job;
        bool done = false;
        std::exception_ptr error;
    };
    using TaskPtr = std::shared_ptr<Task>;

    TaskPtr Post(Job job);
    // Waits for the task, running queued jobs on the owner's thread meanwhile,
    // then rethrows the task's exception, if any.
    void Wait(const TaskPtr& task);

    // For a job waiting on a job posted before it: that one has been taken
    // by a thread already (jobs are taken in posting order), so this only
    // sleeps until it is done, without running other jobs; then rethrows
    // the task's exception, if any.
    void WaitRunning(const TaskPtr& task);

    // Runs body(i, thread) for i in 0..count-1 on all threads and waits.
    // The first exception (by index) is rethrown after all have finished.
    void ParallelFor(size_t count, const std::function<void(size_t, unsigned)>& body);

private:
    void WorkerLoop(unsigned index);
    // Runs one queued job on the calling thread; false when the queue was empty.
    bool RunOne(unsigned thread, std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;  // workers: a job was queued or the pool stops
    std::condition_variable done_;  // owner: a job finished
    std::deque<TaskPtr> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Jobs that each produce a result, taken back in posting order. At most
// `window` jobs are in flight; posting one more first hands the oldest result
// to the sink on the owner's thread.
template <class Result>
class OrderedJobs {
public:
    using Producer = std::function<void(unsigned thread, Result& result)>;
    using Sink = std::function<void(Result& result)>;

    OrderedJobs(WorkerPool& pool, size_t window, Sink sink)
        : pool_(pool), window_(window ? window : 1), sink_(std::move(sink)) {}
    // Drops the results not yet taken; waits for their jobs.
    ~OrderedJobs() { Abandon(); }
    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    void Post(Producer producer) {
        while (pending_.size() >= window_) TakeOldest();
        auto entry = std::make_shared<Entry>();
        entry->task = pool_.Post(
            [entry, producer = std::move(producer)](unsigned thread) { producer(thread, entry->result); });
        pending_.push_back(std::move(entry));
    }

    // Hands every remaining result to the sink, in order.
    void Drain() {
        while (!pending_.empty()) TakeOldest();
    }

    // Waits for the jobs in flight and drops their results.
    void Abandon() {
        while (!pending_.empty()) {
            try {
                pool_.Wait(pending_.front()->task);
            } catch (...) {
            }
            pending_.pop_front();
        }
    }

    size_t InFlight() const { return pending_.size(); }

private:
    struct Entry {
        WorkerPool::TaskPtr task;
        Result result{};
    };

    void TakeOldest() {
        std::shared_ptr<Entry> entry = std::move(pending_.front());
        pending_.pop_front();
        pool_.Wait(entry->task);  // rethrows the job's error here, in order
        sink_(entry->result);
    }

    WorkerPool& pool_;
    size_t window_;
    Sink sink_;
    std::deque<std::shared_ptr<Entry>> pending_;
};

}  // namespace tessary
