#include "System/Thread/Posix/posix_thread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include <sys/resource.h>

#include "System/Posix/PosixThreadId.h"
#include "Utils/debuglog.h"

namespace Common::Posix {

namespace {

constexpr int kaiNiceOfLevel[CThread::kMaxPriorityLevel + 1] = {-20, -10, -5, 0, 5, 10, 19};

// A priority level that the system refused to apply, remembered together with
// the nice value the thread had at that moment. The level stands for the
// thread's priority for as long as its nice value stays unchanged; once the
// nice value moves (someone else set it), the real value is reported again.
class CPriorityMemo
{
public:
    void Remember(uint32 uiLevel, int iNice)
    {
        m_uiPacked.store(kValid | (uiLevel << 8) | static_cast<uint32>(iNice + kNiceBias), std::memory_order_relaxed);
    }
    void Forget() { m_uiPacked.store(0, std::memory_order_relaxed); }
    bool Recall(int iCurrentNice, uint32* pLevel) const
    {
        const uint32 uiPacked = m_uiPacked.load(std::memory_order_relaxed);
        if (!(uiPacked & kValid) || static_cast<int>(uiPacked & 0xFFu) - kNiceBias != iCurrentNice)
            return false;
        *pLevel = (uiPacked >> 8) & 0xFFu;
        return true;
    }

private:
    static constexpr uint32 kValid = 0x80000000u;
    static constexpr int kNiceBias = 64;
    std::atomic<uint32> m_uiPacked{0};
};

bool ReadNice(uint32 uiThreadId, int* pNice)
{
    // -1 is a valid nice value: only errno tells a failure apart.
    errno = 0;
    const int iNice = getpriority(PRIO_PROCESS, static_cast<id_t>(uiThreadId));
    if (iNice == -1 && errno != 0)
        return false;
    *pNice = iNice;
    return true;
}

bool ApplyPriority(uint32 uiThreadId, uint32 uiLevel, CPriorityMemo& kMemo)
{
    if (uiLevel > CThread::kMaxPriorityLevel)
        return false;
    const int iNice = kaiNiceOfLevel[uiLevel];
    // On Linux PRIO_PROCESS with a thread id sets that one thread's nice.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(uiThreadId), iNice) == 0)
    {
        kMemo.Forget();
        return true;
    }
    if (errno != EPERM && errno != EACCES)
        return false;
    // Raising a priority needs privileges that a game rarely has; the
    // request is kept as if granted, so callers that read it back see the
    // level they asked for.
    int iCurrentNice = 0;
    if (ReadNice(uiThreadId, &iCurrentNice))
        kMemo.Remember(uiLevel, iCurrentNice);
    CDebugLog::Print("Thread %u: the system refused priority level %u (nice %d), level kept as requested", uiThreadId,
                     uiLevel, iNice);
    return true;
}

uint32 ReadPriority(uint32 uiThreadId, const CPriorityMemo& kMemo)
{
    int iNice = 0;
    if (!ReadNice(uiThreadId, &iNice))
        return CThread::kNormalPriorityLevel;
    uint32 uiLevel = 0;
    if (kMemo.Recall(iNice, &uiLevel))
        return uiLevel;
    return CThread::LevelFromNice(iNice);
}

void CopySystemName(char (&acOut)[CThread::kMaxSystemNameLength + 1], const char* pName)
{
    const size_t uiLength = strnlen(pName, CThread::kMaxSystemNameLength);
    memcpy(acOut, pName, uiLength);
    acOut[uiLength] = '\0';
}

}  // namespace

// Shared by a CThread object and the thread it started; freed by whichever
// lets go last.
struct SThreadControl
{
    std::atomic<uint32> uiRefs{2};
    std::mutex kLock;
    // Signalled when the thread has published its id, and when it ends.
    std::condition_variable kCondition;
    uint32 uiThreadId = 0;  // under kLock until published
    uint32 uiExitCode = 0;  // written before bDone is set
    std::atomic<bool> bDone{false};
    // The body's end (bDone) comes before the thread's own clean-up
    // (thread-local destructors, slot destructors). The thread has really
    // ended only once joined: waiters join it, once, under this lock.
    std::mutex kJoinLock;
    bool bJoined = false;
    CThread::EntryPoint pEntry = nullptr;
    void* pParam = nullptr;
    char acName[CThread::kMaxSystemNameLength + 1] = {};
    CPriorityMemo kPriority;

