// The module loader and the plugin manager: modules found, loaded, started
// and released; static plug-ins, builders, add-ins, step callbacks and
// custom nodes.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Plugins/ModuleLoader.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/idfromstring.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/NamedPipe.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;
using Common::Mem::CMemoryManager;
using TestModules::CRecordingBuilder;

namespace {

const std::string kModulesBase = TARN_TEST_MODULES_DIR;
const std::string kModulesDir = kModulesBase + "Plugins";
const char* const kParseError = "Assertion \"false\" failed. Could not parse JSON file";

std::string ModuleFile(const std::string& kName)
{
    return "PLUGIN_" + kName + "_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so";
}
// A module of the test folder.
std::string TestModule(const std::string& kName)
{
    return kModulesDir + "/" + ModuleFile(kName);
}

// Makers of the entries of a plug-in folder that are not modules.
using FMake = std::function<bool(const std::string&)>;
FMake LinkTo(const std::string& kTarget)
{
    return [kTarget](const std::string& kPath) { return symlink(kTarget.c_str(), kPath.c_str()) == 0; };
}
bool MakeFolder(const std::string& kPath)
{
    return mkdir(kPath.c_str(), 0700) == 0;
}
bool MakePipe(const std::string& kPath)
{
    return mkfifo(kPath.c_str(), 0600) == 0;
}

// Names handed to the module steps, and by the static plug-ins below.
std::vector<std::string> s_kInitialized;
std::vector<std::string> s_kReleased;
IPluginManager* s_pReleasedBy = nullptr;

// A manager that records the module steps from its first moment on.
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
    // Reaches the registry directly, as a damaged registration would.
    void InsertBuilderEntry(uint32 uiId, PluginComponentBuilder* pBuilder)
    {
        m_kComponentBuilders.Insert(uiId, pBuilder);
    }
};

// Parses an add-in object with the engine's allocator.
struct SJson
{
    explicit SJson(const char* pText) : m_kPool(4096, &m_kHeap), m_kDocument(&m_kPool, 1024, &m_kHeap)
    {
        m_kDocument.Parse(pText);
    }
    Common::CJsonAllocator m_kHeap;
    PluginJsonPool m_kPool;
    PluginJsonDocument m_kDocument;
};

// Log lines of the loader: loading results, load errors, refused starts.
std::vector<std::string> LoaderLines(const TestSupport::CLogCapture& kLog)
{
    std::vector<std::string> kLines;
    for (const std::string& kLine : kLog.Lines())
        if (kLine.rfind("plugin ", 0) == 0 || kLine.rfind("Error ", 0) == 0 || kLine.rfind("Unable ", 0) == 0)
            kLines.push_back(kLine);
    return kLines;
}

TestModules::SModuleQuery Query(IPluginManager& kManager, uint32 uiAllocateBytes = 0)
{
    TestModules::SModuleQuery kQuery;
    kQuery.uiAllocateBytes = uiAllocateBytes;
    kManager.CallStepCallbacks(TestModules::kQueryStep, &kQuery);
    return kQuery;
}

void PickStub(void*, uint32*)
{
}

// A temporary base folder with an empty Plugins folder, removed with what it
// holds.
class CTempPlugins
{
public:
    CTempPlugins()
    {
        char acTemplate[] = "/tmp/tarn_plugins_XXXXXX";
        if (mkdtemp(acTemplate) && mkdir((std::string(acTemplate) + "/Plugins").c_str(), 0700) == 0)
            m_kBase = std::string(acTemplate) + "/";
    }
    ~CTempPlugins()
    {
        std::error_code kError;
        if (!m_kBase.empty())
            std::filesystem::remove_all(m_kBase, kError);
    }
    bool IsReady() const { return !m_kBase.empty(); }
    const std::string& Base() const { return m_kBase; }
    std::string Dir() const { return m_kBase + "Plugins"; }
    std::string Path(const std::string& kFile) const { return Dir() + "/" + kFile; }

private:
    std::string m_kBase;
};

