#pragma once

#include "Core/Types.h"

namespace TarnEngine {
class CPushChannel;
}

namespace RPC {

// What the Gait plug-in's publishers (subscriptions, views) share: who is
// calling, and when a periodic frame is due.

// The push channel of the connection whose request the engine thread runs
// now, or null (a request from inside the process, or no endpoint).
TarnEngine::CPushChannel* CallerChannel();

// Adds a step of uiElapsedMs to the engine time uiSinceMs gathered since the
// last frame and tells whether a frame is due: always with a period of 0,
// else once uiPeriodMs has gathered (the remainder is kept, so that frames
// keep their rate whatever the step). The step's time is capped at
// uiMaxPeriodMs, where it makes no difference, so the sum cannot wrap.
bool IsFrameDue(uint32& uiSinceMs, uint32 uiPeriodMs, uint32 uiElapsedMs, uint32 uiMaxPeriodMs);

}  // namespace RPC
