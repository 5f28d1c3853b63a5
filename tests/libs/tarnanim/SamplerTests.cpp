#include <cmath>

#include <gtest/gtest.h>

#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "DataStatic/Mocap.h"
#include "Process/Sampler.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using Math::LocalVector3;
using Math::Quaternion;
using TarnAnim::Sampler;
using TarnAnim::Sequence;
using TarnAnim::Transform;

namespace {

constexpr float kHalfPi = 1.57079632679f;
const LocalVector3 kUp(0.0f, 0.0f, 1.0f);

// Angle of a rotation about Z (for rotations about Z only).
float Yaw(const Quaternion& kRotation)
{
    return 2.0f * std::atan2(kRotation.z, kRotation.w);
}

// A one-channel sequence whose keys turn by the given yaws and move along X
// by the given distances.
void MakeSequence(Sequence& kSequence, std::initializer_list<float> kYaws, std::initializer_list<float> kXs,
                  uint32 uiInterpolation)
{
    kSequence.m_uiFirstFrame = 0;
    kSequence.m_uiLastFrame = static_cast<uint32>(kYaws.size()) - 1;
    kSequence.m_uiInterpolation = uiInterpolation;
    const float* pX = kXs.begin();
    for (const float fYaw : kYaws)
    {
        Transform& kKey = kSequence.m_kKeys.Add();
        kKey.kRotation = Quaternion::FromAxisAngle(kUp, fYaw);
        kKey.kTranslation = {*pX++, 0.0f, 0.0f};
    }
}

}  // namespace

TEST(SamplerTest, InterpolatesKeysByTheSequencesScheme)
{
    // A 90-degree key pair sampled a quarter of the way: slerp turns at a
    // constant rate (22.5 degrees), nlerp takes the normalised chord.
    const float fSin45 = std::sqrt(0.5f);
    const float fNlerpYaw = 2.0f * std::atan2(0.25f * fSin45, 0.75f + 0.25f * fSin45);
    struct SCase
    {
        const char* pName;
        uint32 uiInterpolation;
        float fSecondYaw;
        float fExpectedYaw;
    };
    const SCase akCases[] = {
        {"nlerp", TarnAnim::kInterpolationLinear, kHalfPi, fNlerpYaw},
        {"slerp", TarnAnim::kInterpolationSpherical, kHalfPi, kHalfPi / 4.0f},
        // The same second key written as its negative quaternion: the
        // shorter arc is still the 90-degree one.
        {"nlerp, opposite sign", TarnAnim::kInterpolationLinear, kHalfPi - 4.0f * kHalfPi, fNlerpYaw},
        {"slerp, opposite sign", TarnAnim::kInterpolationSpherical, kHalfPi - 4.0f * kHalfPi, kHalfPi / 4.0f},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        Sequence kSequence;
        MakeSequence(kSequence, {0.0f, kCase.fSecondYaw}, {2.0f, 6.0f}, kCase.uiInterpolation);
        Transform kOut;
        ASSERT_TRUE(Sampler::SampleChannel(kSequence, 1, 0, 0.25f, kOut));
        EXPECT_NEAR(Yaw(kOut.kRotation), kCase.fExpectedYaw, 1e-5f);
        EXPECT_NEAR(kOut.kRotation.Length(), 1.0f, 1e-6f);
        EXPECT_NEAR(kOut.kTranslation.x, 3.0f, 1e-6f);
    }
    EXPECT_GT(std::fabs(fNlerpYaw - kHalfPi / 4.0f), 0.01f);  // the two schemes do differ here
}

TEST(SamplerTest, ClampsToTheFirstAndLastKeys)
{
    Sequence kSequence;
    MakeSequence(kSequence, {0.0f, 0.5f, 1.0f}, {1.0f, 2.0f, 4.0f}, TarnAnim::kInterpolationLinear);
    const struct
    {
        float fFrame;
        uint32 uiKey;
    } akCases[] = {{-3.0f, 0}, {0.0f, 0}, {NAN, 0}, {2.0f, 2}, {7.5f, 2}};
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.fFrame);
        Transform kOut;
        ASSERT_TRUE(Sampler::SampleSequence(kSequence, 1, kCase.fFrame, &kOut));
        EXPECT_EQ(kOut.kRotation, kSequence.m_kKeys[kCase.uiKey].kRotation);
        EXPECT_EQ(kOut.kTranslation, kSequence.m_kKeys[kCase.uiKey].kTranslation);
    }
    // Just before the end, the last pair is still interpolated.
    Transform kOut;
    ASSERT_TRUE(Sampler::SampleSequence(kSequence, 1, 1.5f, &kOut));
    EXPECT_NEAR(kOut.kTranslation.x, 3.0f, 1e-6f);
}

TEST(SamplerTest, RefusesWhatItCannotSample)
{
    TestSupport::CAssertCapture kCapture;
    Transform akOut[2];

    Sequence kHigh;
    MakeSequence(kHigh, {0.0f, 1.0f}, {0.0f, 1.0f}, TarnAnim::kInterpolationHigh);
    EXPECT_FALSE(Sampler::SampleSequence(kHigh, 1, 0.5f, akOut));
    EXPECT_FALSE(Sampler::SampleChannel(kHigh, 1, 0, 0.5f, akOut[0]));
    EXPECT_EQ(kCapture.Count(), 2u);
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. High Interpolation is not yet supported"));

    kCapture.Clear();
    Sequence kLinear;
    MakeSequence(kLinear, {0.0f, 1.0f}, {0.0f, 1.0f}, TarnAnim::kInterpolationLinear);
    EXPECT_FALSE(Sampler::SampleSequence(kLinear, 300, 0.5f, akOut));
    EXPECT_TRUE(kCapture.Has("Assertion \"iEnd < N\" failed. Too many channels : 300 (MAX, 256) \n"));

    // Keys missing for the channel count asked for: refused, never read
    // past the keys.
    kCapture.Clear();
    EXPECT_FALSE(Sampler::SampleSequence(kLinear, 2, 1.0f, akOut));
    EXPECT_EQ(kCapture.Count(), 1u);
}

