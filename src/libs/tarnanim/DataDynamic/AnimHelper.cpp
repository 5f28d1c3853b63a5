#include "DataDynamic/AnimHelper.h"

#include "DataDynamic/Skeleton.h"
#include "Process/Sampler.h"
#include "Utils/assertion.h"

namespace TarnAnim::AnimHelper {

AnimationControl* PlayAnim(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiMocapIndex, uint32 uiSequenceIndex,
                           float fFadeMs)
{
    if (!pSkeleton)
    {
        TARN_ASSERT(false, "No Skeleton");
        return nullptr;
    }
    AnimationControl* pControl = pSkeleton->CreateAnimatedControl(uiInstance, uiMocapIndex, uiSequenceIndex);
    if (!pControl)
        return nullptr;
    if (AnimationControl* pActive = FindActiveControl(pSkeleton, uiInstance, pControl->GetBlendMode()))
    {
        pActive->FadeOut(fFadeMs);
        pActive->SetFlag(AnimationControl::kFlagRemoveWhenFadedOut, true);
    }
    pControl->SetWeight(1.0f);
    pControl->FadeIn(fFadeMs);
    return pControl;
}

AnimationControl* PlayAnimFromName(Skeleton* pSkeleton, uint32 uiInstance, const char* pMocapName,
                                   const char* pSequenceName, float fFadeMs)
{
    if (!pSkeleton)
    {
        TARN_ASSERT(false, "No Skeleton");
        return nullptr;
    }
    const int32 iMocap = pSkeleton->FindMocap(pMocapName);
    if (iMocap < 0)
    {
        TARN_ASSERT(false, "Couldnt find mocap");
        return nullptr;
    }
    const int32 idSequence = pSkeleton->GetMocap(static_cast<uint32>(iMocap))->FindSequence(pSequenceName);
    if (!TARN_ASSERT(idSequence != -1, "Couldnt find sequence"))
        return nullptr;
    return PlayAnim(pSkeleton, uiInstance, static_cast<uint32>(iMocap), static_cast<uint32>(idSequence), fFadeMs);
}

AnimationControl* FindActiveControl(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiBlendMode)
{
    const AnimatedSkeleton* pInstance = pSkeleton ? pSkeleton->GetAnimatedSkeleton(uiInstance) : nullptr;
    if (!pInstance)
        return nullptr;
    for (uint32 uiId : pInstance->GetControlIds())
    {
        AnimationControl* pControl = pSkeleton->GetControl(uiId);
        if (pControl && pControl->GetFadeDirection() > 0 && pControl->GetBlendMode() == uiBlendMode)
            return pControl;
    }
    return nullptr;
}

namespace {

template <class Filter>
void Collect(Skeleton* pSkeleton, uint32 uiInstance, TarnRenderer::TArray<AnimationControl*>& kOut, Filter kFilter)
{
    const AnimatedSkeleton* pInstance = pSkeleton ? pSkeleton->GetAnimatedSkeleton(uiInstance) : nullptr;
    if (!pInstance)
        return;
    for (uint32 uiId : pInstance->GetControlIds())
    {
        AnimationControl* pControl = pSkeleton->GetControl(uiId);
        if (pControl && !pControl->IsFrozen() && pControl->GetEffectiveWeight() > 0.0f && kFilter(*pControl))
            kOut.Add(pControl);
    }
}

}  // namespace

void CollectControls(Skeleton* pSkeleton, uint32 uiInstance, uint32 uiBlendMode,
                     TarnRenderer::TArray<AnimationControl*>& kOut)
{
    Collect(pSkeleton, uiInstance, kOut,
            [uiBlendMode](const AnimationControl& kControl) { return kControl.GetBlendMode() == uiBlendMode; });
}

void CollectAccumulatingControls(Skeleton* pSkeleton, uint32 uiInstance, TarnRenderer::TArray<AnimationControl*>& kOut)
{
    Collect(pSkeleton, uiInstance, kOut, [](const AnimationControl& kControl) {
        return kControl.GetFlag(AnimationControl::kFlagAccumulate) || kControl.GetBlendMode() == 0;
    });
}

bool SampleRootTransform(const Skeleton* pSkeleton, uint32 uiMocapIndex, uint32 uiSequenceIndex, float fFrame,
                         Transform& kOut)
{
    if (!pSkeleton)
        return false;
    const Sequence* pSequence = pSkeleton->GetSequence(uiMocapIndex, uiSequenceIndex);
    const uint32 uiChannel = pSkeleton->GetAccumChannel(1);
    if (!pSequence || uiChannel >= pSkeleton->GetChannelCount())
        return false;
    return Sampler::SampleChannel(*pSequence, pSkeleton->GetChannelCount(), uiChannel, fFrame, kOut);
}

}  // namespace TarnAnim::AnimHelper
