#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "DataStatic/Mocap.h"
#include "Process/Sampler.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using Math::LocalVector3;
using Math::Quaternion;
using TarnAnim::AnimationControl;
namespace AnimHelper = TarnAnim::AnimHelper;
using TarnAnim::ELoopOverride;
using TarnAnim::Sampler;
using TarnAnim::Sequence;
using TarnAnim::Transform;

namespace {

constexpr float kMsPerFrame = 1000.0f / 30.0f;
// Name, frames, rate, loop, blend mode, forward and yaw per frame.
const TestSupport::SSequenceSpec kSlow{"Slow", 10, 30.0f, false, 0, 1.0f, 0.05f};
const TestSupport::SSequenceSpec kFast{"Fast", 10, 30.0f, false, 0, 3.0f, 0.15f};
const TestSupport::SSequenceSpec kLayer{"Layer", 10, 30.0f, false, 1, 10.0f};
const TestSupport::SSequenceSpec kFar{"Far", 10, 30.0f, false, 0, 100.0f};
// Angle of a rotation about Z (for rotations about Z only).
const auto Yaw = [](const Quaternion& kRotation) { return 2.0f * std::atan2(kRotation.z, kRotation.w); };
constexpr float kHalfPi = 1.57079632679f;
const LocalVector3 kUp(0.0f, 0.0f, 1.0f);

// A one-channel sequence whose keys turn by the given yaws and move along X
// by the given distances.
void MakeSequence(Sequence& kSequence, std::initializer_list<float> kYaws, std::initializer_list<float> kXs,
                  uint32 uiInterpolation = TarnAnim::kInterpolationLinear)
{
    kSequence.m_uiLastFrame = static_cast<uint32>(kYaws.size()) - 1;
    kSequence.m_uiInterpolation = uiInterpolation;
    const float* pX = kXs.begin();
    for (const float fYaw : kYaws)
        kSequence.m_kKeys.Add({Quaternion::FromAxisAngle(kUp, fYaw), {*pX++, 0.0f, 0.0f}});
}

// A skeleton with one instance and one mocap of a 30-frame loop ("Loop"),
// a 30-frame one-shot ("Once"), a single-frame loop ("Still") and the
// sequences above.
class AnimationControlTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_kSkeleton.Init(2, 2);
        TarnAnim::Mocap* pMocap = TestSupport::MakeMocap(
            "Body", {{"Loop", 30, 30.0f, true}, {"Once", 30}, {"Still", 1, 30.0f, true}, kSlow, kFast, kLayer, kFar});
        ASSERT_EQ(m_kSkeleton.AddMocap(pMocap), 0);
        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
    }
    void TearDown() override { m_kSkeleton.Release(); }
    AnimationControl* Create(uint32 uiSequence) { return m_kSkeleton.CreateAnimatedControl(0, 0, uiSequence); }

    TarnAnim::Skeleton m_kSkeleton;
};

}  // namespace

TEST_F(AnimationControlTest, FadesFollowTheSmoothstepReverseFromWhereTheyAreAndMakeTheActiveControl)
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
    // Only a control faded in is the active one of its layer.
    pFresh->SetWeight(1.0f);
    EXPECT_EQ(AnimHelper::FindActiveControl(&m_kSkeleton, 0, 0), nullptr);
    AnimationControl* pFirst = AnimHelper::PlayAnim(&m_kSkeleton, 0, 0, 0, 200.0f);
    EXPECT_EQ(AnimHelper::FindActiveControl(&m_kSkeleton, 0, 0), pFirst);
    EXPECT_EQ(AnimHelper::FindActiveControl(&m_kSkeleton, 0, 1), nullptr);
    // Playing another fades the active one out and marks it for removal.
    AnimationControl* pSecond = AnimHelper::PlayAnimFromName(&m_kSkeleton, 0, "Body", "Once", 200.0f);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pFirst->GetFadeDirection(), -1);
    EXPECT_TRUE(pFirst->GetFlag(AnimationControl::kFlagRemoveWhenFadedOut));
    EXPECT_EQ(AnimHelper::FindActiveControl(&m_kSkeleton, 0, 0), pSecond);
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(AnimHelper::PlayAnimFromName(&m_kSkeleton, 0, "Body", "Missing", 0.0f), nullptr);
    EXPECT_EQ(AnimHelper::PlayAnimFromName(&m_kSkeleton, 0, "Nobody", "Once", 0.0f), nullptr);
    EXPECT_EQ(AnimHelper::PlayAnim(nullptr, 0, 0, 0, 0.0f), nullptr);
    EXPECT_EQ(kReports.Texts(),
              (std::vector<std::string>{"Assertion \"idSequence != -1\" failed. Couldnt find sequence",
                                        "Assertion \"false\" failed. Couldnt find mocap",
                                        "Assertion \"false\" failed. No Skeleton"}));
}

