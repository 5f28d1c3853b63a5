#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "DataStatic/Mocap.h"
#include "Data/GaitSerializer.h"
#include "Data/GaitType.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"

using namespace GaitPlugin;

namespace {

const char* const kUnknownName = "Assertion \"false\" failed. GetEnumFromName : Unknow Name";
const char* const kUnknownMovement = "Assertion \"eAnim<EAnimMovement::NB_TYPE\" failed. Gait : Unknow Anim Movement";

// Every member once; each value the rejection cases edit appears only once.
const char* const kDocument = R"({
  "Comment": "members the loader does not know are ignored",
  "Binds": [
    {"NameKeySource": "Idle", "NameKeyTarget": "Idle", "Loop": true},
    {"NameKeySource": "Walk", "NameKeyTarget": "walk", "BlendMode": 1, "Loop": true, "Accum": true},
    {"NameKeySource": "WalkToIdleRight", "NameKeyTarget": "StopRight"}
  ],
  "Stables": [{"NameKey": "Idle", "StableFrames": [0, 12]}],
  "FootOnFloor": [{"NameKey": "Walk", "StableFrames": [3, 18]}],
  "Behaviors": [
    {"NameBehavior": "WalkStop", "EaseMs": 250,
     "SynchroSource": {"NameKey": "Walk", "FrameFirst": 10, "FrameLast": 20},
     "SynchroTarget": {"NameKey": "WalkToIdleRight", "FrameFirst": 0, "FrameLast": 10}}
  ],
  "RuntimeParameters": {"RectificatorFactor": 0.05, "RectificatorExp": 4, "RectificatorMin": 0.5,
                        "RectificatorMinDelta": 0.001},
  "Steering": {"ApplyRectifiedRotation": true}
})";

bool Load(const std::string& kText, ParamGait& kParam, Common::CInputErrors* pErrors = nullptr)
{
    return GaitSerializer::LoadFromText(kText.data(), kText.size(), kParam, pErrors);
}

// Appends printf-style text.
void Add(std::string& kText, const char* pFormat, ...) TARN_PRINTF_FORMAT(2, 3);
void Add(std::string& kText, const char* pFormat, ...)
{
    char acItem[256];
    va_list kArgs;
    va_start(kArgs, pFormat);
    vsnprintf(acItem, sizeof(acItem), pFormat, kArgs);
    va_end(kArgs);
    kText += acItem;
}

// Everything the loader fills, as text, to compare whole ParamGaits.
std::string Describe(const ParamGait& kParam)
{
    std::string kText;
    for (const GaitBind& kBind : kParam.Binds)
        Add(kText, "B %s>%s %u%s%s;", kBind.NameKeySource.Get(), kBind.NameKeyTarget.Get(), kBind.BlendMode,
            kBind.Loop ? "L" : "", kBind.Accum ? "A" : "");
    for (const GaitStable& kStable : kParam.Stables)
        for (float fFrame : kStable.StableFrames)
            Add(kText, "S %s@%g;", kStable.NameKey.Get(), fFrame);
    for (const GaitFootOnFloor& kFoot : kParam.FootOnFloor)
        for (uint32 uiFrame : kFoot.StableFrames)
            Add(kText, "F %s@%u;", kFoot.NameKey.Get(), uiFrame);
    for (const GaitBehavior& kBehavior : kParam.Behaviors)
        Add(kText, "H %s %u %s %u-%u %s %u-%u;", kBehavior.NameBehavior.Get(), kBehavior.EaseMs,
            kBehavior.SynchroSource.NameKey.Get(), kBehavior.SynchroSource.FrameFirst,
            kBehavior.SynchroSource.FrameLast, kBehavior.SynchroTarget.NameKey.Get(),
            kBehavior.SynchroTarget.FrameFirst, kBehavior.SynchroTarget.FrameLast);
    const GaitRuntimeParameters& kRun = kParam.RuntimeParameters;
    Add(kText, "P %g %g %g %g %s", kRun.RectificatorFactor, kRun.RectificatorExp, kRun.RectificatorMin,
        kRun.RectificatorMinDelta, kParam.Steering.ApplyRectifiedRotation ? "steer" : "-");
    return kText;
}

