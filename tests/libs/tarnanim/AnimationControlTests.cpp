#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using TarnAnim::AnimationControl;
using TarnAnim::ELoopOverride;
using TarnAnim::Skeleton;
using TestSupport::MakeMocap;

namespace {

// A skeleton with one instance and one mocap of a 30-frame loop ("Loop"),
// a 30-frame one-shot ("Once") and a single-frame loop ("Still").
class AnimationControlTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_kSkeleton.Init(2, 2);
        ASSERT_EQ(m_kSkeleton.AddMocap(MakeMocap("Body", {{.pName = "Loop", .uiFrames = 30, .bLoop = true},
                                                         {.pName = "Once", .uiFrames = 30},
                                                         {.pName = "Still", .uiFrames = 1, .bLoop = true}})),
                  0);
        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
    }
    void TearDown() override { m_kSkeleton.Release(); }

    AnimationControl* Create(uint32 uiSequence)
    {
        AnimationControl* pControl = m_kSkeleton.CreateAnimatedControl(0, 0, uiSequence);
        EXPECT_NE(pControl, nullptr);
        return pControl;
    }

    Skeleton m_kSkeleton;
};

constexpr float kMsPerFrame = 1000.0f / 30.0f;

}  // namespace

TEST_F(AnimationControlTest, FadesFollowTheSmoothstepAndReverseFromWhereTheyAre)
{
    AnimationControl* pControl = Create(0);
    pControl->SetWeight(1.0f);
    EXPECT_EQ(pControl->GetEffectiveWeight(), 0.0f);

    pControl->FadeIn(0.0f);
    EXPECT_EQ(pControl->GetFadeFactor(), 1.0f);
    pControl->FadeOut(0.0f);
    EXPECT_EQ(pControl->GetFadeFactor(), 0.0f);

    pControl->FadeIn(500.0f);
    pControl->Update(250.0f);
    EXPECT_NEAR(pControl->GetFadeFactor(), 0.5f, 1e-6f);
    pControl->FadeOut(500.0f);
    EXPECT_NEAR(pControl->GetFadeRemaining(), 250.0f, 1e-3f);
    pControl->Update(0.0f);
    EXPECT_NEAR(pControl->GetFadeFactor(), 0.5f, 1e-6f);  // continues from the same factor
    pControl->Update(125.0f);
    EXPECT_NEAR(pControl->GetFadeFactor(), 0.15625f, 1e-5f);  // x = 0.25: smoothstep
    pControl->Update(200.0f);
    EXPECT_EQ(pControl->GetFadeFactor(), 0.0f);

    // A fade out of a control that was never faded in changes nothing.
    AnimationControl* pFresh = Create(0);
    pFresh->FadeOut(300.0f);
    EXPECT_EQ(pFresh->GetFadeRemaining(), 0.0f);
    EXPECT_EQ(pFresh->GetFadeFactor(), 0.0f);
}

TEST_F(AnimationControlTest, EndsLoopOrStopAsTheirLoopSettingsSay)
{
    struct SCase
    {
        const char* pName;
        uint32 uiSequence;
        ELoopOverride eOverride;
        bool bStopAtEnd;
        float fStartFrame;
        float fAdvanceFrames;
        float fFrame;
        float fFraction;
        float fSpeed;
    };
    const SCase akCases[] = {
        // A 30-frame loop wraps when it reaches frame 29 (remainder by 29).
        {"loop wraps at 29", 0, ELoopOverride::Default, false, 28.5f, 1.0f, 0.0f, 0.5f, 1.0f},
        {"forced loop", 1, ELoopOverride::Loop, false, 28.5f, 1.0f, 0.0f, 0.5f, 1.0f},
        {"no loop holds the last frame", 1, ELoopOverride::Default, false, 28.5f, 3.0f, 29.0f, 0.0f, 1.0f},
        {"forced no loop", 0, ELoopOverride::NoLoop, false, 28.5f, 3.0f, 29.0f, 0.0f, 1.0f},
        {"stop at end", 1, ELoopOverride::Default, true, 28.5f, 3.0f, 29.0f, 0.0f, 0.0f},
        {"stop at end ignored while looping", 0, ELoopOverride::Default, true, 28.5f, 1.0f, 0.0f, 0.5f, 1.0f},
        // A looping single frame must not take a remainder by zero.
        {"single-frame loop", 2, ELoopOverride::Default, false, 0.0f, 2.5f, 0.0f, 0.5f, 1.0f},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        AnimationControl* pControl = Create(kCase.uiSequence);
        pControl->SetLoopOverride(kCase.eOverride);
        pControl->SetFlag(AnimationControl::kFlagStopAtEnd, kCase.bStopAtEnd);
        pControl->SetFrame(std::floor(kCase.fStartFrame));
        pControl->Update((kCase.fStartFrame - std::floor(kCase.fStartFrame)) * kMsPerFrame);
        pControl->Update(kCase.fAdvanceFrames * kMsPerFrame);
        EXPECT_NEAR(pControl->GetFrame(), kCase.fFrame, 1e-4f);
        EXPECT_NEAR(pControl->GetFraction(), kCase.fFraction, 1e-3f);
        EXPECT_EQ(pControl->GetSpeed(), kCase.fSpeed);
        EXPECT_TRUE(std::isfinite(pControl->GetTime()));
        m_kSkeleton.RemoveAnimationControl(pControl->GetId());
    }
}

