// The module loader and the plugin manager: modules, static plug-ins, builders, add-ins, step callbacks, nodes.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Plugins/PluginManager.h"
#include "Utils/idfromstring.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/NamedPipe.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;
using Common::Mem::CMemoryManager;
using Strings = std::vector<std::string>;
using TestModules::CRecordingBuilder;
using TestModules::SJson;

namespace {

const std::string kModulesBase = TARN_TEST_MODULES_DIR;
const char* const kParseError = "Assertion \"false\" failed. Could not parse JSON file";

std::string ModuleFile(const std::string& kName)
{
    return "PLUGIN_" + kName + "_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so";
}
std::string TestModule(const std::string& kName)
{
    return kModulesBase + "Plugins/" + ModuleFile(kName);
}

using FMake = std::function<bool(const std::string&)>;
FMake LinkTo(const std::string& kTarget)
{
    return [kTarget](const std::string& kPath) { return symlink(kTarget.c_str(), kPath.c_str()) == 0; };
}

// Names handed to the module steps, and by the static plug-ins below.
Strings s_kInitialized;
Strings s_kReleased;
IPluginManager* s_pReleasedBy = nullptr;

// Records the module steps from its first moment on.
class CRecordingManager : public BasePluginManager
{
public:
    CRecordingManager()
    {
        s_kInitialized.clear();
        s_kReleased.clear();
        RegisterStepCallback(TestModules::kInitializedStep,
                             [](void* _pName) { s_kInitialized.emplace_back(static_cast<const char*>(_pName)); });
        RegisterStepCallback(TestModules::kReleasedStep,
                             [](void* _pName) { s_kReleased.emplace_back(static_cast<const char*>(_pName)); });
    }
    // A damaged registration.
    void InsertEmptyBuilderEntry() { m_kComponentBuilders.Insert(0, nullptr); }
};

// The loader's lines: results, load errors, refused starts.
Strings LoaderLines(const TestSupport::CLogCapture& kLog)
{
    Strings kLines;
    for (const std::string& kLine : kLog.Lines())
        if (kLine.rfind("plugin ", 0) == 0 || kLine.rfind("Error ", 0) == 0 || kLine.rfind("Unable ", 0) == 0)
            kLines.push_back(kLine);
    return kLines;
}

// A temporary base folder with an empty Plugins folder.
struct STempPlugins
{
    STempPlugins()
    {
        char acTemplate[] = "/tmp/tarn_plugins_XXXXXX";
        if (mkdtemp(acTemplate) && mkdir((std::string(acTemplate) + "/Plugins").c_str(), 0700) == 0)
            kBase = std::string(acTemplate) + "/";
    }
    ~STempPlugins() { std::filesystem::remove_all(kBase, m_kError); }
    std::string Path(const std::string& kFile) const { return kBase + "Plugins/" + kFile; }
    std::string kBase;
    std::error_code m_kError;
};

bool IsModuleLoaded(const std::string& kPath)
{
    void* hModule = dlopen(kPath.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (hModule)
        dlclose(hModule);
    return hModule != nullptr;
}

}  // namespace

TEST(ModuleLoader, MatchesTheModuleFilePatternOnly)
{
    const std::tuple<const char*, const char*, bool> akCases[] = {
        {"a*b", "ab", true},      {"a*b", "axxb", true},    {"a*b", "axxbc", false}, {"*", "", true},
        {"a?c", "abc", true},     {"a?c", "ac", false},     {"A*", "a", false},      {"*x*y", "axbxcy", true},
        {"a*b*c", "abcbc", true}, {"a*b*c", "abcb", false},
    };
    for (const auto& [pPattern, pText, bMatch] : akCases)
        EXPECT_EQ(CModuleLoader::MatchPattern(pPattern, pText), bMatch) << pPattern << " " << pText;
}

TEST(PluginParam, AnyDifferenceOfTheBuildStampIsAnotherBuild)
{
    EXPECT_TRUE(PluginParam().MatchesThisBuild());
    PluginBuildStamp kOwn;
    FillBuildStamp(kOwn);
    PluginBuildStamp akOther[3] = {kOwn, kOwn, kOwn};
    akOther[0].m_uiDebugBuild ^= 1;
    akOther[1].m_ui64PointerSize = 4;
    ++akOther[2].m_ui64ToolsetVersion;
    for (const PluginBuildStamp* pOther : {&akOther[0], &akOther[1], &akOther[2], (PluginBuildStamp*)nullptr})
        EXPECT_FALSE(IsSameBuildStamp(&kOwn, pOther));
    EXPECT_TRUE(IsSameBuildStamp(&kOwn, &kOwn));
}

// The test folder's modules start in name order beside static plug-ins, share the host's memory manager, keep
// the engine libraries they carry to themselves, and are released with them in start order.
TEST(PluginManager, LoadPluginsStartsMatchingModulesInNameOrderBesideStaticPlugins)
{
    static Strings s_kStaticCalls;
    const InitPluginFunc pInit = [](PluginParam* _pParam) {
        s_kStaticCalls.push_back("init");
        EXPECT_EQ(_pParam->m_pMemoryManager, CMemoryManager::GetInstance());
        EXPECT_EQ(_pParam->m_pEditorPickCallback, nullptr);
        return true;
    };
    const InitPluginFunc pRefuse = [](PluginParam*) { return s_kStaticCalls.push_back("refuse"), false; };
    const ReleasePluginFunc pReleaseFirst = [](IPluginManager* _pManager) {
        s_pReleasedBy = _pManager;
        return s_kReleased.push_back("first"), true;
    };
    const ReleasePluginFunc pReleaseLast = [](IPluginManager*) { return s_kReleased.push_back("last"), true; };
    const EditorPickCallback pPick = [](void*, uint32*) {};
    TestSupport::CLogCapture kLog;
    int iEngine = 0;
    int iDataProvider = 0;
    IPluginManager* pInterface = nullptr;
    {
        CRecordingManager kManager;
        pInterface = &kManager;
        kManager.SetEngineInstance(&iEngine);
        kManager.SetDataProviderInstance(&iDataProvider);
        kManager.SetEditorPickCallback(pPick);
        // A missing entry is refused before the start; a refusing plug-in keeps no release entry.
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kManager.RegisterStaticPlugin(pInit, nullptr));
        EXPECT_FALSE(kManager.RegisterStaticPlugin(nullptr, pReleaseFirst));
        EXPECT_EQ(kReports.Count(), 2u);
        kReports.Clear();
        EXPECT_FALSE(kManager.RegisterStaticPlugin(pRefuse, pReleaseFirst));
        EXPECT_TRUE(kManager.RegisterStaticPlugin(pInit, pReleaseFirst));
        ASSERT_TRUE(kManager.LoadPlugins(kModulesBase.c_str()));
        EXPECT_TRUE(kManager.RegisterStaticPlugin(pInit, pReleaseLast));
        EXPECT_EQ(s_kStaticCalls, (Strings{"refuse", "init", "init"}));
        const Strings kLines = LoaderLines(kLog);
        ASSERT_EQ(kLines.size(), 8u);
        EXPECT_EQ(kLines[0], "plugin " + TestModule("TestFolder") + " skipped: not a regular file (a directory)");
        // The dynamic loader's code and its own reason, which names the file.
        const std::string kLoadError = "Error " + std::to_string(ENOEXEC) + " loading " + ModuleFile("TestBroken") +
                                       " : " + TestModule("TestBroken") + ": ";
        EXPECT_EQ(kLines[1].rfind(kLoadError, 0), 0u) << kLines[1];
        EXPECT_EQ(Strings(kLines.begin() + 2, kLines.end()),
                  (Strings{"plugin " + TestModule("TestBroken") + " loading : Failed",
                           "plugin " + TestModule("TestGoodA") + " loading : Ok",
                           "plugin " + TestModule("TestGoodB") + " loading : Ok",
                           "plugin " + TestModule("TestNoRelease") + " loading : Failed",
                           "Unable to init plugin " + ModuleFile("TestRefuses"),
                           "plugin " + TestModule("TestRefuses") + " loading : Failed"}));
        EXPECT_EQ(kReports.Texts(), Strings{"Assertion \"pReleaseEntry\" failed. Plugin " +
                                            ModuleFile("TestNoRelease") + " exports no ReleasePlugin"});
        // The module without a release entry is never started.
        EXPECT_EQ(s_kInitialized, (Strings{"TestGoodA", "TestGoodB", "TestRefuses"}));
        // A block a module allocates is the host's to free, without a report.
        CMemoryManager* pMemory = CMemoryManager::GetInstance();
        const uint32 uiBlocks = pMemory->GetNumAllocations();
        TestModules::SModuleQuery kQuery;
        kQuery.uiAllocateBytes = 48;
        kManager.CallStepCallbacks(TestModules::kQueryStep, &kQuery);
        ASSERT_EQ(kQuery.uiCount, 2u);
        EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks + 2);
        for (const TestModules::SModuleReport& kReport : {kQuery.akReports[0], kQuery.akReports[1]})
        {
            EXPECT_EQ(std::tie(kReport.pMemoryManager, kReport.pManager, kReport.pEngine, kReport.pDataProvider),
                      std::make_tuple(pMemory, (IPluginManager*)&kManager, (void*)&iEngine, (void*)&iDataProvider));
            EXPECT_EQ(kReport.pEditorPick, pPick);
            EXPECT_EQ(pMemory->Free(kReport.pBlock), Common::Mem::kErrNone);
        }
        EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks);
        // A module makes the data of its add-in; the host deletes it.
        SJson kAddIn(R"({"Type":"TestGoodB","Json":"{\"Value\":7}"})");
        TarnRenderer::TArray<IPluginComponentData*> kData;
        EXPECT_TRUE(kManager.BuildComponentData("PrefabContainer", kAddIn.m_kDocument, nullptr, nullptr, kData));
        ASSERT_EQ(kData.GetSize(), 1u);
        EXPECT_EQ(kData[0]->GetTypeID(), GenerateUIntIdFromString("TestGoodB"));
        EXPECT_EQ(static_cast<TestModules::CValueData*>(kData[0])->GetParam(), 7);
        TARN_DELETE(kData[0]);
        EXPECT_EQ(kReports.Count(), 1u);
    }
    // Only what started is released, in start order.
    EXPECT_EQ(s_kReleased, (Strings{"first", "TestGoodA", "TestGoodB", "last"}));
    EXPECT_EQ(s_pReleasedBy, pInterface);
    // The modules keep the engine libraries they carry to themselves.
    char acError[256];
    void* hModule = CModuleLoader::Load(TestModule("TestGoodB").c_str(), acError, sizeof(acError));
    ASSERT_NE(hModule, nullptr) << acError;
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "InitPlugin"), nullptr);
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "ReleasePlugin"), nullptr);
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_ZN6Common3Mem14CMemoryManager11SetInstanceEPS1_"), nullptr);
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_Z24GenerateUIntIdFromStringPKcS0_j"), nullptr);
}