// The resolved data as text: movements, behaviours and sequences by number
// (-1 for none).
std::string Describe(const GaitRuntimeData& kData)
{
    std::string kText;
    for (const InfoBindAnim& kBind : kData.m_kBindAnims)
        Add(kText, "B %u>%d %u%s%s;", kBind.m_eAnim, static_cast<int32>(kBind.m_iAnimIdx), kBind.m_eBlendMode,
            kBind.m_bLoop ? "L" : "", kBind.m_bAccum ? "A" : "");
    for (const InfoSynchronization& kSync : kData.m_kSynchronizations)
        Add(kText, "H %u %u %u:%u-%u %u:%u-%u;", kSync.m_eBehavior, kSync.m_uiEaseMs, kSync.m_kSource.m_eAnim,
            kSync.m_kSource.m_iFrameFirst, kSync.m_kSource.m_iFrameLast, kSync.m_kTarget.m_eAnim,
            kSync.m_kTarget.m_iFrameFirst, kSync.m_kTarget.m_iFrameLast);
    for (const InfoStablePoint& kPoint : kData.m_kStablePoints)
        Add(kText, "S %u@%.1f;", kPoint.m_eAnim, kPoint.m_fFrame);
    for (const InfoFoFPoint& kPoint : kData.m_kFoFPoints)
        Add(kText, "F %u@%u;", kPoint.m_eAnim, kPoint.m_iFrame);
    const GaitRuntimeParameters& kRun = kData.m_kParameters;
    Add(kText, "P %g %g %g %g %s", kRun.RectificatorFactor, kRun.RectificatorExp, kRun.RectificatorMin,
        kRun.RectificatorMinDelta, kData.m_kSteering.ApplyRectifiedRotation ? "steer" : "-");
    return kText;
}

}  // namespace

TEST(GaitData, NamesMatchExactlyAndCaseSensitively)
{
    TestSupport::CAssertCapture kReports;
    const char* apMovements[] = {"Idle",           "Breath",          "Walk",           "TurnLeft",
                                 "TurnRight",      "IdleToWalkRight", "IdleToWalkLeft", "WalkToIdleRight",
                                 "WalkToIdleLeft", "LookUp",          "LookDown",       "LookLeft",
                                 "LookRight"};
    for (uint32 uiIdx = 0; uiIdx < 13; ++uiIdx)
        EXPECT_EQ(GetEnumFromName(apMovements[uiIdx], g_apAnimMovementNames, 13), uiIdx) << apMovements[uiIdx];
    EXPECT_EQ(GetEnumFromName("WalkStart", g_apAnimBehaviorNames, 2), 1u);
    EXPECT_EQ(kReports.Count(), 0u);

    EXPECT_EQ(GetEnumFromName("idle", g_apAnimMovementNames, 13), 13u);
    EXPECT_EQ(GetEnumFromName("Idle ", g_apAnimMovementNames, 13), 13u);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>(2, kUnknownName));

    // Names of up to 1023 characters fit; longer ones leave the name empty.
    GaitName kName;
    EXPECT_TRUE(kName.Set(std::string(1023, 'x').c_str()));
    EXPECT_EQ(strlen(kName.Get()), 1023u);
    EXPECT_FALSE(kName.Set(std::string(1024, 'x').c_str()));
    EXPECT_STREQ(kName.Get(), "");
}

TEST(GaitData, ValidDataHasExactlyThirteenBindings)
{
    EXPECT_FALSE(IsDataValid(nullptr));
    GaitRuntimeData kData;
    for (uint32 uiIdx = 0; uiIdx < 12; ++uiIdx)
        kData.m_kBindAnims.Add().m_eAnim = uiIdx;
    EXPECT_FALSE(IsDataValid(&kData));
    // A thirteenth binding naming Idle again: the count is all that matters.
    kData.m_kBindAnims.Add().m_eAnim = EAnimMovement::Idle;
    EXPECT_TRUE(IsDataValid(&kData));
    kData.m_kBindAnims.Add().m_eAnim = EAnimMovement::LookRight;
    EXPECT_FALSE(IsDataValid(&kData));
}

