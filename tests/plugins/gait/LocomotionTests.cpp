// The demo character on the whole runtime, asked to go everywhere, at every
// step size, with and without steering: it must start and stop through its
// hand-overs, reach every target, never get stuck, turn at the animation's
// own rate, steer the same at any frame rate, report each foot contact once
// and decide the same whatever the step's phase. The sweep prints its figures
// (worst heading error, slowest settling time, fastest turn) per step size.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LocomotionHarness.h"
#include "support/ReportCapture.h"

using namespace Locomotion;
using GaitPlugin::GaitActor;
namespace EAnimBehavior = GaitPlugin::EAnimBehavior;

namespace {

// What the sweep asserts.
constexpr float kWalkWithinSeconds = 4.0f;
constexpr float kHeadingTolerance = 5.0f * kDegrees;
constexpr float kStuckSeconds = 1.5f;
constexpr float kMaxTurnRate = 180.0f * kDegrees;  // radians per second
// The demo walk covers 1.4 m per second at control speed 1.
constexpr float kWalkSpeedAtRequestOne = 1.4f * GaitActor::kWalkSpeedFactor;

bool IsStart(uint32 e)
{
    return e == EAnimMovement::IdleToWalkRight || e == EAnimMovement::IdleToWalkLeft;
}
bool IsStop(uint32 e)
{
    return e == EAnimMovement::WalkToIdleRight || e == EAnimMovement::WalkToIdleLeft;
}
bool IsTurn(uint32 e)
{
    return e == EAnimMovement::TurnLeft || e == EAnimMovement::TurnRight;
}

// The movements from the one before sample uiFrom on (a new character's is
// Idle), each once in a row.
std::vector<uint32> Movements(const SCharacter& kCharacter, size_t uiFrom)
{
    std::vector<uint32> kOut{uiFrom > 0 ? kCharacter.kLog[uiFrom - 1].eMovement : uint32(EAnimMovement::Idle)};
    for (size_t i = uiFrom; i < kCharacter.kLog.size(); ++i)
        if (kOut.back() != kCharacter.kLog[i].eMovement)
            kOut.push_back(kCharacter.kLog[i].eMovement);
    return kOut;
}

// Metres per second over the last seconds of the log.
float RecentSpeed(const SCharacter& kCharacter, float fSeconds)
{
    const SSample& kLast = kCharacter.Last();
    size_t i = kCharacter.kLog.size() - 1;
    while (i > 0 && kLast.fTime - kCharacter.kLog[i].fTime < fSeconds - 1e-4f)
        --i;
    return (kLast.kPosition - kCharacter.kLog[i].kPosition).Length() / (kLast.fTime - kCharacter.kLog[i].fTime);
}

// Whether a walk frame lies in the target range of a start's hand-over into
// the walk, or in the source range of a hand-over out of it to a stop.
bool IsSynchronisedWalkFrame(const CWorld& kWorld, float fFrame, uint32 eBehavior)
{
    for (const GaitPlugin::InfoSynchronization& kSynchro : kWorld.GetData().m_kSynchronizations)
    {
        const GaitPlugin::InfoSynchroPoint& kPoint =
            eBehavior == EAnimBehavior::WalkStart ? kSynchro.m_kTarget : kSynchro.m_kSource;
        if (kSynchro.m_eBehavior == eBehavior && kPoint.m_eAnim == EAnimMovement::Walk &&
            fFrame >= float(kPoint.m_iFrameFirst) && fFrame <= float(kPoint.m_iFrameLast) + 1.0f)
            return true;
    }
    return false;
}

// Figures of one run from the moment of the request.
struct SRunFigures
{
    float fWalkAfter = -1.0f;    // seconds until the walk is current (-1: never)
    float fSettleAfter = -1.0f;  // seconds until the heading stays within 5 degrees of the target
    float fFinalError = 0.0f;    // heading error to the target at the end
    float fMaxTurnRate = 0.0f;   // radians per second, over the run
    float fLongestStill = 0.0f;  // seconds without moving or turning while a speed was requested
    uint32 eFirstTurn = EAnimMovement::NB_TYPE;
    float fMaxTurnWeight = 0.0f;  // of the turns played
};

SRunFigures Measure(const SCharacter& kCharacter, size_t uiFrom, float fTarget)
{
    SRunFigures kOut;
    const std::vector<SSample>& kLog = kCharacter.kLog;
    const float fStart = uiFrom > 0 ? kLog[uiFrom - 1].fTime : 0.0f;
    size_t uiStill = uiFrom;
    for (size_t i = uiFrom; i < kLog.size(); ++i)
    {
        const SSample& kSample = kLog[i];
        if (kOut.fWalkAfter < 0.0f && kSample.eMovement == EAnimMovement::Walk)
            kOut.fWalkAfter = kSample.fTime - fStart;
        if (kOut.eFirstTurn == EAnimMovement::NB_TYPE && IsTurn(kSample.eMovement))
            kOut.eFirstTurn = kSample.eMovement;
        kOut.fMaxTurnWeight = std::max({kOut.fMaxTurnWeight, kSample.fTurnLeftWeight, kSample.fTurnRightWeight});
        if (AngleBetween(kSample.fHeading, fTarget) > kHeadingTolerance)
            kOut.fSettleAfter = -1.0f;
        else if (kOut.fSettleAfter < 0.0f)
            kOut.fSettleAfter = kSample.fTime - fStart;
        if (i > 0)
            kOut.fMaxTurnRate = std::max(kOut.fMaxTurnRate, AngleBetween(kSample.fHeading, kLog[i - 1].fHeading) /
                                                                (kSample.fTime - kLog[i - 1].fTime));
        // Still: neither 1 cm nor 1 degree since the last movement.
        const SSample& kMark = kLog[uiStill];
        if ((kSample.kPosition - kMark.kPosition).Length() > 0.01f ||
            AngleBetween(kSample.fHeading, kMark.fHeading) > kDegrees || kSample.fRequestedSpeed == 0.0f)
            uiStill = i;
        else
            kOut.fLongestStill = std::max(kOut.fLongestStill, kSample.fTime - kMark.fTime);
    }
    kOut.fFinalError = AngleBetween(kLog.back().fHeading, fTarget);
    return kOut;
}

// The error to the nearest stable orientation of the demo character around
// a rest heading.
float StableError(float fHeading, float fRest)
{
    float fBest = kPi;
    for (float fOffset : {0.0f, 90.0f * kDegrees, -90.0f * kDegrees, 180.0f * kDegrees})
        fBest = std::min(fBest, AngleBetween(fHeading, fRest + fOffset));
    return fBest;
}

class LocomotionSweep : public testing::TestWithParam<float>
{
};

}  // namespace

