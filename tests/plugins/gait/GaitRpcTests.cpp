// The Gait component as an engine builds it for instances of the demo prefab,
// driven directly and through its remote facades on a real command manager;
// and the plug-in's entry statics on an engine with its network endpoint.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Commands/CommandManager.h"
#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugin/GaitPluginEntry.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "RPC/GaitComponentBuilderRpc.h"
#include "RPC/GaitComponentRpc.h"
#include "Scene/UserData.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/ClassName.h"
#include "World/PrefabInstance.h"
#include "support/ReportCapture.h"
#include "support/TextFile.h"

using GaitPlugin::GaitComponent;
using GaitPlugin::GaitComponentBuilder;
using RPC::CGaitComponentBuilderRpc;
using RPC::IRPCStub_CGaitComponent;
using RPC::IRPCStub_CGaitComponentBuilder;
using TarnEngine::CEngine;
using TarnEngine::CommandManager;
using TarnEngine::CReturnBuffer;
namespace EAnimMovement = GaitPlugin::EAnimMovement;

namespace {

const char* const kNoComponentReport =
    "Assertion \"false\" failed. Couldn't get link user data of type <GaitPlugin::GaitComponent>";

// The remote commands of the plug-in.
const char* const kCommandNames[10][2] = {
    {"GaitComponentBuilderRpc", "ReleaseRef"},
    {"GaitComponentBuilderRpc", "GetRPCSingleton"},
    {"GaitComponentBuilderRpc", "GetPrefabComponent"},
    {"GaitComponentRpc", "ReleaseRef"},
    {"GaitComponentRpc", "Reset"},
    {"GaitComponentRpc", "SetRotation"},
    {"GaitComponentRpc", "SetSpeed"},
    {"GaitComponentRpc", "ReloadFromJson"},
    {"GaitComponentRpc", "Activate"},
    {"GaitComponentRpc", "IsActive"},
};

std::string Request(const char* pClass, const char* pMethod, uint32 uiInstance, bool bWaitAck,
                    const std::string& kArgs = "")
{
    std::string kText = std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
                        "\",\"InstanceID\":" + std::to_string(uiInstance) +
                        ",\"WaitAck\":" + (bWaitAck ? "true" : "false") + ",\"UseTcpThread\":false";
    return kText + (kArgs.empty() ? "" : "," + kArgs) + "}";
}

std::string InstanceRef(uint32 uiId)
{
    return "{\"InstanceID\":" + std::to_string(uiId) + "}";
}

uint32 LiveFacades()
{
    return TarnEngine::CPointerResolver::GetInstance()->GetObjectCount(Common::GetClassId<IRPCStub_CGaitComponent>());
}

void TestPick(void*, uint32*)
{
}

// An engine with its network endpoint (an ephemeral port on 127.0.0.1), a
// data provider the test owns and a host context for the Gait plug-in. With
// m_bStartGait the engine starts the plug-in as it starts a loaded module,
// and places two instances of the demo character and a bare instance that
// carries no Gait component.
class GaitHostTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(CEngine::HasInstance());
        ASSERT_EQ(TarnEngine::CPointerResolver::GetInstance(), nullptr);
        static const std::string s_kDataDir = TARN_DATA_DIR;
        m_pProvider = TARN_NEW(DataProvider::DataPoviderInterface);
        DataProvider::DataPoviderInterface::SetInstance(m_pProvider);
        TarnEngine::SEngineStartup kStartup;
        kStartup.pDataRoot = s_kDataDir.c_str();
        kStartup.bStartNetwork = true;
        kStartup.kNetOptions.uiPort = 0;
        if (m_bStartGait)
            kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
                pManager->RegisterStaticPlugin(&GaitComponentBuilder::InitPluginStatic,
                                               &GaitComponentBuilder::ReleasePluginStatic);
            };
        m_pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(m_pEngine, nullptr);
        ASSERT_NE(m_pEngine->GetEngineNet(), nullptr);
        m_pCommands = m_pEngine->GetEngineNet()->GetCommandManager();
        m_pManager = m_pEngine->GetPluginManager();
        FillParam(m_kParam);
        if (!m_bStartGait)
            return;
        Math::SeedRandom(3);
        m_pBuilder = GaitPlugin::GetPluginBuilder();
        m_pSingleton = GaitPlugin::GetPluginBuilderRpc();
        ASSERT_NE(m_pBuilder, nullptr);
        ASSERT_NE(m_pSingleton, nullptr);
        TarnEngine::PrefabContainer* pContainer = m_pEngine->LoadPrefab("demo/biped.prefab.json");
        ASSERT_NE(pContainer, nullptr);
        m_pFirst = m_pEngine->InstancePrefab(pContainer, {0.0f, 0.0f, 0.0f}, Math::Quaternion::Identity());
        m_pSecond = m_pEngine->InstancePrefab(pContainer, {0.0f, 3.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(m_pFirst, nullptr);
        ASSERT_NE(m_pSecond, nullptr);
        // A prefab with no add-in at all, in a file of this process alone.
        m_kBareFile = testing::TempDir() + "bare" + std::to_string(getpid()) + ".prefab.json";
        FILE* pFile = fopen(m_kBareFile.c_str(), "wb");
        ASSERT_NE(pFile, nullptr);
        fputs("{\"Name\":\"Bare\"}", pFile);
        fclose(pFile);
        TarnEngine::PrefabContainer* pBare = m_pEngine->LoadPrefab(m_kBareFile.c_str());
        ASSERT_NE(pBare, nullptr);
        m_pBare = m_pEngine->InstancePrefab(pBare, {0.0f, 6.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(m_pBare, nullptr);
    }
    void TearDown() override
    {
        if (!m_bStartGait && GaitPlugin::GetPluginBuilder())
            GaitComponentBuilder::ReleasePluginStatic(m_pManager);
        CEngine::DestroyInstance();
        DataProvider::DataPoviderInterface::SetInstance(nullptr);
        TARN_DELETE(m_pProvider);
        if (!m_kBareFile.empty())
            remove(m_kBareFile.c_str());
    }

    void FillParam(TarnEngine::PluginParam& kParam)
    {
        kParam.m_pPluginManager = m_pManager;
        kParam.m_pMemoryManager = Common::Mem::CMemoryManager::GetInstance();
        kParam.m_pEngine = m_pEngine;
        kParam.m_pDataProvider = m_pProvider;
    }
    void Steps(int iSteps)
    {
        for (int i = 0; i < iSteps; ++i)
            m_pEngine->Step(16);
    }
    static GaitComponent* Component(TarnEngine::PrefabInstance* pInstance)
    {
        return GaitComponentBuilder::GetComponent(pInstance->GetLink());
    }
    TarnEngine::PluginComponentBuilder* RegisteredGait() const
    {
        TarnEngine::PluginComponentBuilder* const* ppBuilder =
            m_pManager->GetComponentBuilders().Lookup(GenerateUIntIdFromString("Gait"));
        return ppBuilder ? *ppBuilder : nullptr;
    }
    IRPCStub_CGaitComponentBuilder* ResolverSingleton() const
    {
        return TarnEngine::CPointerResolver::GetInstance()->GetSingleton<IRPCStub_CGaitComponentBuilder>();
    }

    bool m_bStartGait = true;
    DataProvider::DataPoviderInterface* m_pProvider = nullptr;
    CEngine* m_pEngine = nullptr;
    CommandManager* m_pCommands = nullptr;
    TarnEngine::BasePluginManager* m_pManager = nullptr;
    TarnEngine::PluginParam m_kParam;
    GaitComponentBuilder* m_pBuilder = nullptr;
    CGaitComponentBuilderRpc* m_pSingleton = nullptr;
    TarnEngine::PrefabInstance* m_pFirst = nullptr;
    TarnEngine::PrefabInstance* m_pSecond = nullptr;
    TarnEngine::PrefabInstance* m_pBare = nullptr;
    std::string m_kBareFile;
};

// The plug-in's entry points called by the test itself.
class GaitPluginEntryTest : public GaitHostTest
{
protected:
    GaitPluginEntryTest() { m_bStartGait = false; }
};

class GaitComponentTest : public GaitHostTest
{
};

// Besides: a remote prefab of each instance, and requests run on this (the
// engine) thread.
class GaitRpcTest : public GaitHostTest
{
protected:
    void SetUp() override
    {
        GaitHostTest::SetUp();
        if (HasFatalFailure())
            return;
        m_pFirstPrefab = TARN_NEW(RPC::CPrefab, m_pFirst->GetHandle());    // prefab ID 0
        m_pSecondPrefab = TARN_NEW(RPC::CPrefab, m_pSecond->GetHandle());  // 1
        m_pBarePrefab = TARN_NEW(RPC::CPrefab, m_pBare->GetHandle());      // 2
    }
    void TearDown() override
    {
        EXPECT_EQ(m_pCommands->GetQueue().GetPendingCount(), 0u);
        TARN_DELETE(m_pFirstPrefab);
        TARN_DELETE(m_pSecondPrefab);
        TARN_DELETE(m_pBarePrefab);
        GaitHostTest::TearDown();
    }

    std::string Call(const std::string& kRequest)
    {
        m_kReply.Clear();
        m_pCommands->ExecuteJSon(kRequest.c_str(), &m_kReply);
        return m_kReply.GetText();
    }
    std::string CallFacade(uint32 uiFacade, const char* pMethod, const std::string& kArgs = "", bool bWaitAck = true)
    {
        return Call(Request("GaitComponentRpc", pMethod, uiFacade, bWaitAck, kArgs));
    }
    // The facade ID that GetPrefabComponent gives for a prefab ID.
    uint32 FacadeIdOf(uint32 uiPrefabId)
    {
        const std::string kReply = Call(
            Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, "\"Arg0\":" + InstanceRef(uiPrefabId)));
        const std::string kPrefix = "{\"Res\":{\"InstanceID\":";
        EXPECT_EQ(kReply.compare(0, kPrefix.size(), kPrefix), 0) << kReply;
        return kReply.size() > kPrefix.size() ? static_cast<uint32>(std::stoul(kReply.substr(kPrefix.size()))) : 0u;
    }

    CReturnBuffer m_kReply;
    RPC::CPrefab* m_pFirstPrefab = nullptr;
    RPC::CPrefab* m_pSecondPrefab = nullptr;
    RPC::CPrefab* m_pBarePrefab = nullptr;
};

}  // namespace

