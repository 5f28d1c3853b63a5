#include "Transition/TransitionEngine.h"

#include <cmath>

#include "DataDynamic/AnimActor.h"
#include "DataDynamic/AnimatedSkeleton.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "Process/Sampler.h"
#include "Scene/Link.h"
#include "Utils/assertion.h"

namespace TarnAnim {

namespace {

// Time that command 11 advances a control by: one frame at 30 frames per second.
constexpr float kStepFrameMs = 33.333336f;
// Time that command 8 advances a control by, so that its pose is sampled
// just past the frame it was moved to.
constexpr float kMoveToSettleMs = 0.1f;
// The frame-transition table never grows beyond this many global frames
// (more than nine hours at 30 frames per second): a description reaching
// further is cut there, so that a corrupt frame range cannot make the engine
// allocate gigabytes.
constexpr uint64 kMaxTableFrames = 1u << 20;
// Largest target frame a FrameTransition can hold (0xFFFF means none).
constexpr uint32 kMaxTargetFrame = 0xFFFEu;
// Largest fade length a FrameTransition can hold, in ms.
constexpr float kMaxFadeLengthMs = 65535.0f;

// Name under which load reports mention the model: the first mocap of the
// skeleton, since the engine does not know its prefab.
const char* ModelName(const Skeleton* pSkeleton)
{
    if (pSkeleton)
        for (uint32 i = 0; i < pSkeleton->GetMocapSlotCount(); ++i)
            if (const Mocap* pMocap = pSkeleton->GetMocap(i))
                return pMocap->m_kName.Get();
    return "?";
}

// A float frame or length as a whole, non-negative count (the integer part;
// negative and NaN give 0, huge values the largest count).
uint32 WholeCount(float fValue)
{
    if (!(fValue > 0.0f))
        return 0;
    if (fValue >= 4294967040.0f)
        return kInvalidIndex - 1;
    return static_cast<uint32>(fValue);
}

void ResetProgress(AnimationTuneProgress& kTune)
{
    kTune.m_uiLoopCount = 0;
    kTune.m_uiCurrentFrame = 0;
    kTune.m_uiPreviousFrame = 0;
    kTune.m_bActive = true;
    kTune.m_uiFurtherIndex = kInvalidIndex;
}

// Commands shared by every kind of tune. True when the command was handled.
bool RunSharedCommand(AnimationTuneBase& kTune, AnimationControl& kControl, uint32 uiCommand, float fArgument)
{
    switch (uiCommand)
    {
        case TransitionEngine::kCmdFrameZero:
            kControl.SetFrame(0.0f);
            return true;
        case TransitionEngine::kCmdPlay:
            kControl.SetFrozen(false);
            return true;
        case TransitionEngine::kCmdPause:
            kControl.SetFrozen(true);
            return true;
        case TransitionEngine::kCmdNothing:
            return true;
        case TransitionEngine::kCmdSetFrame:
            kControl.SetFrame(fArgument);
            return true;
        case TransitionEngine::kCmdStepFrame:
            kControl.Update(kStepFrameMs);
            return true;
        case TransitionEngine::kCmdSetSpeed:
            kControl.SetSpeed(fArgument);
            return true;
        case TransitionEngine::kCmdStoreSpeed:
            kTune.m_fStoredSpeed = kControl.GetSpeed();
            return true;
        case TransitionEngine::kCmdRestoreSpeed:
            kControl.SetSpeed(kTune.m_fStoredSpeed);
            return true;
        default:
            return false;
    }
}

}  // namespace

TransitionEngine::~TransitionEngine()
{
    if (!IsEmpty())
        Reset();
}

bool TransitionEngine::IsEmpty() const
{
    return m_vecAnimationTune.IsEmpty() && m_kAdditiveTunes.IsEmpty() && m_kExtraTunes.IsEmpty() &&
           m_kFrameToTransition.IsEmpty() && m_kFrameTransitions.IsEmpty() && m_kBehaviors.IsEmpty();
}

// ---------------------------------------------------------------------------
// Set-up

void TransitionEngine::Setup(const SetupParams& kParams)
{
    m_pOwner = kParams.pOwner;
    m_uiOwnerId = kParams.uiOwnerId;
    m_uiMocapIndex = kParams.uiMocapIndex;
    m_pSceneObject = kParams.pSceneObject;
    m_pAnimActor = kParams.pAnimActor;
    m_bKeepSceneTransform = kParams.bKeepSceneTransform;
    m_fGlobalSpeed = kParams.fGlobalSpeed;
    // The mocap's own data is authored for cross-fades; data handed in
    // explicitly times its fades itself.
    m_fDefaultFadeLength = kParams.pTransitionData ? 0.0f : 500.0f;
    Init(kParams.pTransitionData, kParams.bPlay);
}

const TransitionData* TransitionEngine::ResolveData(const TransitionData* pData) const
{
    if (pData)
        return pData;
    if (!m_pAnimActor || !m_pAnimActor->pSkeleton)
        return nullptr;
    const Mocap* pMocap = m_pAnimActor->pSkeleton->GetMocap(m_uiMocapIndex);
    return pMocap ? pMocap->GetTransitionData() : nullptr;
}

void TransitionEngine::Init(const TransitionData* pData, bool bPlay)
{
    if (!TARN_ASSERT(m_pAnimActor, "TransitionEngine : No anim actor !"))
        return;
    pData = ResolveData(pData);
    if (!TARN_ASSERT(pData, "TransitionEngine : No transition data for mocap %u", m_uiMocapIndex))
        return;
    m_uiFirstActiveFrame = pData->m_uiFirstActiveFrame;
    m_kInitialTransform.kRotation = pData->m_kInitialRotation;
    m_kInitialTransform.kTranslation = pData->m_kInitialPosition;
    Load(pData);
    Start();
    Play(bPlay);
}

void TransitionEngine::Load(const TransitionData* pData)
{
    if (!TARN_ASSERT(m_pAnimActor, "TransitionEngine : No anim actor !"))
        return;
    if (!TARN_ASSERT(pData, "TransitionEngine : No transition data to load"))
        return;
    Skeleton* pSkeleton = m_pAnimActor->pSkeleton;
    AnimatedSkeleton* pInstance =
        pSkeleton ? pSkeleton->GetAnimatedSkeleton(m_pAnimActor->iAnimatedSkeletonIdx) : nullptr;
    if (!TARN_ASSERT(pInstance, "TransitionEngine : No animated skeleton %u for the anim actor",
                     m_pAnimActor->iAnimatedSkeletonIdx))
        return;

    // A second load replaces what an earlier one built: its controls go
    // first, so that no tune of this engine is left behind on either skeleton.
    ClearTunes();

    SetInstanceAccumulation(true);

    const TarnRenderer::TArray<uint32>& kControlIds = pInstance->GetControlIds();
    for (uint32 i = 0; i < kControlIds.GetSize(); ++i)
    {
        if (AnimationControl* pControl = pSkeleton->GetControl(kControlIds[i]))
        {
            pControl->FadeOut(0.0f);
            pControl->SetFlag(AnimationControl::kFlagRemoveWhenFadedOut, true);
        }
    }

    BuildAnimationTunes(*pData, false);
    BuildExtraTunes(*pData);
    BuildFrameTransitions(*pData);
}

void TransitionEngine::ClearTunes()
{
    SendCommand(kListNormal, kCmdRemove, 0.0f);
    SendCommand(kListAdditive, kCmdRemove, 0.0f);
    SendCommand(kListExtra, kCmdRemove, 0.0f);
    m_vecAnimationTune.Clear();
    m_kAdditiveTunes.Clear();
    m_kExtraTunes.Clear();
    m_kAccumModificators.Clear();
    m_kNormalTuneDescription.Clear();
    m_kFrameToTransition.Clear();
    m_kFrameTransitions.Clear();
    m_uiCurrentTune = kInvalidIndex;
    m_uiRootTrack = kInvalidIndex;
    m_uiSecondaryTrack = kInvalidIndex;
    m_uiGlobalLength = 0;
}

void TransitionEngine::BuildAnimationTunes(const TransitionData& kData, bool bAdditiveOnly)
{
    Skeleton* pSkeleton = m_pAnimActor->pSkeleton;
    const uint32 uiInstance = m_pAnimActor->iAnimatedSkeletonIdx;
    for (uint32 uiDesc = 0; uiDesc < kData.m_kAnimations.GetSize(); ++uiDesc)
    {
        const AnimationDesc& kDesc = kData.m_kAnimations[uiDesc];
        if (bAdditiveOnly && !kDesc.m_bAdditive)
            continue;
        if (!bAdditiveOnly)
            m_kAccumModificators.Add(kDesc.m_kAccumModificator);

        // An unresolved description still takes its place in its list, so
        // that the tune indices of the frame transitions stay right.
        AnimationTuneProgress kTune;
        kTune.m_uiHoldLength = kDesc.m_uiHoldLength;
        kTune.m_uiStartOffset = kDesc.m_uiStartOffset;
        AnimationControl* pAnim = nullptr;

        const uint32 uiMocapId = static_cast<uint32>(pSkeleton->FindMocap(kDesc.m_kAnimSetName.Get()));
        if (TARN_ASSERT(uiMocapId != (uint32)-1, "Prefab %s doesn't have the AnimSet %s", ModelName(pSkeleton),
                        kDesc.m_kAnimSetName.Get()))
        {
            uint32 uiSequence = kDesc.m_uiSequenceIndex;
            if (uiSequence == kInvalidIndex)
                uiSequence =
                    static_cast<uint32>(pSkeleton->GetMocap(uiMocapId)->FindSequence(kDesc.m_kSequenceName.Get()));
            // An unknown sequence creates no control at all.
            if (pSkeleton->GetSequence(uiMocapId, uiSequence))
                pAnim = pSkeleton->CreateAnimatedControl(uiInstance, uiMocapId, uiSequence);
            if (TARN_ASSERT(pAnim, "Could not find sequence"))
            {
                pAnim->SetWeight(1.0f);
                pAnim->SetSpeed(m_fGlobalSpeed);
                kTune.m_uiMocapIndex = uiMocapId;
                kTune.m_uiSequenceIndex = uiSequence;
                kTune.m_uiControlId = pAnim->GetId();
                kTune.m_uiFrameCount = WholeCount(pAnim->GetFrameCount());
            }
        }

        if (kDesc.m_bAdditive)
        {
            kTune.m_uiPlayLength = kTune.m_uiFrameCount;
            static_cast<AnimationTuneProgress&>(m_kAdditiveTunes.Add()) = kTune;
        }
        else
        {
            if (pAnim)
                pAnim->SetLoopOverride(ELoopOverride::Loop);
            kTune.m_uiPlayLength = WholeCount(static_cast<float>(kTune.m_uiFrameCount) * kDesc.m_fPlayFactor);
            static_cast<AnimationTuneProgress&>(m_vecAnimationTune.Add()) = kTune;
            m_kNormalTuneDescription.Add(uiDesc);
        }
    }
}

void TransitionEngine::BuildExtraTunes(const TransitionData& kData)
{
    Skeleton* pExtra = m_pAnimActor->pExtraSkeleton;
    for (uint32 uiDesc = 0; uiDesc < kData.m_kExtraTracks.GetSize(); ++uiDesc)
    {
        const ExtraTrackDesc& kDesc = kData.m_kExtraTracks[uiDesc];
        ExtraAnimationTune& kTune = m_kExtraTunes.Add();
        const int32 iMocap = pExtra ? pExtra->FindMocap(kDesc.m_kAnimSetName.Get()) : -1;
        if (iMocap < 0)
            continue;
        const uint32 uiMocap = static_cast<uint32>(iMocap);
        kTune.m_uiMocapIndex = uiMocap;
        kTune.m_uiSequenceIndex = kDesc.m_uiSequenceIndex;
        kTune.m_uiFlags = kDesc.m_uiFlags;
        AnimationControl* pAnim = nullptr;
        if (pExtra->GetSequence(uiMocap, kDesc.m_uiSequenceIndex))
            pAnim = pExtra->CreateAnimatedControl(m_pAnimActor->uiExtraInstanceIdx, uiMocap, kDesc.m_uiSequenceIndex);
        if (!pAnim)
            continue;
        kTune.m_uiControlId = pAnim->GetId();
        pAnim->SetWeight(1.0f);
        pAnim->SetSpeed(m_fGlobalSpeed);

        if (kDesc.m_uiFlags & ExtraTrackDesc::kEventTrack)
            m_uiGlobalLength = WholeCount(pAnim->GetFrameCount());
        else if (kDesc.m_uiFlags & ExtraTrackDesc::kRootTrack)
            m_uiRootTrack = kDesc.m_uiSequenceIndex + 1;
        else if (kDesc.m_uiFlags & ExtraTrackDesc::kSecondaryTrack)
            m_uiSecondaryTrack = kDesc.m_uiSequenceIndex + 1;
    }
}

void TransitionEngine::BuildFrameTransitions(const TransitionData& kData)
{
    const uint32 uiTuneCount = m_vecAnimationTune.GetSize();
    for (uint32 uiDesc = 0; uiDesc < kData.m_kFrameTransitions.GetSize(); ++uiDesc)
    {
        const FrameTransitionDesc& kDesc = kData.m_kFrameTransitions[uiDesc];
        if (kDesc.m_uiLastFrame < kDesc.m_uiFirstFrame)
            continue;
        if (!TARN_ASSERT(kDesc.m_uiTargetTune < uiTuneCount && kDesc.m_uiTargetTune < 255u,
                         "Frame transition %u targets tune %u : there are %u tunes, and at most 255 can be targeted",
                         uiDesc, kDesc.m_uiTargetTune, uiTuneCount))
            continue;

        uint64 uiCount = uint64(kDesc.m_uiLastFrame) - kDesc.m_uiFirstFrame + 1;
        if (kDesc.m_uiSourceTune < uiTuneCount &&
            m_vecAnimationTune[kDesc.m_uiSourceTune].m_uiHoldLength != kInvalidIndex)
            uiCount += m_vecAnimationTune[kDesc.m_uiSourceTune].m_uiHoldLength;
        uint64 uiEnd = uint64(kDesc.m_uiFirstFrame) + uiCount;
        if (!TARN_ASSERT(uiEnd <= kMaxTableFrames, "Frame transition %u reaches frame %llu, cut at frame %llu", uiDesc,
                         static_cast<unsigned long long>(uiEnd), static_cast<unsigned long long>(kMaxTableFrames)))
        {
            if (kDesc.m_uiFirstFrame >= kMaxTableFrames)
                continue;
            uiEnd = kMaxTableFrames;
            uiCount = uiEnd - kDesc.m_uiFirstFrame;
        }

        const uint32 uiOldSize = m_kFrameToTransition.GetSize();
        if (uiEnd > uiOldSize)
        {
            m_kFrameToTransition.Resize(static_cast<uint32>(uiEnd));
            if (m_kFrameToTransition.GetSize() != uiEnd)
                continue;  // memory refused, already reported
            for (uint32 i = uiOldSize; i < m_kFrameToTransition.GetSize(); ++i)
                m_kFrameToTransition[i] = kInvalidIndex;
        }

        float fFade = kDesc.m_fFadeLength;
        if (!TARN_ASSERT(fFade >= 0.0f && fFade <= kMaxFadeLengthMs,
                         "Frame transition %u : fade length %g ms does not fit 0..65535 ms, clamped", uiDesc,
                         static_cast<double>(fFade)))
            fFade = fFade > kMaxFadeLengthMs ? kMaxFadeLengthMs : 0.0f;  // NaN and negative give 0

        const uint64 uiLastTarget = uint64(kDesc.m_uiTargetFirstFrame) + uiCount - 1;
        const uint64 uiHighest = uiLastTarget < kDesc.m_uiTargetFrameLimit ? uiLastTarget : kDesc.m_uiTargetFrameLimit;
        TARN_ASSERT(uiHighest <= kMaxTargetFrame, "Frame transition %u : target frame %llu does not fit, clamped to %u",
                    uiDesc, static_cast<unsigned long long>(uiHighest), kMaxTargetFrame);

        for (uint64 i = 0; i < uiCount; ++i)
        {
            uint64 uiTarget = uint64(kDesc.m_uiTargetFirstFrame) + i;
            if (uiTarget > kDesc.m_uiTargetFrameLimit)
                uiTarget = kDesc.m_uiTargetFrameLimit;
            if (uiTarget > kMaxTargetFrame)
                uiTarget = kMaxTargetFrame;
            const uint32 uiIndex = m_kFrameTransitions.GetSize();
            FrameTransition& kTransition = m_kFrameTransitions.Add();
            if (m_kFrameTransitions.GetSize() == uiIndex)
                break;  // memory refused, already reported
            kTransition.m_uiTargetTune = static_cast<uint8>(kDesc.m_uiTargetTune);
            kTransition.m_uiTargetFrame = static_cast<uint16>(uiTarget);
            kTransition.m_uiFadeLength = static_cast<uint16>(fFade);
            m_kFrameToTransition[static_cast<uint32>(kDesc.m_uiFirstFrame + i)] = uiIndex;
        }
    }
}

// ---------------------------------------------------------------------------
// Runs

void TransitionEngine::Start()
{
    m_uiGlobalFrame = 0;
    if (m_pSceneObject)
    {
        if (!m_bKeepSceneTransform && !m_bSuspended)
        {
            m_pSceneObject->SetWorldRotation(m_kInitialTransform.kRotation);
            m_pSceneObject->SetWorldPosition(m_kInitialTransform.kTranslation);
            m_kAccumulatedTransform = Transform();
        }
        if (HasRootTrack())
        {
            m_kStartTransform.kRotation = m_pSceneObject->GetWorldRotation().Normalized();
            m_kStartTransform.kTranslation = m_pSceneObject->GetWorldPosition();
        }
        m_bSuspended = false;
    }

    SendCommand(kListNormal, kCmdResetProgress, 0.0f);
    SendCommand(kListNormal, kCmdFadeOut, m_fDefaultFadeLength);
    if (!m_vecAnimationTune.IsEmpty())
    {
        m_uiCurrentTune = 0;
        TuneCommand(0, kCmdFadeIn, m_fDefaultFadeLength);
        SendCommand(kListNormal, kCmdFrameZero, 0.0f);
    }
    else
    {
        m_uiCurrentTune = kInvalidIndex;
    }

    SendCommand(kListExtra, kCmdFrameZero, 0.0f);
    SendCommand(kListExtra, kCmdFadeIn, 0.0f);

    SendCommand(kListAdditive, kCmdResetProgress, 0.0f);
    SendCommand(kListAdditive, kCmdFrameZero, 0.0f);
    SendCommand(kListAdditive, kCmdFadeIn, m_fDefaultFadeLength);

    for (uint32 i = 0; i < m_kBehaviors.GetSize(); ++i)
        if (m_kBehaviors[i].pStart)
            m_kBehaviors[i].pStart(m_kBehaviors[i].pObject, this, true);
}

void TransitionEngine::Update()
{
    const bool bWasStopped = m_bStopped;
    const bool bRunning = !m_bStopped;

    if (bRunning)
    {
        const float fEventFrame = SendCommand(kListExtra, kCmdEventFrame, 0.0f);
        if (TARN_ASSERT_TEXT(fEventFrame != -1.0f, "false",
                             "Should not happend : Event Track is necessary to know index frame"))
        {
            const uint32 uiEventFrame = WholeCount(fEventFrame);
            if (uiEventFrame > m_uiGlobalFrame)
                m_uiGlobalFrame = uiEventFrame;
        }
    }

    if (bRunning && m_uiCurrentTune < m_vecAnimationTune.GetSize())
    {
        const uint32 uiCurrent = m_uiCurrentTune;
        AnimationControl* pAnim = FindControl(kListNormal, m_vecAnimationTune[uiCurrent]);
        if (TARN_ASSERT(pAnim, "AnimationControl is needed"))
        {
            UpdateProgress(m_vecAnimationTune[uiCurrent], WholeCount(pAnim->GetFrame()));
            const bool bActive = m_vecAnimationTune[uiCurrent].m_bActive;
            pAnim->SetFrozen(!bActive);
            if (bActive)
                TransitionTo(uiCurrent);
        }
    }

    if (!m_bSuspended)
        for (uint32 i = 0; i < m_kBehaviors.GetSize(); ++i)
            if (m_kBehaviors[i].pTick)
                m_kBehaviors[i].pTick(m_kBehaviors[i].pObject, this);

    if (bRunning && m_uiGlobalFrame >= m_uiGlobalLength - 1u)
    {
        if (m_bLoop && !m_bEndLoopSuppressed)
            Start();
        else
            Play(false);
    }

    if (bWasStopped)
        Play(false);
}

void TransitionEngine::UpdateProgress(AnimationTuneProgress& kTune, uint32 uiControlFrame) const
{
    // 64-bit signed arithmetic: frame counts of 0 or 1 and long holds must
    // not wrap around.
    const int64 iGlobal = m_uiGlobalFrame;
    const int64 iFrameCount = kTune.m_uiFrameCount;
    kTune.m_uiCurrentFrame = uiControlFrame;
    kTune.m_bActive = m_uiGlobalFrame >= m_uiFirstActiveFrame;
    if (kTune.m_uiHoldLength != kInvalidIndex)
    {
        const int64 iHoldStart = int64(kTune.m_uiStartOffset) + kTune.m_uiPlayLength - 1;
        const int64 iHoldEnd = iHoldStart + kTune.m_uiHoldLength;
        if (iHoldStart <= iGlobal && iGlobal < iHoldEnd)
            kTune.m_bActive = false;
    }
    if (int64(kTune.m_uiCurrentFrame) == iFrameCount - 1 && int64(kTune.m_uiPreviousFrame) == iFrameCount - 2 &&
        int64(kTune.m_uiPlayLength) > (iFrameCount - 1) * (int64(kTune.m_uiLoopCount) + 1))
        ++kTune.m_uiLoopCount;
    kTune.m_uiPreviousFrame = kTune.m_uiCurrentFrame;
}

void TransitionEngine::TransitionTo(uint32 uiCurrentTune)
{
    if (m_uiGlobalFrame >= m_kFrameToTransition.GetSize())
        return;
    const uint32 uiTransition = m_kFrameToTransition[m_uiGlobalFrame];
    if (uiTransition >= m_kFrameTransitions.GetSize())
        return;
    const FrameTransition kTransition = m_kFrameTransitions[uiTransition];
    if (!TARN_ASSERT(kTransition.m_uiTargetTune < m_vecAnimationTune.GetSize(),
                     "Frame transition at frame %u targets tune %u, there are %u tunes", m_uiGlobalFrame,
                     static_cast<uint32>(kTransition.m_uiTargetTune), m_vecAnimationTune.GetSize()))
        return;
    const float fFade = static_cast<float>(kTransition.m_uiFadeLength);
    TuneCommand(uiCurrentTune, kCmdResetProgress, 0.0f);
    TuneCommand(uiCurrentTune, kCmdFadeOut, fFade);
    TuneCommand(kTransition.m_uiTargetTune, kCmdFadeIn, fFade);
    if (kTransition.m_uiTargetFrame == 0xFFFF)
        return;
    if (AnimationControl* pTarget = FindControl(kListNormal, m_vecAnimationTune[kTransition.m_uiTargetTune]))
        pTarget->SetFrame(static_cast<float>(kTransition.m_uiTargetFrame));
}

void TransitionEngine::Play(bool bPlay)
{
    m_bStopped = !bPlay;
    const uint32 uiCommand = bPlay ? kCmdPlay : kCmdPause;
    SendCommand(kListNormal, uiCommand, 0.0f);
    SendCommand(kListAdditive, uiCommand, 0.0f);
    SendCommand(kListExtra, uiCommand, 0.0f);
}

void TransitionEngine::Reset()
{
    if (m_pAnimActor)
        SetInstanceAccumulation(false);

    ClearTunes();
    m_bKeepSceneTransform = false;
    m_bEndLoopSuppressed = false;
    m_bStopped = true;

    for (uint32 i = 0; i < m_kBehaviors.GetSize(); ++i)
        if (m_kBehaviors[i].pRelease)
            m_kBehaviors[i].pRelease(m_kBehaviors[i].pObject);
    m_kBehaviors.Clear();
    m_pSceneObject = nullptr;
}

void TransitionEngine::SetInstanceAccumulation(bool bEnable)
{
    Skeleton* pSkeleton = m_pAnimActor ? m_pAnimActor->pSkeleton : nullptr;
    if (!pSkeleton)
        return;
    if (m_pOwner && pSkeleton->HasAccumulationChannels())
    {
        m_pOwner->SetAccumulation(m_pAnimActor, bEnable);
        return;
    }
    if (AnimatedSkeleton* pInstance = pSkeleton->GetAnimatedSkeleton(m_pAnimActor->iAnimatedSkeletonIdx))
        pInstance->SetAccumulationSwitch(0, bEnable);
}

void TransitionEngine::SetSpeed(float fSpeed)
{
    SendCommand(kListNormal, kCmdSetSpeed, fSpeed);
    SendCommand(kListAdditive, kCmdSetSpeed, fSpeed);
    SendCommand(kListExtra, kCmdSetSpeed, fSpeed);
}

void TransitionEngine::StoreSpeeds()
{
    SendCommand(kListNormal, kCmdStoreSpeed, 0.0f);
    SendCommand(kListAdditive, kCmdStoreSpeed, 0.0f);
    SendCommand(kListExtra, kCmdStoreSpeed, 0.0f);
}

void TransitionEngine::RestoreSpeeds()
{
    SendCommand(kListNormal, kCmdRestoreSpeed, 0.0f);
    SendCommand(kListAdditive, kCmdRestoreSpeed, 0.0f);
    SendCommand(kListExtra, kCmdRestoreSpeed, 0.0f);
}

void TransitionEngine::ReloadAdditiveTunes(const TransitionData* pData)
{
    if (!TARN_ASSERT(m_pAnimActor, "TransitionEngine : No anim actor !"))
        return;
    pData = ResolveData(pData);
    if (!TARN_ASSERT(pData, "TransitionEngine : No transition data for mocap %u", m_uiMocapIndex))
        return;
    if (!m_pAnimActor->pSkeleton)
        return;
    SendCommand(kListAdditive, kCmdRemove, 0.0f);
    m_kAdditiveTunes.Clear();
    BuildAnimationTunes(*pData, true);
    SendCommand(kListAdditive, kCmdFadeIn, 0.0f);
    SendCommand(kListAdditive, kCmdMoveTo, static_cast<float>(m_uiGlobalFrame));
}

// ---------------------------------------------------------------------------
// Commands

float TransitionEngine::SendCommand(ETuneList eList, uint32 uiCommand, float fArgument)
{
    if (!TARN_ASSERT_TEXT(uiCommand < kCmdCount, "false", "Unregistered command"))
        return -1.0f;
    float fResult = -1.0f;
    const uint32 uiCount = eList == kListNormal     ? m_vecAnimationTune.GetSize()
                           : eList == kListAdditive ? m_kAdditiveTunes.GetSize()
                                                    : m_kExtraTunes.GetSize();
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const float fTuneResult = RunCommand(eList, i, uiCommand, fArgument);
        if (fTuneResult != -1.0f)
            fResult = fTuneResult;
    }
    return fResult;
}

