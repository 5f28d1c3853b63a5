#include <cmath>
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

struct SBehaviorLog
{
    int iTicks = 0;
    int iStarts = 0;
    int iReleases = 0;
};

class TransitionEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_kSkeleton.Init(2, 2);
        m_kExtra.Init(2, 2);
        m_kSkeleton.AddMocap(MakeMocap("Hero", {{"Idle", 20, kFps, true}, {"Walk", 20, kFps, true}, {"Run", 20, kFps, true}}));
        m_kExtra.AddMocap(MakeMocap("Tracks", {{"Events", 12, kFps, false}, {"Path", 12, kFps, false, 0, 0.1f}}));
        m_pInstance = m_kSkeleton.CreateAnimatedSkeleton();
        m_pExtraInstance = m_kExtra.CreateAnimatedSkeleton();
        m_uiStorage = m_kManager.AddSession();
        m_pActor = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, m_pInstance->GetIndex(), &m_kLink);
        m_pActor->pExtraSkeleton = &m_kExtra;
        m_pActor->uiExtraInstanceIdx = m_pExtraInstance->GetIndex();
        m_pEngine = m_pInstance->CreateTransitionEngine();
    }
    // The actor first (it resets the engine that names it, while both
    // skeletons live), then the skeletons, before the manager goes.
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
    void AddTrack(uint32 uiSequence, uint32 uiFlags)
    {
        ExtraTrackDesc& kTrack = m_kData.m_kExtraTracks.Add();
        kTrack.m_kAnimSetName.Set("Tracks");
        kTrack.m_uiSequenceIndex = uiSequence;
        kTrack.m_uiFlags = uiFlags;
    }
    void AddTransition(uint32 uiSource, uint32 uiFirst, uint32 uiLast, float fFade, uint32 uiTarget,
                       uint32 uiTargetFirst, uint32 uiLimit)
    {
        m_kData.m_kFrameTransitions.Add({uiSource, uiFirst, uiLast, fFade, uiTarget, uiTargetFirst, uiLimit});
    }
    // Idle, Walk, Run and the 12-frame event track.
    void AddThreeTunes()
    {
        AddTune("Idle");
        AddTune("Walk");
        AddTune("Run");
        AddTrack(0, ExtraTrackDesc::kEventTrack);
    }
    void Setup(bool bPlay = true)
    {
        TransitionEngine::SetupParams kParams;
        kParams.pOwner = &m_kManager;
        kParams.uiOwnerId = m_pActor->uiId;
        kParams.pSceneObject = &m_kLink;
        kParams.pAnimActor = m_pActor;
        kParams.pTransitionData = &m_kData;
        kParams.bPlay = bPlay;
        m_pEngine->Setup(kParams);
    }
    void RegisterLog()
    {
        TransitionEngine::RegisteredBehavior kBehavior;
        kBehavior.pObject = &m_kLog;
        kBehavior.pTick = [](void* p, TransitionEngine*) { ++static_cast<SBehaviorLog*>(p)->iTicks; };
        kBehavior.pStart = [](void* p, TransitionEngine*, bool) { ++static_cast<SBehaviorLog*>(p)->iStarts; };
        kBehavior.pRelease = [](void* p) { ++static_cast<SBehaviorLog*>(p)->iReleases; };
        m_pEngine->RegisterBehavior(kBehavior);
    }
    void Tick(uint32 uiCount = 1)
    {
        for (uint32 i = 0; i < uiCount; ++i)
            m_kManager.Tick(m_uiStorage, 1.0f);
    }
    AnimationControl* Tune(uint32 uiIndex) const
    {
        return m_kSkeleton.GetControl(m_pEngine->GetNormalTunes()[uiIndex].m_uiControlId);
    }
    AnimationControl* EventControl() const { return m_kExtra.GetControl(m_pEngine->GetExtraTunes()[0].m_uiControlId); }

    TarnRenderer::CAnimManager m_kManager;
    TarnRenderer::Link m_kLink;
    Skeleton m_kExtra;
    Skeleton m_kSkeleton;
    TransitionData m_kData;
    SBehaviorLog m_kLog;
    AnimatedSkeleton* m_pInstance = nullptr;
    AnimatedSkeleton* m_pExtraInstance = nullptr;
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
    AddTransition(0, 4, 4, 0.0f, 1, 2, 100);  // Idle -> Walk at frame 2, at once
    AddTransition(1, 8, 9, 3.0f, 2, 0, 0);    // Walk -> Run over 3 ms, held on frame 0
    Setup();
    m_pEngine->SetLoop(bLoop);
    ASSERT_EQ(m_pEngine->GetGlobalLength(), 12u);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), Tune(0));
    EXPECT_FLOAT_EQ(Tune(0)->GetEffectiveWeight(), 1.0f);
    EXPECT_FLOAT_EQ(Tune(1)->GetEffectiveWeight(), 0.0f);

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
    EXPECT_EQ(Tune(2)->GetFadeDirection(), 1);
    EXPECT_FLOAT_EQ(Tune(2)->GetFadeRemaining(), 3.0f);
    Tick();  // frame 9: still in the window, the target is held by its limit
    EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), 0.0f);
    EXPECT_FLOAT_EQ(Tune(2)->GetFadeRemaining(), 2.0f);
    EXPECT_GT(Tune(1)->GetEffectiveWeight(), 0.0f);
    Tick();  // frame 10: past the table, Run plays on
    EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), 1.0f);

    Tick();  // frame 11 = global length - 1: the end of the run
    if (bLoop)
    {
        EXPECT_FALSE(m_pEngine->IsStopped());
        EXPECT_EQ(m_pEngine->GetGlobalFrame(), 0u);
        EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
        EXPECT_FLOAT_EQ(Tune(0)->GetEffectiveWeight(), 1.0f);
        Tick(2);
        EXPECT_EQ(m_pEngine->GetGlobalFrame(), 2u);
        EXPECT_FLOAT_EQ(Tune(0)->GetFrame(), 2.0f);
    }
    else
    {
        EXPECT_TRUE(m_pEngine->IsStopped());
        EXPECT_TRUE(Tune(2)->IsFrozen());
        EXPECT_TRUE(EventControl()->IsFrozen());
        const float fRunFrame = Tune(2)->GetFrame();
        Tick(2);
        EXPECT_EQ(m_pEngine->GetGlobalFrame(), 11u);
        EXPECT_FLOAT_EQ(Tune(2)->GetFrame(), fRunFrame);
    }
}