TEST(DemoCharacterTest, StartsAndStopsThroughSynchronisedHandOversAlsoWhenTheSpeedDropsDuringTheStart)
{
    CWorld kWorld;
    ASSERT_TRUE(kWorld.IsReady());
    SCharacter& kCharacter = kWorld.AddCharacter(true);
    // Speed 0 during the start: the hand-over enters the walk with no speed
    // requested, and the walk must still carry on to a stop.
    kCharacter.fSpeed = 1.0f;
    kWorld.RunFor(0.3f, 16.0f);
    ASSERT_TRUE(IsStart(kCharacter.Movement()));
    kCharacter.fSpeed = 0.0f;
    kWorld.RunFor(4.0f, 16.0f);
    EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));

    // Asked again: through a start into the walk, straight ahead at the
    // walk's pace.
    size_t uiFrom = kCharacter.kLog.size();
    kCharacter.fSpeed = 1.0f;
    kWorld.RunFor(3.0f, 16.0f);
    const std::vector<uint32> kStarted = Movements(kCharacter, uiFrom);
    ASSERT_EQ(kStarted.size(), 3u);
    EXPECT_EQ(kStarted[0], uint32(EAnimMovement::Idle));
    EXPECT_TRUE(IsStart(kStarted[1])) << kStarted[1];
    EXPECT_EQ(kStarted[2], uint32(EAnimMovement::Walk));
    EXPECT_NEAR(RecentSpeed(kCharacter, 1.0f), kWalkSpeedAtRequestOne, kWalkSpeedAtRequestOne * 0.1f);
    EXPECT_GT(kCharacter.kLink.GetWorldPosition().x, 1.0f);
    EXPECT_NEAR(kCharacter.kLink.GetWorldPosition().y, 0.0f, 0.1f);
    EXPECT_LT(AngleBetween(kCharacter.HeadingNow(), 0.0f), 2.0f * kDegrees);

    // Speed 0: through a stop to rest.
    uiFrom = kCharacter.kLog.size();
    kCharacter.fSpeed = 0.0f;
    kWorld.RunFor(4.0f, 16.0f);
    const std::vector<uint32> kStopped = Movements(kCharacter, uiFrom);
    EXPECT_TRUE(kStopped.size() > 1 && IsStop(kStopped[1]));
    EXPECT_EQ(kStopped.back(), uint32(EAnimMovement::Idle));
    EXPECT_LT(RecentSpeed(kCharacter, 1.0f), 0.01f);

    // Every entry into the walk and every exit out of it on a frame of its
    // hand-over.
    ASSERT_EQ(kCharacter.kWalkEntries.size(), 2u);
    ASSERT_EQ(kCharacter.kWalkExits.size(), 2u);
    for (float fFrame : kCharacter.kWalkEntries)
        EXPECT_TRUE(IsSynchronisedWalkFrame(kWorld, fFrame, EAnimBehavior::WalkStart)) << fFrame;
    for (float fFrame : kCharacter.kWalkExits)
        EXPECT_TRUE(IsSynchronisedWalkFrame(kWorld, fFrame, EAnimBehavior::WalkStop)) << fFrame;
}