TEST_F(AnimationControlTest, EndsLoopOrStopAsTheirLoopSettingsSayInEitherDirection)
{
    struct SCase
    {
        const char* pName;
        uint32 uiSequence;
        ELoopOverride eOverride;
        bool bStopAtEnd;
        float fStartFrame;
        float fFrames;  // played from the start, backwards when below 0
        float fFrame;
        float fFraction;
        float fEndSpeed;
    };
    const SCase akCases[] = {
        // A 30-frame loop wraps when it reaches frame 29 (remainder by 29).
        {"forced loop", 1, ELoopOverride::Loop, false, 28.5f, 1.0f, 0.0f, 0.5f, 1.0f},
        {"no loop holds the last frame", 1, ELoopOverride::Default, false, 28.5f, 3.0f, 29.0f, 0.0f, 1.0f},
        {"forced no loop", 0, ELoopOverride::NoLoop, false, 28.5f, 3.0f, 29.0f, 0.0f, 1.0f},
        {"stop at end", 1, ELoopOverride::Default, true, 28.5f, 3.0f, 29.0f, 0.0f, 0.0f},
        {"stop at end ignored while looping", 0, ELoopOverride::Default, true, 28.5f, 1.0f, 0.0f, 0.5f, 1.0f},
        // A looping single frame must not take a remainder by zero.
        {"single-frame loop", 2, ELoopOverride::Default, false, 0.0f, 2.5f, 0.0f, 0.5f, 1.0f},
        {"loop played backwards", 0, ELoopOverride::Default, false, 0.0f, -0.5f, 28.0f, 0.5f, -1.0f},
        {"no loop played backwards holds frame 0", 1, ELoopOverride::Default, false, 1.0f, -3.0f, 0.0f, 0.0f, -1.0f},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        AnimationControl* pControl = Create(kCase.uiSequence);
        pControl->SetLoopOverride(kCase.eOverride);
        pControl->SetFlag(AnimationControl::kFlagStopAtEnd, kCase.bStopAtEnd);
        pControl->SetTime(kCase.fStartFrame * kMsPerFrame);
        pControl->SetSpeed(kCase.fFrames < 0.0f ? -1.0f : 1.0f);
        pControl->Update(std::fabs(kCase.fFrames) * kMsPerFrame);
        EXPECT_NEAR(pControl->GetFrame(), kCase.fFrame, 1e-4f);
        EXPECT_NEAR(pControl->GetFraction(), kCase.fFraction, 1e-3f);
        EXPECT_EQ(pControl->GetSpeed(), kCase.fEndSpeed);
        m_kSkeleton.RemoveAnimationControl(pControl->GetId());
    }
}

