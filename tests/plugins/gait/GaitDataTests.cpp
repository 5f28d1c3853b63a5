// Gait documents: the names, the loader and its refusals, and the resolution
// against a character's sequences.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "Data/GaitSerializer.h"
#include "Data/GaitType.h"
#include "DataProvider/DataProvider.h"
#include "DataStatic/Mocap.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "support/AnimTestData.h"
#include "support/ReportCapture.h"
#include "support/SpoiledText.h"
#include "support/TextFile.h"

using namespace GaitPlugin;

namespace {

const char* const kUnknownName = "Assertion \"false\" failed. GetEnumFromName : Unknow Name";

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

// The resolved data as text: movements, behaviours and sequences by number
// (-1 for none).
std::string Describe(const GaitRuntimeData& kData)
{
    std::ostringstream kOut;
    for (const InfoBindAnim& kBind : kData.m_kBindAnims)
        kOut << "B " << kBind.m_eAnim << ">" << static_cast<int32>(kBind.m_iAnimIdx) << " " << kBind.m_eBlendMode
             << (kBind.m_bLoop ? "L" : "") << (kBind.m_bAccum ? "A" : "") << ";";
    for (const InfoSynchronization& kSync : kData.m_kSynchronizations)
        for (const InfoSynchroPoint& kPoint : {kSync.m_kSource, kSync.m_kTarget})
            kOut << "H " << kSync.m_eBehavior << " " << kSync.m_uiEaseMs << " " << kPoint.m_eAnim << ":"
                 << kPoint.m_iFrameFirst << "-" << kPoint.m_iFrameLast << ";";
    for (const InfoStablePoint& kPoint : kData.m_kStablePoints)
        kOut << "S " << kPoint.m_eAnim << "@" << kPoint.m_fFrame << ";";
    for (const InfoFoFPoint& kPoint : kData.m_kFoFPoints)
        kOut << "F " << kPoint.m_eAnim << "@" << kPoint.m_iFrame << ";";
    const GaitRuntimeParameters& kRun = kData.m_kParameters;
    kOut << "P " << kRun.RectificatorFactor << " " << kRun.RectificatorExp << " " << kRun.RectificatorMin << " "
         << kRun.RectificatorMinDelta << (kData.m_kSteering.ApplyRectifiedRotation ? " steer" : " -");
    return kOut.str();
}

// A loaded document resolved against a character with the sequences Idle,
// WALK and Breath, as text.
std::string Resolved(const ParamGait& kParam)
{
    TarnAnim::Mocap* pMocap = TestSupport::MakeMocap("Hero", {{"Idle"}, {"WALK"}, {"Breath"}});
    GaitRuntimeData kData;
    GaitSerializer::Serialize(&kParam, *pMocap, kData);
    TARN_DELETE(pMocap);
    return Describe(kData);
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
    EXPECT_EQ(GetEnumFromName("Idle ", g_apAnimMovementNames, 13), 13u);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{kUnknownName});
    // Names of up to 1023 characters fit; longer ones leave the name empty.
    GaitName kName;
    EXPECT_TRUE(kName.Set(std::string(1023, 'x').c_str()));
    EXPECT_EQ(strlen(kName.Get()), 1023u);
    EXPECT_FALSE(kName.Set(std::string(1024, 'x').c_str()));
    EXPECT_STREQ(kName.Get(), "");
}