    void Release()
    {
        if (uiRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

namespace {

// The control block of the calling thread when a CThread started it, so that
// the thread's own priority calls share the object's memo.
thread_local SThreadControl* tl_pControl = nullptr;
// The memo of threads started by other means (the main thread...).
thread_local CPriorityMemo tl_kPriority;

CPriorityMemo& CurrentThreadMemo()
{
    return tl_pControl ? tl_pControl->kPriority : tl_kPriority;
}

}  // namespace

void* CThread::ThreadMain(void* pParam)
{
    SThreadControl* pControl = static_cast<SThreadControl*>(pParam);
    tl_pControl = pControl;
    // Named before it is published, so the name is in place by the time
    // Create returns, and before any code of the body runs.
    if (pControl->acName[0] != '\0')
        SetCurrentThreadName(pControl->acName);
    {
        std::lock_guard<std::mutex> kGuard(pControl->kLock);
        pControl->uiThreadId = GetCurrentThreadId();
    }
    pControl->kCondition.notify_all();

    const uint32 uiExitCode = pControl->pEntry(pControl->pParam);

    {
        std::lock_guard<std::mutex> kGuard(pControl->kLock);
        pControl->uiExitCode = uiExitCode;
        pControl->bDone.store(true, std::memory_order_release);
    }
    pControl->kCondition.notify_all();
    tl_pControl = nullptr;
    pControl->Release();
    return nullptr;
}

CThread::~CThread()
{
    Close();
}

bool CThread::Create(EntryPoint pEntry, void* pParam, const char* pName)
{
    Close();
    if (!pEntry)
        return false;
    // The block belongs to the platform layer, beneath the engine's memory
    // manager: a detached thread may free it after the manager is gone.
    SThreadControl* pControl = new (std::nothrow) SThreadControl;
    if (!pControl)
        return false;
    pControl->pEntry = pEntry;
    pControl->pParam = pParam;
    if (pName)
        CopySystemName(pControl->acName, pName);

    pthread_t kThread;
    if (pthread_create(&kThread, nullptr, &ThreadMain, pControl) != 0)
    {
        delete pControl;
        return false;
    }
    uint32 uiThreadId = 0;
    {
        std::unique_lock<std::mutex> kGuard(pControl->kLock);
        pControl->kCondition.wait(kGuard, [pControl] { return pControl->uiThreadId != 0; });
        uiThreadId = pControl->uiThreadId;
    }
    m_pControl = pControl;
    m_kThread = kThread;
    m_uiThreadId = uiThreadId;
    return true;
}

void CThread::Close()
{
    if (!m_pControl)
        return;
    // One poll: a thread that has ended is joined (it is at most a few
    // instructions from its exit), a running one is detached. A thread that
    // closes its own object is still running, so it never joins itself.
    {
        std::lock_guard<std::mutex> kGuard(m_pControl->kJoinLock);
        if (!m_pControl->bJoined)
        {
            if (m_pControl->bDone.load(std::memory_order_acquire))
                pthread_join(m_kThread, nullptr);
            else
                pthread_detach(m_kThread);
            m_pControl->bJoined = true;
        }
    }
    m_pControl->Release();
    m_pControl = nullptr;
    m_kThread = pthread_t{};
    m_uiThreadId = 0;
}

bool CThread::IsRunning() const
{
    if (!m_pControl)
        return false;
    if (!m_pControl->bDone.load(std::memory_order_acquire))
        return true;
    // The body has returned; the thread runs until its clean-up is over.
    std::lock_guard<std::mutex> kGuard(m_pControl->kJoinLock);
    if (!m_pControl->bJoined && pthread_tryjoin_np(m_kThread, nullptr) == 0)
        m_pControl->bJoined = true;
    return !m_pControl->bJoined;
}

void CThread::JoinEnded() const
{
    std::lock_guard<std::mutex> kGuard(m_pControl->kJoinLock);
    if (!m_pControl->bJoined)
    {
        pthread_join(m_kThread, nullptr);
        m_pControl->bJoined = true;
    }
}

bool CThread::Wait(uint32 uiTimeoutMs) const
{
    if (!m_pControl)
        return false;
    SThreadControl* pControl = m_pControl;
    auto kIsDone = [pControl] { return pControl->bDone.load(std::memory_order_acquire); };
    {
        std::unique_lock<std::mutex> kGuard(pControl->kLock);
        if (uiTimeoutMs == kInfinite)
            pControl->kCondition.wait(kGuard, kIsDone);
        else if (!pControl->kCondition.wait_for(kGuard, std::chrono::milliseconds(uiTimeoutMs), kIsDone))
            return false;
    }
    // Returns only once the thread's clean-up is over too, as a thread
    // handle is signalled only when the thread has gone.
    JoinEnded();
    return true;
}

bool CThread::GetExitCode(uint32* pExitCode) const
{
    if (!m_pControl || !pExitCode || !m_pControl->bDone.load(std::memory_order_acquire))
        return false;
    *pExitCode = m_pControl->uiExitCode;
    return true;
}

bool CThread::SetPriority(uint32 uiLevel)
{
    // A thread that has ended gave its id back to the system, which may have
    // handed it to another thread already.
    if (uiLevel > kMaxPriorityLevel || !IsRunning())
        return false;
    return ApplyPriority(m_uiThreadId, uiLevel, m_pControl->kPriority);
}

uint32 CThread::GetPriority() const
{
    if (!IsRunning())
        return kNormalPriorityLevel;
    return ReadPriority(m_uiThreadId, m_pControl->kPriority);
}

bool CThread::SetName(const char* pName)
{
    if (!m_pControl || !pName)
        return false;
    char acName[kMaxSystemNameLength + 1];
    CopySystemName(acName, pName);
    return pthread_setname_np(m_kThread, acName) == 0;
}

bool CThread::SetCurrentThreadPriority(uint32 uiLevel)
{
    return ApplyPriority(GetCurrentThreadId(), uiLevel, CurrentThreadMemo());
}

uint32 CThread::GetCurrentThreadPriority()
{
    return ReadPriority(GetCurrentThreadId(), CurrentThreadMemo());
}

bool CThread::SetCurrentThreadName(const char* pName)
{
    if (!pName)
        return false;
    char acName[kMaxSystemNameLength + 1];
    CopySystemName(acName, pName);
    return pthread_setname_np(pthread_self(), acName) == 0;
}

uint32 CThread::LevelFromNice(int iNice)
{
    for (uint32 uiLevel = 0; uiLevel <= kMaxPriorityLevel; ++uiLevel)
    {
        if (kaiNiceOfLevel[uiLevel] == iNice)
            return uiLevel;
    }
    return kNormalPriorityLevel;
}

}  // namespace Common::Posix
