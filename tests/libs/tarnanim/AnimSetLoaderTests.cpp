#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "DataDynamic/Skeleton.h"
#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "System/MemoryManager/MemoryManager.h"
#include "support/ReportCapture.h"

using Common::CInputErrors;
using TarnAnim::AnimSetLoader;
using TarnAnim::Mocap;
using TarnAnim::Sequence;

namespace {

// Four channels on three levels (Motion and Prop share level 1), two
// sequences and transition data. Every key has its own translation x
// (100 + 10 x frame + channel for Walk, 200 + ... for Turn) so that the
// rejection cases can edit one key by its text.
const char* const kDocument = R"({
  "Name": "Hero", "Comment": "members the loader does not know are ignored",
  "Channels": [{"Name": "Root", "Parent": null}, {"Name": "Motion", "Parent": "Root"},
               {"Name": "Prop", "Parent": "Root"}, {"Name": "Pelvis", "Parent": "Motion"}],
  "AccumulationChannels": ["Root", "Motion", null],
  "Sequences": [
    {"Name": "Walk", "FirstFrame": 0, "LastFrame": 2, "FrameRate": 30, "Loop": true, "BlendMode": 0, "Interpolation": 0,
     "Frames": [[[0,0,0,1,100,0,1], [0,0,0,2,101,0,0], [0,0,0,1,102,0,0], [0,0,3,4,103,0,0]],
                [[0,0,0,1,110,0,1], [0,0,0,1,111,0,0], [0,0,0,1,112,0,0], [0,0,0,1,113,0,0]],
                [[0,0,0,1,120,0,1], [0,0,0,1,121,0,0], [0,0,0,1,122,0,0], [0,0,0,1,123,-5,0.5]]]},
    {"Name": "Turn", "FirstFrame": 10, "LastFrame": 11, "FrameRate": 24, "Loop": false, "BlendMode": 1,
     "Interpolation": 1,
     "Frames": [[[0,0,0,1,200,0,1], [0,0,0,1,201,0,0], [0,0,0,1,202,0,0], [0,0,0,1,203,0,0]],
                [[0,0,0,1,210,0,1], [0,0,1,1,211,0,0], [0,0,0,1,212,0,0], [0,0,0,1,213,0,0]]]}
  ],
  "Transition": {
    "FirstActiveFrame": 2, "InitialRotation": [0, 0, 0, 2], "InitialPosition": [1, 2, 3],
    "Animations": [
      {"AnimSet": "Hero", "Sequence": "Walk", "StartOffset": 0, "PlayFactor": 2, "Additive": false,
       "Accumulation": {"Vector1": [0.5, 0, 0], "Vector2": [0, 0.25, 0], "Rotation": [0, 0, 0, 1], "Vector3": [0, 0, 1]}},
      {"AnimSet": "Hero", "Sequence": "Turn", "SequenceIndex": 1, "HoldLength": 5, "StartOffset": 3, "PlayFactor": 1.5,
       "Additive": true,
       "Accumulation": {"Vector1": [0, 0, 0], "Vector2": [0, 0, 0], "Rotation": [0, 0, 1, 1], "Vector3": [0, 0, 0]}}
    ],
    "ExtraTracks": [{"AnimSet": "HeroEvents, a name as long as names may be: sixty-three letters",
                     "SequenceIndex": 0, "RootTrack": false, "SecondaryTrack": true, "EventTrack": true, "Fourth": false}],
    "FrameTransitions": [{"SourceTune": 0, "FirstFrame": 4, "LastFrame": 6, "FadeLength": 250, "TargetTune": 0,
                          "TargetFirstFrame": 1, "TargetFrameLimit": 2}]
  }
})";

// kText (the document by default) with its only occurrence of kFind replaced.
std::string Edit(const std::string& kFind, const std::string& kReplace, std::string kText = kDocument)
{
    const size_t uiPos = kText.find(kFind);
    EXPECT_NE(uiPos, std::string::npos) << kFind;
    EXPECT_EQ(kText.find(kFind, uiPos + 1), std::string::npos) << "not unique: " << kFind;
    return uiPos == std::string::npos ? kText : kText.replace(uiPos, kFind.size(), kReplace);
}