TEST(GaitData, LoadsAndResolvesEveryMember)
{
    TestSupport::CAssertCapture kReports;
    ParamGait kParam;
    Common::CInputErrors kErrors;
    ASSERT_TRUE(Load(kDocument, kParam, &kErrors));
    EXPECT_EQ(kErrors.GetCount(), 0u);
    EXPECT_STREQ(kErrors.GetText(), "");
    // BlendMode, Loop and Accum carried; "walk" finds the sequence written
    // "WALK"; "StopRight" is no sequence.
    const std::string kRest = ";H 0 250 2:10-20;H 0 250 7:0-10;S 0@0;S 0@12;F 2@3;F 2@18;P 0.05 4 0.5 0.001 steer";
    EXPECT_EQ(Resolved(kParam), "B 0>0 0L;B 2>1 1LA;B 7>-1 0" + kRest);
    EXPECT_EQ(kReports.Count(), 0u);
    // A second run replaces the output instead of appending to it; null
    // data changes nothing.
    GaitRuntimeData kData;
    TarnAnim::Mocap* pOther = TestSupport::MakeMocap("Other", {});
    for (const ParamGait* pParam : {&kParam, &kParam, static_cast<ParamGait*>(nullptr)})
        GaitSerializer::Serialize(pParam, *pOther, kData);
    TARN_DELETE(pOther);
    EXPECT_EQ(Describe(kData), "B 0>-1 0L;B 2>-1 1LA;B 7>-1 0" + kRest);
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
    EXPECT_EQ(Resolved(kParam), "B 0>0 0;P 0.05 7 0.5 0.001 -");
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
    EXPECT_EQ(Describe(kData), "B 13>0 0;H 2 0 13:0-0;H 2 0 0:0-0;P 0.03 8 0.4 0.0001 -");
    // Binding: both reports; behaviour and synchronised movement: only the
    // name lookup's own.
    const std::string kUnknownMovement =
        "Assertion \"eAnim<EAnimMovement::NB_TYPE\" failed. Gait : Unknow Anim Movement";
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>({kUnknownName, kUnknownMovement, kUnknownName, kUnknownName}));
}

TEST(GaitData, RejectsBrokenDocumentsWholeWithOneLinePerProblem)
{
    // The text to replace (none: the replacement is the whole document), its
    // replacement, and the problems listed, one a line.
    const std::vector<std::tuple<std::string, std::string, std::string>> kCases = {
        {"", "[]", "document: expected an object"},
        {"", R"({"Binds": [})", "document: Invalid value. at offset 11"},
        {"", std::string(300, '['), "document: nested deeper than 256 levels at offset 256"},
        {"", R"({"Binds": [{"NameKeyTarget": 1}], "Behaviors": 0})",
         "Binds[0].NameKeySource: required member is missing\nBinds[0].NameKeyTarget: expected a string\n"
         "Stables: required member is missing\nBehaviors: expected an array"},
        {R"("Binds": [)", R"("binds": [)", "Binds: required member is missing"},
        {R"("Binds": [)", R"("Binds": 5, "X": [)", "Binds: expected an array"},
        {R"({"NameKeySource": "Walk",)", R"(7, {"NameKeySource": "Walk",)", "Binds[1]: expected an object"},
        {R"("NameKeySource": "Walk")", R"("NameKeySource": null)", "Binds[1].NameKeySource: expected a string"},
        {R"("NameKeyTarget": "Idle", )", "", "Binds[0].NameKeyTarget: required member is missing"},
        {R"("Idle", "Loop")", R"("Id\u0000le", "Loop")", "Binds[0].NameKeyTarget: name contains a NUL character"},
        {R"("BlendMode": 1)", R"("BlendMode": -1)", "Binds[1].BlendMode: expected an unsigned integer"},
        {R"("BlendMode": 1)", R"("BlendMode": 1.5)", "Binds[1].BlendMode: expected an unsigned integer"},
        {"1, \"Loop", "4294967296, \"Loop", "Binds[1].BlendMode: unsigned integer out of range, at most 4294967295"},
        {R"("Accum": true)", R"("Accum": 1)", "Binds[1].Accum: expected a boolean"},
        {"[0, 12]", "[0, -12]", "Stables[0].StableFrames[1]: expected an unsigned integer"},
        {"[3, 18]", "[3, 18.5]", "FootOnFloor[0].StableFrames[1]: expected an unsigned integer"},
        {R"("FootOnFloor": [)", R"("FootOnFloor": null, "X": [)", "FootOnFloor: expected an array"},
        {R"("EaseMs": 250)", R"("EaseMs": "250")", "Behaviors[0].EaseMs: expected an unsigned integer"},
        {"\"WalkStop\"", "\"" + std::string(1024, 'a') + "\"",
         "Behaviors[0].NameBehavior: name is 1024 bytes long, at most 1023 are allowed"},
        {R"(, "FrameLast": 20)", "", "Behaviors[0].SynchroSource.FrameLast: required member is missing"},
        {"MinDelta\"", "Mindelta\"", "RuntimeParameters.RectificatorMinDelta: required member is missing"},
        {"Exp\": 4", "Exp\": \"4\"", "RuntimeParameters.RectificatorExp: expected a number"},
        {"0.05", "1e39", "RuntimeParameters.RectificatorFactor: number out of range, from 0 to 1"},
        {"Exp\": 4", "Exp\": -300", "RuntimeParameters.RectificatorExp: number out of range, from -8 to 32"},
        {"Min\": 0.5", "Min\": 2", "RuntimeParameters.RectificatorMin: number out of range, from 0 to 1"},
        {R"("EaseMs": 250)", R"("EaseMs": 70000)", "Behaviors[0].EaseMs: number out of range, from 0 to 60000"},
        {R"("Steering": {"ApplyRectifiedRotation": true})", R"("Steering": true)", "Steering: expected an object"},
        {"true}\n}", "\"true\"}\n}", "Steering.ApplyRectifiedRotation: expected a boolean"},
    };
    ParamGait kParam;
    ASSERT_TRUE(Load(kDocument, kParam));
    const std::string kBefore = Resolved(kParam);
    for (const auto& [kFind, kReplace, kProblems] : kCases)
    {
        SCOPED_TRACE(kProblems);
        std::string kText = kReplace;
        if (!kFind.empty())
        {
            kText = kDocument;
            const size_t uiPos = kText.find(kFind);
            ASSERT_NE(uiPos, std::string::npos);
            ASSERT_EQ(kText.find(kFind, uiPos + 1), std::string::npos) << "not unique: " << kFind;
            kText.replace(uiPos, kFind.size(), kReplace);
        }
        // Each line is also reported, the member path as the expression.
        std::vector<std::string> kExpectedReports;
        std::istringstream kLines(kProblems);
        for (std::string kLine; std::getline(kLines, kLine);)
            kExpectedReports.push_back("Assertion \"" + kLine.replace(kLine.find(": "), 2, "\" failed. "));
        TestSupport::CAssertCapture kReports;
        Common::CInputErrors kErrors;
        EXPECT_FALSE(Load(kText, kParam, &kErrors));
        EXPECT_EQ(std::string(kErrors.GetText()), kProblems + "\n");
        EXPECT_EQ(kErrors.GetCount(), kExpectedReports.size());
        EXPECT_EQ(kReports.Texts(), kExpectedReports);
        EXPECT_EQ(Resolved(kParam), kBefore);
    }
}

