#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "Process/FrameProcessor.h"
#include "Scene/Link.h"
#include "Transition/TransitionEngine.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using TarnAnim::AnimationControl;
namespace AnimHelper = TarnAnim::AnimHelper;
using TarnAnim::Skeleton;
using TarnRenderer::AnimActor;
using TarnRenderer::CAnimManager;
using TarnRenderer::Link;
using TestSupport::MakeMocap;

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kMsPerFrame = 1000.0f / 30.0f;

enum ESequence : uint32
{
    kWalk = 0,  // 1.4 m/s forward, loops (31 frames: a 30-frame cycle)
    kTurn = 1,  // 90 degrees of yaw in place over 30 frames
    kIdle = 2,  // loops, no displacement
};

// One character on the real runtime: a skeleton with a walk, a turn and an
// idle, one instance, its link and its anim actor in a manager session.
class AnimManagerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_kSkeleton.Init(2, 2);
        // Name, frames, rate, loop, blend mode, forward and yaw per frame.
        ASSERT_EQ(m_kSkeleton.AddMocap(MakeMocap("Biped", {{"Walk", 31, 30.0f, true, 0, 1.4f / 30.0f},
                                                           {"Turn", 31, 30.0f, false, 0, 0.0f, (kPi / 2.0f) / 30.0f},
                                                           {"Idle", 31, 30.0f, true}})),
                  0);
        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
        m_uiStorage = m_kManager.AddSession();
        m_pActor = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, 0, &m_kLink);
        ASSERT_NE(m_pActor, nullptr);
        m_kSkeleton.GetFrameProcessor()->SetEndOfPassCallback(
            [](Skeleton*, uint32, void* p) { ++*static_cast<uint32*>(p); }, &m_uiSteps);
    }
    void TearDown() override
    {
        if (m_pActor)
            m_kManager.DestroyActor(m_pActor);
        m_kSkeleton.Release();
    }

    AnimationControl* Play(uint32 uiSequence) { return AnimHelper::PlayAnim(&m_kSkeleton, 0, 0, uiSequence, 0.0f); }
    void TickFor(float fTotalMs, float fStepMs = 16.0f)
    {
        for (float fDone = 0.0f; fDone + 0.5f < fTotalMs; fDone += fStepMs)
            m_kManager.Tick(m_uiStorage, fStepMs);
    }
    // Events of the skeleton go to m_kEventFrames: the frame of their control.
    void LogEvents()
    {
        m_kSkeleton.SetEventCallback(
            [](Skeleton* pSkeleton, TarnAnim::EventInstance* pEvent, uint64, void* pFrames) {
                static_cast<std::vector<float>*>(pFrames)->push_back(
                    pSkeleton->GetControl(pEvent->m_uiControlId)->GetFrame());
            },
            &m_kEventFrames);
    }

    Skeleton m_kSkeleton;
    CAnimManager m_kManager;
    Link m_kLink;
    uint32 m_uiStorage = 0;
    AnimActor* m_pActor = nullptr;
    uint32 m_uiSteps = 0;  // passes of the frame processor
    std::vector<float> m_kEventFrames;
};

// The heading of a rotation in the XY plane.
const auto Yaw = [](const Math::Quaternion& kRotation) {
    const Math::LocalVector3 kForward = kRotation.Rotate({1.0f, 0.0f, 0.0f});
    return std::atan2(kForward.y, kForward.x);
};

}  // namespace

