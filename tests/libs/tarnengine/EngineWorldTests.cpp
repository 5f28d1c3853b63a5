// The engine, its data provider and its world with the demo character:
// prefab loading, instancing and removal of components, the engine step,
// start-up and shutdown.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AnimManager/AnimManager.h"
#include "DataDynamic/AnimHelper.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "DataProvider/DataProvider.h"
#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "Math/SFMT/SFMT.h"
#include "Plugins/PluginManager.h"
#include "Scene/UserDataHelper.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/idfromstring.h"
#include "World/PrefabInstance.h"
#include "World/World.h"
#include "libs/tarnengine/modules/TestModuleProtocol.h"
#include "support/ReportCapture.h"

using DataProvider::DataPoviderInterface;
using TarnEngine::CEngine;
using TarnEngine::IPluginComponentData;
using TarnEngine::PluginJsonValue;
using TarnEngine::PrefabContainer;
using TarnEngine::PrefabInstance;

namespace {

const std::string kDataDir = TARN_DATA_DIR;
constexpr uint32 kProbeTag = TarnRenderer::MakeTag("PROB");

// What the probe plug-in's objects saw.
struct SProbeLog
{
    uint32 uiDataDestroyed = 0;
    uint32 uiBuilt = 0;
    uint32 uiReleased = 0;
    uint32 uiDestroyed = 0;
    uint32 uiActorsAliveAtDestruction = 0;
    std::vector<uint32> kUpdateMs;
    void* pLastPrefabInstance = nullptr;
    // A control whose time the component reads when it is updated.
    const TarnAnim::AnimationControl* pWatchedControl = nullptr;
    std::vector<float> kWatchedTimesAtUpdate;
};

// Data of a probe add-in: the "Value" of its document, or the number of its
// "Binds" (a gait document), or -1.
class CProbeData : public TarnEngine::PluginData<int32>
{
public:
    explicit CProbeData(SProbeLog* pLog) : m_pLog(pLog) {}
    ~CProbeData() override { ++m_pLog->uiDataDestroyed; }
    bool Load(const PluginJsonValue& kDocument, void*, void*) override
    {
        m_kParam = -1;
        if (kDocument.HasMember("Value") && kDocument["Value"].IsInt())
            m_kParam = kDocument["Value"].GetInt();
        else if (kDocument.HasMember("Binds") && kDocument["Binds"].IsArray())
            m_kParam = static_cast<int32>(kDocument["Binds"].Size());
        return true;
    }

private:
    SProbeLog* m_pLog;
};

// A component kept by value in its link's "PROB" record. It refers only to
// things outside itself, so a byte copy of it is the same component.
class CProbeComponent : public TarnEngine::PluginComponent
{
public:
    ~CProbeComponent() override
    {
        if (!m_pLog)
            return;
        ++m_pLog->uiDestroyed;
        if (m_pWorld->pAnimManager->FindActor(m_pWorld->uiWorldIndex, m_pLink))
            ++m_pLog->uiActorsAliveAtDestruction;
    }
    void Update(void*, TarnRenderer::Link*, TarnEngine::StepTime kTime) override
    {
        m_pLog->kUpdateMs.push_back(kTime.uiElapsedMs);
        if (m_pLog->pWatchedControl)
            m_pLog->kWatchedTimesAtUpdate.push_back(m_pLog->pWatchedControl->GetTime());
    }
    IPluginComponentData* GetData() override { return m_pData; }
    void SetData(IPluginComponentData* _pData) override { m_pData = _pData; }

    void Bind(SProbeLog* pLog, TarnRenderer::Link* pLink, const TarnEngine::WorldContext* pWorld)
    {
        m_pLog = pLog;
        m_pLink = pLink;
        m_pWorld = pWorld;
    }

private:
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

// Builds probe components for prefab containers under a type name of the
// test's choice ("Gait" stands in for the real builder on the demo prefab).
class CProbeBuilder : public TarnEngine::PluginComponentBuilder
{
public:
    CProbeBuilder(const char* pName, SProbeLog& kLog) : m_kDesc(pName, "PrefabContainer", "Probe", ""), m_kLog(kLog) {}

