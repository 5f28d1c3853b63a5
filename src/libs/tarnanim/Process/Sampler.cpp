#include "Process/Sampler.h"

#include <cmath>

#include "DataDynamic/AnimatedSkeleton.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "Utils/assertion.h"

namespace TarnAnim {

namespace {

// Whether a sequence can be sampled with uiChannelCount channels: a known,
// supported interpolation and a key for every frame and channel.
bool CheckSequence(const Sequence& kSequence, uint32 uiChannelCount)
{
    if (kSequence.m_uiInterpolation == kInterpolationHigh)
        return TARN_ASSERT(false, "High Interpolation is not yet supported");
    if (!TARN_ASSERT(kSequence.m_uiInterpolation < kInterpolationHigh, "Unknown interpolation %u in sequence %s",
                     kSequence.m_uiInterpolation, kSequence.m_kName.Get()))
        return false;
    const uint64 ui64Needed = (static_cast<uint64>(kSequence.m_uiLastFrame) - kSequence.m_uiFirstFrame + 1) *
                              static_cast<uint64>(uiChannelCount);
    return TARN_ASSERT(kSequence.m_uiLastFrame >= kSequence.m_uiFirstFrame && kSequence.m_kKeys.GetSize() >= ui64Needed,
                       "Sequence %s holds %u keys, %llu needed", kSequence.m_kName.Get(), kSequence.m_kKeys.GetSize(),
                       static_cast<unsigned long long>(ui64Needed));
}

bool CheckChannelCount(uint32 uiChannelCount)
{
    // The assertion names the sampler's own bound check: the last channel
    // (iEnd) must lie below the maximum (N).
    return TARN_ASSERT_TEXT(uiChannelCount <= Sampler::MaxChannels, "iEnd < N", "Too many channels : %d (MAX, %d) \n",
                            static_cast<int>(uiChannelCount), static_cast<int>(Sampler::MaxChannels));
}

// The two keys around a fractional frame and the position between them.
struct SKeyPair
{
    uint32 uiFrame0 = 0;
    uint32 uiFrame1 = 0;
    float fFraction = 0.0f;
};

SKeyPair FindKeys(const Sequence& kSequence, float fFrame)
{
    SKeyPair kPair;
    const uint32 uiLast = kSequence.m_uiLastFrame - kSequence.m_uiFirstFrame;
    // Before the start (or not a number at all): the first key.
    if (!(fFrame > 0.0f))
        return kPair;
    if (fFrame >= static_cast<float>(uiLast))
    {
        kPair.uiFrame0 = kPair.uiFrame1 = uiLast;
        return kPair;
    }
    kPair.uiFrame0 = static_cast<uint32>(fFrame);
    kPair.uiFrame1 = kPair.uiFrame0 + 1;
    kPair.fFraction = fFrame - static_cast<float>(kPair.uiFrame0);
    return kPair;
}

// One channel between two keys of a sequence that passed CheckSequence.
Transform Interpolate(const Sequence& kSequence, uint32 uiChannelCount, uint32 uiChannel, const SKeyPair& kPair)
{
    const Transform& kKey0 = kSequence.m_kKeys[kPair.uiFrame0 * uiChannelCount + uiChannel];
    if (kPair.fFraction == 0.0f)
        return kKey0;
    const Transform& kKey1 = kSequence.m_kKeys[kPair.uiFrame1 * uiChannelCount + uiChannel];
    Transform kOut;
    kOut.kRotation = kSequence.m_uiInterpolation == kInterpolationSpherical
                         ? Math::Quaternion::Slerp(kKey0.kRotation, kKey1.kRotation, kPair.fFraction)
                         : Math::Quaternion::Nlerp(kKey0.kRotation, kKey1.kRotation, kPair.fFraction);
    kOut.kTranslation = Math::LocalVector3::Lerp(kKey0.kTranslation, kKey1.kTranslation, kPair.fFraction);
    return kOut;
}

bool IsUsableWeight(float fWeight)
{
    return fWeight > 0.0f && std::isfinite(fWeight);
}

// Adds fWeight x kRotation to kSum, on kReference's side of the sphere.
void AddAligned(Math::Quaternion& kSum, const Math::Quaternion& kRotation, const Math::Quaternion& kReference,
                float fWeight)
{
    const float fSigned = Math::Quaternion::Dot(kRotation, kReference) < 0.0f ? -fWeight : fWeight;
    kSum.x += kRotation.x * fSigned;
    kSum.y += kRotation.y * fSigned;
    kSum.z += kRotation.z * fSigned;
    kSum.w += kRotation.w * fSigned;
}

// Weighted sums of one blend-mode group of an instance's controls, channel
// by channel.
struct SGroupSums
{
    Math::LocalVector3 akTranslation[Sampler::MaxChannels];
    Math::Quaternion akRotation[Sampler::MaxChannels];
    Math::Quaternion akReference[Sampler::MaxChannels];  // the group's first sample
    float fWeight = 0.0f;