// Every test has a private folder for its files, removed after it.
class AnimSetLoaderTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(m_kFolder.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(m_kFolder, m_kError); }
    // The path of a file in the folder, written with pText when given.
    std::string File(const char* pName, const char* pText = nullptr)
    {
        const std::string kPath = m_kFolder + "/" + pName;
        if (pText)
            std::ofstream(kPath, std::ios::binary) << pText;
        return kPath;
    }

    std::string m_kFolder = testing::TempDir() + "animsetXXXXXX";
    std::error_code m_kError;
};

}  // namespace

TEST_F(AnimSetLoaderTest, ReadsEveryPartOfAValidDocumentAlsoIntoASkeleton)
{
    const std::string kPath = File("hero.animset.json", kDocument);
    CInputErrors kError;
    Mocap* pMocap = AnimSetLoader::LoadFile(kPath.c_str(), kError);
    ASSERT_NE(pMocap, nullptr) << kError.GetText();
    EXPECT_STREQ(pMocap->m_kName.Get(), "Hero");
    // Channels, their parents, levels and ranges.
    ASSERT_EQ(pMocap->GetChannelCount(), 4u);
    ASSERT_EQ(pMocap->m_kChannelRanges.GetSize(), 4u);
    const char* apNames[] = {"Root", "Motion", "Prop", "Pelvis"};
    const uint32 auiParents[] = {kInvalidIndex, 0, 0, 1};
    const uint32 auiRanges[] = {0, 1, 3, 4};
    for (uint32 i = 0; i < 4; ++i)
    {
        EXPECT_STREQ(pMocap->m_kChannelNames[i].Get(), apNames[i]);
        EXPECT_EQ(pMocap->m_kChannelParents[i], auiParents[i]);
        EXPECT_EQ(pMocap->m_kChannelRanges[i], auiRanges[i]);
    }
    EXPECT_EQ(pMocap->GetLevelCount(), 3u);
    const uint32* pAccum = pMocap->m_auiAccumChannels;
    EXPECT_EQ(std::tuple(pAccum[0], pAccum[1], pAccum[2]), std::tuple(0u, 1u, kInvalidIndex));
    // Sequences: header fields, duration from the frame count, keys in
    // frame-major order with rotations normalised.
    ASSERT_EQ(pMocap->GetSequenceCount(), 2u);
    const auto Header = [](const Sequence* p) {
        return std::tuple(std::string(p->m_kName.Get()), p->m_uiFirstFrame, p->m_uiLastFrame, p->m_fFrameRate,
                          p->m_fDuration, p->m_bLoop, p->m_uiBlendMode, p->m_uiInterpolation);
    };
    const Sequence* pWalk = pMocap->GetSequence(0);
    const Sequence* pTurn = pMocap->GetSequence(1);
    EXPECT_EQ(Header(pWalk),
              std::tuple("Walk", 0u, 2u, 30.0f, float(2.0 / 30.0), true, 0u, TarnAnim::kInterpolationLinear));
    EXPECT_EQ(Header(pTurn),
              std::tuple("Turn", 10u, 11u, 24.0f, float(1.0 / 24.0), false, 1u, TarnAnim::kInterpolationSpherical));
    ASSERT_EQ(pWalk->m_kKeys.GetSize(), 12u);
    for (uint32 uiFrame = 0; uiFrame < 3; ++uiFrame)
        for (uint32 uiChannel = 0; uiChannel < 4; ++uiChannel)
            EXPECT_EQ(pWalk->m_kKeys[uiFrame * 4 + uiChannel].kTranslation.x, float(100 + 10 * uiFrame + uiChannel));
    EXPECT_EQ(pWalk->m_kKeys[1].kRotation, Math::Quaternion(0.0f, 0.0f, 0.0f, 1.0f));
    EXPECT_FLOAT_EQ(pWalk->m_kKeys[3].kRotation.z, 0.6f);  // (0, 0, 3, 4) normalised
    EXPECT_FLOAT_EQ(pWalk->m_kKeys[3].kRotation.w, 0.8f);
    EXPECT_EQ(pWalk->m_kKeys[11].kTranslation, Math::LocalVector3(123.0f, -5.0f, 0.5f));
    EXPECT_FLOAT_EQ(pTurn->m_kKeys[5].kRotation.z, std::sqrt(0.5f));
    EXPECT_EQ(std::tuple(pMocap->FindSequence("Turn"), pMocap->FindSequence("turn"), pMocap->FindSequenceNoCase("tURN"),
                         pMocap->FindSequenceNoCase("Tur"), pMocap->FindSequenceNoCase("Turns")),
              std::tuple(1, -1, 1, -1, -1));
    // Transition data.
    const TarnAnim::TransitionData* pData = pMocap->GetTransitionData();
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(std::tuple(pData->m_uiFirstActiveFrame, pData->m_kInitialRotation, pData->m_kInitialPosition),
              std::tuple(2u, Math::Quaternion(0.0f, 0.0f, 0.0f, 1.0f), Math::LocalVector3(1.0f, 2.0f, 3.0f)));
    ASSERT_EQ(pData->m_kAnimations.GetSize(), 2u);
    const TarnAnim::AnimationDesc& kWalk = pData->m_kAnimations[0];
    EXPECT_EQ(std::tuple(std::string(kWalk.m_kAnimSetName.Get()), std::string(kWalk.m_kSequenceName.Get()),
                         kWalk.m_uiSequenceIndex, kWalk.m_uiHoldLength, kWalk.m_fPlayFactor, kWalk.m_bAdditive),
              std::tuple("Hero", "Walk", kInvalidIndex, kInvalidIndex, 2.0f, false));
    const TarnAnim::AccumModificatorData& kAccum = kWalk.m_kAccumModificator;
    EXPECT_EQ(std::tuple(kAccum.kVector1, kAccum.kVector2, kAccum.kVector3),
              std::tuple(Math::LocalVector3(0.5f, 0.0f, 0.0f), Math::LocalVector3(0.0f, 0.25f, 0.0f),
                         Math::LocalVector3(0.0f, 0.0f, 1.0f)));
    const TarnAnim::AnimationDesc& kTurn = pData->m_kAnimations[1];
    EXPECT_EQ(std::tuple(kTurn.m_uiSequenceIndex, kTurn.m_uiHoldLength, kTurn.m_uiStartOffset, kTurn.m_fPlayFactor,
                         kTurn.m_bAdditive),
              std::tuple(1u, 5u, 3u, 1.5f, true));
    EXPECT_FLOAT_EQ(kTurn.m_kAccumModificator.kRotation.w, std::sqrt(0.5f));
    ASSERT_EQ(pData->m_kExtraTracks.GetSize(), 1u);
    ASSERT_EQ(pData->m_kFrameTransitions.GetSize(), 1u);
    const TarnAnim::ExtraTrackDesc& kTrack = pData->m_kExtraTracks[0];
    EXPECT_EQ(std::tuple(std::string(kTrack.m_kAnimSetName.Get()), kTrack.m_uiSequenceIndex, kTrack.m_uiFlags),
              std::tuple("HeroEvents, a name as long as names may be: sixty-three letters", 0u,
                         TarnAnim::ExtraTrackDesc::kSecondaryTrack | TarnAnim::ExtraTrackDesc::kEventTrack));
    const TarnAnim::FrameTransitionDesc& kTransition = pData->m_kFrameTransitions[0];
    EXPECT_EQ(std::tuple(kTransition.m_uiFirstFrame, kTransition.m_uiLastFrame, kTransition.m_fFadeLength,
                         kTransition.m_uiTargetFirstFrame, kTransition.m_uiTargetFrameLimit),
              std::tuple(4u, 6u, 250.0f, 1u, 2u));
    TARN_DELETE(pMocap);
    // A skeleton loads the file, and reports one it cannot load.
    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    EXPECT_EQ(kSkeleton.LoadAndStoreMocap(kPath.c_str()), 0);
    EXPECT_EQ(kSkeleton.GetChannelCount(), 4u);
    {
        TestSupport::CAssertCapture kReports;
        TestSupport::CLogCapture kLog;
        EXPECT_EQ(kSkeleton.LoadAndStoreMocap(File("missing.animset.json").c_str()), -1);
        EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"false\" failed. Failed to load Mocap"});
        EXPECT_TRUE(kLog.Contains("missing.animset.json: file:"));
    }
    kSkeleton.Release();
}

