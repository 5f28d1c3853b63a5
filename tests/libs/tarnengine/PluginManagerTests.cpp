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

#include <rapidjson/document.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Plugins/ModuleLoader.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/idfromstring.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/NamedPipe.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;
using Common::Mem::CMemoryManager;

namespace {

const std::string kModulesBase = TARN_TEST_MODULES_DIR;
const std::string kModulesDir = kModulesBase + "Plugins";
const char* const kParseError = "Assertion \"false\" failed. Could not parse JSON file";

std::string ModuleFile(const std::string& kName)
{
    return "PLUGIN_" + kName + "_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so";
}

// Names handed to the module steps, and by the static plug-ins below.
std::vector<std::string> s_kInitialized;
std::vector<std::string> s_kReleased;
IPluginManager* s_pReleasedBy = nullptr;

void RecordInitialized(void* _pName)
{
    s_kInitialized.emplace_back(static_cast<const char*>(_pName));
}
void RecordReleased(void* _pName)
{
    s_kReleased.emplace_back(static_cast<const char*>(_pName));
}

// A manager that records the module steps from its first moment on.
class CRecordingManager : public BasePluginManager
{
public:
    CRecordingManager()
    {
        s_kInitialized.clear();
        s_kReleased.clear();
        RegisterStepCallback(TestModules::kInitializedStep, &RecordInitialized);
        RegisterStepCallback(TestModules::kReleasedStep, &RecordReleased);
    }
    // Reaches the registry directly, as a damaged registration would.
    void InsertBuilderEntry(uint32 uiId, PluginComponentBuilder* pBuilder)
    {
        m_kComponentBuilders.Insert(uiId, pBuilder);
    }
};

// A host-side builder recording what reaches it.
class CRecordingBuilder : public PluginComponentBuilder
{
public:
    CRecordingBuilder(const char* pName, const char* pContainer) : m_kDesc(pName, pContainer, "Recording", "") {}
    PluginComponent* BuildComponent(void* _pPrefab, TarnRenderer::Link* _pLink, IPluginComponentData* _pData) override
    {
        m_pPrefab = _pPrefab;
        m_kComponent.SetData(_pData);
        links.Add(_pLink);
        return &m_kComponent;
    }
    // Records the document's "Value" and makes no data.
    bool BuildComponentData(const PluginJsonValue& kDocument, void*, void*,
                            TarnRenderer::TArray<IPluginComponentData*>&) override
    {
        m_kDocuments.push_back(kDocument.IsObject() && kDocument.HasMember("Value") ? kDocument["Value"].GetInt() : -1);
        return true;
    }
    void OnBuilderEvent(void* _pValue) override { m_pEvent = _pValue; }
    void UpdateComponents(void* _pContext, StepTime kTime) override
    {
        m_kUpdates.emplace_back(_pContext, kTime.uiElapsedMs);
    }
    CustomComponentDesc* GetDesc() override { return &m_kDesc; }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        const uint32 uiIdx = links.Find(_pLink);
        if (uiIdx != links.uiMaxValue)
            links.RemoveAt(uiIdx);
    }

    CustomComponentDesc m_kDesc;
    PluginComponent m_kComponent;
    void* m_pPrefab = nullptr;
    void* m_pEvent = nullptr;
    std::vector<int> m_kDocuments;
    std::vector<std::pair<void*, uint32>> m_kUpdates;
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
        if (!mkdtemp(acTemplate))
            return;
        m_kBase = std::string(acTemplate) + "/";
        if (mkdir((m_kBase + "Plugins").c_str(), 0700) != 0)
            m_kBase.clear();
    }
    ~CTempPlugins()
    {
        if (m_kBase.empty())
            return;
        std::error_code kError;
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
    if (!hModule)
        return false;
    dlclose(hModule);
    return true;
}

} // namespace

