// tarn-import's reader, importer and AnimSet writer in process: on the shared
// motion-capture takes (skipped where their folder is absent) and on a glTF
// file written here. Results are checked against the source joints' own
// motion, computed here from the source, and loaded by the engine's AnimSet
// loader.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "Importer.h"
#include "SourceMotion.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Transform.h"
#include "Utils/InputErrors.h"

using namespace TarnImport;

namespace {

namespace fs = std::filesystem;

constexpr double kDegrees = 180.0 / 3.14159265358979323846;
constexpr double kCmuUnit = 0.05644;

#define SKIP_WITHOUT_TAKES()                                                                                           \
    if (!fs::is_directory(TARN_MOCAP_DIR))                                                                             \
    GTEST_SKIP() << TARN_MOCAP_DIR << " is absent: no takes"

std::string Take(const char* pName)
{
    return (fs::path(TARN_MOCAP_DIR) / pName).string();
}

// A source read, its axes (the scale replaced when dScale is above 0) and
// the clips cut from it.
struct SImport
{
    CSourceMotion kSource;
    SAxes kAxes;
    SAnimSetData kData;
    std::string kError;
    bool bOk = false;
};

SImport Import(const std::string& kPath, const std::vector<SClipSpec>& kClips, const SImportOptions& kOptions = {},
               double dScale = 0.0)
{
    SImport kImport;
    if (!kImport.kSource.Load(kPath, kImport.kError))
        return kImport;
    kImport.kAxes = kImport.kSource.DetectAxes();
    if (dScale > 0.0)
        kImport.kAxes.dScale = dScale;
    CImporter kImporter(kImport.kSource, kImport.kAxes, kOptions);
    kImport.bOk = kImporter.Run("Test", kClips, {}, kImport.kData, kImport.kError);
    return kImport;
}

// The AnimSet written for the data, as the engine's loader reads it.
struct SLoaded
{
    TarnAnim::Mocap* pMocap = nullptr;
    std::string kErrors;
    explicit SLoaded(const SAnimSetData& kData)
    {
        const std::string kText = WriteAnimSet(kData, "written by the tests");
        Common::CInputErrors kInputErrors;
        pMocap = TarnAnim::AnimSetLoader::LoadText(kText.data(), kText.size(), "test.animset.json", kInputErrors);
        kErrors = kInputErrors.GetText();
    }
    ~SLoaded()
    {
        if (pMocap)
            TARN_DELETE(pMocap);
    }
};

// The signed angle from a to b about the axis, in degrees.
double AngleAbout(const SVec3& a, const SVec3& b, const SVec3& kAxis)
{
    return std::atan2(Dot(Cross(a, b), kAxis), Dot(a, b)) * kDegrees;
}

// The turn of a rotation about Z, in degrees (-180 to 180).
double YawDegrees(const SQuat& q)
{
    return std::remainder(2.0 * std::atan2(q.z, q.w) * kDegrees, 360.0);
}

}  // namespace

