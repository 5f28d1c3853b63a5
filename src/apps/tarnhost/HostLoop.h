#pragma once

#include <atomic>

#include "Core/Types.h"

namespace TarnEngine {
class CEngine;
}

namespace TarnHost {

// The engine loop of the host: steps the engine at a fixed step in whole
// milliseconds and runs queued remote calls as soon as the command queue
// wakes it, between steps.
//
// Does not own the engine. Run returns when Stop was called (any thread,
// or a signal handler, since it only stores a flag) or when the engine was
// asked to quit ("Root"."ForceQuit").
//
// After running queued calls the loop looks for the next ones without
// sleeping for a few microseconds (uiSpinMicroseconds), so that a client
// calling in a loop is not slowed by the engine thread's wake-ups; with no
// calls arriving it sleeps until the next step.
class CHostLoop
{
public:
    CHostLoop(TarnEngine::CEngine& kEngine, uint32 uiStepMs, uint32 uiSpinMicroseconds = 0);

    // Runs until stopped; the number of engine steps taken.
    uint64 Run();
    void Stop() { m_bStop.store(true, std::memory_order_release); }

private:
    TarnEngine::CEngine& m_kEngine;
    uint32 m_uiStepMs;
    uint32 m_uiSpinMicroseconds;
    std::atomic<bool> m_bStop{false};
};

}  // namespace TarnHost