TEST(ModuleLoader, MatchesTheModuleFilePatternOnly)
{
    struct SCase
    {
        const char* pPattern;
        const char* pText;
        bool bMatch;
    };
    const SCase akCases[] = {
        {"a*b", "ab", true},      {"a*b", "axxb", true},    {"a*b", "axxbc", false}, {"*", "", true},
        {"a?c", "abc", true},     {"a?c", "ac", false},     {"A*", "a", false},      {"*x*y", "axbxcy", true},
        {"a*b*c", "abcbc", true}, {"a*b*c", "abcb", false},
    };
    for (const SCase& kCase : akCases)
        EXPECT_EQ(CModuleLoader::MatchPattern(kCase.pPattern, kCase.pText), kCase.bMatch)
            << kCase.pPattern << " " << kCase.pText;

#ifdef NDEBUG
    EXPECT_STREQ(CModuleLoader::GetConfigurationName(), "Release");
#else
    EXPECT_STREQ(CModuleLoader::GetConfigurationName(), "Debug");
#endif
    const std::string kOther =
        std::string("_DLL_") + (CModuleLoader::GetConfigurationName()[0] == 'D' ? "Release" : "Debug");
    EXPECT_TRUE(CModuleLoader::IsPluginFileName(ModuleFile("Gait").c_str()));
    EXPECT_FALSE(CModuleLoader::IsPluginFileName(("PLUGIN_Gait" + kOther + "_64.so").c_str()));
    EXPECT_FALSE(CModuleLoader::IsPluginFileName((ModuleFile("Gait") + ".txt").c_str()));
    EXPECT_FALSE(CModuleLoader::IsPluginFileName(("plugin" + ModuleFile("Gait").substr(6)).c_str()));

    // The listing holds the matching regular files only, sorted.
    TarnRenderer::TArray<CModuleLoader::FileName> kFiles;
    ASSERT_TRUE(CModuleLoader::ListPluginFiles(kModulesDir.c_str(), kFiles));
    std::vector<std::string> kNames;
    for (const CModuleLoader::FileName& kFile : kFiles)
        kNames.emplace_back(kFile.m_acName);
    EXPECT_EQ(kNames,
              (std::vector<std::string>{ModuleFile("TestBroken"), ModuleFile("TestGoodA"), ModuleFile("TestGoodB"),
                                        ModuleFile("TestNoRelease"), ModuleFile("TestRefuses")}));
    // The folder named like a module is left out, with its reason.
    TarnRenderer::TArray<CModuleLoader::SkippedFile> kSkipped;
    ASSERT_TRUE(CModuleLoader::ListPluginFiles(kModulesDir.c_str(), kFiles, &kSkipped));
    ASSERT_EQ(kSkipped.GetSize(), 1u);
    EXPECT_STREQ(kSkipped[0].m_acName, ModuleFile("TestFolder").c_str());
    EXPECT_STREQ(kSkipped[0].m_acReason, "not a regular file (a directory)");
    EXPECT_FALSE(CModuleLoader::ListPluginFiles((kModulesDir + "/missing").c_str(), kFiles, &kSkipped));
    EXPECT_TRUE(kSkipped.IsEmpty());
}

TEST(ModuleLoader, ModulesExportTheirEntryPointsOnly)
{
    char acError[256];
    void* hModule =
        CModuleLoader::Load((kModulesDir + "/" + ModuleFile("TestGoodA")).c_str(), acError, sizeof(acError));
    ASSERT_NE(hModule, nullptr) << acError;
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "InitPlugin"), nullptr);
    EXPECT_NE(CModuleLoader::FindSymbol(hModule, "ReleasePlugin"), nullptr);
    // The module's own copies of the engine libraries stay inside it.
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_ZN6Common3Mem14CMemoryManager11SetInstanceEPS1_"), nullptr);
    EXPECT_EQ(CModuleLoader::FindSymbol(hModule, "_Z24GenerateUIntIdFromStringPKcS0_j"), nullptr);
}

// A module that cannot be loaded is reported with a code and the real
// reason; a file that is not a regular file never reaches the dynamic
// loader, so a named pipe does not hold the loading thread.
TEST(ModuleLoader, LoadFailuresGiveTheirCodeAndReason)
{
    namespace fs = std::filesystem;
    char acTemplate[] = "/tmp/tarn_module_load_XXXXXX";
    ASSERT_NE(mkdtemp(acTemplate), nullptr);
    const std::string kFolder = acTemplate;
    struct SCase
    {
        const char* pLabel;
        std::string kPath;
        std::function<bool(const std::string&)> kMake;
        int iCode;
        // The reason, or its start when bPrefix.
        std::string kReason;
        bool bPrefix;
        bool bPipe;
    };
    const std::string kBroken = kModulesDir + "/" + ModuleFile("TestBroken");
    const SCase akCases[] = {
        {"not a shared object", kBroken, nullptr, ENOEXEC, kBroken + ": ", true, false},
        {"missing", kFolder + "/missing.so", nullptr, ENOENT, "cannot be opened: No such file or directory", false,
         false},
        {"dangling link", kFolder + "/dangling.so",
         [&](const std::string& kPath) { return symlink((kFolder + "/nowhere.so").c_str(), kPath.c_str()) == 0; },
         ENOENT, "dangling symbolic link", false, false},
        {"directory", kFolder + "/folder.so", [](const std::string& kPath) { return mkdir(kPath.c_str(), 0700) == 0; },
         EISDIR, "not a regular file", false, false},
        {"named pipe", kFolder + "/pipe.so", [](const std::string& kPath) { return mkfifo(kPath.c_str(), 0600) == 0; },
         EINVAL, "not a regular file", false, true},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        if (kCase.kMake)
        {
            ASSERT_TRUE(kCase.kMake(kCase.kPath));
        }
        char acError[512] = "unset";
        int iCode = 0;
        void* hModule = nullptr;
        const auto Load = [&] { hModule = CModuleLoader::Load(kCase.kPath.c_str(), acError, sizeof(acError), &iCode); };
        if (kCase.bPipe)
        {
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kCase.kPath, Load)) << "the loader opened the pipe";
        }
        else
            Load();
        EXPECT_EQ(hModule, nullptr);
        EXPECT_EQ(iCode, kCase.iCode);
        const std::string kError = acError;
        if (kCase.bPrefix)
        {
            // The loader's text follows the path.
            EXPECT_EQ(kError.rfind(kCase.kReason, 0), 0u) << kError;
            EXPECT_GT(kError.size(), kCase.kReason.size()) << kError;
        }
        else
            EXPECT_EQ(kError, kCase.kReason);
    }
    std::error_code kRemoveError;
    fs::remove_all(kFolder, kRemoveError);
}

