#include "Control/GaitActor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

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

// Taken (recursively: building a table releases the one it replaces) by
// whatever changes a list the characters share (the rectified actors, the
// transition tables): characters may be updated on several threads. The
// rectifier reads its list without it: the list changes only when a
// character starts or stops, never during an animation tick.
std::recursive_mutex& SharedListsLock()
{
    static std::recursive_mutex s_kLock;
    return s_kLock;
}

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

// The walk and the movements that hand over to and from it: they play at
// one rate, the gait's, so that the frames a hand-over pairs stay paired
// through its cross-fade.
bool IsGaitMovement(uint32 eMovement)
{
    return eMovement == EAnimMovement::Walk || eMovement == EAnimMovement::IdleToWalkRight ||
           eMovement == EAnimMovement::IdleToWalkLeft || eMovement == EAnimMovement::WalkToIdleRight ||
           eMovement == EAnimMovement::WalkToIdleLeft;
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
// such start builds and reports again.
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
            if (!(m_kSynchronizations[i] == kOther[i]))
                return false;
        return true;
    }

    TarnRenderer::TArray<GaitAnimTransition> m_kTransitions;
    TarnRenderer::TArray<InfoSynchronization> m_kSynchronizations;
    bool m_abHasControl[EAnimMovement::NB_TYPE] = {};
    uint32 m_auiFrames[EAnimMovement::NB_TYPE] = {};
};

namespace {

TSharedList<GaitTransitionTable>& SharedTransitionTables()
{
    static TSharedList<GaitTransitionTable> s_kList;
    return s_kList;
}

void ReleaseTransitionTable(TSharedList<GaitTransitionTable>::SEntry* pTable)
{
    std::lock_guard<std::recursive_mutex> kLock(SharedListsLock());
    SharedTransitionTables().Release(pTable);
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
    // standby (its controls are still on the instance then); the controls
    // held for the pose go with it.
    if (m_bInitialised && (!m_bStandby || !m_kTunes.IsEmpty()))
        Stop();
    ReleaseHeldControls();
    ReleaseTransitionTable(m_pTransitions);
    m_pTransitions = nullptr;
    // A stopped actor never stays registered; this covers an actor destroyed
    // while its rectifier was still installed by other means.
    if (m_pLink)
    {
        std::lock_guard<std::recursive_mutex> kLock(SharedListsLock());
        auto& kActors = RectifiedActors();
        if (GaitActor** ppActor = kActors.Lookup(m_pLink); ppActor && *ppActor == this)
            kActors.Remove(m_pLink);
        if (kActors.IsEmpty())
            kActors.Clear();
    }
}

uint32 GaitActor::NextRandom()
{
    // xorshift32: the state is never 0.
    uint32 x = m_uiRandomState;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    m_uiRandomState = x;
    return x;
}

void GaitActor::Init(const GaitRuntimeData* pData, const TarnEngine::WorldContext* pWorldContext,
                     TarnRenderer::Link* pLink, TarnRenderer::AnimActor* pAnimActor, bool bStopExisting,
                     bool bUseTransitionEngine)
{
    // The actor's own stream, seeded from the engine's generator when the
    // character is made (on the engine thread): its draws then do not depend
    // on which thread updates it, or on the other characters' draws.
    m_uiRandomState = Math::Random32() | 1u;
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
    else if (m_bStandby)
        Start();  // a started character is not started again
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

    // The controls that held the pose in standby give way to the new ones.
    ReleaseHeldControls();
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
    m_bStopPending = false;
    m_bTurnArrived = false;
    m_iTurnDirection = 0;
    m_fLastSpeed = -1.0f;
    m_bBadSpeedReported = false;
    m_eContactMovement = kInvalidIndex;
    m_bStandby = false;
}

void GaitActor::Stop()
{
    EnableRootMotion(false);
    if (TarnAnim::Skeleton* pSkeleton = GetSkeleton())
    {
        // The controls stay on the instance, still, so that the character
        // keeps its last pose: without any control its pose would fall back
        // to the skeleton's rest at the origin. They go at the next Start or
        // with the actor. Control ids are reused: a control removed by
        // someone else may have given its id to another character's
        // control, which is not touched.
        for (const GaitAnimationTune& kTune : m_kTunes)
        {
            AnimationControl* pControl = pSkeleton->GetControl(kTune.m_iAnimCtrlIdx);
            if (!pControl || pControl->GetInstanceIndex() != m_pAnimActor->iAnimatedSkeletonIdx ||
                pControl->GetSequenceIndex() != kTune.m_iAnimIdx)
                continue;
            pControl->SetFlag(AnimationControl::kFlagSpeedFollowsFade, false);
            pControl->SetSpeed(0.0f);
            m_kHeldControls.Add(kTune.m_iAnimCtrlIdx);
            m_kHeldSequences.Add(kTune.m_iAnimIdx);
        }
    }
    m_eCurrentMovement = kInvalidIndex;
    m_bStandby = true;
    m_kTunes.Clear();
    m_uiAxisCount = 0;
    ReleaseTransitionTable(m_pTransitions);
    m_pTransitions = nullptr;
}

void GaitActor::ReleaseHeldControls()
{
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    for (uint32 i = 0; pSkeleton && i < m_kHeldControls.GetSize(); ++i)
    {
        const AnimationControl* pControl = pSkeleton->GetControl(m_kHeldControls[i]);
        if (pControl && pControl->GetInstanceIndex() == m_pAnimActor->iAnimatedSkeletonIdx &&
            pControl->GetSequenceIndex() == m_kHeldSequences[i])
            pSkeleton->RemoveAnimationControl(m_kHeldControls[i]);
    }
    m_kHeldControls.Clear();
    m_kHeldSequences.Clear();
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
        // actor sets itself: the turns, and the walk with its starts and
        // stops, which all play at the gait's rate (following the fade would
        // reset them to 1 at every frame step).
        pControl->SetFlag(AnimationControl::kFlagSpeedFollowsFade, !IsGaitMovement(eMovement) &&
                                                                       eMovement != EAnimMovement::TurnLeft &&
                                                                       eMovement != EAnimMovement::TurnRight);
        pControl->SetFlag(AnimationControl::kFlagAccumulate, kBind.m_bAccum != 0);
        pControl->SetBlendMode(kBind.m_eBlendMode);
        pControl->FadeOut(0.0f);
        kTune.m_iAnimCtrlIdx = pControl->GetId();
    }
}

