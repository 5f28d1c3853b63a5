#pragma once

#include <mutex>

#include "Core/Types.h"

namespace Common::Posix {

// A waitable event of the POSIX platform layer, built on an eventfd.
//
// An auto-reset event wakes exactly one waiter per signal: a waiter owns the
// signal only once it has read the counter back to zero, and a waiter that
// loses that race goes back to waiting for the time it has left. Several
// Set calls before a wait count as one signal. A manual-reset event stays
// signalled, and releases every waiter, until Reset.
//
// Every thread may also own a wake channel: a second eventfd through which
// other threads wake it (PostThreadWake). WaitWithMessages waits on the event
// and on the caller's wake channel together; this is how a thread that sleeps
// on its own event is told that work was queued for it. A wake posted before
// the wait makes the next wait return at once; a wake consumed by a wait is
// gone, and several wakes posted before a wait count as one.
//
// Until Create succeeds, every operation fails (returns false).
class CEvent
{
public:
    static constexpr uint32 kInfinite = 0xFFFFFFFFu;

    enum class EWaitResult : uint32
    {
        Signalled,  // the event was signalled (and, auto-reset, consumed)
        Woken,      // the calling thread's wake channel was posted to
        TimedOut,
        Failed,  // no event, or the system refused the wait
    };

    CEvent() = default;
    virtual ~CEvent();

    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // Creates the event, not signalled; auto-reset unless bManualReset. An
    // event that was already created is closed first. Returns whether the
    // system gave an eventfd.
    bool Create(bool bManualReset = false);
    bool IsCreated() const { return m_iFd >= 0; }

    bool Set();
    bool Reset();

    // True only when the event was signalled within uiTimeoutMs
    // milliseconds (kInfinite: no time-out; 0: a poll).
    bool Wait(uint32 uiTimeoutMs);
    bool Wait() { return Wait(kInfinite); }
    // Like Wait, but first looks at the event without sleeping for up to
    // uiSpinMicroseconds: a signal that comes that soon is taken without the
    // cost of putting the thread to sleep and waking it (tens of
    // microseconds on a virtual machine). Costs a core meanwhile, so callers
    // spin only while work is flowing.
    bool WaitSpinning(uint32 uiSpinMicroseconds, uint32 uiTimeoutMs);

    // Waits without time-out for the event or a wake of the calling thread.
    // True when either ended the wait, false when there is no event.
    bool WaitWithMessages();
    // The same with a time-out, telling what ended the wait.
    EWaitResult WaitWithMessagesFor(uint32 uiTimeoutMs);

    // Wakes the thread uiThreadId (a kernel thread id) out of, or before, its
    // next WaitWithMessages. False when that thread has no wake channel.
    static bool PostThreadWake(uint32 uiThreadId);
    // Gives the calling thread its wake channel now (WaitWithMessages creates
    // it on first use), so that wakes posted before its first wait are kept.
    // Returns whether the channel exists.
    static bool EnsureThreadWakeChannel();

private:
    void Close();
    // Claims a signal seen by poll: an auto-reset event must be read back to
    // zero by this waiter; a manual-reset event just stays signalled.
    bool ClaimSignal();
    // Waits for the event and, when iWakeFd is not -1, for that wake channel.
    EWaitResult WaitOn(int iWakeFd, uint32 uiTimeoutMs);

    int m_iFd = -1;
    bool m_bManualReset = false;
    // Held by Set around its write to the eventfd, and taken briefly by a
    // waiter that saw the signal: the waiter then knows that the setter is
    // done with the event (it may destroy it at once) and sees everything
    // the setter wrote before Set, even when the wait only polled.
    std::mutex m_kSetLock;
};

}  // namespace Common::Posix