TEST(GaitData, LoadsAndResolvesEveryMember)
{
    TestSupport::CAssertCapture kReports;
    ParamGait kParam;
    Common::CInputErrors kErrors;
    ASSERT_TRUE(Load(kDocument, kParam, &kErrors));
    EXPECT_EQ(kErrors.GetCount(), 0u);
    EXPECT_STREQ(kErrors.GetText(), "");

    TarnAnim::Mocap* pMocap = TestSupport::MakeMocap("Hero", {{"Idle"}, {"WALK"}, {"Breath"}});
    GaitRuntimeData kData;
    GaitSerializer::Serialize(&kParam, *pMocap, kData);
    TARN_DELETE(pMocap);
    EXPECT_EQ(kReports.Count(), 0u);

    // BlendMode, Loop and Accum carried; "walk" finds the sequence written
    // "WALK"; "StopRight" is no sequence; stable frames 0 and 12 as floats.
    EXPECT_EQ(Describe(kData), "B 0>0 0L;B 2>1 1LA;B 7>-1 0;H 0 250 2:10-20 7:0-10;S 0@0.0;S 0@12.0;F 2@3;F 2@18;"
                               "P 0.05 4 0.5 0.001 steer");

    // A second run replaces the output instead of appending to it; null
    // data changes nothing.
    TarnAnim::Mocap* pOther = TestSupport::MakeMocap("Other", {});
    GaitSerializer::Serialize(&kParam, *pOther, kData);
    GaitSerializer::Serialize(nullptr, *pOther, kData);
    TARN_DELETE(pOther);
    EXPECT_EQ(Describe(kData), "B 0>-1 0L;B 2>-1 1LA;B 7>-1 0;H 0 250 2:10-20 7:0-10;S 0@0.0;S 0@12.0;F 2@3;F 2@18;"
                               "P 0.05 4 0.5 0.001 steer");
}

TEST(GaitData, OptionalMembersAbsentKeepParametersAndTurnSteeringOff)
{
    ParamGait kParam;
    ASSERT_TRUE(Load(kDocument, kParam));
    kParam.RuntimeParameters.RectificatorExp = 7.0f;

    // A document the caller parsed itself, with the library's own allocator.
    rapidjson::Document kDocumentValue;
    kDocumentValue.Parse(R"({"Binds": [{"NameKeySource": "Idle", "NameKeyTarget": "Idle"}],
                             "Stables": [], "Behaviors": []})");
    ASSERT_FALSE(kDocumentValue.HasParseError());
    ASSERT_TRUE(GaitSerializer::LoadFromDocument(kDocumentValue, kParam));
    EXPECT_EQ(Describe(kParam), "B Idle>Idle 0;P 0.05 7 0.5 0.001 -");
}

TEST(GaitData, UnknownNamesResolveToTheUnknownValuesWithTheirReports)
{
    ParamGait kParam;
    ASSERT_TRUE(Load(R"({"Binds": [{"NameKeySource": "idle", "NameKeyTarget": "Idle"}], "Stables": [],
        "Behaviors": [{"NameBehavior": "Walkstop", "EaseMs": 0,
                       "SynchroSource": {"NameKey": "Wlak", "FrameFirst": 0, "FrameLast": 0},
                       "SynchroTarget": {"NameKey": "Idle", "FrameFirst": 0, "FrameLast": 0}}]})",
                     kParam));
    TarnAnim::Mocap* pMocap = TestSupport::MakeMocap("Hero", {{"Idle"}});
    GaitRuntimeData kData;
    TestSupport::CAssertCapture kReports;
    GaitSerializer::Serialize(&kParam, *pMocap, kData);
    TARN_DELETE(pMocap);

    EXPECT_EQ(Describe(kData), "B 13>0 0;H 2 0 13:0-0 0:0-0;P 0.03 8 0.4 0.0001 -");
    // Binding: both reports; behaviour and synchronised movement: only the
    // name lookup's own.
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>({kUnknownName, kUnknownMovement, kUnknownName, kUnknownName}));
}