TEST(PluginParam, CarriesTheBuildStampOfThisBuildUnderItsTag)
{
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    const uint32 uiTag = pManager->PushTag("TarnEngine::PluginParam::PluginParam");
    pManager->PopTag();
    {
        PluginParam kParam;
        ASSERT_NE(kParam.m_pBuildStamp, nullptr);
        EXPECT_EQ(pManager->GetTagBytes(uiTag), sizeof(PluginBuildStamp));
#ifdef NDEBUG
        EXPECT_EQ(kParam.m_pBuildStamp->m_uiDebugBuild, 0u);
#else
        EXPECT_EQ(kParam.m_pBuildStamp->m_uiDebugBuild, 1u);
#endif
        EXPECT_EQ(kParam.m_pBuildStamp->m_ui64PointerSize, 8u);
        EXPECT_EQ(kParam.m_pBuildStamp->m_ui64ToolsetVersion,
                  __GNUC__ * 10000u + __GNUC_MINOR__ * 100u + __GNUC_PATCHLEVEL__);
        EXPECT_TRUE(kParam.MatchesThisBuild());
    }
    EXPECT_EQ(pManager->GetTagBytes(uiTag), 0u);

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

TEST(PluginManager, LoadPluginsStartsMatchingModulesInNameOrder)
{
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    int iEngine = 0;
    int iDataProvider = 0;
    {
        CRecordingManager kManager;
        kManager.SetEngineInstance(&iEngine);
        kManager.SetDataProviderInstance(&iDataProvider);
        kManager.SetEditorPickCallback(&PickStub);
        ASSERT_TRUE(kManager.LoadPlugins(kModulesBase.c_str()));

        const std::vector<std::string> kLines = LoaderLines(kLog);
        ASSERT_EQ(kLines.size(), 8u);
        EXPECT_EQ(kLines[0], "plugin " + kModulesDir + "/" + ModuleFile("TestFolder") +
                                 " skipped: not a regular file (a directory)");
        // The dynamic loader's code and its own reason, which names the file.
        EXPECT_EQ(kLines[1].rfind("Error " + std::to_string(ENOEXEC) + " loading " + ModuleFile("TestBroken") + " : " +
                                      kModulesDir + "/" + ModuleFile("TestBroken") + ": ",
                                  0),
                  0u)
            << kLines[1];
        const std::vector<std::string> kExpected = {
            "plugin " + kModulesDir + "/" + ModuleFile("TestBroken") + " loading : Failed",
            "plugin " + kModulesDir + "/" + ModuleFile("TestGoodA") + " loading : Ok",
            "plugin " + kModulesDir + "/" + ModuleFile("TestGoodB") + " loading : Ok",
            "plugin " + kModulesDir + "/" + ModuleFile("TestNoRelease") + " loading : Failed",
            "Unable to init plugin " + ModuleFile("TestRefuses"),
            "plugin " + kModulesDir + "/" + ModuleFile("TestRefuses") + " loading : Failed",
        };
        EXPECT_EQ(std::vector<std::string>(kLines.begin() + 2, kLines.end()), kExpected);
        EXPECT_EQ(kReports.Texts(),
                  (std::vector<std::string>{"Assertion \"pReleaseEntry\" failed. Plugin " +
                                            ModuleFile("TestNoRelease") + " exports no ReleasePlugin"}));
        // The module without a release entry is never started.
        EXPECT_EQ(s_kInitialized, (std::vector<std::string>{"TestGoodA", "TestGoodB", "TestRefuses"}));

        // The started modules share the host's memory manager: a block one
        // of them allocates is the host's to free, without a report.
        const uint32 uiBlocks = CMemoryManager::GetInstance()->GetNumAllocations();
        const TestModules::SModuleQuery kQuery = Query(kManager, 48);
        ASSERT_EQ(kQuery.uiCount, 2u);
        EXPECT_EQ(CMemoryManager::GetInstance()->GetNumAllocations(), uiBlocks + 2);
        for (const TestModules::SModuleReport& kReport : kQuery.akReports)
        {
            if (!kReport.pName)
                continue;
            EXPECT_EQ(kReport.pMemoryManager, CMemoryManager::GetInstance());
            EXPECT_EQ(kReport.pManager, &kManager);
            EXPECT_EQ(kReport.pEngine, &iEngine);
            EXPECT_EQ(kReport.pDataProvider, &iDataProvider);
            EXPECT_EQ(kReport.pEditorPick, &PickStub);
            EXPECT_EQ(CMemoryManager::GetInstance()->Free(kReport.pBlock), Common::Mem::kErrNone);
        }
        EXPECT_EQ(CMemoryManager::GetInstance()->GetNumAllocations(), uiBlocks);
        EXPECT_EQ(kReports.Count(), 1u);
    }
    // Only the modules that started are released.
    EXPECT_EQ(s_kReleased, (std::vector<std::string>{"TestGoodA", "TestGoodB"}));
}

TEST(PluginManager, LoadPluginsWithoutModulesOrWithPathsTooLong)
{
    namespace fs = std::filesystem;
    struct STempDir
    {
        ~STempDir() { fs::remove_all(kPath); }
        fs::path kPath = fs::temp_directory_path() / ("tarn_plugins_" + std::to_string(getpid()));
    } kTemp;
    const fs::path& kRoot = kTemp.kPath;
    fs::create_directories(kRoot / "Plugins");
    std::ofstream((kRoot / "Plugins" / "PLUGIN_Other.so").string()) << "x";
    {
        TestSupport::CAssertCapture kReports;
        TestSupport::CLogCapture kLog;
        CRecordingManager kManager;
        // Missing directory, or no matching file: false, nothing said.
        EXPECT_FALSE(kManager.LoadPlugins((kRoot.string() + "/missing/").c_str()));
        EXPECT_FALSE(kManager.LoadPlugins((kRoot.string() + "/").c_str()));
        EXPECT_TRUE(kLog.Lines().empty());
        EXPECT_EQ(kReports.Count(), 0u);

        // A directory name that does not fit is refused, not cut.
        EXPECT_FALSE(kManager.LoadPlugins(std::string(300, 'a').c_str()));
        EXPECT_EQ(kReports.Count(), 1u);

        // A module whose full path does not fit is reported and not started.
        fs::path kLong = kRoot;
        while (kLong.string().size() < 240)
            kLong /= "deep_folder";
        fs::create_directories(kLong / "Plugins");
        fs::create_symlink(kModulesDir + "/" + ModuleFile("TestGoodA"), kLong / "Plugins" / ModuleFile("TestGoodA"));
        kReports.Clear();
        EXPECT_TRUE(kManager.LoadPlugins((kLong.string() + "/").c_str()));
        ASSERT_EQ(kReports.Count(), 1u);
        EXPECT_NE(kReports.Texts()[0].find("does not fit 260 bytes"), std::string::npos);
        EXPECT_EQ(LoaderLines(kLog), (std::vector<std::string>{"plugin " + kLong.string() + "/Plugins/" +
                                                               ModuleFile("TestGoodA") + " loading : Failed"}));
        EXPECT_TRUE(s_kInitialized.empty());
    }
}

namespace {

std::vector<std::string> s_kStaticCalls;
bool StaticInit(PluginParam* _pParam)
{
    s_kStaticCalls.push_back("init");
    EXPECT_EQ(_pParam->m_pMemoryManager, CMemoryManager::GetInstance());
    EXPECT_EQ(_pParam->m_pEditorPickCallback, nullptr);
    EXPECT_TRUE(_pParam->MatchesThisBuild());
    return true;
}
bool StaticRefuse(PluginParam*)
{
    s_kStaticCalls.push_back("refuse");
    return false;
}
bool StaticReleaseFirst(IPluginManager* _pManager)
{
    s_pReleasedBy = _pManager;
    s_kReleased.push_back("first");
    return true;
}
bool StaticReleaseLast(IPluginManager*)
{
    s_kReleased.push_back("last");
    return true;
}

} // namespace

TEST(PluginManager, StaticPluginsAndReleaseInStartOrder)
{
    TestSupport::CAssertCapture kReports;
    s_kStaticCalls.clear();
    CRecordingManager* pManager = TARN_NEW(CRecordingManager);
    pManager->SetEditorPickCallback(&PickStub);
    // A missing entry refuses the plug-in before it starts.
    EXPECT_FALSE(pManager->RegisterStaticPlugin(&StaticInit, nullptr));
    EXPECT_FALSE(pManager->RegisterStaticPlugin(nullptr, &StaticReleaseFirst));
    EXPECT_TRUE(s_kStaticCalls.empty());
    // A refusing plug-in keeps no release entry.
    EXPECT_FALSE(pManager->RegisterStaticPlugin(&StaticRefuse, &StaticReleaseFirst));

    EXPECT_TRUE(pManager->RegisterStaticPlugin(&StaticInit, &StaticReleaseFirst));
    EXPECT_TRUE(pManager->LoadPlugins(kModulesBase.c_str()));
    EXPECT_TRUE(pManager->RegisterStaticPlugin(&StaticInit, &StaticReleaseLast));
    EXPECT_EQ(s_kStaticCalls, (std::vector<std::string>{"refuse", "init", "init"}));
    IPluginManager* pInterface = pManager;
    TARN_DELETE(pManager);
    EXPECT_EQ(s_kReleased, (std::vector<std::string>{"first", "TestGoodA", "TestGoodB", "last"}));
    EXPECT_EQ(s_pReleasedBy, pInterface);
}

TEST(PluginManager, ModulesRefuseAnotherBuildAndBuildThroughTheManager)
{
    char acError[256];
    void* hModule =
        CModuleLoader::Load((kModulesDir + "/" + ModuleFile("TestGoodB")).c_str(), acError, sizeof(acError));
    ASSERT_NE(hModule, nullptr) << acError;
    const auto pInit = reinterpret_cast<InitPluginFunc>(CModuleLoader::FindSymbol(hModule, "InitPlugin"));
    const auto pRelease = reinterpret_cast<ReleasePluginFunc>(CModuleLoader::FindSymbol(hModule, "ReleasePlugin"));
    ASSERT_TRUE(pInit && pRelease);

    CRecordingManager kManager;
    PluginParam kParam;
    kParam.m_pPluginManager = &kManager;
    kParam.m_pMemoryManager = CMemoryManager::GetInstance();
    ++kParam.m_pBuildStamp->m_ui64ToolsetVersion;
    EXPECT_FALSE(pInit(&kParam));
    EXPECT_EQ(s_kInitialized, (std::vector<std::string>{"TestGoodB"}));
    EXPECT_TRUE(kManager.GetComponentBuilders().IsEmpty());
    --kParam.m_pBuildStamp->m_ui64ToolsetVersion;
    ASSERT_TRUE(pInit(&kParam));
    ASSERT_EQ(kManager.GetComponentBuilders().GetSize(), 1u);

    // An add-in of the module's type: the module makes the data, the host
    // deletes it through the interface. (A first round registers the
    // allocation tags for good.)
    CMemoryManager* pMemory = CMemoryManager::GetInstance();
    SJson kAddIn(R"({"Type":"TestGoodB","Json":"{\"Value\":7}"})");
    TarnRenderer::TArray<IPluginComponentData*> kData;
    uint32 uiBlocks = 0;
    for (int iRound = 0; iRound < 2; ++iRound)
    {
        uiBlocks = pMemory->GetNumAllocations();
        EXPECT_TRUE(kManager.BuildComponentData("PrefabContainer", kAddIn.m_kDocument, nullptr, nullptr, kData));
        ASSERT_EQ(kData.GetSize(), 1u);
        EXPECT_EQ(kData[0]->GetTypeID(), GenerateUIntIdFromString("TestGoodB"));
        EXPECT_EQ(static_cast<TestModules::CValueData*>(kData[0])->GetParam().iValue, 7);
        TARN_DELETE(kData[0]);
        kData.Clear();
    }
    EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks);

    int iLink = 0;
    auto* pLink = reinterpret_cast<TarnRenderer::Link*>(&iLink);
    ASSERT_NE(kManager.BuildComponentByName("TestGoodB", nullptr, pLink, nullptr), nullptr);
    PluginComponentBuilder* pBuilder = kManager.GetComponentBuilders().GetAt(0).Value;
    EXPECT_EQ(pBuilder->links.GetSize(), 1u);
    kManager.DestroyComponent(GenerateUIntIdFromString("TestGoodB"), nullptr, pLink, nullptr);
    EXPECT_EQ(pBuilder->links.GetSize(), 0u);
    kManager.UpdateComponentBuilders(nullptr, StepTime{16});
    kManager.UpdateComponentBuilders(nullptr, StepTime{17});
    EXPECT_EQ(Query(kManager).akReports[0].uiUpdatedMs, 33u);

    EXPECT_TRUE(pRelease(&kManager));
    EXPECT_TRUE(kManager.GetComponentBuilders().IsEmpty());
}