void GaitActor::BuildAxes()
{
    m_akAxes[0] = AnimationAxis{EAnimMovement::LookLeft, EAnimMovement::LookRight, 0.0f};
    m_akAxes[1] = AnimationAxis{EAnimMovement::LookUp, EAnimMovement::LookDown, 0.0f};
    m_akAxes[2] = AnimationAxis{EAnimMovement::TurnLeft, EAnimMovement::TurnRight, 0.0f};
    m_uiAxisCount = kAxisCount;
}

void GaitActor::PrefetchControls() const
{
    const TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    if (!pSkeleton)
        return;
    for (const GaitAnimationTune& kTune : m_kTunes)
        if (const AnimationControl* pControl = pSkeleton->GetControl(kTune.m_iAnimCtrlIdx))
        {
            __builtin_prefetch(pControl);
            __builtin_prefetch(reinterpret_cast<const char*>(pControl) + sizeof(AnimationControl) - 1);
        }
}

AnimationControl* GaitActor::GetMovementControl(uint32 eMovement) const
{
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    if (!pSkeleton || eMovement >= m_kTunes.GetSize())
        return nullptr;
    const uint32 iAnimCtrlIdx = m_kTunes[eMovement].m_iAnimCtrlIdx;
    const uint32 iAnimCtrlCount = pSkeleton->GetControlSlotCount();
    // The condition's text, as written, is part of the report.
    // clang-format off
    if (!TARN_ASSERT(iAnimCtrlIdx<iAnimCtrlCount, "%s", ""))
        return nullptr;
    // clang-format on
    return pSkeleton->GetControl(iAnimCtrlIdx);
}

// ---------------------------------------------------------------------------
// Hand-over table

