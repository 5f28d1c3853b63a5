// tarn-demogen: writes the AnimSet of the demo character, a small biped with
// idle, breathing, walk, turn-in-place, start, stop and look sequences keyed
// procedurally at 30 frames per second.
//
// Axes: Z up, X forward, Y to the character's left; a positive yaw (rotation
// about +Z) turns the character to its left. The motion channel carries the
// travel and the heading; the legs follow feet that are planted on the floor
// (two-bone inverse kinematics), so that a foot on the ground does not slide
// while the motion channel moves on. docs/demo-character.md describes every
// sequence and the frames the gait document relies on.
//
// The output is deterministic: the same bytes on every run.

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <rapidjson/document.h>

namespace DemoGen {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameRate = 30.0;
constexpr double kNever = 1.0e9;  // a plant time that is never reached

// ---------------------------------------------------------------------------
// Small double-precision vector and quaternion (x, y, z, w; Hamilton products;
// a vector v is rotated as q (x) (v, 0) (x) q*).

struct Vec3
{
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

Vec3 operator+(const Vec3& a, const Vec3& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec3 operator-(const Vec3& a, const Vec3& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
double Length(const Vec3& v)
{
    return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

struct Quat
{
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};

Quat operator*(const Quat& a, const Quat& b)
{
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y + a.y * b.w + a.z * b.x - a.x * b.z,
            a.w * b.z + a.z * b.w + a.x * b.y - a.y * b.x, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}
Quat Conjugate(const Quat& q)
{
    return {-q.x, -q.y, -q.z, q.w};
}
Quat Normalized(const Quat& q)
{
    const double dLength = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return {q.x / dLength, q.y / dLength, q.z / dLength, q.w / dLength};
}
Vec3 Rotate(const Quat& q, const Vec3& v)
{
    const Quat kResult = q * Quat{v.x, v.y, v.z, 0.0} * Conjugate(q);
    return {kResult.x, kResult.y, kResult.z};
}
// Right-handed rotations about the three axes.
Quat RotX(double dAngle)
{
    return {std::sin(dAngle * 0.5), 0.0, 0.0, std::cos(dAngle * 0.5)};
}
Quat RotY(double dAngle)
{
    return {0.0, std::sin(dAngle * 0.5), 0.0, std::cos(dAngle * 0.5)};
}
Quat RotZ(double dAngle)
{
    return {0.0, 0.0, std::sin(dAngle * 0.5), std::cos(dAngle * 0.5)};
}
// The yaw of a rotation about Z only, in degrees (never -0).
double YawDegrees(const Quat& q)
{
    return 2.0 * std::atan2(q.z, q.w) * 180.0 / kPi + 0.0;
}

double Clamp(double dValue, double dLow, double dHigh)
{
    return dValue < dLow ? dLow : (dValue > dHigh ? dHigh : dValue);
}
// Smooth step from 0 to 1 with zero slope at both ends.
double Ease(double u)
{
    u = Clamp(u, 0.0, 1.0);
    return u * u * (3.0 - 2.0 * u);
}
double Radians(double dDegrees)
{
    return dDegrees * kPi / 180.0;
}

// ---------------------------------------------------------------------------
// The skeleton.

enum EChannel : int
{
    kRoot,
    kMotion,
    kPelvis,
    kSpine,
    kLeftHip,
    kRightHip,
    kNeck,
    kLeftShoulder,
    kRightShoulder,
    kLeftKnee,
    kRightKnee,
    kHead,
    kLeftElbow,
    kRightElbow,
    kLeftAnkle,
    kRightAnkle,
    kChannelCount
};

struct SChannelDesc
{
    const char* m_pName;
    int m_iParent;  // -1 for the root
};

// Hierarchy order: every level before the next.
const SChannelDesc s_akChannels[kChannelCount] = {
    {"Root", -1},
    {"Motion", kRoot},
    {"Pelvis", kMotion},
    {"Spine", kPelvis},
    {"LeftHip", kPelvis},
    {"RightHip", kPelvis},
    {"Neck", kSpine},
    {"LeftShoulder", kSpine},
    {"RightShoulder", kSpine},
    {"LeftKnee", kLeftHip},
    {"RightKnee", kRightHip},
    {"Head", kNeck},
    {"LeftElbow", kLeftShoulder},
    {"RightElbow", kRightShoulder},
    {"LeftAnkle", kLeftKnee},
    {"RightAnkle", kRightKnee},
};

// Measurements in metres. Side index 0 is the left (+Y), 1 the right (-Y).
constexpr double kRestPelvisHeight = 0.95;  // pelvis channel above the floor at rest
constexpr double kHipHalfWidth = 0.10;      // hip joints beside the pelvis channel
constexpr double kHipDrop = 0.05;           // hip joints below the pelvis channel
constexpr double kThigh = 0.43;
constexpr double kShin = 0.425;
constexpr double kAnkleHeight = 0.05;  // ankle above the floor with the foot flat
constexpr double kSpineLength = 0.10;  // pelvis to spine channel
constexpr double kNeckHeight = 0.42;   // spine channel to neck
constexpr double kHeadHeight = 0.10;   // neck to head
constexpr double kShoulderBack = 0.01;
constexpr double kShoulderHalfWidth = 0.19;
constexpr double kShoulderHeight = 0.38;  // spine channel to shoulders
constexpr double kUpperArm = 0.29;

constexpr double kRestArmSpread = 0.08;  // arms held slightly away from the body (rad)
constexpr double kRestElbow = 0.20;      // elbows slightly bent (rad)

double SideSign(int iSide)
{
    return iSide == 0 ? 1.0 : -1.0;
}

// ---------------------------------------------------------------------------
// Feet. A foot is planted at a point of the floor (in the sequence's ground
// frame: the motion channel's frame at frame 0) between its landing and its
// lift, and swings from one plant to the next in between.

constexpr double kStrikeTime = 0.10;   // s from heel strike to foot flat
constexpr double kStrikeRaise = 0.02;  // ankle raised at heel strike
constexpr double kStrikePitch = 0.25;  // toes up at heel strike (rad)
constexpr double kRiseTime = 0.20;     // s of heel rise before the lift
constexpr double kRiseRaise = 0.08;    // ankle raised at toe-off
constexpr double kRisePitch = 0.50;    // toes down at toe-off (rad)

struct SPlant
{
    double m_dLand = -kNever;  // time the foot lands (-kNever: planted from the start)
    double m_dLift = kNever;   // time it lifts (kNever: stays)
    double m_dX = 0.0;         // ankle on the floor, ground frame
    double m_dY = 0.0;
    double m_dHeading = 0.0;    // foot yaw, ground frame (rad)
    double m_dVigourIn = 0.0;   // 0..1: strength of the heel strike on landing
    double m_dVigourOut = 0.0;  // 0..1: strength of the heel rise before lifting
};

using FootPlan = std::vector<SPlant>;

struct SFootTarget
{
    Vec3 m_kAnkle;  // x, y in the ground frame; z above the floor
    double m_dHeading = 0.0;
    double m_dPitch = 0.0;  // toes up positive
};

// A plant for a foot standing under its hip when the body faces dHeading at
// (dX, 0).
SPlant PlantUnderHip(int iSide, double dX, double dHeading, double dLand, double dLift, double dVigourIn,
                     double dVigourOut)
{
    SPlant kPlant;
    kPlant.m_dLand = dLand;
    kPlant.m_dLift = dLift;
    kPlant.m_dX = dX - std::sin(dHeading) * SideSign(iSide) * kHipHalfWidth;
    kPlant.m_dY = std::cos(dHeading) * SideSign(iSide) * kHipHalfWidth;
    kPlant.m_dHeading = dHeading;
    kPlant.m_dVigourIn = dVigourIn;
    kPlant.m_dVigourOut = dVigourOut;
    return kPlant;
}

// The part of a swing that is done at dTime, 0 outside any swing.
double SwingProgress(const FootPlan& kPlan, double dTime)
{
    for (size_t i = 0; i + 1 < kPlan.size(); ++i)
        if (dTime > kPlan[i].m_dLift && dTime < kPlan[i + 1].m_dLand)
            return (dTime - kPlan[i].m_dLift) / (kPlan[i + 1].m_dLand - kPlan[i].m_dLift);
    return 0.0;
}

SFootTarget EvaluateFoot(const FootPlan& kPlan, double dTime)
{
    SFootTarget kTarget;
    for (size_t i = 0; i < kPlan.size(); ++i)
    {
        const SPlant& kPlant = kPlan[i];
        if (dTime >= kPlant.m_dLand && dTime <= kPlant.m_dLift)
        {
            // Stance: heel strike after landing, heel rise before lifting.
            const double dStrike = kPlant.m_dVigourIn * (1.0 - Ease((dTime - kPlant.m_dLand) / kStrikeTime));
            const double dRise = kPlant.m_dVigourOut * Ease(1.0 - (kPlant.m_dLift - dTime) / kRiseTime);
            kTarget.m_kAnkle = {kPlant.m_dX, kPlant.m_dY, kAnkleHeight + kStrikeRaise * dStrike + kRiseRaise * dRise};
            kTarget.m_dHeading = kPlant.m_dHeading;
            kTarget.m_dPitch = kStrikePitch * dStrike - kRisePitch * dRise;
            return kTarget;
        }
        if (i + 1 < kPlan.size() && dTime > kPlant.m_dLift && dTime < kPlan[i + 1].m_dLand)
        {
            // Swing: eased along the floor (no speed at lift and landing),
            // lifted in between.
            const SPlant& kNext = kPlan[i + 1];
            const double u = (dTime - kPlant.m_dLift) / (kNext.m_dLand - kPlant.m_dLift);
            const double s = Ease(u);
            const double dLiftZ = kAnkleHeight + kRiseRaise * kPlant.m_dVigourOut;
            const double dLandZ = kAnkleHeight + kStrikeRaise * kNext.m_dVigourIn;
            const double dClearance = 0.02 + 0.07 * std::fmax(kPlant.m_dVigourOut, kNext.m_dVigourIn);
            kTarget.m_kAnkle = {kPlant.m_dX + (kNext.m_dX - kPlant.m_dX) * s,
                                kPlant.m_dY + (kNext.m_dY - kPlant.m_dY) * s,
                                dLiftZ + (dLandZ - dLiftZ) * s + dClearance * std::sin(kPi * u)};
            kTarget.m_dHeading = kPlant.m_dHeading + (kNext.m_dHeading - kPlant.m_dHeading) * s;
            const double dLiftPitch = -kRisePitch * kPlant.m_dVigourOut;
            const double dLandPitch = kStrikePitch * kNext.m_dVigourIn;
            kTarget.m_dPitch = dLiftPitch + (dLandPitch - dLiftPitch) * s;
            return kTarget;
        }
    }
    // Before the first landing or after the last lift of a plan that does not
    // cover the time: stay on the nearest plant, flat.
    const SPlant& kPlant = dTime < kPlan.front().m_dLand ? kPlan.front() : kPlan.back();
    kTarget.m_kAnkle = {kPlant.m_dX, kPlant.m_dY, kAnkleHeight};
    kTarget.m_dHeading = kPlant.m_dHeading;
    return kTarget;
}

// ---------------------------------------------------------------------------
// The body at one instant, from which one frame of keys is built.

struct SBodyState
{
    double m_dMotionX = 0.0;                         // travel along the ground frame's X
    double m_dMotionYaw = 0.0;                       // heading (rad, positive to the left)
    Vec3 m_kPelvis = {0.0, 0.0, kRestPelvisHeight};  // in the motion channel's frame
    double m_dPelvisYaw = 0.0;
    double m_dPelvisRoll = 0.0;
    double m_dSpineLean = 0.0;  // forward positive
    double m_dSpineTwist = 0.0;
    double m_dSpineRoll = 0.0;
    double m_dNeckPitch = 0.0;  // down positive
    double m_dNeckYaw = 0.0;
    double m_dHeadPitch = 0.0;  // down positive
    double m_dHeadYaw = 0.0;
    double m_dShoulderLift = 0.0;
    double m_adArmSwing[2] = {0.0, 0.0};  // forward positive
    double m_adArmSpread[2] = {kRestArmSpread, kRestArmSpread};
    double m_adElbow[2] = {kRestElbow, kRestElbow};
    SFootTarget m_akFeet[2];
};

struct SKey
{
    Quat m_kRotation;
    Vec3 m_kTranslation;
};

using Frame = std::array<SKey, kChannelCount>;

// What the inverse kinematics had to give up: the longest hip-to-ankle
// distance as a part of the leg's length, and the largest miss of an ankle.
struct SLegStats
{
    double m_dMaxReach = 0.0;
    double m_dMaxMiss = 0.0;
};

// Hip, knee and ankle rotations that put the ankle of one leg on its target.
void SolveLeg(const SBodyState& kBody, const Quat& kPelvisRotation, int iSide, Frame& kFrame, SLegStats& kStats)
{
    const SFootTarget& kFoot = kBody.m_akFeet[iSide];
    const Quat kToMotion = RotZ(-kBody.m_dMotionYaw);
    const Vec3 kAnkleGround = {kFoot.m_kAnkle.x - kBody.m_dMotionX, kFoot.m_kAnkle.y, 0.0};
    Vec3 kAnkle = Rotate(kToMotion, kAnkleGround);
    kAnkle.z = kFoot.m_kAnkle.z;

    const Vec3 kHipOffset = {0.0, SideSign(iSide) * kHipHalfWidth, -kHipDrop};
    const Vec3 kHip = kBody.m_kPelvis + Rotate(kPelvisRotation, kHipOffset);
    // Hip to ankle in the pelvis frame, then in the frame of the foot's yaw,
    // so that the knee points where the foot points.
    const double dLegYaw = kFoot.m_dHeading - kBody.m_dMotionYaw - kBody.m_dPelvisYaw;
    const Vec3 kToAnkle = Rotate(RotZ(-dLegYaw), Rotate(Conjugate(kPelvisRotation), kAnkle - kHip));

    // The roll about X brings the ankle into the leg's plane; in that plane
    // the ankle is dForward ahead of the hip and dDown below it.
    const double dRoll = std::atan2(kToAnkle.y, -kToAnkle.z);
    const double dForward = kToAnkle.x;
    const double dDown = std::sqrt(kToAnkle.y * kToAnkle.y + kToAnkle.z * kToAnkle.z);
    const double dFullLength = kThigh + kShin;
    const double dDistance = std::sqrt(dForward * dForward + dDown * dDown);
    kStats.m_dMaxReach = std::fmax(kStats.m_dMaxReach, dDistance / dFullLength);
    const double d = Clamp(dDistance, std::fabs(kThigh - kShin) + 1.0e-3, dFullLength * 0.9995);

    const double dLine = std::atan2(dForward, dDown);  // hip-to-ankle line, forward of straight down
    const double dThighOff =
        std::acos(Clamp((kThigh * kThigh + d * d - kShin * kShin) / (2.0 * kThigh * d), -1.0, 1.0));
    const double dKnee =
        kPi - std::acos(Clamp((kThigh * kThigh + kShin * kShin - d * d) / (2.0 * kThigh * kShin), -1.0, 1.0));
    // A downward segment swings forward with a negative rotation about Y.
    const Quat kHipRotation = RotZ(dLegYaw) * RotX(dRoll) * RotY(-(dLine + dThighOff));
    const Quat kKneeRotation = RotY(dKnee);
    // The foot's orientation in the motion frame: its yaw, then its pitch.
    const Quat kFootRotation = RotZ(kFoot.m_dHeading - kBody.m_dMotionYaw) * RotY(-kFoot.m_dPitch);
    const Quat kAnkleRotation = Conjugate(kPelvisRotation * kHipRotation * kKneeRotation) * kFootRotation;

    const int iHip = iSide == 0 ? kLeftHip : kRightHip;
    const int iKnee = iSide == 0 ? kLeftKnee : kRightKnee;
    const int iAnkle = iSide == 0 ? kLeftAnkle : kRightAnkle;
    kFrame[iHip] = {kHipRotation, kHipOffset};
    kFrame[iKnee] = {kKneeRotation, {0.0, 0.0, -kThigh}};
    kFrame[iAnkle] = {kAnkleRotation, {0.0, 0.0, -kShin}};

    // Forward kinematics of the solved leg.
    const Vec3 kReached = kHip + Rotate(kPelvisRotation * kHipRotation,
                                        Vec3{0.0, 0.0, -kThigh} + Rotate(kKneeRotation, {0.0, 0.0, -kShin}));
    kStats.m_dMaxMiss = std::fmax(kStats.m_dMaxMiss, Length(kReached - kAnkle));
}

Frame BuildFrame(const SBodyState& kBody, SLegStats& kStats)
{
    Frame kFrame;
    kFrame[kRoot] = {};
    kFrame[kMotion] = {RotZ(kBody.m_dMotionYaw), {kBody.m_dMotionX, 0.0, 0.0}};
    const Quat kPelvisRotation = RotZ(kBody.m_dPelvisYaw) * RotX(kBody.m_dPelvisRoll);
    kFrame[kPelvis] = {kPelvisRotation, kBody.m_kPelvis};
    // An upward segment leans forward with a positive rotation about Y.
    kFrame[kSpine] = {RotZ(kBody.m_dSpineTwist) * RotY(kBody.m_dSpineLean) * RotX(kBody.m_dSpineRoll),
                      {0.0, 0.0, kSpineLength}};
    kFrame[kNeck] = {RotZ(kBody.m_dNeckYaw) * RotY(kBody.m_dNeckPitch), {0.0, 0.0, kNeckHeight}};
    kFrame[kHead] = {RotZ(kBody.m_dHeadYaw) * RotY(kBody.m_dHeadPitch), {0.0, 0.0, kHeadHeight}};
    for (int iSide = 0; iSide < 2; ++iSide)
    {
        const double dSign = SideSign(iSide);
        const int iShoulder = iSide == 0 ? kLeftShoulder : kRightShoulder;
        const int iElbow = iSide == 0 ? kLeftElbow : kRightElbow;
        // Spread outward (a roll toward the arm's side), then the swing.
        kFrame[iShoulder] = {RotX(dSign * kBody.m_adArmSpread[iSide]) * RotY(-kBody.m_adArmSwing[iSide]),
                             {-kShoulderBack, dSign * kShoulderHalfWidth, kShoulderHeight + kBody.m_dShoulderLift}};
        kFrame[iElbow] = {RotY(-kBody.m_adElbow[iSide]), {0.0, 0.0, -kUpperArm}};
        SolveLeg(kBody, kPelvisRotation, iSide, kFrame, kStats);
    }
    return kFrame;
}

// ---------------------------------------------------------------------------
// Poses shared by the sequences.

// The idle stance: feet flat under the hips, the body upright.
FootPlan RestPlan(int iSide)
{
    return {PlantUnderHip(iSide, 0.0, 0.0, -kNever, kNever, 0.0, 0.0)};
}

// Walking, scaled by dAmount (0: the rest pose, 1: the full walk) at gait
// phase dPhase (cycles; 0: left heel strike, 0.5: right heel strike): the
// pelvis bobs (lowest just after each heel strike), sways over the standing
// foot and counter-rotates against the shoulders; the arms swing against
// the legs.
void ApplyWalkUpperBody(SBodyState& kBody, double dAmount, double dPhase)
{
    const double dCos = std::cos(2.0 * kPi * dPhase);
    const double dSin = std::sin(2.0 * kPi * dPhase);
    const double dWalkHeight = 0.921 - 0.024 * std::cos(4.0 * kPi * (dPhase - 0.025));
    kBody.m_kPelvis = {0.0, 0.02 * dAmount * dSin, kRestPelvisHeight + (dWalkHeight - kRestPelvisHeight) * dAmount};
    kBody.m_dPelvisYaw = -0.07 * dAmount * dCos;
    kBody.m_dPelvisRoll = 0.03 * dAmount * dSin;
    kBody.m_dSpineTwist = 0.12 * dAmount * dCos;
    kBody.m_dSpineLean = 0.06 * dAmount;
    kBody.m_dSpineRoll = -0.03 * dAmount * dSin;
    kBody.m_dNeckYaw = -0.05 * dAmount * dCos;
    kBody.m_dNeckPitch = -0.03 * dAmount;
    const double adSwing[2] = {-0.30 * dAmount * dCos, 0.30 * dAmount * dCos};
    for (int iSide = 0; iSide < 2; ++iSide)
    {
        kBody.m_adArmSwing[iSide] = adSwing[iSide];
        kBody.m_adElbow[iSide] = kRestElbow + 0.10 * dAmount + 0.25 * std::fmax(0.0, adSwing[iSide]);
    }
}

// ---------------------------------------------------------------------------
// Sequences.

struct SSequenceRecipe
{
    const char* m_pName;
    int m_iFrameCount;
    bool m_bLoop;
    int m_iBlendMode;
    // The body at a time in seconds from frame 0.
    std::function<SBodyState(double)> m_kBody;
    // Loops: the motion channel's travel along X over one cycle; the last key
    // is the first pose moved on by it.
    double m_dCycleTravel = 0.0;
};

constexpr double kWalkSpeed = 1.4;    // m/s at control speed 1
constexpr double kWalkCycle = 1.0;    // s: two steps
constexpr double kStanceTime = 0.55;  // s a foot is on the floor per cycle
constexpr double kStepAhead = 0.33;   // ankle ahead of the motion channel at heel strike
// Ankle behind the motion channel at the other foot's heel strike.
constexpr double kHalfCycleBehind = kStepAhead - kWalkSpeed * kWalkCycle * 0.5;

SBodyState Idle(double dTime)
{
    SBodyState kBody;
    const double dBreath = 0.5 * (1.0 - std::cos(kPi * dTime));  // 2 s cycle
    kBody.m_kPelvis = {0.0, 0.008 * std::sin(kPi * dTime), kRestPelvisHeight - 0.003 * dBreath};
    kBody.m_dSpineLean = -0.015 * dBreath;
    kBody.m_dNeckPitch = 0.010 * dBreath;
    kBody.m_dShoulderLift = 0.004 * dBreath;
    for (int iSide = 0; iSide < 2; ++iSide)
        kBody.m_akFeet[iSide] = EvaluateFoot(RestPlan(iSide), dTime);
    return kBody;
}

SBodyState Breath(double dTime)
{
    SBodyState kBody;
    const double dBreath = 0.5 * (1.0 - std::cos(2.0 * kPi * dTime / 3.0));  // 3 s cycle
    kBody.m_kPelvis.z = kRestPelvisHeight - 0.006 * dBreath;
    kBody.m_dSpineLean = -0.035 * dBreath;
    kBody.m_dNeckPitch = 0.025 * dBreath;
    kBody.m_dHeadPitch = -0.02 * dBreath;
    kBody.m_dShoulderLift = 0.012 * dBreath;
    for (int iSide = 0; iSide < 2; ++iSide)
    {
        kBody.m_adArmSpread[iSide] = kRestArmSpread + 0.03 * dBreath;
        kBody.m_akFeet[iSide] = EvaluateFoot(RestPlan(iSide), dTime);
    }
    return kBody;
}

// The walk's plan of one foot over one cycle: the left foot strikes at 0
// and lifts at kStanceTime; the right foot runs half a cycle later.
FootPlan WalkPlan(int iSide)
{
    const double dOffset = iSide == 0 ? 0.0 : -0.5 * kWalkCycle;
    FootPlan kPlan;
    for (int i = 0; i < 2; ++i)
    {
        const double dLand = dOffset + i * kWalkCycle;
        kPlan.push_back(
            PlantUnderHip(iSide, kStepAhead + kWalkSpeed * dLand, 0.0, dLand, dLand + kStanceTime, 1.0, 1.0));
    }
    return kPlan;
}

SBodyState Walk(double dTime)
{
    SBodyState kBody;
    kBody.m_dMotionX = kWalkSpeed * dTime;
    ApplyWalkUpperBody(kBody, 1.0, dTime / kWalkCycle);
    for (int iSide = 0; iSide < 2; ++iSide)
        kBody.m_akFeet[iSide] = EvaluateFoot(WalkPlan(iSide), dTime);
    return kBody;
}

// Starting over one second: the speed rises along a smooth step from 0 to
// kWalkSpeed (travel 0.7 m). iFirst takes a short first step, the other
// foot a long one that lands at the end, where the pose is the walk's heel
// strike of that foot (frame 0 of the walk for the left foot, 15 for the
// right).
SBodyState IdleToWalk(double dTime, int iFirst)
{
    const double t = Clamp(dTime, 0.0, 1.0);
    const int iSecond = 1 - iFirst;
    SBodyState kBody;
    kBody.m_dMotionX = kWalkSpeed * (t * t * t - 0.5 * t * t * t * t);
    const double dEnd = kWalkSpeed * 0.5;
    ApplyWalkUpperBody(kBody, Ease(t), t + (iSecond == 0 ? 0.0 : 0.5));
    FootPlan akPlans[2];
    akPlans[iFirst] = {PlantUnderHip(iFirst, 0.0, 0.0, -kNever, 0.10, 0.0, 0.0),
                       PlantUnderHip(iFirst, dEnd + kHalfCycleBehind, 0.0, 0.45, 1.0 + kStanceTime - 0.5, 0.6, 1.0)};
    akPlans[iSecond] = {PlantUnderHip(iSecond, 0.0, 0.0, -kNever, 0.55, 0.0, 0.6),
                        PlantUnderHip(iSecond, dEnd + kStepAhead, 0.0, 1.0, 1.0 + kStanceTime, 1.0, 1.0)};
    for (int iSide = 0; iSide < 2; ++iSide)
        kBody.m_akFeet[iSide] = EvaluateFoot(akPlans[iSide], t);
    return kBody;
}

// Stopping over one second from the walk's heel strike of the foot
// opposite iLast (frame 0 of the walk when iLast is the right foot, 15 when
// it is the left): the speed falls along a smooth step to 0 (travel 0.7 m),
// iLast takes a long last step and the other foot closes beside it; the
// last frame is the idle pose.
SBodyState WalkToIdle(double dTime, int iLast)
{
    const double t = Clamp(dTime, 0.0, 1.0);
    const int iClosing = 1 - iLast;
    SBodyState kBody;
    kBody.m_dMotionX = kWalkSpeed * (t - t * t * t + 0.5 * t * t * t * t);
    const double dEnd = kWalkSpeed * 0.5;
    ApplyWalkUpperBody(kBody, 1.0 - Ease(t), t + (iClosing == 0 ? 0.0 : 0.5));
    FootPlan akPlans[2];
    akPlans[iClosing] = {PlantUnderHip(iClosing, kStepAhead, 0.0, 0.0, kStanceTime, 1.0, 0.5),
                         PlantUnderHip(iClosing, dEnd, 0.0, 0.90, kNever, 0.3, 0.0)};
    akPlans[iLast] = {PlantUnderHip(iLast, kHalfCycleBehind, 0.0, -0.5, kStanceTime - 0.5, 1.0, 1.0),
                      PlantUnderHip(iLast, dEnd, 0.0, 0.50, kNever, 0.7, 0.0)};
    for (int iSide = 0; iSide < 2; ++iSide)
        kBody.m_akFeet[iSide] = EvaluateFoot(akPlans[iSide], t);
    return kBody;
}

// Turning in place by 180 degrees over two seconds, dDirection +1 to the
// left (positive yaw), -1 to the right. Each half turns 90 degrees along a
// smooth step, so the turn comes to rest at 90 degrees (frame 30) and at
// 180 degrees (frame 60). Per half the feet take four small steps, the foot
// on the side of the turn first; both end flat under the hips at the half's
// heading, so frames 30 and 60 are the idle pose turned.
constexpr double kTurnSteps[4][3] = {
    // lift, landing (s within a half), landing heading (part of the half's 90 degrees)
    {0.04, 0.26, 40.0 / 90.0},
    {0.26, 0.48, 65.0 / 90.0},
    {0.48, 0.70, 1.0},
    {0.70, 0.90, 1.0},
};
constexpr double kTurnVigour = 0.25;

double TurnYaw(double dTime, double dDirection)
{
    const double dHalves = dTime < 1.0 ? Ease(dTime) : 1.0 + Ease(dTime - 1.0);
    return dDirection * 0.5 * kPi * dHalves;
}

SBodyState Turn(double dTime, double dDirection)
{
    const double t = Clamp(dTime, 0.0, 2.0);
    SBodyState kBody;
    kBody.m_dMotionYaw = TurnYaw(t, dDirection);
    // Lead into the turn with the spine and the head while it is fast.
    const double dLocal = t < 1.0 ? t : t - 1.0;
    const double dRate = 6.0 * dLocal * (1.0 - dLocal) / 1.5;  // 0..1
    kBody.m_dSpineTwist = dDirection * 0.10 * dRate;
    kBody.m_dHeadYaw = dDirection * 0.10 * dRate;

    const int iLead = dDirection > 0.0 ? 0 : 1;
    FootPlan akPlans[2];
    akPlans[0].push_back(PlantUnderHip(0, 0.0, 0.0, -kNever, 0.0, 0.0, 0.0));
    akPlans[1].push_back(PlantUnderHip(1, 0.0, 0.0, -kNever, 0.0, 0.0, 0.0));
    for (int iHalf = 0; iHalf < 2; ++iHalf)
    {
        for (int iStep = 0; iStep < 4; ++iStep)
        {
            const int iSide = iStep % 2 == 0 ? iLead : 1 - iLead;
            const double dLift = iHalf + kTurnSteps[iStep][0];
            const double dLand = iHalf + kTurnSteps[iStep][1];
            const double dHeading = dDirection * 0.5 * kPi * (iHalf + kTurnSteps[iStep][2]);
            akPlans[iSide].back().m_dLift = dLift;
            // A foot that arrives at a rest heading lifts again without a heel
            // rise, so that the stable frames are flat-footed.
            const bool bAtRest = iStep >= 2;
            akPlans[iSide].push_back(
                PlantUnderHip(iSide, 0.0, dHeading, dLand, kNever, kTurnVigour, bAtRest ? 0.0 : kTurnVigour));
        }
    }
    double dDip = 0.0;
    for (int iSide = 0; iSide < 2; ++iSide)
    {
        kBody.m_akFeet[iSide] = EvaluateFoot(akPlans[iSide], t);
        dDip += std::sin(kPi * SwingProgress(akPlans[iSide], t));
    }
    kBody.m_kPelvis.z = kRestPelvisHeight - 0.01 * dDip;
    return kBody;
}

// A head movement over half a second from the idle pose, held at its end.
// Layered over the body, so every channel but the neck and head keeps the
// idle pose of frame 0.
SBodyState Look(double dTime, double dNeckPitch, double dHeadPitch, double dNeckYaw, double dHeadYaw)
{
    SBodyState kBody = Idle(0.0);
    const double a = Ease(dTime / 0.5);
    kBody.m_dNeckPitch += dNeckPitch * a;
    kBody.m_dHeadPitch += dHeadPitch * a;
    kBody.m_dNeckYaw += dNeckYaw * a;
    kBody.m_dHeadYaw += dHeadYaw * a;
    return kBody;
}

std::vector<SSequenceRecipe> MakeSequences()
{
    std::vector<SSequenceRecipe> kRecipes;
    kRecipes.push_back({"Idle", 61, true, 0, Idle, 0.0});
    kRecipes.push_back({"Breath", 91, true, 0, Breath, 0.0});
    kRecipes.push_back({"Walk", 31, true, 0, Walk, kWalkSpeed * kWalkCycle});
    kRecipes.push_back({"TurnLeft", 61, false, 0, [](double t) { return Turn(t, 1.0); }, 0.0});
    kRecipes.push_back({"TurnRight", 61, false, 0, [](double t) { return Turn(t, -1.0); }, 0.0});
    kRecipes.push_back({"IdleToWalkRight", 31, false, 0, [](double t) { return IdleToWalk(t, 1); }, 0.0});
    kRecipes.push_back({"IdleToWalkLeft", 31, false, 0, [](double t) { return IdleToWalk(t, 0); }, 0.0});
    kRecipes.push_back({"WalkToIdleRight", 31, false, 0, [](double t) { return WalkToIdle(t, 1); }, 0.0});
    kRecipes.push_back({"WalkToIdleLeft", 31, false, 0, [](double t) { return WalkToIdle(t, 0); }, 0.0});
    kRecipes.push_back({"LookUp", 16, false, 1, [](double t) { return Look(t, -0.15, -0.35, 0.0, 0.0); }, 0.0});
    kRecipes.push_back({"LookDown", 16, false, 1, [](double t) { return Look(t, 0.20, 0.40, 0.0, 0.0); }, 0.0});
    kRecipes.push_back({"LookLeft", 16, false, 1, [](double t) { return Look(t, 0.0, 0.0, 0.25, 0.60); }, 0.0});
    kRecipes.push_back({"LookRight", 16, false, 1, [](double t) { return Look(t, 0.0, 0.0, -0.25, -0.60); }, 0.0});
    return kRecipes;
}

// The keys of a sequence. A loop's last key is its first pose with the
// motion channel moved on by one cycle, so that it never jumps back.
std::vector<Frame> BuildSequence(const SSequenceRecipe& kRecipe, SLegStats& kStats)
{
    std::vector<Frame> kFrames;
    const int iCycle = kRecipe.m_iFrameCount - 1;
    for (int k = 0; k < kRecipe.m_iFrameCount; ++k)
    {
        const int iPoseFrame = kRecipe.m_bLoop ? k % iCycle : k;
        Frame kFrame = BuildFrame(kRecipe.m_kBody(iPoseFrame / kFrameRate), kStats);
        if (kRecipe.m_bLoop && k == iCycle)
            kFrame[kMotion].m_kTranslation.x += kRecipe.m_dCycleTravel;
        kFrames.push_back(kFrame);
    }
    return kFrames;
}

// ---------------------------------------------------------------------------
// Output.

// Six significant digits; values too small to matter are written as 0.
void AppendNumber(std::string& kOut, double dValue)
{
    if (!std::isfinite(dValue))
    {
        fprintf(stderr, "tarn-demogen: internal error: a non-finite value was generated\n");
        std::exit(3);
    }
    if (std::fabs(dValue) < 5.0e-7)
    {
        kOut += '0';
        return;
    }
    char acBuffer[32];
    snprintf(acBuffer, sizeof(acBuffer), "%.6g", dValue);
    kOut += acBuffer;
}

void AppendKey(std::string& kOut, const SKey& kKey)
{
    const Quat q = Normalized(kKey.m_kRotation);
    const double adValues[7] = {
        q.x, q.y, q.z, q.w, kKey.m_kTranslation.x, kKey.m_kTranslation.y, kKey.m_kTranslation.z};
    kOut += '[';
    for (int i = 0; i < 7; ++i)
    {
        if (i)
            kOut += ',';
        AppendNumber(kOut, adValues[i]);
    }
    kOut += ']';
}

struct SSequenceReport
{
    const char* m_pName;  // a literal of the recipe
    int m_iFrameCount;
    bool m_bLoop;
    int m_iBlendMode;
    Vec3 m_kFirstMotion;
    Vec3 m_kLastMotion;
    double m_dFirstYaw;
    double m_dLastYaw;
    SLegStats m_kStats;
};

std::string BuildDocument(std::vector<SSequenceReport>& kReports)
{
    std::string kOut;
    kOut += "{\n";
    kOut += "  \"Name\": \"Biped\",\n";
    kOut += "  \"Comment\": \"Demo character written by tarn-demogen; regenerate it rather than edit it. "
            "Z up, X forward, positive yaw turns left. See docs/demo-character.md.\",\n";
    kOut += "  \"Channels\": [\n";
    for (int i = 0; i < kChannelCount; ++i)
    {
        kOut += "    { \"Name\": \"";
        kOut += s_akChannels[i].m_pName;
        kOut += "\", \"Parent\": ";
        if (s_akChannels[i].m_iParent < 0)
            kOut += "null";
        else
            kOut += std::string("\"") + s_akChannels[s_akChannels[i].m_iParent].m_pName + "\"";
        kOut += i + 1 < kChannelCount ? " },\n" : " }\n";
    }
    kOut += "  ],\n";
    kOut += "  \"AccumulationChannels\": [\"Root\", \"Motion\", \"Pelvis\"],\n";
    kOut += "  \"Sequences\": [\n";
    const std::vector<SSequenceRecipe> kRecipes = MakeSequences();
    for (size_t s = 0; s < kRecipes.size(); ++s)
    {
        const SSequenceRecipe& kRecipe = kRecipes[s];
        SSequenceReport kReport = {};
        kReport.m_pName = kRecipe.m_pName;
        kReport.m_iFrameCount = kRecipe.m_iFrameCount;
        kReport.m_bLoop = kRecipe.m_bLoop;
        kReport.m_iBlendMode = kRecipe.m_iBlendMode;
        const std::vector<Frame> kFrames = BuildSequence(kRecipe, kReport.m_kStats);
        kReport.m_kFirstMotion = kFrames.front()[kMotion].m_kTranslation;
        kReport.m_kLastMotion = kFrames.back()[kMotion].m_kTranslation;
        kReport.m_dFirstYaw = YawDegrees(kFrames.front()[kMotion].m_kRotation);
        kReport.m_dLastYaw = YawDegrees(kFrames.back()[kMotion].m_kRotation);
        kReports.push_back(kReport);

        char acHeader[512];
        snprintf(acHeader, sizeof(acHeader),
                 "    {\n"
                 "      \"Name\": \"%s\",\n"
                 "      \"FirstFrame\": 0,\n"
                 "      \"LastFrame\": %d,\n"
                 "      \"FrameRate\": %d,\n"
                 "      \"Loop\": %s,\n"
                 "      \"BlendMode\": %d,\n"
                 "      \"Interpolation\": 0,\n"
                 "      \"Frames\": [\n",
                 kRecipe.m_pName, kRecipe.m_iFrameCount - 1, static_cast<int>(kFrameRate),
                 kRecipe.m_bLoop ? "true" : "false", kRecipe.m_iBlendMode);
        kOut += acHeader;
        for (size_t f = 0; f < kFrames.size(); ++f)
        {
            kOut += "        [";
            for (int c = 0; c < kChannelCount; ++c)
            {
                if (c)
                    kOut += ',';
                AppendKey(kOut, kFrames[f][c]);
            }
            kOut += f + 1 < kFrames.size() ? "],\n" : "]\n";
        }
        kOut += "      ]\n";
        kOut += s + 1 < kRecipes.size() ? "    },\n" : "    }\n";
    }
    kOut += "  ]\n";
    kOut += "}\n";
    return kOut;
}

void PrintReport(const std::vector<SSequenceReport>& kReports)
{
    printf("%-16s %6s %5s %5s %9s %9s %9s %8s %8s\n", "sequence", "frames", "loop", "blend", "travel-x", "yaw-first",
           "yaw-last", "reach", "ik-miss");
    for (const SSequenceReport& kReport : kReports)
        printf("%-16s %6d %5s %5d %9.4f %9.3f %9.3f %8.4f %8.5f\n", kReport.m_pName, kReport.m_iFrameCount,
               kReport.m_bLoop ? "yes" : "no", kReport.m_iBlendMode, kReport.m_kLastMotion.x - kReport.m_kFirstMotion.x,
               kReport.m_dFirstYaw, kReport.m_dLastYaw, kReport.m_kStats.m_dMaxReach, kReport.m_kStats.m_dMaxMiss);
}

// Writes kText to one open path; false after reporting the failure.
bool WriteWhole(const std::string& kPath, const std::string& kText)
{
    FILE* pFile = fopen(kPath.c_str(), "wb");
    if (!pFile)
    {
        fprintf(stderr, "tarn-demogen: cannot write '%s': %s\n", kPath.c_str(), strerror(errno));
        return false;
    }
    const size_t uiWritten = fwrite(kText.data(), 1, kText.size(), pFile);
    const int iWriteError = uiWritten != kText.size() ? errno : 0;
    const bool bClosed = fclose(pFile) == 0;
    const int iCloseError = bClosed ? 0 : errno;
    if (uiWritten != kText.size() || !bClosed)
    {
        fprintf(stderr, "tarn-demogen: cannot write '%s': %s\n", kPath.c_str(),
                strerror(iWriteError ? iWriteError : iCloseError));
        return false;
    }
    return true;
}

// A regular file (or a new one) is written through a temporary file beside
// it and renamed into place, so that a failed run leaves the previous file
// whole; anything else (a device, a pipe) is written directly.
bool WriteFile(const std::string& kPath, const std::string& kText)
{
    struct stat kStatus;
    if (stat(kPath.c_str(), &kStatus) == 0 && !S_ISREG(kStatus.st_mode))
        return WriteWhole(kPath, kText);
    const std::string kTemporary = kPath + ".tmp";
    if (!WriteWhole(kTemporary, kText))
    {
        remove(kTemporary.c_str());
        return false;
    }
    if (rename(kTemporary.c_str(), kPath.c_str()) != 0)
    {
        fprintf(stderr, "tarn-demogen: cannot replace '%s': %s\n", kPath.c_str(), strerror(errno));
        remove(kTemporary.c_str());
        return false;
    }
    return true;
}

void PrintUsage(FILE* pStream)
{
    fprintf(pStream, "Usage: tarn-demogen --out FILE [--report]\n"
                     "       tarn-demogen --help | --version\n"
                     "\n"
                     "Writes the AnimSet of the demo character (a 16-channel biped with Idle, Breath,\n"
                     "Walk, TurnLeft, TurnRight, IdleToWalkRight, IdleToWalkLeft, WalkToIdleRight,\n"
                     "WalkToIdleLeft, LookUp, LookDown, LookLeft and LookRight at 30 frames per second)\n"
                     "to FILE. The output is the same on every run.\n"
                     "\n"
                     "Options:\n"
                     "  --out FILE   the AnimSet file to write (usually data/demo/biped.animset.json)\n"
                     "  --report     also print a table of the sequences: frames, loop, blend mode,\n"
                     "               travel of the motion channel, its first and last yaw in degrees,\n"
                     "               the longest leg reach (part of the leg's length) and the largest\n"
                     "               miss of the leg solver in metres\n"
                     "  --help       print this help and exit\n"
                     "  --version    print the version and exit\n"
                     "\n"
                     "Exit code 0 when written, 1 on a usage or input error (a bad command line, a\n"
                     "file that cannot be written), 3 when the generated data fails its own checks.\n");
}

int Run(int argc, char** argv)
{
    std::string kOutPath;
    bool bReport = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string kArgument = argv[i];
        if (kArgument == "--help" || kArgument == "-h")
        {
            PrintUsage(stdout);
            return 0;
        }
        if (kArgument == "--version")
        {
            printf("tarn-demogen %s\n", TARN_VERSION);
            return 0;
        }
        if (kArgument == "--report")
            bReport = true;
        else if (kArgument == "--out")
        {
            if (i + 1 >= argc)
            {
                fprintf(stderr, "tarn-demogen: --out needs a file name\nTry 'tarn-demogen --help'.\n");
                return 1;
            }
            kOutPath = argv[++i];
        }
        else if (kArgument.rfind("--out=", 0) == 0)
            kOutPath = kArgument.substr(6);
        else
        {
            fprintf(stderr, "tarn-demogen: unknown argument '%s'\nTry 'tarn-demogen --help'.\n", argv[i]);
            return 1;
        }
    }
    if (kOutPath.empty())
    {
        fprintf(stderr, "tarn-demogen: no output file given (--out FILE)\nTry 'tarn-demogen --help'.\n");
        return 1;
    }

    std::vector<SSequenceReport> kReports;
    const std::string kText = BuildDocument(kReports);

    // Self-check: the text must be well-formed JSON.
    rapidjson::Document kDocument;
    kDocument.Parse(kText.data(), kText.size());
    if (kDocument.HasParseError())
    {
        fprintf(stderr, "tarn-demogen: internal error: generated text is not valid JSON (offset %zu)\n",
                static_cast<size_t>(kDocument.GetErrorOffset()));
        return 3;
    }

    if (!WriteFile(kOutPath, kText))
        return 1;
    if (bReport)
        PrintReport(kReports);
    return 0;
}

}  // namespace DemoGen

int main(int argc, char** argv)
{
    return DemoGen::Run(argc, argv);
}
