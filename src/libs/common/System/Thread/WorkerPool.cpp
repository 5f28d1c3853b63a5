#include "System/Thread/WorkerPool.h"

#include <cstdio>
#include <thread>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/Thread.h"
#include "Utils/assertion.h"

namespace Common {

namespace {
thread_local bool t_bInLoop = false;
}  // namespace

// One worker of a pool: its body is the pool's worker loop.
class CWorkerThread final : public CThread
{
public:
    CWorkerThread(CWorkerPool* pPool, uint32 uiThread) : m_pPool(pPool), m_uiThread(uiThread) {}
    uint32 Run() override
    {
        m_pPool->WorkerMain(m_uiThread);
        return 0;
    }

private:
    CWorkerPool* m_pPool;
    uint32 m_uiThread;
};

CWorkerPool::CWorkerPool(uint32 uiThreads)
{
    if (uiThreads == 0)
        uiThreads = GetProcessorCount();
    for (uint32 uiThread = 1; uiThread < uiThreads; ++uiThread)
    {
        auto* pWorker = TARN_NEW_TAGGED("Common::CWorkerPool::CWorkerPool", CWorkerThread, this, uiThread);
        if (!pWorker)
            break;
        char acName[24];
        std::snprintf(acName, sizeof(acName), "worker %u", uiThread);
        if (!TARN_ASSERT(pWorker->Start(acName), "CWorkerPool : worker thread %u could not be started", uiThread))
        {
            TARN_DELETE(pWorker);
            break;
        }
        m_kWorkers.Add(pWorker);
    }
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> kLock(m_kMutex);
        m_bStopping = true;
    }
    m_kWake.notify_all();
    for (CWorkerThread* pWorker : m_kWorkers)
    {
        pWorker->Wait();
        TARN_DELETE(pWorker);
    }
}

uint32 CWorkerPool::GetProcessorCount()
{
    const uint32 uiCount = std::thread::hardware_concurrency();
    return uiCount > 0 ? uiCount : 1;
}

bool CWorkerPool::IsInLoop()
{
    return t_bInLoop;
}

void CWorkerPool::ParallelFor(uint32 uiCount, uint32 uiChunk, const Body& kBody)
{
    if (uiCount == 0)
        return;
    if (uiChunk == 0)
        uiChunk = 1;
    // Alone, nested, or too small to share: the calling thread runs it all.
    if (m_kWorkers.IsEmpty() || t_bInLoop || uiCount <= uiChunk)
    {
        const bool bWasInLoop = t_bInLoop;
        t_bInLoop = true;
        kBody(0, uiCount, 0);
        t_bInLoop = bWasInLoop;
        return;
    }
    {
        std::lock_guard<std::mutex> kLock(m_kMutex);
        m_pBody = &kBody;
        m_uiCount = uiCount;
        m_uiChunk = uiChunk;
        m_uiNext.store(0, std::memory_order_relaxed);
        m_uiBusy = m_kWorkers.GetSize();
        ++m_ui64Generation;
    }
    m_kWake.notify_all();
    RunChunks(0);
    // The loop's data stays alive until every worker is out of it.
    std::unique_lock<std::mutex> kLock(m_kMutex);
    m_kDone.wait(kLock, [this] { return m_uiBusy == 0; });
    m_pBody = nullptr;
}

void CWorkerPool::RunChunks(uint32 uiThread)
{
    t_bInLoop = true;
    for (;;)
    {
        const uint32 uiFirst = m_uiNext.fetch_add(m_uiChunk, std::memory_order_relaxed);
        if (uiFirst >= m_uiCount)
            break;
        const uint32 uiEnd = m_uiCount - uiFirst > m_uiChunk ? uiFirst + m_uiChunk : m_uiCount;
        (*m_pBody)(uiFirst, uiEnd, uiThread);
    }
    t_bInLoop = false;
}

void CWorkerPool::WorkerMain(uint32 uiThread)
{
    uint64 ui64Seen = 0;
    for (;;)
    {
        {
            std::unique_lock<std::mutex> kLock(m_kMutex);
            m_kWake.wait(kLock, [&] { return m_bStopping || m_ui64Generation != ui64Seen; });
            if (m_bStopping)
                return;
            ui64Seen = m_ui64Generation;
        }
        RunChunks(uiThread);
        {
            std::lock_guard<std::mutex> kLock(m_kMutex);
            --m_uiBusy;
        }
        m_kDone.notify_one();
    }
}

}  // namespace Common
