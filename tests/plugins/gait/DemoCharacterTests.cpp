// The demo character walking on the whole runtime: the shipped AnimSet and
// gait document, the animation manager's tick with root motion, 16 ms steps.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TextFile.h"
#include "AnimManager/AnimManager.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "Math/SFMT/SFMT.h"
#include "Control/GaitActor.h"
#include "Data/GaitSerializer.h"
#include "Scene/Link.h"
#include "World/WorldContext.h"

namespace EAnimBehavior = GaitPlugin::EAnimBehavior;
namespace EAnimMovement = GaitPlugin::EAnimMovement;
using GaitPlugin::GaitActor;

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kDegrees = kPi / 180.0f;
// The demo walk covers 1.4 m per second at control speed 1; the actor plays
// it at 0.75 x the requested speed.
constexpr float kWalkSpeedAtRequestOne = 1.4f * 0.75f;

Math::Quaternion Yaw(float fRadians)
{
    return Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, fRadians);
}

float Heading(const Math::Quaternion& kRotation)
{
    const Math::LocalVector3 kForward = kRotation.Rotate({1.0f, 0.0f, 0.0f});
    return std::atan2(kForward.y, kForward.x);
}

float AngleBetween(float fA, float fB)
{
    float fDelta = std::fmod(fA - fB, 2.0f * kPi);
    if (fDelta > kPi)
        fDelta -= 2.0f * kPi;
    if (fDelta < -kPi)
        fDelta += 2.0f * kPi;
    return std::fabs(fDelta);
}

// One demo character and a log of what it did, step by step.
class DemoCharacterTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const std::string kFolder = std::string(TARN_DATA_DIR) + "/demo/";
        m_kSkeleton.Init(2, 2);
        ASSERT_EQ(m_kSkeleton.LoadAndStoreMocap((kFolder + "biped.animset.json").c_str()), 0);
        const std::string kGait = TestSupport::ReadTextFile(kFolder + "biped.gait.json");
        ASSERT_FALSE(kGait.empty());
        GaitPlugin::GaitLoadErrors kErrors;
        ASSERT_TRUE(GaitPlugin::GaitSerializer::LoadFromText(kGait.data(), kGait.size(), m_kParam, &kErrors))
            << kErrors.m_acText;
        GaitPlugin::GaitSerializer::Serialize(&m_kParam, *m_kSkeleton.GetMocap(0), m_kData);
        ASSERT_TRUE(GaitPlugin::IsDataValid(&m_kData));
        ASSERT_TRUE(m_kData.m_kSteering.ApplyRectifiedRotation);

        ASSERT_NE(m_kSkeleton.CreateAnimatedSkeleton(), nullptr);
        m_uiStorage = m_kManager.AddSession();
        m_pAnimActor = m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, 0, &m_kLink);
        m_kWorld.pAnimManager = &m_kManager;
        Math::SeedRandom(2024);
    }
    void TearDown() override
    {
        m_pActor.reset();
        m_kManager.DestroyActor(m_pAnimActor);
        m_kSkeleton.Release();
    }

    // Starts the character; bSteering registers the owner's rotation
    // callback as the gait document's steering extension asks.
    void Start(bool bSteering)
    {
        m_pActor = std::make_unique<GaitActor>();
        m_pActor->Init(&m_kData, &m_kWorld, &m_kLink, m_pAnimActor, true, true);
        if (bSteering)
            m_pActor->SetRotationCallback(&GaitActor::ApplyRotationToLink, nullptr);
        m_pActor->SetStandby(false);
        ASSERT_FALSE(m_pActor->IsStandby());
        m_kMovements.assign(1, m_pActor->GetCurrentMovement());
        m_kWalkEntryFrames.clear();
        m_kWalkExitFrames.clear();
    }

    struct SSample
    {
        float fTime;
        uint32 eMovement;
        Math::LocalVector3 kPosition;
        float fHeading;
    };

    void Run(const Math::Quaternion& kTarget, float fSpeed, float fSeconds)
    {
        const int iSteps = static_cast<int>(fSeconds * 1000.0f / 16.0f + 0.5f);
        for (int i = 0; i < iSteps; ++i)
        {
            const uint32 eBefore = m_pActor->GetCurrentMovement();
            m_pActor->Update(kTarget, fSpeed, 16.0f);
            const uint32 eAfter = m_pActor->GetCurrentMovement();
            // The frame the walk was entered on, for the synchronisation check.
            if (eAfter == EAnimMovement::Walk && eBefore != EAnimMovement::Walk)
                m_kWalkEntryFrames.push_back(m_pActor->GetMovementControl(EAnimMovement::Walk)->GetFrame());
            if (eBefore == EAnimMovement::Walk && eAfter != EAnimMovement::Walk)
                m_kWalkExitFrames.push_back(m_pActor->GetMovementControl(EAnimMovement::Walk)->GetFrame());
            m_kManager.Tick(m_uiStorage, 16.0f);
            m_fTime += 0.016f;
            m_kLog.push_back({m_fTime, eAfter, m_kLink.GetWorldPosition(), Heading(m_kLink.GetWorldRotation())});
            if (m_kMovements.empty() || m_kMovements.back() != eAfter)
                m_kMovements.push_back(eAfter);
        }
    }

    // Metres per second over the last fSeconds of the log.
    float RecentSpeed(float fSeconds) const
    {
        const size_t uiSteps = static_cast<size_t>(fSeconds / 0.016f + 0.5f);
        const SSample& kLast = m_kLog.back();
        const SSample& kFirst = m_kLog[m_kLog.size() - 1 - uiSteps];
        return (kLast.kPosition - kFirst.kPosition).Length() / (kLast.fTime - kFirst.fTime);
    }
    bool Visited(uint32 eMovement) const
    {
        for (uint32 e : m_kMovements)
            if (e == eMovement)
                return true;
        return false;
    }
    // Whether a walk frame lies in the target range of some hand-over of
    // the behaviour (WalkStart into the walk) or source range (WalkStop out).
    bool IsSynchronisedWalkFrame(float fFrame, uint32 eBehavior) const
    {
        for (const GaitPlugin::InfoSynchronization& kSynchro : m_kData.m_kSynchronizations)
        {
            if (kSynchro.m_eBehavior != eBehavior)
                continue;
            const GaitPlugin::InfoSynchroPoint& kPoint =
                eBehavior == EAnimBehavior::WalkStart ? kSynchro.m_kTarget : kSynchro.m_kSource;
            if (kPoint.m_eAnim == EAnimMovement::Walk && fFrame >= float(kPoint.m_iFrameFirst) &&
                fFrame <= float(kPoint.m_iFrameLast) + 1.0f)
                return true;
        }
        return false;
    }

    TarnAnim::Skeleton m_kSkeleton;
    TarnRenderer::CAnimManager m_kManager;
    TarnRenderer::Link m_kLink;
    TarnEngine::WorldContext m_kWorld;
    uint32 m_uiStorage = 0;
    TarnRenderer::AnimActor* m_pAnimActor = nullptr;
    GaitPlugin::ParamGait m_kParam;
    GaitPlugin::GaitRuntimeData m_kData;
    std::unique_ptr<GaitActor> m_pActor;
    float m_fTime = 0.0f;
    std::vector<SSample> m_kLog;
    std::vector<uint32> m_kMovements;
    std::vector<float> m_kWalkEntryFrames;
    std::vector<float> m_kWalkExitFrames;
};

}  // namespace

