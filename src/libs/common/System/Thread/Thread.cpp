#include "System/Thread/Thread.h"

#include <atomic>
#include <cstring>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixClock.h"
#include "System/Posix/PosixDebugger.h"
#include "System/Posix/PosixThreadId.h"
#include "System/Thread/Posix/posix_thread.h"

namespace Common {

namespace {

// The main thread's id. Recorded by the static initialisation below; should
// anything ask before it ran (another unit's static initialisation), the
// first asker, which is then the initialising thread, records itself.
std::atomic<uint32> s_uiMainThreadId{0};

uint32 MainThreadId()
{
    uint32 uiId = s_uiMainThreadId.load(std::memory_order_acquire);
    if (uiId == 0)
    {
        const uint32 uiSelf = Posix::GetCurrentThreadId();
        s_uiMainThreadId.compare_exchange_strong(uiId, uiSelf, std::memory_order_acq_rel);
        uiId = s_uiMainThreadId.load(std::memory_order_acquire);
    }
    return uiId;
}

[[maybe_unused]] const uint32 s_uiMainThreadAtLoad = MainThreadId();

}  // namespace

CThread::CThread()
{
    m_pThread = TARN_NEW_TAGGED("Common::CThread::CThread", Common::Posix::CThread);
}

CThread::~CThread()
{
    Close();
    TARN_DELETE(m_pThread);
    m_pThread = nullptr;
}

uint32 CThread::ThreadEntry(void* pParam)
{
    // Nothing of the object is touched once Run has returned: the owner may
    // destroy it as soon as the body is done.
    return static_cast<CThread*>(pParam)->Run();
}

bool CThread::Start(const char* pName)
{
    if (!m_pThread)
        return false;
    const char* pSource = pName ? pName : "Thread";
    // Bounded copy; memmove because a caller may pass GetName() back in.
    const size_t uiLength = strnlen(pSource, kMaxNameLength);
    memmove(m_acName, pSource, uiLength);
    m_acName[uiLength] = '\0';
    return m_pThread->Create(&ThreadEntry, this, m_acName);
}

void CThread::Close()
{
    if (m_pThread)
        m_pThread->Close();
}

bool CThread::IsRunning() const
{
    return m_pThread && m_pThread->IsRunning();
}

void CThread::Wait()
{
    if (m_pThread)
        m_pThread->Wait();
}

uint32 CThread::GetThreadId() const
{
    return m_pThread ? m_pThread->GetId() : 0;
}

bool CThread::SetPriority(uint32 uiLevel, bool bDisableBoost)
{
    (void)bDisableBoost;
    return m_pThread && m_pThread->SetPriority(uiLevel);
}

uint32 CThread::GetPriority() const
{
    return m_pThread ? m_pThread->GetPriority() : Posix::CThread::kNormalPriorityLevel;
}

bool CThread::SetProcessor(uint32 uiProcessor)
{
    (void)uiProcessor;
    return true;
}

void CThread::SetName(const char* pName)
{
    if (m_pThread)
        m_pThread->SetName(pName);
}

void CThread::Sleep(uint32 uiMs)
{
    if (m_pThread)
        Posix::SleepMs(uiMs);
}

void CThread::Yield()
{
    Sleep(0);
}

uint32 CThread::GetCurrentThreadId()
{
    return Posix::GetCurrentThreadId();
}

bool CThread::IsMainThread()
{
    return Posix::GetCurrentThreadId() == MainThreadId();
}

void CThread::SetMainThread()
{
    s_uiMainThreadId.store(Posix::GetCurrentThreadId(), std::memory_order_release);
}

bool CThread::SetCurrentThreadPriority(uint32 uiLevel)
{
    return Posix::CThread::SetCurrentThreadPriority(uiLevel);
}

uint32 CThread::GetCurrentThreadPriority()
{
    return Posix::CThread::GetCurrentThreadPriority();
}

void CThread::SleepCurrent(uint32 uiMs)
{
    Posix::SleepMs(uiMs);
}

bool CThread::IsDebuggerPresent()
{
    return Posix::IsDebuggerPresent();
}

}  // namespace Common