    TarnEngine::PluginComponent* BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink,
                                                IPluginComponentData* _pData) override
    {
        DestroyComponent(_pLink);
        auto* pInstance = static_cast<PrefabInstance*>(_pPrefabInstance);
        if (!GetProbe(_pLink))
        {
            // Unbound: the original may go without counting.
            const CProbeComponent kNew;
            TarnRenderer::AddUserData(*pInstance->GetWorldContext()->pUserDataPool, _pLink, kProbeTag, kNew);
        }
        CProbeComponent* pComponent = GetProbe(_pLink);
        pComponent->Bind(&m_kLog, _pLink, pInstance->GetWorldContext());
        pComponent->SetData(_pData);
        links.Add(_pLink);
        ++m_kLog.uiBuilt;
        m_kLog.pLastPrefabInstance = _pPrefabInstance;
        return pComponent;
    }
    bool BuildComponentData(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB,
                            TarnRenderer::TArray<IPluginComponentData*>& kOut) override
    {
        auto* pData = TARN_NEW(CProbeData, &m_kLog);
        pData->Load(kDocument, _pContextA, _pContextB);
        kOut.Add(pData->SetTypeID(m_kDesc.m_uiComponentId));
        return true;
    }
    void OnBuilderEvent(void*) override {}
    void UpdateComponents(void* _pStepContext, TarnEngine::StepTime kTime) override
    {
        for (TarnRenderer::Link* pLink : links)
            GetProbe(pLink)->Update(_pStepContext, pLink, kTime);
    }
    TarnEngine::CustomComponentDesc* GetDesc() override { return &m_kDesc; }
    void DestroyComponent(TarnRenderer::Link* _pLink) override
    {
        const uint32 uiIndex = links.Find(_pLink);
        if (uiIndex == links.uiMaxValue)
            return;
        links.RemoveAt(uiIndex);
        ++m_kLog.uiReleased;
    }

private:
    TarnEngine::CustomComponentDesc m_kDesc;
    SProbeLog& m_kLog;
};

TarnEngine::SEngineStartup DemoStartup()
{
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kDataDir.c_str();
    return kStartup;
}

const IPluginComponentData* OnlyData(const PrefabContainer* pContainer)
{
    return pContainer && pContainer->GetPluginData().GetSize() == 1 ? pContainer->GetPluginData()[0] : nullptr;
}

// A file of the test, removed with the object.
class CTempFile
{
public:
    CTempFile(const std::string& kName, const std::string& kText) : m_kPath(testing::TempDir() + kName)
    {
        if (FILE* pFile = fopen(m_kPath.c_str(), "wb"))
        {
            fwrite(kText.data(), 1, kText.size(), pFile);
            fclose(pFile);
        }
    }
    ~CTempFile() { remove(m_kPath.c_str()); }
    const std::string& Path() const { return m_kPath; }

private:
    std::string m_kPath;
};

class EngineWorldTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(CEngine::HasInstance());
        ASSERT_FALSE(DataPoviderInterface::HasInstance());
    }
    void TearDown() override
    {
        CEngine::DestroyInstance();
        DataPoviderInterface::Destroy();
    }

    CEngine* StartWithBuilder(const char* pName)
    {
        CEngine* pEngine = CEngine::CreateInstance(DemoStartup());
        m_pBuilder = std::make_unique<CProbeBuilder>(pName, m_kLog);
        pEngine->GetPluginManager()->RegisterComponentBuilder(m_pBuilder.get());
        return pEngine;
    }

    SProbeLog m_kLog;
    std::unique_ptr<CProbeBuilder> m_pBuilder;
};

}  // namespace