// Entries that are not modules: the manager skips those named like modules
// with their reason, passes over other names in silence, and starts the module
// beside them; the loader refuses them with a code and the real reason, and
// never opens a named pipe. A folder without modules, or none, starts nothing.
TEST(PluginManager, EntriesThatAreNotModulesAreRefusedAndSkippedWithTheirReason)
{
    STempPlugins kTemp;
    ASSERT_FALSE(kTemp.kBase.empty());
    const std::string kNotRegular = "not a regular file";
    const std::string kPipe = kTemp.Path(ModuleFile("F_Pipe"));
    // The entry, how it is made, the reason of its "skipped" line.
    const std::tuple<std::string, FMake, std::string> akEntries[] = {
        {ModuleFile("A_Dangling"), LinkTo(kTemp.Path("nowhere.so")), "dangling symbolic link"},
        {ModuleFile("B_Loop"), LinkTo(kTemp.Path(ModuleFile("C_Loop"))), "symbolic link loop"},
        {ModuleFile("C_Loop"), LinkTo(kTemp.Path(ModuleFile("B_Loop"))), "symbolic link loop"},
        {ModuleFile("D_Folder"), [](const std::string& kPath) { return mkdir(kPath.c_str(), 0700) == 0; },
         kNotRegular + " (a directory)"},
        {ModuleFile("E_LinkToFolder"), LinkTo(kTemp.Path(ModuleFile("D_Folder"))), kNotRegular + " (a directory)"},
        {ModuleFile("F_Pipe"), [](const std::string& kPath) { return mkfifo(kPath.c_str(), 0600) == 0; },
         kNotRegular + " (a named pipe)"},
        {"PLUGIN_Other.so", [](const std::string& kPath) { return bool(std::ofstream(kPath) << "x"); }, ""},
    };
    Strings kSkipLines;
    for (const auto& [kName, kMake, kSkipped] : akEntries)
    {
        ASSERT_TRUE(kMake(kTemp.Path(kName))) << kName;
        if (!kSkipped.empty())
            kSkipLines.push_back("plugin " + kTemp.Path(kName) + " skipped: " + kSkipped);
    }
    // The loader's own refusals, with the code and reason (a file that is no module: the loading test's).
    for (const auto& [kPath, iCode, pError] :
         {std::tuple<std::string, int, const char*>{kPipe, EINVAL, "not a regular file"},
          {kTemp.Path("missing.so"), ENOENT, "cannot be opened: No such file or directory"}})
    {
        char acError[512] = "unset";
        int iSeen = 0;
        void* hModule = nullptr;
        EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(
            kPipe, [&] { hModule = CModuleLoader::Load(kPath.c_str(), acError, sizeof(acError), &iSeen); }));
        EXPECT_EQ(hModule, nullptr);
        EXPECT_EQ(iSeen, iCode);
        EXPECT_STREQ(acError, pError);
    }
    ASSERT_TRUE(LinkTo(TestModule("TestGoodA"))(kTemp.Path(ModuleFile("TestGoodA"))));
    TestSupport::CAssertCapture kReports;
    {
        TestSupport::CLogCapture kLog;
        CRecordingManager kManager;
        bool bLoaded = false;
        EXPECT_TRUE(
            TestSupport::RunWithoutOpeningPipe(kPipe, [&] { bLoaded = kManager.LoadPlugins(kTemp.kBase.c_str()); }));
        EXPECT_TRUE(bLoaded);
        Strings kExpected = kSkipLines;
        kExpected.push_back("plugin " + kTemp.Path(ModuleFile("TestGoodA")) + " loading : Ok");
        EXPECT_EQ(LoaderLines(kLog), kExpected);
        EXPECT_EQ(kManager.GetNumStartedPlugins(), 1u);
    }
    // Only a file of another name left, or no folder: nothing starts, nothing is said.
    TestSupport::CLogCapture kLog;
    CRecordingManager kManager;
    for (const auto& [kName, kMake, kSkipped] : akEntries)
        if (!kSkipped.empty())
            std::filesystem::remove(kTemp.Path(kName));
    ASSERT_EQ(unlink(kTemp.Path(ModuleFile("TestGoodA")).c_str()), 0);
    EXPECT_FALSE(kManager.LoadPlugins(kTemp.kBase.c_str()));
    EXPECT_FALSE(kManager.LoadPlugins((kTemp.kBase + "missing/").c_str()));
    EXPECT_EQ(kLog.Lines().size(), 0u);
    EXPECT_EQ(kReports.Count(), 0u);
    // Paths too long are refused, not cut: a folder, and a module's full path.
    EXPECT_FALSE(kManager.LoadPlugins(std::string(300, 'a').c_str()));
    EXPECT_EQ(kReports.Count(), 1u);
    std::filesystem::path kLong = kTemp.kBase;
    while (kLong.string().size() < 240)
        kLong /= "deep_folder";
    std::filesystem::create_directories(kLong / "Plugins");
    std::filesystem::create_symlink(TestModule("TestGoodA"), kLong / "Plugins" / ModuleFile("TestGoodA"));
    kReports.Clear();
    EXPECT_TRUE(kManager.LoadPlugins((kLong.string() + "/").c_str()));
    ASSERT_EQ(kReports.Count(), 1u);
    EXPECT_NE(kReports.Texts()[0].find("does not fit 260 bytes"), std::string::npos);
    EXPECT_EQ(LoaderLines(kLog),
              Strings{"plugin " + kLong.string() + "/Plugins/" + ModuleFile("TestGoodA") + " loading : Failed"});
    EXPECT_TRUE(s_kInitialized.empty());
}

