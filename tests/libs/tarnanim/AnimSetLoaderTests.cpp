#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DataDynamic/Skeleton.h"
#include "DataStatic/AnimSetLoader.h"
#include "support/ReportCapture.h"
#include "DataStatic/Mocap.h"
#include "System/MemoryManager/MemoryManager.h"

using TarnAnim::AnimSetLoader;
using Common::CInputErrors;
using TarnAnim::Mocap;
using TarnAnim::Sequence;

namespace {

// Four channels on three levels (Motion and Prop share level 1), two
// sequences and transition data. Every key has its own translation x
// (100 + 10 x frame + channel for Walk, 200 + ... for Turn) so that the
// rejection cases can edit one key by its text.
const char* const kDocument = R"({
  "Name": "Hero",
  "Comment": "members the loader does not know are ignored",
  "Channels": [
    {"Name": "Root", "Parent": null},
    {"Name": "Motion", "Parent": "Root"},
    {"Name": "Prop", "Parent": "Root"},
    {"Name": "Pelvis", "Parent": "Motion"}
  ],
  "AccumulationChannels": ["Root", "Motion", null],
  "Sequences": [
    {
      "Name": "Walk", "FirstFrame": 0, "LastFrame": 2, "FrameRate": 30, "Loop": true,
      "BlendMode": 0, "Interpolation": 0,
      "Frames": [
        [[0,0,0,1,100,0,1], [0,0,0,2,101,0,0], [0,0,0,1,102,0,0], [0,0,3,4,103,0,0]],
        [[0,0,0,1,110,0,1], [0,0,0,1,111,0,0], [0,0,0,1,112,0,0], [0,0,0,1,113,0,0]],
        [[0,0,0,1,120,0,1], [0,0,0,1,121,0,0], [0,0,0,1,122,0,0], [0,0,0,1,123,-5,0.5]]
      ]
    },
    {
      "Name": "Turn", "FirstFrame": 10, "LastFrame": 11, "FrameRate": 24, "Loop": false,
      "BlendMode": 1, "Interpolation": 1,
      "Frames": [
        [[0,0,0,1,200,0,1], [0,0,0,1,201,0,0], [0,0,0,1,202,0,0], [0,0,0,1,203,0,0]],
        [[0,0,0,1,210,0,1], [0,0,1,1,211,0,0], [0,0,0,1,212,0,0], [0,0,0,1,213,0,0]]
      ]
    }
  ],
  "Transition": {
    "FirstActiveFrame": 2,
    "InitialRotation": [0, 0, 0, 2],
    "InitialPosition": [1, 2, 3],
    "Animations": [
      {"AnimSet": "Hero", "Sequence": "Walk",
       "Accumulation": {"Vector1": [0.5, 0, 0], "Vector2": [0, 0.25, 0], "Rotation": [0, 0, 0, 1],
                        "Vector3": [0, 0, 1]},
       "StartOffset": 0, "PlayFactor": 2, "Additive": false},
      {"AnimSet": "Hero", "Sequence": "Turn", "SequenceIndex": 1,
       "Accumulation": {"Vector1": [0, 0, 0], "Vector2": [0, 0, 0], "Rotation": [0, 0, 1, 1], "Vector3": [0, 0, 0]},
       "HoldLength": 5, "StartOffset": 3, "PlayFactor": 1.5, "Additive": true}
    ],
    "ExtraTracks": [
      {"AnimSet": "HeroEvents", "SequenceIndex": 0, "RootTrack": false, "SecondaryTrack": true,
       "EventTrack": true, "Fourth": false}
    ],
    "FrameTransitions": [
      {"SourceTune": 0, "FirstFrame": 4, "LastFrame": 6, "FadeLength": 250, "TargetTune": 0,
       "TargetFirstFrame": 1, "TargetFrameLimit": 2}
    ]
  }
})";

// The document with its only occurrence of kFind replaced.
std::string Edit(const std::string& kFind, const std::string& kReplace)
{
    std::string kText = kDocument;
    const size_t uiPos = kText.find(kFind);
    EXPECT_NE(uiPos, std::string::npos) << kFind;
    EXPECT_EQ(kText.find(kFind, uiPos + 1), std::string::npos) << "not unique: " << kFind;
    if (uiPos != std::string::npos)
        kText.replace(uiPos, kFind.size(), kReplace);
    return kText;
}