TEST(DataProvider, ResolvesPathsAgainstTheDataRoot)
{
    const struct
    {
        const char* pRoot;
        const char* pPath;
        size_t uiCapacity;
        const char* pExpected;  // null: refused with a report
    } akCases[] = {
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
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(std::string(kCase.pRoot) + " + " + kCase.pPath);
        ASSERT_TRUE(kProvider.SetDataRoot(kCase.pRoot));
        char acOut[64] = "unchanged";
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(kProvider.ResolvePath(kCase.pPath, acOut, kCase.uiCapacity), kCase.pExpected != nullptr);
        EXPECT_STREQ(acOut, kCase.pExpected ? kCase.pExpected : "");
        EXPECT_EQ(kCapture.Count(), kCase.pExpected ? 0u : 1u);
    }

    // A root that does not fit is refused; the previous one stays.
    TestSupport::CAssertCapture kCapture;
    EXPECT_FALSE(kProvider.SetDataRoot(std::string(DataPoviderInterface::kMaxRootLength, 'r').c_str()));
    EXPECT_EQ(kCapture.Count(), 1u);
    EXPECT_STREQ(kProvider.GetDataRoot(), "/data");
}

TEST(DataProvider, SingletonIsReportedWhenMissingAndBoundInstancesAreNotDestroyed)
{
    ASSERT_FALSE(DataPoviderInterface::HasInstance());
    {
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(DataPoviderInterface::GetInstance(), nullptr);
        EXPECT_EQ(kCapture.Texts(), std::vector<std::string>{
                                        "Assertion \"m_pInstance != 0\" failed. DataProvider is not instanciated !!!"});
    }
    // A module's binding to the host's instance: Destroy only lets it go
    // (one the provider created itself is deleted, as the engine tests show).
    DataPoviderInterface kHost;
    DataPoviderInterface::SetInstance(&kHost);
    EXPECT_EQ(DataPoviderInterface::GetInstance(), &kHost);
    DataPoviderInterface::Destroy();
    EXPECT_FALSE(DataPoviderInterface::HasInstance());
}

TEST_F(EngineWorldTest, ModeNamesGiveModesAndThePluginBasePathRule)
{
    const struct
    {
        const char* pModeName;
        const char* pBasePath;
        uint32 uiMode;
        const char* pExpectedBase;
        const char* pReport;
    } akCases[] = {
        {nullptr, nullptr, 0, "../Toolchain/", nullptr},
        {"", nullptr, 0, "../Toolchain/", nullptr},
        {"material_editor", nullptr, 3, "", nullptr},
        {"world_editor", nullptr, 4, "", nullptr},
        {"prefab_editor", nullptr, 5, "", nullptr},
        {"light_editor", nullptr, 6, "", nullptr},
        {"World_Editor", nullptr, 0, "../Toolchain/",
         "Assertion \"false\" failed. Unknown TarnEngine mode World_Editor"},
        {"game", "", 0, "../Toolchain/", "Assertion \"false\" failed. Unknown TarnEngine mode game"},
        {"world_editor", "/opt/host/", 4, "/opt/host/", nullptr},
        {nullptr, "/opt/host/", 0, "/opt/host/", nullptr},
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pModeName ? kCase.pModeName : "(no mode)");
        TarnEngine::SEngineStartup kStartup;
        kStartup.pModeName = kCase.pModeName;
        kStartup.pPluginBasePath = kCase.pBasePath;
        TestSupport::CAssertCapture kCapture;
        CEngine* pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(pEngine, nullptr);
        EXPECT_EQ(pEngine->GetMode(), kCase.uiMode);
        EXPECT_STREQ(pEngine->GetPluginBasePath(), kCase.pExpectedBase);
        EXPECT_EQ(kCapture.Texts(),
                  kCase.pReport ? std::vector<std::string>{kCase.pReport} : std::vector<std::string>{});
        CEngine::DestroyInstance();
        EXPECT_FALSE(CEngine::HasInstance());
        EXPECT_FALSE(DataPoviderInterface::HasInstance());
    }

    const char* apArgv[] = {"host", "-mode", "light_editor", "-other"};
    TarnEngine::SEngineStartup kStartup;
    kStartup.ReadCommandLine(4, apArgv);
    EXPECT_STREQ(kStartup.pModeName, "light_editor");

    // First use without start-up parameters: the default engine.
    CEngine* pDefault = CEngine::GetInstance();
    ASSERT_NE(pDefault, nullptr);
    EXPECT_EQ(CEngine::GetInstance(), pDefault);
    EXPECT_EQ(pDefault->GetMode(), 0u);
}

