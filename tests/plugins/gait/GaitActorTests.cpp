// The Gait actor on the animation runtime with a character made in code.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LocomotionHarness.h"
#include "Process/FrameProcessor.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

namespace EAnimBehavior = GaitPlugin::EAnimBehavior;
using namespace Locomotion;
using GaitPlugin::GaitActor;
using GaitPlugin::GaitRuntimeData;
using GaitPlugin::InfoSynchronization;

namespace {

InfoSynchronization Synchro(uint32 eBehavior, uint32 eSource, uint32 uiSourceFirst, uint32 uiSourceLast, uint32 eTarget,
                            uint32 uiTargetFirst, uint32 uiTargetLast, uint32 uiEaseMs = 200)
{
    InfoSynchronization kSynchro;
    kSynchro.m_eBehavior = eBehavior;
    kSynchro.m_uiEaseMs = uiEaseMs;
    kSynchro.m_kSource = {eSource, uiSourceFirst, uiSourceLast};
    kSynchro.m_kTarget = {eTarget, uiTargetFirst, uiTargetLast};
    return kSynchro;
}

// A character made in code: one sequence per movement, named like the
// movement, in movement order. Walk loops and moves 1.4 m/s; the turns
// yaw 180 degrees over 60 frames; everything else stays in place.
class GaitActorTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Math::SeedRandom(7);
        m_kSkeleton.Init(2, 2);
        TestSupport::SSequenceSpec akSpecs[EAnimMovement::NB_TYPE];
        for (uint32 i = 0; i < EAnimMovement::NB_TYPE; ++i)
            akSpecs[i] = {.pName = GaitPlugin::g_apAnimMovementNames[i], .uiFrames = 31};
        akSpecs[EAnimMovement::Idle].bLoop = true;
        akSpecs[EAnimMovement::Walk].bLoop = true;
        akSpecs[EAnimMovement::Walk].fForwardPerFrame = 1.4f / 30.0f;
        akSpecs[EAnimMovement::TurnLeft].uiFrames = 61;
        akSpecs[EAnimMovement::TurnLeft].fYawPerFrame = kPi / 60.0f;
        akSpecs[EAnimMovement::TurnRight].uiFrames = 61;
        akSpecs[EAnimMovement::TurnRight].fYawPerFrame = -kPi / 60.0f;
        ASSERT_EQ(m_kSkeleton.AddMocap(TestSupport::MakeMocap(
                      "Body", {akSpecs[0], akSpecs[1], akSpecs[2], akSpecs[3], akSpecs[4], akSpecs[5], akSpecs[6],
                               akSpecs[7], akSpecs[8], akSpecs[9], akSpecs[10], akSpecs[11], akSpecs[12]})),
                  0);
        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
        m_uiStorage = m_kManager.AddSession();
        m_pAnimActor = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, 0, &m_kLink);
        m_kWorld.pAnimManager = &m_kManager;

        for (uint32 i = 0; i < EAnimMovement::NB_TYPE; ++i)
        {
            GaitPlugin::InfoBindAnim& kBind = m_kData.m_kBindAnims.Add();
            kBind.m_eAnim = i;
            kBind.m_iAnimIdx = i;
            kBind.m_bLoop = (i == EAnimMovement::Idle || i == EAnimMovement::Walk) ? 1 : 0;
        }
        m_kData.m_kStablePoints.Add({EAnimMovement::Idle, 0.0f});
        for (uint32 eTurn : {uint32(EAnimMovement::TurnLeft), uint32(EAnimMovement::TurnRight)})
        {
            m_kData.m_kStablePoints.Add({eTurn, 30.0f});
            m_kData.m_kStablePoints.Add({eTurn, 60.0f});
        }
        for (const InfoSynchronization& kSynchro :
             {Synchro(EAnimBehavior::WalkStart, EAnimMovement::IdleToWalkRight, 20, 30, EAnimMovement::Walk, 0, 10),
              Synchro(EAnimBehavior::WalkStart, EAnimMovement::IdleToWalkLeft, 20, 30, EAnimMovement::Walk, 15, 25),
              Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 10, 20, EAnimMovement::WalkToIdleRight, 0, 10)})
            m_kData.m_kSynchronizations.Add(kSynchro);
    }
    void TearDown() override
    {
        m_kActor.reset();
        m_kManager.DestroyActor(m_pAnimActor);
        m_kSkeleton.Release();
    }

    GaitActor& Actor()
    {
        if (!m_kActor)
        {
            m_kActor = std::make_unique<GaitActor>();
            m_kActor->Init(&m_kData, &m_kWorld, &m_kLink, m_pAnimActor, true, true);
        }
        return *m_kActor;
    }
    void Step(const Math::Quaternion& kTarget, float fSpeed, int iSteps = 1)
    {
        for (int i = 0; i < iSteps; ++i)
        {
            Actor().Update(kTarget, fSpeed, 16.0f);
            m_kManager.Tick(m_uiStorage, 16.0f);
        }
    }
    AnimationControl* Control(uint32 eMovement) { return Actor().GetMovementControl(eMovement); }

    TarnAnim::Skeleton m_kSkeleton;
    TarnRenderer::CAnimManager m_kManager;
    TarnRenderer::Link m_kLink;
    TarnEngine::WorldContext m_kWorld;
    uint32 m_uiStorage = 0;
    TarnRenderer::AnimActor* m_pAnimActor = nullptr;
    GaitRuntimeData m_kData;
    std::unique_ptr<GaitActor> m_kActor;
};

}  // namespace