namespace {

void CountCall(void* _pCounter)
{
    ++*static_cast<int*>(_pCounter);
}
void CountTen(void* _pCounter)
{
    *static_cast<int*>(_pCounter) += 10;
}
BasePluginManager* s_pSelfRemovingManager = nullptr;
void RemoveSelf(void* _pCounter)
{
    *static_cast<int*>(_pCounter) += 100;
    s_pSelfRemovingManager->UnregisterStepCallback("Step", &RemoveSelf);
}

} // namespace

TEST(PluginManager, StepCallbacksKeepDuplicatesAndDropEmptyLists)
{
    BasePluginManager kManager;
    CMemoryManager* pMemory = CMemoryManager::GetInstance();
    // The first list registers its allocation tag for good.
    kManager.RegisterStepCallback("Step", &CountCall);
    kManager.UnregisterStepCallback("Step", &CountCall);
    const uint32 uiBlocks = pMemory->GetNumAllocations();
    int iCount = 0;
    kManager.RegisterStepCallback("Step", &CountCall);
    kManager.RegisterStepCallback("Step", &CountCall);
    kManager.UnregisterStepCallback("Step", &CountCall);
    kManager.CallStepCallbacks("Step", &iCount);
    EXPECT_EQ(iCount, 1);
    // Unknown steps and callbacks change nothing.
    kManager.UnregisterStepCallback("Step", &CountTen);
    kManager.UnregisterStepCallback("Other", &CountCall);
    kManager.CallStepCallbacks("Other", &iCount);
    kManager.CallStepCallbacks("step", &iCount);
    EXPECT_EQ(iCount, 1);
    EXPECT_EQ(kManager.GetNumStepCallbacks("Step"), 1u);
    // The last unregistration deletes the list.
    kManager.UnregisterStepCallback("Step", &CountCall);
    EXPECT_EQ(kManager.GetNumStepCallbacks("Step"), 0u);
    EXPECT_EQ(pMemory->GetNumAllocations(), uiBlocks);

    // A callback removing itself while it runs: the next one still runs.
    s_pSelfRemovingManager = &kManager;
    iCount = 0;
    kManager.RegisterStepCallback("Step", &RemoveSelf);
    kManager.RegisterStepCallback("Step", &CountTen);
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
    struct SCase
    {
        const char* pContainer;
        const char* pAddIn;
        std::vector<int> kToX;
        std::vector<int> kToZ;
        const char* pReport;
    };
    const SCase akCases[] = {
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {1}, {}, nullptr},
        {"WorldContainer", R"({"Type":"X","Json":"{\"Value\":1}"})", {}, {}, nullptr},
        {"PrefabContainer", R"({"Type":"x","Json":"{\"Value\":1}"})", {}, {}, nullptr},
        {"WorldContainer", R"({"Type":"Z","Json":"{\"Value\":2}","Other":0})", {}, {2}, nullptr},
        {"PrefabContainer", R"({"Type":"X","Json":"{\"Value\":"})", {}, {}, kParseError},
        {"PrefabContainer", R"({"Type":"X\u0000","Json":"{}"})", {}, {}, nullptr},
        {"PrefabContainer",
         R"({"Type":"X"})",
         {},
         {},
         "Assertion \"pType && pJson\" failed. Add-in object of a "
         "PrefabContainer needs the string members \"Type\" and \"Json\""},
        {"PrefabContainer",
         R"({"Type":"X","Json":{}})",
         {},
         {},
         "Assertion \"pType && pJson\" failed. Add-in object of "
         "a PrefabContainer needs the string members \"Type\" and \"Json\""},
    };
    for (const SCase& kCase : akCases)
    {
        CRecordingBuilder kX("X", "PrefabContainer");
        CRecordingBuilder kZ("Z", "WorldContainer");
        BasePluginManager kManager;
        kManager.RegisterComponentBuilder(&kX);
        kManager.RegisterComponentBuilder(&kZ);
        TestSupport::CAssertCapture kReports;
        SJson kAddIn(kCase.pAddIn);
        TarnRenderer::TArray<IPluginComponentData*> kOut;
        EXPECT_TRUE(kManager.BuildComponentData(kCase.pContainer, kAddIn.m_kDocument, nullptr, nullptr, kOut));
        EXPECT_EQ(kX.m_kDocuments, kCase.kToX) << kCase.pAddIn;
        EXPECT_EQ(kZ.m_kDocuments, kCase.kToZ) << kCase.pAddIn;
        EXPECT_EQ(kReports.Texts(),
                  kCase.pReport ? std::vector<std::string>{kCase.pReport} : std::vector<std::string>{})
            << kCase.pAddIn;
    }

    // Text nested beyond the parser's limit is malformed text too.
    CRecordingBuilder kX("X", "PrefabContainer");
    CRecordingManager kManager;
    kManager.RegisterComponentBuilder(&kX);
    const std::string kDeep = R"({"Type":"X","Json":")" + std::string(300, '[') + R"("})";
    TestSupport::CAssertCapture kReports;
    SJson kAddIn(kDeep.c_str());
    TarnRenderer::TArray<IPluginComponentData*> kOut;
    EXPECT_TRUE(kManager.BuildComponentData("PrefabContainer", kAddIn.m_kDocument, nullptr, nullptr, kOut));
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{kParseError});

    // A registry entry without a builder is reported and skipped.
    kReports.Clear();
    kManager.InsertBuilderEntry(0, nullptr);
    SJson kValid(R"({"Type":"X","Json":"{\"Value\":3}"})");
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

} // namespace