INSTANTIATE_TEST_SUITE_P(EndOfRun, TransitionEngineRunTest, ::testing::Values(false, true));

TEST_F(TransitionEngineTest, WithoutNormalTunesOnlyGlobalFrameAndBehaviorsAdvance)
{
    AddTrack(0, ExtraTrackDesc::kEventTrack);
    RegisterLog();
    Setup();
    EXPECT_EQ(m_kLog.iStarts, 1);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), kInvalidIndex);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), nullptr);
    Tick(5);
    EXPECT_EQ(m_pEngine->GetGlobalFrame(), 5u);
    EXPECT_EQ(m_kLog.iTicks, 5);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 0u);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), nullptr);
    m_pEngine->Suspend(true);
    Tick(2);
    EXPECT_EQ(m_pEngine->GetGlobalFrame(), 7u);
    EXPECT_EQ(m_kLog.iTicks, 5);
}

TEST_F(TransitionEngineTest, HoldFreezesTheTuneOnlyInsideItsWindow)
{
    struct SCase
    {
        uint32 uiHold;
        std::vector<float> kFrames;  // the tune's frame after ticks 1..10
    };
    // Play length 6 (20 frames x 0.3): a hold of 3 freezes global frames 5 to 7.
    const SCase akCases[] = {
        {kInvalidIndex, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {3, {1, 2, 3, 4, 5, 5, 5, 5, 6, 7}},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.uiHold);
        m_pEngine->Reset();
        m_kData = TransitionData();
        AnimationDesc& kDesc = AddTune("Idle");
        kDesc.m_uiHoldLength = kCase.uiHold;
        kDesc.m_fPlayFactor = 0.3f;
        AddTrack(0, ExtraTrackDesc::kEventTrack);
        Setup();
        ASSERT_EQ(m_pEngine->GetNormalTunes()[0].m_uiPlayLength, 6u);
        for (uint32 uiTick = 0; uiTick < kCase.kFrames.size(); ++uiTick)
        {
            Tick();
            EXPECT_FLOAT_EQ(Tune(0)->GetFrame(), kCase.kFrames[uiTick]) << "tick " << uiTick + 1;
            const bool bHeld = uiTick + 1 >= 5 && uiTick + 1 < 8 && kCase.uiHold != kInvalidIndex;
            EXPECT_EQ(Tune(0)->IsFrozen(), bHeld) << "tick " << uiTick + 1;
        }
    }
}