TEST_F(AnimationControlTest, PlayingBackwardsStaysOnTheSequence)
{
    AnimationControl* pLooping = Create(0);
    pLooping->SetSpeed(-1.0f);
    pLooping->SetFrame(0.0f);
    pLooping->Update(0.5f * kMsPerFrame);
    EXPECT_GE(pLooping->GetPosition(), 0.0f);
    EXPECT_NEAR(pLooping->GetPosition(), 28.5f, 1e-3f);

    AnimationControl* pOnce = Create(1);
    pOnce->SetSpeed(-1.0f);
    pOnce->SetFrame(1.0f);
    pOnce->Update(3.0f * kMsPerFrame);
    EXPECT_EQ(pOnce->GetFrame(), 0.0f);
    EXPECT_EQ(pOnce->GetFraction(), 0.0f);
}

TEST_F(AnimationControlTest, SetTimeAndSetFrameKeepToTheSequence)
{
    AnimationControl* pControl = Create(1);
    const float fDuration = 29.0f * kMsPerFrame;
    EXPECT_NEAR(pControl->GetDuration(), fDuration, 1e-3f);

    pControl->SetTime(fDuration + 500.0f);
    EXPECT_NEAR(pControl->GetTime(), fDuration, 1e-3f);
    EXPECT_NEAR(pControl->GetPosition(), 29.0f, 1e-3f);
    pControl->SetTime(-20.0f);
    EXPECT_EQ(pControl->GetTime(), 0.0f);
    EXPECT_EQ(pControl->GetFrame(), 0.0f);
    pControl->SetTime(2.5f * kMsPerFrame);
    EXPECT_EQ(pControl->GetFrame(), 2.0f);
    EXPECT_NEAR(pControl->GetFraction(), 0.5f, 1e-4f);

    pControl->SetFrame(40.0f);
    EXPECT_EQ(pControl->GetFrame(), 29.0f);
    pControl->SetFrame(3.7f);  // not rounded
    EXPECT_EQ(pControl->GetFrame(), 3.7f);
    EXPECT_EQ(pControl->GetFraction(), 0.0f);
}

TEST_F(AnimationControlTest, IdsOfRemovedControlsAreReusedLowestFirst)
{
    AnimationControl* apControls[4];
    for (AnimationControl*& pControl : apControls)
        pControl = Create(0);
    EXPECT_EQ(apControls[3]->GetId(), 3u);
    EXPECT_TRUE(m_kSkeleton.RemoveAnimationControl(2));
    EXPECT_TRUE(m_kSkeleton.RemoveAnimationControl(1));
    EXPECT_FALSE(m_kSkeleton.RemoveAnimationControl(1));
    EXPECT_EQ(Create(0)->GetId(), 1u);
    EXPECT_EQ(Create(0)->GetId(), 2u);
    const auto& kIds = m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds();
    EXPECT_EQ((std::vector<uint32>(kIds.begin(), kIds.end())), (std::vector<uint32>{0, 3, 1, 2}));
}

TEST_F(AnimationControlTest, FindActiveControlOnlyFindsFadedInControls)
{
    Skeleton* pSkeleton = &m_kSkeleton;
    AnimationControl* pCreated = Create(0);
    pCreated->SetWeight(1.0f);
    EXPECT_EQ(TarnAnim::AnimHelper::FindActiveControl(pSkeleton, 0, 0), nullptr);

    AnimationControl* pFirst = TarnAnim::AnimHelper::PlayAnim(pSkeleton, 0, 0, 0, 200.0f);
    EXPECT_EQ(TarnAnim::AnimHelper::FindActiveControl(pSkeleton, 0, 0), pFirst);
    EXPECT_EQ(TarnAnim::AnimHelper::FindActiveControl(pSkeleton, 0, 1), nullptr);

    // Playing another fades the active one out and marks it for removal.
    AnimationControl* pSecond = TarnAnim::AnimHelper::PlayAnimFromName(pSkeleton, 0, "Body", "Once", 200.0f);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pFirst->GetFadeDirection(), -1);
    EXPECT_TRUE(pFirst->GetFlag(AnimationControl::kFlagRemoveWhenFadedOut));
    EXPECT_EQ(TarnAnim::AnimHelper::FindActiveControl(pSkeleton, 0, 0), pSecond);

    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(TarnAnim::AnimHelper::PlayAnimFromName(pSkeleton, 0, "Body", "Missing", 0.0f), nullptr);
    EXPECT_EQ(TarnAnim::AnimHelper::PlayAnimFromName(pSkeleton, 0, "Nobody", "Once", 0.0f), nullptr);
    EXPECT_EQ(TarnAnim::AnimHelper::PlayAnim(nullptr, 0, 0, 0, 0.0f), nullptr);
    EXPECT_EQ(kReports.Texts(), (std::vector<std::string>{
                                    "Assertion \"idSequence != -1\" failed. Couldnt find sequence",
                                    "Assertion \"false\" failed. Couldnt find mocap",
                                    "Assertion \"false\" failed. No Skeleton",
                                }));
}
