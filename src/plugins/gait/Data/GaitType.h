#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"

// The gait data of one kind of character: which animation plays each
// movement, how movements blend, their stable frames, foot-on-floor frames
// and synchronised hand-overs. Authored form (ParamGait, names as text, read
// from the gait document) and resolved form (GaitRuntimeData, names replaced
// by enumeration values and sequence indices), plus the tables a GaitActor
// derives from the resolved form when it starts.
namespace GaitPlugin {

// Movements, in the order of the name table.
namespace EAnimMovement {
enum Type : uint32
{
    Idle = 0,
    Breath,
    Walk,
    TurnLeft,
    TurnRight,
    IdleToWalkRight,
    IdleToWalkLeft,
    WalkToIdleRight,
    WalkToIdleLeft,
    LookUp,
    LookDown,
    LookLeft,
    LookRight,
    NB_TYPE,  // the count; also the value of an unknown name
};
}  // namespace EAnimMovement

namespace EAnimBehavior {
enum Type : uint32
{
    WalkStop = 0,
    WalkStart,
    NB_TYPE,  // the count; also the value of an unknown name
};
}  // namespace EAnimBehavior

// Name tables indexed by value: "Idle", "Breath", ... and "WalkStop", "WalkStart".
extern const char* const g_apAnimMovementNames[EAnimMovement::NB_TYPE];
extern const char* const g_apAnimBehaviorNames[EAnimBehavior::NB_TYPE];

// Index of the first table entry equal to pName (exact, case-sensitive), or
// uiCount after the report "GetEnumFromName : Unknow Name".
uint32 GetEnumFromName(const char* pName, const char* const* ppTable, uint32 uiCount);

// ---------------------------------------------------------------------------
// Authored form

// A terminated text of at most 1023 characters.
struct GaitName
{
    static constexpr uint32 Capacity = 1024;
    char m_acText[Capacity] = {};

    // Copies pText; false (and the name left empty) when it does not fit.
    bool Set(const char* pText);
    const char* Get() const { return m_acText; }
};

struct GaitBind
{
    GaitName NameKeySource;  // movement name
    GaitName NameKeyTarget;  // sequence name in the character's mocap
    uint32 BlendMode = 0;
    bool Loop = false;
    bool Accum = false;
};

struct GaitStable
{
    GaitName NameKey;
    TarnRenderer::TArray<float> StableFrames;
};

struct GaitFootOnFloor
{
    GaitName NameKey;
    TarnRenderer::TArray<uint32> StableFrames;
};

struct GaitSynchro
{
    GaitName NameKey;
    uint32 FrameFirst = 0;
    uint32 FrameLast = 0;
};

struct GaitBehavior
{
    GaitName NameBehavior;
    uint32 EaseMs = 0;
    GaitSynchro SynchroSource;
    GaitSynchro SynchroTarget;
};

// Tuning of the root-rotation rectifier.
struct GaitRuntimeParameters
{
    float RectificatorFactor = 0.03f;
    float RectificatorExp = 8.0f;
    float RectificatorMin = 0.4f;
    float RectificatorMinDelta = 0.0001f;
};

// Options beyond the gait document's original members (see docs/formats.md).
struct GaitSteering
{
    // The owner writes the rectified root rotation to the link.
    bool ApplyRectifiedRotation = false;
};

struct ParamGait
{
    TarnRenderer::TArray<GaitBind> Binds;
    TarnRenderer::TArray<GaitStable> Stables;
    TarnRenderer::TArray<GaitBehavior> Behaviors;
    GaitRuntimeParameters RuntimeParameters;
    TarnRenderer::TArray<GaitFootOnFloor> FootOnFloor;
    GaitSteering Steering;
};

// ---------------------------------------------------------------------------
// Resolved form

struct InfoBindAnim
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iAnimIdx = kInvalidIndex;  // sequence index in the mocap
    uint32 m_eBlendMode = 0;
    uint8 m_bLoop = 0;
    uint8 m_bAccum = 0;
};

struct InfoSynchroPoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iFrameFirst = 0;
    uint32 m_iFrameLast = 0;
};

struct InfoSynchronization
{
    uint32 m_eBehavior = EAnimBehavior::NB_TYPE;
    uint32 m_uiEaseMs = 0;
    InfoSynchroPoint m_kSource;
    InfoSynchroPoint m_kTarget;
};

struct InfoStablePoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    float m_fFrame = 0.0f;
};

struct InfoFoFPoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iFrame = 0;
};

struct GaitRuntimeData
{
    TarnRenderer::TArray<InfoBindAnim> m_kBindAnims;
    TarnRenderer::TArray<InfoSynchronization> m_kSynchronizations;
    TarnRenderer::TArray<InfoStablePoint> m_kStablePoints;
    TarnRenderer::TArray<InfoFoFPoint> m_kFoFPoints;
    GaitRuntimeParameters m_kParameters;
    GaitSteering m_kSteering;
};

// True exactly when the data exists and has 13 bindings.
bool IsDataValid(const GaitRuntimeData* pData);

// ---------------------------------------------------------------------------
// Actor tables

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
    uint8 m_eTargetAnim = 255;     // 255: no hand-over from this frame
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
