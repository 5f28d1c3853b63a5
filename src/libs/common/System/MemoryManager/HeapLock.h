#pragma once

#include <atomic>

#include "Core/Types.h"

namespace Common::Mem {

// A heap lock. Heap locks are held for a few pointer updates only, so a
// waiter first spins briefly; past that it sleeps in the kernel until the
// holder wakes it, so that contention never burns a core. Like a critical
// section it may be taken again by the thread that holds it: a report made
// under the lock may reach an assertion handler or log listener that
// allocates.
//
// Most heaps are locked by one thread nearly all the time, and the two
// locked instructions of a mutex would be most of the cost of an Alloc or a
// Free. So a thread that took the lock kFavourStreak times in a row becomes
// the lock's favoured thread (each revocation multiplies the streak needed
// next time by eight, so a lock that is shared in practice stops
// favouring): it goes in by announcing itself with plain stores. Any other
// thread takes the mutex, then revokes the favour: it
// raises a flag, makes every thread of the process pass a memory barrier
// (membarrier), waits for the favoured thread to leave, and clears the
// favour. Either the favoured thread sees the flag and takes the mutex too,
// or the revoking thread sees it inside and waits; they never both go in.
// A heap shared by several threads thus keeps the plain mutex, and a
// thread's own heap pays one system call when another thread frees into
// it. Without membarrier (or under ThreadSanitizer, which cannot follow
// it) no thread is favoured.
class CHeapLock
{
public:
    void Lock()
    {
        const void* pSelf = CurrentThread();
        if (m_pFavoured.load(std::memory_order_relaxed) == pSelf && m_pOwner.load(std::memory_order_relaxed) != pSelf)
        {
            if (m_uiFavouredDepth != 0)
            {
                ++m_uiFavouredDepth;
                return;
            }
            m_iFavouredInside.store(1, std::memory_order_relaxed);
            // Only the compiler must keep the store before the loads: a
            // revoking thread's membarrier orders them in the processor.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            if (m_iRevoking.load(std::memory_order_acquire) == 0 &&
                m_pFavoured.load(std::memory_order_relaxed) == pSelf)
            {
                m_uiFavouredDepth = 1;
                return;
            }
            m_iFavouredInside.store(0, std::memory_order_release);
        }
        if (m_pOwner.load(std::memory_order_relaxed) == pSelf)
        {
            ++m_uiDepth;
            return;
        }
        int iExpected = kFree;
        if (!m_iState.compare_exchange_strong(iExpected, kLocked, std::memory_order_acquire))
            LockContended();
        m_pOwner.store(pSelf, std::memory_order_relaxed);
        m_uiDepth = 1;
        NoteHolder(pSelf);
    }
    void Unlock()
    {
        if (m_uiFavouredDepth != 0 && m_pOwner.load(std::memory_order_relaxed) != CurrentThread())
        {
            // Only the favoured thread gets here: m_uiFavouredDepth is its
            // own, and any other thread unlocking holds the mutex.
            if (--m_uiFavouredDepth == 0)
                m_iFavouredInside.store(0, std::memory_order_release);
            return;
        }
        if (--m_uiDepth != 0)
            return;
        m_pOwner.store(nullptr, std::memory_order_relaxed);
        if (m_iState.exchange(kFree, std::memory_order_release) == kLockedWithWaiters)
            WakeOne();
    }

    // An address unique to each live thread, the same in every module.
    static const void* CurrentThread() { return __builtin_thread_pointer(); }

private:
    enum : int
    {
        kFree = 0,
        kLocked = 1,
        kLockedWithWaiters = 2,
    };
    static constexpr uint32 kFavourStreak = 64;
    static constexpr uint32 kMaxFavourStreak = 1u << 24;
    void LockContended();
    void WakeOne();
    // With the mutex just taken: revokes another thread's favour, or counts
    // the streak of the calling thread and favours it at kFavourStreak.
    void NoteHolder(const void* pSelf);

    std::atomic<int> m_iState{kFree};
    std::atomic<const void*> m_pOwner{nullptr};
    uint32 m_uiDepth = 0;
    // The favour. Changed only by a holder of the mutex; read by anyone.
    std::atomic<const void*> m_pFavoured{nullptr};
    std::atomic<int> m_iFavouredInside{0};
    std::atomic<int> m_iRevoking{0};
    uint32 m_uiFavouredDepth = 0;  // the favoured thread's nesting
    // The streak: touched by holders of the mutex only.
    const void* m_pLastHolder = nullptr;
    uint32 m_uiStreak = 0;
    uint32 m_uiStreakNeeded = kFavourStreak;
};

}  // namespace Common::Mem