TEST_F(GaitActorTest, InvalidDataIsRefusedAndCreatesNothing)
{
    m_kData.m_kBindAnims.RemoveAt(12);
    TestSupport::CAssertCapture kReports;
    Actor().SetStandby(false);
    EXPECT_TRUE(Actor().IsStandby());
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"false\" failed. Gait data is not valid"});
    EXPECT_TRUE(m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds().IsEmpty());
}

TEST_F(GaitActorTest, StartCreatesSilentControlsAndPlaysIdle)
{
    Actor().SetStandby(false);
    ASSERT_FALSE(Actor().IsStandby());
    EXPECT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::Idle));
    const auto& kIds = m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds();
    EXPECT_EQ(kIds.GetSize(), 13u);
    for (uint32 i = 0; i < EAnimMovement::NB_TYPE; ++i)
    {
        const AnimationControl* pControl = Control(i);
        ASSERT_NE(pControl, nullptr) << i;
        EXPECT_EQ(pControl->GetFadeDirection(), i == EAnimMovement::Idle ? 1 : -1) << i;
        // The actor sets the speeds of the walk, the turns, the starts and
        // the stops (Walk to WalkToIdleLeft) itself.
        const bool bOwnSpeed = i >= EAnimMovement::Walk && i <= EAnimMovement::WalkToIdleLeft;
        EXPECT_EQ(pControl->GetFlag(AnimationControl::kFlagSpeedFollowsFade), !bOwnSpeed) << i;
    }
    // Stable rotations: Idle frame 0 and the turns at 90 and 180 degrees.
    ASSERT_EQ(Actor().GetStableRotations().GetSize(), 5u);
    EXPECT_NEAR(std::fabs(Math::Quaternion::Dot(Actor().GetStableRotations()[1], Yaw(kPi / 2.0f))), 1.0f, 1e-4f);
    EXPECT_NEAR(std::fabs(Math::Quaternion::Dot(Actor().GetStableRotations()[4], Yaw(-kPi))), 1.0f, 1e-4f);

    // Standby holds them still, so that the pose stays; starting again
    // replaces them, and starting a started actor changes nothing.
    const uint32 uiIdleId = Control(EAnimMovement::Idle)->GetId();
    Actor().SetStandby(true);
    EXPECT_EQ(kIds.GetSize(), 13u);
    for (uint32 uiId : kIds)
        EXPECT_EQ(m_kSkeleton.GetControl(uiId)->GetSpeed(), 0.0f);
    Step(Math::Quaternion::Identity(), 1.0f, 5);
    EXPECT_EQ(Actor().GetCurrentMovement(), kInvalidIndex);
    EXPECT_EQ(m_kSkeleton.GetControl(uiIdleId)->GetSpeed(), 0.0f);
    Actor().SetStandby(false);
    EXPECT_EQ(kIds.GetSize(), 13u);
    Step(Math::Quaternion::Identity(), 0.0f, 1);
    const uint32 uiNewIdleId = Control(EAnimMovement::Idle)->GetId();
    Actor().SetStandby(false);
    EXPECT_EQ(Control(EAnimMovement::Idle)->GetId(), uiNewIdleId);
    EXPECT_EQ(kIds.GetSize(), 13u);
}