TEST_F(EngineWorldTest, DemoPrefabLoadsItsCharacterAndHandsItsAddInToTheBuilder)
{
    Common::CInputErrors kAnimSetError;
    TarnAnim::Mocap* pBiped =
        TarnAnim::AnimSetLoader::LoadFile((kDataDir + "/demo/biped.animset.json").c_str(), kAnimSetError);
    ASSERT_NE(pBiped, nullptr) << kAnimSetError.GetText();
    std::vector<std::string> kBipedChannels;
    for (const TarnAnim::FixedName& kName : pBiped->m_kChannelNames)
        kBipedChannels.push_back(kName.m_acText);
    TARN_DELETE(pBiped);

    CEngine* pEngine = StartWithBuilder("Gait");
    TestSupport::CAssertCapture kCapture;
    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pPrefab, nullptr);
    EXPECT_STREQ(pPrefab->GetName(), "Biped");
    EXPECT_EQ(std::string(pPrefab->GetPath()), kDataDir + "/demo/biped.prefab.json");
    ASSERT_NE(pPrefab->GetSkeleton(), nullptr);
    std::vector<std::string> kChannels;
    for (const TarnAnim::FixedName& kName : pPrefab->GetSkeleton()->GetChannelNames())
        kChannels.push_back(kName.m_acText);
    EXPECT_EQ(kChannels, kBipedChannels);
    EXPECT_EQ(kChannels.size(), 16u);
    EXPECT_TRUE(pPrefab->GetSkeleton()->HasAccumulationChannels());
    EXPECT_EQ(pPrefab->GetSkippedAddInCount(), 0u);
    const auto* pData = static_cast<const CProbeData*>(OnlyData(pPrefab));
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(pData->GetTypeID(), GenerateUIntIdFromString("Gait"));
    EXPECT_EQ(pData->GetParam(), 13);  // the gait document reached the builder whole

    // Cached by resolved path.
    EXPECT_EQ(pEngine->LoadPrefab((kDataDir + "/demo/biped.prefab.json").c_str()), pPrefab);
    EXPECT_EQ(pEngine->GetPrefabCount(), 1u);
    EXPECT_EQ(kCapture.Count(), 0u);
    CEngine::DestroyInstance();
    EXPECT_EQ(m_kLog.uiDataDestroyed, 1u);
}

TEST_F(EngineWorldTest, AHostsDataProviderIsUsedAndKept)
{
    // A relative data root: resolved paths are relative too, and still cached.
    const std::string kRelativeRoot = std::filesystem::relative(kDataDir, std::filesystem::current_path()).string();
    DataPoviderInterface* pHost = DataPoviderInterface::Create();
    ASSERT_TRUE(pHost->SetDataRoot(kRelativeRoot.c_str()));
    CEngine* pEngine = CEngine::CreateInstance(TarnEngine::SEngineStartup{});
    EXPECT_EQ(pEngine->GetDataProvider(), pHost);
    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pPrefab, nullptr);
    EXPECT_EQ(std::string(pPrefab->GetAnimSetPath()), kRelativeRoot + "/demo/biped.animset.json");
    EXPECT_EQ(pEngine->LoadPrefab("demo/biped.prefab.json"), pPrefab);
    EXPECT_EQ(pEngine->FindPrefab("demo/biped.prefab.json"), pPrefab);
    EXPECT_EQ(pEngine->GetPrefabCount(), 1u);
    CEngine::DestroyInstance();
    EXPECT_EQ(DataPoviderInterface::GetInstance(), pHost);
}