TEST(TarnImportTake, IsAcceptedByTheLoaderInMetresWithThePelvisStandingUpInZ)
{
    SKIP_WITHOUT_TAKES();
    const struct
    {
        const char* pTake;
        uint32_t uiFirst, uiLast;
        double dScale;  // 0: estimated
    } akCases[] = {{"cmu_16_34.bvh", 1, 347, 0.0},
                   {"cmu_131_01_scaled_m.bvh", 1, 994, 0.0},
                   {"cmu_131_01.bvh", 1, 993, kCmuUnit},
                   {"cmu_131_01.bvh", 1, 993, 0.0}};
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(std::string(kCase.pTake) + " scale " + std::to_string(kCase.dScale));
        SImportOptions kOptions;
        kOptions.uiSkip = 1;
        const SImport kImport =
            Import(Take(kCase.pTake), {{"Take", kCase.uiFirst, kCase.uiLast}}, kOptions, kCase.dScale);
        ASSERT_TRUE(kImport.bOk) << kImport.kError;
        const SLoaded kLoaded(kImport.kData);
        ASSERT_NE(kLoaded.pMocap, nullptr) << kLoaded.kErrors;
        EXPECT_EQ(kLoaded.pMocap->m_auiAccumChannels[2], 2u);
        EXPECT_EQ(kImport.kData.akAccumulation[2], "Hips");
        // A BVH file states no unit: the hip height gives it.
        if (kCase.dScale == 0.0 && std::string(kCase.pTake) != "cmu_131_01_scaled_m.bvh")
        {
            EXPECT_NEAR(kImport.kAxes.dScale, kCmuUnit, 0.1 * kCmuUnit);
        }
        // Standing and walking, with crouches in the stylised take: the
        // middle height is a standing pelvis'.
        std::vector<double> kHeights;
        for (const std::vector<SXform>& kFrame : kImport.kData.kClips[0].kFrames)
            kHeights.push_back(kFrame[2].t.z);
        std::sort(kHeights.begin(), kHeights.end());
        EXPECT_GT(kHeights.front(), 0.4);
        EXPECT_GT(kHeights[kHeights.size() / 2], 0.8);
        EXPECT_LT(kHeights[kHeights.size() / 2], 1.05);
        EXPECT_LT(kHeights.back(), 1.2);
    }
}

TEST(TarnImportTake, RootMotionTravelsAndTurnsAsTheRootJointDoesOverTheClip)
{
    SKIP_WITHOUT_TAKES();
    const struct
    {
        const char* pTake;
        uint32_t uiFirst, uiLast;
        double dSmoothSeconds;
    } akCases[] = {{"cmu_131_01_scaled_m.bvh", 493, 721, 0.5},
                   {"cmu_131_01_scaled_m.bvh", 493, 721, 2.0},
                   {"cmu_131_01_scaled_m.bvh", 150, 900, 0.5},
                   {"cmu_131_01.bvh", 300, 800, 0.5},
                   {"cmu_16_34.bvh", 1, 347, 0.5}};
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(std::string(kCase.pTake) + " " + std::to_string(kCase.uiFirst) + "-" +
                     std::to_string(kCase.uiLast) + " smoothed over " + std::to_string(kCase.dSmoothSeconds));
        SImportOptions kOptions;
        kOptions.uiSkip = 1;
        kOptions.dSmoothSeconds = kCase.dSmoothSeconds;
        const SImport kImport = Import(Take(kCase.pTake), {{"Clip", kCase.uiFirst, kCase.uiLast}}, kOptions);
        ASSERT_TRUE(kImport.bOk) << kImport.kError;
        // BVH: Y up, and the skeleton's left side at +X has it face +Z.
        EXPECT_EQ(kImport.kAxes.kUp.y, 1.0);
        EXPECT_NEAR(kImport.kAxes.kForward.z, 1.0, 1e-3);

        // The top joint at the clip's first and last source frames, in
        // source axes: its horizontal travel and its heading's turn.
        const CSourceMotion& kSource = kImport.kSource;
        const SSourceJoint& kTop = kSource.GetJoints()[0];
        const SXform kRest = Compose(kSource.GetAbove(), kTop.kRest);
        const SXform kFirst = Compose(kSource.GetAbove(), kSource.SampleLocal(0, kTop.kPositionTimes[kCase.uiFirst]));
        const SXform kLast = Compose(kSource.GetAbove(), kSource.SampleLocal(0, kTop.kPositionTimes[kCase.uiLast]));
        const SVec3 kUp = kImport.kAxes.kUp;
        const auto Horizontal = [&](const SVec3& v) { return v - kUp * Dot(v, kUp); };
        const SVec3 kTravel = Horizontal(kLast.t - kFirst.t) * kImport.kAxes.dScale;
        const SVec3 kFacingFirst = Horizontal(Rotate(kFirst.r * Conjugate(kRest.r), kImport.kAxes.kForward));
        const SVec3 kFacingLast = Horizontal(Rotate(kLast.r * Conjugate(kRest.r), kImport.kAxes.kForward));
        const double dTurn = AngleAbout(kFacingFirst, kFacingLast, kUp);
        // Where it went, seen from where it faced at first (positive: left).
        const double dHeading = AngleAbout(kFacingFirst, kTravel, kUp);

        const SClip& kClip = kImport.kData.kClips[0];
        const SXform& kStart = kClip.kFrames.front()[1];
        EXPECT_NEAR(Length(kStart.t), 0.0, 1e-9);
        EXPECT_NEAR(Angle(kStart.r), 0.0, 1e-9);
        const SXform& kEnd = kClip.kFrames.back()[1];
        EXPECT_NEAR(std::hypot(kEnd.t.x, kEnd.t.y), Length(kTravel), 0.02 * Length(kTravel));
        EXPECT_EQ(kEnd.t.z, 0.0);
        EXPECT_NEAR(YawDegrees(kEnd.r), dTurn, std::max(0.02 * std::fabs(dTurn), 0.5));
        EXPECT_NEAR(std::atan2(kEnd.t.y, kEnd.t.x) * kDegrees, dHeading, 1.0);
    }
}