TEST(PluginManager, StepCallbacksKeepDuplicatesAndDropEmptyLists)
{
    static BasePluginManager* s_pManager = nullptr;
    static StepCallback s_pRemoveSelf = nullptr;
    const StepCallback pCount = [](void* _pCounter) { ++*static_cast<int*>(_pCounter); };
    const StepCallback pCountTen = [](void* _pCounter) { *static_cast<int*>(_pCounter) += 10; };
    s_pRemoveSelf = [](void* _pCounter) {
        *static_cast<int*>(_pCounter) += 100;
        s_pManager->UnregisterStepCallback("Step", s_pRemoveSelf);
    };
    BasePluginManager kManager;
    s_pManager = &kManager;
    CMemoryManager* pMemory = CMemoryManager::GetInstance();
    // The first list registers its allocation tag for good.
    kManager.RegisterStepCallback("Step", pCount);
    kManager.UnregisterStepCallback("Step", pCount);
    const uint32 uiBlocks = pMemory->GetNumAllocations();
    int iCount = 0;
    kManager.RegisterStepCallback("Step", pCount);
    kManager.RegisterStepCallback("Step", pCount);
    kManager.UnregisterStepCallback("Step", pCount);
    // Unknown steps and callbacks change nothing.
    kManager.UnregisterStepCallback("Step", pCountTen);
    kManager.UnregisterStepCallback("Other", pCount);
    for (const char* pStep : {"Step", "Other", "step"})
        kManager.CallStepCallbacks(pStep, &iCount);
    EXPECT_EQ(iCount, 1);
    EXPECT_EQ(kManager.GetNumStepCallbacks("Step"), 1u);
    kManager.UnregisterStepCallback("Step", pCount);
    EXPECT_EQ(kManager.GetNumStepCallbacks("Step"), 0u);
    EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks);
    // A callback removing itself while it runs: the next one still runs.
    iCount = 0;
    kManager.RegisterStepCallback("Step", s_pRemoveSelf);
    kManager.RegisterStepCallback("Step", pCountTen);
    kManager.CallStepCallbacks("Step", &iCount);
    kManager.CallStepCallbacks("Step", &iCount);
    EXPECT_EQ(iCount, 120);
}

