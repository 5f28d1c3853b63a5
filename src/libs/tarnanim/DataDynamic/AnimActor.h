#pragma once

#include "Core/Types.h"

namespace TarnAnim {
class Skeleton;
}

namespace TarnRenderer {

class Link;

// The animation of one placed character: its skeleton and instance, an
// optional extra skeleton and instance (cutscene tracks), and its link.
class AnimActor
{
public:
    TarnAnim::Skeleton* pSkeleton = nullptr;
    uint32 iAnimatedSkeletonIdx = kInvalidIndex;
    TarnAnim::Skeleton* pExtraSkeleton = nullptr;
    uint32 uiExtraInstanceIdx = kInvalidIndex;
    Link* pLink = nullptr;
    uint32 uiStorage = kInvalidIndex;
    uint32 uiId = kInvalidIndex;
};

}  // namespace TarnRenderer