// True while the module file at kPath is loaded in this process.
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
    // Which names of a plug-in folder are taken for modules shows in the
    // loading tests below: the test folder holds names of other builds.
    const struct
    {
        const char* pPattern;
        const char* pText;
        bool bMatch;
    } akCases[] = {
        {"a*b", "ab", true},      {"a*b", "axxb", true},    {"a*b", "axxbc", false}, {"*", "", true},
        {"a?c", "abc", true},     {"a?c", "ac", false},     {"A*", "a", false},      {"*x*y", "axbxcy", true},
        {"a*b*c", "abcbc", true}, {"a*b*c", "abcb", false},
    };
    for (const auto& kCase : akCases)
        EXPECT_EQ(CModuleLoader::MatchPattern(kCase.pPattern, kCase.pText), kCase.bMatch)
            << kCase.pPattern << " " << kCase.pText;
}

TEST(PluginParam, CarriesTheBuildStampOfThisBuild)
{
    PluginParam kParam;
    ASSERT_NE(kParam.m_pBuildStamp, nullptr);
#ifdef NDEBUG
    EXPECT_EQ(kParam.m_pBuildStamp->m_uiDebugBuild, 0u);
#else
    EXPECT_EQ(kParam.m_pBuildStamp->m_uiDebugBuild, 1u);
#endif
    EXPECT_EQ(kParam.m_pBuildStamp->m_ui64PointerSize, 8u);
    EXPECT_EQ(kParam.m_pBuildStamp->m_ui64ToolsetVersion,
              __GNUC__ * 10000u + __GNUC_MINOR__ * 100u + __GNUC_PATCHLEVEL__);
    EXPECT_TRUE(kParam.MatchesThisBuild());

    // Any field differing, or no stamp, is another build.
    PluginBuildStamp kOwn;
    FillBuildStamp(kOwn);
    void (*const apChanges[])(PluginBuildStamp&) = {
        [](PluginBuildStamp& kStamp) { kStamp.m_uiDebugBuild ^= 1; },
        [](PluginBuildStamp& kStamp) { kStamp.m_ui64PointerSize = 4; },
        [](PluginBuildStamp& kStamp) { ++kStamp.m_ui64ToolsetVersion; },
    };
    for (auto pChange : apChanges)
    {
        PluginBuildStamp kOther = kOwn;
        pChange(kOther);
        EXPECT_FALSE(IsSameBuildStamp(&kOwn, &kOther));
    }
    EXPECT_TRUE(IsSameBuildStamp(&kOwn, &kOwn));
    EXPECT_FALSE(IsSameBuildStamp(&kOwn, nullptr));
}