TEST(PluginManager, BuildersAreReachedByIdAndNameUntilUnregistered)
{
    CRecordingBuilder kBuilder("X", "PrefabContainer");
    CRecordingBuilder kOther("Z", "WorldContainer");
    BasePluginManager kManager;
    kManager.RegisterComponentBuilder(&kBuilder);
    kManager.RegisterComponentBuilder(&kOther);
    kManager.UnregisterComponentBuilder(GenerateUIntIdFromString("Y"));
    ASSERT_EQ(kManager.GetComponentBuilders().GetSize(), 2u);
    int iPrefab = 0;
    auto* pLink = reinterpret_cast<TarnRenderer::Link*>(&iPrefab);
    EXPECT_EQ(kManager.BuildComponentByName("X", &iPrefab, pLink, nullptr), &kBuilder.m_kComponent);
    EXPECT_EQ(kBuilder.m_pPrefab, &iPrefab);
    EXPECT_EQ(kManager.BuildComponent(GenerateUIntIdFromString("x"), &iPrefab, pLink, nullptr), nullptr);
    kManager.NotifyComponentBuilder("X", pLink);
    EXPECT_EQ(kBuilder.m_pEvent, pLink);
    kManager.DestroyComponent(kBuilder.m_kDesc.m_uiComponentId, &iPrefab, pLink, nullptr);
    EXPECT_TRUE(kBuilder.links.IsEmpty());
    kManager.UpdateComponentBuilders(&iPrefab, StepTime{20});
    EXPECT_EQ(kBuilder.m_kUpdates, (std::vector<std::pair<void*, uint32>>{{&iPrefab, 20u}}));
    kManager.UnregisterComponentBuilder(kBuilder.m_kDesc.m_uiComponentId);
    kManager.UpdateComponentBuilders(&iPrefab, StepTime{20});
    EXPECT_EQ(kBuilder.m_kUpdates.size(), 1u);
    EXPECT_EQ(kOther.m_kUpdates.size(), 2u);
    EXPECT_EQ(kManager.BuildComponentByName("X", &iPrefab, pLink, nullptr), nullptr);
    // A name is cut to what its descriptor holds, with a report; the id follows the name kept.
    TestSupport::CAssertCapture kReports;
    const std::string kLong(200, 'n');
    kBuilder.m_kDesc.Set(kLong.c_str(), "PrefabContainer", "", "");
    EXPECT_EQ(std::string(kBuilder.m_kDesc.m_acName), kLong.substr(0, 126));
    EXPECT_EQ(kBuilder.m_kDesc.m_uiComponentId, GenerateUIntIdFromString(kLong.substr(0, 126).c_str()));
    EXPECT_EQ(kReports.Count(), 1u);
}