TEST_F(AnimSetLoaderTest, RefusesABrokenDocumentWholeWithAMessageNamingTheMember)
{
    const std::string kFolderPath = File("folder.animset.json");
    ASSERT_TRUE(std::filesystem::create_directory(kFolderPath));
    // Larger than the loader reads; sparse, so it costs no disk.
    const std::string kHugePath = File("huge.animset.json", "");
    std::filesystem::resize_file(kHugePath, (512 << 20) + 1);
    struct SCase
    {
        std::string kText;       // the document, named "hero.animset.json"
        std::string kExpected;   // without the document's name
        std::string kPath = {};  // a file to load instead
    };
    const std::string kTruncated = std::string(kDocument).substr(0, std::string(kDocument).find("[0,0,0,1,111"));
    const std::vector<SCase> kCases = {
        // The text itself.
        {"", "document: invalid JSON at offset 0: The document is empty."},
        {kTruncated, "document: invalid JSON at offset " + std::to_string(kTruncated.size()) + ": Invalid value."},
        {std::string(300, '['), "document: invalid JSON at offset 256: nested deeper than 256 levels"},
        {Edit("113", "1e400"), "document: invalid JSON at offset " +
                                   std::to_string(std::string(kDocument).find("113")) +
                                   ": Number too big to be stored in double."},
        {"[]", "document: expected an object, found an array"},
        // Members and types.
        {Edit(R"("FrameRate": 30, )", ""), "Sequences[0].FrameRate: required member is missing"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": "30",)"),
         "Sequences[0].FrameRate: expected a number, found a string"},
        {Edit(R"("Loop": true,)", R"("Loop": 1,)"), "Sequences[0].Loop: expected a boolean, found 1"},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", 1, null])"),
         "AccumulationChannels[1]: expected a channel name or null, found 1"},
        {Edit(R"("Parent": null)", R"("Parent": false)"),
         "Channels[0].Parent: expected a channel name or null, found a boolean"},
        // Unsigned integers.
        {Edit(R"("FirstFrame": 0,)", R"("FirstFrame": -1,)"),
         "Sequences[0].FirstFrame: expected an unsigned 32-bit integer, found -1"},
        {Edit(R"("StartOffset": 3,)", R"("StartOffset": 2.5,)"),
         "Transition.Animations[1].StartOffset: expected an unsigned 32-bit integer, found 2.5"},
        {Edit(R"("SequenceIndex": 1,)", R"("SequenceIndex": 1.0,)"),
         "Transition.Animations[1].SequenceIndex: expected an unsigned 32-bit integer, found 1.0"},
        {Edit(R"("LastFrame": 11,)", R"("LastFrame": 4294967296,)"),
         "Sequences[1].LastFrame: expected an unsigned 32-bit integer, found 4294967296"},
        // Counts and ranges.
        {Edit(R"("LastFrame": 2,)", R"("LastFrame": 3,)"),
         "Sequences[0].Frames: expected 4 frames (FirstFrame 0 to LastFrame 3), found 3"},
        {Edit("[0,0,0,1,112,0,0], ", ""), "Sequences[0].Frames[1]: expected 4 channels, found 3"},
        {Edit("[0,0,0,1,113,0,0]", "[0,0,0,1,113,0]"),
         "Sequences[0].Frames[1][3]: expected 7 numbers [qx, qy, qz, qw, tx, ty, tz], found 6"},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", "Motion"])"),
         "AccumulationChannels: expected 3 entries (root, motion, pelvis), found 2"},
        {Edit(R"("LastFrame": 11,)", R"("LastFrame": 9,)"),
         "Sequences[1].LastFrame: LastFrame 9 is before FirstFrame 10"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": 0,)"),
         "Sequences[0].FrameRate: expected a frame rate above 0, found 0"},
        {Edit(R"("BlendMode": 1,)", R"("BlendMode": 2,)"), "Sequences[1].BlendMode: expected 0 or 1, found 2"},
        {Edit(R"("Interpolation": 1,)", R"("Interpolation": 3,)"),
         "Sequences[1].Interpolation: expected 0, 1 or 2, found 3"},
        {Edit(R"("HoldLength": 5,)", R"("HoldLength": 70000,)"),
         "Transition.Animations[1].HoldLength: expected at most 65534 frames, found 70000"},
        // The second animation is additive: tune 1 does not exist.
        {Edit(R"("TargetTune": 0,)", R"("TargetTune": 1,)"),
         "Transition.FrameTransitions[0].TargetTune: tune 1 does not exist (normal tunes: 1)"},
        // Hierarchy.
        {Edit(R"({"Name": "Pelvis", "Parent": "Motion"})", R"({"Name": "Pelvis", "Parent": "Spine"})"),
         "Channels[3].Parent: unknown channel \"Spine\""},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", "Motion", "Hip"])"),
         "AccumulationChannels[2]: unknown channel \"Hip\""},
        {Edit(R"({"Name": "Motion", "Parent": "Root"})", R"({"Name": "Motion", "Parent": "Pelvis"})"),
         "Channels[1].Parent: parent \"Pelvis\" must come before its child (it is Channels[3])"},
        {Edit(R"({"Name": "Prop", "Parent": "Root"})", R"({"Name": "Prop", "Parent": "Prop"})"),
         "Channels[2].Parent: a channel cannot be its own parent"},
        {Edit(R"({"Name": "Prop", "Parent": "Root"}, {"Name": "Pelvis", "Parent": "Motion"})",
              R"({"Name": "Pelvis", "Parent": "Motion"}, {"Name": "Prop", "Parent": "Root"})"),
         "Channels[3]: hierarchy level 1 after level 2: channels must be ordered by level"},
        // Names.
        {Edit(R"({"Name": "Prop", "Parent": "Root"})", R"({"Name": "Motion", "Parent": "Root"})"),
         "Channels[2].Name: duplicate channel name \"Motion\" (also Channels[1])"},
        {Edit(R"("Name": "Turn")", R"("Name": "Walk")"),
         "Sequences[1].Name: duplicate sequence name \"Walk\" (also Sequences[0])"},
        {Edit(R"("Name": "Walk")", "\"Name\": \"" + std::string(64, 'x') + "\""),
         "Sequences[0].Name: name is 64 characters long, at most 63 are allowed"},
        {Edit(R"("Name": "Hero")", R"("Name": "He\u0000ro")"), "Name: name contains a NUL character"},
        {Edit(R"("Name": "Hero")", R"("Name": "")"), "Name: name is empty"},
        // Numbers.
        {Edit("[0,0,0,1,111,0,0]", "[0,0,0,0,111,0,0]"), "Sequences[0].Frames[1][1]: rotation has zero length"},
        {Edit(R"("InitialRotation": [0, 0, 0, 2])", R"("InitialRotation": [0, 0, 0, 0])"),
         "Transition.InitialRotation: rotation has zero length"},
        {Edit("113", "1e39"), "Sequences[0].Frames[1][3][4]: number 1e+39 is out of range"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": 1e-37,)"),
         "Sequences[0].FrameRate: frame rate 1e-37 is too low: the sequence's duration is out of range"},
        // Files.
        {"", "missing.animset.json: file: cannot be opened: No such file or directory", File("missing.animset.json")},
        {"", "folder.animset.json: file: not a regular file", kFolderPath},
        {"", "huge.animset.json: file: 536870913 bytes is more than the limit of 536870912 bytes (512 MiB)", kHugePath},
    };
    for (const SCase& kCase : kCases)
    {
        const std::string kExpected = kCase.kPath.empty() ? "hero.animset.json: " + kCase.kExpected : kCase.kExpected;
        SCOPED_TRACE(kExpected);
        CInputErrors kError;
        Mocap* pMocap = kCase.kPath.empty() ? AnimSetLoader::LoadText(kCase.kText.data(), kCase.kText.size(),
                                                                      "hero.animset.json", kError)
                                            : AnimSetLoader::LoadFile(kCase.kPath.c_str(), kError);
        EXPECT_EQ(pMocap, nullptr);
        EXPECT_EQ(std::string(kError.GetText()), kExpected);
        TARN_DELETE(pMocap);
    }
}

TEST_F(AnimSetLoaderTest, ReadingGoesOnPastABadSequenceAndListsEachProblem)
{
    const std::string kText =
        Edit(R"("BlendMode": 1,)", R"("BlendMode": 2,)", Edit(R"("FrameRate": 30,)", R"("FrameRate": 0,)"));
    CInputErrors kErrors;
    EXPECT_EQ(AnimSetLoader::LoadText(kText.data(), kText.size(), "hero.animset.json", kErrors), nullptr);
    ASSERT_EQ(kErrors.GetCount(), 2u);
    char acLine[256];
    EXPECT_STREQ(kErrors.FormatProblem(0, acLine, sizeof(acLine)),
                 "hero.animset.json: Sequences[0].FrameRate: expected a frame rate above 0, found 0");
    EXPECT_STREQ(kErrors.FormatProblem(1, acLine, sizeof(acLine)),
                 "hero.animset.json: Sequences[1].BlendMode: expected 0 or 1, found 2");
}