uint32 LiveAllocations()
{
    return Common::Mem::CMemoryManager::GetInstance()->GetNumAllocations();
}

// A private folder for the file cases, removed with its files.
class CTempFolder
{
public:
    CTempFolder()
    {
        std::string kTemplate = testing::TempDir() + "animsetXXXXXX";
        std::vector<char> kBuffer(kTemplate.begin(), kTemplate.end());
        kBuffer.push_back('\0');
        if (mkdtemp(kBuffer.data()))
            m_kPath = kBuffer.data();
    }
    ~CTempFolder()
    {
        for (const std::string& kFile : m_kFiles)
            remove(kFile.c_str());
        if (!m_kPath.empty())
            rmdir(m_kPath.c_str());
    }
    // The path of a file (or folder) in it, deleted with it.
    std::string Path(const char* pName)
    {
        m_kFiles.push_back(m_kPath + "/" + pName);
        return m_kFiles.back();
    }
    bool IsValid() const { return !m_kPath.empty(); }

private:
    std::string m_kPath;
    std::vector<std::string> m_kFiles;
};

bool WriteFile(const std::string& kPath, const std::string& kText)
{
    FILE* pFile = fopen(kPath.c_str(), "wb");
    if (!pFile)
        return false;
    const bool bWritten = fwrite(kText.data(), 1, kText.size(), pFile) == kText.size();
    return fclose(pFile) == 0 && bWritten;
}

}  // namespace