// The modules of the test folder start in name order beside static plug-ins,
// share the host's memory manager, and are released with them in start order.
TEST(PluginManager, LoadPluginsStartsMatchingModulesInNameOrderBesideStaticPlugins)
{
    static std::vector<std::string> s_kStaticCalls;
    const InitPluginFunc pInit = [](PluginParam* _pParam) {
        s_kStaticCalls.push_back("init");
        EXPECT_EQ(_pParam->m_pMemoryManager, CMemoryManager::GetInstance());
        EXPECT_EQ(_pParam->m_pEditorPickCallback, nullptr);
        EXPECT_TRUE(_pParam->MatchesThisBuild());
        return true;
    };
    const InitPluginFunc pRefuse = [](PluginParam*) { return s_kStaticCalls.push_back("refuse"), false; };
    const ReleasePluginFunc pReleaseFirst = [](IPluginManager* _pManager) {
        s_pReleasedBy = _pManager;
        return s_kReleased.push_back("first"), true;
    };
    const ReleasePluginFunc pReleaseLast = [](IPluginManager*) { return s_kReleased.push_back("last"), true; };
    TestSupport::CLogCapture kLog;
    int iEngine = 0;
    int iDataProvider = 0;
    IPluginManager* pInterface = nullptr;
    {
        CRecordingManager kManager;
        pInterface = &kManager;
        kManager.SetEngineInstance(&iEngine);
        kManager.SetDataProviderInstance(&iDataProvider);
        kManager.SetEditorPickCallback(&PickStub);
        {
            // A missing entry refuses the plug-in before it starts; a refusing
            // plug-in keeps no release entry.
            TestSupport::CAssertCapture kRefusals;
            EXPECT_FALSE(kManager.RegisterStaticPlugin(pInit, nullptr));
            EXPECT_FALSE(kManager.RegisterStaticPlugin(nullptr, pReleaseFirst));
            EXPECT_EQ(kRefusals.Count(), 2u);
            EXPECT_FALSE(kManager.RegisterStaticPlugin(pRefuse, pReleaseFirst));
        }
        EXPECT_TRUE(kManager.RegisterStaticPlugin(pInit, pReleaseFirst));
        TestSupport::CAssertCapture kReports;
        ASSERT_TRUE(kManager.LoadPlugins(kModulesBase.c_str()));
        EXPECT_TRUE(kManager.RegisterStaticPlugin(pInit, pReleaseLast));
        EXPECT_EQ(s_kStaticCalls, (std::vector<std::string>{"refuse", "init", "init"}));

        const std::vector<std::string> kLines = LoaderLines(kLog);
        ASSERT_EQ(kLines.size(), 8u);
        EXPECT_EQ(kLines[0], "plugin " + TestModule("TestFolder") + " skipped: not a regular file (a directory)");
        // The dynamic loader's code and its own reason, which names the file.
        const std::string kLoadError = "Error " + std::to_string(ENOEXEC) + " loading " + ModuleFile("TestBroken") +
                                       " : " + TestModule("TestBroken") + ": ";
        EXPECT_EQ(kLines[1].rfind(kLoadError, 0), 0u) << kLines[1];
        const std::vector<std::string> kExpected = {
            "plugin " + TestModule("TestBroken") + " loading : Failed",
            "plugin " + TestModule("TestGoodA") + " loading : Ok",
            "plugin " + TestModule("TestGoodB") + " loading : Ok",
            "plugin " + TestModule("TestNoRelease") + " loading : Failed",
            "Unable to init plugin " + ModuleFile("TestRefuses"),
            "plugin " + TestModule("TestRefuses") + " loading : Failed",
        };
        EXPECT_EQ(std::vector<std::string>(kLines.begin() + 2, kLines.end()), kExpected);
        EXPECT_EQ(kReports.Texts(),
                  (std::vector<std::string>{"Assertion \"pReleaseEntry\" failed. Plugin " +
                                            ModuleFile("TestNoRelease") + " exports no ReleasePlugin"}));
        // The module without a release entry is never started.
        EXPECT_EQ(s_kInitialized, (std::vector<std::string>{"TestGoodA", "TestGoodB", "TestRefuses"}));

        // The started modules share the host's memory manager: a block one
        // of them allocates is the host's to free, without a report.
        CMemoryManager* pMemory = CMemoryManager::GetInstance();
        const uint32 uiBlocks = pMemory->GetNumAllocations();
        const TestModules::SModuleQuery kQuery = Query(kManager, 48);
        ASSERT_EQ(kQuery.uiCount, 2u);
        EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks + 2);
        for (uint32 i = 0; i < kQuery.uiCount; ++i)
        {
            const TestModules::SModuleReport& kReport = kQuery.akReports[i];
            EXPECT_EQ(kReport.pMemoryManager, pMemory);
            EXPECT_EQ(kReport.pManager, &kManager);
            EXPECT_EQ(kReport.pEngine, &iEngine);
            EXPECT_EQ(kReport.pDataProvider, &iDataProvider);
            EXPECT_EQ(kReport.pEditorPick, &PickStub);
            EXPECT_EQ(pMemory->Free(kReport.pBlock), Common::Mem::kErrNone);
        }
        EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks);

        // An add-in of a module's type: the module makes the data, the host
        // deletes it through the interface.
        SJson kAddIn(R"({"Type":"TestGoodB","Json":"{\"Value\":7}"})");
        TarnRenderer::TArray<IPluginComponentData*> kData;
        EXPECT_TRUE(kManager.BuildComponentData("PrefabContainer", kAddIn.m_kDocument, nullptr, nullptr, kData));
        ASSERT_EQ(kData.GetSize(), 1u);
        EXPECT_EQ(kData[0]->GetTypeID(), GenerateUIntIdFromString("TestGoodB"));
        EXPECT_EQ(static_cast<TestModules::CValueData*>(kData[0])->GetParam().iValue, 7);
        TARN_DELETE(kData[0]);
        EXPECT_EQ(kReports.Count(), 1u);
    }
    // Only what started is released, in start order.
    EXPECT_EQ(s_kReleased, (std::vector<std::string>{"first", "TestGoodA", "TestGoodB", "last"}));
    EXPECT_EQ(s_pReleasedBy, pInterface);
}