TEST(TarnImportTake, FootContactsAlternateLeftAndRightWithTheStridesPeriod)
{
    SKIP_WITHOUT_TAKES();
    SImportOptions kOptions;
    kOptions.uiSkip = 1;
    kOptions.kFeet = {"LeftFoot", "RightFoot"};
    const SImport kImport = Import(Take("cmu_16_34.bvh"), {{"Take", 1, 347}}, kOptions);
    ASSERT_TRUE(kImport.bOk) << kImport.kError;
    const std::vector<std::vector<uint32_t>>& kContacts = kImport.kData.kClips[0].kContacts;
    ASSERT_EQ(kContacts.size(), 2u);

    std::vector<std::pair<uint32_t, size_t>> kMerged;  // frame, foot
    std::vector<double> kIntervals;
    for (size_t f = 0; f < 2; ++f)
        for (size_t i = 0; i < kContacts[f].size(); ++i)
        {
            kMerged.push_back({kContacts[f][i], f});
            if (i > 0)
                kIntervals.push_back(kContacts[f][i] - kContacts[f][i - 1]);
        }
    std::sort(kMerged.begin(), kMerged.end());
    ASSERT_GE(kMerged.size(), 4u);
    for (size_t i = 1; i < kMerged.size(); ++i)
        EXPECT_NE(kMerged[i].second, kMerged[i - 1].second)
            << "contacts at " << kMerged[i - 1].first << " and " << kMerged[i].first << " are of one foot";
    const double dMean = std::accumulate(kIntervals.begin(), kIntervals.end(), 0.0) / kIntervals.size();
    for (const double dInterval : kIntervals)
        EXPECT_NEAR(dInterval, dMean, 0.15 * dMean);
    // Each step of the other foot falls mid-stride.
    for (size_t i = 1; i + 1 < kMerged.size(); ++i)
    {
        const double dShare = static_cast<double>(kMerged[i].first - kMerged[i - 1].first) /
                              (kMerged[i + 1].first - kMerged[i - 1].first);
        EXPECT_GE(dShare, 0.3) << "contact at frame " << kMerged[i].first;
        EXPECT_LE(dShare, 0.7) << "contact at frame " << kMerged[i].first;
    }
}

namespace {

// A walk of the metre take cut to loop, straightened or not.
SClip LoopedWalk(bool bStraight)
{
    SImportOptions kOptions;
    kOptions.uiSkip = 1;
    const SImport kImport = Import(Take("cmu_131_01_scaled_m.bvh"), {{"Walk", 581, 721, true, bStraight}}, kOptions);
    EXPECT_TRUE(kImport.bOk) << kImport.kError;
    const SLoaded kLoaded(kImport.kData);
    EXPECT_NE(kLoaded.pMocap, nullptr) << kLoaded.kErrors;
    return kImport.bOk ? kImport.kData.kClips[0] : SClip{};
}

}  // namespace

