#pragma once

#include <cmath>
#include <initializer_list>

#include "DataStatic/Mocap.h"
#include "System/MemoryManager/MemoryManager.h"

// Small mocaps made in code for the animation tests.
//
// Every mocap has three channels in hierarchy order: "Root" (level 0, the
// first accumulation channel), "Motion" (level 1, the second: root motion)
// and "Pelvis" (level 2, the third). Axes: Z is up, X is forward; a positive
// yaw turns left (counter-clockwise seen from above).
namespace TestSupport {

struct SSequenceSpec
{
    const char* pName = "Seq";
    uint32 uiFrames = 30;
    float fFrameRate = 30.0f;
    bool bLoop = false;
    uint32 uiBlendMode = 0;
    float fForwardPerFrame = 0.0f;  // metres of root motion per frame, along the motion's heading
    float fYawPerFrame = 0.0f;      // radians of root rotation about Z per frame
    uint32 uiInterpolation = TarnAnim::kInterpolationLinear;
};

// The motion channel's key at a frame: it turns by fYawPerFrame per frame and
// moves forward along its current heading, so that a turning walk is an arc.
inline TarnAnim::Transform MotionKey(const SSequenceSpec& kSpec, uint32 uiFrame)
{
    TarnAnim::Transform kKey;
    kKey.kRotation = Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, kSpec.fYawPerFrame * float(uiFrame));
    float fX = 0.0f;
    float fY = 0.0f;
    for (uint32 i = 0; i < uiFrame; ++i)
    {
        const float fYaw = kSpec.fYawPerFrame * (float(i) + 0.5f);
        fX += kSpec.fForwardPerFrame * std::cos(fYaw);
        fY += kSpec.fForwardPerFrame * std::sin(fYaw);
    }
    kKey.kTranslation = {fX, fY, 0.0f};
    return kKey;
}

inline TarnAnim::Mocap* MakeMocap(const char* pName, std::initializer_list<SSequenceSpec> kSpecs)
{
    auto* pMocap = TARN_NEW(TarnAnim::Mocap);
    pMocap->m_kName.Set(pName);
    const char* apChannels[3] = {"Root", "Motion", "Pelvis"};
    for (uint32 i = 0; i < 3; ++i)
    {
        pMocap->m_kChannelNames.Add().Set(apChannels[i]);
        pMocap->m_kChannelParents.Add(i == 0 ? kInvalidIndex : i - 1);
        pMocap->m_kChannelRanges.Add(i);
        pMocap->m_auiAccumChannels[i] = i;
    }
    pMocap->m_kChannelRanges.Add(3);
    pMocap->m_uiLevelCount = 3;
    for (const SSequenceSpec& kSpec : kSpecs)
    {
        auto* pSequence = TARN_NEW(TarnAnim::Sequence);
        pSequence->m_kName.Set(kSpec.pName);
        pSequence->m_uiFirstFrame = 0;
        pSequence->m_uiLastFrame = kSpec.uiFrames - 1;
        pSequence->m_fFrameRate = kSpec.fFrameRate;
        pSequence->m_fDuration = float(kSpec.uiFrames - 1) / kSpec.fFrameRate;
        pSequence->m_bLoop = kSpec.bLoop;
        pSequence->m_uiBlendMode = kSpec.uiBlendMode;
        pSequence->m_uiInterpolation = kSpec.uiInterpolation;
        for (uint32 uiFrame = 0; uiFrame < kSpec.uiFrames; ++uiFrame)
        {
            TarnAnim::Transform kRoot;
            kRoot.kTranslation = {0.0f, 0.0f, 1.0f};
            pSequence->m_kKeys.Add(kRoot);
            pSequence->m_kKeys.Add(MotionKey(kSpec, uiFrame));
            TarnAnim::Transform kPelvis;
            kPelvis.kTranslation = {0.0f, 0.0f, float(uiFrame) * 0.01f};
            pSequence->m_kKeys.Add(kPelvis);
        }
        pMocap->m_kSequences.Add(pSequence);
    }
    return pMocap;
}

}  // namespace TestSupport