float TransitionEngine::TuneCommand(uint32 iAnimIdx, uint32 uiCommand, float fArgument)
{
    if (!TARN_ASSERT(m_vecAnimationTune.GetSize() > iAnimIdx, "Wrong anim tag index"))
        return -1.0f;
    if (!TARN_ASSERT_TEXT(uiCommand < kCmdCount, "false", "Unregistered command"))
        return -1.0f;
    return RunCommand(kListNormal, iAnimIdx, uiCommand, fArgument);
}

Skeleton* TransitionEngine::GetListSkeleton(ETuneList eList) const
{
    if (!m_pAnimActor)
        return nullptr;
    return eList == kListExtra ? m_pAnimActor->pExtraSkeleton : m_pAnimActor->pSkeleton;
}

AnimationControl* TransitionEngine::FindControl(ETuneList eList, const AnimationTuneBase& kTune) const
{
    if (kTune.m_uiControlId == kInvalidIndex)
        return nullptr;
    Skeleton* pSkeleton = GetListSkeleton(eList);
    AnimationControl* pControl = pSkeleton ? pSkeleton->GetControl(kTune.m_uiControlId) : nullptr;
    if (!pControl)
        return nullptr;
    // Ids of removed controls are reused: a control under the tune's id that
    // plays something else is not the tune's.
    const uint32 uiInstance =
        eList == kListExtra ? m_pAnimActor->uiExtraInstanceIdx : m_pAnimActor->iAnimatedSkeletonIdx;
    if (pControl->GetInstanceIndex() != uiInstance || pControl->GetMocapIndex() != kTune.m_uiMocapIndex ||
        pControl->GetSequenceIndex() != kTune.m_uiSequenceIndex)
        return nullptr;
    return pControl;
}

