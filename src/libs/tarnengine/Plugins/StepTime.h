#pragma once

#include "Core/Types.h"

namespace TarnEngine {

// The time step of one engine frame, passed by value.
struct StepTime
{
    uint32 uiElapsedMs = 0;
};

}  // namespace TarnEngine