TEST_F(DemoCharacterTest, StartsThroughAStartAndWalksStraightAhead)
{
    Start(true);
    Run(Math::Quaternion::Identity(), 1.0f, 3.0f);

    ASSERT_GE(m_kMovements.size(), 3u);
    EXPECT_EQ(m_kMovements[0], uint32(EAnimMovement::Idle));
    EXPECT_TRUE(m_kMovements[1] == EAnimMovement::IdleToWalkRight || m_kMovements[1] == EAnimMovement::IdleToWalkLeft);
    EXPECT_EQ(m_kMovements[2], uint32(EAnimMovement::Walk));
    ASSERT_EQ(m_kWalkEntryFrames.size(), 1u);
    EXPECT_TRUE(IsSynchronisedWalkFrame(m_kWalkEntryFrames[0], EAnimBehavior::WalkStart)) << m_kWalkEntryFrames[0];

    EXPECT_NEAR(RecentSpeed(1.0f), kWalkSpeedAtRequestOne, kWalkSpeedAtRequestOne * 0.1f);
    const Math::LocalVector3 kPosition = m_kLink.GetWorldPosition();
    EXPECT_GT(kPosition.x, 1.0f);
    EXPECT_NEAR(kPosition.y, 0.0f, 0.1f);
    EXPECT_LT(AngleBetween(Heading(m_kLink.GetWorldRotation()), 0.0f), 2.0f * kDegrees);
}