TEST_F(AnimManagerTest, ATickStepsFrameByFrameEventsSeeEveryFrameAndALoopStartsAgainFromFrameZero)
{
    LogEvents();
    for (uint32 uiFrame : {1u, 2u, 3u, 5u})
        m_kSkeleton.AddEventInfo(0, kTurn, uiFrame, uiFrame, false);
    AnimationControl* pControl = Play(kTurn);
    m_kManager.Tick(m_uiStorage, 110.0f);
    EXPECT_EQ(m_uiSteps, 4u);
    EXPECT_EQ(pControl->GetFrame(), 3.0f);
    EXPECT_NEAR(pControl->GetFraction(), 0.3f, 1e-3f);
    EXPECT_EQ(m_kEventFrames, (std::vector<float>{1.0f, 2.0f, 3.0f}));
    // The first step lands on the last frame (30); the second starts again
    // from frame 0 rather than from 30.
    pControl = Play(kWalk);
    pControl->SetFrame(29.0f);
    m_kManager.Tick(m_uiStorage, 1.2f * kMsPerFrame);
    EXPECT_NEAR(pControl->GetPosition(), 0.2f, 1e-3f);
    EXPECT_EQ(m_kSkeleton.GetFrameProcessor()->GetProgress(pControl->GetId())->fBefore, 0.0f);
}

TEST_F(AnimManagerTest, FrozenAndStoppedControlsConsumeTheirTimeWithoutMoving)
{
    AnimationControl* pFrozen = Play(kWalk);
    pFrozen->SetFrame(4.0f);
    pFrozen->SetFrozen(true);
    // Created directly: playing it would fade the frozen control out.
    AnimationControl* pStill = m_kSkeleton.CreateAnimatedControl(0, 0, kIdle);
    pStill->SetWeight(1.0f);
    pStill->FadeIn(0.0f);
    pStill->SetSpeed(0.0f);
    pStill->SetFrame(7.0f);
    m_kManager.Tick(m_uiStorage, 490.0f);
    EXPECT_EQ(pFrozen->GetPosition(), 4.0f);
    EXPECT_EQ(pStill->GetPosition(), 7.0f);
    // A frozen control still steps one frame's worth at a time; a still one
    // spends all its time in one step.
    EXPECT_EQ(m_uiSteps, 15u);
    EXPECT_FALSE(m_kSkeleton.GetFrameProcessor()->GetProgress(pStill->GetId())->fRemaining > 0.0f);
}

TEST_F(AnimManagerTest, NoSpeedOrTickLengthHoldsATickBeyondItsBoundedSteps)
{
    // Whatever reaches a control's speed, a tick takes a bounded number of
    // steps and leaves the control on its sequence and the link finite.
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    const std::tuple<const char*, float, float> akCases[] = {
        {"a usual speed", 1.0f, 16.0f},
        {"the largest speed", AnimationControl::kMaxSpeed, 16.0f},
        {"beyond the largest speed", 1.0e6f, 16.0f},
        {"below the smallest speed", -1.0e6f, 16.0f},
        {"the largest float", std::numeric_limits<float>::max(), 16.0f},
        {"an infinity", kInfinity, 16.0f},
        {"minus an infinity", -kInfinity, 16.0f},
        {"not a number", std::numeric_limits<float>::quiet_NaN(), 16.0f},
        {"fast over a long tick", 50.0f, 60000.0f}};
    const uint32 uiMaxSteps = 2 * TarnAnim::FrameProcessor::kMaxFrameStepsPerTick + 2;
    for (const auto& [pName, fSpeed, fTickMs] : akCases)
    {
        SCOPED_TRACE(pName);
        AnimationControl* pWalk = Play(kWalk);
        ASSERT_NE(pWalk, nullptr);
        ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, true));
        pWalk->SetSpeed(fSpeed);
        EXPECT_LE(std::fabs(pWalk->GetSpeed()), AnimationControl::kMaxSpeed);
        m_uiSteps = 0;
        m_kManager.Tick(m_uiStorage, fTickMs);
        EXPECT_GE(m_uiSteps, 1u);
        EXPECT_LE(m_uiSteps, uiMaxSteps);
        EXPECT_GE(pWalk->GetPosition(), 0.0f);
        EXPECT_LE(pWalk->GetPosition(), pWalk->GetFrameCount() - 1.0f);
        const Math::LocalVector3 kPosition = m_kLink.GetWorldPosition();
        EXPECT_TRUE(std::isfinite(kPosition.x) && std::isfinite(kPosition.y) && std::isfinite(kPosition.z));
        m_kSkeleton.RemoveAnimationControl(pWalk->GetId());
    }
}