TEST(GaitData, ProblemListIsBounded)
{
    std::string kText = R"({"Stables": [], "Behaviors": [], "Binds": [{})";
    for (uint32 uiIdx = 1; uiIdx < 1000; ++uiIdx)
        kText += ", {}";
    ParamGait kParam;
    Common::CInputErrors kErrors;
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(Load(kText + "]}", kParam, &kErrors));
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

// The demo's document spoiled as files get spoiled: refused, naming the
// member, and the data in use stays as it was.
TEST(BadDataFiles, BrokenGaitDocumentsAreRefusedNamingTheMemberAndKeepTheDataInUse)
{
    const std::string kText = TestSupport::ReadTextFile(std::string(TARN_DATA_DIR) + "/demo/biped.gait.json");
    ParamGait kInUse;
    ASSERT_TRUE(GaitSerializer::LoadFromText(kText.data(), kText.size(), kInUse));
    ASSERT_GT(kInUse.Behaviors.GetSize(), 0u);
    kInUse.Behaviors[0].EaseMs = 4321;  // a mark no load of the file gives
    const std::string kBefore = Resolved(kInUse);
    const std::vector<TestSupport::SSpoil> kSpoils = {
        {"truncated", "", "", "document"},
        {"number too big for a double", "\"EaseMs\": 200", "\"EaseMs\": 1e400", "document"},
        {"number too big for 64 bits", "\"EaseMs\": 200", "\"EaseMs\": 18446744073709551616", "Behaviors[0].EaseMs"},
        {"repeated member", "\"EaseMs\": 200,", "\"EaseMs\": 200, \"EaseMs\": 300,", "Behaviors[0].EaseMs"},
        {"not UTF-8", "\"NameKeySource\": \"Idle\"", "\"NameKeySource\": \"Id\xFFle\"", "Binds[0].NameKeySource"},
    };
    for (const TestSupport::SSpoil& kSpoil : kSpoils)
    {
        SCOPED_TRACE(kSpoil.pLabel);
        const std::string kBroken = TestSupport::Spoil(kText, kSpoil);
        TestSupport::CAssertCapture kReports;
        Common::CInputErrors kErrors;
        ParamGait kParam = kInUse;
        EXPECT_FALSE(GaitSerializer::LoadFromText(kBroken.data(), kBroken.size(), kParam, &kErrors));
        EXPECT_NE(std::string(kErrors.GetText()).find(kSpoil.kMember + ": "), std::string::npos) << kErrors.GetText();
        EXPECT_GE(kReports.Count(), 1u);
        EXPECT_EQ(Resolved(kParam), kBefore);
    }
}

// A prefab's gait document comes from the file its add-in names (the demo's
// does) or from the add-in's text. A document the loader refuses leaves data
// that is not usable, and each problem is logged naming the document's file,
// or the prefab and its add-in, and the member.
TEST(BadDataFiles, PrefabsReadTheirGaitDocumentFromItsFileAndItsProblemsNameTheFile)
{
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = TARN_DATA_DIR;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitComponentBuilder::InitBuilderOnly,
                                       &GaitComponentBuilder::ReleaseBuilderOnly);
    };
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    const auto GaitParam = [](const TarnEngine::PrefabContainer* pPrefab) -> const ParamGait* {
        if (!pPrefab || pPrefab->GetPluginData().GetSize() != 1)
            return nullptr;
        return &static_cast<const GaitComponentContainer*>(pPrefab->GetPluginData()[0])->GetParam();
    };
    const TarnEngine::PrefabContainer* pDemo = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(GaitParam(pDemo), nullptr);
    EXPECT_TRUE(pDemo->IsDataUsable(pDemo->GetPluginData()[0]));
    ParamGait kFromFile;
    ASSERT_TRUE(Load(TestSupport::ReadTextFile(std::string(TARN_DATA_DIR) + "/demo/biped.gait.json"), kFromFile));
    EXPECT_EQ(Resolved(*GaitParam(pDemo)), Resolved(kFromFile));

    const std::string kFolder = testing::TempDir();
    const std::string kGaitFile = kFolder + "broken.gait.json";
    std::ofstream(kGaitFile) << R"({"Binds": [{"NameKeySource": 3, "NameKeyTarget": "Idle"}], "Stables": [],
        "Behaviors": []})";
    // The add-in, and the problems logged after "<prefab file>: ".
    const std::pair<std::string, std::vector<std::string>> akCases[] = {
        {R"({"Type": "Gait", "JsonFile": ")" + kGaitFile + "\"}",
         {"AddInObjects[0].JsonFile: " + kGaitFile + ": Binds[0].NameKeySource: expected a string"}},
        {R"({"Type": "Gait", "Json": "{\"Binds\": 7, \"Behaviors\": []}"})",
         {"AddInObjects[0].Json: Binds: expected an array",
          "AddInObjects[0].Json: Stables: required member is missing"}},
    };
    const std::string kPrefabFile = kFolder + "walker.prefab.json";
    for (const auto& [kAddIn, kProblems] : akCases)
    {
        SCOPED_TRACE(kAddIn);
        std::ofstream(kPrefabFile) << R"({"Name": "Walker", "AddInObjects": [)" + kAddIn + "]}";
        TestSupport::CAssertCapture kReports;
        TestSupport::CLogCapture kLog;
        Common::CInputErrors kError;
        TarnEngine::PrefabContainer kPrefab(pEngine->GetPluginManager());
        ASSERT_TRUE(kPrefab.LoadFile(kPrefabFile.c_str(), kError)) << kError.GetText();
        ASSERT_NE(GaitParam(&kPrefab), nullptr);
        EXPECT_FALSE(kPrefab.IsDataUsable(kPrefab.GetPluginData()[0]));
        EXPECT_EQ(GaitParam(&kPrefab)->Binds.GetSize(), 0u);
        EXPECT_EQ(std::string(kPrefab.GetAddInProblems().GetText()), kPrefabFile + ": " + kProblems[0]);
        // A document in its own file is named alone.
        const std::string kPrefix = kAddIn.find("JsonFile") != std::string::npos ? "AddInObjects[0].JsonFile: " : "";
        for (const std::string& kProblem : kProblems)
            EXPECT_TRUE(kLog.Has(kPrefix.empty() ? kPrefabFile + ": " + kProblem : kProblem.substr(kPrefix.size())))
                << kProblem;
        EXPECT_EQ(kReports.Count(), kProblems.size());
    }
    remove(kGaitFile.c_str());
    remove(kPrefabFile.c_str());
    TarnEngine::CEngine::DestroyInstance();
    DataProvider::DataPoviderInterface::Destroy();
}