// Each problem of a prefab file has its exact text, which names the file and
// the member and is logged; nothing is kept.
TEST(BadDataFiles, PrefabFilesAreRefusedWithTheirExactTexts)
{
    const std::string kDeep = R"({"Name":"A","X":)" + std::string(300, '[');
    const struct
    {
        const char* pLabel;
        std::string kText;
        std::string kMessage;  // after "<file>: "
    } akCases[] = {
        {"not JSON", "{", "document: invalid JSON: Missing a name for object member. at offset 1"},
        // The root object is the first level: the 256th '[' is one too many.
        {"nested too deep", kDeep, "document: nested deeper than 256 levels at offset 271"},
        {"not an object", "[]", "document: expected an object"},
        {"no name", R"({"AnimSet":null})", "Name: required member is missing"},
        {"name not a string", R"({"Name":3})", "Name: expected a string"},
        {"empty name", R"({"Name":""})", "Name: must not be empty"},
        {"name too long", R"({"Name":")" + std::string(128, 'n') + "\"}",
         "Name: 128 bytes long, at most 127 are allowed"},
        {"AnimSet not a string", R"({"Name":"A","AnimSet":5})", "AnimSet: expected a string"},
        {"AnimSet missing", R"({"Name":"A","AnimSet":"demo/none.animset.json"})",
         "AnimSet: \"" + kDataDir +
             "/demo/none.animset.json\" could not be loaded: none.animset.json: file: cannot be "
             "opened: No such file or directory"},
        {"AnimSet not an AnimSet", R"({"Name":"A","AnimSet":"demo/biped.prefab.json"})",
         "AnimSet: \"" + kDataDir +
             "/demo/biped.prefab.json\" could not be loaded: biped.prefab.json: Channels: "
             "required member is missing"},
        {"add-ins not an array", R"({"Name":"A","AddInObjects":{}})", "AddInObjects: expected an array"},
    };
    CEngine* pEngine = CEngine::CreateInstance(DemoStartup());
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        CTempFile kFile("broken.prefab.json", kCase.kText);
        TestSupport::CAssertCapture kCapture;
        TestSupport::CLogCapture kLog;
        Common::CInputErrors kError;
        EXPECT_EQ(pEngine->LoadPrefab(kFile.Path().c_str(), &kError), nullptr);
        EXPECT_EQ(std::string(kError.GetText()), kFile.Path() + ": " + kCase.kMessage);
        EXPECT_TRUE(kLog.Has(kError.GetText()));
        EXPECT_EQ(kCapture.Count(), 0u);
    }
    EXPECT_EQ(pEngine->GetPrefabCount(), 0u);

    // A container is loaded once.
    Common::CInputErrors kError;
    PrefabContainer kContainer(pEngine->GetPluginManager());
    ASSERT_TRUE(kContainer.LoadFile((kDataDir + "/demo/biped.prefab.json").c_str(), kError)) << kError.GetText();
    EXPECT_FALSE(kContainer.LoadFile((kDataDir + "/demo/biped.prefab.json").c_str(), kError));
    CEngine::DestroyInstance();
}

TEST_F(EngineWorldTest, MalformedAddInsAreSkippedAndTheOthersLoad)
{
    CTempFile kFile("addins.prefab.json", R"({"Name":"Crate","AddInObjects":[
        {"Type":"Probe","Json":"{\"Value\":1}"},
        {"Type":"Probe"},
        {"Type":"Probe","Json":"{"},
        "Probe",
        {"Type":7,"Json":"{}"},
        {"Type":"Other","Json":"{\"Value\":3}"},
        {"Type":"Probe","Json":"{\"Value\":2}"}]})");
    CEngine* pEngine = StartWithBuilder("Probe");
    TestSupport::CAssertCapture kCapture;
    TestSupport::CLogCapture kLog;
    PrefabContainer* pPrefab = pEngine->LoadPrefab(kFile.Path().c_str());
    ASSERT_NE(pPrefab, nullptr);
    EXPECT_EQ(pPrefab->GetSkeleton(), nullptr);
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
        EXPECT_TRUE(kLog.Has(kFile.Path() + ": " + pLine)) << pLine;
    EXPECT_EQ(kCapture.Count(), 0u);

    // Without a character, an instance has no actor but gets its components.
    PrefabInstance* pInstance = pEngine->InstancePrefab(pPrefab, {}, Math::Quaternion::Identity());
    ASSERT_NE(pInstance, nullptr);
    EXPECT_EQ(pInstance->GetAnimActor(), nullptr);
    EXPECT_EQ(pInstance->GetSkeletonInstance(), kInvalidIndex);
    EXPECT_EQ(m_kLog.uiBuilt, 2u);
    // Both data objects build on the one link: one component, reused.
    EXPECT_EQ(
        TarnRenderer::GetUserDataCount(TarnRenderer::GetUserData<CProbeComponent>(pInstance->GetLink(), kProbeTag)),
        1u);
    EXPECT_TRUE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(m_kLog.uiDestroyed, 1u);
}