TEST_F(AnimManagerTest, ALoopPlayedBackwardsLandsOnFrameZeroAndMovesTheRootSmoothly)
{
    LogEvents();
    m_kSkeleton.AddEventInfo(0, kWalk, 0, 0, false);
    AnimationControl* pWalk = Play(kWalk);
    ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, true));
    pWalk->SetSpeed(-1.0f);
    pWalk->SetFrame(3.0f);
    // Steps of two frames from a whole frame: frame 0 is reached exactly at
    // the end of a frame step, with no boundary to land on. Then 16 ms steps,
    // which cross it between engine steps.
    std::vector<float> kSteps;
    float fLastX = m_kLink.GetWorldPosition().x;
    for (int i = 0; i < 100; ++i)
    {
        const float fStepMs = i < 20 ? 2.0f * kMsPerFrame : 16.0f;
        m_kManager.Tick(m_uiStorage, fStepMs);
        const float fX = m_kLink.GetWorldPosition().x;
        kSteps.push_back((fX - fLastX) / fStepMs);
        fLastX = fX;
    }
    // 40 + 38.4 frames back from frame 3: frame 0 is reached three times.
    EXPECT_EQ(m_kEventFrames, (std::vector<float>{0.0f, 0.0f, 0.0f}));
    // The root goes back at the same speed every step: no jump at the wrap.
    for (float fStep : kSteps)
        EXPECT_NEAR(fStep * 1000.0f, -1.4f, 1e-2f);
}

TEST_F(AnimManagerTest, RootMotionTurnsTheLinkByATurnsAngleAndMovesItAlongItsHeadingWithAWalk)
{
    ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, true));
    Play(kTurn);
    TickFor(1500.0f);
    EXPECT_NEAR(Yaw(m_kLink.GetWorldRotation()), kPi / 2.0f, 1e-3f);
    EXPECT_NEAR(m_kLink.GetWorldPosition().Length(), 0.0f, 1e-4f);
    // Then a walk, across two loop wraps, along the new heading (+Y).
    Play(kWalk);
    TickFor(2000.0f);
    const Math::LocalVector3 kMoved = m_kLink.GetWorldPosition();
    EXPECT_NEAR(kMoved.Length(), 2.8f, 2.8f * 0.01f);
    EXPECT_NEAR(kMoved.x, 0.0f, 0.01f);
    EXPECT_GT(kMoved.y, 0.0f);
    EXPECT_NEAR(Yaw(m_kLink.GetWorldRotation()), kPi / 2.0f, 1e-3f);
}

TEST_F(AnimManagerTest, EachInstanceRunsItsOwnPassesAndOneWithoutAnActorPlaysToo)
{
    // The actor's turn, one frame a pass; a second instance, no actor, with a
    // walk at four times the rate and events of its own.
    AnimationControl* pTurn = Play(kTurn);
    ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
    AnimationControl* pFast = AnimHelper::PlayAnim(&m_kSkeleton, 1, 0, kWalk, 0.0f);
    ASSERT_NE(pFast, nullptr);
    pFast->SetSpeed(4.0f);
    LogEvents();
    m_kSkeleton.AddEventInfo(1, 0, kWalk, 4, 4, false);
    std::vector<uint32> kPasses(2, 0);
    m_kSkeleton.GetFrameProcessor()->SetEndOfPassCallback(
        [](Skeleton*, uint32 uiInstance, void* p) { ++(*static_cast<std::vector<uint32>*>(p))[uiInstance]; }, &kPasses);
    m_kManager.Tick(m_uiStorage, 100.0f);
    // 3 frames for the turn, 12 for the walk: each instance a pass a frame
    // of its own, not one for each of the other's.
    EXPECT_EQ(kPasses, (std::vector<uint32>{3u, 12u}));
    EXPECT_NEAR(pTurn->GetPosition(), 3.0f, 1e-3f);
    EXPECT_NEAR(pFast->GetPosition(), 12.0f, 1e-3f);
    // The second instance's event fired when its walk stood on frame 4.
    EXPECT_EQ(m_kEventFrames, (std::vector<float>{4.0f}));
}