// The modules keep the engine libraries they carry to themselves.
TEST(ModuleLoader, ModulesExportTheirEntryPointsOnly)
{
    char acError[256];
    void* hModule = CModuleLoader::Load(TestModule("TestGoodB").c_str(), acError, sizeof(acError));
    ASSERT_NE(hModule, nullptr) << acError;
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "InitPlugin"), nullptr);
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "ReleasePlugin"), nullptr);
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_ZN6Common3Mem14CMemoryManager11SetInstanceEPS1_"), nullptr);
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_Z24GenerateUIntIdFromStringPKcS0_j"), nullptr);
}

// Entries of a plug-in folder that are not modules: the loader refuses each
// with a code and the real reason, and never opens a named pipe (which would
// hold the loading thread); the manager skips those named like modules with
// their reason and starts the module beside them. Files of other names are
// passed over in silence; a folder without modules, or none at all, starts
// nothing.
TEST(PluginManager, EntriesThatAreNotModulesAreRefusedAndSkippedWithTheirReason)
{
    CTempPlugins kTemp;
    ASSERT_TRUE(kTemp.IsReady());
    const struct
    {
        std::string kName;
        FMake kMake;
        int iCode;
        std::string kLoadError;  // the loader's text, or its start when the dynamic loader's own text follows
        std::string kSkipped;    // the reason of its "skipped" line, when it is named like a module
    } akEntries[] = {
        {ModuleFile("A_Dangling"), LinkTo(kTemp.Path("nowhere.so")), ENOENT, "dangling symbolic link",
         "dangling symbolic link"},
        {ModuleFile("B_Loop"), LinkTo(kTemp.Path(ModuleFile("C_Loop"))), ELOOP, "symbolic link loop",
         "symbolic link loop"},
        {ModuleFile("C_Loop"), LinkTo(kTemp.Path(ModuleFile("B_Loop"))), ELOOP, "symbolic link loop",
         "symbolic link loop"},
        {ModuleFile("D_Folder"), MakeFolder, EISDIR, "not a regular file", "not a regular file (a directory)"},
        {ModuleFile("E_LinkToFolder"), LinkTo(kTemp.Path(ModuleFile("D_Folder"))), EISDIR, "not a regular file",
         "not a regular file (a directory)"},
        {ModuleFile("F_Pipe"), MakePipe, EINVAL, "not a regular file", "not a regular file (a named pipe)"},
        {"PLUGIN_Other.so", [](const std::string& kPath) { return bool(std::ofstream(kPath) << "x"); }, ENOEXEC,
         kTemp.Path("PLUGIN_Other.so") + ": ", ""},
        {"missing.so", [](const std::string&) { return true; }, ENOENT, "cannot be opened: No such file or directory",
         ""},
    };
    for (const auto& kEntry : akEntries)
        ASSERT_TRUE(kEntry.kMake(kTemp.Path(kEntry.kName))) << kEntry.kName;
    std::vector<std::string> kSkipLines;
    for (const auto& kEntry : akEntries)
    {
        SCOPED_TRACE(kEntry.kName);
        const std::string kPath = kTemp.Path(kEntry.kName);
        char acError[512] = "unset";
        int iCode = 0;
        void* hModule = nullptr;
        const auto Load = [&] { hModule = CModuleLoader::Load(kPath.c_str(), acError, sizeof(acError), &iCode); };
        if (kEntry.iCode == EINVAL)  // the named pipe
        {
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kPath, Load)) << "the loader opened the pipe";
        }
        else
            Load();
        EXPECT_EQ(hModule, nullptr);
        EXPECT_EQ(iCode, kEntry.iCode);
        const std::string kError = acError;
        if (kEntry.iCode == ENOEXEC)
        {
            EXPECT_TRUE(kError.rfind(kEntry.kLoadError, 0) == 0 && kError.size() > kEntry.kLoadError.size()) << kError;
        }
        else
            EXPECT_EQ(kError, kEntry.kLoadError);
        if (!kEntry.kSkipped.empty())
            kSkipLines.push_back("plugin " + kPath + " skipped: " + kEntry.kSkipped);
    }
    ASSERT_TRUE(LinkTo(TestModule("TestGoodA"))(kTemp.Path(ModuleFile("TestGoodA"))));

    TestSupport::CAssertCapture kReports;
    {
        TestSupport::CLogCapture kLog;
        CRecordingManager kManager;
        bool bLoaded = false;
        EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kTemp.Path(ModuleFile("F_Pipe")),
                                                       [&] { bLoaded = kManager.LoadPlugins(kTemp.Base().c_str()); }));
        EXPECT_TRUE(bLoaded);
        std::vector<std::string> kExpected = kSkipLines;
        kExpected.push_back("plugin " + kTemp.Path(ModuleFile("TestGoodA")) + " loading : Ok");
        EXPECT_EQ(LoaderLines(kLog), kExpected);
        EXPECT_EQ(kManager.GetNumStartedPlugins(), 1u);
    }
    ASSERT_EQ(unlink(kTemp.Path(ModuleFile("TestGoodA")).c_str()), 0);
    TestSupport::CLogCapture kLog;
    CRecordingManager kManager;
    EXPECT_FALSE(kManager.LoadPlugins(kTemp.Base().c_str()));
    EXPECT_EQ(LoaderLines(kLog), kSkipLines);
    // Only a file of another name left, or no folder: nothing is said.
    for (const auto& kEntry : akEntries)
        if (!kEntry.kSkipped.empty())
            std::filesystem::remove(kTemp.Path(kEntry.kName));
    const size_t uiLines = kLog.Lines().size();
    EXPECT_FALSE(kManager.LoadPlugins(kTemp.Base().c_str()));
    EXPECT_FALSE(kManager.LoadPlugins((kTemp.Base() + "missing/").c_str()));
    EXPECT_EQ(kLog.Lines().size(), uiLines);
    EXPECT_EQ(kManager.GetNumStartedPlugins(), 0u);
    EXPECT_EQ(kReports.Count(), 0u);
}

