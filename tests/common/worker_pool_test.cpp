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

TEST(WorkerPool, ZeroThreadsMeansEveryCore) {
    EXPECT_EQ(ResolveThreadCount(3), 3u);
    EXPECT_GE(ResolveThreadCount(0), 1u);
}

}  // namespace
}  // namespace tessary