TEST_F(GaitActorTest, HandOversFollowTheTableFrameByFrame)
{
    struct SCase
    {
        const char* pName;
        std::vector<InfoSynchronization> kSynchros;  // empty: the fixture's
        float fWalkFrame;
        bool bHandsOver;
        float fTargetFrame;
        size_t uiReports;
    };
    const SCase akCases[] = {
        {"inside the range", {}, 15.0f, true, 5.0f, 0},
        {"before the range", {}, 9.0f, false, 0.0f, 0},
        {"after the range", {}, 21.0f, false, 0.0f, 0},
        {"short target range",
         {Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 10, 20, EAnimMovement::WalkToIdleRight, 0, 5)},
         18.0f,
         true,
         8.0f,
         5},
        {"later record wins",
         {Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 10, 20, EAnimMovement::WalkToIdleRight, 0, 10),
          Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 14, 16, EAnimMovement::WalkToIdleLeft, 2, 4)},
         15.0f,
         true,
         3.0f,
         0},
        {"source beyond the animation",
         {Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 28, 33, EAnimMovement::WalkToIdleRight, 0, 5)},
         29.0f,
         true,
         1.0f,
         3},
        {"an ease of zero swaps at once",
         {Synchro(EAnimBehavior::WalkStop, EAnimMovement::Walk, 0, 30, EAnimMovement::WalkToIdleLeft, 0, 30, 0)},
         15.0f,
         true,
         15.0f,
         0},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        if (!kCase.kSynchros.empty())
        {
            m_kData.m_kSynchronizations.Clear();
            for (const InfoSynchronization& kSynchro : kCase.kSynchros)
                m_kData.m_kSynchronizations.Add(kSynchro);
        }
        TestSupport::CAssertCapture kReports;
        Actor().SetStandby(false);
        EXPECT_EQ(kReports.Count(), kCase.uiReports);
        Control(EAnimMovement::Walk)->FadeIn(0.0f);
        Control(EAnimMovement::Walk)->SetFrame(kCase.fWalkFrame);
        const bool bHandedOver = Actor().TryTransition(EAnimMovement::Walk, EAnimBehavior::WalkStop);
        EXPECT_EQ(bHandedOver, kCase.bHandsOver);
        if (bHandedOver)
        {
            const uint32 eTarget = Actor().GetCurrentMovement();
            EXPECT_EQ(Control(eTarget)->GetFrame(), kCase.fTargetFrame);
            EXPECT_EQ(Control(eTarget)->GetFadeDirection(), 1);
            EXPECT_EQ(Control(EAnimMovement::Walk)->GetFadeDirection(), -1);
            const bool bAtOnce = kCase.kSynchros.size() == 1 && kCase.kSynchros[0].m_uiEaseMs == 0;
            EXPECT_EQ(Control(eTarget)->GetFadeFactor() == 1.0f, bAtOnce);
            EXPECT_EQ(Control(EAnimMovement::Walk)->GetFadeFactor() == 0.0f, bAtOnce);
        }
        Actor().SetStandby(true);
        m_kActor.reset();
    }
}

TEST_F(GaitActorTest, AHandOverIntoBreathLeavesTheStateMachineAlone)
{
    m_kData.m_kSynchronizations.Add(
        Synchro(EAnimBehavior::WalkStart, EAnimMovement::Idle, 0, 30, EAnimMovement::Breath, 0, 30, 0));
    Actor().SetStandby(false);
    ASSERT_TRUE(Actor().TryTransition(EAnimMovement::Idle, EAnimBehavior::WalkStart));
    ASSERT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::Breath));
    Step(Yaw(kPi / 2.0f), 1.0f, 30);
    EXPECT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::Breath));
    EXPECT_EQ(Control(EAnimMovement::TurnLeft)->GetFadeDirection(), -1);
}

TEST_F(GaitActorTest, AFarTargetTurnsInPlaceBeforeWalking)
{
    Actor().SetStandby(false);
    // 90 degrees to the left: fAmplitude is about 0.29, above 0.2.
    Step(Yaw(kPi / 2.0f), 1.0f, 3);
    EXPECT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::TurnLeft));
    EXPECT_EQ(Control(EAnimMovement::TurnLeft)->GetSpeed(), 1.0f);
    EXPECT_EQ(Control(EAnimMovement::TurnRight)->GetSpeed(), 0.0f);
    EXPECT_EQ(Control(EAnimMovement::Idle)->GetFadeDirection(), -1);
    // The turn plays until it has arrived at the stable orientation (90
    // degrees), then the walk starts: without steering, along it.
    Step(Yaw(kPi / 2.0f), 1.0f, 150);
    const uint32 eMovement = Actor().GetCurrentMovement();
    EXPECT_TRUE(eMovement == EAnimMovement::IdleToWalkRight || eMovement == EAnimMovement::IdleToWalkLeft ||
                eMovement == EAnimMovement::Walk)
        << eMovement;
    EXPECT_NEAR(Heading(m_kLink.GetWorldRotation()), kPi / 2.0f, 2.0f * kDegrees);

    // Speed 0 while turning: the idle takes over, the turn fades out still.
    Actor().SetStandby(true);
    Actor().SetStandby(false);
    Step(Yaw(-kPi / 2.0f), 1.0f, 3);
    EXPECT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::TurnRight));
    Step(Yaw(-kPi / 2.0f), 0.0f, 2);
    EXPECT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::Idle));
    EXPECT_EQ(Control(EAnimMovement::TurnRight)->GetFadeDirection(), -1);
    EXPECT_EQ(Control(EAnimMovement::TurnRight)->GetSpeed(), 0.0f);
    EXPECT_EQ(Control(EAnimMovement::Idle)->GetFadeDirection(), 1);
    EXPECT_EQ(Actor().GetAxes()[2].m_fValue, 0.0f);
}