TEST(DemoCharacterTest, NearTargetsStartAtOnceAndFarOnesTurnInPlaceTheRightWayFirst)
{
    struct SCase
    {
        float fTarget;  // degrees
        bool bSteering;
        uint32 eTurn;  // the turn in place first, NB_TYPE: none
    };
    const SCase akCases[] = {
        {30.0f, true, EAnimMovement::NB_TYPE},    {60.0f, true, EAnimMovement::NB_TYPE},
        {-30.0f, true, EAnimMovement::NB_TYPE},   {30.0f, false, EAnimMovement::NB_TYPE},
        {90.0f, true, EAnimMovement::TurnLeft},   {-90.0f, true, EAnimMovement::TurnRight},
        {180.0f, true, EAnimMovement::TurnRight},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(testing::Message() << kCase.fTarget << (kCase.bSteering ? " with steering" : " without"));
        CWorld kWorld;
        ASSERT_TRUE(kWorld.IsReady());
        SCharacter& kCharacter = kWorld.AddCharacter(kCase.bSteering);
        kCharacter.kTarget = Yaw(kCase.fTarget * kDegrees);
        kCharacter.fSpeed = 1.0f;
        kWorld.RunFor(0.2f, 16.0f);
        const std::vector<uint32> kFirst = Movements(kCharacter, 0);
        ASSERT_GE(kFirst.size(), 2u);
        if (kCase.eTurn == EAnimMovement::NB_TYPE)
            EXPECT_TRUE(IsStart(kCharacter.Movement())) << kCharacter.Movement();
        else
            EXPECT_EQ(kFirst[1], kCase.eTurn);

        kWorld.RunFor(7.8f, 16.0f);
        EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));
        EXPECT_GT(RecentSpeed(kCharacter, 1.0f), 0.5f * kWalkSpeedAtRequestOne);
        // Without steering the heading stays on the stable orientation.
        EXPECT_LT(AngleBetween(kCharacter.HeadingNow(), kCase.bSteering ? kCase.fTarget * kDegrees : 0.0f),
                  kHeadingTolerance);
    }
}