TEST(PluginManager, PathsTooLongAreRefusedNotCut)
{
    CTempPlugins kTemp;
    ASSERT_TRUE(kTemp.IsReady());
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    CRecordingManager kManager;
    // A directory name that does not fit is refused, not cut.
    EXPECT_FALSE(kManager.LoadPlugins(std::string(300, 'a').c_str()));
    EXPECT_EQ(kReports.Count(), 1u);

    // A module whose full path does not fit is reported and not started.
    std::filesystem::path kLong = kTemp.Base();
    while (kLong.string().size() < 240)
        kLong /= "deep_folder";
    std::filesystem::create_directories(kLong / "Plugins");
    std::filesystem::create_symlink(TestModule("TestGoodA"), kLong / "Plugins" / ModuleFile("TestGoodA"));
    kReports.Clear();
    EXPECT_TRUE(kManager.LoadPlugins((kLong.string() + "/").c_str()));
    ASSERT_EQ(kReports.Count(), 1u);
    EXPECT_NE(kReports.Texts()[0].find("does not fit 260 bytes"), std::string::npos);
    EXPECT_EQ(LoaderLines(kLog), (std::vector<std::string>{"plugin " + kLong.string() + "/Plugins/" +
                                                           ModuleFile("TestGoodA") + " loading : Failed"}));
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
    kManager.CallStepCallbacks("Step", &iCount);
    EXPECT_EQ(iCount, 1);
    // Unknown steps and callbacks change nothing.
    kManager.UnregisterStepCallback("Step", pCountTen);
    kManager.UnregisterStepCallback("Other", pCount);
    kManager.CallStepCallbacks("Other", &iCount);
    kManager.CallStepCallbacks("step", &iCount);
    EXPECT_EQ(iCount, 1);
    EXPECT_EQ(kManager.GetNumStepCallbacks("Step"), 1u);
    // The last unregistration deletes the list.
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
    // Unregistering what was never registered changes nothing.
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
}