TEST(PluginManager, AddInsReachTheBuilderOfTheirTypeAndContainer)
{
    const char* const pNotStrings = "Assertion \"pType && pJson\" failed. Add-in object of a PrefabContainer needs "
                                    "the string members \"Type\" and \"Json\"";
    const char* const pNoBuilder = "Assertion \"builder\" failed. Couldn't find plugin component builder";
    using Ints = std::vector<int>;
    // The container, the add-in, the values reaching X and Z, the reports, whether the registry holds an entry
    // without a builder (reported and skipped).
    const std::tuple<const char*, std::string, Ints, Ints, Strings, bool> akCases[] = {
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {1}, {}, {}, false},
        {"WorldContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {}, {}, {}, false},
        {"PrefabContainer", R"({"Type":"x","Json":"{\"Value\":1}"})", {}, {}, {}, false},
        {"WorldContainer", R"({"Type":"Z","Json":"{\"Value\":2}","Other":0})", {}, {2}, {}, false},
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":"})", {}, {}, {kParseError}, false},
        // Nested beyond the parser's limit is malformed too.
        {"PrefabContainer", R"({"Type":"X","Json":")" + std::string(300, '[') + R"("})", {}, {}, {kParseError}, false},
        {"PrefabContainer", R"({"Type":"X\u0000","Json":"{}"})", {}, {}, {}, false},
        {"PrefabContainer", R"({"Type":"X"})", {}, {}, {pNotStrings}, false},
        {"PrefabContainer", R"({"Type":"X","Json":{}})", {}, {}, {pNotStrings}, false},
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":3}"})", {3}, {}, {pNoBuilder}, true},
    };
    for (const auto& [pContainer, kText, kToX, kToZ, kExpected, bDamaged] : akCases)
    {
        SCOPED_TRACE(kText);
        CRecordingBuilder kX("X", "PrefabContainer");
        CRecordingBuilder kZ("Z", "WorldContainer");
        CRecordingManager kManager;
        kManager.RegisterComponentBuilder(&kX);
        kManager.RegisterComponentBuilder(&kZ);
        if (bDamaged)
            kManager.InsertEmptyBuilderEntry();
        TestSupport::CAssertCapture kReports;
        SJson kAddIn(kText.c_str());
        TarnRenderer::TArray<IPluginComponentData*> kOut;
        EXPECT_TRUE(kManager.BuildComponentData(pContainer, kAddIn.m_kDocument, nullptr, nullptr, kOut));
        EXPECT_EQ(kX.m_kDocuments, kToX);
        EXPECT_EQ(kZ.m_kDocuments, kToZ);
        EXPECT_EQ(kReports.Texts(), kExpected);
        kManager.UpdateComponentBuilders(nullptr, StepTime{1});
        EXPECT_EQ(kManager.BuildComponent(0, nullptr, nullptr, nullptr), nullptr);
    }
}

