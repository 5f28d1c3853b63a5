#pragma once

// Waiting in tests for what another thread or process does.
#include "System/Thread/Thread.h"

namespace TestSupport {

// Generous: only there so that a broken component fails a test instead of
// hanging it; a condition met sooner ends the wait at once.
constexpr int kGiveUpMs = 10000;

// Polls bDone() every 2 ms until it holds or kGiveUpMs have passed; its last
// answer.
template <class F> bool WaitFor(F&& bDone)
{
    for (int iMs = 0; iMs < kGiveUpMs; iMs += 2)
    {
        if (bDone())
            return true;
        Common::CThread::SleepCurrent(2);
    }
    return bDone();
}

}  // namespace TestSupport
