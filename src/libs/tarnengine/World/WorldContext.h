#pragma once

#include "Core/Types.h"

namespace TarnRenderer {
class CAnimManager;
class UserDataPool;
}  // namespace TarnRenderer

namespace TarnEngine {

// What an object placed in a world needs to reach the world's services:
// the world's index (its animation session in the animation manager), the
// animation manager and the scene's pool of link user-data records. Owned by
// the world; its users only borrow it.
struct WorldContext
{
    uint32 uiWorldIndex = 0;
    TarnRenderer::CAnimManager* pAnimManager = nullptr;
    TarnRenderer::UserDataPool* pUserDataPool = nullptr;
};

}  // namespace TarnEngine
