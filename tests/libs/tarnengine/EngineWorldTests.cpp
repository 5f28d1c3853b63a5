// The engine, its data provider and its world: prefabs, instances and their components, start-up and shutdown.
#include <filesystem>
#include <fstream>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/Skeleton.h"
#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "Math/SFMT/SFMT.h"
#include "Scene/UserDataHelper.h"
#include "World/PrefabInstance.h"
#include "World/World.h"
#include "libs/common/TempFolder.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/ReportCapture.h"

using DataProvider::DataPoviderInterface;
using TarnEngine::CEngine;
using TarnEngine::IPluginComponentData;
using TarnEngine::PluginJsonValue;
using TarnEngine::PrefabContainer;
using TarnEngine::PrefabInstance;
using Strings = std::vector<std::string>;

namespace {

const std::string kDataDir = TARN_DATA_DIR;
constexpr uint32 kProbeTag = TarnRenderer::MakeTag("PROB");

// What the probe plug-in's objects saw; updates note a watched control's time.
struct SProbeLog
{
    uint32 uiDataDestroyed = 0, uiBuilt = 0, uiReleased = 0, uiDestroyed = 0, uiActorsAliveAtDestruction = 0;
    std::vector<uint32> kUpdateMs;
    const TarnAnim::AnimationControl* pWatchedControl = nullptr;
    std::vector<float> kWatchedTimesAtUpdate;
};

struct CProbeData : TestModules::CValueData
{
    explicit CProbeData(SProbeLog* pLog) : m_pLog(pLog) {}
    ~CProbeData() override { ++m_pLog->uiDataDestroyed; }
    SProbeLog* m_pLog;
};

// Kept by value in its link's "PROB" record: a byte copy of it is the same component.
struct CProbeComponent : TarnEngine::PluginComponent
{
    ~CProbeComponent() override
    {
        if (!m_pLog)
            return;
        ++m_pLog->uiDestroyed;
        if (m_pWorld->pAnimManager->FindActor(m_pWorld->uiWorldIndex, m_pLink))
            ++m_pLog->uiActorsAliveAtDestruction;
    }
    IPluginComponentData* GetData() override { return m_pData; }
    SProbeLog* m_pLog = nullptr;
    IPluginComponentData* m_pData = nullptr;
    TarnRenderer::Link* m_pLink = nullptr;
    const TarnEngine::WorldContext* m_pWorld = nullptr;
};

CProbeComponent* GetProbe(const TarnRenderer::Link* pLink)
{
    TarnRenderer::UserDataHeader* pHeader = TarnRenderer::GetUserData<CProbeComponent>(pLink, kProbeTag);
    return pHeader ? TarnRenderer::GetUserDataElement<CProbeComponent>(pHeader, 0) : nullptr;
}

// Builds probes under a name of the test's choice ("Gait" stands in for the real builder).
class CProbeBuilder : public TestModules::CRecordingBuilder
{
public:
    CProbeBuilder(const char* pName, SProbeLog& kLog) : CRecordingBuilder(pName, "PrefabContainer"), m_kLog(kLog) {}
    TarnEngine::PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                                IPluginComponentData* _pData) override
    {
        DestroyComponent(_pLink);
        const TarnEngine::WorldContext* pWorld = static_cast<PrefabInstance*>(_pPrefabInstance)->GetWorldContext();
        if (!GetProbe(_pLink))  // unbound: the original goes without counting
            TarnRenderer::AddUserData(*pWorld->pUserDataPool, _pLink, kProbeTag, CProbeComponent());
        CProbeComponent* pComponent = GetProbe(_pLink);
        pComponent->m_pLog = &m_kLog;
        pComponent->m_pData = _pData;
        pComponent->m_pLink = _pLink;
        pComponent->m_pWorld = pWorld;
        links.Add(_pLink);
        ++m_kLog.uiBuilt;
        m_pPrefab = _pPrefabInstance;
        return pComponent;
    }
    bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        auto* pData = TARN_NEW(CProbeData, &m_kLog);
        pData->Load(kDocument, _pContextA, _pContextB);
        return kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId)), true;
    }
    void UpdateComponents(void*, TarnEngine::StepTime kTime) override
    {
        m_kLog.kUpdateMs.insert(m_kLog.kUpdateMs.end(), links.GetSize(), kTime.uiElapsedMs);
        if (m_kLog.pWatchedControl)
            m_kLog.kWatchedTimesAtUpdate.push_back(m_kLog.pWatchedControl->GetTime());
    }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        const uint32 uiCount = links.GetSize();
        CRecordingBuilder::DestroyComponent(_pLink);
        m_kLog.uiReleased += uiCount - links.GetSize();
    }