TEST_F(AnimationControlTest, SetTimeAndSetFrameKeepToTheSequenceAndFreedIdsAreReusedLowestFirst)
{
    AnimationControl* pControl = Create(1);
    const float fDuration = 29.0f * kMsPerFrame;
    EXPECT_NEAR(pControl->GetDuration(), fDuration, 1e-3f);
    pControl->SetTime(fDuration + 500.0f);
    EXPECT_NEAR(pControl->GetTime(), fDuration, 1e-3f);
    EXPECT_NEAR(pControl->GetPosition(), 29.0f, 1e-3f);
    pControl->SetTime(-20.0f);
    EXPECT_EQ(pControl->GetTime(), 0.0f);
    pControl->SetFrame(40.0f);
    EXPECT_EQ(pControl->GetFrame(), 29.0f);
    pControl->SetFrame(3.7f);  // not rounded
    EXPECT_EQ(pControl->GetFrame(), 3.7f);
    EXPECT_EQ(pControl->GetFraction(), 0.0f);
    for (int i = 0; i < 3; ++i)
        Create(0);
    EXPECT_TRUE(m_kSkeleton.RemoveAnimationControl(2));
    EXPECT_TRUE(m_kSkeleton.RemoveAnimationControl(1));
    EXPECT_FALSE(m_kSkeleton.RemoveAnimationControl(1));
    EXPECT_EQ(Create(0)->GetId(), 1u);
    EXPECT_EQ(Create(0)->GetId(), 2u);
    const auto& kIds = m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds();
    EXPECT_EQ((std::vector<uint32>(kIds.begin(), kIds.end())), (std::vector<uint32>{0, 3, 1, 2}));
}

TEST_F(AnimationControlTest, AnInstancesPoseBlendsItsPlayingControlsInTwoGroups)
{
    // No control: every channel keeps the identity.
    TarnRenderer::TArray<Transform> kPose;
    ASSERT_TRUE(Sampler::SampleInstancePose(m_kSkeleton, 0, kPose));
    ASSERT_EQ(kPose.GetSize(), 3u);
    for (const Transform& kChannel : kPose)
        EXPECT_TRUE(kChannel.kRotation == Quaternion::Identity() && kChannel.kTranslation == LocalVector3());
    EXPECT_FALSE(Sampler::SampleInstancePose(m_kSkeleton, 7, kPose));
    auto Play = [&](uint32 uiSequence, float fWeight) {
        AnimationControl* pControl = Create(uiSequence);
        pControl->SetWeight(fWeight);
        pControl->FadeIn(0.0f);
        pControl->SetFrame(2.0f);
        return pControl;
    };
    Play(3, 0.25f);
    Play(4, 0.75f);
    // Not taking part: a frozen control, and one never faded in.
    Play(6, 1.0f)->SetFrozen(true);
    Create(6)->SetWeight(1.0f);
    ASSERT_TRUE(Sampler::SampleInstancePose(m_kSkeleton, 0, kPose));
    const float fBaseX = 0.25f * TestSupport::MotionKey(kSlow, 2).kTranslation.x +
                         0.75f * TestSupport::MotionKey(kFast, 2).kTranslation.x;
    const float fBaseYaw = 0.25f * 0.1f + 0.75f * 0.3f;
    EXPECT_NEAR(kPose[1].kTranslation.x, fBaseX, 1e-4f);
    EXPECT_NEAR(Yaw(kPose[1].kRotation), fBaseYaw, 1e-3f);
    EXPECT_NEAR(kPose[0].kTranslation.z, 1.0f, 1e-6f);
    EXPECT_NEAR(kPose[2].kTranslation.z, 0.02f, 1e-6f);
    // A layer at half weight moves the base half-way toward its own pose
    // (20 m along X, no turn); above weight 1 it replaces the base.
    AnimationControl* pLayer = Play(5, 0.5f);
    for (const auto& [fWeight, fShare] : {std::pair{0.5f, 0.5f}, {2.0f, 1.0f}})
    {
        pLayer->SetWeight(fWeight);
        ASSERT_TRUE(Sampler::SampleInstancePose(m_kSkeleton, 0, kPose));
        EXPECT_NEAR(kPose[1].kTranslation.x, (1.0f - fShare) * fBaseX + fShare * 20.0f, 1e-4f) << fWeight;
        EXPECT_NEAR(Yaw(kPose[1].kRotation), (1.0f - fShare) * fBaseYaw, 1e-3f) << fWeight;
    }
}

