#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataDynamic/AccumulationSwitch.h"
#include "DataStatic/Mocap.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnRenderer {
class AnimActor;
class Link;
}  // namespace TarnRenderer

namespace TarnAnim {

class AnimationControl;
class Skeleton;

// Tune records. Every kind starts with mocap, sequence and control id
// (kInvalidIndex when unset) and a stored speed.
struct AnimationTuneBase
{
    uint32 m_uiMocapIndex = kInvalidIndex;
    uint32 m_uiSequenceIndex = kInvalidIndex;
    uint32 m_uiControlId = kInvalidIndex;
    float m_fStoredSpeed = 1.0f;
};

struct AnimationTuneProgress : AnimationTuneBase
{
    uint32 m_uiLoopCount = 0;
    uint32 m_uiCurrentFrame = 0;
    uint32 m_uiPreviousFrame = 0;
    uint32 m_uiFrameCount = 0;
    uint32 m_uiPlayLength = 0;
    uint32 m_uiHoldLength = kInvalidIndex;  // kInvalidIndex: never held
    uint32 m_uiStartOffset = 0;
    uint32 m_uiFurtherIndex = kInvalidIndex;
    bool m_bActive = true;
};

struct AnimationTuneNormal : AnimationTuneProgress
{
};

struct AnimationTuneAdditive : AnimationTuneProgress
{
};

struct ExtraAnimationTune : AnimationTuneBase
{
    uint32 m_uiReference = kInvalidIndex;
    uint32 m_uiFlags = 0;  // ExtraTrackDesc::EFlags
};

// One entry of the frame-transition table.
struct FrameTransition
{
    uint8 m_uiTargetTune = 255;       // 255: none
    uint16 m_uiTargetFrame = 0xFFFF;  // 0xFFFF: none
    uint16 m_uiFadeLength = 0;        // ms
    uint16 m_uiReserved = 0xFFFF;
};

// Plays a scripted chain of animations (tunes) on one instance of a
// skeleton: one tune is current at a time, and a frame-indexed table says at
// which global frame the current tune hands over to which tune, with which
// fade and at which target frame. The global frame comes from the event
// track, a tune of the actor's extra skeleton. The engine never blends
// poses: it drives its controls' fades, frames, speeds and frozen flags.
//
// Owned by its instance (AnimatedSkeleton::CreateTransitionEngine). Owns the
// controls of its tunes until Reset removes them; Reset returns it to an
// empty, stopped engine.
class TransitionEngine
{
public:
    enum ECommand : uint32
    {
        kCmdFrameZero = 0,
        kCmdResetProgress = 1,
        kCmdFadeIn = 2,
        kCmdFadeOut = 3,
        kCmdPlay = 4,
        kCmdPause = 5,
        kCmdNothing = 6,
        kCmdSetFrame = 7,
        kCmdMoveTo = 8,
        kCmdRemove = 9,
        kCmdEventFrame = 10,
        kCmdStepFrame = 11,
        kCmdSetSpeed = 12,
        kCmdStoreSpeed = 13,
        kCmdRestoreSpeed = 14,
        kCmdCount = 15,
    };
    enum ETuneList : uint32
    {
        kListNormal = 0,
        kListAdditive = 1,
        kListExtra = 2,
    };

    struct SetupParams
    {
        TarnAnim::IAccumulationSwitch* pOwner = nullptr;
        uint32 uiOwnerId = kInvalidIndex;
        uint32 uiMocapIndex = kInvalidIndex;
        TarnRenderer::Link* pSceneObject = nullptr;
        TarnRenderer::AnimActor* pAnimActor = nullptr;
        bool bKeepSceneTransform = false;
        float fGlobalSpeed = 1.0f;
        const TransitionData* pTransitionData = nullptr;  // null: the mocap's own
        bool bPlay = true;
    };

    // The correction of a step's root motion (GetAccumulation).
    struct SAccumulation
    {
        bool bHasSecondary = false;
        Math::LocalVector3 kSecondaryPosition;
        bool bHasModifier = false;
        Math::LocalVector3 kVector1;  // x effective weight
        Math::LocalVector3 kVector2;  // x effective weight
        Math::LocalVector3 kVector3;  // x effective weight
        Math::Quaternion kRotation;   // unscaled
    };

    // A behaviour attached to the engine: ticked after each update, started
    // with every run, released by Reset.
    struct RegisteredBehavior
    {
        void* pObject = nullptr;
        void (*pTick)(void* pObject, TransitionEngine* pEngine) = nullptr;
        void (*pStart)(void* pObject, TransitionEngine* pEngine, bool bFlag) = nullptr;
        void (*pRelease)(void* pObject) = nullptr;
    };

    TransitionEngine() = default;
    ~TransitionEngine();
    TransitionEngine(const TransitionEngine&) = delete;
    TransitionEngine& operator=(const TransitionEngine&) = delete;

    void Setup(const SetupParams& kParams);
    void Init(const TransitionData* pData, bool bPlay);
    void Load(const TransitionData* pData);
    void Start();
    void Update();
    void Play(bool bPlay);
    void Reset();
    void SetSpeed(float fSpeed);
    void StoreSpeeds();
    void RestoreSpeeds();
    void ReloadAdditiveTunes(const TransitionData* pData);
    void Suspend(bool bSuspend) { m_bSuspended = bSuspend; }

    // Sends a command to every tune of a list; the result is the last one
    // that is not -1, else -1.
    float SendCommand(ETuneList eList, uint32 uiCommand, float fArgument);
    // Sends a command to one normal tune; reported for an index beyond the list.
    float TuneCommand(uint32 uiTuneIndex, uint32 uiCommand, float fArgument);