const TarnRenderer::TArray<GaitAnimTransition>& GaitActor::GetTransitions() const
{
    return m_pTransitions ? m_pTransitions->kValue.m_kTransitions : NoTransitions();
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
    std::lock_guard<std::recursive_mutex> kLock(SharedListsLock());
    TSharedList<GaitTransitionTable>& kShared = SharedTransitionTables();
    TSharedList<GaitTransitionTable>::SEntry* pPrevious = m_pTransitions;
    if (!pPrevious)
    {
        m_pTransitions = kShared.Share(
            [&](const GaitTransitionTable& kTable) { return kTable.Matches(abHasControl, auiFrames, *m_pData); });
        if (m_pTransitions)
            return;
    }

    TSharedList<GaitTransitionTable>::SEntry* pEntry = kShared.Make("GaitPlugin::GaitActor::BuildTransitions");
    if (!pEntry)
        return;
    GaitTransitionTable& kTable = pEntry->kValue;
    // A start without a stop keeps what the previous table held where the
    // new inputs do not overwrite it.
    TarnRenderer::TArray<GaitAnimTransition>& kTransitions = kTable.m_kTransitions;
    if (pPrevious)
        kTransitions = pPrevious->kValue.m_kTransitions;
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
            // The condition's text, as written, is part of the report.
            // clang-format off
            if (!TARN_ASSERT(kFrame.m_iTargetFrame<=kInfo.m_kTarget.m_iFrameLast, "Target frame overflow"))
                bReported = true;
            // clang-format on
        }
    }

    ReleaseTransitionTable(pPrevious);
    m_pTransitions = pEntry;
    if (pPrevious || bReported)
        return;
    for (uint32 e = 0; e < EAnimMovement::NB_TYPE; ++e)
    {
        kTable.m_abHasControl[e] = abHasControl[e];
        kTable.m_auiFrames[e] = auiFrames[e];
    }
    kTable.m_kSynchronizations = m_pData->m_kSynchronizations;
    kShared.List(pEntry);
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
    // The frames a hand-over pairs were made for one rate: the target goes
    // on at the source's, so that through the cross-fade the feet of both
    // stay together (a walk at 0.75 handing over to a stop at 1 would slide
    // the standing foot by centimetres).
    if (pTarget && pSource->GetSpeed() > 0.0f)
        pTarget->SetSpeed(pSource->GetSpeed());
    FadeOutMovement(eSource);
    Play(eTarget);
    NoteEntry(eTarget, static_cast<float>(kFrame.m_iTargetFrame));
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
    // Short fades, and the idle out of the way: the turn's root motion must
    // turn the character by the turn's own angle, not a blend of it.
    if (AnimationControl* pOff = GetMovementControl(eOff))
    {
        pOff->FadeOut(kTurnFadeMs);
        pOff->SetSpeed(0.0f);
    }
    if (AnimationControl* pIdle = GetMovementControl(EAnimMovement::Idle))
        pIdle->FadeOut(kTurnFadeMs);
    AnimationControl* pOn = GetMovementControl(eOn);
    if (pOn)
    {
        // A turn that is silent, or over, starts from its beginning.
        if (pOn->GetEffectiveWeight() < 0.5f || pOn->GetFrame() >= pOn->GetFrameCount() - 1.0f)
            pOn->SetTime(0.0f);
        pOn->FadeIn(kTurnFadeMs);
        pOn->SetSpeed(1.0f);
    }
    m_eCurrentMovement = eOn;
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
    m_iTurnDirection = iDirection > 0 ? 1 : (iDirection < 0 ? -1 : 0);
    m_bTurnArrived = false;
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