private:
    SProbeLog& m_kLog;
};

class EngineWorldTest : public testing::Test
{
protected:
    void TearDown() override
    {
        CEngine::DestroyInstance();
        DataPoviderInterface::Destroy();
    }
};

}  // namespace

TEST(DataProvider, ResolvesPathsAgainstTheDataRootAndBindsTheSingleton)
{
    // Root, path, capacity of the result, result (null: refused with a report).
    const std::tuple<const char*, const char*, size_t, const char*> akCases[] = {
        {"/data", "/abs/file.json", 64, "/abs/file.json"},
        {"/data", "demo/biped.prefab.json", 64, "/data/demo/biped.prefab.json"},
        {"/data///", "a.json", 64, "/data/a.json"},
        {"/", "a.json", 64, "/a.json"},
        {"", "a.json", 64, "a.json"},
        {"/data", "a.json", 13, "/data/a.json"},  // 12 characters and the terminator
        {"/data", "a.json", 12, nullptr},
        {"/data", "/abcdefghij", 11, nullptr},
        {"/data", "", 64, nullptr},
    };
    DataPoviderInterface kProvider;
    for (const auto& [pRoot, pPath, uiCapacity, pExpected] : akCases)
    {
        SCOPED_TRACE(std::string(pRoot) + " + " + pPath);
        ASSERT_TRUE(kProvider.SetDataRoot(pRoot));
        char acOut[64] = "unchanged";
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(kProvider.ResolvePath(pPath, acOut, uiCapacity), pExpected != nullptr);
        EXPECT_STREQ(acOut, pExpected ? pExpected : "");
        EXPECT_EQ(kCapture.Count(), pExpected ? 0u : 1u);
    }
    // A root that does not fit is refused; the previous one stays.
    TestSupport::CAssertCapture kCapture;
    EXPECT_FALSE(kProvider.SetDataRoot(std::string(DataPoviderInterface::kMaxRootLength, 'r').c_str()));
    EXPECT_EQ(kCapture.Count(), 1u);
    EXPECT_STREQ(kProvider.GetDataRoot(), "/data");
    // No singleton is reported; a module's binding to the host's instance is only let go.
    EXPECT_EQ(DataPoviderInterface::GetInstance(), nullptr);
    EXPECT_TRUE(kCapture.Has("Assertion \"m_pInstance != 0\" failed. DataProvider is not instanciated !!!"));
    DataPoviderInterface::SetInstance(&kProvider);
    EXPECT_EQ(DataPoviderInterface::GetInstance(), &kProvider);
    DataPoviderInterface::Destroy();
    EXPECT_FALSE(DataPoviderInterface::HasInstance());
}

TEST_F(EngineWorldTest, ModeNamesGiveModesAndThePluginBasePathRule)
{
    const char* const pToolchain = "../Toolchain/";
    // Mode name, plug-in base path, mode, base path used, report.
    const std::tuple<const char*, const char*, uint32, const char*, const char*> akCases[] = {
        {nullptr, nullptr, 0, pToolchain, nullptr},
        {"", nullptr, 0, pToolchain, nullptr},
        {"light_editor", nullptr, 6, "", nullptr},
        {"World_Editor", nullptr, 0, pToolchain, "Assertion \"false\" failed. Unknown TarnEngine mode World_Editor"},
        {"game", "", 0, pToolchain, "Assertion \"false\" failed. Unknown TarnEngine mode game"},
        {"world_editor", "/opt/host/", 4, "/opt/host/", nullptr},
        {nullptr, "/opt/host/", 0, "/opt/host/", nullptr},
    };
    for (const auto& [pModeName, pBasePath, uiMode, pExpectedBase, pReport] : akCases)
    {
        SCOPED_TRACE(pModeName ? pModeName : "(no mode)");
        TarnEngine::SEngineStartup kStartup;
        kStartup.pModeName = pModeName;
        kStartup.pPluginBasePath = pBasePath;
        TestSupport::CAssertCapture kCapture;
        CEngine* pEngine = CEngine::CreateInstance(kStartup);
        EXPECT_EQ(pEngine->GetMode(), uiMode);
        EXPECT_STREQ(pEngine->GetPluginBasePath(), pExpectedBase);
        EXPECT_EQ(kCapture.Texts(), pReport ? Strings{pReport} : Strings{});
        CEngine::DestroyInstance();
    }
    const char* apArgv[] = {"host", "-mode", "light_editor", "-other"};
    TarnEngine::SEngineStartup kStartup;
    kStartup.ReadCommandLine(4, apArgv);
    EXPECT_STREQ(kStartup.pModeName, "light_editor");
    // First use without start-up parameters: the default engine.
    CEngine* pDefault = CEngine::GetInstance();
    EXPECT_EQ(pDefault->GetMode(), 0u);
    EXPECT_EQ(CEngine::GetInstance(), pDefault);
}

