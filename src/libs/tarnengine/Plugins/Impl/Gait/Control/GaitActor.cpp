#include "Plugins/Impl/Gait/Control/GaitActor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "AnimManager/AnimManager.h"
#include "Containers/TMap.h"
#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "Math/SFMT/SFMT.h"
#include "Process/FrameProcessor.h"
#include "Scene/Link.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Transition/TransitionEngine.h"
#include "Utils/assertion.h"
#include "World/WorldContext.h"

namespace GaitPlugin {

using TarnAnim::AnimationControl;

namespace {

// The actors whose rectifier is installed, by the link they move. A skeleton
// has one root-motion callback for all its instances, and many characters
// share a skeleton: the callback finds each instance's actor by the scene
// object it is called for.
TarnRenderer::TMap<TarnRenderer::Link*, GaitActor*>& RectifiedActors()
{
    static TarnRenderer::TMap<TarnRenderer::Link*, GaitActor*> s_kActors;
    return s_kActors;
}

// x raised to an integer power by squaring; a negative power gives the
// reciprocal, power 0 gives 1.
float IntegerPower(float x, int32 iPower)
{
    const bool bNegative = iPower < 0;
    uint32 uiPower = bNegative ? static_cast<uint32>(-static_cast<int64>(iPower)) : static_cast<uint32>(iPower);
    float fResult = 1.0f;
    float fBase = x;
    while (uiPower)
    {
        if (uiPower & 1u)
            fResult *= fBase;
        fBase *= fBase;
        uiPower >>= 1;
    }
    return bNegative ? 1.0f / fResult : fResult;
}

// The binding of a movement: the last entry that names it.
const InfoBindAnim* FindBinding(const GaitRuntimeData& kData, uint32 eMovement)
{
    const InfoBindAnim* pFound = nullptr;
    for (const InfoBindAnim& kBind : kData.m_kBindAnims)
        if (kBind.m_eAnim == eMovement)
            pFound = &kBind;
    return pFound;
}

}  // namespace

// A hand-over table and what it was built from: the frame count of each
// movement's control (none for a movement without one) and the
// synchronisations of the runtime data. Tables built from nothing but these
// inputs are listed and shared, read-only, by every actor that starts with
// the same inputs: thousands of characters of one kind hold one table. A
// table built on top of an actor's previous table (a start without a stop),
// or whose build reported a problem, stays the actor's own, so that every
// such start builds and reports again. Engine thread only.
class GaitTransitionTable
{
public:
    bool Matches(const bool* pHasControl, const uint32* pFrames, const GaitRuntimeData& kData) const
    {
        for (uint32 e = 0; e < EAnimMovement::NB_TYPE; ++e)
            if (m_abHasControl[e] != pHasControl[e] || (pHasControl[e] && m_auiFrames[e] != pFrames[e]))
                return false;
        const TarnRenderer::TArray<InfoSynchronization>& kOther = kData.m_kSynchronizations;
        if (m_kSynchronizations.GetSize() != kOther.GetSize())
            return false;
        for (uint32 i = 0; i < kOther.GetSize(); ++i)
            if (!SameSynchronization(m_kSynchronizations[i], kOther[i]))
                return false;
        return true;
    }

    static bool SamePoint(const InfoSynchroPoint& a, const InfoSynchroPoint& b)
    {
        return a.m_eAnim == b.m_eAnim && a.m_iFrameFirst == b.m_iFrameFirst && a.m_iFrameLast == b.m_iFrameLast;
    }
    static bool SameSynchronization(const InfoSynchronization& a, const InfoSynchronization& b)
    {
        return a.m_eBehavior == b.m_eBehavior && a.m_uiEaseMs == b.m_uiEaseMs && SamePoint(a.m_kSource, b.m_kSource) &&
               SamePoint(a.m_kTarget, b.m_kTarget);
    }