TEST_F(AnimManagerTest, AnInstanceTwoActorsNameIsSteppedOncePerTick)
{
    AnimationControl* pTurn = Play(kTurn);
    Link kOtherLink;
    AnimActor* pSecond = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, 0, &kOtherLink);
    ASSERT_NE(pSecond, nullptr);
    m_kManager.Tick(m_uiStorage, 100.0f);
    EXPECT_EQ(m_uiSteps, 3u);
    EXPECT_NEAR(pTurn->GetPosition(), 3.0f, 1e-3f);
    m_kManager.DestroyActor(pSecond);
}

TEST_F(AnimManagerTest, AccumulationNeedsMotionDataAndLandsOnTheActorsLink)
{
    TarnAnim::AnimatedSkeleton* pInstance = m_kSkeleton.GetAnimatedSkeleton(0);
    ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, true));
    ASSERT_NE(pInstance->GetTransitionEngine(), nullptr);
    EXPECT_EQ(pInstance->GetTransitionEngine()->GetSceneObject(), &m_kLink);
    EXPECT_TRUE(pInstance->GetAccumulation(0));
    EXPECT_TRUE(pInstance->GetAccumulation(1));
    // A reset engine forgets its scene object; switching on again restores it.
    pInstance->GetTransitionEngine()->Reset();
    ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, true));
    EXPECT_EQ(pInstance->GetTransitionEngine()->GetSceneObject(), &m_kLink);
    ASSERT_TRUE(m_kManager.SetAccumulation(m_pActor, false));
    EXPECT_FALSE(pInstance->GetAccumulation(1));
    Skeleton kEmpty;
    kEmpty.Init(1, 1);
    kEmpty.CreateAnimatedSkeleton();
    AnimActor* pEmptyActor = m_kManager.CreateActor(m_uiStorage, &kEmpty, 0, &m_kLink);
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(m_kManager.SetAccumulation(pEmptyActor, true));
    TarnAnim::Mocap* pNoAccumulation = MakeMocap("Flat", {{.pName = "Still"}});
    pNoAccumulation->m_auiAccumChannels[2] = kInvalidIndex;
    kEmpty.AddMocap(pNoAccumulation);
    EXPECT_FALSE(m_kManager.SetAccumulation(pEmptyActor, true));
    EXPECT_EQ(kReports.Texts(),
              (std::vector<std::string>{"Assertion \"false\" failed. Skeleton is not init",
                                        "Assertion \"false\" failed. Skeleton has no accumulation channel"}));
    m_kManager.DestroyActor(pEmptyActor);
    kEmpty.Release();
}

TEST_F(AnimManagerTest, OneShotEventsFireOnceAndCallbacksMayRemoveThem)
{
    LogEvents();
    TarnAnim::EventInfo* pOnce = m_kSkeleton.AddEventInfo(0, kWalk, 2, 7, true);
    m_kSkeleton.AddEventInfo(0, kWalk, 4, 9, false);
    Play(kWalk);
    TickFor(2100.0f);  // more than two cycles
    EXPECT_EQ(m_kEventFrames, (std::vector<float>{2.0f, 4.0f, 4.0f}));
    m_kSkeleton.RemoveEventInfo(pOnce->m_uiId);
    TestSupport::CAssertCapture kReports;
    m_kSkeleton.RemoveEventInfo(0);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"pEventInfo\" failed. EventInfo already removed"});
}

TEST_F(AnimManagerTest, FadedOutControlsAreRemovedAtTheEndOfTheTick)
{
    AnimationControl* pFirst = Play(kWalk);
    const uint32 uiFirst = pFirst->GetId();
    AnimHelper::PlayAnim(&m_kSkeleton, 0, 0, kIdle, 100.0f);
    TickFor(96.0f);
    EXPECT_NE(m_kSkeleton.GetControl(uiFirst), nullptr);
    TickFor(16.0f);
    EXPECT_EQ(m_kSkeleton.GetControl(uiFirst), nullptr);
    EXPECT_EQ(m_kSkeleton.GetAnimatedSkeleton(0)->GetControlIds().GetSize(), 1u);
    char acDump[64];
    EXPECT_TRUE(m_kSkeleton.DumpControls(acDump, sizeof(acDump)));
    EXPECT_STREQ(acDump, "(0)Biped Idle \n");
    EXPECT_FALSE(m_kSkeleton.DumpControls(acDump, 8));
}

