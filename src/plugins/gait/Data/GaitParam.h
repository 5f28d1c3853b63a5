#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"

// The authored form of a character's gait data: the gait document as read,
// names as text (ParamGait and its records).
namespace GaitPlugin {

// A terminated text of at most 1023 characters.
struct GaitName
{
    static constexpr uint32 Capacity = 1024;
    char m_acText[Capacity] = {};

    // Copies pText; false (and the name left empty) when it does not fit.
    bool Set(const char* pText);
    const char* Get() const { return m_acText; }
};

struct GaitBind
{
    GaitName NameKeySource;  // movement name
    GaitName NameKeyTarget;  // sequence name in the character's mocap
    uint32 BlendMode = 0;
    bool Loop = false;
    bool Accum = false;
};

struct GaitStable
{
    GaitName NameKey;
    TarnRenderer::TArray<float> StableFrames;
};

struct GaitFootOnFloor
{
    GaitName NameKey;
    TarnRenderer::TArray<uint32> StableFrames;
};

struct GaitSynchro
{
    GaitName NameKey;
    uint32 FrameFirst = 0;
    uint32 FrameLast = 0;
};

struct GaitBehavior
{
    GaitName NameBehavior;
    uint32 EaseMs = 0;
    GaitSynchro SynchroSource;
    GaitSynchro SynchroTarget;
};

// Tuning of the root-rotation rectifier.
struct GaitRuntimeParameters
{
    float RectificatorFactor = 0.03f;
    float RectificatorExp = 8.0f;
    float RectificatorMin = 0.4f;
    float RectificatorMinDelta = 0.0001f;
};

// Options beyond the gait document's original members (see docs/formats.md).
struct GaitSteering
{
    // The owner writes the rectified root rotation to the link.
    bool ApplyRectifiedRotation = false;
};

struct ParamGait
{
    TarnRenderer::TArray<GaitBind> Binds;
    TarnRenderer::TArray<GaitStable> Stables;
    TarnRenderer::TArray<GaitBehavior> Behaviors;
    GaitRuntimeParameters RuntimeParameters;
    TarnRenderer::TArray<GaitFootOnFloor> FootOnFloor;
    GaitSteering Steering;
};

}  // namespace GaitPlugin