// A host's data provider with a relative root is used and kept; resolved paths are relative too.
TEST_F(EngineWorldTest, DemoPrefabLoadsThroughAHostsDataProvider)
{
    const std::string kRoot = std::filesystem::relative(kDataDir, std::filesystem::current_path()).string();
    DataPoviderInterface* pHost = DataPoviderInterface::Create();
    ASSERT_TRUE(pHost->SetDataRoot(kRoot.c_str()));
    CEngine* pEngine = CEngine::CreateInstance(TarnEngine::SEngineStartup{});
    EXPECT_EQ(pEngine->GetDataProvider(), pHost);
    TestSupport::CAssertCapture kCapture;
    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pPrefab, nullptr);
    EXPECT_STREQ(pPrefab->GetName(), "Biped");
    EXPECT_EQ(std::string(pPrefab->GetPath()), kRoot + "/demo/biped.prefab.json");
    EXPECT_EQ(std::string(pPrefab->GetAnimSetPath()), kRoot + "/demo/biped.animset.json");
    EXPECT_NE(pPrefab->GetSkeleton(), nullptr);
    EXPECT_EQ(pEngine->LoadPrefab("demo/biped.prefab.json"), pPrefab);
    EXPECT_EQ(pEngine->FindPrefab("demo/biped.prefab.json"), pPrefab);
    EXPECT_EQ(pEngine->GetPrefabCount(), 1u);
    EXPECT_EQ(kCapture.Count(), 0u);
    CEngine::DestroyInstance();
    EXPECT_EQ(DataPoviderInterface::GetInstance(), pHost);
}

TEST_F(EngineWorldTest, MalformedAddInsAreSkippedAndTheOthersLoad)
{
    const std::string kPath = testing::TempDir() + "addins.prefab.json";
    std::ofstream(kPath)
        << R"({"Name":"Crate","AddInObjects":[{"Type":"Probe","Json":"{\"Value\":1}"}, {"Type":"Probe"},
        {"Type":"Probe","Json":"{"}, "Probe", {"Type":7,"Json":"{}"}, {"Type":"Other","Json":"{\"Value\":3}"},
        {"Type":"Probe","Json":"{\"Value\":2}"}]})";
    SProbeLog kProbes;
    CProbeBuilder kBuilder("Probe", kProbes);
    CEngine* pEngine = CEngine::CreateInstance(TarnEngine::SEngineStartup());
    pEngine->GetPluginManager()->RegisterComponentBuilder(&kBuilder);
    TestSupport::CAssertCapture kCapture;
    TestSupport::CLogCapture kLog;
    PrefabContainer* pPrefab = pEngine->LoadPrefab(kPath.c_str());
    remove(kPath.c_str());
    ASSERT_NE(pPrefab, nullptr);
    std::vector<int32> kValues;
    for (const IPluginComponentData* pData : pPrefab->GetPluginData())
        kValues.push_back(static_cast<const CProbeData*>(pData)->GetParam());
    EXPECT_EQ(kValues, (std::vector<int32>{1, 2}));
    // An add-in of a type no builder takes is not malformed: not counted.
    EXPECT_EQ(pPrefab->GetSkippedAddInCount(), 4u);
    for (const char* pLine : {"AddInObjects[1]: \"Json\" is missing; the add-in is skipped",
                              "AddInObjects[2]: \"Json\" is not valid JSON text: Missing a name for object member. at "
                              "offset 1; the add-in is skipped",
                              "AddInObjects[3]: expected an object; the add-in is skipped",
                              "AddInObjects[4]: \"Type\" is not a string; the add-in is skipped"})
        EXPECT_TRUE(kLog.Has(kPath + ": " + pLine)) << pLine;
    EXPECT_EQ(kCapture.Count(), 0u);
    // Without a character, no actor; both data objects build on the one link, whose component goes with it.
    PrefabInstance* pInstance = pEngine->InstancePrefab(pPrefab, {}, Math::Quaternion::Identity());
    ASSERT_NE(pInstance, nullptr);
    EXPECT_EQ(pInstance->GetAnimActor(), nullptr);
    EXPECT_EQ(pInstance->GetSkeletonInstance(), kInvalidIndex);
    EXPECT_EQ(kProbes.uiBuilt, 2u);
    EXPECT_TRUE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(kProbes.uiDestroyed, 1u);
    CEngine::DestroyInstance();
}