    // Places the scene object from the root track (root track, not suspended).
    bool ApplyRootMotion();
    // The correction of root motion while running; false when stopped.
    bool GetAccumulation(SAccumulation& kOut) const;

    void RegisterBehavior(const RegisteredBehavior& kBehavior) { m_kBehaviors.Add(kBehavior); }

    uint32 GetGlobalFrame() const { return m_uiGlobalFrame; }
    uint32 GetGlobalLength() const { return m_uiGlobalLength; }
    AnimationControl* GetCurrentTuneControl() const;
    uint32 GetCurrentTuneIndex() const { return m_uiCurrentTune; }
    bool IsStopped() const { return m_bStopped; }
    bool IsSuspended() const { return m_bSuspended; }
    bool HasRootTrack() const { return m_uiRootTrack != kInvalidIndex; }
    void SetLoop(bool bLoop) { m_bLoop = bLoop; }

    TarnRenderer::Link* GetSceneObject() const { return m_pSceneObject; }
    void SetSceneObject(TarnRenderer::Link* pSceneObject) { m_pSceneObject = pSceneObject; }
    TarnRenderer::AnimActor* GetAnimActor() const { return m_pAnimActor; }
    void SetAnimActor(TarnRenderer::AnimActor* pAnimActor) { m_pAnimActor = pAnimActor; }
    void SetOwner(TarnAnim::IAccumulationSwitch* pOwner, uint32 uiOwnerId)
    {
        m_pOwner = pOwner;
        m_uiOwnerId = uiOwnerId;
    }

    const TarnRenderer::TArray<AnimationTuneNormal>& GetNormalTunes() const { return m_vecAnimationTune; }
    const TarnRenderer::TArray<AnimationTuneAdditive>& GetAdditiveTunes() const { return m_kAdditiveTunes; }
    const TarnRenderer::TArray<ExtraAnimationTune>& GetExtraTunes() const { return m_kExtraTunes; }
    const TarnRenderer::TArray<uint32>& GetFrameTable() const { return m_kFrameToTransition; }
    const TarnRenderer::TArray<FrameTransition>& GetFrameTransitions() const { return m_kFrameTransitions; }

private:
    void TransitionTo(uint32 uiCurrentTune);
    void SetInstanceAccumulation(bool bEnable);
    // No tunes, frame transitions or behaviours: nothing for Reset to release.
    bool IsEmpty() const;
    // pData, else the transition data of the mocap at m_uiMocapIndex (or null).
    const TransitionData* ResolveData(const TransitionData* pData) const;
    // Removes the controls of every tune and empties what Load builds.
    void ClearTunes();
    // Normal and additive tunes (with their accumulation modifiers), or the
    // additive tunes alone.
    void BuildAnimationTunes(const TransitionData& kData, bool bAdditiveOnly);
    void BuildExtraTunes(const TransitionData& kData);
    void BuildFrameTransitions(const TransitionData& kData);
    // Progress of the current tune from its control's whole frame.
    void UpdateProgress(AnimationTuneProgress& kTune, uint32 uiControlFrame) const;
    Skeleton* GetListSkeleton(ETuneList eList) const;
    // The tune's control, or null when it is unset, removed, or its id now
    // belongs to another control.
    AnimationControl* FindControl(ETuneList eList, const AnimationTuneBase& kTune) const;
    // One command on one tune of a list (index in range, command valid).
    float RunCommand(ETuneList eList, uint32 uiTuneIndex, uint32 uiCommand, float fArgument);
    // Samples the motion channel of the extra track with that flag and
    // reference (sequence index + 1) at its control's position.
    bool SampleTrack(uint32 uiFlag, uint32 uiReference, Transform& kOut) const;

    // What the frame processor's passes read for every instance on every
    // step comes first, so that a stopped engine costs a cache line or two.
    TarnRenderer::Link* m_pSceneObject = nullptr;
    uint32 m_uiRootTrack = kInvalidIndex;  // sequence index + 1
    bool m_bStopped = true;
    bool m_bSuspended = false;
    bool m_bLoop = false;
    bool m_bKeepSceneTransform = false;
    TarnRenderer::TArray<AnimationTuneNormal> m_vecAnimationTune;
    TarnRenderer::TArray<AnimationTuneAdditive> m_kAdditiveTunes;
    TarnRenderer::TArray<ExtraAnimationTune> m_kExtraTunes;
    TarnRenderer::TArray<RegisteredBehavior> m_kBehaviors;

    TarnAnim::IAccumulationSwitch* m_pOwner = nullptr;
    uint32 m_uiOwnerId = kInvalidIndex;
    Transform m_kStartTransform;
    Transform m_kInitialTransform;
    Transform m_kAccumulatedTransform;
    TarnRenderer::AnimActor* m_pAnimActor = nullptr;
    uint32 m_uiMocapIndex = kInvalidIndex;
    TarnRenderer::TArray<AccumModificatorData> m_kAccumModificators;
    // Per normal tune, the index of its animation description (and modifier).
    TarnRenderer::TArray<uint32> m_kNormalTuneDescription;
    uint32 m_uiFirstActiveFrame = 0;
    uint32 m_uiCurrentTune = kInvalidIndex;
    uint32 m_uiGlobalFrame = 0;
    uint32 m_uiGlobalLength = 0;
    uint32 m_uiSecondaryTrack = kInvalidIndex;  // sequence index + 1
    bool m_bEndLoopSuppressed = false;
    float m_fGlobalSpeed = 1.0f;
    float m_fDefaultFadeLength = 0.0f;
    TarnRenderer::TArray<uint32> m_kFrameToTransition;
    TarnRenderer::TArray<FrameTransition> m_kFrameTransitions;
};

}  // namespace TarnAnim