TEST(GaitData, RejectsBrokenDocumentsWholeWithOneLinePerProblem)
{
    struct SCase
    {
        std::string kFind;  // empty: kReplace is the whole document
        std::string kReplace;
        std::string kErrors;
    };
    const std::vector<SCase> kCases = {
        {"", "[]", "document: expected an object\n"},
        {"", R"({"Binds": [})", "document: Invalid value. at offset 11\n"},
        {"", std::string(300, '['), "document: nested deeper than 256 levels at offset 256\n"},
        {"", R"({"Binds": [{"NameKeyTarget": 1}], "Behaviors": 0})",
         "Binds[0].NameKeySource: required member is missing\nBinds[0].NameKeyTarget: expected a string\n"
         "Stables: required member is missing\nBehaviors: expected an array\n"},
        {R"("Binds": [)", R"("binds": [)", "Binds: required member is missing\n"},
        {R"("Binds": [)", R"("Binds": 5, "X": [)", "Binds: expected an array\n"},
        {R"({"NameKeySource": "Walk",)", R"(7, {"NameKeySource": "Walk",)", "Binds[1]: expected an object\n"},
        {R"("NameKeySource": "Walk")", R"("NameKeySource": null)", "Binds[1].NameKeySource: expected a string\n"},
        {R"("NameKeyTarget": "Idle", )", "", "Binds[0].NameKeyTarget: required member is missing\n"},
        {R"("NameKeyTarget": "Idle")", R"("NameKeyTarget": "Id\u0000le")",
         "Binds[0].NameKeyTarget: name contains a NUL character\n"},
        {R"("BlendMode": 1)", R"("BlendMode": -1)", "Binds[1].BlendMode: expected an unsigned integer\n"},
        {R"("BlendMode": 1)", R"("BlendMode": 1.5)", "Binds[1].BlendMode: expected an unsigned integer\n"},
        {R"("BlendMode": 1)", R"("BlendMode": 4294967296)",
         "Binds[1].BlendMode: unsigned integer out of range, at most 4294967295\n"},
        {R"("Accum": true)", R"("Accum": 1)", "Binds[1].Accum: expected a boolean\n"},
        {"[0, 12]", "[0, -12]", "Stables[0].StableFrames[1]: expected an unsigned integer\n"},
        {"[3, 18]", "[3, 18.5]", "FootOnFloor[0].StableFrames[1]: expected an unsigned integer\n"},
        {R"("FootOnFloor": [{"NameKey": "Walk", "StableFrames": [3, 18]}])", R"("FootOnFloor": null)",
         "FootOnFloor: expected an array\n"},
        {R"("EaseMs": 250)", R"("EaseMs": "250")", "Behaviors[0].EaseMs: expected an unsigned integer\n"},
        {R"("NameBehavior": "WalkStop")", R"("NameBehavior": ")" + std::string(1024, 'a') + "\"",
         "Behaviors[0].NameBehavior: name is 1024 bytes long, at most 1023 are allowed\n"},
        {R"(, "FrameLast": 20)", "", "Behaviors[0].SynchroSource.FrameLast: required member is missing\n"},
        {R"("RectificatorMinDelta")", R"("rectificatorMinDelta")",
         "RuntimeParameters.RectificatorMinDelta: required member is missing\n"},
        {R"("RectificatorExp": 4)", R"("RectificatorExp": "4")",
         "RuntimeParameters.RectificatorExp: expected a number\n"},
        {R"("RectificatorFactor": 0.05)", R"("RectificatorFactor": 1e39)",
         "RuntimeParameters.RectificatorFactor: number out of range, from 0 to 1\n"},
        {R"("RectificatorExp": 4)", R"("RectificatorExp": -300)",
         "RuntimeParameters.RectificatorExp: number out of range, from -8 to 32\n"},
        {R"("RectificatorMin": 0.5)", R"("RectificatorMin": 2)",
         "RuntimeParameters.RectificatorMin: number out of range, from 0 to 1\n"},
        {R"("EaseMs": 250)", R"("EaseMs": 70000)", "Behaviors[0].EaseMs: number out of range, from 0 to 60000\n"},
        {R"("Steering": {"ApplyRectifiedRotation": true})", R"("Steering": true)", "Steering: expected an object\n"},
        {R"("ApplyRectifiedRotation": true)", R"("ApplyRectifiedRotation": "true")",
         "Steering.ApplyRectifiedRotation: expected a boolean\n"},
    };

    ParamGait kParam;
    ASSERT_TRUE(Load(kDocument, kParam));
    const std::string kBefore = Describe(kParam);
    for (const SCase& kCase : kCases)
    {
        std::string kText = kCase.kReplace;
        if (!kCase.kFind.empty())
        {
            kText = kDocument;
            const size_t uiPos = kText.find(kCase.kFind);
            ASSERT_NE(uiPos, std::string::npos) << kCase.kFind;
            ASSERT_EQ(kText.find(kCase.kFind, uiPos + 1), std::string::npos) << "not unique: " << kCase.kFind;
            kText.replace(uiPos, kCase.kFind.size(), kCase.kReplace);
        }
        // Each line is also reported, the member path as the expression.
        std::vector<std::string> kExpectedReports;
        uint32 uiLines = 0;
        for (size_t uiStart = 0, uiEnd; (uiEnd = kCase.kErrors.find('\n', uiStart)) != std::string::npos;
             uiStart = uiEnd + 1, ++uiLines)
        {
            const size_t uiColon = kCase.kErrors.find(": ", uiStart);
            kExpectedReports.push_back("Assertion \"" + kCase.kErrors.substr(uiStart, uiColon - uiStart) +
                                       "\" failed. " + kCase.kErrors.substr(uiColon + 2, uiEnd - uiColon - 2));
        }

        TestSupport::CAssertCapture kReports;
        Common::CInputErrors kErrors;
        EXPECT_FALSE(Load(kText, kParam, &kErrors)) << kCase.kErrors;
        EXPECT_EQ(std::string(kErrors.GetText()), kCase.kErrors);
        EXPECT_EQ(kErrors.GetCount(), uiLines) << kCase.kErrors;
        EXPECT_EQ(kReports.Texts(), kExpectedReports);
        EXPECT_EQ(Describe(kParam), kBefore) << kCase.kErrors;
    }
}