TEST_F(TransitionEngineTest, GlobalFrameBeyondTheTableNeverTransitions)
{
    AddThreeTunes();
    AddTransition(0, 2, 2, 0.0f, 1, 2, 100);
    Setup();
    ASSERT_EQ(m_pEngine->GetFrameTable().GetSize(), 3u);
    Tick(8);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 1u);
    EXPECT_FLOAT_EQ(Tune(1)->GetFrame(), 8.0f);  // moved to 2 at frame 2, never again
}

TEST_F(TransitionEngineTest, MoveToOnExtraTuneStaysWithinItsFrames)
{
    AddThreeTunes();
    Setup(false);
    const struct
    {
        float fArgument;
        float fFrame;
    } akCases[] = {{50.0f, 11.0f}, {3.0f, 3.0f}, {11.0f, 11.0f}};
    for (const auto& kCase : akCases)
    {
        m_pEngine->SendCommand(TransitionEngine::kListExtra, TransitionEngine::kCmdMoveTo, kCase.fArgument);
        EXPECT_FLOAT_EQ(EventControl()->GetFrame(), kCase.fFrame);
        EXPECT_TRUE(EventControl()->IsFrozen());
        EXPECT_FLOAT_EQ(m_pEngine->SendCommand(TransitionEngine::kListExtra, TransitionEngine::kCmdEventFrame, 0.0f),
                        kCase.fFrame);
    }
}

TEST_F(TransitionEngineTest, ResetRemovesEveryControlAndReleasesBehaviors)
{
    AddThreeTunes();
    AddTune("Walk").m_bAdditive = true;
    RegisterLog();
    Setup();
    Tick(3);
    EXPECT_EQ(m_kLog.iTicks, 3);
    EXPECT_TRUE(m_pInstance->GetAccumulation(1));
    ASSERT_EQ(m_pInstance->GetControlIds().GetSize(), 4u);
    ASSERT_EQ(m_pExtraInstance->GetControlIds().GetSize(), 1u);

    m_pEngine->Reset();
    EXPECT_EQ(m_kLog.iReleases, 1);
    EXPECT_EQ(m_pEngine->GetCurrentTuneControl(), nullptr);
    EXPECT_TRUE(m_pEngine->IsStopped());
    EXPECT_EQ(m_pEngine->GetSceneObject(), nullptr);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 0u);
    EXPECT_EQ(m_pExtraInstance->GetControlIds().GetSize(), 0u);
    EXPECT_FALSE(m_pInstance->GetAccumulation(0));
    Tick(2);
    EXPECT_EQ(m_kLog.iTicks, 3);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 0u);
}