    TarnRenderer::TArray<GaitAnimTransition> m_kTransitions;
    TarnRenderer::TArray<InfoSynchronization> m_kSynchronizations;
    bool m_abHasControl[EAnimMovement::NB_TYPE] = {};
    uint32 m_auiFrames[EAnimMovement::NB_TYPE] = {};
    uint32 m_uiUsers = 0;
    bool m_bListed = false;
    GaitTransitionTable* m_pNext = nullptr;
};

namespace {

// The shared tables (an intrusive list: the registry itself allocates
// nothing, and is empty once the last actor stopped).
GaitTransitionTable*& SharedTransitionTables()
{
    static GaitTransitionTable* s_pFirst = nullptr;
    return s_pFirst;
}

void ReleaseTransitionTable(GaitTransitionTable* pTable)
{
    if (!pTable || --pTable->m_uiUsers != 0)
        return;
    if (pTable->m_bListed)
    {
        for (GaitTransitionTable** ppLink = &SharedTransitionTables(); *ppLink; ppLink = &(*ppLink)->m_pNext)
        {
            if (*ppLink == pTable)
            {
                *ppLink = pTable->m_pNext;
                break;
            }
        }
    }
    TARN_DELETE(pTable);
}

const TarnRenderer::TArray<GaitAnimTransition>& NoTransitions()
{
    static const TarnRenderer::TArray<GaitAnimTransition> s_kEmpty;
    return s_kEmpty;
}

}  // namespace

GaitActor::~GaitActor()
{
    // An initialised actor is stopped, also when an update already put it in
    // standby (its controls are still on the instance then).
    if (m_bInitialised && (!m_bStandby || !m_kTunes.IsEmpty()))
        Stop();
    ReleaseTransitionTable(m_pTransitions);
    m_pTransitions = nullptr;
    // A stopped actor never stays registered; this covers an actor destroyed
    // while its rectifier was still installed by other means.
    if (m_pLink)
    {
        auto& kActors = RectifiedActors();
        if (GaitActor** ppActor = kActors.Lookup(m_pLink); ppActor && *ppActor == this)
            kActors.Remove(m_pLink);
        if (kActors.IsEmpty())
            kActors.Clear();
    }
}

void GaitActor::Init(const GaitRuntimeData* pData, const TarnEngine::WorldContext* pWorldContext,
                     TarnRenderer::Link* pLink, TarnRenderer::AnimActor* pAnimActor, bool bStopExisting,
                     bool bUseTransitionEngine)
{
    m_pData = pData;
    m_pWorldContext = pWorldContext;
    m_pLink = pLink;
    m_pAnimActor = pAnimActor;
    m_bStopExisting = bStopExisting;
    m_bUseTransitionEngine = bUseTransitionEngine;
    m_bStandby = true;
    m_bInitialised = true;
}

TarnAnim::Skeleton* GaitActor::GetSkeleton() const
{
    return m_pAnimActor ? m_pAnimActor->pSkeleton : nullptr;
}

void GaitActor::SetStandby(bool bStandby)
{
    if (!IsDataValid(m_pData))
    {
        TARN_ASSERT(false, "Gait data is not valid");
        return;
    }
    if (bStandby)
        Stop();
    else
        Start();
}

// ---------------------------------------------------------------------------
// Start and stop

void GaitActor::Start()
{
    if (!IsDataValid(m_pData))
    {
        TARN_ASSERT(false, "Gait data is not valid");
        return;
    }
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    if (!TARN_ASSERT(pSkeleton && m_pLink, "The gait actor has no animated character to drive"))
        return;

    if (m_bStopExisting)
    {
        if (TarnAnim::AnimatedSkeleton* pInstance = pSkeleton->GetAnimatedSkeleton(m_pAnimActor->iAnimatedSkeletonIdx))
        {
            if (TarnAnim::TransitionEngine* pEngine = pInstance->GetTransitionEngine())
                pEngine->Reset();
            for (uint32 uiId : pInstance->GetControlIds())
            {
                if (AnimationControl* pControl = pSkeleton->GetControl(uiId))
                {
                    pControl->FadeOut(0.0f);
                    pControl->SetFlag(AnimationControl::kFlagRemoveWhenFadedOut, true);
                }
            }
        }
    }

    EnableRootMotion(true);

    if (!m_bUseTransitionEngine)
    {
        TARN_ASSERT(false, "Disabled : use TransitonEngine now");
        return;
    }

    m_kReferenceRotation = m_pLink->GetWorldRotation();
    CreateMovementControls();
    BuildAxes();
    BuildTransitions();
    BuildStableRotations();
    Play(EAnimMovement::Idle);
    m_uiLastControlIndex = kInvalidIndex;
    m_uiLastFrame = kInvalidIndex;
    m_bStandby = false;
}

void GaitActor::Stop()
{
    EnableRootMotion(false);
    if (TarnAnim::Skeleton* pSkeleton = GetSkeleton())
    {
        // Control ids are reused: a control removed by someone else may have
        // given its id to another character's control, which stays.
        for (const GaitAnimationTune& kTune : m_kTunes)
        {
            const AnimationControl* pControl = pSkeleton->GetControl(kTune.m_iAnimCtrlIdx);
            if (pControl && pControl->GetInstanceIndex() == m_pAnimActor->iAnimatedSkeletonIdx &&
                pControl->GetSequenceIndex() == kTune.m_iAnimIdx)
                pSkeleton->RemoveAnimationControl(kTune.m_iAnimCtrlIdx);
        }
    }
    m_eCurrentMovement = kInvalidIndex;
    m_bStandby = true;
    m_kTunes.Clear();
    m_kAxes.Clear();
    ReleaseTransitionTable(m_pTransitions);
    m_pTransitions = nullptr;
}

void GaitActor::CreateMovementControls()
{
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    m_kTunes.Resize(EAnimMovement::NB_TYPE);
    const uint32 iSeqIdx = m_pAnimActor->iAnimatedSkeletonIdx;
    for (uint32 eMovement = 0; eMovement < EAnimMovement::NB_TYPE; ++eMovement)
    {
        const InfoBindAnim* pBind = FindBinding(*m_pData, eMovement);
        const InfoBindAnim kBind = pBind ? *pBind : InfoBindAnim();
        GaitAnimationTune& kTune = m_kTunes[eMovement];
        kTune.m_iAnimIdx = pBind ? kBind.m_iAnimIdx : kInvalidIndex;
        kTune.m_iAnimCtrlIdx = kInvalidIndex;
        if (kTune.m_iAnimIdx == kInvalidIndex)
            continue;
        // The skeleton may refuse (no such instance or sequence): the
        // movement then has no control, and the first update stands by.
        AnimationControl* pControl = pSkeleton->CreateAnimatedControl(iSeqIdx, 0, kTune.m_iAnimIdx);
        if (!pControl)
            continue;
        pControl->SetWeight(1.0f);
        pControl->SetLoopOverride(kBind.m_bLoop ? TarnAnim::ELoopOverride::Loop : TarnAnim::ELoopOverride::NoLoop);
        pControl->SetSpeed(0.0f);
        pControl->SetFlag(AnimationControl::kFlagStopAtEnd, true);
        // Speed follows the fade, except for the controls whose speed the
        // actor sets itself: the turns, and the walk, whose speed follows
        // the requested speed (following the fade would reset it to 1 at
        // every frame step).
        pControl->SetFlag(AnimationControl::kFlagSpeedFollowsFade, eMovement != EAnimMovement::TurnLeft &&
                                                                        eMovement != EAnimMovement::TurnRight &&
                                                                        eMovement != EAnimMovement::Walk);
        pControl->SetFlag(AnimationControl::kFlagAccumulate, kBind.m_bAccum != 0);
        pControl->SetBlendMode(kBind.m_eBlendMode);
        pControl->FadeOut(0.0f);
        kTune.m_iAnimCtrlIdx = pControl->GetId();
    }
}

void GaitActor::BuildAxes()
{
    m_kAxes.Resize(3);
    m_kAxes[0] = AnimationAxis{EAnimMovement::LookLeft, EAnimMovement::LookRight, 0.0f};
    m_kAxes[1] = AnimationAxis{EAnimMovement::LookUp, EAnimMovement::LookDown, 0.0f};
    m_kAxes[2] = AnimationAxis{EAnimMovement::TurnLeft, EAnimMovement::TurnRight, 0.0f};
}

AnimationControl* GaitActor::GetMovementControl(uint32 eMovement) const
{
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    if (!pSkeleton || eMovement >= m_kTunes.GetSize())
        return nullptr;
    const uint32 iAnimCtrlIdx = m_kTunes[eMovement].m_iAnimCtrlIdx;
    const uint32 iAnimCtrlCount = pSkeleton->GetControlSlotCount();
    if (!TARN_ASSERT(iAnimCtrlIdx<iAnimCtrlCount, "%s", ""))
        return nullptr;
    return pSkeleton->GetControl(iAnimCtrlIdx);
}

// ---------------------------------------------------------------------------
// Hand-over table

const TarnRenderer::TArray<GaitAnimTransition>& GaitActor::GetTransitions() const
{
    return m_pTransitions ? m_pTransitions->m_kTransitions : NoTransitions();
}

void GaitActor::BuildTransitions()
{
    bool abHasControl[EAnimMovement::NB_TYPE] = {};
    uint32 auiFrames[EAnimMovement::NB_TYPE] = {};
    for (uint32 eMovement = 0; eMovement < EAnimMovement::NB_TYPE; ++eMovement)
    {
        const AnimationControl* pControl = GetMovementControl(eMovement);
        if (!pControl)
            continue;
        abHasControl[eMovement] = true;
        auiFrames[eMovement] = static_cast<uint32>(pControl->GetFrameCount());
    }

    // A start after a stop builds from nothing: a table built from the same
    // inputs serves as it is.
    GaitTransitionTable* pPrevious = m_pTransitions;
    if (!pPrevious)
    {
        for (GaitTransitionTable* pTable = SharedTransitionTables(); pTable; pTable = pTable->m_pNext)
        {
            if (pTable->Matches(abHasControl, auiFrames, *m_pData))
            {
                ++pTable->m_uiUsers;
                m_pTransitions = pTable;
                return;
            }
        }
    }

    auto* pTable = TARN_NEW_TAGGED("GaitPlugin::GaitActor::BuildTransitions", GaitTransitionTable);
    if (!pTable)
        return;
    pTable->m_uiUsers = 1;
    // A start without a stop keeps what the previous table held where the
    // new inputs do not overwrite it.
    TarnRenderer::TArray<GaitAnimTransition>& kTransitions = pTable->m_kTransitions;
    if (pPrevious)
        kTransitions = pPrevious->m_kTransitions;
    kTransitions.Resize(EAnimMovement::NB_TYPE);
    for (uint32 eMovement = 0; eMovement < EAnimMovement::NB_TYPE; ++eMovement)
    {
        if (!abHasControl[eMovement])
            continue;
        const uint32 uiFrames = auiFrames[eMovement];
        GaitAnimTransition& kTransition = kTransitions[eMovement];
        kTransition.m_kBehaviors.Resize(EAnimBehavior::NB_TYPE);
        for (GaitBehaviorTarget& kTarget : kTransition.m_kBehaviors)
            kTarget.m_kFrames.Resize(uiFrames);  // every entry starts as (255, 0xFFFF, 0)
    }

    bool bReported = false;
    for (const InfoSynchronization& kInfo : m_pData->m_kSynchronizations)
    {
        // Unknown movements or behaviours, and sources without a control,
        // have no place in the table.
        if (kInfo.m_kSource.m_eAnim >= EAnimMovement::NB_TYPE || kInfo.m_kTarget.m_eAnim >= EAnimMovement::NB_TYPE ||
            kInfo.m_eBehavior >= EAnimBehavior::NB_TYPE)
            continue;
        GaitAnimTransition& kTransition = kTransitions[kInfo.m_kSource.m_eAnim];
        if (kTransition.m_kBehaviors.GetSize() != EAnimBehavior::NB_TYPE)
            continue;
        TarnRenderer::TArray<GaitFrameTransition>& kFrames = kTransition.m_kBehaviors[kInfo.m_eBehavior].m_kFrames;
        if (kInfo.m_kSource.m_iFrameLast < kInfo.m_kSource.m_iFrameFirst)
            continue;
        const uint64 ui64Count = static_cast<uint64>(kInfo.m_kSource.m_iFrameLast) - kInfo.m_kSource.m_iFrameFirst + 1;
        for (uint64 i = 0; i < ui64Count; ++i)
        {
            const uint64 f = kInfo.m_kSource.m_iFrameFirst + i;
            if (f >= kFrames.GetSize())
            {
                TARN_ASSERT(false, "Transition frame overflow");
                bReported = true;
                continue;
            }
            GaitFrameTransition& kFrame = kFrames[static_cast<uint32>(f)];
            // The ease is kept in 16 bits: longer ones are cut to the longest.
            kFrame.m_uiEaseMs = static_cast<uint16>(kInfo.m_uiEaseMs > 0xFFFFu ? 0xFFFFu : kInfo.m_uiEaseMs);
            kFrame.m_eTargetAnim = static_cast<uint8>(kInfo.m_kTarget.m_eAnim);
            kFrame.m_iTargetFrame = static_cast<uint16>(kInfo.m_kTarget.m_iFrameFirst + i);
            if (!TARN_ASSERT(kFrame.m_iTargetFrame<=kInfo.m_kTarget.m_iFrameLast, "Target frame overflow"))
                bReported = true;
        }
    }

    ReleaseTransitionTable(pPrevious);
    m_pTransitions = pTable;
    if (pPrevious || bReported)
        return;
    for (uint32 e = 0; e < EAnimMovement::NB_TYPE; ++e)
    {
        pTable->m_abHasControl[e] = abHasControl[e];
        pTable->m_auiFrames[e] = auiFrames[e];
    }
    pTable->m_kSynchronizations = m_pData->m_kSynchronizations;
    pTable->m_bListed = true;
    pTable->m_pNext = SharedTransitionTables();
    SharedTransitionTables() = pTable;
}

bool GaitActor::TryTransition(uint32 eSource, uint32 eBehavior)
{
    const TarnRenderer::TArray<GaitAnimTransition>& kTransitions = GetTransitions();
    if (eSource >= kTransitions.GetSize() || eBehavior >= EAnimBehavior::NB_TYPE)
        return false;
    const GaitAnimTransition& kTransition = kTransitions[eSource];
    if (kTransition.m_kBehaviors.GetSize() != EAnimBehavior::NB_TYPE)
        return false;
    AnimationControl* pSource = GetMovementControl(eSource);
    if (!pSource)
        return false;
    const float fFrame = pSource->GetFrame();
    const TarnRenderer::TArray<GaitFrameTransition>& kFrames = kTransition.m_kBehaviors[eBehavior].m_kFrames;
    if (!(fFrame >= 0.0f) || fFrame >= static_cast<float>(kFrames.GetSize()))
        return false;
    const GaitFrameTransition& kFrame = kFrames[static_cast<uint32>(fFrame)];
    if (kFrame.m_eTargetAnim == 255)
        return false;

    const uint32 eTarget = kFrame.m_eTargetAnim;
    const float fEaseMs = static_cast<float>(kFrame.m_uiEaseMs);
    AnimationControl* pTarget = GetMovementControl(eTarget);
    if (pTarget)
        pTarget->SetFrame(static_cast<float>(kFrame.m_iTargetFrame));
    FadeOutMovement(eSource);
    Play(eTarget);
    // A second fade in the same direction re-times the one under way, so
    // the cross-fade lasts the ease.
    if (pTarget)
        pTarget->FadeIn(fEaseMs);
    pSource->FadeOut(fEaseMs);
    return true;
}

// ---------------------------------------------------------------------------
// Movement operations

void GaitActor::Play(uint32 eMovement)
{
    if (AnimationControl* pControl = GetMovementControl(eMovement))
        pControl->FadeIn(kFadeMs);
    m_eCurrentMovement = eMovement;
}

void GaitActor::FadeOutMovement(uint32 eMovement)
{
    if (AnimationControl* pControl = GetMovementControl(eMovement))
        pControl->FadeOut(kFadeMs);
}

void GaitActor::Freeze(uint32 eMovement)
{
    AnimationControl* pAnim = GetMovementControl(eMovement);
    if (!TARN_ASSERT(pAnim, "%s", ""))
        return;
    pAnim->SetSpeed(0.0f);
}

void GaitActor::SwitchTurn(uint32 eOn, uint32 eOff)
{
    FadeOutMovement(eOff);
    Play(eOn);
    if (AnimationControl* pOn = GetMovementControl(eOn))
        pOn->SetSpeed(1.0f);
    if (AnimationControl* pOff = GetMovementControl(eOff))
        pOff->SetSpeed(0.0f);
}

void GaitActor::SetTurnDirection(uint32 eFirst, uint32 eSecond, int32 iDirection)
{
    if (iDirection == 0)
    {
        Freeze(eFirst);
        Freeze(eSecond);
    }
    else if (iDirection >= 1)
        SwitchTurn(eFirst, eSecond);
    else
        SwitchTurn(eSecond, eFirst);
}

// ---------------------------------------------------------------------------
// Update

bool GaitActor::CheckAnimations()
{
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    const TarnAnim::AnimatedSkeleton* pInstance =
        pSkeleton ? pSkeleton->GetAnimatedSkeleton(m_pAnimActor->iAnimatedSkeletonIdx) : nullptr;
    if (!pInstance)
    {
        TARN_ASSERT(false, "Could not retreive AnimatedSkeleton");
        return false;
    }
    const uint32 uiInstance = m_pAnimActor->iAnimatedSkeletonIdx;
    for (const GaitAnimationTune& kTune : m_kTunes)
    {
        // The movement's own control, still on this instance, is one of the
        // instance's controls: no need to look through them.
        const AnimationControl* pOwn = pSkeleton->GetControl(kTune.m_iAnimCtrlIdx);
        if (pOwn && pOwn->GetInstanceIndex() == uiInstance && pOwn->GetSequenceIndex() == kTune.m_iAnimIdx)
            continue;
        bool bFound = false;
        for (uint32 uiId : pInstance->GetControlIds())
        {
            const AnimationControl* pControl = pSkeleton->GetControl(uiId);
            if (pControl && pControl->GetSequenceIndex() == kTune.m_iAnimIdx)
            {
                bFound = true;
                break;
            }
        }
        if (!bFound)
            return false;
    }
    return true;
}

void GaitActor::Update(const Math::Quaternion& kTarget, float fSpeed, float fElapsedMs)
{
    if (m_bStandby)
        return;
    if (!CheckAnimations())
    {
        TARN_ASSERT(false, "some animations are no longer available to handle gait, going to standby");
        m_bStandby = true;
        return;
    }
    m_kTargetRotation = kTarget;
    m_fRequestedSpeed = fSpeed;

    // The main control: the first faded-in control of blend mode 0, else 1.
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    const uint32 uiInstance = m_pAnimActor->iAnimatedSkeletonIdx;
    AnimationControl* pMain = nullptr;
    if (uiInstance < pSkeleton->GetAnimatedSkeletonSlotCount())
    {
        pMain = TarnAnim::AnimHelper::FindActiveControl(pSkeleton, uiInstance, 0);
        if (!pMain)
            pMain = TarnAnim::AnimHelper::FindActiveControl(pSkeleton, uiInstance, 1);
    }
    const uint32 uiFrame = pMain ? static_cast<uint32>(pMain->GetFrame()) : kInvalidIndex;
    const uint32 uiControlIndex = pMain ? pMain->GetId() : kInvalidIndex;
    if (uiFrame != kInvalidIndex && uiFrame == m_uiLastFrame && uiControlIndex == m_uiLastControlIndex)
        return;  // nothing moved since the previous update

    TurnInPlace(kTarget);
    LocomotionStep(fSpeed, kTarget, fElapsedMs);
    RaiseFootOnFloor(uiFrame, uiControlIndex);
    m_uiLastFrame = uiFrame;
    m_uiLastControlIndex = uiControlIndex;
}

void GaitActor::RaiseFootOnFloor(uint32 uiFrame, uint32 uiControlIndex)
{
    if (uiControlIndex == kInvalidIndex)
        return;
    for (const InfoFoFPoint& kPoint : m_pData->m_kFoFPoints)
    {
        if (kPoint.m_eAnim >= m_kTunes.GetSize() || m_kTunes[kPoint.m_eAnim].m_iAnimCtrlIdx != uiControlIndex)
            continue;
        const bool bSameControl = uiControlIndex == m_uiLastControlIndex;
        // The last frame is kInvalidIndex only before the first update with
        // a control: then the control is new and only an exact hit counts.
        const bool bPassed = bSameControl && m_uiLastFrame != kInvalidIndex && m_uiLastFrame < kPoint.m_iFrame &&
                             kPoint.m_iFrame <= uiFrame;
        const bool bLanded = !bSameControl && kPoint.m_iFrame == uiFrame;
        if (bPassed || bLanded)
        {
            if (m_pFootOnFloorCallback)
                m_pFootOnFloorCallback(m_pLink, m_pAnimActor, m_pFootOnFloorContext);
            return;
        }
    }
}

void GaitActor::StartWalking()
{
    // A uniform choice between the two starts.
    const uint32 eStart =
        Math::RandomRange(0, 1) == 0 ? EAnimMovement::IdleToWalkRight : EAnimMovement::IdleToWalkLeft;
    if (AnimationControl* pControl = GetMovementControl(eStart))
        pControl->SetTime(0.0f);
    FadeOutMovement(EAnimMovement::Idle);
    Play(eStart);
}

void GaitActor::LocomotionStep(float fSpeed, const Math::Quaternion& kTarget, float)
{
    float fEffectiveSpeed = fSpeed;
    if (fSpeed != 0.0f)
    {
        float fAmplitude = 0.0f;
        GetRotationDirection(kTarget, &fAmplitude);
        if (fAmplitude > kTurnAmplitudeThreshold)
            fEffectiveSpeed = 0.0f;  // turn in place first
    }

    switch (m_eCurrentMovement)
    {
        case EAnimMovement::Idle:
            if (fEffectiveSpeed != 0.0f)
                StartWalking();
            break;
        case EAnimMovement::TurnLeft:
        case EAnimMovement::TurnRight:
            if (fEffectiveSpeed != 0.0f)
            {
                FadeOutMovement(m_eCurrentMovement);
                StartWalking();
            }
            break;
        case EAnimMovement::Walk:
            if (fEffectiveSpeed == 0.0f)
            {
                // The walk must keep going until it reaches a frame that
                // hands over to a stop; one entered while no speed was
                // requested would otherwise stand still for good.
                AnimationControl* pWalk = GetMovementControl(EAnimMovement::Walk);
                if (pWalk && pWalk->GetSpeed() <= 0.0f)
                    pWalk->SetSpeed(kWalkSpeedFactor);
                TryTransition(EAnimMovement::Walk, EAnimBehavior::WalkStop);
            }
            else if (AnimationControl* pWalk = GetMovementControl(EAnimMovement::Walk))
            {
                pWalk->SetSpeed(fSpeed * kWalkSpeedFactor);
                pWalk->SetWeight(fSpeed * kWalkSpeedFactor);
            }
            break;
        case EAnimMovement::IdleToWalkRight:
        case EAnimMovement::IdleToWalkLeft:
            if (TryTransition(m_eCurrentMovement, EAnimBehavior::WalkStart))
            {
                if (AnimationControl* pLeft = GetMovementControl(EAnimMovement::TurnLeft))
                    pLeft->SetTime(0.0f);
                if (AnimationControl* pRight = GetMovementControl(EAnimMovement::TurnRight))
                    pRight->SetTime(0.0f);
            }
            break;
        case EAnimMovement::WalkToIdleRight:
        case EAnimMovement::WalkToIdleLeft:
            if (const AnimationControl* pControl = GetMovementControl(m_eCurrentMovement);
                pControl && pControl->GetFrame() >= pControl->GetFrameCount() - 1.0f)
            {
                FadeOutMovement(m_eCurrentMovement);
                Play(EAnimMovement::Idle);
                m_kReferenceRotation = m_pLink->GetWorldRotation();
            }
            break;
        default:
            break;  // Breath, the look movements, none
    }
}

// ---------------------------------------------------------------------------
// Steering

int32 GaitActor::GetRotationDirection(const Math::Quaternion& kTarget, float* pWay) const
{
    const Math::Quaternion kLink = m_pLink ? m_pLink->GetWorldRotation() : Math::Quaternion::Identity();
    const float fWay = 1.0f - std::fabs(Math::Quaternion::Dot(kLink, kTarget));
    if (pWay)
        *pWay = fWay;
    if (!(static_cast<double>(fWay) > 0.001))
        return 0;
    const Math::LocalVector3 kUnit(1.0f, 1.0f, 1.0f);
    const Math::LocalVector3 kDirection = kLink.Rotate(kUnit);
    const Math::LocalVector3 kNextDirection = kTarget.Rotate(kUnit);
    const Math::LocalVector3 kCross = Math::LocalVector3::Cross(kDirection, kNextDirection);
    return kCross.z > 0.0f ? 1 : -1;
}

void GaitActor::BuildStableRotations()
{
    m_kStableRotations.Clear();
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    for (const InfoStablePoint& kPoint : m_pData->m_kStablePoints)
    {
        // A point whose movement is unknown or has no control gives no
        // usable rotation: it is skipped.
        if (kPoint.m_eAnim >= EAnimMovement::NB_TYPE)
            continue;
        const AnimationControl* pControl = GetMovementControl(kPoint.m_eAnim);
        TarnAnim::Transform kTransform;
        if (!pControl || !TarnAnim::AnimHelper::SampleRootTransform(pSkeleton, pControl->GetMocapIndex(),
                                                                    pControl->GetSequenceIndex(), kPoint.m_fFrame,
                                                                    kTransform))
            continue;
        m_kStableRotations.Add(kTransform.kRotation);
    }
}

void GaitActor::TurnInPlace(const Math::Quaternion& kTarget)
{
    if (m_eCurrentMovement != EAnimMovement::Idle && m_eCurrentMovement != EAnimMovement::TurnLeft &&
        m_eCurrentMovement != EAnimMovement::TurnRight)
        return;

    Math::Quaternion kNearQuaternion = Math::Quaternion::Identity();
    float fBest = 0.0f;
    for (const Math::Quaternion& kStable : m_kStableRotations)
    {
        const Math::Quaternion kGroundWorld = m_kReferenceRotation * kStable;
        const float a = std::fabs(Math::Quaternion::Dot(kGroundWorld, kTarget));
        if (a > fBest)
        {
            fBest = a;
            kNearQuaternion = kGroundWorld;
        }
    }

    if (m_fRequestedSpeed > 0.0f)
    {
        const int32 iDirection = GetRotationDirection(kNearQuaternion);
        SetTurnDirection(EAnimMovement::TurnLeft, EAnimMovement::TurnRight, iDirection);
        return;
    }
    if (m_kAxes.GetSize() > 2)
        m_kAxes[2].m_fValue = 0.0f;
    for (uint32 eTurn : {uint32(EAnimMovement::TurnLeft), uint32(EAnimMovement::TurnRight)})
    {
        AnimationControl* pControl = GetMovementControl(eTurn);
        if (pControl && pControl->GetEffectiveWeight() != 0.0f)
            pControl->FadeOut(kFadeMs);
    }
}

void GaitActor::EnableRootMotion(bool bEnable)
{
    if (!TARN_ASSERT(m_pAnimActor, "TransitionEngine : No anim actor !"))
        return;
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    auto& kActors = RectifiedActors();
    if (pSkeleton && m_pLink)
    {
        TarnAnim::FrameProcessor* pProcessor = pSkeleton->GetFrameProcessor();
        if (bEnable)
        {
            kActors.Insert(m_pLink, this);
            pProcessor->SetAccumulationCallback(&GaitActor::RectifyRotation, &kActors);
        }
        else
        {
            if (GaitActor** ppActor = kActors.Lookup(m_pLink); ppActor && *ppActor == this)
                kActors.Remove(m_pLink);
            // The callback stays while another actor on this skeleton uses it.
            bool bSkeletonInUse = false;
            for (const auto& kEntry : kActors)
                if (kEntry.Value->GetSkeleton() == pSkeleton)
                {
                    bSkeletonInUse = true;
                    break;
                }
            if (!bSkeletonInUse && pProcessor->GetAccumulationCallback() == &GaitActor::RectifyRotation)
                pProcessor->SetAccumulationCallback(nullptr, nullptr);
            if (kActors.IsEmpty())
                kActors.Clear();
        }
    }
    if (m_pWorldContext && m_pWorldContext->pAnimManager)
        m_pWorldContext->pAnimManager->SetAccumulation(m_pAnimActor, bEnable);
}

void GaitActor::RectifyRotation(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                Math::Quaternion& kRotation, void* pUserData)
{
    auto* pActors = static_cast<TarnRenderer::TMap<TarnRenderer::Link*, GaitActor*>*>(pUserData);
    if (!pActors)
        return;
    // The root-motion pass visits the instances in order, and the links of
    // characters made one after another mostly follow in address order:
    // the entry after the previous one is tried before a search.
    static uint32 s_uiNextEntry = 0;
    uint32 uiEntry = s_uiNextEntry;
    if (uiEntry >= pActors->GetSize() || pActors->GetAt(uiEntry).Key != pSceneObject)
        uiEntry = pActors->Find(pSceneObject);
    if (uiEntry == TarnRenderer::TMap<TarnRenderer::Link*, GaitActor*>::uiNotFound)
        return;
    s_uiNextEntry = uiEntry + 1;
    GaitActor* const* ppActor = &pActors->GetAt(uiEntry).Value;
    GaitActor& kActor = **ppActor;
    if (kActor.m_bStandby)
        return;

    const bool bMoving = kActor.m_eCurrentMovement != EAnimMovement::Idle;
    const AnimationControl* pWalk =
        kActor.m_kTunes.GetSize() > EAnimMovement::Walk ? kActor.GetMovementControl(EAnimMovement::Walk) : nullptr;
    const float fEngagingWeight = pWalk ? pWalk->GetEffectiveWeight() : 0.0f;
    const bool bEngaged = fEngagingWeight >= 0.5f;
    if (bMoving)
    {
        const GaitRuntimeParameters& kParameters = kActor.m_pData->m_kParameters;
        const float d = Math::Quaternion::Dot(kRotation, kActor.m_kTargetRotation);
        const float fDeltaSign = d > 0.0f ? 1.0f : -1.0f;
        if (1.0f - std::fabs(d) > kParameters.RectificatorMinDelta || bEngaged)
        {
            const float x = std::max(kParameters.RectificatorMin, std::min(1.0f, fEngagingWeight));
            // The exponent counts whole powers, truncated toward zero.
            const float fExponent = kParameters.RectificatorExp;
            const int32 iExponent =
                std::isfinite(fExponent) ? static_cast<int32>(std::max(-1.0e6f, std::min(1.0e6f, fExponent))) : 0;
            const float t = IntegerPower(x, iExponent) * kParameters.RectificatorFactor;
            kRotation = Math::Quaternion::BlendNormalized(kRotation, kActor.m_kTargetRotation, t * fDeltaSign);
        }
    }
    if (kActor.m_pRotationCallback)
        kActor.m_pRotationCallback(pSceneObject, kTranslation, kRotation, kActor.m_pRotationContext);
}

void GaitActor::ApplyRotationToLink(TarnRenderer::Link* pSceneObject, Math::LocalVector3&, Math::Quaternion& kRotation,
                                    void*)
{
    if (pSceneObject)
        pSceneObject->SetWorldRotation(kRotation);
}

}  // namespace GaitPlugin