TEST(GaitData, ProblemListIsBounded)
{
    std::string kText = R"({"Stables": [], "Behaviors": [], "Binds": [{})";
    for (uint32 uiIdx = 1; uiIdx < 1000; ++uiIdx)
        kText += ", {}";
    kText += "]}";
    ParamGait kParam;
    Common::CInputErrors kErrors;
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(Load(kText, kParam, &kErrors));
    EXPECT_EQ(kErrors.GetCount(), 2000u);

    // Whole lines only, the first problems in order, then the count of the rest.
    const std::string kList = kErrors.GetText();
    ASSERT_LT(kList.size(), GaitSerializer::kErrorTextCapacity);
    EXPECT_EQ(kList.rfind("Binds[0].NameKeySource: required member is missing\n", 0), 0u);
    const size_t uiListed = kReports.Count() - 1;
    EXPECT_GT(uiListed, 0u);
    EXPECT_LE(uiListed, 32u);
    const std::string kLast = "document: " + std::to_string(2000 - uiListed) + " more problems not listed\n";
    ASSERT_GE(kList.size(), kLast.size());
    EXPECT_EQ(kList.substr(kList.size() - kLast.size()), kLast);
    EXPECT_EQ(kReports.Texts().back(), "Assertion \"document\" failed. " + kLast.substr(10, kLast.size() - 11));
}