// A looping walk ends in its first pose, and the root motion's steps on
// either side of the wrap (the clip's last, then its first turned as the
// next cycle plays it) are steps of the clip's pace.
TEST(TarnImportTake, LoopingClipEndsInItsFirstPoseAndKeepsItsPaceAcrossTheWrap)
{
    SKIP_WITHOUT_TAKES();
    for (const bool bStraight : {true, false})
    {
        SCOPED_TRACE(bStraight ? "straight" : "as captured");
        const SClip kClip = LoopedWalk(bStraight);
        const size_t uiCount = kClip.kFrames.size();
        ASSERT_GE(uiCount, 10u);
        EXPECT_TRUE(kClip.bMadeSeamless) << kClip.dLoopDegrees << " degrees, " << kClip.dLoopMetres << " m";
        for (size_t c = 2; c < kClip.kFrames[0].size(); ++c)
        {
            EXPECT_LT(Angle(kClip.kFrames.back()[c].r * Conjugate(kClip.kFrames.front()[c].r)) * kDegrees, 0.5)
                << "channel " << c;
            EXPECT_LT(Length(kClip.kFrames.back()[c].t - kClip.kFrames.front()[c].t), 1e-3) << "channel " << c;
        }
        const auto Step = [&](size_t k) { return kClip.kFrames[k + 1][1].t - kClip.kFrames[k][1].t; };
        double dMean = 0.0;
        for (size_t k = 0; k + 1 < uiCount; ++k)
            dMean += Length(Step(k)) / (uiCount - 1);
        const SVec3 kLast = Step(uiCount - 2), kNext = Rotate(kClip.kFrames.back()[1].r, Step(0));
        EXPECT_NEAR(Length(kLast), dMean, 0.3 * dMean) << "last step";
        EXPECT_NEAR(Length(kNext), dMean, 0.3 * dMean) << "first step";
        EXPECT_LT(Length(kNext - kLast), 0.3 * dMean) << "change of step at the wrap";
    }
}

namespace {

// Hip (1 m up) moving 2 m along +Z in a second, its Knee (0.5 m below)
// bending from straight to 90 degrees about X: two keys each, in the buffer
// file hip_knee.bin. pHip is the hip's name as JSON text.
std::string TwoJointGltf(const char* pHip)
{
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
  "nodes": [{"name": ")" +
           std::string(pHip) + R"(", "translation": [0, 1, 0], "children": [1]},
            {"name": "Knee", "translation": [0, -0.5, 0]}],
  "buffers": [{"byteLength": 64, "uri": "hip_knee.bin"}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 8},
                  {"buffer": 0, "byteOffset": 8, "byteLength": 24},
                  {"buffer": 0, "byteOffset": 32, "byteLength": 32}],
  "accessors": [{"bufferView": 0, "componentType": 5126, "count": 2, "type": "SCALAR", "min": [0], "max": [1]},
                {"bufferView": 1, "componentType": 5126, "count": 2, "type": "VEC3"},
                {"bufferView": 2, "componentType": 5126, "count": 2, "type": "VEC4"}],
  "animations": [{"name": "Move", "samplers": [{"input": 0, "output": 1}, {"input": 0, "output": 2}],
                  "channels": [{"sampler": 0, "target": {"node": 0, "path": "translation"}},
                               {"sampler": 1, "target": {"node": 1, "path": "rotation"}}]}]})";
}

// The glTF file read back at 10 frames per second.
SImport ImportGltf(const char* pHip)
{
    const fs::path kFolder = fs::path(testing::TempDir()) / ("tarnimport_gltf_" + std::to_string(getpid()));
    fs::create_directories(kFolder);
    const std::string kPath = (kFolder / "hip_knee.gltf").string();
    std::ofstream(kPath) << TwoJointGltf(pHip);
    const float afValues[] = {0, 1, 0, 1, 0, 0, 1, 2, 0, 0, 0, 1, 0.70710678f, 0, 0, 0.70710678f};
    std::ofstream(kFolder / "hip_knee.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(afValues), sizeof(afValues));
    SImportOptions kOptions;
    kOptions.dFps = 10.0;
    SImport kImport = Import(kPath, {{"Move", 0, 1}}, kOptions);
    fs::remove_all(kFolder);
    return kImport;
}

void ExpectNear(const Math::LocalVector3& kGot, const SVec3& kExpected, const char* pWhat)
{
    EXPECT_NEAR(kGot.x, kExpected.x, 1e-3) << pWhat;
    EXPECT_NEAR(kGot.y, kExpected.y, 1e-3) << pWhat;
    EXPECT_NEAR(kGot.z, kExpected.z, 1e-3) << pWhat;
}

}  // namespace