TEST_F(GaitComponentTest, RequestsWaitForActivationAndOnlyTheActivatedCharacterWalks)
{
    GaitComponent* pComponent = Component(m_pFirst);
    ASSERT_NE(pComponent, nullptr);
    EXPECT_EQ(m_pBuilder->links.GetSize(), 2u);
    // Stored in standby, taken up at the first update after activation.
    EXPECT_FALSE(pComponent->IsActive());
    pComponent->SetSpeed(1.0f);
    Steps(20);
    EXPECT_EQ(m_pFirst->GetLink()->GetWorldPosition().x, 0.0f);
    pComponent->Activate(true);
    Steps(200);
    EXPECT_GT(m_pFirst->GetLink()->GetWorldPosition().x, 2.0f);
    EXPECT_EQ(m_pSecond->GetLink()->GetWorldPosition().x, 0.0f);
    EXPECT_EQ(pComponent->GetActor().GetCurrentMovement(), uint32(EAnimMovement::Walk));

    // Reset stops and starts again: standing, from Idle.
    pComponent->Reset();
    EXPECT_TRUE(pComponent->IsActive());
    EXPECT_EQ(pComponent->GetActor().GetCurrentMovement(), uint32(EAnimMovement::Idle));
    Steps(30);

    // Removing a moving instance and shutting down report nothing.
    TestSupport::CAssertCapture kReports;
    EXPECT_TRUE(m_pEngine->RemoveInstance(m_pFirst));
    EXPECT_EQ(m_pBuilder->links.GetSize(), 1u);
    Steps(1);
    CEngine::DestroyInstance();
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(kReports.Count(), 0u);
}