namespace {

int s_iLiveNodes = 0;
class CCountedNode : public PluginNode
{
public:
    CCountedNode() { ++s_iLiveNodes; }
    ~CCountedNode() override { --s_iLiveNodes; }
    bool OnNodeCreated(void*) override { return true; }
    void OnNodeDestroyed(void*) override {}
};

class CNodeFactory : public CustomNodeFactory
{
public:
    explicit CNodeFactory(const char* pName) { m_kHeader.Set(pName, "", "", ""); }
    PluginNode* GetPluginNode() override { return TARN_NEW(CCountedNode); }
    void* CreateInstance(const PluginJsonValue&, void* _pContextA, void*) override { return _pContextA; }
    void DestroyInstance(void* _pInstance) override { m_pDestroyed = _pInstance; }
    void* m_pDestroyed = nullptr;
};

}  // namespace

TEST(PluginManager, CustomNodesBelongToTheManager)
{
    CNodeFactory kFirst("FirstNode");
    CNodeFactory kSecond("SecondNode");
    {
        BasePluginManager kManager;
        kManager.RegisterCustomNode(&kFirst);
        kManager.RegisterCustomNode(&kSecond);
        kManager.RegisterCustomNode(&kSecond);  // the earlier node is replaced and deleted
        EXPECT_EQ(s_iLiveNodes, 2);
        SJson kValue("{}");
        int iContext = 0;
        EXPECT_EQ(kManager.CreateNodeInstance("FirstNode", kValue.m_kDocument, &iContext, nullptr), &iContext);
        EXPECT_EQ(kManager.CreateNodeInstance("ThirdNode", kValue.m_kDocument, &iContext, nullptr), nullptr);
        kManager.DestroyNodeInstance("FirstNode", &iContext);
        EXPECT_EQ(kFirst.m_pDestroyed, &iContext);
        kManager.UnregisterCustomNode("FirstNode");
        EXPECT_EQ(s_iLiveNodes, 1);
        EXPECT_EQ(kManager.GetPluginNode("FirstNode"), nullptr);
        EXPECT_EQ(kManager.CreateNodeInstance("FirstNode", kValue.m_kDocument, &iContext, nullptr), nullptr);
        TarnRenderer::TArray<void*> kList;
        kManager.GetPluginNode("SecondNode")->CollectValue(&iContext, &kList);
        kManager.GetPluginNode("SecondNode")->CollectValue(&iContext, nullptr);
        EXPECT_EQ(kList.GetSize(), 1u);
    }
    EXPECT_EQ(s_iLiveNodes, 0);  // destruction deletes the nodes still registered
}