TEST(PluginManager, AddInsReachTheBuilderOfTheirTypeAndContainer)
{
    const char* const pNotStrings = "Assertion \"pType && pJson\" failed. Add-in object of a PrefabContainer needs "
                                    "the string members \"Type\" and \"Json\"";
    const struct
    {
        const char* pContainer;
        std::string kAddIn;
        std::vector<int> kToX;
        std::vector<int> kToZ;
        const char* pReport;
    } akCases[] = {
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {1}, {}, nullptr},
        {"WorldContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {}, {}, nullptr},
        {"PrefabContainer", R"({"Type":"x","Json":"{\"Value\":1}"})", {}, {}, nullptr},
        {"WorldContainer", R"({"Type":"Z","Json":"{\"Value\":2}","Other":0})", {}, {2}, nullptr},
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":"})", {}, {}, kParseError},
        // Text nested beyond the parser's limit is malformed text too.
        {"PrefabContainer", R"({"Type":"X","Json":")" + std::string(300, '[') + R"("})", {}, {}, kParseError},
        {"PrefabContainer", R"({"Type":"X\u0000","Json":"{}"})", {}, {}, nullptr},
        {"PrefabContainer", R"({"Type":"X"})", {}, {}, pNotStrings},
        {"PrefabContainer", R"({"Type":"X","Json":{}})", {}, {}, pNotStrings},
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.kAddIn);
        CRecordingBuilder kX("X", "PrefabContainer");
        CRecordingBuilder kZ("Z", "WorldContainer");
        BasePluginManager kManager;
        kManager.RegisterComponentBuilder(&kX);
        kManager.RegisterComponentBuilder(&kZ);
        TestSupport::CAssertCapture kReports;
        SJson kAddIn(kCase.kAddIn.c_str());
        TarnRenderer::TArray<IPluginComponentData*> kOut;
        EXPECT_TRUE(kManager.BuildComponentData(kCase.pContainer, kAddIn.m_kDocument, nullptr, nullptr, kOut));
        EXPECT_EQ(kX.m_kDocuments, kCase.kToX);
        EXPECT_EQ(kZ.m_kDocuments, kCase.kToZ);
        EXPECT_EQ(kReports.Texts(),
                  kCase.pReport ? std::vector<std::string>{kCase.pReport} : std::vector<std::string>{});
    }

    // A registry entry without a builder is reported and skipped.
    CRecordingBuilder kX("X", "PrefabContainer");
    CRecordingManager kManager;
    kManager.RegisterComponentBuilder(&kX);
    kManager.InsertBuilderEntry(0, nullptr);
    TestSupport::CAssertCapture kReports;
    SJson kValid(R"({"Type":"X","Json":"{\"Value\":3}"})");
    TarnRenderer::TArray<IPluginComponentData*> kOut;
    EXPECT_TRUE(kManager.BuildComponentData("PrefabContainer", kValid.m_kDocument, nullptr, nullptr, kOut));
    EXPECT_EQ(kX.m_kDocuments, std::vector<int>{3});
    EXPECT_EQ(kReports.Texts(),
              std::vector<std::string>{"Assertion \"builder\" failed. Couldn't find plugin component builder"});
    kManager.UpdateComponentBuilders(nullptr, StepTime{1});
    EXPECT_EQ(kManager.BuildComponent(0, nullptr, nullptr, nullptr), nullptr);
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
        EXPECT_NE(kManager.GetPluginNode("FirstNode"), nullptr);
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
    // Destruction deletes the nodes still registered.
    EXPECT_EQ(s_iLiveNodes, 0);
}

TEST(CustomComponentDesc, TextsAreBoundedAndIdsFollowThem)
{
    TestSupport::CAssertCapture kReports;
    const std::string kLong(200, 'n');
    CustomComponentDesc kDesc("Gait", "PrefabContainer", "Gait Plugin", nullptr);
    EXPECT_EQ(kDesc.m_uiComponentId, GenerateUIntIdFromString("Gait"));
    EXPECT_EQ(kDesc.m_uiContainerTypeId, GenerateUIntIdFromString("PrefabContainer"));
    EXPECT_STREQ(kDesc.m_acDescription, "");
    EXPECT_EQ(kReports.Count(), 0u);
    kDesc.Set(kLong.c_str(), "PrefabContainer", "", "");
    EXPECT_EQ(std::string(kDesc.m_acName), kLong.substr(0, 126));
    EXPECT_EQ(kDesc.m_uiComponentId, GenerateUIntIdFromString(kLong.substr(0, 126).c_str()));
    EXPECT_EQ(kReports.Count(), 1u);
}