TEST(SamplerTest, InterpolatesKeysByTheirSchemeWithinTheFirstAndLastRefusesWhatItCannotAndBlendsOnOneHemisphere)
{
    // A 90-degree key pair sampled a quarter of the way: slerp turns at a
    // constant rate (22.5 degrees), nlerp takes the normalised chord; with
    // the second key written as its negative quaternion (90 - 360 degrees)
    // the shorter arc is still the 90-degree one.
    const float fSin45 = std::sqrt(0.5f);
    const float fNlerpYaw = 2.0f * std::atan2(0.25f * fSin45, 0.75f + 0.25f * fSin45);
    ASSERT_GT(std::fabs(fNlerpYaw - kHalfPi / 4.0f), 0.01f);  // the two schemes do differ here
    for (const float fSecondYaw : {kHalfPi, kHalfPi - 4.0f * kHalfPi})
        for (const auto& [uiInterpolation, fYaw] :
             {std::pair{uint32(TarnAnim::kInterpolationLinear), fNlerpYaw},
              std::pair{uint32(TarnAnim::kInterpolationSpherical), kHalfPi / 4.0f}})
        {
            SCOPED_TRACE(testing::Message() << "interpolation " << uiInterpolation << ", second key " << fSecondYaw);
            Sequence kSequence;
            MakeSequence(kSequence, {0.0f, fSecondYaw}, {2.0f, 6.0f}, uiInterpolation);
            Transform kOut;
            ASSERT_TRUE(Sampler::SampleChannel(kSequence, 1, 0, 0.25f, kOut));
            EXPECT_NEAR(Yaw(kOut.kRotation), fYaw, 1e-5f);
            EXPECT_NEAR(kOut.kRotation.Length(), 1.0f, 1e-6f);
            EXPECT_NEAR(kOut.kTranslation.x, 3.0f, 1e-6f);
        }
    Sequence kSequence;
    MakeSequence(kSequence, {0.0f, 0.5f, 1.0f}, {1.0f, 2.0f, 4.0f});
    Transform kOut;
    for (const auto& [fFrame, uiKey] : {std::pair{-3.0f, 0u}, {0.0f, 0u}, {NAN, 0u}, {2.0f, 2u}, {7.5f, 2u}})
    {
        ASSERT_TRUE(Sampler::SampleSequence(kSequence, 1, fFrame, &kOut)) << fFrame;
        EXPECT_EQ(kOut.kRotation, kSequence.m_kKeys[uiKey].kRotation) << fFrame;
        EXPECT_EQ(kOut.kTranslation, kSequence.m_kKeys[uiKey].kTranslation) << fFrame;
    }
    // Just before the end, the last pair is still interpolated.
    ASSERT_TRUE(Sampler::SampleSequence(kSequence, 1, 1.5f, &kOut));
    EXPECT_NEAR(kOut.kTranslation.x, 3.0f, 1e-6f);
    // Too many channels, keys missing for the channels asked for (never
    // read past the keys) and an interpolation not supported are refused.
    TestSupport::CAssertCapture kCapture;
    Transform akOut[2];
    EXPECT_FALSE(Sampler::SampleSequence(kSequence, 300, 0.5f, akOut));
    EXPECT_TRUE(kCapture.Has("Assertion \"iEnd < N\" failed. Too many channels : 300 (MAX, 256) \n"));
    kCapture.Clear();
    EXPECT_FALSE(Sampler::SampleSequence(kSequence, 2, 1.0f, akOut));
    EXPECT_EQ(kCapture.Count(), 1u);
    kCapture.Clear();
    kSequence.m_uiInterpolation = TarnAnim::kInterpolationHigh;
    EXPECT_FALSE(Sampler::SampleSequence(kSequence, 1, 0.5f, akOut));
    EXPECT_FALSE(Sampler::SampleChannel(kSequence, 1, 0, 0.5f, akOut[0]));
    EXPECT_EQ(kCapture.Texts(),
              std::vector<std::string>(2, "Assertion \"false\" failed. High Interpolation is not yet supported"));
    // The same rotation twice, the second written with the opposite sign;
    // weights are normalised by their sum: 0.5 and 1.5 are a quarter and
    // three quarters.
    const Quaternion kRotation = Quaternion::FromAxisAngle(kUp, 0.4f);
    const Transform akTransforms[2] = {
        {kRotation, {4.0f, 0.0f, 0.0f}},
        {Quaternion(-kRotation.x, -kRotation.y, -kRotation.z, -kRotation.w), {8.0f, 0.0f, 0.0f}}};
    const float afWeights[] = {0.5f, 1.5f};
    const Transform kBlend = Sampler::Blend(akTransforms, afWeights, 2);
    EXPECT_NEAR(kBlend.kTranslation.x, 7.0f, 1e-5f);
    EXPECT_NEAR(Yaw(kBlend.kRotation), 0.4f, 1e-5f);
    const float afNone[] = {0.0f, 0.0f};
    const Transform kIdentity = Sampler::Blend(akTransforms, afNone, 2);
    EXPECT_EQ(kIdentity.kRotation, Quaternion::Identity());
    EXPECT_EQ(kIdentity.kTranslation, LocalVector3());
}