TEST_F(AnimManagerTest, ASecondMocapMustShareTheArchitecture)
{
    TarnAnim::Mocap* pOther = MakeMocap("Other", {{.pName = "Walk"}});
    pOther->m_kChannelNames.Add().Set("Extra");
    pOther->m_kChannelParents.Add(2);
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(m_kSkeleton.AddMocap(pOther), -1);
    EXPECT_EQ(kReports.Texts(),
              std::vector<std::string>{"Assertion \"false\" failed. Cannot add new Mocap with different "
                                       "architecture that one previously added"});
    EXPECT_EQ(m_kSkeleton.AddMocap(MakeMocap("Same", {{.pName = "Walk"}})), 1);
    EXPECT_EQ(m_kSkeleton.FindMocap("Same"), 1);
    EXPECT_TRUE(m_kSkeleton.IsMocapUnused(1));
}

TEST_F(AnimManagerTest, CallbacksMayChangeActorsAndControlsDuringATick)
{
    // An event callback destroys the actor that is being stepped.
    std::pair kState{&m_kManager, &m_pActor};
    m_kSkeleton.AddEventInfo(0, kWalk, 1, 1, false);
    AnimationControl* pWalk = Play(kWalk);
    pWalk->SetEventCallback(
        [](Skeleton*, TarnAnim::EventInstance*, uint64, void* pUser) {
            auto* pState = static_cast<std::pair<CAnimManager*, AnimActor**>*>(pUser);
            pState->first->DestroyActor(*pState->second);
            *pState->second = nullptr;
        },
        &kState);
    m_kManager.Tick(m_uiStorage, 110.0f);
    EXPECT_EQ(m_pActor, nullptr);
    EXPECT_EQ(pWalk->GetFrame(), 3.0f);  // the skeleton still stepped through the tick
}

TEST_F(AnimManagerTest, AControlRecreatedInAFreedSlotIsANewControl)
{
    // The control's own callback replaces it by a new control of the same
    // sequence, which takes the same id and event slot.
    uint32 uiNewId = kInvalidIndex;
    m_kSkeleton.AddEventInfo(0, kTurn, 2, 2, true);  // one-shot
    AnimationControl* pFirst = Play(kTurn);
    pFirst->SetSpeed(2.0f);
    pFirst->SetEventCallback(
        [](Skeleton* pSkeleton, TarnAnim::EventInstance* pInstance, uint64, void* pNewId) {
            if (*static_cast<uint32*>(pNewId) != kInvalidIndex)
                return;
            pSkeleton->RemoveAnimationControl(pInstance->m_uiControlId);
            AnimationControl* pNew = pSkeleton->CreateAnimatedControl(0, 0, kTurn);
            pNew->SetWeight(1.0f);
            pNew->FadeIn(0.0f);
            pNew->SetSpeed(0.5f);
            *static_cast<uint32*>(pNewId) = pNew->GetId();
        },
        &uiNewId);
    LogEvents();
    m_kManager.Tick(m_uiStorage, 100.0f);
    AnimationControl* pNew = m_kSkeleton.GetControl(uiNewId);
    ASSERT_NE(pNew, nullptr);
    // The new control has no time in the tick it was made in, and its event
    // binding is neither fired nor removed by the old one's one-shot rule.
    EXPECT_EQ(pNew->GetPosition(), 0.0f);
    EXPECT_TRUE(m_kEventFrames.empty());
    uint32 uiBindings = 0;
    for (uint32 i = 0; i < 8; ++i)
        if (TarnAnim::EventInstance* pInstance = m_kSkeleton.GetEventInstance(i))
            uiBindings += pInstance->m_uiControlId == uiNewId ? 1 : 0;
    EXPECT_EQ(uiBindings, 1u);
}
