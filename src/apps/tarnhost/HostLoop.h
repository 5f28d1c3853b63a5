#pragma once

#include <atomic>
#include <vector>

#include "Core/Types.h"

namespace TarnEngine {
class CEngine;
class CommandQueue;
}  // namespace TarnEngine

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

    // How long the engine's steps took (frame processing, components and
    // what the publishers pushed), in microseconds: the mean and the
    // fraction dQuantile (0 to 1) of them, to 10 us. 0 before any step.
    double GetMeanStepMicroseconds() const;
    double GetStepQuantileMicroseconds(double dQuantile) const;

private:
    // Looks at the queue without sleeping for up to the spin time (not past
    // the next step): true when commands wait.
    bool WatchQueue(TarnEngine::CommandQueue& kQueue, uint64 uiNextStep);
    // Counts one step's duration.
    void RecordStep(uint64 uiMicroseconds);

    TarnEngine::CEngine& m_kEngine;
    uint32 m_uiStepMs;
    uint32 m_uiSpinMicroseconds;
    std::atomic<bool> m_bStop{false};
    // Steps by duration, 10 us wide, the last one for everything longer.
    std::vector<uint32> m_kStepHistogram;
    uint64 m_uiStepCount = 0;
    uint64 m_uiStepMicroseconds = 0;
};

}  // namespace TarnHost