TEST(PluginManager, CustomNodesBelongToTheManager)
{
    CNodeFactory kFirst("FirstNode");
    CNodeFactory kSecond("SecondNode");
    {
        BasePluginManager kManager;
        kManager.RegisterCustomNode(&kFirst);
        kManager.RegisterCustomNode(&kSecond);
        kManager.RegisterCustomNode(&kSecond); // the earlier node is replaced and deleted
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

TEST(PluginManager, FilesNamedLikeModulesThatAreNotModulesAreSkippedWithTheirReason)
{
    CTempPlugins kTemp;
    ASSERT_TRUE(kTemp.IsReady());
    struct SEntry
    {
        std::string kName;
        std::function<bool(const std::string&)> kMake;
        // The reason of its "skipped" line; empty for a module that loads.
        std::string kReason;
    };
    const auto Link = [](const std::string& kTarget) {
        return [kTarget](const std::string& kPath) { return symlink(kTarget.c_str(), kPath.c_str()) == 0; };
    };
    const std::vector<SEntry> kEntries = {
        {ModuleFile("A_Dangling"), Link(kTemp.Path("nowhere.so")), "dangling symbolic link"},
        {ModuleFile("B_Loop"), Link(kTemp.Path(ModuleFile("C_Loop"))), "symbolic link loop"},
        {ModuleFile("C_Loop"), Link(kTemp.Path(ModuleFile("B_Loop"))), "symbolic link loop"},
        {ModuleFile("D_Folder"), [](const std::string& kPath) { return mkdir(kPath.c_str(), 0700) == 0; },
         "not a regular file (a directory)"},
        {ModuleFile("E_LinkToFolder"), Link(kTemp.Path(ModuleFile("D_Folder"))), "not a regular file (a directory)"},
        {ModuleFile("F_Pipe"), [](const std::string& kPath) { return mkfifo(kPath.c_str(), 0600) == 0; },
         "not a regular file (a named pipe)"},
        {ModuleFile("TestGoodA"), Link(kModulesDir + "/" + ModuleFile("TestGoodA")), ""},
    };
    std::vector<std::string> kSkipLines;
    for (const SEntry& kEntry : kEntries)
    {
        ASSERT_TRUE(kEntry.kMake(kTemp.Path(kEntry.kName))) << kEntry.kName;
        if (!kEntry.kReason.empty())
            kSkipLines.push_back("plugin " + kTemp.Path(kEntry.kName) + " skipped: " + kEntry.kReason);
    }

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
    // A folder holding no module still says what it skipped.
    ASSERT_EQ(unlink(kTemp.Path(ModuleFile("TestGoodA")).c_str()), 0);
    {
        TestSupport::CLogCapture kLog;
        CRecordingManager kManager;
        EXPECT_FALSE(kManager.LoadPlugins(kTemp.Base().c_str()));
        EXPECT_EQ(LoaderLines(kLog), kSkipLines);
    }
    EXPECT_EQ(kReports.Count(), 0u);
}

// Two files of one plug-in: the first to load keeps its builder and its
// state; the second is refused naming both files, released at once when it
// had started (its unregistration cannot take the first one's builder), and
// unloaded.
TEST(PluginManager, ASecondModuleOfTheSamePluginIsRefusedAndTheFirstKeepsWorking)
{
    namespace fs = std::filesystem;
    const std::string kFirstName = ModuleFile("TestGoodA");
    const std::string kSecondName = ModuleFile("TestGoodA_copy"); // sorts after the first
    enum class ESecond
    {
        Copy,
        SymbolicLink,
        HardLink,
        None,
    };
    struct SCase
    {
        const char* pLabel;
        ESecond eSecond;
        // The host registers a builder named like the module's first.
        bool bHostBuilder;
        // The refusal line, after "plugin <second> refused: "; {first} stands
        // for the first file's path.
        std::string kRefusal;
        std::vector<std::string> kInitialized;
        std::vector<std::string> kReleasedAtLoad;
    };
    const std::string kBuilderTaken = "component builder \"TestGoodA\" is already registered by ";
    const SCase akCases[] = {
        {"a copy", ESecond::Copy, false, kBuilderTaken + "{first}", {"TestGoodA", "TestGoodA"}, {"TestGoodA"}},
        {"a symbolic link", ESecond::SymbolicLink, false, "same module as {first}", {"TestGoodA"}, {}},
        {"a hard link", ESecond::HardLink, false, "same module as {first}", {"TestGoodA"}, {}},
        {"a builder of the host", ESecond::None, true, kBuilderTaken + "the host", {"TestGoodA"}, {"TestGoodA"}},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        CTempPlugins kTemp;
        ASSERT_TRUE(kTemp.IsReady());
        // A copy of its own: a module file no other test has loaded.
        const std::string kFirst = kTemp.Path(kFirstName);
        const std::string kSecond = kTemp.Path(kSecondName);
        fs::copy_file(kModulesDir + "/" + kFirstName, kFirst);
        std::error_code kError;
        switch (kCase.eSecond)
        {
        case ESecond::Copy:
            fs::copy_file(kFirst, kSecond, kError);
            break;
        case ESecond::SymbolicLink:
            fs::create_symlink(kFirst, kSecond, kError);
            break;
        case ESecond::HardLink:
            fs::create_hard_link(kFirst, kSecond, kError);
            break;
        case ESecond::None:
            break;
        }
        ASSERT_FALSE(kError) << kError.message();
        const std::string kRefused = kCase.bHostBuilder ? kFirst : kSecond;
        std::string kRefusal = kCase.kRefusal;
        if (const size_t uiAt = kRefusal.find("{first}"); uiAt != std::string::npos)
            kRefusal.replace(uiAt, 7, kFirst);

        CRecordingBuilder kHostBuilder("TestGoodA", "PrefabContainer");
        TestSupport::CAssertCapture kReports;
        {
            TestSupport::CLogCapture kLog;
            CRecordingManager kManager;
            if (kCase.bHostBuilder)
                kManager.RegisterComponentBuilder(&kHostBuilder);
            EXPECT_EQ(kManager.LoadPlugins(kTemp.Base().c_str()), true);

            std::vector<std::string> kExpected;
            if (!kCase.bHostBuilder)
                kExpected.push_back("plugin " + kFirst + " loading : Ok");
            kExpected.push_back("plugin " + kRefused + " refused: " + kRefusal);
            kExpected.push_back("plugin " + kRefused + " loading : Failed");
            EXPECT_EQ(LoaderLines(kLog), kExpected);
            EXPECT_EQ(s_kInitialized, kCase.kInitialized);
            EXPECT_EQ(s_kReleased, kCase.kReleasedAtLoad);
            // A refused copy is unloaded; a link is the first module itself.
            if (kCase.eSecond == ESecond::Copy)
            {
                EXPECT_FALSE(IsModuleLoaded(kSecond));
            }
            EXPECT_EQ(IsModuleLoaded(kFirst), !kCase.bHostBuilder);

            // The builder that stayed is the first one registered, and is
            // the one stepped.
            ASSERT_EQ(kManager.GetComponentBuilders().GetSize(), 1u);
            kManager.UpdateComponentBuilders(nullptr, StepTime{16});
            if (kCase.bHostBuilder)
            {
                EXPECT_EQ(kManager.GetComponentBuilders().GetAt(0).Value, &kHostBuilder);
                EXPECT_EQ(kHostBuilder.m_kUpdates.size(), 1u);
                EXPECT_EQ(kManager.GetNumStartedPlugins(), 0u);
                EXPECT_EQ(Query(kManager).uiCount, 0u);
            }
            else
            {
                EXPECT_EQ(kManager.GetNumStartedPlugins(), 1u);
                const TestModules::SModuleQuery kQuery = Query(kManager);
                ASSERT_EQ(kQuery.uiCount, 1u);
                EXPECT_EQ(kQuery.akReports[0].uiUpdatedMs, 16u);
            }
            if (kCase.bHostBuilder)
                kManager.UnregisterComponentBuilder(kHostBuilder.m_kDesc.m_uiComponentId);
        }
        std::vector<std::string> kReleased = kCase.kReleasedAtLoad;
        if (!kCase.bHostBuilder)
            kReleased.push_back("TestGoodA");
        EXPECT_EQ(s_kReleased, kReleased);
        EXPECT_EQ(kReports.Count(), 0u);
    }
}

namespace {

// One remote call run on this (the engine) thread, and the JSON of its reply.
std::string Call(CommandManager& kCommands, const std::string& kClass, const std::string& kMethod, int iInstance,
                 const std::string& kArgs = "")
{
    const std::string kRequest = "{\"ClassName\":\"" + kClass + "\",\"MethodName\":\"" + kMethod +
                                 "\",\"InstanceID\":" + std::to_string(iInstance) +
                                 ",\"WaitAck\":true,\"UseTcpThread\":false" + kArgs + "}";
    CReturnBuffer kReply;
    kCommands.ExecuteJSon(kRequest.c_str(), &kReply);
    return std::string(kReply.GetText(), kReply.GetLength());
}

// The member of a reply's "Res" object, or -1.
double ResultMember(const std::string& kReply, const char* pMember)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject() || !kDocument.HasMember("Res") ||
        !kDocument["Res"].IsObject() || !kDocument["Res"].HasMember(pMember) || !kDocument["Res"][pMember].IsNumber())
        return -1.0;
    return kDocument["Res"][pMember].GetDouble();
}

} // namespace