// Every target from -180 to 180 degrees in 5-degree steps, from rest and
// after a walk and a stop, with and without steering.
TEST_P(LocomotionSweep, EveryTargetIsReachedWithoutStuckStatesOrSnaps)
{
    const float fDt = GetParam();
    float fWorstError = 0.0f, fSlowestSettle = 0.0f, fFastestTurn = 0.0f, fSlowestWalk = 0.0f,
          fFastestCorrection = 0.0f;
    for (bool bSteering : {true, false})
        for (bool bAfterWalk : {false, true})
            for (int iTarget = -180; iTarget <= 180; iTarget += 5)
            {
                SCOPED_TRACE(testing::Message() << iTarget << " degrees, " << (bSteering ? "steering" : "no steering")
                                                << (bAfterWalk ? ", after a walk and a stop" : ", from rest"));
                CWorld kWorld;
                ASSERT_TRUE(kWorld.IsReady());
                SCharacter& kCharacter = kWorld.AddCharacter(bSteering);
                if (bAfterWalk)
                {
                    kCharacter.fSpeed = 1.0f;
                    kWorld.RunFor(2.5f, fDt);
                    kCharacter.fSpeed = 0.0f;
                    kWorld.RunFor(2.5f, fDt);
                    ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));
                }
                const float fRest = kCharacter.HeadingNow();
                const float fTarget = fRest + iTarget * kDegrees;
                const size_t uiFrom = kCharacter.kLog.size();
                kCharacter.kTarget = Yaw(fTarget);
                kCharacter.fSpeed = 1.0f;
                kWorld.RunFor(10.0f, fDt);

                const SRunFigures kRun = Measure(kCharacter, uiFrom, fTarget);
                EXPECT_GE(kRun.fWalkAfter, 0.0f);
                EXPECT_LE(kRun.fWalkAfter, kWalkWithinSeconds);
                EXPECT_LE(kRun.fLongestStill, kStuckSeconds);
                EXPECT_LE(kRun.fMaxTurnRate, kMaxTurnRate);
                // The rectifier's part of it stays within its bound.
                EXPECT_LE(kCharacter.fMaxCorrectionRate, (GaitActor::kMaxCorrectionRate + 0.5f) * kDegrees);
                if (bSteering)
                    EXPECT_LE(kRun.fFinalError, kHeadingTolerance);
                else
                    EXPECT_LE(StableError(kCharacter.HeadingNow(), fRest), kHeadingTolerance);
                // A turn played is played in full: the second quarter turn
                // and beyond, too.
                EXPECT_TRUE(kRun.eFirstTurn == EAnimMovement::NB_TYPE || kRun.fMaxTurnWeight >= 0.9f)
                    << kRun.fMaxTurnWeight;
                // Right behind: one way, every time.
                EXPECT_TRUE(std::abs(iTarget) != 180 || kRun.eFirstTurn == EAnimMovement::TurnRight) << kRun.eFirstTurn;

                fSlowestWalk = std::max(fSlowestWalk, kRun.fWalkAfter);
                fFastestTurn = std::max(fFastestTurn, kRun.fMaxTurnRate);
                fFastestCorrection = std::max(fFastestCorrection, kCharacter.fMaxCorrectionRate);
                if (bSteering)
                {
                    fWorstError = std::max(fWorstError, kRun.fFinalError);
                    fSlowestSettle = std::max(fSlowestSettle, kRun.fSettleAfter);
                }
            }
    printf("[ figures  ] step %2.0f ms: worst final heading error %.2f deg, slowest settling %.2f s, slowest walk "
           "%.2f s, fastest turn %.1f deg/s (rectifier %.1f deg/s)\n",
           fDt, fWorstError / kDegrees, fSlowestSettle, fSlowestWalk, fFastestTurn / kDegrees,
           fFastestCorrection / kDegrees);
}