float GaitActor::CheckSpeed(float fSpeed)
{
    // Not a speed the animation can follow: reported once, and the last
    // good request stays.
    if (!(fSpeed >= 0.0f && fSpeed <= kMaxRequestSpeed))
    {
        if (!m_bBadSpeedReported)
            TARN_ASSERT(false, "GaitActor : a speed of %g is not from 0 to %g: ignored", static_cast<double>(fSpeed),
                        static_cast<double>(kMaxRequestSpeed));
        m_bBadSpeedReported = true;
        return m_fRequestedSpeed;
    }
    m_bBadSpeedReported = false;
    // Below the floor the character stands: a walk that slow would take
    // seconds for every step.
    return fSpeed < kMinSpeed ? 0.0f : fSpeed;
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
    // A rotation of no length or not a number has no direction: the last
    // target stays.
    const float fLengthSq = Math::Quaternion::Dot(kTarget, kTarget);
    if (fLengthSq > 1e-12f && std::isfinite(fLengthSq))
        m_kTargetRotation = kTarget.Normalized();
    m_fRequestedSpeed = CheckSpeed(fSpeed);
    const bool bNewRequest = m_fRequestedSpeed != m_fLastSpeed || !(m_kTargetRotation == m_kLastTarget);
    m_fLastSpeed = m_fRequestedSpeed;
    m_kLastTarget = m_kTargetRotation;
    // The walk's decision, made when a request comes (see LocomotionStep).
    if (bNewRequest && m_eCurrentMovement == EAnimMovement::Walk)
    {
        float fAmplitude = 0.0f;
        GetRotationDirection(m_kTargetRotation, &fAmplitude);
        m_bStopPending = m_fRequestedSpeed == 0.0f || fAmplitude > kTurnAmplitudeThreshold;
    }

    // The contacts of what the last tick played come first: a hand-over
    // made now must not hide them.
    RaiseFootOnFloor();
    // Every update acts: a request is taken up at once, whatever frame the
    // animation is on.
    TurnInPlace(m_kTargetRotation);
    LocomotionStep(m_fRequestedSpeed, m_kTargetRotation, fElapsedMs);
}

void GaitActor::NoteEntry(uint32 eMovement, float fPosition)
{
    m_eContactMovement = eMovement;
    // The first look after an entry counts a point the entry lands on.
    m_fContactPosition = fPosition - 1e-3f;
}

void GaitActor::RaiseFootOnFloor()
{
    const AnimationControl* pControl =
        m_eCurrentMovement < m_kTunes.GetSize() ? GetMovementControl(m_eCurrentMovement) : nullptr;
    if (!pControl)
        return;
    const float fNow = pControl->GetPosition();
    if (m_eContactMovement != m_eCurrentMovement)
    {
        // Entered some other way than a hand-over: from where it is now.
        m_eContactMovement = m_eCurrentMovement;
        m_fContactPosition = fNow;
        return;
    }
    const float fFrom = m_fContactPosition;
    m_fContactPosition = fNow;
    if (fNow == fFrom)
        return;
    // Forward play, across the wrap of a loop when the position went back.
    const bool bWrapped = fNow < fFrom;
    for (const InfoFoFPoint& kPoint : m_pData->m_kFoFPoints)
    {
        if (kPoint.m_eAnim != m_eCurrentMovement)
            continue;
        const float fPoint = static_cast<float>(kPoint.m_iFrame);
        const bool bPassed = bWrapped ? (fFrom < fPoint || fPoint <= fNow) : (fFrom < fPoint && fPoint <= fNow);
        if (bPassed && m_pFootOnFloorCallback)
        {
            m_pReportedFootOnFloor = &kPoint;
            m_pFootOnFloorCallback(m_pLink, m_pAnimActor, m_pFootOnFloorContext);
            m_pReportedFootOnFloor = nullptr;
        }
    }
}

void GaitActor::StartWalking()
{
    // The turns go silent and still: one left running would reach its end
    // while faded out, and the next turn would find it over.
    for (uint32 eTurn : {uint32(EAnimMovement::TurnLeft), uint32(EAnimMovement::TurnRight)})
    {
        if (AnimationControl* pTurn = GetMovementControl(eTurn); pTurn && pTurn->GetEffectiveWeight() > 0.0f)
        {
            pTurn->FadeOut(kTurnFadeMs);
            pTurn->SetSpeed(0.0f);
        }
    }
    m_iTurnDirection = 0;
    m_bTurnArrived = false;
    // A uniform choice between the two starts.
    const uint32 eStart = (NextRandom() >> 31) == 0 ? EAnimMovement::IdleToWalkRight : EAnimMovement::IdleToWalkLeft;
    if (AnimationControl* pControl = GetMovementControl(eStart))
    {
        pControl->SetTime(0.0f);
        // The start plays at the rate the walk will have.
        pControl->SetSpeed(m_fRequestedSpeed * kWalkSpeedFactor);
    }
    FadeOutMovement(EAnimMovement::Idle);
    Play(eStart);
    NoteEntry(eStart, 0.0f);
}

