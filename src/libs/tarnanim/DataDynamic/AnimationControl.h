#pragma once

#include "Core/Types.h"

namespace TarnAnim {

class Skeleton;
struct EventInstance;

// How a control decides whether it loops.
enum class ELoopOverride : uint32
{
    Default = 0,  // loop exactly when the sequence loops
    Loop = 1,     // always loop
    NoLoop = 2,   // never loop
};

// Called when an event fires: (skeleton, event instance, event id, user data).
using EventCallback = void (*)(Skeleton* pSkeleton, EventInstance* pInstance, uint64 ui64EventId, void* pUserData);

// One sequence playing on one instance of a skeleton, with its own time,
// speed, weight, fade and loop behaviour.
//
// Owned by its skeleton's control table; users hold it only between creation
// (Skeleton::CreateAnimatedControl) and removal. Positions are whole frame +
// fraction, fraction in [0, 1), counted from the sequence's first frame;
// times are milliseconds. The effective weight is weight x fade factor.
class AnimationControl
{
public:
    // The fastest a control plays, in either direction, as a multiple of
    // its sequence's own rate.
    static constexpr float kMaxSpeed = 64.0f;

    enum EFlag : uint32
    {
        kFlagFrozen = 0,
        kFlagRemoveWhenFadedOut,
        kFlagSpeedFollowsFade,
        kFlagStopAtEnd,
        kFlagAccumulate,
        kFlagCount,
    };

    // Advances by fDeltaMs x speed: moves frame and fraction, loops or stops
    // at the ends, fades. A frozen control does not move.
    void Update(float fDeltaMs);
    // Starts a fade in or out over fLengthMs; a reversal continues from the
    // current factor. A length of 0 sets the factor at once.
    void FadeIn(float fLengthMs) { Fade(+1, fLengthMs); }
    void FadeOut(float fLengthMs) { Fade(-1, fLengthMs); }
    // Jumps to a time, clamped to [0, duration].
    void SetTime(float fTimeMs);
    // Jumps to a frame, limited to at most the last frame (no lower limit).
    void SetFrame(float fFrame);

    float GetFrame() const { return m_fFrame; }
    float GetFraction() const { return m_fFraction; }
    float GetPosition() const { return m_fFrame + m_fFraction; }
    float GetTime() const { return m_fTime; }
    float GetEffectiveWeight() const { return m_fWeight * m_fFadeFactor; }
    // Removal pending: remove-when-faded-out set and effective weight <= 0.
    bool IsFinished() const { return m_abFlags[kFlagRemoveWhenFadedOut] && GetEffectiveWeight() <= 0.0f; }
    // Whether the control loops at its ends (loop override, else the sequence).
    bool IsLooping() const
    {
        return m_eLoopOverride == ELoopOverride::Loop ||
               (m_eLoopOverride == ELoopOverride::Default && m_bSequenceLoops);
    }

    uint32 GetId() const { return m_uiId; }
    uint32 GetInstanceIndex() const { return m_uiInstanceIndex; }
    uint32 GetMocapIndex() const { return m_uiMocapIndex; }
    uint32 GetSequenceIndex() const { return m_uiSequenceIndex; }
    float GetWeight() const { return m_fWeight; }
    void SetWeight(float fWeight) { m_fWeight = fWeight; }
    float GetSpeed() const { return m_fSpeed; }
    // Held to -kMaxSpeed .. kMaxSpeed; a speed that is not a number stops
    // the control. However it is driven, a control never asks a tick for
    // more than a bounded amount of work.
    void SetSpeed(float fSpeed)
    {
        m_fSpeed =
            fSpeed > kMaxSpeed ? kMaxSpeed : (fSpeed < -kMaxSpeed ? -kMaxSpeed : (fSpeed == fSpeed ? fSpeed : 0.0f));
    }
    float GetSpeedFactor() const { return m_fSpeedFactor; }
    void SetSpeedFactor(float fFactor) { m_fSpeedFactor = fFactor; }
    float GetFadeFactor() const { return m_fFadeFactor; }
    float GetFadeRemaining() const { return m_fFadeRemaining; }
    float GetFadeLength() const { return m_fFadeLength; }
    int32 GetFadeDirection() const { return m_iFadeDirection; }
    ELoopOverride GetLoopOverride() const { return m_eLoopOverride; }
    void SetLoopOverride(ELoopOverride eOverride) { m_eLoopOverride = eOverride; }
    uint32 GetBlendMode() const { return m_uiBlendMode; }
    void SetBlendMode(uint32 uiBlendMode) { m_uiBlendMode = uiBlendMode; }
    bool GetFlag(EFlag eFlag) const { return m_abFlags[eFlag]; }
    void SetFlag(EFlag eFlag, bool bValue) { m_abFlags[eFlag] = bValue; }
    bool IsFrozen() const { return m_abFlags[kFlagFrozen]; }
    void SetFrozen(bool bFrozen) { m_abFlags[kFlagFrozen] = bFrozen; }
    float GetFramesPerMs() const { return m_fFramesPerMs; }
    float GetMsPerFrame() const { return m_fMsPerFrame; }
    float GetDuration() const { return m_fDuration; }
    float GetFrameCount() const { return m_fFrameCount; }
    void SetEventCallback(EventCallback pCallback, void* pUserData)
    {
        m_pEventCallback = pCallback;
        m_pEventUserData = pUserData;
    }
    EventCallback GetEventCallback() const { return m_pEventCallback; }
    void* GetEventUserData() const { return m_pEventUserData; }

private:
    friend class Skeleton;

    void Fade(int32 iDirection, float fLengthMs);
    void FadeStep(float fDeltaMs);

    // What the frame steps and the sweeps over a skeleton's controls read
    // and write every tick comes first, within 64 bytes; identity, duration
    // and event binding follow. Kept free of padding: a skeleton's controls
    // lie side by side (Skeleton::kControlsPerBlock), so every byte counts
    // on each sweep.
    float m_fFrame = 0.0f;
    float m_fFraction = 0.0f;
    float m_fSpeed = 1.0f;
    float m_fFramesPerMs = 0.0f;
    float m_fFrameCount = 0.0f;
    float m_fWeight = 0.0f;
    float m_fFadeFactor = 0.0f;
    float m_fFadeRemaining = 0.0f;
    float m_fFadeLength = 0.0f;
    int32 m_iFadeDirection = -1;
    float m_fTime = 0.0f;
    float m_fMsPerFrame = 0.0f;
    ELoopOverride m_eLoopOverride = ELoopOverride::Default;
    uint32 m_uiBlendMode = 0;
    bool m_abFlags[kFlagCount] = {};
    bool m_bSequenceLoops = false;
    uint32 m_uiId = kInvalidIndex;
    uint32 m_uiInstanceIndex = kInvalidIndex;
    uint32 m_uiMocapIndex = kInvalidIndex;
    uint32 m_uiSequenceIndex = kInvalidIndex;
    float m_fDuration = 0.0f;
    float m_fSpeedFactor = 1.0f;
    EventCallback m_pEventCallback = nullptr;
    void* m_pEventUserData = nullptr;
};

}  // namespace TarnAnim