TEST_F(AnimationControlTest, WhileInstancesStepInParallelTheTableStaysPutAndWhatWouldMoveItIsRefused)
{
    std::vector<AnimationControl*> kMade;
    for (int i = 0; i < 5; ++i)
        kMade.push_back(Create(0));
    // Room for forty more (beyond what the table holds now): one more than
    // the room would move the table under the other threads' feet.
    m_kSkeleton.BeginParallelPhase(40);
    TestSupport::CAssertCapture kReports;
    const uint32 uiRoom = m_kSkeleton.GetControlSlotCount() + 40;
    while (m_kSkeleton.GetControlSlotCount() < uiRoom)
        ASSERT_NE(Create(1), nullptr);
    // A freed id is reused without growing the table.
    ASSERT_TRUE(m_kSkeleton.RemoveAnimationControl(kMade[1]->GetId()));
    AnimationControl* pReused = Create(2);
    ASSERT_NE(pReused, nullptr);
    EXPECT_EQ(pReused->GetId(), 1u);
    EXPECT_EQ(kReports.Count(), 0u);
    // Phases nest: the table stays put until the last one ends.
    m_kSkeleton.BeginParallelPhase(0);
    m_kSkeleton.EndParallelPhase();
    // Made until refused: at least the room asked for was given.
    uint32 uiMore = 0;
    while (uiMore < 1000 && Create(0))
        ++uiMore;
    EXPECT_LT(uiMore, 1000u);
    EXPECT_EQ(kReports.Count(), 1u);
    EXPECT_GE(m_kSkeleton.GetControlSlotCount(), uiRoom);
    EXPECT_TRUE(kReports.Has("Assertion \"!IsInParallelPhase() || uiId < m_kControls.GetCapacity()\" failed. "
                             "Skeleton : no room left for another control while instances are stepped in parallel"));
    EXPECT_EQ(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
    EXPECT_TRUE(kReports.Has("Assertion \"!IsInParallelPhase()\" failed. Skeleton : instances are made between "
                             "steps, not while they are stepped"));
    // What was made before stays as it was.
    EXPECT_EQ(m_kSkeleton.GetControl(kMade[4]->GetId()), kMade[4]);
    m_kSkeleton.EndParallelPhase();
    // Outside the phase the table grows again.
    kReports.Clear();
    EXPECT_NE(Create(0), nullptr);
    EXPECT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
    EXPECT_EQ(kReports.Count(), 0u);
}