INSTANTIATE_TEST_SUITE_P(Steps, LocomotionSweep, testing::Values(8.0f, 16.0f, 33.0f, 50.0f),
                         [](const testing::TestParamInfo<float>& kInfo) {
                             return std::to_string(static_cast<int>(kInfo.param)) + "ms";
                         });

TEST(Locomotion, EveryTurnPlaysAlsoAfterAWalk)
{
    for (float fDt : {16.0f, 33.0f})
    {
        SCOPED_TRACE(testing::Message() << fDt << " ms");
        CWorld kWorld;
        ASSERT_TRUE(kWorld.IsReady());
        SCharacter& kCharacter = kWorld.AddCharacter(false);
        // Three times: turn 90 degrees left, walk, stop.
        float fRest = 0.0f;
        for (int iTurn = 0; iTurn < 3; ++iTurn)
        {
            SCOPED_TRACE(testing::Message() << "turn " << iTurn);
            const size_t uiFrom = kCharacter.kLog.size();
            kCharacter.kTarget = Yaw(fRest + 90.0f * kDegrees);
            kCharacter.fSpeed = 1.0f;
            kWorld.RunFor(5.0f, fDt);
            kCharacter.fSpeed = 0.0f;
            kWorld.RunFor(2.0f, fDt);
            const SRunFigures kRun = Measure(kCharacter, uiFrom, fRest + 90.0f * kDegrees);
            EXPECT_EQ(kRun.eFirstTurn, uint32(EAnimMovement::TurnLeft));
            EXPECT_GE(kRun.fMaxTurnWeight, 0.9f);
            // The turn yields its authored quarter turn within 10 %.
            EXPECT_NEAR(AngleDelta(kCharacter.HeadingNow(), fRest), 90.0f * kDegrees, 9.0f * kDegrees);
            EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));
            fRest = kCharacter.HeadingNow();
        }
        // Twice in place the same way: the second turn plays from its start
        // again, not on from where the first one rested.
        for (int iTurn = 0; iTurn < 2; ++iTurn)
        {
            SCOPED_TRACE(testing::Message() << "turn in place " << iTurn);
            kCharacter.kTarget = Yaw(kCharacter.HeadingNow() + 90.0f * kDegrees);
            kWorld.Step(fDt);
            const AnimationControl* pTurn = kCharacter.Actor().GetMovementControl(EAnimMovement::TurnLeft);
            ASSERT_NE(pTurn, nullptr);
            EXPECT_LE(pTurn->GetPosition(), 2.0f * fDt * pTurn->GetFramesPerMs() + 1.0f);
            kWorld.RunFor(3.0f, fDt);
            EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));
        }
    }
}

TEST(Locomotion, RequestsAreTakenUpWithinTwoStepsAtAnyWalkRate)
{
    for (float fDt : {8.0f, 16.0f, 50.0f})
        for (float fSpeed : {0.2f, 1.0f, 3.0f})
        {
            SCOPED_TRACE(testing::Message() << fDt << " ms, speed " << fSpeed);
            CWorld kWorld;
            ASSERT_TRUE(kWorld.IsReady());
            SCharacter& kCharacter = kWorld.AddCharacter(true);
            kCharacter.fSpeed = fSpeed;
            // From rest: a start within two steps.
            kWorld.Step(fDt);
            kWorld.Step(fDt);
            EXPECT_TRUE(IsStart(kCharacter.Movement()));
            // A slow gait starts slowly too: its start plays at the walk's rate.
            const AnimationControl* pStart = kCharacter.Actor().GetMovementControl(kCharacter.Movement());
            ASSERT_NE(pStart, nullptr);
            EXPECT_FLOAT_EQ(pStart->GetSpeed(), fSpeed * GaitActor::kWalkSpeedFactor);
            for (int i = 0; i < 1000 && kCharacter.Movement() != EAnimMovement::Walk; ++i)
                kWorld.Step(fDt);
            ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));
            // A new speed reaches the walk's rate and weight within two steps.
            kCharacter.fSpeed = fSpeed * 1.5f;
            kWorld.Step(fDt);
            kWorld.Step(fDt);
            EXPECT_FLOAT_EQ(kCharacter.Last().fWalkSpeed, fSpeed * 1.5f * GaitActor::kWalkSpeedFactor);
            EXPECT_FLOAT_EQ(kCharacter.Actor().GetMovementControl(EAnimMovement::Walk)->GetWeight(),
                            fSpeed * 1.5f * GaitActor::kWalkSpeedFactor);
            // A new rotation is taken as the target within two steps.
            kCharacter.kTarget = Yaw(20.0f * kDegrees);
            kWorld.Step(fDt);
            kWorld.Step(fDt);
            EXPECT_NEAR(Math::Quaternion::Dot(kCharacter.Actor().GetTargetRotation(), kCharacter.kTarget), 1.0f, 1e-6f);
        }
}