// An add-in may name the file of its document (relative to the data root, or absolute) instead of holding its text;
// the builder gets the file's document. A file that cannot be used skips its add-in with a line naming the prefab,
// the member and the file. Every add-in that gives no usable data is one of the prefab's add-in problems.
TEST_F(EngineWorldTest, AddInsMayNameTheFileOfTheirDocument)
{
    CommonTests::STempFolder kRoot;
    const std::string kDocs = kRoot.kPath + "/docs/";
    std::filesystem::create_directory(kDocs);
    CommonTests::WriteFile(kDocs + "seven.json", R"({"Value":7})");
    CommonTests::WriteFile(kDocs + "broken.json", "{");
    CommonTests::WriteFile(kRoot.kPath + "/crate.prefab.json",
                           R"({"Name":"Crate","AddInObjects":[{"Type":"Probe","JsonFile":"docs/seven.json"},
        {"Type":"Probe","JsonFile":")" +
                               kDocs + R"(seven.json"}, {"Type":"Probe","JsonFile":"docs/missing.json"},
        {"Type":"Probe","JsonFile":"docs/broken.json"}, {"Type":"Probe","JsonFile":"docs/seven.json","Json":"{}"},
        {"Type":"Probe","JsonFile":5}, {"Type":"Other","Json":"{}"}]})");
    SProbeLog kProbes;
    CProbeBuilder kBuilder("Probe", kProbes);
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kRoot.kPath.c_str();
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    pEngine->GetPluginManager()->RegisterComponentBuilder(&kBuilder);
    TestSupport::CLogCapture kLog;
    PrefabContainer* pPrefab = pEngine->LoadPrefab("crate.prefab.json");
    ASSERT_NE(pPrefab, nullptr);
    std::vector<int32> kValues;
    for (const IPluginComponentData* pData : pPrefab->GetPluginData())
    {
        kValues.push_back(static_cast<const CProbeData*>(pData)->GetParam());
        EXPECT_TRUE(pPrefab->IsDataUsable(pData));
    }
    EXPECT_EQ(kValues, (std::vector<int32>{7, 7}));
    EXPECT_EQ(pPrefab->GetSkippedAddInCount(), 4u);
    const std::string kPrefab = kRoot.kPath + "/crate.prefab.json: ";
    const Strings kLines = {
        "AddInObjects[2].JsonFile: \"" + kDocs +
            "missing.json\" could not be read: cannot be opened: No such file or directory; the add-in is skipped",
        "AddInObjects[3].JsonFile: \"" + kDocs +
            "broken.json\" is not valid JSON text: Missing a name for object member. at offset 1; the add-in is "
            "skipped",
        "AddInObjects[4]: \"Json\" and \"JsonFile\" exclude each other; the add-in is skipped",
        "AddInObjects[5].JsonFile: expected a string; the add-in is skipped",
        "AddInObjects[6]: no component builder made data of type \"Other\""};
    for (const std::string& kLine : kLines)
        EXPECT_TRUE(kLog.Has(kPrefab + kLine)) << kLine;
    const Common::CInputErrors& kProblems = pPrefab->GetAddInProblems();
    EXPECT_EQ(kProblems.GetCount(), kLines.size());
    EXPECT_EQ(std::string(kProblems.GetText()), kPrefab + kLines[0]);
    CEngine::DestroyInstance();
}

