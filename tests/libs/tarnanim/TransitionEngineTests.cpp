#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/Skeleton.h"
#include "Scene/Link.h"
#include "Transition/TransitionEngine.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using namespace TarnAnim;
using TestSupport::MakeMocap;

namespace {

// One frame per millisecond: a 1 ms tick moves every control exactly one
// frame, so one engine update runs per tick and global frame = tick count.
constexpr float kFps = 1000.0f;

// The engine of an anim actor in a manager session: its instance plays Hero
// (20-frame loops Idle, Walk and Run), its extra instance Tracks (12 frames:
// Events, and Path moving 0.1 along X per frame).
class TransitionEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_kSkeleton.Init(2, 2);
        m_kExtra.Init(2, 2);
        m_kSkeleton.AddMocap(
            MakeMocap("Hero", {{"Idle", 20, kFps, true}, {"Walk", 20, kFps, true}, {"Run", 20, kFps, true}}));
        m_kExtra.AddMocap(MakeMocap("Tracks", {{"Events", 12, kFps, false}, {"Path", 12, kFps, false, 0, 0.1f}}));
        m_pInstance = m_kSkeleton.CreateAnimatedSkeleton();
        m_uiStorage = m_kManager.AddSession();
        m_pActor = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, m_pInstance->GetIndex(), &m_kLink);
        m_pActor->pExtraSkeleton = &m_kExtra;
        m_pActor->uiExtraInstanceIdx = m_kExtra.CreateAnimatedSkeleton()->GetIndex();
        m_pEngine = m_pInstance->CreateTransitionEngine();
    }
    // The actor first (it resets its engine), then the skeletons.
    void TearDown() override
    {
        m_kManager.DestroyActor(m_pActor);
        m_kSkeleton.Release();
        m_kExtra.Release();
    }

    AnimationDesc& AddTune(const char* pSequence, const char* pAnimSet = "Hero")
    {
        AnimationDesc& kDesc = m_kData.m_kAnimations.Add();
        kDesc.m_kAnimSetName.Set(pAnimSet);
        kDesc.m_kSequenceName.Set(pSequence);
        return kDesc;
    }
    void AddTrack(uint32 uiSequence, uint32 uiFlags) { m_kData.m_kExtraTracks.Add({{"Tracks"}, uiSequence, uiFlags}); }
    // Idle, Walk, Run and the event track.
    void AddThreeTunes()
    {
        AddTune("Idle");
        AddTune("Walk");
        AddTune("Run");
        AddTrack(0, ExtraTrackDesc::kEventTrack);
    }
    // Owner, owner's ID, mocap (its own), link, actor, keep the link's transform, speed, data, play.
    void Setup(bool bPlay = true)
    {
        m_pEngine->Setup(
            {&m_kManager, m_pActor->uiId, kInvalidIndex, &m_kLink, m_pActor, false, 1.0f, &m_kData, bPlay});
    }
    // A behavior that counts its calls.
    void RegisterCounter()
    {
        m_pEngine->RegisterBehavior({m_aiCalls, [](void* p, TransitionEngine*) { ++static_cast<int*>(p)[0]; },
                                     [](void* p, TransitionEngine*, bool) { ++static_cast<int*>(p)[1]; },
                                     [](void* p) { ++static_cast<int*>(p)[2]; }});
    }
    void Tick(uint32 uiCount = 1)
    {
        for (uint32 i = 0; i < uiCount; ++i)
            m_kManager.Tick(m_uiStorage, 1.0f);
    }
    AnimationControl* Tune(uint32 ui) { return m_kSkeleton.GetControl(m_pEngine->GetNormalTunes()[ui].m_uiControlId); }
    AnimationControl* Extra(uint32 ui) { return m_kExtra.GetControl(m_pEngine->GetExtraTunes()[ui].m_uiControlId); }

    TarnRenderer::CAnimManager m_kManager;
    TarnRenderer::Link m_kLink;
    Skeleton m_kExtra;
    Skeleton m_kSkeleton;
    TransitionData m_kData;
    int m_aiCalls[3] = {};  // a behavior's ticks, starts and releases
    AnimatedSkeleton* m_pInstance = nullptr;
    TarnRenderer::AnimActor* m_pActor = nullptr;
    TransitionEngine* m_pEngine = nullptr;
    uint32 m_uiStorage = 0;
};