TEST_F(GaitActorTest, FootOnFloorIsRaisedForEachPointTheWalkPasses)
{
    for (GaitPlugin::InfoFoFPoint kPoint : {GaitPlugin::InfoFoFPoint{EAnimMovement::Walk, 10},
                                            {EAnimMovement::Walk, 11},
                                            {EAnimMovement::Walk, 1},
                                            {EAnimMovement::Idle, 3} /* not the walk's */})
        m_kData.m_kFoFPoints.Add(kPoint);
    int iEvents = 0;
    Actor().SetFootOnFloorCallback(
        [](TarnRenderer::Link*, TarnRenderer::AnimActor*, void* pCount) { ++*static_cast<int*>(pCount); }, &iEvents);
    Actor().SetStandby(false);
    // Into the walk by its start's hand-over, on walk frame 5.
    Control(EAnimMovement::IdleToWalkRight)->SetFrame(25.0f);
    ASSERT_TRUE(Actor().TryTransition(EAnimMovement::IdleToWalkRight, EAnimBehavior::WalkStart));
    AnimationControl* pWalk = Control(EAnimMovement::Walk);
    ASSERT_EQ(pWalk->GetFrame(), 5.0f);
    struct SStep
    {
        float fFrame;  // where the walk is at the update
        int iEvents;   // reported so far
    };
    const SStep akSteps[] = {
        {8.0f, 0},              // nothing passed
        {12.0f, 2},             // frames 10 and 11, at once
        {12.0f, 2},             // nothing moved
        {29.5f, 2}, {2.5f, 3},  // across the wrap: frame 1
        {9.9f, 3},
    };
    for (const SStep& kStep : akSteps)
    {
        pWalk->SetFrame(std::floor(kStep.fFrame));
        pWalk->SetSpeed(1.0f);
        pWalk->Update((kStep.fFrame - std::floor(kStep.fFrame)) * pWalk->GetMsPerFrame());
        Actor().Update(Math::Quaternion::Identity(), 1.0f, 16.0f);
        EXPECT_EQ(iEvents, kStep.iEvents) << kStep.fFrame;
    }

    // Entering the walk exactly on a point reports it.
    Actor().SetStandby(true);
    Actor().SetStandby(false);
    iEvents = 0;
    Control(EAnimMovement::IdleToWalkRight)->SetFrame(30.0f);
    ASSERT_TRUE(Actor().TryTransition(EAnimMovement::IdleToWalkRight, EAnimBehavior::WalkStart));
    ASSERT_EQ(Control(EAnimMovement::Walk)->GetFrame(), 10.0f);
    Actor().Update(Math::Quaternion::Identity(), 1.0f, 16.0f);
    EXPECT_EQ(iEvents, 1);
}

