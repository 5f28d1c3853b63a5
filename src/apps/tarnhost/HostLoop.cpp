#include "HostLoop.h"

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

}  // namespace

CHostLoop::CHostLoop(TarnEngine::CEngine& kEngine, uint32 uiStepMs, uint32 uiSpinMicroseconds)
    : m_kEngine(kEngine), m_uiStepMs(uiStepMs ? uiStepMs : 1), m_uiSpinMicroseconds(uiSpinMicroseconds)
{
}

uint64 CHostLoop::Run()
{
    TarnEngine::CEngineNet* pNet = m_kEngine.GetEngineNet();
    Common::CEvent* pWake = pNet && pNet->GetCommandManager() ? &pNet->GetCommandManager()->GetWakeEvent() : nullptr;

    uint64 uiSteps = 0;
    bool bCallsFlowing = false;
    uint64 uiNextStep = Common::Posix::GetTickCount64() + m_uiStepMs;
    while (!m_bStop.load(std::memory_order_acquire) && !m_kEngine.IsQuitRequested())
    {
        const uint64 uiNow = Common::Posix::GetTickCount64();
        if (uiNow >= uiNextStep)
        {
            m_kEngine.Step(m_uiStepMs);
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
            bCallsFlowing = pWake->WaitSpinning(bCallsFlowing ? m_uiSpinMicroseconds : 0, static_cast<uint32>(uiWait));
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
