#include "Data/GaitType.h"

#include <bit>
#include <cstring>

#include "Utils/assertion.h"

namespace GaitPlugin {

// The texts the gait document uses for each movement and behaviour.
const char* const g_apAnimMovementNames[EAnimMovement::NB_TYPE] = {
    "Idle",           "Breath",          "Walk",           "TurnLeft", "TurnRight", "IdleToWalkRight",
    "IdleToWalkLeft", "WalkToIdleRight", "WalkToIdleLeft", "LookUp",   "LookDown",  "LookLeft",
    "LookRight",
};

const char* const g_apAnimBehaviorNames[EAnimBehavior::NB_TYPE] = {
    "WalkStop",
    "WalkStart",
};

uint32 GetEnumFromName(const char* pName, const char* const* ppTable, uint32 uiCount)
{
    if (pName && ppTable)
    {
        for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
        {
            if (ppTable[uiIdx] && strcmp(ppTable[uiIdx], pName) == 0)
                return uiIdx;
        }
    }
    TARN_ASSERT(false, "GetEnumFromName : Unknow Name");
    return uiCount;
}

bool GaitName::Set(const char* pText)
{
    m_acText[0] = '\0';
    if (!pText)
        return false;
    const size_t uiLength = strnlen(pText, Capacity);
    if (uiLength >= Capacity)
        return false;
    memcpy(m_acText, pText, uiLength + 1);
    return true;
}

namespace {

bool SameBits(float a, float b)
{
    return std::bit_cast<uint32>(a) == std::bit_cast<uint32>(b);
}

template <class T> bool SameArrays(const TarnRenderer::TArray<T>& kA, const TarnRenderer::TArray<T>& kB)
{
    if (kA.GetSize() != kB.GetSize())
        return false;
    for (uint32 i = 0; i < kA.GetSize(); ++i)
        if (!(kA[i] == kB[i]))
            return false;
    return true;
}

}  // namespace

bool InfoStablePoint::operator==(const InfoStablePoint& kOther) const
{
    return m_eAnim == kOther.m_eAnim && SameBits(m_fFrame, kOther.m_fFrame);
}

bool GaitRuntimeData::operator==(const GaitRuntimeData& kOther) const
{
    const GaitRuntimeParameters& kA = m_kParameters;
    const GaitRuntimeParameters& kB = kOther.m_kParameters;
    return SameBits(kA.RectificatorFactor, kB.RectificatorFactor) && SameBits(kA.RectificatorExp, kB.RectificatorExp) &&
           SameBits(kA.RectificatorMin, kB.RectificatorMin) &&
           SameBits(kA.RectificatorMinDelta, kB.RectificatorMinDelta) &&
           m_kSteering.ApplyRectifiedRotation == kOther.m_kSteering.ApplyRectifiedRotation &&
           SameArrays(m_kBindAnims, kOther.m_kBindAnims) &&
           SameArrays(m_kSynchronizations, kOther.m_kSynchronizations) &&
           SameArrays(m_kStablePoints, kOther.m_kStablePoints) && SameArrays(m_kFoFPoints, kOther.m_kFoFPoints);
}

bool IsDataValid(const GaitRuntimeData* pData)
{
    return pData && pData->m_kBindAnims.GetSize() == EAnimMovement::NB_TYPE;
}

}  // namespace GaitPlugin