TEST(AnimSetLoaderTest, ReadsEveryPartOfAValidDocument)
{
    CTempFolder kFolder;
    ASSERT_TRUE(kFolder.IsValid());
    const std::string kPath = kFolder.Path("hero.animset.json");
    ASSERT_TRUE(WriteFile(kPath, kDocument));

    CInputErrors kError;
    Mocap* pMocap = AnimSetLoader::LoadFile(kPath.c_str(), kError);
    ASSERT_NE(pMocap, nullptr) << kError.GetText();
    EXPECT_STREQ(kError.GetText(), "");
    EXPECT_STREQ(pMocap->m_kName.Get(), "Hero");

    // Channels, their parents, levels and ranges.
    ASSERT_EQ(pMocap->GetChannelCount(), 4u);
    const char* apNames[] = {"Root", "Motion", "Prop", "Pelvis"};
    const uint32 auiParents[] = {kInvalidIndex, 0, 0, 1};
    for (uint32 i = 0; i < 4; ++i)
    {
        EXPECT_STREQ(pMocap->m_kChannelNames[i].Get(), apNames[i]);
        EXPECT_EQ(pMocap->m_kChannelParents[i], auiParents[i]);
    }
    EXPECT_EQ(pMocap->GetLevelCount(), 3u);
    ASSERT_EQ(pMocap->m_kChannelRanges.GetSize(), 4u);
    const uint32 auiRanges[] = {0, 1, 3, 4};
    for (uint32 i = 0; i < 4; ++i)
        EXPECT_EQ(pMocap->m_kChannelRanges[i], auiRanges[i]);
    EXPECT_EQ(pMocap->m_auiAccumChannels[0], 0u);
    EXPECT_EQ(pMocap->m_auiAccumChannels[1], 1u);
    EXPECT_EQ(pMocap->m_auiAccumChannels[2], kInvalidIndex);

    // Sequences: header fields, duration from the frame count, keys in
    // frame-major order with rotations normalised.
    ASSERT_EQ(pMocap->GetSequenceCount(), 2u);
    const Sequence* pWalk = pMocap->GetSequence(0);
    EXPECT_STREQ(pWalk->m_kName.Get(), "Walk");
    EXPECT_EQ(pWalk->GetFrameCount(), 3u);
    EXPECT_EQ(pWalk->m_fFrameRate, 30.0f);
    EXPECT_FLOAT_EQ(pWalk->m_fDuration, 2.0f / 30.0f);
    EXPECT_TRUE(pWalk->m_bLoop);
    EXPECT_EQ(pWalk->m_uiBlendMode, 0u);
    EXPECT_EQ(pWalk->m_uiInterpolation, TarnAnim::kInterpolationLinear);
    ASSERT_EQ(pWalk->m_kKeys.GetSize(), 12u);
    for (uint32 uiFrame = 0; uiFrame < 3; ++uiFrame)
        for (uint32 uiChannel = 0; uiChannel < 4; ++uiChannel)
            EXPECT_EQ(pWalk->m_kKeys[uiFrame * 4 + uiChannel].kTranslation.x, float(100 + 10 * uiFrame + uiChannel));
    EXPECT_EQ(pWalk->m_kKeys[1].kRotation, Math::Quaternion(0.0f, 0.0f, 0.0f, 1.0f));
    EXPECT_FLOAT_EQ(pWalk->m_kKeys[3].kRotation.z, 0.6f);
    EXPECT_FLOAT_EQ(pWalk->m_kKeys[3].kRotation.w, 0.8f);
    EXPECT_EQ(pWalk->m_kKeys[11].kTranslation, Math::LocalVector3(123.0f, -5.0f, 0.5f));

    const Sequence* pTurn = pMocap->GetSequence(1);
    EXPECT_EQ(pTurn->m_uiFirstFrame, 10u);
    EXPECT_EQ(pTurn->m_uiLastFrame, 11u);
    EXPECT_FLOAT_EQ(pTurn->m_fDuration, 1.0f / 24.0f);
    EXPECT_FALSE(pTurn->m_bLoop);
    EXPECT_EQ(pTurn->m_uiBlendMode, 1u);
    EXPECT_EQ(pTurn->m_uiInterpolation, TarnAnim::kInterpolationSpherical);
    EXPECT_FLOAT_EQ(pTurn->m_kKeys[5].kRotation.z, std::sqrt(0.5f));

    EXPECT_EQ(pMocap->FindSequence("Turn"), 1);
    EXPECT_EQ(pMocap->FindSequence("turn"), -1);
    EXPECT_EQ(pMocap->FindSequenceNoCase("tURN"), 1);
    EXPECT_EQ(pMocap->FindSequenceNoCase("Tur"), -1);
    EXPECT_EQ(pMocap->FindSequenceNoCase("Turns"), -1);

    // Transition data.
    const TarnAnim::TransitionData* pData = pMocap->GetTransitionData();
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(pData->m_uiFirstActiveFrame, 2u);
    EXPECT_EQ(pData->m_kInitialRotation, Math::Quaternion(0.0f, 0.0f, 0.0f, 1.0f));
    EXPECT_EQ(pData->m_kInitialPosition, Math::LocalVector3(1.0f, 2.0f, 3.0f));
    ASSERT_EQ(pData->m_kAnimations.GetSize(), 2u);
    const TarnAnim::AnimationDesc& kWalkTune = pData->m_kAnimations[0];
    EXPECT_STREQ(kWalkTune.m_kAnimSetName.Get(), "Hero");
    EXPECT_STREQ(kWalkTune.m_kSequenceName.Get(), "Walk");
    EXPECT_EQ(kWalkTune.m_uiSequenceIndex, kInvalidIndex);
    EXPECT_EQ(kWalkTune.m_uiHoldLength, kInvalidIndex);
    EXPECT_EQ(kWalkTune.m_kAccumModificator.kVector1, Math::LocalVector3(0.5f, 0.0f, 0.0f));
    EXPECT_EQ(kWalkTune.m_kAccumModificator.kVector2, Math::LocalVector3(0.0f, 0.25f, 0.0f));
    EXPECT_EQ(kWalkTune.m_kAccumModificator.kVector3, Math::LocalVector3(0.0f, 0.0f, 1.0f));
    EXPECT_EQ(kWalkTune.m_fPlayFactor, 2.0f);
    EXPECT_FALSE(kWalkTune.m_bAdditive);
    const TarnAnim::AnimationDesc& kTurnTune = pData->m_kAnimations[1];
    EXPECT_EQ(kTurnTune.m_uiSequenceIndex, 1u);
    EXPECT_EQ(kTurnTune.m_uiHoldLength, 5u);
    EXPECT_EQ(kTurnTune.m_uiStartOffset, 3u);
    EXPECT_EQ(kTurnTune.m_fPlayFactor, 1.5f);
    EXPECT_FLOAT_EQ(kTurnTune.m_kAccumModificator.kRotation.w, std::sqrt(0.5f));
    EXPECT_TRUE(kTurnTune.m_bAdditive);
    ASSERT_EQ(pData->m_kExtraTracks.GetSize(), 1u);
    EXPECT_STREQ(pData->m_kExtraTracks[0].m_kAnimSetName.Get(), "HeroEvents");
    EXPECT_EQ(pData->m_kExtraTracks[0].m_uiFlags,
              uint32(TarnAnim::ExtraTrackDesc::kSecondaryTrack | TarnAnim::ExtraTrackDesc::kEventTrack));
    ASSERT_EQ(pData->m_kFrameTransitions.GetSize(), 1u);
    const TarnAnim::FrameTransitionDesc& kTransition = pData->m_kFrameTransitions[0];
    EXPECT_EQ(kTransition.m_uiFirstFrame, 4u);
    EXPECT_EQ(kTransition.m_uiLastFrame, 6u);
    EXPECT_EQ(kTransition.m_fFadeLength, 250.0f);
    EXPECT_EQ(kTransition.m_uiTargetFirstFrame, 1u);
    EXPECT_EQ(kTransition.m_uiTargetFrameLimit, 2u);
    TARN_DELETE(pMocap);

    // The longest name a FixedName holds, and a document without transition.
    const std::string kLongest(63, 'w');
    std::string kText = Edit(R"("Name": "Walk")", "\"Name\": \"" + kLongest + "\"");
    kText.resize(kText.find(",\n  \"Transition\""));
    kText += "\n}";
    pMocap = AnimSetLoader::LoadText(kText.data(), kText.size(), "hero.animset.json", kError);
    ASSERT_NE(pMocap, nullptr) << kError.GetText();
    EXPECT_EQ(pMocap->FindSequence(kLongest.c_str()), 0);
    EXPECT_EQ(pMocap->GetTransitionData(), nullptr);
    TARN_DELETE(pMocap);
}

