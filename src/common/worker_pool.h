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
    // Finishes every job posted, queued ones included, before it returns:
    // a loop declares the buffers its jobs use before its pool, and every
    // way out of the loop, an error included, waits for them.
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
    // Runs `job` at once on the caller's thread, as thread 0, when the pool
    // has no worker, and gives no task (an error is raised here); otherwise
    // posts it. A one-thread run thus neither queues nor allocates a task.
    template <class F>
    TaskPtr Dispatch(F&& job) {
        if (workers_.empty()) {
            job(0u);
            return nullptr;
        }
        return Post(Job(std::forward<F>(job)));
    }
    // Waits for the task, running queued jobs on the owner's thread meanwhile,
    // then rethrows the task's exception, if any. No task (a job Dispatch
    // ran at once) is no wait.
    void Wait(const TaskPtr& task);

    // For a job waiting on a job posted before it: that one has been taken
    // by a thread already (jobs are taken in posting order), so this only
    // sleeps until it is done, without running other jobs; then rethrows
    // the task's exception, if any. No task is no wait.
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
// `window` jobs are in flight; making room for one more first hands the
// oldest result to the sink on the owner's thread. Results are kept and
// reused from job to job (their buffers keep their room), so a long loop
// allocates nothing per job once every result has been used once.
//
// On a pool without workers each job runs at once on the owner's thread
// and its result goes to the sink before Post returns: the loop of a
// one-thread run is the plain loop, with no queue, no task and no copy.
template <class Result>
class OrderedJobs {
public:
    using Sink = std::function<void(Result& result)>;

    OrderedJobs(WorkerPool& pool, size_t window, Sink sink)
        : pool_(pool),
          window_(pool.Threads() > 1 ? (window ? window : 1) : 1),
          inline_(pool.Threads() == 1),
          sink_(std::move(sink)),
          ring_(window_) {}
    // Drops the results not yet taken; waits for their jobs.
    ~OrderedJobs() { Abandon(); }
    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    // The result the next job will fill, for the caller to prepare on its
    // own thread first (the input rows of a job, say). It still holds what
    // an earlier job left in it. When `window` jobs are in flight, the
    // oldest is taken to the sink first.
    Result& Next() {
        if (!claimed_) {
            while (count_ >= window_) TakeOldest();
            claimed_ = true;
        }
        std::unique_ptr<Entry>& entry = ring_[(head_ + count_) % window_];
        if (!entry) entry = std::make_unique<Entry>();
        return entry->result;
    }

    // Runs producer(thread, result) on the result Next() gave (taking it
    // when Next() was not called).
    template <class Producer>
    void Post(Producer&& producer) {
        Result& result = Next();
        claimed_ = false;
        if (inline_) {
            producer(0u, result);
            sink_(result);
            return;
        }
        Entry* entry = ring_[(head_ + count_) % window_].get();
        entry->task = pool_.Post(
            [entry, producer = std::forward<Producer>(producer)](unsigned thread) mutable {
                producer(thread, entry->result);
            });
        ++count_;
    }

    // Hands every remaining result to the sink, in order.
    void Drain() {
        while (count_ > 0) TakeOldest();
    }

    // Waits for the jobs in flight and drops their results.
    void Abandon() {
        claimed_ = false;
        while (count_ > 0) {
            Entry& entry = *ring_[head_];
            head_ = (head_ + 1) % window_;
            --count_;
            try {
                pool_.Wait(entry.task);
            } catch (...) {
            }
            entry.task = nullptr;
        }
    }

    size_t InFlight() const { return count_; }

private:
    struct Entry {
        WorkerPool::TaskPtr task;
        Result result{};
    };

    void TakeOldest() {
        Entry& entry = *ring_[head_];
        head_ = (head_ + 1) % window_;
        --count_;
        WorkerPool::TaskPtr task = std::move(entry.task);
        pool_.Wait(task);  // rethrows the job's error here, in order
        sink_(entry.result);
    }

    WorkerPool& pool_;
    size_t window_;
    bool inline_;
    Sink sink_;
    std::vector<std::unique_ptr<Entry>> ring_;  // window_ entries, made on first use
    size_t head_ = 0;                           // the oldest job in flight
    size_t count_ = 0;                          // jobs in flight
    bool claimed_ = false;                      // Next() gave the entry after them
};

}  // namespace tessary