float TransitionEngine::RunCommand(ETuneList eList, uint32 uiTuneIndex, uint32 uiCommand, float fArgument)
{
    AnimationTuneBase* pTune = nullptr;
    if (eList == kListNormal)
        pTune = &m_vecAnimationTune[uiTuneIndex];
    else if (eList == kListAdditive)
        pTune = &m_kAdditiveTunes[uiTuneIndex];
    else
        pTune = &m_kExtraTunes[uiTuneIndex];
    AnimationControl* pControl = FindControl(eList, *pTune);
    if (!pControl)
        return -1.0f;

    if (uiCommand == kCmdRemove)
    {
        GetListSkeleton(eList)->RemoveAnimationControl(pTune->m_uiControlId);
        pTune->m_uiControlId = kInvalidIndex;
        return -1.0f;
    }
    if (RunSharedCommand(*pTune, *pControl, uiCommand, fArgument))
        return -1.0f;

    if (eList == kListExtra)
    {
        ExtraAnimationTune& kExtra = static_cast<ExtraAnimationTune&>(*pTune);
        switch (uiCommand)
        {
            case kCmdResetProgress:
                kExtra.m_uiReference = kInvalidIndex;
                kExtra.m_uiFlags = 0;
                break;
            case kCmdFadeIn:
                pControl->FadeIn(0.0f);
                break;
            case kCmdFadeOut:
                pControl->FadeOut(0.0f);
                break;
            case kCmdMoveTo:
            {
                const float fLast = pControl->GetFrameCount() - 1.0f;
                pControl->SetFrame(fArgument < fLast ? fArgument : fLast);
                pControl->SetFrozen(false);
                pControl->Update(kMoveToSettleMs);
                pControl->SetFrozen(true);
                break;
            }
            case kCmdEventFrame:
                return (kExtra.m_uiFlags & ExtraTrackDesc::kEventTrack) ? pControl->GetFrame() : -1.0f;
            default:
                break;
        }
        return -1.0f;
    }

    AnimationTuneProgress& kTune = static_cast<AnimationTuneProgress&>(*pTune);
    switch (uiCommand)
    {
        case kCmdResetProgress:
            ResetProgress(kTune);
            break;
        case kCmdFadeIn:
            pControl->FadeIn(fArgument);
            // The current tune is always a normal one: the update, the frame
            // transitions and the accumulation read it from the normal list, so
            // an additive tune fading in leaves it alone.
            if (eList == kListNormal)
                m_uiCurrentTune = uiTuneIndex;
            break;
        case kCmdFadeOut:
            pControl->FadeOut(fArgument);
            break;
        case kCmdMoveTo:
            if (eList == kListAdditive)
            {
                pControl->SetFrozen(false);
                pControl->SetFrame(fArgument);
                pControl->Update(kMoveToSettleMs);
                pControl->SetFrozen(true);
            }
            break;
        default:
            break;  // command 10 is -1 for normal and additive tunes
    }
    return -1.0f;
}