TEST(AnimSetLoaderTest, RefusesABrokenDocumentWholeWithAMessageNamingTheMember)
{
    CTempFolder kFolder;
    ASSERT_TRUE(kFolder.IsValid());
    const std::string kFolderPath = kFolder.Path("folder.animset.json");
    ASSERT_EQ(mkdir(kFolderPath.c_str(), 0700), 0);
    // Larger than the loader reads; sparse, so it costs no disk.
    const std::string kHugePath = kFolder.Path("huge.animset.json");
    const int iHuge = open(kHugePath.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(iHuge, 0);
    ASSERT_EQ(ftruncate(iHuge, (512 << 20) + 1), 0);
    close(iHuge);

    struct SCase
    {
        std::string kText;  // the document; unused when kPath is set
        std::string kExpected;
        std::string kPath = {};  // a file to load instead
    };
    auto File = [](const std::string& kPath, const std::string& kExpected) { return SCase{"", kExpected, kPath}; };
    const std::string kName64(64, 'x');
    const std::string kTruncated = std::string(kDocument).substr(0, std::string(kDocument).find("[0,0,0,1,111"));
    const std::vector<SCase> kCases = {
        // The text itself.
        {"", "hero.animset.json: document: invalid JSON at offset 0: The document is empty."},
        {kTruncated, "hero.animset.json: document: invalid JSON at offset " + std::to_string(kTruncated.size()) +
                         ": Invalid value."},
        {std::string(300, '['),
         "hero.animset.json: document: invalid JSON at offset 256: nested deeper than 256 levels"},
        {Edit("113", "1e400"), "hero.animset.json: document: invalid JSON at offset " +
                                   std::to_string(std::string(kDocument).find("113")) +
                                   ": Number too big to be stored in double."},
        {"[]", "hero.animset.json: document: expected an object, found an array"},
        // Members and types.
        {Edit(R"("FrameRate": 30, )", ""), "hero.animset.json: Sequences[0].FrameRate: required member is missing"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": "30",)"),
         "hero.animset.json: Sequences[0].FrameRate: expected a number, found a string"},
        {Edit(R"("Loop": true,)", R"("Loop": 1,)"),
         "hero.animset.json: Sequences[0].Loop: expected a boolean, found 1"},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", 1, null])"),
         "hero.animset.json: AccumulationChannels[1]: expected a channel name or null, found 1"},
        {Edit(R"("Parent": null)", R"("Parent": false)"),
         "hero.animset.json: Channels[0].Parent: expected a channel name or null, found a boolean"},
        // Unsigned integers.
        {Edit(R"("FirstFrame": 0,)", R"("FirstFrame": -1,)"),
         "hero.animset.json: Sequences[0].FirstFrame: expected an unsigned 32-bit integer, found -1"},
        {Edit(R"("StartOffset": 3,)", R"("StartOffset": 2.5,)"),
         "hero.animset.json: Transition.Animations[1].StartOffset: expected an unsigned 32-bit integer, found 2.5"},
        {Edit(R"("SequenceIndex": 1,)", R"("SequenceIndex": 1.0,)"),
         "hero.animset.json: Transition.Animations[1].SequenceIndex: expected an unsigned 32-bit integer, found 1.0"},
        {Edit(R"("LastFrame": 11,)", R"("LastFrame": 4294967296,)"),
         "hero.animset.json: Sequences[1].LastFrame: expected an unsigned 32-bit integer, found 4294967296"},
        // Counts and ranges.
        {Edit(R"("LastFrame": 2,)", R"("LastFrame": 3,)"),
         "hero.animset.json: Sequences[0].Frames: expected 4 frames (FirstFrame 0 to LastFrame 3), found 3"},
        {Edit("[0,0,0,1,112,0,0], ", ""), "hero.animset.json: Sequences[0].Frames[1]: expected 4 channels, found 3"},
        {Edit("[0,0,0,1,113,0,0]", "[0,0,0,1,113,0]"),
         "hero.animset.json: Sequences[0].Frames[1][3]: expected 7 numbers [qx, qy, qz, qw, tx, ty, tz], found 6"},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", "Motion"])"),
         "hero.animset.json: AccumulationChannels: expected 3 entries (root, motion, pelvis), found 2"},
        {Edit(R"("LastFrame": 11,)", R"("LastFrame": 9,)"),
         "hero.animset.json: Sequences[1].LastFrame: LastFrame 9 is before FirstFrame 10"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": 0,)"),
         "hero.animset.json: Sequences[0].FrameRate: expected a frame rate above 0, found 0"},
        {Edit(R"("BlendMode": 1,)", R"("BlendMode": 2,)"),
         "hero.animset.json: Sequences[1].BlendMode: expected 0 or 1, found 2"},
        {Edit(R"("Interpolation": 1,)", R"("Interpolation": 3,)"),
         "hero.animset.json: Sequences[1].Interpolation: expected 0, 1 or 2, found 3"},
        {Edit(R"("HoldLength": 5,)", R"("HoldLength": 70000,)"),
         "hero.animset.json: Transition.Animations[1].HoldLength: expected at most 65534 frames, found 70000"},
        // The second animation is additive: tune 1 does not exist.
        {Edit(R"("TargetTune": 0,)", R"("TargetTune": 1,)"),
         "hero.animset.json: Transition.FrameTransitions[0].TargetTune: tune 1 does not exist (normal tunes: 1)"},
        // Hierarchy.
        {Edit(R"({"Name": "Pelvis", "Parent": "Motion"})", R"({"Name": "Pelvis", "Parent": "Spine"})"),
         "hero.animset.json: Channels[3].Parent: unknown channel \"Spine\""},
        {Edit(R"(["Root", "Motion", null])", R"(["Root", "Motion", "Hip"])"),
         "hero.animset.json: AccumulationChannels[2]: unknown channel \"Hip\""},
        {Edit(R"({"Name": "Motion", "Parent": "Root"})", R"({"Name": "Motion", "Parent": "Pelvis"})"),
         "hero.animset.json: Channels[1].Parent: parent \"Pelvis\" must come before its child (it is Channels[3])"},
        {Edit(R"({"Name": "Prop", "Parent": "Root"})", R"({"Name": "Prop", "Parent": "Prop"})"),
         "hero.animset.json: Channels[2].Parent: a channel cannot be its own parent"},
        {Edit(R"({"Name": "Prop", "Parent": "Root"},
    {"Name": "Pelvis", "Parent": "Motion"})",
              R"({"Name": "Pelvis", "Parent": "Motion"},
    {"Name": "Prop", "Parent": "Root"})"),
         "hero.animset.json: Channels[3]: hierarchy level 1 after level 2: channels must be ordered by level"},
        // Names.
        {Edit(R"({"Name": "Prop", "Parent": "Root"})", R"({"Name": "Motion", "Parent": "Root"})"),
         "hero.animset.json: Channels[2].Name: duplicate channel name \"Motion\" (also Channels[1])"},
        {Edit(R"("Name": "Turn")", R"("Name": "Walk")"),
         "hero.animset.json: Sequences[1].Name: duplicate sequence name \"Walk\" (also Sequences[0])"},
        {Edit(R"("Name": "Walk")", "\"Name\": \"" + kName64 + "\""),
         "hero.animset.json: Sequences[0].Name: name is 64 characters long, at most 63 are allowed"},
        {Edit(R"("Name": "Hero")", R"("Name": "He\u0000ro")"),
         "hero.animset.json: Name: name contains a NUL character"},
        {Edit(R"("Name": "Hero")", R"("Name": "")"), "hero.animset.json: Name: name is empty"},
        // Numbers.
        {Edit("[0,0,0,1,111,0,0]", "[0,0,0,0,111,0,0]"),
         "hero.animset.json: Sequences[0].Frames[1][1]: rotation has zero length"},
        {Edit(R"("InitialRotation": [0, 0, 0, 2])", R"("InitialRotation": [0, 0, 0, 0])"),
         "hero.animset.json: Transition.InitialRotation: rotation has zero length"},
        {Edit("113", "1e39"), "hero.animset.json: Sequences[0].Frames[1][3][4]: number 1e+39 is out of range"},
        {Edit(R"("FrameRate": 30,)", R"("FrameRate": 1e-37,)"),
         "hero.animset.json: Sequences[0].FrameRate: frame rate 1e-37 is too low: the sequence's duration is out of "
         "range"},
        // Files.
        File(kFolder.Path("missing.animset.json"),
             "missing.animset.json: file: cannot be opened: No such file or directory"),
        File(kFolderPath, "folder.animset.json: file: not a regular file"),
        File(kHugePath, "huge.animset.json: file: 536870913 bytes is more than the limit of 536870912 bytes (512 MiB)"),
    };

    for (const SCase& kCase : kCases)
    {
        SCOPED_TRACE(kCase.kExpected);
        const uint32 uiAllocationsBefore = LiveAllocations();
        CInputErrors kError;
        Mocap* pMocap = kCase.kPath.empty() ? AnimSetLoader::LoadText(kCase.kText.data(), kCase.kText.size(),
                                                                      "hero.animset.json", kError)
                                            : AnimSetLoader::LoadFile(kCase.kPath.c_str(), kError);
        EXPECT_EQ(pMocap, nullptr);
        EXPECT_EQ(std::string(kError.GetText()), kCase.kExpected);
        // Nothing of a refused document stays allocated.
        EXPECT_EQ(LiveAllocations(), uiAllocationsBefore);
        TARN_DELETE(pMocap);
    }
}

TEST(AnimSetLoaderTest, SkeletonLoadsAFileAndReportsARejectedOne)
{
    CTempFolder kFolder;
    ASSERT_TRUE(kFolder.IsValid());
    const std::string kPath = kFolder.Path("hero.animset.json");
    ASSERT_TRUE(WriteFile(kPath, kDocument));

    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    EXPECT_EQ(kSkeleton.LoadAndStoreMocap(kPath.c_str()), 0);
    EXPECT_EQ(kSkeleton.GetChannelCount(), 4u);
    {
        TestSupport::CAssertCapture kReports;
        TestSupport::CLogCapture kLog;
        EXPECT_EQ(kSkeleton.LoadAndStoreMocap(kFolder.Path("missing.animset.json").c_str()), -1);
        EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"false\" failed. Failed to load Mocap"});
        EXPECT_TRUE(kLog.Contains("missing.animset.json: file:"));
    }
    kSkeleton.Release();
}