class TransitionEngineRunTest : public TransitionEngineTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(TransitionEngineRunTest, HandsOverAtTableFramesThenLoopsOrPauses)
{
    const bool bLoop = GetParam();
    AddThreeTunes();
    // Source tune, first and last frame, fade, target tune, its first frame and limit.
    m_kData.m_kFrameTransitions.Add({0, 4, 4, 0.0f, 1, 2, 100});  // Idle -> Walk at frame 2, at once
    m_kData.m_kFrameTransitions.Add({1, 8, 9, 3.0f, 2, 0, 0});    // Walk -> Run over 3 ms, held on frame 0
    Setup();
    m_pEngine->SetLoop(bLoop);
    ASSERT_EQ(m_pEngine->GetGlobalLength(), 12u);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), Tune(0));
    EXPECT_FLOAT_EQ(Tune(0)->GetEffectiveWeight(), 1.0f);
    Tick(3);
    EXPECT_EQ(m_pEngine->GetGlobalFrame(), 3u);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
    Tick();
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 1u);
    EXPECT_FLOAT_EQ(Tune(1)->GetFrame(), 2.0f);
    EXPECT_FLOAT_EQ(Tune(0)->GetEffectiveWeight(), 0.0f);
    EXPECT_FLOAT_EQ(Tune(1)->GetEffectiveWeight(), 1.0f);
    Tick(4);  // frame 8: the cross-fade starts
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 2u);
    EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), 0.0f);
    EXPECT_EQ(Tune(1)->GetFadeDirection(), -1);
    EXPECT_FLOAT_EQ(Tune(2)->GetFadeRemaining(), 3.0f);
    Tick();  // frame 9: still in the window, the target is held by its limit
    EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), 0.0f);
    EXPECT_GT(Tune(1)->GetEffectiveWeight(), 0.0f);
    Tick();  // frame 10: past the table, no hand-over again, Run plays on
    EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), 1.0f);
    Tick();  // frame 11 = global length - 1: the end of the run
    const float fRunFrame = Tune(2)->GetFrame();
    Tick(2);
    EXPECT_NE(m_pEngine->IsStopped(), bLoop);
    if (bLoop)
    {
        EXPECT_EQ(m_pEngine->GetGlobalFrame(), 2u);
        EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
        EXPECT_FLOAT_EQ(Tune(0)->GetEffectiveWeight(), 1.0f);
        EXPECT_FLOAT_EQ(Tune(0)->GetFrame(), 2.0f);
    }
    else
    {
        EXPECT_EQ(m_pEngine->GetGlobalFrame(), 11u);
        EXPECT_TRUE(Tune(2)->IsFrozen() && Extra(0)->IsFrozen());
        EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), fRunFrame);
    }
}

INSTANTIATE_TEST_SUITE_P(EndOfRun, TransitionEngineRunTest, ::testing::Values(false, true));

TEST_F(TransitionEngineTest, HoldFreezesTheTuneOnlyInsideItsWindow)
{
    // Play length 6 (20 frames x 0.3): a hold of 3 freezes global frames 5 to 7.
    const std::pair<uint32, std::vector<float>> akCases[] = {{kInvalidIndex, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
                                                             {3, {1, 2, 3, 4, 5, 5, 5, 5, 6, 7}}};
    for (const auto& [uiHold, kFrames] : akCases)
    {
        SCOPED_TRACE(uiHold);
        m_pEngine->Reset();
        m_kData = TransitionData();
        AnimationDesc& kDesc = AddTune("Idle");
        kDesc.m_uiHoldLength = uiHold;
        kDesc.m_fPlayFactor = 0.3f;
        AddTrack(0, ExtraTrackDesc::kEventTrack);
        Setup();
        ASSERT_EQ(m_pEngine->GetNormalTunes()[0].m_uiPlayLength, 6u);
        for (uint32 uiTick = 1; uiTick <= kFrames.size(); ++uiTick)
        {
            Tick();
            EXPECT_FLOAT_EQ(Tune(0)->GetFrame(), kFrames[uiTick - 1]) << "tick " << uiTick;
            EXPECT_EQ(Tune(0)->IsFrozen(), uiHold != kInvalidIndex && uiTick >= 5 && uiTick < 8) << "tick " << uiTick;
        }
    }
}

TEST_F(TransitionEngineTest, BehaviorsTickUnlessSuspendedAdditiveTunesReloadAndResetRemovesEverything)
{
    // Without normal tunes, only the global frame and the behaviors advance.
    AddTrack(0, ExtraTrackDesc::kEventTrack);
    RegisterCounter();
    Setup();
    EXPECT_EQ(m_aiCalls[1], 1);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), nullptr);
    Tick(5);
    EXPECT_EQ(m_pEngine->GetGlobalFrame(), 5u);
    EXPECT_EQ(m_aiCalls[0], 5);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 0u);
    m_pEngine->Suspend(true);
    Tick(2);
    EXPECT_EQ(m_pEngine->GetGlobalFrame(), 7u);
    EXPECT_EQ(m_aiCalls[0], 5);
    m_pEngine->Reset();
    EXPECT_EQ(m_aiCalls[2], 1);
    m_kData = TransitionData();
    AddThreeTunes();
    AddTune("Walk").m_bAdditive = true;
    m_kData.m_kAnimations[0].m_kAccumModificator.kVector1 = {2.0f, 0.0f, 0.0f};
    RegisterCounter();
    Setup();
    Tick(3);
    EXPECT_EQ(m_aiCalls[0], 8);
    EXPECT_TRUE(m_pInstance->GetAccumulation(1));
    // Reloading the additive tunes leaves the current normal tune and its modifier.
    m_pEngine->ReloadAdditiveTunes(&m_kData);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
    TransitionEngine::SAccumulation kAccumulation;
    ASSERT_TRUE(m_pEngine->GetAccumulation(kAccumulation));
    EXPECT_TRUE(kAccumulation.bHasModifier);
    EXPECT_FLOAT_EQ(kAccumulation.kVector1.x, 2.0f);
    ASSERT_EQ(m_pInstance->GetControlIds().GetSize(), 4u);
    ASSERT_EQ(m_kExtra.GetAnimatedSkeleton(0)->GetControlIds().GetSize(), 1u);
    m_pEngine->Reset();
    EXPECT_EQ(m_aiCalls[2], 2);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), nullptr);
    EXPECT_TRUE(m_pEngine->IsStopped());
    EXPECT_EQ(m_pEngine->GetSceneObject(), nullptr);
    EXPECT_EQ(m_kExtra.GetAnimatedSkeleton(0)->GetControlIds().GetSize(), 0u);
    EXPECT_FALSE(m_pInstance->GetAccumulation(0));
    Tick(2);  // nothing comes back
    EXPECT_EQ(m_aiCalls[0], 8);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 0u);
}