TEST_F(GaitActorTest, RectifierExponentCountsWholePowers)
{
    struct SCase
    {
        float fExponent;
        float fFactor;  // x^exponent for a walk weight x of 0.5
    };
    const SCase akCases[] = {{8.7f, std::pow(0.5f, 8.0f)}, {-2.0f, 4.0f}, {0.0f, 1.0f}};
    // A small factor: the fraction stays below the correction's rate limit.
    constexpr float kFactor = 0.001f;
    const Math::Quaternion kTarget = Yaw(kPi / 2.0f);
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.fExponent);
        m_kData.m_kParameters = {kFactor, kCase.fExponent, 0.2f, 0.0001f};
        std::vector<Math::Quaternion> kSeen;
        Actor().SetRotationCallback(
            [](TarnRenderer::Link*, Math::LocalVector3&, Math::Quaternion& kRotation, void* pSeen) {
                static_cast<std::vector<Math::Quaternion>*>(pSeen)->push_back(kRotation);
            },
            &kSeen);
        Actor().SetStandby(false);
        TarnAnim::FrameProcessor* pProcessor = m_kSkeleton.GetFrameProcessor();
        auto pRectifier = pProcessor->GetAccumulationCallback();
        void* pUser = pProcessor->GetAccumulationUserData();
        ASSERT_NE(pRectifier, nullptr);
        // One pass of the rectifier on an identity rotation: what the owner
        // hears.
        auto Rectify = [&] {
            Math::LocalVector3 kTranslation;
            Math::Quaternion kRotation = Math::Quaternion::Identity();
            kSeen.clear();
            pRectifier(&m_kLink, kTranslation, kRotation, pUser);
        };

        // Idle: the rotation passes unchanged.
        Step(kTarget, 0.0f, 1);
        Rectify();
        ASSERT_EQ(kSeen.size(), 1u);
        EXPECT_EQ(kSeen[0], Math::Quaternion::Identity());

        // Turning counts as moving; the walk at weight 0.5 engages.
        Step(kTarget, 1.0f, 2);
        ASSERT_EQ(Actor().GetCurrentMovement(), uint32(EAnimMovement::TurnLeft));
        Control(EAnimMovement::Walk)->SetWeight(0.5f);
        Control(EAnimMovement::Walk)->FadeIn(0.0f);
        Rectify();
        // The document's fraction is per frame of the walk; the pass covers
        // the frame processor's last step.
        const float fFrames = pProcessor->GetRootMotionStepMs() / Control(EAnimMovement::Walk)->GetMsPerFrame();
        ASSERT_GT(fFrames, 0.0f);
        const float fPart = 1.0f - std::pow(1.0f - kCase.fFactor * kFactor, fFrames);
        ASSERT_EQ(kSeen.size(), 1u);
        EXPECT_NEAR(Math::Quaternion::Dot(
                        kSeen[0], Math::Quaternion::BlendNormalized(Math::Quaternion::Identity(), kTarget, fPart)),
                    1.0f, 1e-6f);

        // In standby the owner hears nothing.
        Actor().SetStandby(true);
        Rectify();
        EXPECT_TRUE(kSeen.empty());
        m_kActor.reset();
    }
}

TEST_F(GaitActorTest, TheLaterBindingWinsAndAMovementWithoutOneStandsBy)
{
    // Walk bound twice (the later to the Breath sequence), Idle not at all.
    m_kData.m_kBindAnims[EAnimMovement::Idle].m_eAnim = EAnimMovement::Walk;
    m_kData.m_kBindAnims[EAnimMovement::Idle].m_iAnimIdx = EAnimMovement::Walk;
    m_kData.m_kBindAnims[EAnimMovement::Walk].m_iAnimIdx = EAnimMovement::Breath;
    ASSERT_TRUE(GaitPlugin::IsDataValid(&m_kData));
    TestSupport::CAssertCapture kReports;
    Actor().SetStandby(false);
    EXPECT_EQ(Actor().GetTunes()[EAnimMovement::Walk].m_iAnimIdx, uint32(EAnimMovement::Breath));
    EXPECT_EQ(Actor().GetTunes()[EAnimMovement::Idle].m_iAnimIdx, kInvalidIndex);
    Step(Math::Quaternion::Identity(), 0.0f, 1);
    EXPECT_TRUE(Actor().IsStandby());
    EXPECT_TRUE(
        kReports.Has("Assertion \"false\" failed. some animations are no longer available to handle gait, going "
                     "to standby"));
    // Destroying the actor still removes the controls it made.
    m_kActor.reset();
    EXPECT_TRUE(m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds().IsEmpty());
}

TEST_F(GaitActorTest, StopLeavesControlsThatReusedItsIdsAlone)
{
    Actor().SetStandby(false);
    // Someone removes the actor's idle control; another control takes its id.
    const uint32 uiIdleId = Control(EAnimMovement::Idle)->GetId();
    m_kSkeleton.RemoveAnimationControl(uiIdleId);
    AnimationControl* pStranger = m_kSkeleton.CreateAnimatedControl(0, 0, EAnimMovement::LookUp);
    ASSERT_EQ(pStranger->GetId(), uiIdleId);
    pStranger->SetSpeed(0.5f);
    Actor().SetStandby(true);
    EXPECT_EQ(m_kSkeleton.GetControl(uiIdleId), pStranger);
    EXPECT_EQ(pStranger->GetSpeed(), 0.5f);
    // The actor's own controls go with it; the stranger stays.
    m_kActor.reset();
    EXPECT_EQ(m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds().GetSize(), 1u);
    EXPECT_EQ(m_kSkeleton.GetControl(uiIdleId), pStranger);
}