TEST_F(GaitComponentTest, BuildingALinkTwiceKeepsItsComponentAndALinkLetGoStandsBy)
{
    TarnRenderer::Link* pLink = m_pSecond->GetLink();
    GaitComponent* pComponent = Component(m_pSecond);
    ASSERT_NE(pComponent, nullptr);
    EXPECT_EQ(pComponent->GetData()->GetTypeID(), GenerateUIntIdFromString("Gait"));
    pComponent->SetSpeed(1.25f);
    EXPECT_EQ(m_pBuilder->BuildComponent(m_pSecond, pLink, pComponent->GetData()), pComponent);
    EXPECT_EQ(m_pBuilder->links.GetSize(), 2u);
    EXPECT_EQ(pComponent->GetSpeed(), 1.25f);
    EXPECT_EQ(TarnRenderer::GetUserDataCount(
                  TarnRenderer::GetUserData<GaitComponent>(pLink, GaitComponentBuilder::kUserDataTag)),
              1u);
    TarnRenderer::Link kStranger;
    m_pBuilder->DestroyComponent(&kStranger);  // never built: nothing
    EXPECT_EQ(m_pBuilder->links.GetSize(), 2u);

    // Once the builder lets the link go, its component stands by.
    pComponent->Activate(true);
    m_pBuilder->DestroyComponent(pLink);
    EXPECT_FALSE(pComponent->IsActive());
    EXPECT_EQ(m_pBuilder->links.GetSize(), 1u);
}