TEST_F(TransitionEngineTest, RootTrackPlacesTheLinkFromTheStartTransform)
{
    AddThreeTunes();
    AddTrack(1, ExtraTrackDesc::kRootTrack);
    m_kData.m_kInitialPosition = {1.0f, 2.0f, 0.0f};
    m_kData.m_kInitialRotation = Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, 1.5707964f);
    Setup();
    ASSERT_TRUE(m_pEngine->HasRootTrack());
    Tick(5);
    // The path moves 0.1 per frame along +X; the start rotation turns it to +Y.
    const float fFrame = Extra(1)->GetPosition();
    ASSERT_TRUE(m_pEngine->ApplyRootMotion());
    EXPECT_NEAR(m_kLink.GetWorldPosition().x, 1.0f, 1e-5f);
    EXPECT_NEAR(m_kLink.GetWorldPosition().y, 2.0f + 0.1f * fFrame, 1e-5f);
    EXPECT_NEAR(m_kLink.GetWorldRotation().z, m_kData.m_kInitialRotation.z, 1e-5f);
    m_pEngine->Suspend(true);
    EXPECT_FALSE(m_pEngine->ApplyRootMotion());
}

TEST_F(TransitionEngineTest, FaultyDataAndCommandsAreReportedAndSkippedAndMoveToStaysWithinTheTune)
{
    TestSupport::CAssertCapture kCapture;
    AddTune("Idle", "Nope");
    AddTune("Missing");
    AddTune("Walk");
    AddTrack(0, ExtraTrackDesc::kEventTrack);
    m_kData.m_kFrameTransitions.Add({2, 5, 4, 0.0f, 2, 0, 10});             // last < first: nothing
    m_kData.m_kFrameTransitions.Add({2, 1, 1, 0.0f, 7, 0, 10});             // target beyond the list
    m_kData.m_kFrameTransitions.Add({2, 2, 2, 70000.0f, 2, 70000, 80000});  // clamped fade and frame
    Setup(false);
    EXPECT_TRUE(
        kCapture.Has("Assertion \"uiMocapId != (uint32)-1\" failed. Prefab Hero doesn't have the AnimSet Nope"));
    EXPECT_TRUE(kCapture.Has("Assertion \"pAnim\" failed. Could not find sequence"));
    ASSERT_EQ(m_pEngine->GetNormalTunes().GetSize(), 3u);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 1u);
    ASSERT_EQ(m_pEngine->GetFrameTransitions().GetSize(), 1u);
    EXPECT_EQ(m_pEngine->GetFrameTable().GetSize(), 3u);
    EXPECT_EQ(m_pEngine->GetFrameTable()[1], kInvalidIndex);
    EXPECT_EQ(m_pEngine->GetFrameTransitions()[0].m_uiFadeLength, 65535u);
    EXPECT_EQ(m_pEngine->GetFrameTransitions()[0].m_uiTargetFrame, 0xFFFEu);
    // MoveTo on the extra tune (12 frames).
    for (const auto& [fArgument, fFrame] : {std::pair{50.0f, 11.0f}, {3.0f, 3.0f}, {11.0f, 11.0f}})
    {
        m_pEngine->SendCommand(TransitionEngine::kListExtra, TransitionEngine::kCmdMoveTo, fArgument);
        EXPECT_FLOAT_EQ(Extra(0)->GetFrame(), fFrame);
        EXPECT_TRUE(Extra(0)->IsFrozen());
        EXPECT_FLOAT_EQ(m_pEngine->SendCommand(TransitionEngine::kListExtra, TransitionEngine::kCmdEventFrame, 0.0f),
                        fFrame);
    }
    kCapture.Clear();
    EXPECT_EQ(m_pEngine->SendCommand(TransitionEngine::kListNormal, 15, 0.0f), -1.0f);
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. Unregistered command"));
    EXPECT_EQ(m_pEngine->TuneCommand(3, TransitionEngine::kCmdPlay, 0.0f), -1.0f);
    EXPECT_TRUE(kCapture.Has("Assertion \"m_vecAnimationTune.GetSize() > iAnimIdx\" failed. Wrong anim tag index"));
}

}  // namespace