TEST_F(TransitionEngineTest, AdditiveTunesLeaveTheCurrentNormalTuneAndItsModifier)
{
    AddTune("Walk").m_bAdditive = true;
    AddTune("Run").m_bAdditive = true;
    AddTune("Idle").m_kAccumModificator.kVector1 = {2.0f, 0.0f, 0.0f};
    AddTrack(0, ExtraTrackDesc::kEventTrack);
    Setup();
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
    m_pEngine->ReloadAdditiveTunes(&m_kData);
    EXPECT_EQ(m_pEngine->GetCurrentTuneIndex(), 0u);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 3u);
    TransitionEngine::SAccumulation kAccumulation;
    ASSERT_TRUE(m_pEngine->GetAccumulation(kAccumulation));
    ASSERT_TRUE(kAccumulation.bHasModifier);
    EXPECT_FLOAT_EQ(kAccumulation.kVector1.x, 2.0f);
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
    EXPECT_GT(m_kLink.GetWorldPosition().y, 2.0f);  // the ticks move the link along the track
    // The path moves 0.1 per frame along +X; the start rotation turns it to +Y.
    const float fFrame = m_kExtra.GetControl(m_pEngine->GetExtraTunes()[1].m_uiControlId)->GetPosition();
    ASSERT_TRUE(m_pEngine->ApplyRootMotion());
    EXPECT_NEAR(m_kLink.GetWorldPosition().x, 1.0f, 1e-5f);
    EXPECT_NEAR(m_kLink.GetWorldPosition().y, 2.0f + 0.1f * fFrame, 1e-5f);
    EXPECT_NEAR(m_kLink.GetWorldRotation().z, m_kData.m_kInitialRotation.z, 1e-5f);
    m_pEngine->Suspend(true);
    EXPECT_FALSE(m_pEngine->ApplyRootMotion());
}

TEST_F(TransitionEngineTest, FaultyDataIsReportedAndSkipped)
{
    TestSupport::CAssertCapture kCapture;
    AddTune("Idle", "Nope");
    AddTune("Missing");
    AddTune("Walk");
    AddTrack(0, ExtraTrackDesc::kEventTrack);
    AddTransition(2, 5, 4, 0.0f, 2, 0, 10);        // last < first: nothing
    AddTransition(2, 1, 1, 0.0f, 7, 0, 10);        // target beyond the list
    AddTransition(2, 2, 2, 70000.0f, 2, 70000, 80000);  // clamped fade and frame
    Setup(false);
    EXPECT_TRUE(kCapture.Has("Assertion \"uiMocapId != (uint32)-1\" failed. Prefab Hero doesn't have the AnimSet Nope"));
    EXPECT_TRUE(kCapture.Has("Assertion \"pAnim\" failed. Could not find sequence"));
    ASSERT_EQ(m_pEngine->GetNormalTunes().GetSize(), 3u);
    EXPECT_EQ(m_pEngine->GetNormalTunes()[0].m_uiControlId, kInvalidIndex);
    EXPECT_EQ(m_pEngine->GetNormalTunes()[1].m_uiControlId, kInvalidIndex);
    EXPECT_EQ(m_pInstance->GetControlIds().GetSize(), 1u);
    ASSERT_EQ(m_pEngine->GetFrameTransitions().GetSize(), 1u);
    EXPECT_EQ(m_pEngine->GetFrameTable().GetSize(), 3u);
    EXPECT_EQ(m_pEngine->GetFrameTable()[1], kInvalidIndex);
    EXPECT_EQ(m_pEngine->GetFrameTransitions()[0].m_uiFadeLength, 65535u);
    EXPECT_EQ(m_pEngine->GetFrameTransitions()[0].m_uiTargetFrame, 0xFFFEu);

    kCapture.Clear();
    EXPECT_EQ(m_pEngine->SendCommand(TransitionEngine::kListNormal, 15, 0.0f), -1.0f);
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. Unregistered command"));
    EXPECT_EQ(m_pEngine->TuneCommand(3, TransitionEngine::kCmdPlay, 0.0f), -1.0f);
    EXPECT_TRUE(kCapture.Has("Assertion \"m_vecAnimationTune.GetSize() > iAnimIdx\" failed. Wrong anim tag index"));
}

}  // namespace