// The real module twice in one plug-in folder: the copy is refused before it
// hooks anything into the host (commands, remote singleton), is unloaded,
// and the first one serves the remote road and walks the demo character.
TEST(PluginManager, ASecondGaitModuleIsRefusedAndTheFirstServesRemoteCalls)
{
    namespace fs = std::filesystem;
    CTempPlugins kTemp;
    ASSERT_TRUE(kTemp.IsReady());
    const std::string kFirst = kTemp.Path(ModuleFile("Gait"));
    const std::string kCopy = kTemp.Path(ModuleFile("Gait_copy"));
    fs::copy_file(TARN_GAIT_MODULE_PATH, kFirst);
    fs::copy_file(TARN_GAIT_MODULE_PATH, kCopy);

    static const std::string s_kDataDir = TARN_DATA_DIR;
    const std::string kBase = kTemp.Base();
    SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.pPluginBasePath = kBase.c_str();
    kStartup.bLoadPlugins = true;
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = 0;
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine, nullptr);
    ASSERT_NE(pEngine->GetEngineNet(), nullptr);
    EXPECT_EQ(LoaderLines(kLog),
              (std::vector<std::string>{
                  "plugin " + kFirst + " loading : Ok",
                  "plugin " + kCopy + " refused: component builder \"Gait\" is already registered by " + kFirst,
                  "plugin " + kCopy + " loading : Failed",
              }));
    EXPECT_FALSE(kLog.Contains("Instance has already been set"));
    EXPECT_EQ(pEngine->GetPluginManager()->GetNumStartedPlugins(), 1u);
    EXPECT_TRUE(IsModuleLoaded(kFirst));
    EXPECT_FALSE(IsModuleLoaded(kCopy));

    CommandManager& kCommands = *pEngine->GetEngineNet()->GetCommandManager();
    EXPECT_EQ(Call(kCommands, "GaitComponentBuilderRpc", "GetRPCSingleton", 0), "{\"Res\":{\"InstanceID\":0}}");
    const int iManager = static_cast<int>(ResultMember(Call(kCommands, "Root", "GetPrefabManager", 0), "InstanceID"));
    const int iPrefab = static_cast<int>(ResultMember(
        Call(kCommands, "PrefabManager", "LoadFile", iManager, ",\"Arg0\":\"demo/biped.prefab.json\""), "InstanceID"));
    ASSERT_GE(iPrefab, 0);
    const int iGait = static_cast<int>(ResultMember(Call(kCommands, "GaitComponentBuilderRpc", "GetPrefabComponent", 0,
                                                         ",\"Arg0\":{\"InstanceID\":" + std::to_string(iPrefab) + "}"),
                                                    "InstanceID"));
    ASSERT_GE(iGait, 0);
    EXPECT_EQ(Call(kCommands, "GaitComponentRpc", "Activate", iGait, ",\"Arg0\":true"), "{}");
    Call(kCommands, "GaitComponentRpc", "SetRotation", iGait, ",\"Arg0\":{\"x\":0,\"y\":0,\"z\":0,\"w\":1}");
    Call(kCommands, "GaitComponentRpc", "SetSpeed", iGait, ",\"Arg0\":1.5");
    EXPECT_EQ(Call(kCommands, "GaitComponentRpc", "IsActive", iGait), "{\"Res\":true}");
    const double fStartX = ResultMember(Call(kCommands, "Prefab", "GetPosition", iPrefab), "x");
    for (int iStep = 0; iStep < 90; ++iStep)
        pEngine->Step(16);
    const double fEndX = ResultMember(Call(kCommands, "Prefab", "GetPosition", iPrefab), "x");
    EXPECT_GT(fEndX, fStartX + 0.3) << fStartX << " -> " << fEndX;

    Call(kCommands, "GaitComponentRpc", "ReleaseRef", iGait);
    Call(kCommands, "Prefab", "ReleaseRef", iPrefab);
    Call(kCommands, "PrefabManager", "ReleaseRef", iManager);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{});
    CEngine::DestroyInstance();
}
