#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataStatic/Mocap.h"

namespace TarnAnim {

class AnimationControl;
class Skeleton;

// Free functions over a skeleton that players and controllers share.
namespace AnimHelper {

// Plays a sequence on an instance: creates its control, fades out (and
// marks for removal) the active control of the same blend mode, and fades
// the new one in at weight 1 over fFadeMs. Null for a null skeleton.
AnimationControl* PlayAnim(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex,
                           float fFadeMs);
// The same by mocap and sequence names.
AnimationControl* PlayAnimFromName(Skeleton* pSkeleton, uint32 uiInstance, const char* pMocapName,
                                   const char* pSequenceName, float fFadeMs);
// The first control of the instance (creation order) that is fading or
// faded in and has that blend mode; null when none.
AnimationControl* FindActiveControl(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiBlendMode);
// Appends the instance's controls that are not frozen, weigh more than 0
// and have that blend mode.
void CollectControls(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiBlendMode,
                     TarnRenderer::TArray<AnimationControl*>& kOut);
// Appends the instance's controls that take part in root motion: not
// frozen, weighing more than 0, and flagged to accumulate or of blend mode 0.
void CollectAccumulatingControls(Skeleton* pSkeleton, uint32 uiInstance, TarnRenderer::TArray<AnimationControl*>& kOut);
// The motion channel (the second accumulation channel) of a sequence
// sampled at a fractional frame. False (kOut untouched) when the skeleton,
// sequence or channel is missing.
bool SampleRootTransform(const Skeleton* pSkeleton, uint32 uiMocapIndex, uint32 uiSequenceIndex, float fFrame,
                         Transform& kOut);

}  // namespace AnimHelper
}  // namespace TarnAnim
