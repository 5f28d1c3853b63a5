#pragma once

#include <limits>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "DataDynamic/AnimationControl.h"

namespace TarnAnim {

class TransitionEngine;

// One placed instance of a skeleton: the controls playing on it (by id, in
// creation order), its LOD state, its accumulation switches and its
// transition engine.
//
// Owned by its skeleton (Skeleton::CreateAnimatedSkeleton /
// DestroyAnimatedSkeleton). Owns its transition engine, if one was created.
class AnimatedSkeleton
{
public:
    AnimatedSkeleton(uint32 uiIndex, uint32 uiCursorCount);
    ~AnimatedSkeleton();
    AnimatedSkeleton(const AnimatedSkeleton&) = delete;
    AnimatedSkeleton& operator=(const AnimatedSkeleton&) = delete;

    // Creates the instance's transition engine; reported when one exists.
    TransitionEngine* CreateTransitionEngine();
    // Resets and destroys it; reported when there is none.
    void DestroyTransitionEngine();
    TransitionEngine* GetTransitionEngine() const { return m_pTransitionEngine; }

    // Quality is 0 or 1; 2 or more is reported and ignored.
    void SetLod(uint32 uiPercentage, uint32 uiQuality, float fBlend);
    void SetDistance(float fDistance)
    {
        m_fCameraDistance = fDistance;
        m_bDistanceSet = true;
    }

    // SetAccumulation sets both switches; the transition engine's reset
    // clears the first; the root-motion pass tests the second.
    void SetAccumulation(bool bEnable)
    {
        m_abAccumulation[0] = bEnable;
        m_abAccumulation[1] = bEnable;
    }
    bool GetAccumulation(uint32 uiSwitch) const { return m_abAccumulation[uiSwitch & 1]; }
    void SetAccumulationSwitch(uint32 uiSwitch, bool bEnable) { m_abAccumulation[uiSwitch & 1] = bEnable; }

    void SetEventCallback(EventCallback pCallback, void* pUserData)
    {
        m_pEventCallback = pCallback;
        m_pEventUserData = pUserData;
    }

    uint32 GetIndex() const { return m_uiIndex; }
    const TarnRenderer::TArray<uint32>& GetControlIds() const { return m_kVecIdAnimationControl; }
    uint32 GetLodPercentage() const { return m_uiLodPercentage; }
    uint32 GetLodQuality() const { return m_uiLodQuality; }
    float GetLodBlend() const { return m_fLodBlend; }
    float GetCameraDistance() const { return m_fCameraDistance; }
    bool IsDistanceSet() const { return m_bDistanceSet; }

private:
    friend class Skeleton;

    // What the frame processor's passes read for every instance first.
    TransitionEngine* m_pTransitionEngine = nullptr;
    TarnRenderer::TArray<uint32> m_kVecIdAnimationControl;
    uint32 m_uiIndex;
    bool m_abAccumulation[2] = {false, false};
    bool m_bDistanceSet = false;
    // Display buffers the instance was made for. Only their number is kept:
    // nothing reads a cursor per buffer, and an array of them would be one
    // more block for every character.
    uint32 m_uiCursorCount;
    uint32 m_uiLodPercentage = 100;
    uint32 m_uiLodQuality = 0;
    float m_fLodBlend = 0.0f;
    float m_fCameraDistance = std::numeric_limits<float>::infinity();
    EventCallback m_pEventCallback = nullptr;
    void* m_pEventUserData = nullptr;
};

}  // namespace TarnAnim