TEST_F(GaitComponentTest, ReloadingChecksTheTextAndAComponentWithoutDataOrCharacterStaysUnbound)
{
    const std::string kGait = TestSupport::ReadTextFile(std::string(TARN_DATA_DIR) + "/demo/biped.gait.json");
    GaitComponent* pComponent = Component(m_pFirst);
    ASSERT_NE(pComponent, nullptr);
    pComponent->Activate(true);
    {
        // Text that does not parse, or a document the loader rejects:
        // false, and nothing changes.
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(pComponent->ReloadFromJson("{"));
        EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Could not parse JSON file"));
        EXPECT_FALSE(pComponent->ReloadFromJson("{\"Binds\": 3}"));
        EXPECT_TRUE(pComponent->IsActive());
    }
    EXPECT_TRUE(pComponent->ReloadFromJson(kGait.c_str()));
    EXPECT_FALSE(pComponent->IsActive());
    EXPECT_TRUE(GaitPlugin::IsDataValid(&pComponent->GetRuntimeData()));

    GaitComponent kComponent;
    {
        TestSupport::CAssertCapture kReports;
        kComponent.Init(m_pFirst->GetLink(), m_pFirst);
        EXPECT_FALSE(kComponent.ReloadFromJson(kGait.c_str()));
        EXPECT_EQ(kReports.Texts(),
                  (std::vector<std::string>{
                      "Assertion \"m_pData\" failed. Can't init component if data is not loaded once",
                      "Assertion \"m_pData\" failed. Can't reload component if data is not loaded once"}));
    }
    // Data but a link without an animated character: unbound, silently.
    TarnRenderer::Link kBare;
    kComponent.SetData(pComponent->GetData());
    TestSupport::CAssertCapture kReports;
    kComponent.Init(&kBare, m_pFirst);
    EXPECT_EQ(kReports.Count(), 0u);
    kComponent.Activate(true);
    EXPECT_FALSE(kComponent.IsActive());
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Gait data is not valid"));
}