// Two files of one plug-in: the first keeps its builder and its state; the
// second is refused naming both files, released at once when it had started,
// and unloaded. A builder the host registered first is kept the same way.
TEST(PluginManager, ASecondModuleOfTheSamePluginIsRefusedAndTheFirstKeepsWorking)
{
    namespace fs = std::filesystem;
    const std::string kTaken = "component builder \"TestGoodA\" is already registered by ";
    const Strings kOne = {"TestGoodA"}, kTwo = {"TestGoodA", "TestGoodA"};
    for (const char cHow : {'c', 's', 'l', 'h'})  // a copy, a symbolic link, a hard link, the host's builder
    {
        SCOPED_TRACE(cHow);
        STempPlugins kTemp;
        ASSERT_FALSE(kTemp.kBase.empty());
        const bool bCopy = cHow == 'c', bHost = cHow == 'h';
        // A copy no other test has loaded; the second sorts after it.
        const std::string kFirst = kTemp.Path(ModuleFile("TestGoodA"));
        const std::string kSecond = kTemp.Path(ModuleFile("TestGoodA_copy"));
        fs::copy_file(TestModule("TestGoodA"), kFirst);
        std::error_code kError;
        if (bCopy)
            fs::copy_file(kFirst, kSecond, kError);
        else if (cHow == 's')
            fs::create_symlink(kFirst, kSecond, kError);
        else if (cHow == 'l')
            fs::create_hard_link(kFirst, kSecond, kError);
        ASSERT_FALSE(kError) << kError.message();
        const std::string kRefused = bHost ? kFirst : kSecond;
        const std::string kRefusal = bHost ? kTaken + "the host" : bCopy ? kTaken + kFirst : "same module as " + kFirst;
        CRecordingBuilder kHostBuilder("TestGoodA", "PrefabContainer");
        TestSupport::CAssertCapture kReports;
        {
            TestSupport::CLogCapture kLog;
            CRecordingManager kManager;
            if (bHost)
                kManager.RegisterComponentBuilder(&kHostBuilder);
            EXPECT_TRUE(kManager.LoadPlugins(kTemp.kBase.c_str()));
            Strings kExpected = {"plugin " + kRefused + " refused: " + kRefusal,
                                 "plugin " + kRefused + " loading : Failed"};
            if (!bHost)
                kExpected.insert(kExpected.begin(), "plugin " + kFirst + " loading : Ok");
            EXPECT_EQ(LoaderLines(kLog), kExpected);
            // A copy starts and is released at once; a link is the first module itself.
            EXPECT_EQ(s_kInitialized, bCopy ? kTwo : kOne);
            EXPECT_EQ(s_kReleased, bCopy || bHost ? kOne : Strings{});
            EXPECT_EQ(IsModuleLoaded(kSecond), !bCopy && !bHost);
            EXPECT_EQ(IsModuleLoaded(kFirst), !bHost);
            // The builder that stayed is the first one registered, and the one stepped.
            ASSERT_EQ(kManager.GetComponentBuilders().GetSize(), 1u);
            kManager.UpdateComponentBuilders(nullptr, StepTime{16});
            TestModules::SModuleQuery kQuery;
            kManager.CallStepCallbacks(TestModules::kQueryStep, &kQuery);
            EXPECT_EQ(kManager.GetNumStartedPlugins(), bHost ? 0u : 1u);
            ASSERT_EQ(kQuery.uiCount, bHost ? 0u : 1u);
            EXPECT_EQ(bHost ? kHostBuilder.m_uiUpdatedMs : kQuery.akReports[0].uiUpdatedMs, 16u);
            if (bHost)
                kManager.UnregisterComponentBuilder(kHostBuilder.m_kDesc.m_uiComponentId);
        }
        EXPECT_EQ(s_kReleased, bCopy ? kTwo : kOne);
        EXPECT_EQ(kReports.Count(), 0u);
    }
}