// Two files of one plug-in: the first to load keeps its builder and its
// state; the second is refused naming both files, released at once when it
// had started (its unregistration cannot take the first one's builder), and
// unloaded. A builder the host registered first is kept the same way.
TEST(PluginManager, ASecondModuleOfTheSamePluginIsRefusedAndTheFirstKeepsWorking)
{
    namespace fs = std::filesystem;
    enum class ESecond
    {
        Copy,
        SymbolicLink,
        HardLink,
        HostBuilder,
    };
    const std::string kBuilderTaken = "component builder \"TestGoodA\" is already registered by ";
    const struct
    {
        const char* pLabel;
        ESecond eSecond;
        // The refusal, after "plugin <refused file> refused: "; {first}
        // stands for the first file's path.
        std::string kRefusal;
        std::vector<std::string> kInitialized;
        std::vector<std::string> kReleasedAtLoad;
    } akCases[] = {
        {"a copy", ESecond::Copy, kBuilderTaken + "{first}", {"TestGoodA", "TestGoodA"}, {"TestGoodA"}},
        {"a symbolic link", ESecond::SymbolicLink, "same module as {first}", {"TestGoodA"}, {}},
        {"a hard link", ESecond::HardLink, "same module as {first}", {"TestGoodA"}, {}},
        {"a builder of the host", ESecond::HostBuilder, kBuilderTaken + "the host", {"TestGoodA"}, {"TestGoodA"}},
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        CTempPlugins kTemp;
        ASSERT_TRUE(kTemp.IsReady());
        const bool bHost = kCase.eSecond == ESecond::HostBuilder;
        // A copy of its own: a module file no other test has loaded.
        const std::string kFirst = kTemp.Path(ModuleFile("TestGoodA"));
        const std::string kSecond = kTemp.Path(ModuleFile("TestGoodA_copy"));  // sorts after the first
        fs::copy_file(TestModule("TestGoodA"), kFirst);
        std::error_code kError;
        if (kCase.eSecond == ESecond::Copy)
            fs::copy_file(kFirst, kSecond, kError);
        else if (kCase.eSecond == ESecond::SymbolicLink)
            fs::create_symlink(kFirst, kSecond, kError);
        else if (kCase.eSecond == ESecond::HardLink)
            fs::create_hard_link(kFirst, kSecond, kError);
        ASSERT_FALSE(kError) << kError.message();
        const std::string kRefused = bHost ? kFirst : kSecond;
        std::string kRefusal = kCase.kRefusal;
        if (const size_t uiAt = kRefusal.find("{first}"); uiAt != std::string::npos)
            kRefusal.replace(uiAt, 7, kFirst);

        CRecordingBuilder kHostBuilder("TestGoodA", "PrefabContainer");
        TestSupport::CAssertCapture kReports;
        {
            TestSupport::CLogCapture kLog;
            CRecordingManager kManager;
            if (bHost)
                kManager.RegisterComponentBuilder(&kHostBuilder);
            EXPECT_TRUE(kManager.LoadPlugins(kTemp.Base().c_str()));
            std::vector<std::string> kExpected = {"plugin " + kRefused + " refused: " + kRefusal,
                                                  "plugin " + kRefused + " loading : Failed"};
            if (!bHost)
                kExpected.insert(kExpected.begin(), "plugin " + kFirst + " loading : Ok");
            EXPECT_EQ(LoaderLines(kLog), kExpected);
            EXPECT_EQ(s_kInitialized, kCase.kInitialized);
            EXPECT_EQ(s_kReleased, kCase.kReleasedAtLoad);
            // A refused copy is unloaded; a link is the first module itself.
            if (kCase.eSecond == ESecond::Copy)
            {
                EXPECT_FALSE(IsModuleLoaded(kSecond));
            }
            EXPECT_EQ(IsModuleLoaded(kFirst), !bHost);

            // The builder that stayed is the first one registered, and is
            // the one stepped.
            ASSERT_EQ(kManager.GetComponentBuilders().GetSize(), 1u);
            kManager.UpdateComponentBuilders(nullptr, StepTime{16});
            const TestModules::SModuleQuery kQuery = Query(kManager);
            EXPECT_EQ(kManager.GetNumStartedPlugins(), bHost ? 0u : 1u);
            ASSERT_EQ(kQuery.uiCount, bHost ? 0u : 1u);
            if (bHost)
            {
                EXPECT_EQ(kManager.GetComponentBuilders().GetAt(0).Value, &kHostBuilder);
                EXPECT_EQ(kHostBuilder.m_kUpdates.size(), 1u);
                kManager.UnregisterComponentBuilder(kHostBuilder.m_kDesc.m_uiComponentId);
            }
            else
                EXPECT_EQ(kQuery.akReports[0].uiUpdatedMs, 16u);
        }
        std::vector<std::string> kReleased = kCase.kReleasedAtLoad;
        if (!bHost)
            kReleased.push_back("TestGoodA");
        EXPECT_EQ(s_kReleased, kReleased);
        EXPECT_EQ(kReports.Count(), 0u);
    }
}