// ---------------------------------------------------------------------------
// Queries and root motion

AnimationControl* TransitionEngine::GetCurrentTuneControl() const
{
    if (m_uiCurrentTune >= m_vecAnimationTune.GetSize())
        return nullptr;
    return FindControl(kListNormal, m_vecAnimationTune[m_uiCurrentTune]);
}

bool TransitionEngine::SampleTrack(uint32 uiFlag, uint32 uiReference, Transform& kOut) const
{
    if (uiReference == kInvalidIndex || !m_pAnimActor || !m_pAnimActor->pExtraSkeleton)
        return false;
    const Skeleton* pExtra = m_pAnimActor->pExtraSkeleton;
    for (uint32 i = 0; i < m_kExtraTunes.GetSize(); ++i)
    {
        const ExtraAnimationTune& kTune = m_kExtraTunes[i];
        if (!(kTune.m_uiFlags & uiFlag) || kTune.m_uiSequenceIndex + 1 != uiReference)
            continue;
        const AnimationControl* pControl = FindControl(kListExtra, kTune);
        const Sequence* pSequence = pExtra->GetSequence(kTune.m_uiMocapIndex, kTune.m_uiSequenceIndex);
        if (!pControl || !pSequence)
            continue;
        // The character's motion channel; the track's own when the
        // character's does not exist in it.
        uint32 uiChannel = m_pAnimActor->pSkeleton ? m_pAnimActor->pSkeleton->GetAccumChannel(1) : kInvalidIndex;
        if (uiChannel >= pExtra->GetChannelCount())
            uiChannel = pExtra->GetAccumChannel(1);
        if (uiChannel >= pExtra->GetChannelCount())
            return false;
        return Sampler::SampleChannel(*pSequence, pExtra->GetChannelCount(), uiChannel, pControl->GetPosition(), kOut);
    }
    return false;
}