TEST(Locomotion, SpeedsThatCannotBeWalkedAreRefusedOrStopTheCharacter)
{
    CWorld kWorld;
    ASSERT_TRUE(kWorld.IsReady());
    SCharacter& kCharacter = kWorld.AddCharacter(true);
    kCharacter.fSpeed = 1.0f;
    kWorld.RunFor(3.0f, 16.0f);
    ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));

    // Not speeds at all: reported, and the walk goes on as it was.
    TestSupport::CAssertCapture kReports;
    for (float fBad : {-1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e30f})
    {
        kCharacter.fSpeed = fBad;
        kWorld.RunFor(0.1f, 16.0f);
        EXPECT_GE(kCharacter.Last().fWalkWeight, 0.0f);
        EXPECT_FLOAT_EQ(kCharacter.Last().fWalkSpeed, GaitActor::kWalkSpeedFactor);
        EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));
    }
    EXPECT_GE(kReports.Count(), 1u);

    // A slow walk asked to stop reaches its stop at the usual pace.
    kCharacter.fSpeed = 0.2f;
    kWorld.RunFor(3.0f, 16.0f);
    ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));
    kCharacter.fSpeed = 0.0f;
    kWorld.RunFor(1.8f, 16.0f);
    EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));

    // Below the floor a speed stops the character, and it answers again.
    for (float fTiny : {1e-6f, 0.01f, GaitActor::kMinSpeed * 0.99f})
    {
        SCOPED_TRACE(fTiny);
        kCharacter.fSpeed = 1.0f;
        kWorld.RunFor(3.0f, 16.0f);
        kCharacter.fSpeed = fTiny;
        kWorld.RunFor(2.0f, 16.0f);
        EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Idle));
        kCharacter.fSpeed = 1.0f;
        kWorld.Step(16.0f);
        kWorld.Step(16.0f);
        EXPECT_TRUE(IsStart(kCharacter.Movement()));
    }
}

TEST(Locomotion, SteeringTakesTheSameTimeAndPathAtEveryStepSize)
{
    float fReferenceSettle = 0.0f;
    Math::LocalVector3 kReferencePosition;
    for (float fDt : {16.0f, 8.0f, 33.0f, 50.0f})
    {
        SCOPED_TRACE(testing::Message() << fDt << " ms");
        CWorld kWorld;
        ASSERT_TRUE(kWorld.IsReady());
        SCharacter& kCharacter = kWorld.AddCharacter(true);
        kCharacter.kTarget = Yaw(60.0f * kDegrees);
        kCharacter.fSpeed = 1.0f;
        kWorld.RunFor(10.0f, fDt);
        const float fSettle = Measure(kCharacter, 0, 60.0f * kDegrees).fSettleAfter;
        const Math::LocalVector3 kPosition = kCharacter.kLink.GetWorldPosition();
        printf("[ figures  ] 60 degrees at %2.0f ms: within 5 degrees after %.2f s, at (%.2f, %.2f) after 10 s\n", fDt,
               fSettle, kPosition.x, kPosition.y);
        if (fDt == 16.0f)
        {
            ASSERT_GT(fSettle, 0.0f);
            fReferenceSettle = fSettle;
            kReferencePosition = kPosition;
        }
        EXPECT_NEAR(fSettle, fReferenceSettle, 0.1f * fReferenceSettle);
        EXPECT_LE((kPosition - kReferencePosition).Length(), 0.2f);
    }
}

