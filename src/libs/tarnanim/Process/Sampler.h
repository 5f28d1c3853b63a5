#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataStatic/Mocap.h"

namespace TarnAnim {

class Skeleton;

// Sampling of poses from motion data.
//
// A sequence is sampled at a fractional frame f (clamped to
// [0, frame count - 1]) between its keys floor(f) and floor(f) + 1 (the
// last key holds): translations linearly, rotations by normalised lerp
// (interpolation 0) or slerp (1), both along the shorter arc. Interpolation
// 2 is refused with a report. An instance's pose blends its controls by
// effective weight in two groups (see SampleInstancePose).
class Sampler
{
public:
    static constexpr uint32 MaxChannels = 256;

    // One channel of a sequence with uiChannelCount channels.
    static bool SampleChannel(const Sequence& kSequence, uint32 uiChannelCount, uint32 uiChannel, float fFrame,
                              Transform& kOut);
    // Every channel into pOut (uiChannelCount entries). False after a report
    // for interpolation 2 or more than MaxChannels channels.
    static bool SampleSequence(const Sequence& kSequence, uint32 uiChannelCount, float fFrame, Transform* pOut);
    // Weighted blend of transforms: translations by weighted average,
    // rotations by weighted sum aligned to the first one's hemisphere, then
    // normalised. Weights are normalised by their sum; a zero sum gives the
    // identity.
    static Transform Blend(const Transform* pTransforms, const float* pWeights, uint32 uiCount);
    // The pose of an instance: the controls of blend mode 0 (not frozen,
    // effective weight > 0) blended by normalised effective weight; then the
    // controls of blend mode 1, blended the same way among themselves, laid
    // over it with their summed weight (capped at 1). Channels without any
    // control keep the identity. False when the instance does not exist or
    // sampling failed.
    static bool SampleInstancePose(const Skeleton& kSkeleton, uint32 uiInstance,
                                   TarnRenderer::TArray<Transform>& kPose);
};

}  // namespace TarnAnim