TEST(SamplerTest, BlendsWeightedTransformsOnOneHemisphere)
{
    Transform akTransforms[2];
    akTransforms[0].kRotation = Quaternion::FromAxisAngle(kUp, 0.4f);
    akTransforms[0].kTranslation = {4.0f, 0.0f, 0.0f};
    // The same rotation as the first, written with the opposite sign.
    const Quaternion kSame = akTransforms[0].kRotation;
    akTransforms[1].kRotation = Quaternion(-kSame.x, -kSame.y, -kSame.z, -kSame.w);
    akTransforms[1].kTranslation = {8.0f, 0.0f, 0.0f};

    // Weights are normalised by their sum: 0.5 and 1.5 are a quarter and
    // three quarters.
    const float afWeights[] = {0.5f, 1.5f};
    const Transform kBlend = Sampler::Blend(akTransforms, afWeights, 2);
    EXPECT_NEAR(kBlend.kTranslation.x, 7.0f, 1e-5f);
    EXPECT_NEAR(Yaw(kBlend.kRotation), 0.4f, 1e-5f);

    const float afNone[] = {0.0f, 0.0f};
    const Transform kIdentity = Sampler::Blend(akTransforms, afNone, 2);
    EXPECT_EQ(kIdentity.kRotation, Quaternion::Identity());
    EXPECT_EQ(kIdentity.kTranslation, LocalVector3());
}

TEST(SamplerTest, BlendsAnInstancesControlsInTwoGroups)
{
    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    const TestSupport::SSequenceSpec kSlow{
        .pName = "Slow", .uiFrames = 10, .fForwardPerFrame = 1.0f, .fYawPerFrame = 0.05f};
    const TestSupport::SSequenceSpec kFast{
        .pName = "Fast", .uiFrames = 10, .fForwardPerFrame = 3.0f, .fYawPerFrame = 0.15f};
    const TestSupport::SSequenceSpec kLayer{
        .pName = "Layer", .uiFrames = 10, .uiBlendMode = 1, .fForwardPerFrame = 10.0f};
    const TestSupport::SSequenceSpec kFar{.pName = "Far", .uiFrames = 10, .fForwardPerFrame = 100.0f};
    ASSERT_EQ(kSkeleton.AddMocap(TestSupport::MakeMocap("Body", {kSlow, kFast, kLayer, kFar})), 0);
    ASSERT_NE(kSkeleton.CreateAnimatedSkeleton(), nullptr);

    TarnRenderer::TArray<Transform> kPose;
    // No control: every channel keeps the identity.
    ASSERT_TRUE(Sampler::SampleInstancePose(kSkeleton, 0, kPose));
    ASSERT_EQ(kPose.GetSize(), 3u);
    for (const Transform& kChannel : kPose)
    {
        EXPECT_EQ(kChannel.kRotation, Quaternion::Identity());
        EXPECT_EQ(kChannel.kTranslation, LocalVector3());
    }
    EXPECT_FALSE(Sampler::SampleInstancePose(kSkeleton, 7, kPose));

    auto Play = [&](uint32 uiSequence, float fWeight) {
        TarnAnim::AnimationControl* pControl = kSkeleton.CreateAnimatedControl(0, 0, uiSequence);
        pControl->SetWeight(fWeight);
        pControl->FadeIn(0.0f);
        pControl->SetFrame(2.0f);
        return pControl;
    };
    Play(0, 0.25f);
    Play(1, 0.75f);
    // Not taking part: a frozen control, and one never faded in.
    Play(3, 1.0f)->SetFrozen(true);
    kSkeleton.CreateAnimatedControl(0, 0, 3)->SetWeight(1.0f);

    ASSERT_TRUE(Sampler::SampleInstancePose(kSkeleton, 0, kPose));
    const float fBaseX = 0.25f * TestSupport::MotionKey(kSlow, 2).kTranslation.x +
                         0.75f * TestSupport::MotionKey(kFast, 2).kTranslation.x;
    EXPECT_NEAR(kPose[1].kTranslation.x, fBaseX, 1e-4f);
    EXPECT_NEAR(Yaw(kPose[1].kRotation), 0.25f * 0.1f + 0.75f * 0.3f, 1e-3f);
    EXPECT_NEAR(kPose[0].kTranslation.z, 1.0f, 1e-6f);
    EXPECT_NEAR(kPose[2].kTranslation.z, 0.02f, 1e-6f);

    // A layer at half weight moves the base half-way toward its own pose
    // (20 m along X, no turn); above weight 1 it replaces the base.
    TarnAnim::AnimationControl* pLayer = Play(2, 0.5f);
    ASSERT_TRUE(Sampler::SampleInstancePose(kSkeleton, 0, kPose));
    EXPECT_NEAR(kPose[1].kTranslation.x, 0.5f * fBaseX + 0.5f * 20.0f, 1e-4f);
    EXPECT_NEAR(Yaw(kPose[1].kRotation), 0.5f * (0.25f * 0.1f + 0.75f * 0.3f), 1e-3f);
    pLayer->SetWeight(2.0f);
    ASSERT_TRUE(Sampler::SampleInstancePose(kSkeleton, 0, kPose));
    EXPECT_NEAR(kPose[1].kTranslation.x, 20.0f, 1e-4f);
    EXPECT_NEAR(Yaw(kPose[1].kRotation), 0.0f, 1e-5f);

    kSkeleton.Release();
}
