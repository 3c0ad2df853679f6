#include "common/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessary {
namespace {

TEST(WorkerPool, OrderedJobsHandResultsOnInPostingOrderAndErrorsAtTheirTurn) {
    for (unsigned threads : {1u, 2u, 4u}) {
        WorkerPool pool(threads);
        std::vector<int> sunk;
        bool raised = false;
        {
            OrderedJobs<int> jobs(pool, 3, [&](int& value) { sunk.push_back(value); });
            try {
                for (int i = 0; i < 16; ++i) {
                    jobs.Post([i](unsigned, int& out) {
                        // Early jobs take longest, so later ones finish first.
                        std::this_thread::sleep_for(std::chrono::microseconds((20 - i) * 50));
                        if (i == 12) throw std::runtime_error("job 12");
                        out = i;
                    });
                }
                jobs.Drain();
            } catch (const std::runtime_error&) {
                raised = true;
            }
        }
        EXPECT_TRUE(raised) << threads;
        std::vector<int> expected;
        for (int i = 0; i < 12; ++i) expected.push_back(i);
        EXPECT_EQ(sunk, expected) << threads;
    }
}

TEST(WorkerPool, ParallelForRunsEveryIndexOnceOnKnownThreads) {
    WorkerPool pool(3);
    EXPECT_EQ(pool.Threads(), 3u);
    std::vector<std::atomic<int>> hits(100);
    std::atomic<bool> badThread{false};
    pool.ParallelFor(hits.size(), [&](size_t i, unsigned thread) {
        if (thread >= 3) badThread = true;
        ++hits[i];
    });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    EXPECT_FALSE(badThread);
    EXPECT_THROW(pool.ParallelFor(5,
                                  [](size_t i, unsigned) {
                                      if (i == 3) throw std::logic_error("three");
                                  }),
                 std::logic_error);
}

// The loops of the passes are written once, for any number of threads: with
// one thread they must be the plain loop, each job run at once on the
// caller's thread and its result taken before the next row is read.
TEST(WorkerPool, APoolOfOneRunsEveryJobAtOnceOnTheCallersThread) {
    WorkerPool pool(1);
    const std::thread::id caller = std::this_thread::get_id();
    bool ran = false;
    EXPECT_EQ(pool.Dispatch([&](unsigned thread) { ran = thread == 0 && std::this_thread::get_id() == caller; }),
              nullptr);
    EXPECT_TRUE(ran);
    pool.Wait(nullptr);  // a job run at once is no wait

    std::vector<int> sunk;
    OrderedJobs<std::vector<int>> jobs(pool, 8, [&](std::vector<int>& result) { sunk.push_back(result.back()); });
    const int* firstBuffer = nullptr;
    for (int i = 0; i < 5; ++i) {
        std::vector<int>& next = jobs.Next();
        next.resize(4);
        if (i == 0) firstBuffer = next.data();
        EXPECT_EQ(next.data(), firstBuffer) << "the one result is reused, with its room";
        jobs.Post([&, i](unsigned thread, std::vector<int>& result) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            result.back() = i + int(thread);
        });
        EXPECT_EQ(jobs.InFlight(), 0u);
        EXPECT_EQ(sunk.size(), size_t(i + 1)) << "the result is taken before Post returns";
    }
    EXPECT_EQ(sunk, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(WorkerPool, DestroyingThePoolFinishesTheQueuedJobs) {
    std::atomic<int> done{0};
    {
        WorkerPool pool(2);
        for (int i = 0; i < 20; ++i)
            pool.Post([&](unsigned) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++done;
            });
    }
    EXPECT_EQ(done.load(), 20);
}

TEST(WorkerPool, ZeroThreadsMeansEveryCore) {
    EXPECT_EQ(ResolveThreadCount(3), 3u);
    EXPECT_GE(ResolveThreadCount(0), 1u);
}

}  // namespace
}  // namespace tessary
