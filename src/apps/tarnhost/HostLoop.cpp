#include "HostLoop.h"

#include <sched.h>

#include "Commands/CommandManager.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "System/Event/Event.h"
#include "System/Posix/PosixClock.h"

namespace TarnHost {

namespace {

// Longest wait between two looks at the stop flag, so that a signal ends the
// loop promptly whatever the step.
constexpr uint64 kMaxWaitMs = 50;
// A loop that fell this many steps behind (a debugger stop, a long load)
// starts counting again from now instead of catching up in a burst.
constexpr uint64 kMaxStepsBehind = 10;
// Step durations are counted to 10 us, up to 100 ms.
constexpr uint64 kBucketMicroseconds = 10;
constexpr size_t kBuckets = 10000;

}  // namespace

CHostLoop::CHostLoop(TarnEngine::CEngine& kEngine, uint32 uiStepMs, uint32 uiSpinMicroseconds)
    : m_kEngine(kEngine), m_uiStepMs(uiStepMs ? uiStepMs : 1), m_uiSpinMicroseconds(uiSpinMicroseconds),
      m_kStepHistogram(kBuckets, 0u)
{
}

void CHostLoop::RecordStep(uint64 uiMicroseconds)
{
    const uint64 uiBucket = uiMicroseconds / kBucketMicroseconds;
    ++m_kStepHistogram[uiBucket < kBuckets ? uiBucket : kBuckets - 1];
    ++m_uiStepCount;
    m_uiStepMicroseconds += uiMicroseconds;
}

double CHostLoop::GetMeanStepMicroseconds() const
{
    return m_uiStepCount ? static_cast<double>(m_uiStepMicroseconds) / static_cast<double>(m_uiStepCount) : 0.0;
}

double CHostLoop::GetStepQuantileMicroseconds(double dQuantile) const
{
    if (m_uiStepCount == 0)
        return 0.0;
    const double dRank = dQuantile * static_cast<double>(m_uiStepCount);
    uint64 uiSeen = 0;
    for (size_t i = 0; i < kBuckets; ++i)
    {
        uiSeen += m_kStepHistogram[i];
        if (static_cast<double>(uiSeen) >= dRank && uiSeen > 0)
            return static_cast<double>((i + 1) * kBucketMicroseconds);
    }
    return static_cast<double>(kBuckets * kBucketMicroseconds);
}

bool CHostLoop::WatchQueue(TarnEngine::CommandQueue& kQueue, uint64 uiNextStep)
{
    const int64 iUntilNs = Common::Posix::GetMonotonicNs() + static_cast<int64>(m_uiSpinMicroseconds) * 1000;
    kQueue.SetWatched(true);
    bool bFound = false;
    while (!(bFound = kQueue.HasPending()) && Common::Posix::GetMonotonicNs() < iUntilNs &&
           Common::Posix::GetTickCount64() < uiNextStep && !m_bStop.load(std::memory_order_acquire))
        sched_yield();  // a thread that would push may be waiting for this core
    kQueue.SetWatched(false);
    // A push made while the watch ended either is seen here or signalled
    // the wake event.
    return bFound || kQueue.HasPending();
}

uint64 CHostLoop::Run()
{
    TarnEngine::CEngineNet* pNet = m_kEngine.GetEngineNet();
    TarnEngine::CommandManager* pCommands = pNet ? pNet->GetCommandManager() : nullptr;
    Common::CEvent* pWake = pCommands ? &pCommands->GetWakeEvent() : nullptr;

    uint64 uiSteps = 0;
    bool bCallsFlowing = false;
    uint64 uiNextStep = Common::Posix::GetTickCount64() + m_uiStepMs;
    while (!m_bStop.load(std::memory_order_acquire) && !m_kEngine.IsQuitRequested())
    {
        const uint64 uiNow = Common::Posix::GetTickCount64();
        if (uiNow >= uiNextStep)
        {
            const int64 iStartNs = Common::Posix::GetMonotonicNs();
            m_kEngine.Step(m_uiStepMs);
            RecordStep(static_cast<uint64>(Common::Posix::GetMonotonicNs() - iStartNs) / 1000u);
            ++uiSteps;
            uiNextStep += m_uiStepMs;
            if (uiNow > uiNextStep + kMaxStepsBehind * m_uiStepMs)
                uiNextStep = uiNow + m_uiStepMs;
            continue;
        }
        uint64 uiWait = uiNextStep - uiNow;
        if (uiWait > kMaxWaitMs)
            uiWait = kMaxWaitMs;
        if (pWake)
        {
            // Right after calls, the next ones are looked for in the queue
            // itself: no system call per look, and pushes skip the wake
            // event meanwhile.
            if (bCallsFlowing && m_uiSpinMicroseconds != 0 && WatchQueue(pCommands->GetQueue(), uiNextStep))
            {
                m_kEngine.ProcessCommands();
                continue;
            }
            bCallsFlowing = pWake->Wait(static_cast<uint32>(uiWait));
            if (bCallsFlowing)
                m_kEngine.ProcessCommands();
        }
        else
            Common::Posix::SleepMs(static_cast<uint32>(uiWait));
    }
    // Calls queued while the loop ended still get their replies.
    m_kEngine.ProcessCommands();
    return uiSteps;
}

}  // namespace TarnHost
