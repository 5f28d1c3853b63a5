#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Data/GaitType.h"
#include "Data/SharedList.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnAnim {
class AnimationControl;
class Skeleton;
}  // namespace TarnAnim

namespace TarnRenderer {
class AnimActor;
class Link;
}  // namespace TarnRenderer

namespace TarnEngine {
struct WorldContext;
}

namespace GaitPlugin {

class GaitTransitionTable;

// The fastest a character can be asked to go (the walk then plays at
// kMaxSpeed x GaitActor::kWalkSpeedFactor of its authored rate).
inline constexpr float kMaxSpeed = 10.0f;

// The run-time controller of one animated character: turns a requested
// rotation and speed into idle, turn-in-place, start, walk and stop
// movements with synchronised hand-overs, and bends the root rotation toward
// the target while moving.
//
// How it behaves (docs/gait.md has the whole account):
// - a request is taken up at the next update, whatever the animation is
//   doing; a speed that is not a number, negative, infinite or above
//   kMaxRequestSpeed is reported and ignored, one below kMinSpeed stops;
// - standing, it turns in place toward the stable orientation nearest the
//   target (the nearest one right behind: clockwise, with TurnRight), plays
//   the turn in full weight until it arrives there, then starts;
// - walking, a new heading within the turn threshold is steered to; beyond
//   it the character stops and turns in place. The choice is made when the
//   request comes and holds until the next request, so it depends on the
//   angle alone, never on the moment within the step;
// - the rectifier's correction is a fraction per second (the gait
//   document's fraction per frame at the walk's own frame rate) and never
//   faster than kMaxCorrectionRate, so steering is the same at any step
//   size and never shows as a snap;
// - each foot-on-floor point the current movement passes is reported once,
//   also across a loop's wrap;
// - in standby the character keeps its last pose (its controls are held,
//   not removed), and starting a started character changes nothing.
//
// Borrows everything it is given (runtime data, world context, link, anim
// actor): they must outlive it. Owns the movement controls it creates on the
// actor's instance (one per movement) from Start to the next Start or its
// destruction. Engine thread only; the rectifier runs inside the animation
// tick on the same thread.
class GaitActor
{
public:
    // The owner's rotation callback: (scene object, position, rectified
    // rotation, context).
    using RotationCallback = void (*)(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                      Math::Quaternion& kRotation, void* pContext);
    // A foot touched the floor: (link, anim actor, context).
    using FootOnFloorCallback = void (*)(TarnRenderer::Link* pLink, TarnRenderer::AnimActor* pAnimActor,
                                         void* pContext);

    static constexpr float kFadeMs = 500.0f;
    // Fade between the idle and a turn in place: short, so that the turn's
    // root motion is not lost to the idle's weight.
    static constexpr float kTurnFadeMs = 150.0f;
    static constexpr float kWalkSpeedFactor = 0.75f;
    // 1 - |cos(half angle)| between heading and target above which the
    // character turns in place (about 74 degrees) rather than walks.
    static constexpr float kTurnAmplitudeThreshold = 0.2f;
    // A turn in place has arrived within this many degrees of its stable
    // orientation.
    static constexpr float kTurnArrivedDegrees = 1.0f;
    // Requested speeds below this stop the character: slower than a tenth
    // of its walk, it stands.
    static constexpr float kMinSpeed = 0.1f;
    static constexpr float kMaxRequestSpeed = kMaxSpeed;
    // The fastest the rectifier turns the character, in degrees per second.
    static constexpr float kMaxCorrectionRate = 45.0f;

    GaitActor() = default;
    ~GaitActor();
    GaitActor(const GaitActor&) = delete;
    GaitActor& operator=(const GaitActor&) = delete;

    void Init(const GaitRuntimeData* pData, const TarnEngine::WorldContext* pWorldContext, TarnRenderer::Link* pLink,
              TarnRenderer::AnimActor* pAnimActor, bool bStopExisting, bool bUseTransitionEngine);
    // True: Stop; false: Start. Reported (and nothing done) for invalid data.
    void SetStandby(bool bStandby);
    void Start();
    void Stop();
    // One engine step with the requested rotation and speed.
    void Update(const Math::Quaternion& kTarget, float fSpeed, float fElapsedMs);

    void SetRotationCallback(RotationCallback pCallback, void* pContext)
    {
        m_pRotationCallback = pCallback;
        m_pRotationContext = pContext;
    }
    void SetFootOnFloorCallback(FootOnFloorCallback pCallback, void* pContext)
    {
        m_pFootOnFloorCallback = pCallback;
        m_pFootOnFloorContext = pContext;
    }
    // A rotation callback that writes the rectified rotation to the scene
    // object: what an owner registers to steer the character (the steering
    // extension of the gait document).
    static void ApplyRotationToLink(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                    Math::Quaternion& kRotation, void* pContext);

    // Installs (true) or removes (false) the rectifier and switches root-motion
    // accumulation of the actor's instance.
    void EnableRootMotion(bool bEnable);
    // Whether every movement's sequence still has a control on the instance.
    bool CheckAnimations();
    // -1, 0 or +1: the way to turn from the link's rotation toward q (0 when
    // already there); pWay receives 1 - |link . q|.
    int32 GetRotationDirection(const Math::Quaternion& kTarget, float* pWay = nullptr) const;
    void TurnInPlace(const Math::Quaternion& kTarget);
    // Starts the hand-over of a behaviour from the source movement's current
    // frame; false when that frame has none.
    bool TryTransition(uint32 eSource, uint32 eBehavior);
    // The root-motion callback: bends the rotation toward the target while
    // moving, then calls the owner's rotation callback.
    static void RectifyRotation(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                                Math::Quaternion& kRotation, void* pUserData);

