#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace Common {

class CWorkerThread;

// Runs loops whose iterations do not depend on each other over several
// threads: the calling thread and uiThreads - 1 workers of the pool.
//
// Owns its worker threads; the destructor stops and joins them. One loop runs
// at a time, started from one thread (the engine's): a loop started from
// inside a loop body runs on the calling thread alone. Iterations are handed
// out in chunks as threads become free, so which thread runs an iteration
// differs from run to run: a body must give the same result whichever thread
// runs it and in whatever order (its iterations touch disjoint data).
class CWorkerPool
{
public:
    // The body of a loop: iterations [uiFirst, uiEnd), run on thread uiThread
    // (0 is the calling thread, then 1 to GetThreadCount() - 1).
    using Body = std::function<void(uint32 uiFirst, uint32 uiEnd, uint32 uiThread)>;

    // A pool of uiThreads threads in all (the caller included); 0 means one
    // per processor. Threads that cannot be started are reported and left
    // out: the pool then runs with fewer.
    explicit CWorkerPool(uint32 uiThreads);
    ~CWorkerPool();
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    uint32 GetThreadCount() const { return m_kWorkers.GetSize() + 1; }
    // Runs kBody over [0, uiCount) in chunks of at most uiChunk iterations
    // (0 counts as 1) and returns when every chunk ran.
    void ParallelFor(uint32 uiCount, uint32 uiChunk, const Body& kBody);
    // True on a thread that is running a loop body of some pool.
    static bool IsInLoop();
    // The processors of this machine (at least 1).
    static uint32 GetProcessorCount();

private:
    friend class CWorkerThread;
    // Runs chunks of the current loop until none is left.
    void RunChunks(uint32 uiThread);
    // A worker's life: wait for a loop, run its chunks, report done.
    void WorkerMain(uint32 uiThread);

    TarnRenderer::TArray<CWorkerThread*> m_kWorkers;
    std::mutex m_kMutex;
    std::condition_variable m_kWake;  // a loop started, or the pool stops
    std::condition_variable m_kDone;  // a worker finished its share
    uint64 m_ui64Generation = 0;      // loops started so far
    uint32 m_uiBusy = 0;              // workers still in the current loop
    bool m_bStopping = false;
    // The current loop.
    const Body* m_pBody = nullptr;
    uint32 m_uiCount = 0;
    uint32 m_uiChunk = 1;
    std::atomic<uint32> m_uiNext{0};
};

}  // namespace Common
