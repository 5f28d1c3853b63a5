#include "Process/FrameProcessor.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "Process/Sampler.h"
#include "Scene/Link.h"
#include "Transition/TransitionEngine.h"

namespace TarnAnim {

void FrameProcessor::PreUpdate(Skeleton& kSkeleton, float fDeltaMs)
{
    m_fTickMs = fDeltaMs;
    const uint32 uiInstances = kSkeleton.GetAnimatedSkeletonSlotCount();
    if (m_kInstances.GetSize() != uiInstances)
        m_kInstances.Resize(uiInstances);
    for (SInstanceTick& kInstance : m_kInstances)
        kInstance = SInstanceTick();
    // Resized only when the control table changed size. The records are
    // filled per instance when it begins its tick (BeginInstance): a tick
    // reads each control's record where it reads the control itself.
    const uint32 uiSlots = kSkeleton.GetControlSlotCount();
    if (m_kProgress.GetSize() != uiSlots)
        m_kProgress.Resize(uiSlots);
}

bool FrameProcessor::BeginInstance(Skeleton& kSkeleton, uint32 uiInstance)
{
    const AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
    if (!pInstance || uiInstance >= m_kInstances.GetSize())
        return false;
    // Two actors may name one instance, and run on two threads: the first
    // to get here has it.
    if (std::atomic_ref<bool>(m_kInstances[uiInstance].bBegun).exchange(true, std::memory_order_relaxed))
        return false;
    const float fDeltaMs = m_fTickMs;
    for (uint32 uiId : pInstance->GetControlIds())
    {
        // A control made since the tick began has no record (and no time).
        if (uiId >= m_kProgress.GetSize())
            continue;
        SProgress& kProgress = m_kProgress[uiId];
        const AnimationControl* pControl = kSkeleton.GetControl(uiId);
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
    return true;
}

bool FrameProcessor::Step(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace)
{
    const AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
    if (!pInstance)
        return false;
    kSkeleton.CheckEvents(uiInstance);
    bool bTimeLeft = false;
    // Read by index: a control's step does not change the list, but its
    // length is read again all the same.
    const TarnRenderer::TArray<uint32>& kIds = pInstance->GetControlIds();
    for (uint32 i = 0; i < kIds.GetSize(); ++i)
        StepControl(kSkeleton, kIds[i], bTimeLeft);
    RootMotionPass(kSkeleton, uiInstance, kWorkspace);
    kSkeleton.CheckEvents(uiInstance);
    return bTimeLeft;
}

bool FrameProcessor::StepInstance(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace)
{
    if (!BeginInstance(kSkeleton, uiInstance))
        return false;
    bool bTimeLeft = true;
    while (bTimeLeft)
    {
        bTimeLeft = Step(kSkeleton, uiInstance, kWorkspace);
        PostStep(kSkeleton, uiInstance);
    }
    return true;
}

void FrameProcessor::StepControl(Skeleton& kSkeleton, uint32 uiControlId, bool& bTimeLeft)
{
    if (uiControlId >= m_kProgress.GetSize())
        return;
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

void FrameProcessor::RootMotionPass(Skeleton& kSkeleton, uint32 uiInstance, SWorkspace& kWorkspace)
{
    const uint32 uiMotionChannel = kSkeleton.GetAccumChannel(1);
    const uint32 uiChannels = kSkeleton.GetChannelCount();
    AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
    TransitionEngine* pEngine = pInstance ? pInstance->GetTransitionEngine() : nullptr;
    TarnRenderer::Link* pSceneObject = pEngine ? pEngine->GetSceneObject() : nullptr;
    if (!pSceneObject)
        return;
    TarnRenderer::TArray<AnimationControl*>& kWorkingSet = kWorkspace.kWorkingSet;
    TarnRenderer::TArray<Transform>& kBeforeSet = kWorkspace.kBefore;
    TarnRenderer::TArray<Transform>& kAfterSet = kWorkspace.kAfter;
    TarnRenderer::TArray<float>& kWeights = kWorkspace.kWeights;
    kWorkingSet.Empty();
    AnimHelper::CollectAccumulatingControls(&kSkeleton, uiInstance, kWorkingSet);
    SInstanceTick* pTick = uiInstance < m_kInstances.GetSize() ? &m_kInstances[uiInstance] : nullptr;
    if (pTick)
        pTick->fRootMotionStepMs = 0.0f;

    bool bMoved = false;
    if (!pInstance->GetAccumulation(1) || pEngine->HasRootTrack() || kWorkingSet.IsEmpty())
    {
        if (pEngine->HasRootTrack() && !pEngine->IsSuspended())
            bMoved = pEngine->ApplyRootMotion();
    }
    else if (uiMotionChannel < uiChannels)
    {
        // The motion channel of every control that stepped, sampled before
        // and after its step, blended by effective weight.
        kBeforeSet.Empty();
        kAfterSet.Empty();
        kWeights.Empty();
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
        for (AnimationControl* pControl : kWorkingSet)
        {
            const SProgress* pProgress = GetProgress(pControl->GetId());
            const Sequence* pSequence = kSkeleton.GetSequence(pControl->GetMocapIndex(), pControl->GetSequenceIndex());
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
                if (!Sampler::SampleChannel(*pSequence, uiChannels, uiMotionChannel, pControl->GetPosition(), kBefore))
                    continue;
                kAfter = kBefore;
            }
            kBeforeSet.Add(kBefore);
            kAfterSet.Add(kAfter);
            kWeights.Add(pControl->GetEffectiveWeight());
            bAnyStepped = bAnyStepped || bStepped;
            if (bStepped && pProgress->fStepMs > fStepMs)
                fStepMs = pProgress->fStepMs;
        }
        if (bAnyStepped && !kBeforeSet.IsEmpty())
        {
            if (pTick)
            {
                pTick->fRootMotionStepMs = std::max(0.0f, fPlayed - pTick->fPlayedMs);
                pTick->fPlayedMs = std::max(fPlayed, pTick->fPlayedMs);
            }
            const Transform kBefore = Sampler::Blend(kBeforeSet.GetData(), kWeights.GetData(), kBeforeSet.GetSize());
            const Transform kAfter = Sampler::Blend(kAfterSet.GetData(), kWeights.GetData(), kAfterSet.GetSize());
            const Math::Quaternion kInverse = kBefore.kRotation.Conjugate();
            Math::Quaternion kDeltaRotation = (kInverse * kAfter.kRotation).Normalized();
            Math::LocalVector3 kDeltaTranslation = kInverse.Rotate(kAfter.kTranslation - kBefore.kTranslation);

            TransitionEngine::SAccumulation kAccumulation;
            if (pEngine->GetAccumulation(kAccumulation) && kAccumulation.bHasModifier)
            {
                const float fSeconds = fStepMs / 1000.0f;
                kDeltaTranslation = Math::LocalVector3::Scale(kDeltaTranslation, Math::LocalVector3(1.0f, 1.0f, 1.0f) +
                                                                                     kAccumulation.kVector1) +
                                    kAccumulation.kVector2 * fSeconds;
                kDeltaRotation = (kDeltaRotation * Math::Quaternion::Nlerp(Math::Quaternion::Identity(),
                                                                           kAccumulation.kRotation, fSeconds))
                                     .Normalized();
            }

            const Math::Quaternion kSceneRotation = pSceneObject->GetWorldRotation();
            pSceneObject->SetWorldPosition(pSceneObject->GetWorldPosition() + kSceneRotation.Rotate(kDeltaTranslation));
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

void FrameProcessor::PostStep(Skeleton& kSkeleton, uint32 uiInstance)
{
    AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
    if (pInstance && pInstance->GetTransitionEngine())
        pInstance->GetTransitionEngine()->Update();
    if (m_pEndOfPassCallback)
        m_pEndOfPassCallback(&kSkeleton, uiInstance, m_pEndOfPassUserData);
}

float FrameProcessor::GetRootMotionStepMs(uint32 uiInstance) const
{
    return uiInstance < m_kInstances.GetSize() ? m_kInstances[uiInstance].fRootMotionStepMs : 0.0f;
}

}  // namespace TarnAnim