// An instance gets the components of its container's data, which the step
// updates before it advances the animation; removal destroys them once,
// before the actor goes.
TEST_F(EngineWorldTest, InstancesGetComponentsThatStepBeforeTheAnimationAndGoOnceBeforeTheActor)
{
    CEngine* pEngine = StartWithBuilder("Gait");
    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(OnlyData(pPrefab), nullptr);
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

    // The builder built on the instance's link from the container's data.
    EXPECT_EQ(m_kLog.uiBuilt, 1u);
    EXPECT_EQ(m_kLog.pLastPrefabInstance, pInstance);
    ASSERT_NE(GetProbe(pLink), nullptr);
    EXPECT_EQ(GetProbe(pLink)->GetData(), OnlyData(pPrefab));

    // Components run before the animation of the same step.
    const int32 iIdle = pSkeleton->GetMocap(0)->FindSequence("Idle");
    ASSERT_GE(iIdle, 0);
    m_kLog.pWatchedControl = TarnAnim::AnimHelper::PlayAnim(pSkeleton, uiSkeletonInstance, 0, uint32(iIdle), 0.0f);
    ASSERT_NE(m_kLog.pWatchedControl, nullptr);
    pEngine->Step(16);
    pEngine->Step(40);
    EXPECT_EQ(m_kLog.kUpdateMs, (std::vector<uint32>{16, 40}));
    ASSERT_EQ(m_kLog.kWatchedTimesAtUpdate.size(), 2u);
    EXPECT_EQ(m_kLog.kWatchedTimesAtUpdate[0], 0.0f);
    EXPECT_NEAR(m_kLog.kWatchedTimesAtUpdate[1], 16.0f, 1e-3f);
    EXPECT_NEAR(m_kLog.pWatchedControl->GetTime(), 56.0f, 1e-3f);
    m_kLog.pWatchedControl = nullptr;

    // Foreign containers and instances are refused.
    {
        TestSupport::CAssertCapture kCapture;
        PrefabContainer kForeign(pEngine->GetPluginManager());
        EXPECT_EQ(pEngine->InstancePrefab(&kForeign, {}, Math::Quaternion::Identity()), nullptr);
        PrefabInstance kStray(pPrefab, &kContext);
        EXPECT_FALSE(pEngine->RemoveInstance(&kStray));
        EXPECT_EQ(kCapture.Count(), 2u);
    }

    EXPECT_TRUE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(m_kLog.uiReleased, 1u);
    EXPECT_EQ(m_kLog.uiDestroyed, 1u);
    EXPECT_EQ(m_kLog.uiActorsAliveAtDestruction, 1u);
    EXPECT_EQ(pWorld->GetUserDataPool().GetUsedCount(), 0u);
    EXPECT_EQ(kContext.pAnimManager->FindActor(kContext.uiWorldIndex, pLink), nullptr);
    EXPECT_EQ(pSkeleton->GetAnimatedSkeleton(uiSkeletonInstance), nullptr);
    EXPECT_TRUE(pWorld->GetInstances().IsEmpty());

    // Gone once: a second removal is refused and destroys nothing.
    TestSupport::CAssertCapture kCapture;
    EXPECT_FALSE(pEngine->RemoveInstance(pInstance));
    EXPECT_EQ(kCapture.Count(), 1u);
    EXPECT_EQ(m_kLog.uiDestroyed, 1u);
}