    Transform Resolve(uint32 uiChannel) const
    {
        Transform kOut;
        kOut.kRotation = akRotation[uiChannel].Normalized();
        kOut.kTranslation = akTranslation[uiChannel] * (1.0f / fWeight);
        return kOut;
    }
};

// Samples every control of the instance with that blend mode (not frozen,
// usable effective weight) into kSums. False when a sequence cannot be
// sampled (reported).
bool SumGroup(const Skeleton& kSkeleton, const AnimatedSkeleton& kInstance, uint32 uiBlendMode, uint32 uiChannelCount,
              Transform* pSample, SGroupSums& kSums)
{
    kSums.fWeight = 0.0f;
    for (const uint32 uiControlId : kInstance.GetControlIds())
    {
        const AnimationControl* pControl = kSkeleton.GetControl(uiControlId);
        if (!pControl || pControl->IsFrozen() || pControl->GetBlendMode() != uiBlendMode)
            continue;
        const float fWeight = pControl->GetEffectiveWeight();
        if (!IsUsableWeight(fWeight))
            continue;
        const Sequence* pSequence = kSkeleton.GetSequence(pControl->GetMocapIndex(), pControl->GetSequenceIndex());
        if (!pSequence)
            continue;
        if (!Sampler::SampleSequence(*pSequence, uiChannelCount, pControl->GetPosition(), pSample))
            return false;

        const bool bFirst = kSums.fWeight == 0.0f;
        for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
        {
            const Transform& kSample = pSample[uiChannel];
            if (bFirst)
            {
                kSums.akReference[uiChannel] = kSample.kRotation;
                kSums.akRotation[uiChannel] = Math::Quaternion(0.0f, 0.0f, 0.0f, 0.0f);
                kSums.akTranslation[uiChannel] = Math::LocalVector3();
            }
            AddAligned(kSums.akRotation[uiChannel], kSample.kRotation, kSums.akReference[uiChannel], fWeight);
            kSums.akTranslation[uiChannel] += kSample.kTranslation * fWeight;
        }
        kSums.fWeight += fWeight;
    }
    return true;
}

}  // namespace

bool Sampler::SampleChannel(const Sequence& kSequence, uint32 uiChannelCount, uint32 uiChannel, float fFrame,
                            Transform& kOut)
{
    if (!TARN_ASSERT(uiChannel < uiChannelCount, "Channel %u out of range (%u channels)", uiChannel, uiChannelCount))
        return false;
    if (!CheckSequence(kSequence, uiChannelCount))
        return false;
    kOut = Interpolate(kSequence, uiChannelCount, uiChannel, FindKeys(kSequence, fFrame));
    return true;
}

bool Sampler::SampleSequence(const Sequence& kSequence, uint32 uiChannelCount, float fFrame, Transform* pOut)
{
    if (!CheckChannelCount(uiChannelCount))
        return false;
    if (!TARN_ASSERT(pOut || uiChannelCount == 0, "No output for %u channels", uiChannelCount))
        return false;
    if (!CheckSequence(kSequence, uiChannelCount))
        return false;
    const SKeyPair kPair = FindKeys(kSequence, fFrame);
    for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
        pOut[uiChannel] = Interpolate(kSequence, uiChannelCount, uiChannel, kPair);
    return true;
}

Transform Sampler::Blend(const Transform* pTransforms, const float* pWeights, uint32 uiCount)
{
    Transform kOut;
    if (!pTransforms || !pWeights)
        return kOut;
    float fSum = 0.0f;
    uint32 uiFirst = kInvalidIndex;
    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        if (!IsUsableWeight(pWeights[uiIdx]))
            continue;
        fSum += pWeights[uiIdx];
        if (uiFirst == kInvalidIndex)
            uiFirst = uiIdx;
    }
    if (!IsUsableWeight(fSum))
        return kOut;

    const Math::Quaternion kReference = pTransforms[uiFirst].kRotation;
    Math::Quaternion kRotation(0.0f, 0.0f, 0.0f, 0.0f);
    Math::LocalVector3 kTranslation;
    for (uint32 uiIdx = uiFirst; uiIdx < uiCount; ++uiIdx)
    {
        if (!IsUsableWeight(pWeights[uiIdx]))
            continue;
        const float fWeight = pWeights[uiIdx] / fSum;
        AddAligned(kRotation, pTransforms[uiIdx].kRotation, kReference, fWeight);
        kTranslation += pTransforms[uiIdx].kTranslation * fWeight;
    }
    kOut.kRotation = kRotation.Normalized();
    kOut.kTranslation = kTranslation;
    return kOut;
}

bool Sampler::SampleInstancePose(const Skeleton& kSkeleton, uint32 uiInstance, TarnRenderer::TArray<Transform>& kPose)
{
    const AnimatedSkeleton* pInstance = kSkeleton.GetAnimatedSkeleton(uiInstance);
    if (!pInstance)
        return false;
    const uint32 uiChannelCount = kSkeleton.GetChannelCount();
    if (!CheckChannelCount(uiChannelCount))
        return false;
    if (kPose.GetSize() != uiChannelCount)
    {
        kPose.Resize(uiChannelCount);
        if (kPose.GetSize() != uiChannelCount)
            return false;
    }
    for (Transform& kChannel : kPose)
        kChannel = Transform();

    Transform akSample[MaxChannels];
    SGroupSums kSums;

    // The base pose: blend mode 0, weights normalised among themselves.
    if (!SumGroup(kSkeleton, *pInstance, 0, uiChannelCount, akSample, kSums))
        return false;
    if (kSums.fWeight > 0.0f)
    {
        for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
            kPose[uiChannel] = kSums.Resolve(uiChannel);
    }

    // The layer: blend mode 1, blended the same way, then laid over the base
    // by its summed weight.
    if (!SumGroup(kSkeleton, *pInstance, 1, uiChannelCount, akSample, kSums))
        return false;
    if (kSums.fWeight > 0.0f)
    {
        const float fLayer = kSums.fWeight < 1.0f ? kSums.fWeight : 1.0f;
        for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
        {
            const Transform kLayer = kSums.Resolve(uiChannel);
            Transform& kChannel = kPose[uiChannel];
            kChannel.kRotation = Math::Quaternion::Nlerp(kChannel.kRotation, kLayer.kRotation, fLayer);
            kChannel.kTranslation = Math::LocalVector3::Lerp(kChannel.kTranslation, kLayer.kTranslation, fLayer);
        }
    }
    return true;
}

}  // namespace TarnAnim