TEST_F(GaitRpcTest, OneFacadePerPrefabLinkUntilItsLastReleaseAndTheSingletonStays)
{
    TestSupport::CAssertCapture kReports;
    RPC::CGaitComponent* pFirst = m_pSingleton->GetPrefabComponent(m_pFirstPrefab);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(m_pFirstPrefab), pFirst);
    // Another remote prefab of the same placed instance: the same link.
    RPC::CPrefab* pAlias = TARN_NEW(RPC::CPrefab, m_pFirst->GetHandle());
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(pAlias), pFirst);
    TARN_DELETE(pAlias);
    RPC::CGaitComponent* pSecond = m_pSingleton->GetPrefabComponent(m_pSecondPrefab);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_NE(pSecond, pFirst);
    EXPECT_EQ(pFirst->GetInstanceHandle(), m_pFirst->GetHandle());
    EXPECT_EQ(pSecond->GetInstanceHandle(), m_pSecond->GetHandle());
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 2u);
    EXPECT_EQ(LiveFacades(), 2u);
    EXPECT_EQ(kReports.Count(), 0u);
    RPC::CPrefab* const pNull = nullptr;
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(pNull), nullptr);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"_pPrefab\" failed. "});
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 2u);
    TARN_DELETE(pFirst);
    TARN_DELETE(pSecond);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);

    // Remote references: the singleton's are counted, and it stays.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
    EXPECT_EQ(m_pSingleton->GetRefCount(), 2u);
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true)), "{\"Res\":1}");
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true)), "{\"Res\":0}");
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance()->GetSingleton<IRPCStub_CGaitComponentBuilder>(),
              m_pSingleton);
    // A facade's last release, also one without a reply, removes it.
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(FacadeIdOf(m_pFirstPrefab->GetInstanceID()), uiFacade);
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":1}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 1u);
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef", "", false), "");
    EXPECT_EQ(m_pCommands->ProcessQueue(), 1u);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
    EXPECT_EQ(LiveFacades(), 0u);
    // Its ID is gone for good; the prefab gets a new facade.
    EXPECT_EQ(CallFacade(uiFacade, "IsActive"),
              "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}");
    const uint32 uiNew = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(uiNew, uiFacade + 1);
    EXPECT_EQ(CallFacade(uiNew, "ReleaseRef"), "{\"Res\":0}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, RequestsReachTheComponentOfTheirPrefab)
{
    GaitComponent* pComponent = Component(m_pFirst);
    GaitComponent* pOther = Component(m_pSecond);
    ASSERT_NE(pComponent, nullptr);
    ASSERT_NE(pOther, nullptr);
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    const uint32 uiOtherFacade = FacadeIdOf(m_pSecondPrefab->GetInstanceID());
    EXPECT_NE(uiOtherFacade, uiFacade);

    struct SCase
    {
        const char* pMethod;
        std::string kArgs;
        bool bWaitAck;
        const char* pReply;
    };
    const SCase akCases[] = {
        {"IsActive", "", true, "{\"Res\":false}"},
        {"Activate", "\"Arg0\":true", false, ""},
        {"SetSpeed", "\"Arg0\":1.5", false, ""},
        {"SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0.6,\"w\":0.8}", true, "{}"},
        {"IsActive", "", true, "{\"Res\":true}"},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pMethod);
        EXPECT_EQ(CallFacade(uiFacade, kCase.pMethod, kCase.kArgs, kCase.bWaitAck), kCase.pReply);
        m_pCommands->ProcessQueue();
    }
    EXPECT_TRUE(pComponent->IsActive());
    EXPECT_EQ(pComponent->GetSpeed(), 1.5f);
    EXPECT_EQ(pComponent->GetRotation().z, 0.6f);
    EXPECT_EQ(pComponent->GetRotation().w, 0.8f);
    // The other prefab's component is untouched.
    EXPECT_FALSE(pOther->IsActive());
    EXPECT_EQ(pOther->GetSpeed(), 0.0f);

    // A rejected document is reported by the component, no result either way.
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(CallFacade(uiFacade, "ReloadFromJson", "\"Arg0\":\"{ not json\""), "{}");
    EXPECT_GT(kReports.Count(), 0u);
    kReports.Clear();
    EXPECT_EQ(CallFacade(uiFacade, "Activate", "\"Arg0\":false"), "{}");
    EXPECT_EQ(CallFacade(uiFacade, "IsActive"), "{\"Res\":false}");
    EXPECT_EQ(CallFacade(uiFacade, "Reset"), "{}");
    EXPECT_EQ(kReports.Count(), 0u);
    for (uint32 uiId : {uiFacade, uiOtherFacade})
        EXPECT_EQ(CallFacade(uiId, "ReleaseRef"), "{\"Res\":0}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, FacadeOfAPrefabWithoutGaitIsSilentExceptForReset)
{
    RPC::CGaitComponent* pFacade = m_pSingleton->GetPrefabComponent(m_pBarePrefab);
    ASSERT_NE(pFacade, nullptr);
    EXPECT_EQ(GaitComponentBuilder::GetComponent(m_pBare->GetLink()), nullptr);

    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    EXPECT_FALSE(pFacade->IsActive());
    pFacade->Activate(true);
    pFacade->SetSpeed(1.5f);
    pFacade->SetRotation(Math::Quaternion(0.0f, 0.0f, 0.7071068f, 0.7071068f));
    pFacade->ReloadFromJson("{ not json");
    EXPECT_FALSE(pFacade->IsActive());
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_TRUE(kLog.Lines().empty());

    pFacade->Reset();
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{kNoComponentReport});
    TARN_DELETE(pFacade);
}

TEST_F(GaitRpcTest, FacadesOutliveTheSingleton)
{
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    // The plug-in's release deletes the singleton and the builder; the
    // facade stays with its client's reference, the component in its link.
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(m_pManager));
    EXPECT_EQ(ResolverSingleton(), nullptr);
    EXPECT_EQ(LiveFacades(), 1u);
    EXPECT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":2"), "{}");
    EXPECT_EQ(GaitComponentBuilder::GetComponent(m_pFirst->GetLink())->GetSpeed(), 2.0f);
    // Its last release destroys it without a registry to leave.
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":0}");
    EXPECT_EQ(LiveFacades(), 0u);
}