bool GaitActor::IsTurning() const
{
    return m_eCurrentMovement == EAnimMovement::TurnLeft || m_eCurrentMovement == EAnimMovement::TurnRight;
}

void GaitActor::LocomotionStep(float fSpeed, const Math::Quaternion& kTarget, float)
{
    float fAmplitude = 0.0f;
    GetRotationDirection(kTarget, &fAmplitude);
    const bool bFar = fAmplitude > kTurnAmplitudeThreshold;

    switch (m_eCurrentMovement)
    {
        case EAnimMovement::Idle:
            // A near target is walked to at once; a far one is turned to in
            // place first (TurnInPlace), unless there is nothing to turn to.
            if (fSpeed != 0.0f)
                StartWalking();
            break;
        case EAnimMovement::TurnLeft:
        case EAnimMovement::TurnRight:
            // A turn plays until it has arrived at its stable orientation,
            // then the character starts, wherever the target is by then.
            if (fSpeed != 0.0f && m_bTurnArrived)
                StartWalking();
            break;
        case EAnimMovement::Walk:
        {
            AnimationControl* pWalk = GetMovementControl(EAnimMovement::Walk);
            if (m_bStopPending || fSpeed == 0.0f)
            {
                // The walk goes on at least at its usual pace until a frame
                // that hands over to a stop: one entered slowly, or with no
                // speed at all, would otherwise take seconds or stand still.
                if (pWalk && pWalk->GetSpeed() < kWalkSpeedFactor)
                    pWalk->SetSpeed(kWalkSpeedFactor);
                TryTransition(EAnimMovement::Walk, EAnimBehavior::WalkStop);
            }
            else if (pWalk)
            {
                pWalk->SetSpeed(fSpeed * kWalkSpeedFactor);
                pWalk->SetWeight(fSpeed * kWalkSpeedFactor);
            }
            break;
        }
        case EAnimMovement::IdleToWalkRight:
        case EAnimMovement::IdleToWalkLeft:
            // A new speed changes the start's rate as it will the walk's.
            if (fSpeed > 0.0f)
                if (AnimationControl* pStart = GetMovementControl(m_eCurrentMovement))
                    pStart->SetSpeed(fSpeed * kWalkSpeedFactor);
            if (TryTransition(m_eCurrentMovement, EAnimBehavior::WalkStart))
            {
                for (uint32 eTurn : {uint32(EAnimMovement::TurnLeft), uint32(EAnimMovement::TurnRight)})
                {
                    if (AnimationControl* pTurn = GetMovementControl(eTurn))
                    {
                        pTurn->SetTime(0.0f);
                        pTurn->SetSpeed(0.0f);
                    }
                }
                // The walk's first decision: a request that came during the
                // start holds as it is now.
                m_bStopPending = fSpeed == 0.0f || bFar;
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
                m_bStopPending = false;
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
    return TurnSign(kTarget);
}

int32 GaitActor::TurnSign(const Math::Quaternion& kTarget) const
{
    const Math::Quaternion kLink = m_pLink ? m_pLink->GetWorldRotation() : Math::Quaternion::Identity();
    const Math::LocalVector3 kUnit(1.0f, 1.0f, 1.0f);
    const Math::LocalVector3 kDirection = kLink.Rotate(kUnit);
    const Math::LocalVector3 kNextDirection = kTarget.Rotate(kUnit);
    const Math::LocalVector3 kCross = Math::LocalVector3::Cross(kDirection, kNextDirection);
    // Right behind (the cross product all but vanishes), the turn is always
    // clockwise: rounding must not choose the way.
    return kCross.z > 1e-4f ? 1 : -1;
}

void GaitActor::BuildStableRotations()
{
    m_kStableRotations.Clear();
    // Exactly as many as there are points at most: every character holds one.
    m_kStableRotations.Reserve(m_pData->m_kStablePoints.GetSize());
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    for (const InfoStablePoint& kPoint : m_pData->m_kStablePoints)
    {
        // A point whose movement is unknown or has no control gives no
        // usable rotation: it is skipped.
        if (kPoint.m_eAnim >= EAnimMovement::NB_TYPE)
            continue;
        const AnimationControl* pControl = GetMovementControl(kPoint.m_eAnim);
        TarnAnim::Transform kTransform;
        if (!pControl ||
            !TarnAnim::AnimHelper::SampleRootTransform(pSkeleton, pControl->GetMocapIndex(),
                                                       pControl->GetSequenceIndex(), kPoint.m_fFrame, kTransform))
            continue;
        m_kStableRotations.Add(kTransform.kRotation);
    }
}

void GaitActor::TurnInPlace(const Math::Quaternion& kTarget)
{
    if (m_eCurrentMovement != EAnimMovement::Idle && !IsTurning())
        return;

    // The stable orientation nearest the target, relative to where the
    // character last came to rest.
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

    if (m_fRequestedSpeed <= 0.0f)
    {
        // No speed: a turn under way gives way to the idle, where it is.
        if (m_uiAxisCount > 2)
            m_akAxes[2].m_fValue = 0.0f;
        if (IsTurning())
        {
            for (uint32 eTurn : {uint32(EAnimMovement::TurnLeft), uint32(EAnimMovement::TurnRight)})
            {
                if (AnimationControl* pControl = GetMovementControl(eTurn);
                    pControl && pControl->GetEffectiveWeight() != 0.0f)
                {
                    pControl->FadeOut(kTurnFadeMs);
                    pControl->SetSpeed(0.0f);
                }
            }
            if (AnimationControl* pIdle = GetMovementControl(EAnimMovement::Idle))
                pIdle->FadeIn(kTurnFadeMs);
            m_eCurrentMovement = EAnimMovement::Idle;
            m_iTurnDirection = 0;
            m_bTurnArrived = false;
        }
        return;
    }

    // The way to the stable orientation, "there" within a degree (closer
    // than GetRotationDirection's own dead zone of about 5 degrees).
    float fWay = 0.0f;
    GetRotationDirection(kNearQuaternion, &fWay);
    const float fArrived = 1.0f - std::cos(0.5f * kTurnArrivedDegrees * 3.14159265f / 180.0f);
    const int32 iDirection = fWay <= fArrived ? 0 : TurnSign(kNearQuaternion);

    if (m_eCurrentMovement == EAnimMovement::Idle)
    {
        // Standing: only a target beyond the turn threshold is turned to in
        // place; a nearer one is walked to (LocomotionStep).
        float fAmplitude = 0.0f;
        GetRotationDirection(kTarget, &fAmplitude);
        if (fAmplitude <= kTurnAmplitudeThreshold || iDirection == 0)
            return;
        m_kTurnGoal = kNearQuaternion;
        SetTurnDirection(EAnimMovement::TurnLeft, EAnimMovement::TurnRight, iDirection);
        return;
    }

    if (m_bTurnArrived && std::fabs(Math::Quaternion::Dot(m_kTurnGoal, kNearQuaternion)) > 0.9999f)
        return;  // there already; LocomotionStep starts
    const bool bSameGoal = std::fabs(Math::Quaternion::Dot(m_kTurnGoal, kNearQuaternion)) > 0.9999f;
    m_kTurnGoal = kNearQuaternion;
    if (iDirection == 0 || (bSameGoal && iDirection == -m_iTurnDirection))
    {
        // Arrived, or just past it: the turn stops on the frame it is on.
        Freeze(EAnimMovement::TurnLeft);
        Freeze(EAnimMovement::TurnRight);
        m_bTurnArrived = true;
        return;
    }
    m_bTurnArrived = false;
    if (iDirection != m_iTurnDirection)
    {
        SetTurnDirection(EAnimMovement::TurnLeft, EAnimMovement::TurnRight, iDirection);
        return;
    }
    // Still on the way: a turn that reached its end before its goal plays
    // again from its start (the same pose, turned), so that it never stalls.
    AnimationControl* pTurn = GetMovementControl(m_eCurrentMovement);
    if (pTurn && pTurn->GetFrame() >= pTurn->GetFrameCount() - 1.0f)
    {
        pTurn->SetTime(0.0f);
        pTurn->SetSpeed(1.0f);
    }
}

void GaitActor::EnableRootMotion(bool bEnable)
{
    if (!TARN_ASSERT(m_pAnimActor, "TransitionEngine : No anim actor !"))
        return;
    TarnAnim::Skeleton* pSkeleton = GetSkeleton();
    std::unique_lock<std::recursive_mutex> kLock(SharedListsLock());
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
    kLock.unlock();
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
    thread_local uint32 s_uiNextEntry = 0;
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

    // A turn in place turns by its own animation, feet planted: the
    // rectifier bends only what moves over the ground.
    const bool bMoving = kActor.m_eCurrentMovement != EAnimMovement::Idle && !kActor.IsTurning();
    const AnimationControl* pWalk =
        kActor.m_kTunes.GetSize() > EAnimMovement::Walk ? kActor.GetMovementControl(EAnimMovement::Walk) : nullptr;
    const float fEngagingWeight = pWalk ? pWalk->GetEffectiveWeight() : 0.0f;
    const bool bEngaged = fEngagingWeight >= 0.5f;
    // The time this pass covers: the correction is a rate, so that it does
    // not depend on how many passes a step makes.
    const TarnAnim::Skeleton* pSkeleton = kActor.GetSkeleton();
    const float fPassMs =
        pSkeleton && kActor.m_pAnimActor
            ? pSkeleton->GetFrameProcessor()->GetRootMotionStepMs(kActor.m_pAnimActor->iAnimatedSkeletonIdx)
            : 0.0f;
    if (bMoving && fPassMs > 0.0f)
    {
        const GaitRuntimeParameters& kParameters = kActor.m_pData->m_kParameters;
        const float d = Math::Quaternion::Dot(kRotation, kActor.m_kTargetRotation);
        const float fDeltaSign = d > 0.0f ? 1.0f : -1.0f;
        // Already on the target (to float precision) there is nothing to
        // bend; most walking characters are, most of the time.
        if (std::fabs(d) < 1.0f && (1.0f - std::fabs(d) > kParameters.RectificatorMinDelta || bEngaged))
        {
            const float x = std::max(kParameters.RectificatorMin, std::min(1.0f, fEngagingWeight));
            // The exponent counts whole powers, truncated toward zero.
            const float fExponent = kParameters.RectificatorExp;
            const int32 iExponent =
                std::isfinite(fExponent) ? static_cast<int32>(std::max(-1.0e6f, std::min(1.0e6f, fExponent))) : 0;
            // The document's fraction t is per frame of the walk: over a
            // pass of fPassMs the part of the way left is 1 - (1 - t)^frames.
            const float t = std::max(0.0f, std::min(1.0f, IntegerPower(x, iExponent) * kParameters.RectificatorFactor));
            const float fFrameMs = pWalk && pWalk->GetMsPerFrame() > 0.0f ? pWalk->GetMsPerFrame() : 1000.0f / 30.0f;
            float u = 1.0f - std::pow(1.0f - t, fPassMs / fFrameMs);
            // And never faster than kMaxCorrectionRate.
            const float fAngle = 2.0f * std::acos(std::min(1.0f, std::fabs(d)));
            const float fMaxAngle = kMaxCorrectionRate * (3.14159265f / 180.0f) * (fPassMs / 1000.0f);
            if (u * fAngle > fMaxAngle)
                u = fMaxAngle / fAngle;
            kRotation = Math::Quaternion::BlendNormalized(kRotation, kActor.m_kTargetRotation, u * fDeltaSign);
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
