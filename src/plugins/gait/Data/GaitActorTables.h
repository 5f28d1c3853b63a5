#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Data/GaitMovement.h"

// The tables a GaitActor derives from the resolved gait data when it
// starts: one tune per movement, the blend axes and the hand-over table.
namespace GaitPlugin {

struct GaitAnimationTune
{
    uint32 m_iAnimIdx = kInvalidIndex;      // sequence index
    uint32 m_iAnimCtrlIdx = kInvalidIndex;  // animation control id
};

struct AnimationAxis
{
    uint32 m_eFirst = EAnimMovement::NB_TYPE;   // movement for a positive direction
    uint32 m_eSecond = EAnimMovement::NB_TYPE;  // movement for a negative direction
    float m_fValue = 0.0f;
};

struct GaitFrameTransition
{
    uint8 m_eTargetAnim = 255;  // 255: no hand-over from this frame
    uint16 m_iTargetFrame = 0xFFFF;
    uint16 m_uiEaseMs = 0;
};

struct GaitBehaviorTarget
{
    TarnRenderer::TArray<GaitFrameTransition> m_kFrames;
};

struct GaitAnimTransition
{
    TarnRenderer::TArray<GaitBehaviorTarget> m_kBehaviors;
};

}  // namespace GaitPlugin
