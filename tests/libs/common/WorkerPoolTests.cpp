#include <atomic>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "System/Thread/WorkerPool.h"

using Common::CWorkerPool;

namespace {

TEST(WorkerPoolTest, EveryIterationRunsExactlyOnceOnAThreadOfThePool)
{
    // Threads, iterations, chunk.
    const std::tuple<uint32, uint32, uint32> akCases[] = {
        {1, 1000, 64}, {2, 1000, 64}, {8, 1000, 7}, {8, 3, 64}, {4, 0, 16}, {4, 65, 0}, {3, 10000, 1}, {2, 1, 1},
    };
    for (const auto& [uiThreads, uiCount, uiChunk] : akCases)
    {
        SCOPED_TRACE(testing::Message() << uiThreads << " threads, " << uiCount << " iterations, chunk " << uiChunk);
        CWorkerPool kPool(uiThreads);
        EXPECT_EQ(kPool.GetThreadCount(), uiThreads);
        std::vector<std::atomic<uint32>> kRuns(uiCount);
        std::atomic<uint32> uiBadThread{0};
        std::atomic<uint32> uiOutsideLoop{0};
        // Twice: a pool runs one loop after another.
        for (int iLoop = 0; iLoop < 2; ++iLoop)
            kPool.ParallelFor(uiCount, uiChunk, [&](uint32 uiFirst, uint32 uiEnd, uint32 uiThread) {
                if (uiThread >= uiThreads)
                    ++uiBadThread;
                if (!CWorkerPool::IsInLoop())
                    ++uiOutsideLoop;
                for (uint32 i = uiFirst; i < uiEnd; ++i)
                    ++kRuns[i];
            });
        for (uint32 i = 0; i < uiCount; ++i)
            ASSERT_EQ(kRuns[i].load(), 2u) << "iteration " << i;
        EXPECT_EQ(uiBadThread.load(), 0u);
        EXPECT_EQ(uiOutsideLoop.load(), 0u);
        EXPECT_FALSE(CWorkerPool::IsInLoop());
    }
}

TEST(WorkerPoolTest, ALoopStartedInsideALoopRunsOnTheCallingThread)
{
    CWorkerPool kPool(4);
    std::atomic<uint32> uiInner{0};
    std::atomic<uint32> uiElsewhere{0};
    kPool.ParallelFor(8, 1, [&](uint32, uint32, uint32 uiThread) {
        kPool.ParallelFor(10, 1, [&](uint32 uiFirst, uint32 uiEnd, uint32 uiInnerThread) {
            if (uiInnerThread != 0 || uiFirst != 0 || uiEnd != 10)
                ++uiElsewhere;
            uiInner += uiEnd - uiFirst;
        });
        EXPECT_TRUE(CWorkerPool::IsInLoop()) << "thread " << uiThread;
    });
    EXPECT_EQ(uiInner.load(), 80u);
    EXPECT_EQ(uiElsewhere.load(), 0u);
}

}  // namespace