TEST_F(GaitRpcTest, FacadesOfARemovedPrefabAreRefusedAndNeverReachALaterOne)
{
    const std::string kRemoved = "{\"Error\":\"Assertion \\\"pInstance\\\" failed. The prefab has been removed\"}";
    TestSupport::CAssertCapture kReports;
    // With and without a Gait component on the removed instance.
    struct SCase
    {
        const char* pName;
        TarnEngine::PrefabInstance** ppInstance;
        RPC::CPrefab* pPrefab;
    };
    const SCase akCases[] = {
        {"with Gait", &m_pFirst, m_pFirstPrefab},
        {"without Gait", &m_pBare, m_pBarePrefab},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        const uint32 uiFacade = FacadeIdOf(kCase.pPrefab->GetInstanceID());
        TarnEngine::PrefabContainer* pContainer = (*kCase.ppInstance)->GetContainer();
        ASSERT_TRUE(m_pEngine->RemoveInstance(*kCase.ppInstance));
        *kCase.ppInstance = nullptr;
        // A new instance may take the removed one's memory: the facade must
        // not reach it.
        TarnEngine::PrefabInstance* pLater =
            m_pEngine->InstancePrefab(pContainer, {0.0f, 9.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(pLater, nullptr);

        for (const auto& [pMethod, kArgs] : std::vector<std::pair<const char*, std::string>>{
                 {"Activate", "\"Arg0\":true"},
                 {"SetSpeed", "\"Arg0\":1"},
                 {"SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":1,\"w\":0}"},
                 {"ReloadFromJson", "\"Arg0\":\"{}\""},
                 {"Reset", ""},
                 {"IsActive", ""}})
            EXPECT_EQ(CallFacade(uiFacade, pMethod, kArgs), kRemoved) << pMethod;
        EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true,
                               "\"Arg0\":" + InstanceRef(kCase.pPrefab->GetInstanceID()))),
                  kRemoved);
        if (GaitComponent* pComponent = GaitComponentBuilder::GetComponent(pLater->GetLink()))
        {
            EXPECT_FALSE(pComponent->IsActive());
            EXPECT_EQ(pComponent->GetSpeed(), 0.0f);
        }
        EXPECT_TRUE(kReports.Has("Assertion \"pInstance\" failed. The prefab has been removed"));
        EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":0}");
        kReports.Clear();
    }
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, ArgumentsOutsideTheirRangeAreRefusedAndChangeNothing)
{
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(m_pFirst->GetLink());
    ASSERT_NE(pComponent, nullptr);
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    ASSERT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":1.5"), "{}");
    ASSERT_EQ(CallFacade(uiFacade, "SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0.6,\"w\":0.8}"), "{}");
    const char* const kSpeedRange = "argument Arg0 must be a speed from 0 to 10";
    const char* const kNumberRange = "argument Arg0 must be a number between -3.4e38 and 3.4e38";
    const char* const kRotationRange = "argument Arg0 must be a rotation: the numbers \\\"x\\\", \\\"y\\\", \\\"z\\\" "
                                       "and \\\"w\\\" between -3.4e38 and 3.4e38, not all zero";
    const char* const akCases[][3] = {
        {"SetSpeed", "-1", kSpeedRange},
        {"SetSpeed", "10.5", kSpeedRange},
        {"SetSpeed", "3.4e38", kSpeedRange},
        {"SetSpeed", "1e39", kNumberRange},
        {"SetSpeed", "-1e39", kNumberRange},
        {"SetRotation", "{\"x\":0,\"y\":0,\"z\":0,\"w\":0}", kRotationRange},
        {"SetRotation", "{\"x\":0,\"y\":0,\"z\":1e39,\"w\":1}", kRotationRange},
    };
    TestSupport::CAssertCapture kReports;
    for (const auto& [pMethod, pArg, pExplanation] : akCases)
    {
        SCOPED_TRACE(std::string(pMethod) + " " + pArg);
        EXPECT_EQ(CallFacade(uiFacade, pMethod, std::string("\"Arg0\":") + pArg),
                  std::string("{\"Error\":\"Assertion \\\"Arg0\\\" failed. ") + pExplanation + "\"}");
        EXPECT_EQ(pComponent->GetSpeed(), 1.5f);
        EXPECT_EQ(pComponent->GetRotation().z, 0.6f);
    }
    // The ends of the range are taken.
    EXPECT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":10"), "{}");
    EXPECT_EQ(pComponent->GetSpeed(), 10.0f);
    EXPECT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":0"), "{}");
    EXPECT_EQ(pComponent->GetSpeed(), 0.0f);
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":0}");
}