bool TransitionEngine::ApplyRootMotion()
{
    if (!HasRootTrack() || m_bSuspended || !m_pSceneObject)
        return false;
    Transform kSample;
    if (!SampleTrack(ExtraTrackDesc::kRootTrack, m_uiRootTrack, kSample))
        return false;
    m_kAccumulatedTransform = kSample;
    m_pSceneObject->SetWorldPosition(m_kStartTransform.kTranslation +
                                     m_kStartTransform.kRotation.Rotate(kSample.kTranslation));
    m_pSceneObject->SetWorldRotation((m_kStartTransform.kRotation * kSample.kRotation).Normalized());
    return true;
}

bool TransitionEngine::GetAccumulation(SAccumulation& kOut) const
{
    kOut = SAccumulation();
    if (m_bStopped)
        return false;
    Transform kSecondary;
    if (SampleTrack(ExtraTrackDesc::kSecondaryTrack, m_uiSecondaryTrack, kSecondary))
    {
        kOut.bHasSecondary = true;
        kOut.kSecondaryPosition = kSecondary.kTranslation;
    }
    const AnimationControl* pControl = GetCurrentTuneControl();
    if (pControl && m_uiCurrentTune < m_kNormalTuneDescription.GetSize())
    {
        const uint32 uiDesc = m_kNormalTuneDescription[m_uiCurrentTune];
        if (uiDesc < m_kAccumModificators.GetSize())
        {
            const AccumModificatorData& kModifier = m_kAccumModificators[uiDesc];
            const float fWeight = pControl->GetEffectiveWeight();
            kOut.bHasModifier = true;
            kOut.kVector1 = kModifier.kVector1 * fWeight;
            kOut.kVector2 = kModifier.kVector2 * fWeight;
            kOut.kVector3 = kModifier.kVector3 * fWeight;
            kOut.kRotation = kModifier.kRotation;
        }
    }
    return true;
}

}  // namespace TarnAnim