TEST(TarnImportGltf, TwoJointSkeletonWalksForwardAlongXWithItsKneeSlerped)
{
    const SImport kImport = ImportGltf("Hip");
    ASSERT_TRUE(kImport.bOk) << kImport.kError;
    const SLoaded kLoaded(kImport.kData);
    ASSERT_NE(kLoaded.pMocap, nullptr) << kLoaded.kErrors;
    const TarnAnim::Mocap& kMocap = *kLoaded.pMocap;
    const char* const apNames[] = {"Root", "Motion", "Hip", "Knee"};
    const uint32 auiParents[] = {kInvalidIndex, 0, 1, 2};
    ASSERT_EQ(kMocap.GetChannelCount(), 4u);
    for (uint32 c = 0; c < 4; ++c)
    {
        EXPECT_STREQ(kMocap.m_kChannelNames[c].Get(), apNames[c]);
        EXPECT_EQ(kMocap.m_kChannelParents[c], auiParents[c]) << apNames[c];
        EXPECT_EQ(kMocap.m_auiAccumChannels[std::min(c, 2u)], std::min(c, 2u));
    }
    ASSERT_EQ(kMocap.GetSequenceCount(), 1u);
    const TarnAnim::Sequence& kSequence = *kMocap.GetSequence(0);
    ASSERT_EQ(kSequence.GetFrameCount(), 11u);
    for (uint32 k = 0; k < 11; ++k)
    {
        SCOPED_TRACE("frame " + std::to_string(k));
        const TarnAnim::Transform* pKeys = &kSequence.m_kKeys[k * 4];
        // Forward (+Z in glTF) is +X; the hip keeps its height above the
        // root motion, the knee its offset.
        ExpectNear(pKeys[1].kTranslation, {0.2 * k, 0.0, 0.0}, "Motion");
        EXPECT_NEAR(std::fabs(pKeys[1].kRotation.w), 1.0, 1e-3);
        ExpectNear(pKeys[2].kTranslation, {0.0, 0.0, 1.0}, "Hip");
        ExpectNear(pKeys[3].kTranslation, {0.0, -0.5, 0.0}, "Knee");
        // 9 degrees a frame about X.
        const Math::Quaternion& kKnee = pKeys[3].kRotation;
        const double dHalf = 0.5 * 9.0 * k / kDegrees, dSign = kKnee.w < 0.0f ? -1.0 : 1.0;
        EXPECT_NEAR(dSign * kKnee.x, std::sin(dHalf), 1e-3);
        EXPECT_NEAR(dSign * kKnee.w, std::cos(dHalf), 1e-3);
        EXPECT_NEAR(Length({kKnee.y, kKnee.z, 0.0}), 0.0, 1e-3);
    }
}

// Channel names are the joints' own, whatever characters they hold (a name
// of the AnimSet is any text without NUL).
TEST(TarnImportGltf, JointNamesWithQuotesBackslashesOrTabsAreWrittenAsTheyAre)
{
    const struct
    {
        const char* pJson;
        const char* pName;
    } akCases[] = {{R"(Hip \"L\")", "Hip \"L\""}, {R"(Hip\\L)", "Hip\\L"}, {R"(Hip\tL)", "Hip\tL"}};
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pJson);
        const SImport kImport = ImportGltf(kCase.pJson);
        ASSERT_TRUE(kImport.bOk) << kImport.kError;
        const SLoaded kLoaded(kImport.kData);
        ASSERT_NE(kLoaded.pMocap, nullptr) << kLoaded.kErrors;
        EXPECT_STREQ(kLoaded.pMocap->m_kChannelNames[2].Get(), kCase.pName);
    }
}