TEST_F(GaitRpcTest, ExtremeValuesThatBypassTheRemoteChecksStillLeaveEveryStepShort)
{
    // Engine code may hand the component anything; the component and the
    // runtime keep every step of the engine bounded (a regression hangs
    // here until the test's time-out).
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(m_pFirst->GetLink());
    ASSERT_NE(pComponent, nullptr);
    pComponent->Activate(true);
    TestSupport::CAssertCapture kReports;
    const float afSpeeds[] = {
        3.0f, std::numeric_limits<float>::infinity(), -1.0f, std::numeric_limits<float>::quiet_NaN(), 1e7f, 2.0f};
    for (float fSpeed : afSpeeds)
    {
        // A speed the animation cannot follow is refused: the last one stays.
        const float fBefore = pComponent->GetSpeed();
        pComponent->SetSpeed(fSpeed);
        EXPECT_EQ(pComponent->GetSpeed(), fSpeed >= 0.0f && fSpeed <= GaitPlugin::kMaxSpeed ? fSpeed : fBefore);
        pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 1e30f, 1e30f));
        pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 0.0f, 0.0f));
        for (int i = 0; i < 30; ++i)
            m_pEngine->Step(16);
        const Math::LocalVector3 kPosition = m_pFirst->GetLink()->GetWorldPosition();
        EXPECT_TRUE(std::isfinite(kPosition.x) && std::isfinite(kPosition.y) && std::isfinite(kPosition.z));
    }
    // The rotation of no length was refused; the large one kept its direction.
    EXPECT_NEAR(pComponent->GetRotation().z, 0.7071068f, 1e-6f);
    EXPECT_TRUE(kReports.Has("Assertion \"dLengthSq > 0.0 && std::isfinite(dLengthSq)\" failed. GaitComponent : a "
                             "rotation of no length is ignored"));
}

// Plug-in entry statics

TEST_F(GaitPluginEntryTest, AnotherBuildIsRefusedWithTheInstanceSlotsBound)
{
    const uint32 uiCommands = m_pCommands->GetCommandCount();
    DataProvider::DataPoviderInterface* pOther = TARN_NEW(DataProvider::DataPoviderInterface);
    TarnEngine::PluginParam kParam;
    FillParam(kParam);
    kParam.m_pDataProvider = pOther;
    kParam.m_pEditorPickCallback = &TestPick;
    kParam.m_pBuildStamp->m_ui64PointerSize = 4;
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(GaitComponentBuilder::InitPluginStatic(&kParam));
    EXPECT_EQ(DataProvider::DataPoviderInterface::GetInstance(), pOther);
    EXPECT_EQ(GaitPlugin::GetEditorPickCallback(), &TestPick);
    EXPECT_EQ(CEngine::GetInstance(), m_pEngine);
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), nullptr);
    EXPECT_EQ(RegisteredGait(), nullptr);
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiCommands);
    EXPECT_EQ(m_pCommands->FindCommand("GaitComponentRpc", "SetSpeed"), nullptr);
    EXPECT_EQ(kReports.Count(), 0u);
    DataProvider::DataPoviderInterface::SetInstance(m_pProvider);
    TARN_DELETE(pOther);

    // Null fields leave their slots; a null pick callback clears the slot.
    TarnEngine::PluginParam kNulls;
    kNulls.m_pBuildStamp->m_ui64PointerSize = 4;
    EXPECT_FALSE(GaitComponentBuilder::InitPluginStatic(&kNulls));
    EXPECT_EQ(DataProvider::DataPoviderInterface::GetInstance(), m_pProvider);
    EXPECT_EQ(CEngine::GetInstance(), m_pEngine);
    EXPECT_EQ(GaitPlugin::GetEditorPickCallback(), nullptr);
}

