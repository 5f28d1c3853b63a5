#include "System/MemoryManager/HeapLock.h"

#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Common::Mem {

void CHeapLock::LockContended()
{
    // A couple of short pauses catch a holder that is just unlocking;
    // spinning longer only delays the hand-over on a busy machine.
    for (uint32 uiSpin = 0; uiSpin < 2; ++uiSpin)
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        int iExpected = kFree;
        if (m_iState.load(std::memory_order_relaxed) == kFree &&
            m_iState.compare_exchange_weak(iExpected, kLocked, std::memory_order_acquire))
            return;
    }
    // Mark the lock as waited for, then sleep until it is released. The
    // futex only puts the thread to sleep; the exchange is what synchronises.
    while (m_iState.exchange(kLockedWithWaiters, std::memory_order_acquire) != kFree)
        syscall(SYS_futex, reinterpret_cast<int*>(&m_iState), FUTEX_WAIT_PRIVATE, int(kLockedWithWaiters), nullptr,
                nullptr, 0);
}

void CHeapLock::WakeOne()
{
    syscall(SYS_futex, reinterpret_cast<int*>(&m_iState), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

namespace {

#if defined(__SANITIZE_THREAD__)
#define TARN_HEAP_FAVOUR 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARN_HEAP_FAVOUR 0
#endif
#endif
#ifndef TARN_HEAP_FAVOUR
#define TARN_HEAP_FAVOUR 1
#endif

// Whether this process may use expedited membarrier (registered once).
bool CanRevokeFavours()
{
#if TARN_HEAP_FAVOUR
    static const bool s_bRegistered = [] {
        const long iCommands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
        return iCommands >= 0 && (iCommands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
               syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    }();
    return s_bRegistered;
#else
    return false;
#endif
}

}  // namespace

void CHeapLock::NoteHolder(const void* pSelf)
{
    const void* pFavoured = m_pFavoured.load(std::memory_order_relaxed);
    if (pFavoured == pSelf)
        return;  // the favoured thread found the flag raised: nothing to do
    if (pFavoured)
    {
        m_iRevoking.store(1, std::memory_order_relaxed);
        // Every thread of the process passes a full barrier: from here on
        // the favoured thread either sees the flag or is seen inside.
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
        while (m_iFavouredInside.load(std::memory_order_acquire) != 0)
            sched_yield();
        // A favoured thread that read the favour before this store finds the
        // flag cleared only after it, and then the favour gone.
        m_pFavoured.store(nullptr, std::memory_order_relaxed);
        m_iRevoking.store(0, std::memory_order_release);
        // A revocation costs every core an interrupt: a lock that needed one
        // must show a much longer run of one thread before it favours again.
        m_uiStreakNeeded = m_uiStreakNeeded >= kMaxFavourStreak / 8 ? kMaxFavourStreak : m_uiStreakNeeded * 8;
        m_pLastHolder = pSelf;
        m_uiStreak = 1;
        return;
    }
    if (m_pLastHolder != pSelf)
    {
        m_pLastHolder = pSelf;
        m_uiStreak = 1;
        return;
    }
    if (++m_uiStreak >= m_uiStreakNeeded && CanRevokeFavours())
    {
        m_pFavoured.store(pSelf, std::memory_order_relaxed);
        m_uiStreak = 0;
    }
}

}  // namespace Common::Mem