namespace {

// A plug-in started by the host's hook; its release notes what still existed.
struct SStaticPlugin
{
    SProbeLog kLog;
    CProbeBuilder* pBuilder = nullptr;
    TarnEngine::IPluginManager* pHookedManager = nullptr;
    void *pEngineSeen = nullptr, *pDataProviderSeen = nullptr;
    // Components destroyed, links of the builder, data destroyed.
    std::tuple<int, int, int> kAtRelease{-1, -1, -1};
};
SStaticPlugin* s_pStaticPlugin = nullptr;

bool InitStaticPlugin(TarnEngine::PluginParam* _pParam)
{
    s_pStaticPlugin->pEngineSeen = _pParam->m_pEngine;
    s_pStaticPlugin->pDataProviderSeen = _pParam->m_pDataProvider;
    s_pStaticPlugin->pBuilder = TARN_NEW(CProbeBuilder, "Gait", s_pStaticPlugin->kLog);
    _pParam->m_pPluginManager->RegisterComponentBuilder(s_pStaticPlugin->pBuilder);
    return true;
}

bool ReleaseStaticPlugin(TarnEngine::IPluginManager* _pManager)
{
    SStaticPlugin& kPlugin = *s_pStaticPlugin;
    kPlugin.kAtRelease = {kPlugin.kLog.uiDestroyed, kPlugin.pBuilder->links.GetSize(), kPlugin.kLog.uiDataDestroyed};
    _pManager->UnregisterComponentBuilder(kPlugin.pBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(kPlugin.pBuilder);
    return true;
}

}  // namespace

// Start-up seeds the random generator and starts the plug-in folder's modules, then the host's static plug-ins,
// handing each the engine and the data provider. An instance gets the components of its container's data, which
// the step updates before the animation; removal destroys them once, before the actor goes. Shutdown removes the
// instances, then releases the plug-ins, then the containers and their data.
TEST_F(EngineWorldTest, PluginsStartWithTheEngineAndTheirComponentsGoBeforeTheActorAndThePluginsBeforeTheData)
{
    SStaticPlugin kPlugin;
    s_pStaticPlugin = &kPlugin;
    SProbeLog& kLog = kPlugin.kLog;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kDataDir.c_str();
    kStartup.uiRandomSeed = 1234;
    kStartup.bLoadPlugins = true;
    kStartup.pPluginBasePath = TARN_TEST_MODULES_DIR;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* _pManager) {
        s_pStaticPlugin->pHookedManager = _pManager;
        _pManager->RegisterStaticPlugin(&InitStaticPlugin, &ReleaseStaticPlugin);
    };
    CEngine* pEngine = nullptr;
    {
        TestSupport::CAssertCapture kReports;  // the test folder's broken modules
        TestSupport::CLogCapture kLoaderLog;
        pEngine = CEngine::CreateInstance(kStartup);
        EXPECT_TRUE(kLoaderLog.Contains(std::string(TARN_TEST_MODULES_DIR) + "Plugins/PLUGIN_TestGoodA_DLL_"));
    }
    EXPECT_EQ(Math::Random32(), Math::CSfmt19937(1234).NextUInt32());
    EXPECT_EQ(std::tie(kPlugin.pHookedManager, kPlugin.pEngineSeen, kPlugin.pDataProviderSeen),
              std::make_tuple(pEngine->GetPluginManager(), (void*)pEngine, (void*)DataPoviderInterface::GetInstance()));
    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_EQ(pPrefab->GetPluginData().GetSize(), 1u);
    EXPECT_EQ(pEngine->LoadPrefab((kDataDir + "/demo/biped.prefab.json").c_str()), pPrefab);  // by resolved path
    TarnEngine::CWorld* pWorld = pEngine->GetWorld();
    const TarnEngine::WorldContext& kContext = pWorld->GetContext();
    const Math::Quaternion kRotation = Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, 0.5f);
    PrefabInstance* pInstance = pEngine->InstancePrefab(pPrefab, {1.0f, 2.0f, 0.0f}, kRotation);
    ASSERT_NE(pInstance, nullptr);
    TarnRenderer::Link* pLink = pInstance->GetLink();
    EXPECT_EQ(pLink->GetWorldPosition().y, 2.0f);
    EXPECT_EQ(pLink->GetWorldRotation().z, kRotation.z);
    ASSERT_NE(pInstance->GetAnimActor(), nullptr);
    EXPECT_EQ(kContext.pAnimManager->FindActor(kContext.uiWorldIndex, pLink), pInstance->GetAnimActor());
    TarnAnim::Skeleton* pSkeleton = pPrefab->GetSkeleton();
    EXPECT_EQ(pInstance->GetAnimActor()->pSkeleton, pSkeleton);
    const uint32 uiSkeletonInstance = pInstance->GetSkeletonInstance();
    EXPECT_NE(pSkeleton->GetAnimatedSkeleton(uiSkeletonInstance), nullptr);
    // Built on the instance's link from the container's data.
    EXPECT_EQ(kLog.uiBuilt, 1u);
    EXPECT_EQ(kPlugin.pBuilder->m_pPrefab, pInstance);
    ASSERT_NE(GetProbe(pLink), nullptr);
    EXPECT_EQ(GetProbe(pLink)->GetData(), pPrefab->GetPluginData()[0]);
    // Components run before the animation of the same step.
    const int32 iIdle = pSkeleton->GetMocap(0)->FindSequence("Idle");
    ASSERT_GE(iIdle, 0);
    kLog.pWatchedControl = TarnAnim::AnimHelper::PlayAnim(pSkeleton, uiSkeletonInstance, 0, uint32(iIdle), 0.0f);
    ASSERT_NE(kLog.pWatchedControl, nullptr);
    pEngine->Step(16);
    pEngine->Step(40);
    EXPECT_EQ(kLog.kUpdateMs, (std::vector<uint32>{16, 40}));
    EXPECT_THAT(kLog.kWatchedTimesAtUpdate, testing::Pointwise(testing::FloatNear(1e-3f), {0.0f, 16.0f}));
    EXPECT_NEAR(kLog.pWatchedControl->GetTime(), 56.0f, 1e-3f);
    kLog.pWatchedControl = nullptr;
    // Foreign containers and instances are refused.
    TestSupport::CAssertCapture kCapture;
    PrefabContainer kForeign(pEngine->GetPluginManager());
    EXPECT_EQ(pEngine->InstancePrefab(&kForeign, {}, Math::Quaternion::Identity()), nullptr);
    PrefabInstance kStray(pPrefab, &kContext);
    EXPECT_FALSE(pEngine->RemoveInstance(&kStray));
    EXPECT_EQ(kCapture.Count(), 2u);
    EXPECT_TRUE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(std::tie(kLog.uiReleased, kLog.uiDestroyed, kLog.uiActorsAliveAtDestruction),
              std::make_tuple(1u, 1u, 1u));
    EXPECT_EQ(pWorld->GetUserDataPool().GetUsedCount(), 0u);
    EXPECT_EQ(kContext.pAnimManager->FindActor(kContext.uiWorldIndex, pLink), nullptr);
    EXPECT_EQ(pSkeleton->GetAnimatedSkeleton(uiSkeletonInstance), nullptr);
    EXPECT_TRUE(pWorld->GetInstances().IsEmpty());
    // Gone once: a second removal is refused and destroys nothing.
    EXPECT_FALSE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(kCapture.Count(), 3u);
    EXPECT_EQ(kLog.uiDestroyed, 1u);

    // Shutdown with three instances.
    for (float fX : {0.0f, 2.0f, 4.0f})
        ASSERT_NE(pEngine->InstancePrefab(pPrefab, {fX, 0.0f, 0.0f}, Math::Quaternion::Identity()), nullptr);
    kCapture.Clear();
    CEngine::DestroyInstance();
    EXPECT_EQ(kPlugin.kAtRelease, std::make_tuple(4, 0, 0));
    EXPECT_EQ(kLog.uiActorsAliveAtDestruction, 4u);
    EXPECT_EQ(kLog.uiDataDestroyed, 1u);
    EXPECT_EQ(kCapture.Count(), 0u);
    EXPECT_FALSE(CEngine::HasInstance());
    EXPECT_FALSE(DataPoviderInterface::HasInstance());
    s_pStaticPlugin = nullptr;
}
