#pragma once

#include "Core/Types.h"

namespace TarnRenderer {
class CAnimManager;
}

namespace TarnEngine {

// What an object placed in a world needs to reach the world's services:
// the world's index and its animation manager. Not owned by its users.
struct WorldContext
{
    uint32 uiWorldIndex = 0;
    TarnRenderer::CAnimManager* pAnimManager = nullptr;
};

}  // namespace TarnEngine
