#include "System/Event/Posix/posix_event.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "System/Posix/PosixClock.h"
#include "System/Posix/PosixThreadId.h"
#include "Utils/assertion.h"

namespace Common::Posix {

namespace {

constexpr int64 kNsPerMs = 1000000;

// A thread's wake channel. Posters find it in the process-wide registry and
// write to its eventfd under the registry lock; the owning thread unlinks and
// closes it under the same lock when it ends, so a poster never writes to a
// closed (or reused) descriptor.
struct SWakeChannel
{
    int iFd = -1;
    uint32 uiThreadId = 0;
    SWakeChannel* pNext = nullptr;
    // Bumped (release) by every post and read (acquire) by the owner when a
    // wait consumed a wake: the poster's writes before the post are then
    // visible to the woken thread in the language's memory model.
    std::atomic<uint32> uiPostCount{0};

    ~SWakeChannel();
};

// The registry: an intrusive list of the live channels. It allocates nothing
// and needs no destruction, so threads that outlive static destruction can
// still post and end safely.
pthread_mutex_t s_kRegistryLock = PTHREAD_MUTEX_INITIALIZER;
SWakeChannel* s_pRegistryHead = nullptr;

thread_local SWakeChannel tl_kWakeChannel;

SWakeChannel::~SWakeChannel()
{
    if (iFd < 0)
        return;
    pthread_mutex_lock(&s_kRegistryLock);
    for (SWakeChannel** ppLink = &s_pRegistryHead; *ppLink; ppLink = &(*ppLink)->pNext)
    {
        if (*ppLink == this)
        {
            *ppLink = pNext;
            break;
        }
    }
    close(iFd);
    iFd = -1;
    pthread_mutex_unlock(&s_kRegistryLock);
}

// Empties an eventfd counter. True when it held something.
bool DrainCounter(int iFd)
{
    uint64 uiValue = 0;
    return read(iFd, &uiValue, sizeof(uiValue)) == static_cast<ssize_t>(sizeof(uiValue));
}

// Adds one to an eventfd counter. A counter too full to take more is
// signalled anyway, which is all that is asked of it.
bool BumpCounter(int iFd)
{
    const uint64 uiOne = 1;
    return write(iFd, &uiOne, sizeof(uiOne)) == static_cast<ssize_t>(sizeof(uiOne)) || errno == EAGAIN;
}

}  // namespace

CEvent::~CEvent()
{
    Close();
}

void CEvent::Close()
{
    if (m_iFd >= 0)
    {
        close(m_iFd);
        m_iFd = -1;
    }
}

bool CEvent::Create(bool bManualReset)
{
    Close();
    m_iFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_bManualReset = bManualReset;
    return m_iFd >= 0;
}

bool CEvent::Set()
{
    if (m_iFd < 0)
        return false;
    std::lock_guard<std::mutex> kGuard(m_kSetLock);
    return BumpCounter(m_iFd);
}

bool CEvent::Reset()
{
    if (m_iFd < 0)
        return false;
    DrainCounter(m_iFd);
    return true;
}

bool CEvent::ClaimSignal()
{
    // Several waiters may see an auto-reset event signalled by one poll; the
    // one whose read empties the counter owns the signal, the others find it
    // empty (EAGAIN) and wait again.
    if (!m_bManualReset && !DrainCounter(m_iFd))
        return false;
    // Waits out a setter that has not left Set yet.
    std::lock_guard<std::mutex> kGuard(m_kSetLock);
    return true;
}

bool CEvent::Wait(uint32 uiTimeoutMs)
{
    if (m_iFd < 0)
        return false;
    return WaitOn(-1, uiTimeoutMs) == EWaitResult::Signalled;
}

bool CEvent::WaitSpinning(uint32 uiSpinMicroseconds, uint32 uiTimeoutMs)
{
    if (m_iFd < 0)
        return false;
    if (uiSpinMicroseconds != 0)
    {
        const int64 iStartNs = GetMonotonicNs();
        const int64 iSpinNs = static_cast<int64>(uiSpinMicroseconds) * 1000;
        const int64 iTimeoutNs = static_cast<int64>(uiTimeoutMs) * kNsPerMs;
        int64 iElapsedNs = 0;
        do
        {
            // An auto-reset event is claimed by one non-blocking read.
            if (m_bManualReset ? Wait(0) : ClaimSignal())
                return true;
            sched_yield();  // the setter may be waiting for this core
            iElapsedNs = GetMonotonicNs() - iStartNs;
        } while (iElapsedNs < iSpinNs && (uiTimeoutMs == kInfinite || iElapsedNs < iTimeoutNs));
        if (uiTimeoutMs != kInfinite)
        {
            const int64 iLeftMs = (iTimeoutNs - iElapsedNs) / kNsPerMs;
            uiTimeoutMs = iLeftMs <= 0 ? 0 : static_cast<uint32>(iLeftMs);
        }
    }
    return Wait(uiTimeoutMs);
}

bool CEvent::WaitWithMessages()
{
    if (m_iFd < 0)
        return false;
    const EWaitResult eResult = WaitWithMessagesFor(kInfinite);
    return eResult == EWaitResult::Signalled || eResult == EWaitResult::Woken;
}

CEvent::EWaitResult CEvent::WaitWithMessagesFor(uint32 uiTimeoutMs)
{
    if (m_iFd < 0)
        return EWaitResult::Failed;
    // Without a channel the thread cannot be woken; the event alone still
    // ends the wait.
    int iWakeFd = -1;
    if (TARN_ASSERT_TEXT(EnsureThreadWakeChannel(), "EnsureThreadWakeChannel()",
                         "Unable to create the wake channel of thread %u", GetCurrentThreadId()))
        iWakeFd = tl_kWakeChannel.iFd;
    return WaitOn(iWakeFd, uiTimeoutMs);
}

CEvent::EWaitResult CEvent::WaitOn(int iWakeFd, uint32 uiTimeoutMs)
{
    const bool bInfinite = uiTimeoutMs == kInfinite;
    const int64 iDeadlineNs = bInfinite ? 0 : GetMonotonicNs() + static_cast<int64>(uiTimeoutMs) * kNsPerMs;
    for (;;)
    {
        // poll takes an int of milliseconds: a longer time-out is waited in
        // pieces. The time left is rounded up, so the wait never ends early;
        // once it is used up, one last zero-time poll decides.
        int iPollMs = -1;
        if (!bInfinite)
        {
            const int64 iLeftNs = iDeadlineNs - GetMonotonicNs();
            const int64 iLeftMs = iLeftNs <= 0 ? 0 : (iLeftNs + kNsPerMs - 1) / kNsPerMs;
            iPollMs = iLeftMs > INT_MAX ? INT_MAX : static_cast<int>(iLeftMs);
        }

        pollfd akFds[2] = {{m_iFd, POLLIN, 0}, {iWakeFd, POLLIN, 0}};
        const int iReady = poll(akFds, iWakeFd >= 0 ? 2 : 1, iPollMs);
        if (iReady < 0)
        {
            if (errno == EINTR)
                continue;
            return EWaitResult::Failed;
        }
        if (iReady > 0)
        {
            if ((akFds[0].revents & POLLIN) && ClaimSignal())
                return EWaitResult::Signalled;
            if (iWakeFd >= 0 && (akFds[1].revents & POLLIN) && DrainCounter(iWakeFd))
            {
                tl_kWakeChannel.uiPostCount.load(std::memory_order_acquire);
                return EWaitResult::Woken;
            }
            if ((akFds[0].revents | akFds[1].revents) & (POLLERR | POLLNVAL))
                return EWaitResult::Failed;
        }
        if (iPollMs == 0)
            return EWaitResult::TimedOut;
    }
}

bool CEvent::PostThreadWake(uint32 uiThreadId)
{
    bool bPosted = false;
    pthread_mutex_lock(&s_kRegistryLock);
    for (SWakeChannel* pChannel = s_pRegistryHead; pChannel; pChannel = pChannel->pNext)
    {
        if (pChannel->uiThreadId == uiThreadId)
        {
            pChannel->uiPostCount.fetch_add(1, std::memory_order_release);
            bPosted = BumpCounter(pChannel->iFd);
            break;
        }
    }
    pthread_mutex_unlock(&s_kRegistryLock);
    return bPosted;
}

bool CEvent::EnsureThreadWakeChannel()
{
    SWakeChannel& kChannel = tl_kWakeChannel;
    if (kChannel.iFd >= 0)
        return true;
    const int iFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (iFd < 0)
        return false;
    pthread_mutex_lock(&s_kRegistryLock);
    kChannel.iFd = iFd;
    kChannel.uiThreadId = GetCurrentThreadId();
    kChannel.pNext = s_pRegistryHead;
    s_pRegistryHead = &kChannel;
    pthread_mutex_unlock(&s_kRegistryLock);
    return true;
}

}  // namespace Common::Posix
