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
// One per skeleton, owned by it. A tick is prepared once for the skeleton
// (PreUpdate) and then run instance by instance: each instance goes through
// all its passes before the next one starts, so that what one instance reads
// and writes stays in the cache for the whole of its tick. Within a tick
// every control advances one whole-frame boundary at a time (Step), so that
// events, frame transitions and root motion see every whole frame a control
// passes. Instances do not see each other's passes: an instance's result
// depends only on its own controls, whatever order the instances run in.
// Distinct instances may be stepped on distinct threads, each with a
// workspace of its own, as long as nothing else changes the skeleton's
// tables meanwhile (see Skeleton's control table). The work of a tick
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
    // user data). Both are working copies that the callback may change. It
    // runs on the thread that steps the instance: when instances are stepped
    // in parallel, on several threads at once, each for its own instance.
    using RootMotionCallback = void (*)(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                        Math::Quaternion& kRotation, void* pUserData);
    // Called after every pass of an instance, once its transition engine ran:
    // (skeleton, instance, user data). A skeleton with one is stepped on one
    // thread.
    using EndOfPassCallback = void (*)(Skeleton* pSkeleton, uint32 uiInstance, void* pUserData);

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

    // The scratch arrays of the root-motion pass: one per thread that steps
    // instances.
    struct SWorkspace
    {
        TarnRenderer::TArray<Transform> kBefore;
        TarnRenderer::TArray<Transform> kAfter;
        TarnRenderer::TArray<float> kWeights;
        TarnRenderer::TArray<AnimationControl*> kWorkingSet;
    };

    // Starts a tick of fDeltaMs for the skeleton: no instance has begun it.
    void PreUpdate(Skeleton& kSkeleton, float fDeltaMs);
    // The whole tick of one instance: BeginInstance, then passes of Step and
    // PostStep until none of its controls has time left. False (and nothing
    // done) for a missing instance or one that already had its tick.
    bool StepInstance(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace);
    // Gives the instance's controls the tick's time; false for a missing
    // instance or one that already began this tick.
    bool BeginInstance(Skeleton& kSkeleton, uint32 uiInstance);
    // Whether the instance began this tick; read it only where no thread
    // is stepping the skeleton.
    bool HasBegun(uint32 uiInstance) const
    {
        return uiInstance < m_kInstances.GetSize() && m_kInstances[uiInstance].bBegun;
    }
    // One pass of an instance: events, each of its controls up to its next
    // frame boundary, root motion, events. True while one of its controls
    // has time left.
    bool Step(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace);
    // Steps the instance's transition engine, then calls the end-of-pass
    // callback.
    void PostStep(Skeleton& kSkeleton, uint32 uiInstance);
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
    bool HasEndOfPassCallback() const { return m_pEndOfPassCallback != nullptr; }
    void SetEndOfPassCallback(EndOfPassCallback pCallback, void* pUserData)
    {
        m_pEndOfPassCallback = pCallback;
        m_pEndOfPassUserData = pUserData;
    }

    // While a root-motion callback runs for the instance: the milliseconds of
    // animation the pass it is called from covers: how far the instance's
    // furthest control went on in this pass. Over a tick, the passes of an
    // instance add up to the tick.
    float GetRootMotionStepMs(uint32 uiInstance) const;

    // Fetches the control's tick record into the cache ahead of its use.
    void PrefetchProgress(uint32 uiControlId) const
    {
        if (uiControlId < m_kProgress.GetSize())
            __builtin_prefetch(&m_kProgress[uiControlId]);
    }

    const SProgress* GetProgress(uint32 uiControlId) const
    {
        return uiControlId < m_kProgress.GetSize() ? &m_kProgress[uiControlId] : nullptr;
    }

private:
    void StepControl(Skeleton& kSkeleton, uint32 uiControlId, bool& bTimeLeft);
    void RootMotionPass(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace);

    // Per instance, for the current tick.
    struct SInstanceTick
    {
        float fPlayedMs = 0.0f;          // how much of the tick its controls played so far
        float fRootMotionStepMs = 0.0f;  // what its last root-motion pass covered
        bool bBegun = false;             // set through an atomic reference
    };

    TarnRenderer::TArray<SProgress> m_kProgress;  // per control id
    TarnRenderer::TArray<SInstanceTick> m_kInstances;
    float m_fTickMs = 0.0f;
    EndOfPassCallback m_pEndOfPassCallback = nullptr;
    void* m_pEndOfPassUserData = nullptr;
    RootMotionCallback m_pRootMotionCallback = nullptr;
    void* m_pRootMotionUserData = nullptr;
};

}  // namespace TarnAnim
