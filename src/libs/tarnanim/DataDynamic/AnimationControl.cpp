#include "DataDynamic/AnimationControl.h"

#include <cmath>

namespace TarnAnim {

void AnimationControl::Update(float fDeltaMs)
{
    if (m_abFlags[kFlagFrozen])
        return;

    m_fFraction += fDeltaMs * m_fSpeed * m_fFramesPerMs;
    const float fWhole = std::floor(m_fFraction);
    m_fFrame += fWhole;
    m_fFraction -= fWhole;

    const float fLast = m_fFrameCount - 1.0f;
    const bool bAtEnd = m_fFrame >= fLast;
    // Playing backwards, any position at or before frame 0 is the start.
    const bool bAtStart = m_fFrame + m_fFraction <= 0.0f;
    const bool bEnded = bAtEnd || bAtStart;
    const bool bLoop = IsLooping();

    if (bLoop)
    {
        if (m_fSpeed < 0.0f)
        {
            // Landing exactly on frame 0 stays there, so that frame 0 is
            // reached (its events fire) as the last frame is going forward;
            // the next step goes on from the last frame, the same pose.
            if (m_fFrame + m_fFraction < 0.0f)
            {
                // Wrap by one cycle, as the forward case does: the position
                // stays on the sequence instead of going negative.
                const float fPosition = fLast > 0.0f ? m_fFrame + m_fFraction + fLast : 0.0f;
                m_fFrame = std::floor(fPosition);
                m_fFraction = fPosition - m_fFrame;
                if (m_fFrame > fLast)
                {
                    m_fFrame = fLast;
                    m_fFraction = 0.0f;
                }
            }
        }
        else if (bAtEnd)
        {
            // The last frame shows the first pose again: a cycle spans
            // frames 0 to last - 1. A single-frame sequence stays on frame 0.
            m_fFrame = fLast > 0.0f ? std::fmod(m_fFrame, fLast) : 0.0f;
        }
    }
    else
    {
        if (m_fSpeed < 0.0f)
        {
            if (bAtStart)
            {
                m_fFrame = 0.0f;
                m_fFraction = 0.0f;
            }
        }
        else if (bAtEnd)
        {
            m_fFrame = fLast;
            m_fFraction = 0.0f;
        }
    }

    m_fTime = (m_fFrame + m_fFraction) * m_fMsPerFrame;
    FadeStep(fDeltaMs);

    if (bEnded && m_fSpeed != 0.0f)
    {
        if (m_abFlags[kFlagStopAtEnd] && !bLoop)
            m_fSpeed = 0.0f;
        return;
    }
    if (m_abFlags[kFlagSpeedFollowsFade])
        m_fSpeed = m_fFadeFactor == 0.0f ? 0.0f : 1.0f;
}

void AnimationControl::FadeStep(float fDeltaMs)
{
    if (m_fFadeRemaining > 0.0f)
    {
        m_fFadeRemaining -= fDeltaMs;
        if (m_fFadeRemaining > 0.0f && m_fFadeLength > 0.0f)
        {
            const float x = m_fFadeRemaining / m_fFadeLength;
            const float s = x * x * (3.0f - 2.0f * x);
            m_fFadeFactor = m_iFadeDirection < 1 ? s : 1.0f - s;
        }
    }
    if (m_fFadeRemaining <= 0.0f)
        m_fFadeFactor = m_iFadeDirection > 0 ? 1.0f : 0.0f;
}

void AnimationControl::Fade(int32 iDirection, float fLengthMs)
{
    const bool bReversing = iDirection != m_iFadeDirection;
    const bool bRunning = m_fFadeRemaining > 0.0f && m_fFadeLength != 0.0f;
    if (bReversing)
        m_fFadeRemaining = bRunning ? (m_fFadeLength - m_fFadeRemaining) * (fLengthMs / m_fFadeLength) : fLengthMs;
    else if (bRunning)
        m_fFadeRemaining = m_fFadeRemaining / m_fFadeLength * fLengthMs;
    m_fFadeLength = fLengthMs;
    m_iFadeDirection = iDirection;
    if (fLengthMs == 0.0f)
    {
        m_fFadeRemaining = 0.0f;
        m_fFadeFactor = iDirection > 0 ? 1.0f : 0.0f;
    }
}

void AnimationControl::SetTime(float fTimeMs)
{
    if (!(fTimeMs > 0.0f))
        fTimeMs = 0.0f;
    if (fTimeMs > m_fDuration)
        fTimeMs = m_fDuration;
    m_fTime = fTimeMs;
    const float fPosition = fTimeMs * m_fFramesPerMs;
    m_fFrame = std::floor(fPosition);
    m_fFraction = fPosition - m_fFrame;
}

void AnimationControl::SetFrame(float fFrame)
{
    const float fLast = m_fFrameCount - 1.0f;
    if (fFrame > fLast)
        fFrame = fLast;
    m_fFraction = 0.0f;
    m_fFrame = fFrame;
    m_fTime = m_fFrame * m_fMsPerFrame;
}

}  // namespace TarnAnim
