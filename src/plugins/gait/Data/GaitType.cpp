#include "Data/GaitType.h"

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

bool IsDataValid(const GaitRuntimeData* pData)
{
    return pData && pData->m_kBindAnims.GetSize() == EAnimMovement::NB_TYPE;
}

}  // namespace GaitPlugin
