#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Data/GaitMovement.h"
#include "Data/GaitParam.h"

// The resolved form of a character's gait data: names replaced by
// enumeration values and sequence indices (GaitRuntimeData and its
// records).
namespace GaitPlugin {

struct InfoBindAnim
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iAnimIdx = kInvalidIndex;  // sequence index in the mocap
    uint32 m_eBlendMode = 0;
    uint8 m_bLoop = 0;
    uint8 m_bAccum = 0;

    bool operator==(const InfoBindAnim&) const = default;
};

struct InfoSynchroPoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iFrameFirst = 0;
    uint32 m_iFrameLast = 0;

    bool operator==(const InfoSynchroPoint&) const = default;
};

struct InfoSynchronization
{
    uint32 m_eBehavior = EAnimBehavior::NB_TYPE;
    uint32 m_uiEaseMs = 0;
    InfoSynchroPoint m_kSource;
    InfoSynchroPoint m_kTarget;

    bool operator==(const InfoSynchronization&) const = default;
};

struct InfoStablePoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    float m_fFrame = 0.0f;

    // Exactly the same bits: frames that differ only by the sign of a zero
    // or a NaN's payload are not the same.
    bool operator==(const InfoStablePoint& kOther) const;
};

struct InfoFoFPoint
{
    uint32 m_eAnim = EAnimMovement::NB_TYPE;
    uint32 m_iFrame = 0;

    bool operator==(const InfoFoFPoint&) const = default;
};

struct GaitRuntimeData
{
    TarnRenderer::TArray<InfoBindAnim> m_kBindAnims;
    TarnRenderer::TArray<InfoSynchronization> m_kSynchronizations;
    TarnRenderer::TArray<InfoStablePoint> m_kStablePoints;
    TarnRenderer::TArray<InfoFoFPoint> m_kFoFPoints;
    GaitRuntimeParameters m_kParameters;
    GaitSteering m_kSteering;

    // The same data, bit for bit where numbers are floats: what decides
    // whether characters may share one copy.
    bool operator==(const GaitRuntimeData& kOther) const;
};

// True exactly when the data exists and has 13 bindings.
bool IsDataValid(const GaitRuntimeData* pData);

}  // namespace GaitPlugin