TEST(Locomotion, EachFootContactOfTheWalkIsReportedOnce)
{
    for (float fDt : {8.0f, 16.0f, 33.0f, 50.0f})
        for (float fSpeed : {0.5f, 1.0f, 2.0f, 3.0f})
        {
            SCOPED_TRACE(testing::Message() << fDt << " ms, speed " << fSpeed);
            CWorld kWorld;
            ASSERT_TRUE(kWorld.IsReady());
            SCharacter& kCharacter = kWorld.AddCharacter(true);
            kCharacter.fSpeed = fSpeed;
            kWorld.RunFor(12.0f, fDt);
            // The contacts the walk's frames crossed while it was current:
            // frames 1 and 16, also across the loop's wrap.
            uint32 uiCrossed = 0;
            const std::vector<SSample>& kLog = kCharacter.kLog;
            for (size_t i = 1; i < kLog.size(); ++i)
            {
                if (kLog[i].eMovement != EAnimMovement::Walk || kLog[i - 1].eMovement != EAnimMovement::Walk)
                    continue;
                const float fFrom = kLog[i - 1].fWalkFrame;
                const float fTo = kLog[i].fWalkFrame;
                for (float fPoint : {1.0f, 16.0f})
                    uiCrossed += (fTo >= fFrom ? (fFrom < fPoint && fPoint <= fTo) : (fFrom < fPoint || fPoint <= fTo))
                                     ? 1u
                                     : 0u;
            }
            EXPECT_GT(uiCrossed, 4u);
            // Reported: the same count; an entry into the walk exactly on a
            // contact frame may add one. Never twice for one contact.
            EXPECT_GE(kCharacter.kContacts.size(), uiCrossed);
            EXPECT_LE(kCharacter.kContacts.size(), uiCrossed + 1);
            for (size_t i = 1; i < kCharacter.kContacts.size(); ++i)
                EXPECT_GT(kCharacter.kContacts[i], kCharacter.kContacts[i - 1]);
        }
}

TEST(Locomotion, AHeadingChangeWhileWalkingCurvesOrStopsByItsAngleAloneAtAnyPhase)
{
    // 45 degrees curves, 100 degrees stops to turn in place, whatever the
    // moment within the step the request comes.
    for (float fChange : {45.0f, 100.0f})
    {
        uint32 uiStops = 0;
        const int iPhases = 10;
        for (int iPhase = 0; iPhase < iPhases; ++iPhase)
        {
            CWorld kWorld;
            ASSERT_TRUE(kWorld.IsReady());
            SCharacter& kCharacter = kWorld.AddCharacter(true);
            kCharacter.fSpeed = 1.0f;
            kWorld.RunFor(3.0f + iPhase * (1.0f / iPhases), 16.0f);
            ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));
            const size_t uiFrom = kCharacter.kLog.size();
            kCharacter.kTarget = Yaw(fChange * kDegrees);
            kWorld.RunFor(4.0f, 16.0f);
            const std::vector<uint32> kAfter = Movements(kCharacter, uiFrom);
            uiStops += std::any_of(kAfter.begin(), kAfter.end(), IsStop) ? 1u : 0u;
        }
        EXPECT_EQ(uiStops, fChange > 70.0f ? uint32(iPhases) : 0u) << fChange << " degrees";
    }
}

