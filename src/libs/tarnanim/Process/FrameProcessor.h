#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataStatic/Mocap.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnRenderer {
class Link;
}

namespace TarnAnim {

class AnimationControl;
class Skeleton;

// Steps a skeleton's controls frame by frame within a tick, and moves scene
// objects by root motion.
//
// One per skeleton, owned by it. Within a tick every control advances one
// whole-frame boundary at a time (Step), so that events, frame transitions
// and root motion see every whole frame a control passes. The work of a tick
// is bounded whatever the rates: a control that would pass more than
// kMaxFrameStepsPerTick frames in one tick advances by several frames per
// step instead, so that no speed, frame rate or tick length reaching the
// runtime can hold the engine. Root motion (see docs/formats.md, "Root motion"): the displacement
// of a step leads from the blended root before it to the blended root after
// it, expressed in the root's own frame; it is applied to the instance's
// scene object as position += rotation.Rotate(translation) and rotation =
// normalise(rotation (x) displacement rotation).
class FrameProcessor
{
public:
    // Called for each instance whose root moved in a pass, after its scene
    // object was moved: (scene object, its new position, its new rotation,
    // user data). Both are working copies that the callback may change.
    using RootMotionCallback = void (*)(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                        Math::Quaternion& kRotation, void* pUserData);
    // Called after every frame step, once the transition engines ran.
    using EndOfPassCallback = void (*)(Skeleton* pSkeleton, void* pUserData);

    // Most whole-frame steps one control takes within a tick.
    static constexpr uint32 kMaxFrameStepsPerTick = 64;
    // The fastest rate a control is stepped at, in frames per millisecond.
    static constexpr float kMaxRate = 1000.0f;

    struct SProgress
    {
        float fRate = 0.0f;       // |speed x frames per ms| at the tick's start
        float fRemaining = 0.0f;  // ms left in this tick
        float fMinStepMs = 0.0f;  // shortest full step (tick / kMaxFrameStepsPerTick)
        float fBefore = 0.0f;     // position before the last step
        float fAfter = 0.0f;      // position after the last step
        float fStepMs = 0.0f;     // time the last step took
        bool bPending = false;
        bool bInTick = false;  // the control existed when the tick began
    };

    // Starts a tick of fDeltaMs for every existing control.
    void PreUpdate(Skeleton& kSkeleton, float fDeltaMs);
    // One step: events, every control up to its next frame boundary, root
    // motion, events. True while some control has time left.
    bool Step(Skeleton& kSkeleton, uint32 uiInstance);
    // Steps the transition engines of the skeleton's instances, then calls
    // the end-of-pass callback.
    void PostStep(Skeleton& kSkeleton);
    // A removed control's slot has no time left in this tick: a control
    // created later in the same slot waits for the next tick.
    void ForgetControl(uint32 uiControlId)
    {
        if (uiControlId < m_kProgress.GetSize())
            m_kProgress[uiControlId] = SProgress();
    }

    void SetAccumulationCallback(RootMotionCallback pCallback, void* pUserData)
    {
        m_pRootMotionCallback = pCallback;
        m_pRootMotionUserData = pUserData;
    }
    RootMotionCallback GetAccumulationCallback() const { return m_pRootMotionCallback; }
    void* GetAccumulationUserData() const { return m_pRootMotionUserData; }
    void SetEndOfPassCallback(EndOfPassCallback pCallback, void* pUserData)
    {
        m_pEndOfPassCallback = pCallback;
        m_pEndOfPassUserData = pUserData;
    }

    // While a root-motion callback runs: the milliseconds of animation the
    // pass it is called from covers: how far the instance's furthest
    // control went on in this pass. Over a tick, the passes of an instance
    // add up to the tick.
    float GetRootMotionStepMs() const { return m_fRootMotionStepMs; }

    const SProgress* GetProgress(uint32 uiControlId) const
    {
        return uiControlId < m_kProgress.GetSize() ? &m_kProgress[uiControlId] : nullptr;
    }

private:
    void StepControl(Skeleton& kSkeleton, uint32 uiControlId, bool& bTimeLeft);
    void RootMotionPass(Skeleton& kSkeleton);

    TarnRenderer::TArray<SProgress> m_kProgress;
    TarnRenderer::TArray<Transform> m_kBefore;  // working data of the root-motion pass
    TarnRenderer::TArray<Transform> m_kAfter;
    TarnRenderer::TArray<float> m_kWeights;
    TarnRenderer::TArray<uint32> m_kScratch;
    TarnRenderer::TArray<AnimationControl*> m_kWorkingSet;
    // Per instance: how much of the tick its controls have played so far.
    TarnRenderer::TArray<float> m_kPlayedMs;
    float m_fTickMs = 0.0f;
    EndOfPassCallback m_pEndOfPassCallback = nullptr;
    void* m_pEndOfPassUserData = nullptr;
    RootMotionCallback m_pRootMotionCallback = nullptr;
    void* m_pRootMotionUserData = nullptr;
    float m_fRootMotionStepMs = 0.0f;
};

}  // namespace TarnAnim