    // The control of a movement, null (reported) when it has none.
    TarnAnim::AnimationControl* GetMovementControl(uint32 eMovement) const;
    uint32 GetCurrentMovement() const { return m_eCurrentMovement; }
    bool IsStandby() const { return m_bStandby; }
    const Math::Quaternion& GetReferenceRotation() const { return m_kReferenceRotation; }
    const Math::Quaternion& GetTargetRotation() const { return m_kTargetRotation; }
    const TarnRenderer::TArray<Math::Quaternion>& GetStableRotations() const { return m_kStableRotations; }
    // The hand-over table (empty while stopped).
    const TarnRenderer::TArray<GaitAnimTransition>& GetTransitions() const;
    const TarnRenderer::TArray<GaitAnimationTune>& GetTunes() const { return m_kTunes; }
    // The axes (look left/right, look up/down, turn left/right), GetAxisCount
    // of them: 0 before the actor starts and after it stops.
    const AnimationAxis* GetAxes() const { return m_akAxes; }
    uint32 GetAxisCount() const { return m_uiAxisCount; }
    // Fetches the movements' controls into the cache ahead of an update.
    void PrefetchControls() const;
    TarnRenderer::Link* GetLink() const { return m_pLink; }
    TarnRenderer::AnimActor* GetAnimActor() const { return m_pAnimActor; }
    // The foot-on-floor point the foot-on-floor callback is being told of;
    // null outside the callback.
    const InfoFoFPoint* GetReportedFootOnFloor() const { return m_pReportedFootOnFloor; }

private:
    TarnAnim::Skeleton* GetSkeleton() const;
    // The next number of the actor's own random stream.
    uint32 NextRandom();
    void CreateMovementControls();
    void BuildAxes();
    void BuildTransitions();
    void BuildStableRotations();
    void Play(uint32 eMovement);
    void FadeOutMovement(uint32 eMovement);
    void Freeze(uint32 eMovement);
    void SwitchTurn(uint32 eOn, uint32 eOff);
    void SetTurnDirection(uint32 eFirst, uint32 eSecond, int32 iDirection);
    void LocomotionStep(float fSpeed, const Math::Quaternion& kTarget, float fElapsedMs);
    void StartWalking();
    // Reports the foot-on-floor points the current movement's control
    // passed since the previous update.
    void RaiseFootOnFloor();
    // The position a movement's control starts from when it becomes current.
    void NoteEntry(uint32 eMovement, float fPosition);
    // Takes up a request: a speed that cannot be walked is reported and the
    // previous one kept; false when the rotation is refused.
    float CheckSpeed(float fSpeed);
    // Removes the controls held since the last Stop.
    void ReleaseHeldControls();
    bool IsTurning() const;
    // +1 (left) or -1 (right, also right behind): the way from the link's
    // rotation toward q, however near.
    int32 TurnSign(const Math::Quaternion& kTarget) const;

    const GaitRuntimeData* m_pData = nullptr;
    const TarnEngine::WorldContext* m_pWorldContext = nullptr;
    TarnRenderer::Link* m_pLink = nullptr;
    TarnRenderer::AnimActor* m_pAnimActor = nullptr;
    RotationCallback m_pRotationCallback = nullptr;
    void* m_pRotationContext = nullptr;
    FootOnFloorCallback m_pFootOnFloorCallback = nullptr;
    void* m_pFootOnFloorContext = nullptr;
    TarnRenderer::TArray<GaitAnimationTune> m_kTunes;
    // Look left/right, look up/down, turn left/right while built (inside the
    // actor: every character holds them).
    static constexpr uint32 kAxisCount = 3;
    AnimationAxis m_akAxes[kAxisCount];
    uint32 m_uiAxisCount = 0;
    // Read-only, and shared with the actors started on the same data and
    // sequences (see BuildTransitions); null while stopped.
    TSharedList<GaitTransitionTable>::SEntry* m_pTransitions = nullptr;
    uint32 m_eCurrentMovement = kInvalidIndex;
    Math::Quaternion m_kReferenceRotation;
    Math::Quaternion m_kTargetRotation;
    float m_fRequestedSpeed = 0.0f;
    TarnRenderer::TArray<Math::Quaternion> m_kStableRotations;
    bool m_bStopExisting = false;
    bool m_bStandby = true;
    uint32 m_uiRandomState = 1;  // the actor's random stream (NextRandom)
    bool m_bUseTransitionEngine = true;
    bool m_bInitialised = false;
    uint32 m_uiLastControlIndex = kInvalidIndex;
    uint32 m_uiLastFrame = kInvalidIndex;
    // The walk's decision to stop (to rest, or to turn in place), made when
    // a request comes and kept until the next one.
    bool m_bStopPending = false;
    // A turn in place has arrived at its stable orientation.
    bool m_bTurnArrived = false;
    int32 m_iTurnDirection = 0;
    // The stable orientation the turn in place goes to.
    Math::Quaternion m_kTurnGoal;
    // The last request taken up, to tell a new one.
    Math::Quaternion m_kLastTarget;
    float m_fLastSpeed = -1.0f;
    bool m_bBadSpeedReported = false;
    // Foot-on-floor tracking: the movement and position last seen.
    uint32 m_eContactMovement = kInvalidIndex;
    float m_fContactPosition = 0.0f;
    const InfoFoFPoint* m_pReportedFootOnFloor = nullptr;
    // Controls kept on the instance in standby, so that the pose stays.
    TarnRenderer::TArray<uint32> m_kHeldControls;
    TarnRenderer::TArray<uint32> m_kHeldSequences;
};

}  // namespace GaitPlugin