TEST(Locomotion, StandbyKeepsThePoseBesideASteeringCharacterAndAStartedCharacterIsNotStartedAgain)
{
    CWorld kWorld;
    ASSERT_TRUE(kWorld.IsReady());
    kWorld.m_bRecordAnkles = true;
    SCharacter& kCharacter = kWorld.AddCharacter(true);
    SCharacter& kSteering = kWorld.AddCharacter(true, {0.0f, 5.0f, 0.0f});
    kCharacter.fSpeed = kSteering.fSpeed = 1.0f;
    kWorld.RunFor(2.3f, 16.0f);
    ASSERT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));

    // Activating an active character changes nothing.
    kCharacter.Actor().SetStandby(false);
    EXPECT_EQ(kCharacter.Movement(), uint32(EAnimMovement::Walk));

    // Standby: the pose stays where it was, it does not fall to the origin,
    // while the other character on the same skeleton steers on.
    const SSample kBefore = kCharacter.Last();
    kCharacter.Actor().SetStandby(true);
    kSteering.kTarget = Yaw(40.0f * kDegrees);
    kWorld.RunFor(1.0f, 16.0f);
    const SSample& kAfter = kCharacter.Last();
    for (uint32 i = 0; i < 2; ++i)
        EXPECT_LE((kAfter.akAnkles[i] - kBefore.akAnkles[i]).Length(), 0.05f) << "ankle " << i;
    EXPECT_GT(kAfter.akAnkles[0].z, -0.01f);
    EXPECT_GT((kAfter.akAnkles[0] - kAfter.akAnkles[1]).Length(), 0.05f);
    kWorld.RunFor(5.0f, 16.0f);
    EXPECT_LE(AngleBetween(kSteering.HeadingNow(), 40.0f * kDegrees), kHeadingTolerance);
    EXPECT_LE(AngleBetween(kCharacter.HeadingNow(), 0.0f), kHeadingTolerance);
}

TEST(Locomotion, PlantedFeetDoNotSlide)
{
    // The largest distance an ankle moves while it stays flat on the floor,
    // straight, turning right round and stopping, at speeds 1 and 2.
    struct SCase
    {
        const char* pName;
        float fSpeed;
        float fTarget;
        bool bStop;
        float fBound;  // about twice what the demo character does
    };
    const SCase akCases[] = {
        {"walk, speed 1", 1.0f, 0.0f, false, 0.01f}, {"walk, speed 2", 2.0f, 0.0f, false, 0.01f},
        {"turn 180", 1.0f, 180.0f, false, 0.01f},    {"stop, speed 1", 1.0f, 0.0f, true, 0.01f},
        {"stop, speed 2", 2.0f, 0.0f, true, 0.03f},
    };
    for (const SCase& kCase : akCases)
    {
        CWorld kWorld;
        ASSERT_TRUE(kWorld.IsReady());
        kWorld.m_bRecordAnkles = true;
        SCharacter& kCharacter = kWorld.AddCharacter(true);
        kCharacter.fSpeed = kCase.fSpeed;
        kCharacter.kTarget = Yaw(kCase.fTarget * kDegrees);
        kWorld.RunFor(4.0f, 16.0f);
        const size_t uiFrom = kCase.bStop ? kCharacter.kLog.size() : 0;
        if (kCase.bStop)
        {
            kCharacter.fSpeed = 0.0f;
            kWorld.RunFor(2.0f, 16.0f);
        }
        float fWorst = 0.0f;
        const std::vector<SSample>& kLog = kCharacter.kLog;
        for (uint32 uiFoot = 0; uiFoot < 2; ++uiFoot)
        {
            size_t uiPlanted = kLog.size();
            for (size_t i = uiFrom; i < kLog.size(); ++i)
            {
                if (kLog[i].akAnkles[uiFoot].z >= 0.053f)  // not flat
                {
                    uiPlanted = kLog.size();
                    continue;
                }
                if (uiPlanted == kLog.size())
                    uiPlanted = i;
                Math::LocalVector3 kSlide = kLog[i].akAnkles[uiFoot] - kLog[uiPlanted].akAnkles[uiFoot];
                kSlide.z = 0.0f;
                fWorst = std::max(fWorst, kSlide.Length());
            }
        }
        printf("[ figures  ] foot slide, %s: %.1f mm\n", kCase.pName, fWorst * 1000.0f);
        EXPECT_LE(fWorst, kCase.fBound) << kCase.pName;
    }
}