TEST_F(GaitPluginEntryTest, StartRegistersCommandsBuilderAndSingletonAndASecondStartReplacesNothing)
{
    const uint32 uiEngineCommands = m_pCommands->GetCommandCount();
    ASSERT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    ASSERT_NE(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(RegisteredGait(), GaitPlugin::GetPluginBuilder());
    const TarnEngine::CustomComponentDesc* pDesc = GaitPlugin::GetPluginBuilder()->GetDesc();
    EXPECT_STREQ(pDesc->m_acName, "Gait");
    EXPECT_STREQ(pDesc->m_acContainerType, "PrefabContainer");
    EXPECT_STREQ(pDesc->m_acDisplayName, "Gait Plugin");
    EXPECT_EQ(ResolverSingleton(), GaitPlugin::GetPluginBuilderRpc());
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
    // Every command runs on the engine thread only.
    TarnEngine::EngineCommand* apFirst[10] = {};
    for (size_t i = 0; i < 10; ++i)
    {
        apFirst[i] = m_pCommands->FindCommand(kCommandNames[i][0], kCommandNames[i][1]);
        ASSERT_NE(apFirst[i], nullptr) << kCommandNames[i][1];
        EXPECT_FALSE(apFirst[i]->IsSafeOffEngineThread()) << kCommandNames[i][1];
    }
    GaitComponentBuilder* pBuilder = GaitPlugin::GetPluginBuilder();
    CGaitComponentBuilderRpc* pSingleton = GaitPlugin::GetPluginBuilderRpc();

    // The second start registers the commands again: the first ones stay.
    TestSupport::CLogCapture kLog;
    EXPECT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    EXPECT_TRUE(kLog.Contains(" : Instance has already been set"));
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(m_pCommands->FindCommand(kCommandNames[i][0], kCommandNames[i][1]), apFirst[i])
            << kCommandNames[i][1];
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), pBuilder);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), pSingleton);
    EXPECT_EQ(RegisteredGait(), pBuilder);

    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(m_pManager));
    EXPECT_EQ(RegisteredGait(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), nullptr);
    EXPECT_EQ(ResolverSingleton(), nullptr);
    // The commands stay.
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
}

TEST_F(GaitPluginEntryTest, ReleaseWithAManagerThatNeverRegisteredTheBuilder)
{
    ASSERT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    TarnEngine::PluginComponentBuilder* pBuilder = RegisteredGait();
    ASSERT_NE(pBuilder, nullptr);
    {
        TarnEngine::BasePluginManager kOther;
        TestSupport::CAssertCapture kReports;
        EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(&kOther));
        EXPECT_EQ(kOther.GetComponentBuilders().GetSize(), 0u);
        EXPECT_EQ(kReports.Count(), 0u);
    }
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), nullptr);
    EXPECT_EQ(ResolverSingleton(), nullptr);
    // The manager it was registered with was not touched: its entry is
    // dropped here, before the engine could step the destroyed builder.
    EXPECT_EQ(RegisteredGait(), pBuilder);
    m_pManager->UnregisterComponentBuilder(GenerateUIntIdFromString("Gait"));
}

TEST(GaitPluginEntry, AnEngineWithoutEndpointIsReportedAndTheBuilderStillStarts)
{
    ASSERT_FALSE(CEngine::HasInstance());
    ASSERT_EQ(TarnEngine::CPointerResolver::GetInstance(), nullptr);
    CEngine* pEngine = CEngine::CreateInstance(TarnEngine::SEngineStartup{});
    ASSERT_NE(pEngine, nullptr);
    ASSERT_EQ(pEngine->GetEngineNet(), nullptr);
    TarnEngine::PluginParam kParam;
    kParam.m_pPluginManager = pEngine->GetPluginManager();
    kParam.m_pEngine = pEngine;

    TestSupport::CAssertCapture kReports;
    EXPECT_TRUE(GaitComponentBuilder::InitPluginStatic(&kParam));
    EXPECT_EQ(kReports.Texts(),
              (std::vector<std::string>{
                  "Assertion \"pEngineNet\" failed. No EngineNet instance",
                  "Assertion \"CPointerResolver::GetInstance()\" failed. Instance ptr should be set (plugin?)",
              }));
    EXPECT_NE(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_NE(pEngine->GetPluginManager()->GetComponentBuilders().Lookup(GenerateUIntIdFromString("Gait")), nullptr);
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(pEngine->GetPluginManager()));
    EXPECT_EQ(pEngine->GetPluginManager()->GetComponentBuilders().Lookup(GenerateUIntIdFromString("Gait")), nullptr);
    CEngine::DestroyInstance();
}
