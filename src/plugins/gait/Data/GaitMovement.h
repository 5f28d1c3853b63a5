#pragma once

#include "Core/Types.h"

// The movements and behaviours of the gait data, and their names in the
// gait document.
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

}  // namespace GaitPlugin
