#include "common/worker_pool.h"

#include <algorithm>

namespace tessary {

unsigned ResolveThreadCount(unsigned requested) {
    if (requested > 0) return std::min(requested, 256u);
    return std::max(1u, std::thread::hardware_concurrency());
}

WorkerPool::WorkerPool(unsigned threads) {
    threads = std::max(1u, threads);
    workers_.reserve(threads - 1);
    for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this, i] { WorkerLoop(i); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

WorkerPool::TaskPtr WorkerPool::Post(Job job) {
    auto task = std::make_shared<Task>();
    task->job = std::move(job);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(task);
    }
    wake_.notify_one();
    return task;
}

bool WorkerPool::RunOne(unsigned thread, std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) return false;
    TaskPtr task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
        task->job(thread);
    } catch (...) {
        error = std::current_exception();
    }
    task->job = nullptr;  // releases what the job captured
    lock.lock();
    task->error = error;
    task->done = true;
    done_.notify_all();
    return true;
}

void WorkerPool::WorkerLoop(unsigned index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, nothing left
        RunOne(index, lock);
    }
}

void WorkerPool::Wait(const TaskPtr& task) {
    if (!task) return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!task->done) {
        // Help with queued jobs (the awaited one may be among them); when
        // none is queued, the awaited job runs on a worker: sleep until a
        // job finishes.
        if (!RunOne(0, lock)) done_.wait(lock, [&] { return task->done || !queue_.empty(); });
    }
    if (task->error) std::rethrow_exception(task->error);
}

void WorkerPool::WaitRunning(const TaskPtr& task) {
    if (!task) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return task->done; });
    if (task->error) std::rethrow_exception(task->error);
}

void WorkerPool::ParallelFor(size_t count, const std::function<void(size_t, unsigned)>& body) {
    if (count == 0) return;
    if (workers_.empty() || count == 1) {
        for (size_t i = 0; i < count; ++i) body(i, 0);
        return;
    }
    std::vector<TaskPtr> tasks;
    tasks.reserve(count);
    for (size_t i = 0; i < count; ++i)
        tasks.push_back(Post([&body, i](unsigned thread) { body(i, thread); }));
    std::exception_ptr first;
    for (TaskPtr& task : tasks) {
        try {
            Wait(task);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace tessary