TEST_F(DemoCharacterTest, FarTargetsTurnInPlaceTheRightWayThenWalkTowardThem)
{
    struct SCase
    {
        const char* pName;
        float fTarget;
        uint32 eFirstTurn;  // NB_TYPE: either way
    };
    const SCase akCases[] = {
        {"90 degrees left", 90.0f * kDegrees, EAnimMovement::TurnLeft},
        {"90 degrees right", -90.0f * kDegrees, EAnimMovement::TurnRight},
        {"180 degrees away", 180.0f * kDegrees, EAnimMovement::NB_TYPE},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        TearDown();
        m_kLog.clear();
        m_kMovements.clear();
        m_fTime = 0.0f;
        m_kLink = TarnRenderer::Link();
        SetUp();
        Start(true);
        Run(Yaw(kCase.fTarget), 1.0f, 8.0f);

        ASSERT_GE(m_kMovements.size(), 2u);
        const uint32 eTurn = m_kMovements[1];
        if (kCase.eFirstTurn == EAnimMovement::NB_TYPE)
            EXPECT_TRUE(eTurn == EAnimMovement::TurnLeft || eTurn == EAnimMovement::TurnRight) << eTurn;
        else
            EXPECT_EQ(eTurn, kCase.eFirstTurn);
        EXPECT_TRUE(Visited(EAnimMovement::Walk));
        EXPECT_LT(AngleBetween(Heading(m_kLink.GetWorldRotation()), kCase.fTarget), 10.0f * kDegrees);
        EXPECT_GT(RecentSpeed(1.0f), 0.5f * kWalkSpeedAtRequestOne);
    }
}

TEST_F(DemoCharacterTest, NearTargetsStartAtOnceAndSteeringBringsTheHeadingIn)
{
    struct SCase
    {
        float fTarget;
        bool bSteering;
    };
    const SCase akCases[] = {{30.0f, true}, {60.0f, true}, {-30.0f, true}, {30.0f, false}};
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(testing::Message() << kCase.fTarget << (kCase.bSteering ? " with steering" : " without"));
        TearDown();
        m_kLog.clear();
        m_kMovements.clear();
        m_fTime = 0.0f;
        m_kLink = TarnRenderer::Link();
        SetUp();
        Start(kCase.bSteering);
        const float fTarget = kCase.fTarget * kDegrees;
        Run(Yaw(fTarget), 1.0f, 0.2f);
        // Walking starts at once: no turn in place stays current.
        EXPECT_FALSE(Visited(EAnimMovement::TurnLeft) && m_kMovements.back() == EAnimMovement::TurnLeft);
        ASSERT_GE(m_kMovements.size(), 2u);
        EXPECT_TRUE(m_kMovements[1] == EAnimMovement::IdleToWalkRight ||
                    m_kMovements[1] == EAnimMovement::IdleToWalkLeft || m_kMovements[1] == EAnimMovement::TurnLeft ||
                    m_kMovements[1] == EAnimMovement::TurnRight);
        Run(Yaw(fTarget), 1.0f, 4.0f);
        const float fError = AngleBetween(Heading(m_kLink.GetWorldRotation()), fTarget);
        if (kCase.bSteering)
            EXPECT_LT(fError, 5.0f * kDegrees);
        else
            EXPECT_NEAR(Heading(m_kLink.GetWorldRotation()), 0.0f, 5.0f * kDegrees);  // the stable orientation
    }
}

TEST_F(DemoCharacterTest, SpeedZeroStopsThroughAHandOverAndComesToRest)
{
    Start(true);
    Run(Math::Quaternion::Identity(), 1.0f, 3.0f);
    ASSERT_EQ(m_pActor->GetCurrentMovement(), uint32(EAnimMovement::Walk));
    Run(Math::Quaternion::Identity(), 0.0f, 4.0f);

    EXPECT_TRUE(Visited(EAnimMovement::WalkToIdleRight) || Visited(EAnimMovement::WalkToIdleLeft));
    ASSERT_EQ(m_kWalkExitFrames.size(), 1u);
    EXPECT_TRUE(IsSynchronisedWalkFrame(m_kWalkExitFrames[0], EAnimBehavior::WalkStop)) << m_kWalkExitFrames[0];
    EXPECT_EQ(m_pActor->GetCurrentMovement(), uint32(EAnimMovement::Idle));
    EXPECT_LT(RecentSpeed(1.0f), 0.01f);
}

TEST_F(DemoCharacterTest, AWalkEnteredWithoutSpeedStillReachesAStop)
{
    // Speed drops to 0 during the start: the hand-over enters the walk with
    // no speed requested, and the walk must still carry on to a stop.
    Start(true);
    Run(Math::Quaternion::Identity(), 1.0f, 0.3f);
    ASSERT_TRUE(m_pActor->GetCurrentMovement() == EAnimMovement::IdleToWalkRight ||
                m_pActor->GetCurrentMovement() == EAnimMovement::IdleToWalkLeft);
    Run(Math::Quaternion::Identity(), 0.0f, 4.0f);
    EXPECT_EQ(m_pActor->GetCurrentMovement(), uint32(EAnimMovement::Idle));
    // And walks again when asked.
    Run(Math::Quaternion::Identity(), 1.0f, 3.0f);
    EXPECT_EQ(m_pActor->GetCurrentMovement(), uint32(EAnimMovement::Walk));
    EXPECT_GT(RecentSpeed(1.0f), 0.5f * kWalkSpeedAtRequestOne);
}
