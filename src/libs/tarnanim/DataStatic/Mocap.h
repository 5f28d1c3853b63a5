#pragma once

#include <cstring>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnAnim {

// A fixed-length name (channels, sequences, mocaps): at most 63 characters,
// always terminated.
struct FixedName
{
    static constexpr uint32 Capacity = 64;
    char m_acText[Capacity] = {};

    void Set(const char* pText)
    {
        m_acText[0] = '\0';
        if (pText)
        {
            strncpy(m_acText, pText, Capacity - 1);
            m_acText[Capacity - 1] = '\0';
        }
    }
    const char* Get() const { return m_acText; }
    bool Equals(const char* pText) const { return pText && strcmp(m_acText, pText) == 0; }
    bool EqualsNoCase(const char* pText) const;
    bool operator==(const FixedName& kOther) const { return strcmp(m_acText, kOther.m_acText) == 0; }
};

// A rotation and a translation: one channel's local transform in one frame,
// or a root transform.
struct Transform
{
    Math::Quaternion kRotation;
    Math::LocalVector3 kTranslation;
};

// Interpolation of a sequence's keys between whole frames.
enum EInterpolation : uint32
{
    kInterpolationLinear = 0,     // rotations by normalised lerp, translations linearly
    kInterpolationSpherical = 1,  // rotations by slerp, translations linearly
    kInterpolationHigh = 2,       // not supported: refused when sampled
};

// One animation of a mocap: keys for every frame and channel.
//
// Frames are numbered from 0 (the sequence's first frame) to
// GetFrameCount() - 1. A looping sequence wraps from its last frame back to
// frame 0, so its last key repeats the pose of its first (with the root
// channel moved on by one cycle). The duration in seconds is
// (frame count - 1) / frame rate.
struct Sequence
{
    FixedName m_kName;
    uint32 m_uiFirstFrame = 0;
    uint32 m_uiLastFrame = 0;
    float m_fFrameRate = 30.0f;
    float m_fDuration = 0.0f;
    bool m_bLoop = false;
    uint32 m_uiBlendMode = 0;
    uint32 m_uiInterpolation = kInterpolationLinear;
    // Frame-major: the key of (frame, channel) is at frame * channels + channel.
    TarnRenderer::TArray<Transform> m_kKeys;

    uint32 GetFrameCount() const { return m_uiLastFrame - m_uiFirstFrame + 1; }
};

// How a transition-engine tune's root motion is corrected (see docs/formats.md).
struct AccumModificatorData
{
    Math::LocalVector3 kVector1;
    Math::LocalVector3 kVector2;
    Math::Quaternion kRotation;
    Math::LocalVector3 kVector3;
};

// Transition data of a mocap: the scripted chain a transition engine plays.
struct AnimationDesc
{
    FixedName m_kAnimSetName;
    FixedName m_kSequenceName;
    uint32 m_uiSequenceIndex = kInvalidIndex;  // kInvalidIndex: look the name up
    AccumModificatorData m_kAccumModificator;
    uint32 m_uiHoldLength = kInvalidIndex;  // kInvalidIndex: never held
    uint32 m_uiStartOffset = 0;
    float m_fPlayFactor = 1.0f;
    bool m_bAdditive = false;
};

struct ExtraTrackDesc
{
    enum EFlags : uint32
    {
        kRootTrack = 1u << 0,
        kSecondaryTrack = 1u << 1,
        kEventTrack = 1u << 2,
        kFourth = 1u << 3,
    };
    FixedName m_kAnimSetName;
    uint32 m_uiSequenceIndex = 0;
    uint32 m_uiFlags = 0;
};

struct FrameTransitionDesc
{
    uint32 m_uiSourceTune = 0;
    uint32 m_uiFirstFrame = 0;
    uint32 m_uiLastFrame = 0;
    float m_fFadeLength = 0.0f;
    uint32 m_uiTargetTune = 0;
    uint32 m_uiTargetFirstFrame = 0;
    uint32 m_uiTargetFrameLimit = 0;
};

struct TransitionData
{
    uint32 m_uiFirstActiveFrame = 0;
    Math::Quaternion m_kInitialRotation;
    Math::LocalVector3 m_kInitialPosition;
    TarnRenderer::TArray<AnimationDesc> m_kAnimations;
    TarnRenderer::TArray<ExtraTrackDesc> m_kExtraTracks;
    TarnRenderer::TArray<FrameTransitionDesc> m_kFrameTransitions;
};

// Motion data of one model: its channels (joints) and its sequences.
//
// Channels are ordered by hierarchy level (every parent before its
// children); m_kChannelRanges holds the first channel of each level and a
// final entry equal to the channel count. The three accumulation channels
// are: 0, the skeleton's root; 1, the motion channel whose transform is the
// character's root motion (sampled by SampleRootTransform); 2, the pelvis.
// Each is kInvalidIndex when absent. Owns its sequences and transition data.
class Mocap
{
public:
    Mocap() = default;
    ~Mocap();
    Mocap(const Mocap&) = delete;
    Mocap& operator=(const Mocap&) = delete;

    uint32 GetChannelCount() const { return m_kChannelNames.GetSize(); }
    uint32 GetLevelCount() const { return m_uiLevelCount; }
    uint32 GetSequenceCount() const { return m_kSequences.GetSize(); }
    const Sequence* GetSequence(uint32 uiIndex) const
    {
        return uiIndex < m_kSequences.GetSize() ? m_kSequences[uiIndex] : nullptr;
    }
    // Index of the first sequence with exactly that name, or -1.
    int32 FindSequence(const char* pName) const;
    // The same, comparing names without regard to letter case.
    int32 FindSequenceNoCase(const char* pName) const;
    const TransitionData* GetTransitionData() const { return m_pTransitionData; }

    FixedName m_kName;
    TarnRenderer::TArray<FixedName> m_kChannelNames;
    TarnRenderer::TArray<uint32> m_kChannelParents;  // kInvalidIndex for a root
    uint32 m_uiLevelCount = 0;
    TarnRenderer::TArray<uint32> m_kChannelRanges;
    uint32 m_auiAccumChannels[3] = {kInvalidIndex, kInvalidIndex, kInvalidIndex};
    TarnRenderer::TArray<Sequence*> m_kSequences;  // owned
    TransitionData* m_pTransitionData = nullptr;   // owned, may be null
};

}  // namespace TarnAnim