namespace {

// A plug-in started by the host's static-plug-in hook; its release entry
// notes what still existed when the engine let the plug-ins go.
struct SStaticPlugin
{
    SProbeLog kLog;
    CProbeBuilder* pBuilder = nullptr;
    TarnEngine::IPluginManager* pHookedManager = nullptr;
    void* pEngineSeen = nullptr;
    void* pDataProviderSeen = nullptr;
    uint32 uiDestroyedAtRelease = 0;
    uint32 uiLinksAtRelease = 0;
    uint32 uiDataDestroyedAtRelease = 0;
    bool bReleased = false;
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
    kPlugin.uiDestroyedAtRelease = kPlugin.kLog.uiDestroyed;
    kPlugin.uiLinksAtRelease = kPlugin.pBuilder->links.GetSize();
    kPlugin.uiDataDestroyedAtRelease = kPlugin.kLog.uiDataDestroyed;
    kPlugin.bReleased = true;
    _pManager->UnregisterComponentBuilder(kPlugin.pBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(kPlugin.pBuilder);
    kPlugin.pBuilder = nullptr;
    return true;
}

}  // namespace

// Start-up seeds the random generator and starts the modules of the plug-in
// folder, then the host's static plug-ins, handing each the engine and the
// data provider. Shutdown removes the instances, then releases the plug-ins,
// then the containers and their data.
TEST_F(EngineWorldTest, StartHandsTheEngineToPluginsAndShutdownRemovesInstancesThenReleasesPluginsThenContainers)
{
    SStaticPlugin kPlugin;
    s_pStaticPlugin = &kPlugin;
    TarnEngine::SEngineStartup kStartup = DemoStartup();
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
        TestSupport::CLogCapture kLog;
        pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(pEngine, nullptr);
        EXPECT_TRUE(kLog.Contains(std::string(TARN_TEST_MODULES_DIR) + "Plugins/PLUGIN_TestGoodA_DLL_"));
    }
    EXPECT_EQ(Math::Random32(), Math::CSfmt19937(1234).NextUInt32());
    EXPECT_STREQ(pEngine->GetDataProvider()->GetDataRoot(), kDataDir.c_str());
    EXPECT_EQ(kPlugin.pHookedManager, pEngine->GetPluginManager());
    EXPECT_EQ(kPlugin.pEngineSeen, pEngine);
    EXPECT_EQ(kPlugin.pDataProviderSeen, DataPoviderInterface::GetInstance());
    TestModules::SModuleQuery kQuery;
    pEngine->GetPluginManager()->CallStepCallbacks(TestModules::kQueryStep, &kQuery);
    ASSERT_EQ(kQuery.uiCount, 2u);
    for (uint32 i = 0; i < kQuery.uiCount; ++i)
    {
        EXPECT_EQ(kQuery.akReports[i].pEngine, pEngine);
        EXPECT_EQ(kQuery.akReports[i].pDataProvider, DataPoviderInterface::GetInstance());
    }

    PrefabContainer* pPrefab = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(OnlyData(pPrefab), nullptr);
    for (float fX : {0.0f, 2.0f, 4.0f})
        ASSERT_NE(pEngine->InstancePrefab(pPrefab, {fX, 0.0f, 0.0f}, Math::Quaternion::Identity()), nullptr);
    pEngine->Step(16);
    EXPECT_EQ(kPlugin.kLog.kUpdateMs.size(), 3u);

    TestSupport::CAssertCapture kCapture;
    CEngine::DestroyInstance();
    EXPECT_TRUE(kPlugin.bReleased);
    EXPECT_EQ(kPlugin.uiDestroyedAtRelease, 3u);
    EXPECT_EQ(kPlugin.uiLinksAtRelease, 0u);
    EXPECT_EQ(kPlugin.uiDataDestroyedAtRelease, 0u);
    EXPECT_EQ(kPlugin.kLog.uiActorsAliveAtDestruction, 3u);
    EXPECT_EQ(kPlugin.kLog.uiDataDestroyed, 1u);
    EXPECT_EQ(kCapture.Count(), 0u);
    EXPECT_FALSE(CEngine::HasInstance());
    EXPECT_FALSE(DataPoviderInterface::HasInstance());
    // Whatever the engine left behind fails the leak check at the end of the
    // program (tag paths registered on the way stay until then, so a block
    // count here would not tell).
    s_pStaticPlugin = nullptr;
}
