#include "Process/FrameProcessor.h"

#include <algorithm>
#include <cmath>

#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "Process/Sampler.h"
#include "Scene/Link.h"
#include "Transition/TransitionEngine.h"

namespace TarnAnim {

namespace {

// The passes over every instance of a skeleton read, per instance, objects
// that lie apart in memory (the instance, its transition engine, its list of
// controls, the controls): with thousands of instances each one would be a
// cache miss. They are fetched ahead in stages, the instance first, then what
// it points to, then its controls, so that each has arrived when the next
// stage or the pass itself reads it. Only fetches: nothing is changed.
constexpr uint32 kPrefetchInstance = 16;
constexpr uint32 kPrefetchInstanceData = 8;
constexpr uint32 kPrefetchInstanceControls = 4;
// The sweeps over the control table fetch the control this far ahead.
constexpr uint32 kPrefetchControl = 24;

inline void PrefetchControl(const AnimationControl* pControl)
{
    if (!pControl)
        return;
    __builtin_prefetch(pControl);
    __builtin_prefetch(reinterpret_cast<const char*>(pControl) + sizeof(AnimationControl) - 1);
}

inline void PrefetchAhead(const Skeleton& kSkeleton, uint32 uiInstance)
{
    if (const AnimatedSkeleton* pControls = kSkeleton.GetAnimatedSkeleton(uiInstance + kPrefetchInstanceControls))
        for (uint32 uiId : pControls->GetControlIds())
            PrefetchControl(kSkeleton.GetControl(uiId));
    if (const AnimatedSkeleton* pAhead = kSkeleton.GetAnimatedSkeleton(uiInstance + kPrefetchInstance))
        __builtin_prefetch(pAhead);
    if (const AnimatedSkeleton* pNear = kSkeleton.GetAnimatedSkeleton(uiInstance + kPrefetchInstanceData))
    {
        if (const TransitionEngine* pEngine = pNear->GetTransitionEngine())
        {
            __builtin_prefetch(pEngine);
            __builtin_prefetch(reinterpret_cast<const char*>(pEngine) + 64);
        }
        __builtin_prefetch(pNear->GetControlIds().GetData());
    }
}

}  // namespace

void FrameProcessor::PreUpdate(Skeleton& kSkeleton, float fDeltaMs)
{
    m_fTickMs = fDeltaMs;
    const uint32 uiInstances = kSkeleton.GetAnimatedSkeletonSlotCount();
    if (m_kPlayedMs.GetSize() != uiInstances)
        m_kPlayedMs.Resize(uiInstances);
    for (float& fPlayed : m_kPlayedMs)
        fPlayed = 0.0f;
    const uint32 uiSlots = kSkeleton.GetControlSlotCount();
    // Resized only when the control table changed size.
    if (m_kProgress.GetSize() != uiSlots)
        m_kProgress.Resize(uiSlots);
    for (uint32 i = 0; i < uiSlots; ++i)
    {
        PrefetchControl(kSkeleton.GetControl(i + kPrefetchControl));
        SProgress& kProgress = m_kProgress[i];
        const AnimationControl* pControl = kSkeleton.GetControl(i);
        if (!pControl)
        {
            kProgress = SProgress();
            continue;
        }
        // A rate that is not a number does not move; one beyond kMaxRate
        // (an infinity among them) is held to it.
        const float fRate = std::fabs(pControl->GetSpeed() * pControl->GetFramesPerMs());
        kProgress.fRate = fRate >= 0.0f ? (fRate < kMaxRate ? fRate : kMaxRate) : 0.0f;
        kProgress.fRemaining = fDeltaMs;
        kProgress.fMinStepMs = fDeltaMs / static_cast<float>(kMaxFrameStepsPerTick);
        kProgress.fBefore = kProgress.fAfter = pControl->GetPosition();
        kProgress.fStepMs = 0.0f;
        kProgress.bPending = true;
        kProgress.bInTick = true;
    }
}

bool FrameProcessor::Step(Skeleton& kSkeleton, uint32)
{
    kSkeleton.CheckEvents();
    bool bTimeLeft = false;
    // Controls created during the tick have no record (and no time) yet.
    const uint32 uiSlots = m_kProgress.GetSize();
    for (uint32 i = 0; i < uiSlots; ++i)
    {
        // Most controls are done after the first step of a tick: their
        // records are settled here, without fetching the control.
        SProgress& kProgress = m_kProgress[i];
        if (kProgress.fRemaining <= 0.0f)
        {
            kProgress.bPending = false;
            kProgress.fStepMs = 0.0f;
            continue;
        }
        PrefetchControl(kSkeleton.GetControl(i + kPrefetchControl));
        StepControl(kSkeleton, i, bTimeLeft);
    }
    RootMotionPass(kSkeleton);
    kSkeleton.CheckEvents();
    return bTimeLeft;
}

void FrameProcessor::StepControl(Skeleton& kSkeleton, uint32 uiControlId, bool& bTimeLeft)
{
    SProgress& kProgress = m_kProgress[uiControlId];
    if (kProgress.fRemaining <= 0.0f)
    {
        kProgress.bPending = false;
        kProgress.fStepMs = 0.0f;
        return;
    }
    // One frame per step, or more when a frame a step would make the tick
    // take more than kMaxFrameStepsPerTick steps.
    const float k = kProgress.fRate;
    float a = kProgress.fRemaining * k;
    float t = kProgress.fRemaining;
    const float fMaxAdvance = std::max(1.0f, k * kProgress.fMinStepMs);
    if (a > fMaxAdvance)
    {
        a = fMaxAdvance;
        t = fMaxAdvance / k;
    }

    AnimationControl* pControl = kSkeleton.GetControl(uiControlId);
    if (pControl && !pControl->IsFrozen())
    {
        float fBefore = pControl->GetPosition();
        const bool bBackwards = pControl->GetSpeed() < 0.0f;
        const float fLast = pControl->GetFrameCount() - 1.0f;
        // A looping control that ended its last step on an end restarts from
        // the other end, so the wrap never shows as a jump in root motion.
        if (pControl->IsLooping())
        {
            if (bBackwards && fBefore <= 0.0f)
            {
                fBefore = fLast;
                pControl->SetFrame(fLast);
            }
            else if (!bBackwards && fBefore >= fLast)
            {
                fBefore = 0.0f;
                pControl->SetFrame(0.0f);
            }
        }
        const float fTarget = bBackwards ? fBefore - a : fBefore + a;
        const bool bBoundary = std::floor(fBefore) != std::floor(fTarget) || fTarget < 0.0f;
        bool bLanding = false;
        float fLanding = 0.0f;
        // A step of several frames (a control too fast for one frame per
        // step) advances as a whole; a step of one frame stops on the
        // boundary it crosses.
        if (bBoundary && k > 0.0f && a <= 1.0f)
        {
            if (!bBackwards)
            {
                fLanding = std::floor(fTarget);
                t = (fLanding - fBefore) / k;
                bLanding = true;
            }
            else
            {
                const float fFraction = fBefore - std::floor(fBefore);
                if (fFraction > 0.0f)
                {
                    fLanding = std::floor(fBefore);
                    t = fFraction / k;
                    bLanding = true;
                }
            }
        }
        pControl->Update(t);
        if (bLanding)
            pControl->SetFrame(fLanding);
        kProgress.fBefore = fBefore;
        kProgress.fAfter = pControl->GetPosition();
    }
    kProgress.fStepMs = t;
    kProgress.fRemaining -= t;
    if (kProgress.fRemaining > 0.0f)
        bTimeLeft = true;
}

void FrameProcessor::RootMotionPass(Skeleton& kSkeleton)
{
    const uint32 uiMotionChannel = kSkeleton.GetAccumChannel(1);
    const uint32 uiChannels = kSkeleton.GetChannelCount();
    for (uint32 uiInstance = 0; uiInstance < kSkeleton.GetAnimatedSkeletonSlotCount(); ++uiInstance)
    {
        PrefetchAhead(kSkeleton, uiInstance);
        AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
        TransitionEngine* pEngine = pInstance ? pInstance->GetTransitionEngine() : nullptr;
        TarnRenderer::Link* pSceneObject = pEngine ? pEngine->GetSceneObject() : nullptr;
        if (!pSceneObject)
            continue;
        m_kWorkingSet.Empty();
        AnimHelper::CollectAccumulatingControls(&kSkeleton, uiInstance, m_kWorkingSet);
        m_fRootMotionStepMs = 0.0f;

        bool bMoved = false;
        if (!pInstance->GetAccumulation(1) || pEngine->HasRootTrack() || m_kWorkingSet.IsEmpty())
        {
            if (pEngine->HasRootTrack() && !pEngine->IsSuspended())
                bMoved = pEngine->ApplyRootMotion();
        }
        else if (uiMotionChannel < uiChannels)
        {
            // The motion channel of every control that stepped, sampled before
            // and after its step, blended by effective weight.
            m_kBefore.Empty();
            m_kAfter.Empty();
            m_kWeights.Empty();
            // The controls that stepped in this pass move the root by their
            // weight among all the instance's accumulating controls: one that
            // has no time left in the tick (its steps ended earlier) still
            // counts, standing still. Weighting among the stepping controls
            // alone would give a control that steps alone the whole weight
            // for that pass, and the root would speed up and slow down
            // through every cross-fade whose controls' frame boundaries
            // differ.
            float fStepMs = 0.0f;
            float fPlayed = 0.0f;
            bool bAnyStepped = false;
            for (AnimationControl* pControl : m_kWorkingSet)
            {
                const SProgress* pProgress = GetProgress(pControl->GetId());
                const Sequence* pSequence =
                    kSkeleton.GetSequence(pControl->GetMocapIndex(), pControl->GetSequenceIndex());
                // A control created in this tick waits for the next one.
                if (!pProgress || !pProgress->bInTick || !pSequence)
                    continue;
                const bool bStepped = pProgress->bPending;
                fPlayed = std::max(fPlayed, m_fTickMs - std::max(0.0f, pProgress->fRemaining));
                Transform kBefore;
                Transform kAfter;
                if (bStepped)
                {
                    if (!Sampler::SampleChannel(*pSequence, uiChannels, uiMotionChannel, pProgress->fBefore, kBefore) ||
                        !Sampler::SampleChannel(*pSequence, uiChannels, uiMotionChannel, pProgress->fAfter, kAfter))
                        continue;
                }
                else
                {
                    // Standing still: one sample is both ends.
                    if (!Sampler::SampleChannel(*pSequence, uiChannels, uiMotionChannel, pControl->GetPosition(),
                                                kBefore))
                        continue;
                    kAfter = kBefore;
                }
                m_kBefore.Add(kBefore);
                m_kAfter.Add(kAfter);
                m_kWeights.Add(pControl->GetEffectiveWeight());
                bAnyStepped = bAnyStepped || bStepped;
                if (bStepped && pProgress->fStepMs > fStepMs)
                    fStepMs = pProgress->fStepMs;
            }
            if (bAnyStepped && !m_kBefore.IsEmpty())
            {
                if (uiInstance < m_kPlayedMs.GetSize())
                {
                    m_fRootMotionStepMs = std::max(0.0f, fPlayed - m_kPlayedMs[uiInstance]);
                    m_kPlayedMs[uiInstance] = std::max(fPlayed, m_kPlayedMs[uiInstance]);
                }
                const Transform kBefore =
                    Sampler::Blend(m_kBefore.GetData(), m_kWeights.GetData(), m_kBefore.GetSize());
                const Transform kAfter = Sampler::Blend(m_kAfter.GetData(), m_kWeights.GetData(), m_kAfter.GetSize());
                const Math::Quaternion kInverse = kBefore.kRotation.Conjugate();
                Math::Quaternion kDeltaRotation = (kInverse * kAfter.kRotation).Normalized();
                Math::LocalVector3 kDeltaTranslation = kInverse.Rotate(kAfter.kTranslation - kBefore.kTranslation);

                TransitionEngine::SAccumulation kAccumulation;
                if (pEngine->GetAccumulation(kAccumulation) && kAccumulation.bHasModifier)
                {
                    const float fSeconds = fStepMs / 1000.0f;
                    kDeltaTranslation =
                        Math::LocalVector3::Scale(kDeltaTranslation,
                                                  Math::LocalVector3(1.0f, 1.0f, 1.0f) + kAccumulation.kVector1) +
                        kAccumulation.kVector2 * fSeconds;
                    kDeltaRotation = (kDeltaRotation * Math::Quaternion::Nlerp(Math::Quaternion::Identity(),
                                                                               kAccumulation.kRotation, fSeconds))
                                         .Normalized();
                }

                const Math::Quaternion kSceneRotation = pSceneObject->GetWorldRotation();
                pSceneObject->SetWorldPosition(pSceneObject->GetWorldPosition() +
                                               kSceneRotation.Rotate(kDeltaTranslation));
                pSceneObject->SetWorldRotation((kSceneRotation * kDeltaRotation).Normalized());
                bMoved = true;
            }
        }

        if (bMoved && m_pRootMotionCallback)
        {
            Math::LocalVector3 kPosition = pSceneObject->GetWorldPosition();
            Math::Quaternion kRotation = pSceneObject->GetWorldRotation();
            m_pRootMotionCallback(pSceneObject, kPosition, kRotation, m_pRootMotionUserData);
        }
    }
}

void FrameProcessor::PostStep(Skeleton& kSkeleton)
{
    for (uint32 uiInstance = 0; uiInstance < kSkeleton.GetAnimatedSkeletonSlotCount(); ++uiInstance)
    {
        PrefetchAhead(kSkeleton, uiInstance);
        AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
        if (pInstance && pInstance->GetTransitionEngine())
            pInstance->GetTransitionEngine()->Update();
    }
    if (m_pEndOfPassCallback)
        m_pEndOfPassCallback(&kSkeleton, m_pEndOfPassUserData);
}

}  // namespace TarnAnim
