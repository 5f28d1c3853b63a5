#include "DataDynamic/AnimatedSkeleton.h"

#include "System/MemoryManager/MemoryManager.h"
#include "Transition/TransitionEngine.h"
#include "Utils/assertion.h"

namespace TarnAnim {

AnimatedSkeleton::AnimatedSkeleton(uint32 uiIndex, uint32 uiCursorCount)
    : m_uiIndex(uiIndex), m_uiCursorCount(uiCursorCount)
{
}

AnimatedSkeleton::~AnimatedSkeleton()
{
    if (m_pTransitionEngine)
        DestroyTransitionEngine();
}

TransitionEngine* AnimatedSkeleton::CreateTransitionEngine()
{
    if (!TARN_ASSERT(!m_pTransitionEngine, "TransitionEngine already created"))
        return m_pTransitionEngine;
    m_pTransitionEngine = TARN_NEW_TAGGED("TarnAnim::AnimatedSkeleton::CreateTransitionEngine", TransitionEngine);
    return m_pTransitionEngine;
}

void AnimatedSkeleton::DestroyTransitionEngine()
{
    if (!TARN_ASSERT(m_pTransitionEngine, "TransitionEngine already destroyed"))
        return;
    TransitionEngine* pEngine = m_pTransitionEngine;
    pEngine->Reset();
    m_pTransitionEngine = nullptr;
    TARN_DELETE(pEngine);
}

void AnimatedSkeleton::SetLod(uint32 uiPercentage, uint32 uiQuality, float fBlend)
{
    const uint32 _iLodQuality = uiQuality;
    // The condition's text, as written, is part of the report.
    // clang-format off
    if (!TARN_ASSERT(_iLodQuality < 1+1, "LodQuality too high compare to NB_RANGE_SAMPLING"))
        return;
    // clang-format on
    m_uiLodPercentage = uiPercentage;
    m_uiLodQuality = uiQuality;
    m_fLodBlend = fBlend;
}

}  // namespace TarnAnim
