// The Gait component as an engine builds it for instances of the demo prefab,
// driven directly and through its remote facades on a real command manager;
// and the plug-in's entry statics on an engine with its network endpoint.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "Client/EngineClient.h"
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
using TarnEngine::CEngine;
using TarnEngine::PrefabInstance;

namespace {

// The remote methods of the plug-in: the builder's three, then the component's.
constexpr size_t kMethodCount = 11;
const char* const kMethods[kMethodCount] = {
    "ReleaseRef", "GetRPCSingleton", "GetPrefabComponent", "ReleaseRef", "Reset",   "SetRotation",
    "SetSpeed",   "ReloadFromJson",  "Activate",           "IsActive",   "GetState"};
// And the subscription class's (GaitSubscriptionTests.cpp): ReleaseRef,
// GetRPCSingleton, Subscribe, Add, Remove, Unsubscribe.
constexpr size_t kSubscriptionMethodCount = 6;
// GaitViewRpc: ReleaseRef, GetRPCSingleton, Subscribe, Select, Unsubscribe.
constexpr size_t kViewMethodCount = 5;

std::string Request(const char* pClass, const char* pMethod, uint32 uiInstance, bool bWaitAck,
                    const std::string& kArgs = "")
{
    return std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
           "\",\"InstanceID\":" + std::to_string(uiInstance) + ",\"WaitAck\":" + (bWaitAck ? "true" : "false") +
           ",\"UseTcpThread\":false" + (kArgs.empty() ? "" : "," + kArgs) + "}";
}

std::string PrefabArg(uint32 uiId)
{
    return "\"Arg0\":{\"InstanceID\":" + std::to_string(uiId) + "}";
}

uint32 LiveFacades()
{
    return TarnEngine::CPointerResolver::GetInstance()->GetObjectCount(
        Common::GetClassId<RPC::IRPCStub_CGaitComponent>());
}

// An engine with its network endpoint (an ephemeral port on 127.0.0.1) and a
// data provider the test owns. With m_bStartGait the engine starts the
// plug-in as it starts a loaded module, and places two instances of the demo
// character and a bare instance that carries no Gait component.
class GaitHostTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(CEngine::HasInstance());
        ASSERT_EQ(TarnEngine::CPointerResolver::GetInstance(), nullptr);
        m_pProvider = TARN_NEW(DataProvider::DataPoviderInterface);
        DataProvider::DataPoviderInterface::SetInstance(m_pProvider);
        TarnEngine::SEngineStartup kStartup;
        kStartup.pDataRoot = TARN_DATA_DIR;
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
        ASSERT_TRUE(m_pBuilder && m_pSingleton);
        TarnEngine::PrefabContainer* pContainer = m_pEngine->LoadPrefab("demo/biped.prefab.json");
        ASSERT_NE(pContainer, nullptr);
        m_pFirst = m_pEngine->InstancePrefab(pContainer, {0.0f, 0.0f, 0.0f}, Math::Quaternion::Identity());
        m_pSecond = m_pEngine->InstancePrefab(pContainer, {0.0f, 3.0f, 0.0f}, Math::Quaternion::Identity());
        // A prefab with no add-in at all, in a file of this process alone.
        m_kBareFile = testing::TempDir() + "bare" + std::to_string(getpid()) + ".prefab.json";
        std::ofstream(m_kBareFile) << "{\"Name\":\"Bare\"}";
        TarnEngine::PrefabContainer* pBare = m_pEngine->LoadPrefab(m_kBareFile.c_str());
        ASSERT_NE(pBare, nullptr);
        m_pBare = m_pEngine->InstancePrefab(pBare, {0.0f, 6.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_TRUE(m_pFirst && m_pSecond && m_pBare);
        m_pComponent = Component(m_pFirst);
        ASSERT_TRUE(m_pComponent && Component(m_pSecond));
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
    static GaitComponent* Component(PrefabInstance* pInstance)
    {
        return GaitComponentBuilder::GetComponent(pInstance->GetLink());
    }
    TarnEngine::PluginComponentBuilder* RegisteredGait() const
    {
        auto* const* ppBuilder = m_pManager->GetComponentBuilders().Lookup(GenerateUIntIdFromString("Gait"));
        return ppBuilder ? *ppBuilder : nullptr;
    }
    static RPC::IRPCStub_CGaitComponentBuilder* ResolverSingleton()
    {
        return TarnEngine::CPointerResolver::GetInstance()->GetSingleton<RPC::IRPCStub_CGaitComponentBuilder>();
    }
    // No builder or singleton left in the plug-in or the resolver.
    static bool Released()
    {
        return !GaitPlugin::GetPluginBuilder() && !GaitPlugin::GetPluginBuilderRpc() && !ResolverSingleton();
    }

    bool m_bStartGait = true;
    DataProvider::DataPoviderInterface* m_pProvider = nullptr;
    CEngine* m_pEngine = nullptr;
    TarnEngine::CommandManager* m_pCommands = nullptr;
    TarnEngine::BasePluginManager* m_pManager = nullptr;
    TarnEngine::PluginParam m_kParam;
    GaitComponentBuilder* m_pBuilder = nullptr;
    CGaitComponentBuilderRpc* m_pSingleton = nullptr;
    PrefabInstance* m_pFirst = nullptr;
    PrefabInstance* m_pSecond = nullptr;
    PrefabInstance* m_pBare = nullptr;
    GaitComponent* m_pComponent = nullptr;  // the first instance's
    std::string m_kBareFile;
};

using GaitComponentTest = GaitHostTest;

// The plug-in's entry points called by the test itself.
class GaitPluginEntryTest : public GaitHostTest
{
protected:
    GaitPluginEntryTest() { m_bStartGait = false; }
};

// Besides: a remote prefab of each instance (prefab IDs 0, 1 and 2), and
// requests run on this (the engine) thread.
class GaitRpcTest : public GaitHostTest
{
protected:
    void SetUp() override
    {
        GaitHostTest::SetUp();
        if (HasFatalFailure())
            return;
        for (PrefabInstance* pInstance : {m_pFirst, m_pSecond, m_pBare})
            m_kPrefabs.push_back(TARN_NEW(RPC::CPrefab, pInstance->GetHandle()));
    }
    void TearDown() override
    {
        EXPECT_EQ(m_pCommands->GetQueue().GetPendingCount(), 0u);
        for (RPC::CPrefab* pPrefab : m_kPrefabs)
            TARN_DELETE(pPrefab);
        GaitHostTest::TearDown();
    }

    std::string Call(const std::string& kRequest)
    {
        TarnEngine::CReturnBuffer kReply;
        m_pCommands->ExecuteJSon(kRequest.c_str(), &kReply);
        return kReply.GetText();
    }
    std::string CallFacade(uint32 uiFacade, const char* pMethod, const std::string& kArgs = "", bool bWaitAck = true)
    {
        return Call(Request("GaitComponentRpc", pMethod, uiFacade, bWaitAck, kArgs));
    }
    std::string GetPrefabComponent(uint32 uiPrefab)
    {
        return Call(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true,
                            PrefabArg(m_kPrefabs[uiPrefab]->GetInstanceID())));
    }
    // The facade ID that GetPrefabComponent gives for a prefab.
    uint32 FacadeIdOf(uint32 uiPrefab)
    {
        const std::string kReply = GetPrefabComponent(uiPrefab), kPrefix = "{\"Res\":{\"InstanceID\":";
        EXPECT_EQ(kReply.compare(0, kPrefix.size(), kPrefix), 0) << kReply;
        return kReply.size() > kPrefix.size() ? static_cast<uint32>(std::stoul(kReply.substr(kPrefix.size()))) : 0u;
    }

    std::vector<RPC::CPrefab*> m_kPrefabs;
};

// Besides: a client connected to the endpoint, as a tool reaches "tarn-host --demo 2". While it waits for a reply,
// this (the engine) thread runs the queued commands; between calls the test steps the engine.
class GaitRpcClientTest : public GaitHostTest, public TarnEngine::IClientIdleCallback
{
protected:
    void SetUp() override
    {
        GaitHostTest::SetUp();
        if (HasFatalFailure())
            return;
        m_kClient.SetIdleCallback(this);
        ASSERT_TRUE(m_kClient.Connect("127.0.0.1", m_pEngine->GetEngineNet()->GetPort()));
    }
    void TearDown() override
    {
        m_kClient.Disconnect();
        GaitHostTest::TearDown();
    }
    bool OnIdle() override
    {
        m_pEngine->ProcessCommands();
        return true;
    }
    rapidjson::Document Call(const char* pClass, const char* pMethod, int iInstance, const std::string& kArgs = "")
    {
        const std::string kRequest = Request(pClass, pMethod, static_cast<uint32>(iInstance), true, kArgs);
        TarnEngine::CReturnBuffer kReply;
        EXPECT_TRUE(m_kClient.DoCall(kRequest.c_str(), &kReply)) << kRequest;
        // Full precision: positions are compared with the engine's own.
        rapidjson::Document kDocument;
        kDocument.Parse<rapidjson::kParseFullPrecisionFlag>(kReply.GetText());
        EXPECT_TRUE(kDocument.IsObject() && !kDocument.HasMember("Error")) << kReply.GetText();
        return kDocument;
    }
    static int IdOf(const rapidjson::Document& kReply) { return kReply["Res"]["InstanceID"].GetInt(); }

    TarnEngine::CEngineClientRPC m_kClient;
};

}  // namespace

TEST_F(GaitComponentTest, RequestsWaitForActivationAndOnlyTheActivatedCharacterWalks)
{
    EXPECT_EQ(m_pBuilder->links.GetSize(), 2u);
    // Stored in standby, taken up at the first update after activation.
    EXPECT_FALSE(m_pComponent->IsActive());
    m_pComponent->SetSpeed(1.0f);
    Steps(20);
    EXPECT_EQ(m_pFirst->GetLink()->GetWorldPosition().x, 0.0f);
    m_pComponent->Activate(true);
    Steps(200);
    EXPECT_GT(m_pFirst->GetLink()->GetWorldPosition().x, 2.0f);
    EXPECT_EQ(m_pSecond->GetLink()->GetWorldPosition().x, 0.0f);
    EXPECT_EQ(m_pComponent->GetActor().GetCurrentMovement(), GaitPlugin::EAnimMovement::Walk);
    // Reset stops and starts again: standing, from Idle.
    m_pComponent->Reset();
    EXPECT_TRUE(m_pComponent->IsActive());
    EXPECT_EQ(m_pComponent->GetActor().GetCurrentMovement(), GaitPlugin::EAnimMovement::Idle);
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
    pComponent->Activate(true);
    m_pBuilder->DestroyComponent(pLink);
    EXPECT_FALSE(pComponent->IsActive());
    EXPECT_EQ(m_pBuilder->links.GetSize(), 1u);
}

TEST_F(GaitComponentTest, ReloadingChecksTheTextAndAComponentWithoutDataOrCharacterStaysUnbound)
{
    const std::string kGait = TestSupport::ReadTextFile(std::string(TARN_DATA_DIR) + "/demo/biped.gait.json");
    m_pComponent->Activate(true);
    TestSupport::CAssertCapture kReports;
    // Text that does not parse, or a document the loader rejects: false,
    // and nothing changes.
    EXPECT_FALSE(m_pComponent->ReloadFromJson("{"));
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Could not parse JSON file"));
    EXPECT_FALSE(m_pComponent->ReloadFromJson("{\"Binds\": 3}"));
    EXPECT_TRUE(m_pComponent->IsActive());
    EXPECT_TRUE(m_pComponent->ReloadFromJson(kGait.c_str()));
    EXPECT_FALSE(m_pComponent->IsActive());
    EXPECT_TRUE(GaitPlugin::IsDataValid(&m_pComponent->GetRuntimeData()));
    // Without data, or on a link without an animated character: unbound.
    GaitComponent kComponent;
    kReports.Clear();
    kComponent.Init(m_pFirst->GetLink(), m_pFirst);
    EXPECT_FALSE(kComponent.ReloadFromJson(kGait.c_str()));
    EXPECT_EQ(
        kReports.Texts(),
        (std::vector<std::string>{"Assertion \"m_pData\" failed. Can't init component if data is not loaded once",
                                  "Assertion \"m_pData\" failed. Can't reload component if data is not loaded once"}));
    TarnRenderer::Link kBare;
    kComponent.SetData(m_pComponent->GetData());
    kReports.Clear();
    kComponent.Init(&kBare, m_pFirst);
    EXPECT_EQ(kReports.Count(), 0u);
    kComponent.Activate(true);
    EXPECT_FALSE(kComponent.IsActive());
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Gait data is not valid"));
}

TEST_F(GaitRpcTest, OneFacadePerPrefabLinkUntilItsLastReleaseAndTheSingletonStays)
{
    TestSupport::CAssertCapture kReports;
    RPC::CGaitComponent* pFirst = m_pSingleton->GetPrefabComponent(m_kPrefabs[0]);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(m_kPrefabs[0]), pFirst);
    // Another remote prefab of the same placed instance: the same link.
    RPC::CPrefab* pAlias = TARN_NEW(RPC::CPrefab, m_pFirst->GetHandle());
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(pAlias), pFirst);
    TARN_DELETE(pAlias);
    RPC::CGaitComponent* pSecond = m_pSingleton->GetPrefabComponent(m_kPrefabs[1]);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_NE(pSecond, pFirst);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 2u);
    EXPECT_EQ(LiveFacades(), 2u);
    EXPECT_EQ(kReports.Count(), 0u);
    RPC::CPrefab* const pNull = nullptr;
    EXPECT_EQ(m_pSingleton->GetPrefabComponent(pNull), nullptr);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"_pPrefab\" failed. "});
    TARN_DELETE(pFirst);
    TARN_DELETE(pSecond);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
    // The singleton stays at the last release of its remote references.
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true)), "{\"Res\":0}");
    EXPECT_EQ(ResolverSingleton(), m_pSingleton);
    // A facade's last release, also one without a reply, removes it.
    const uint32 uiFacade = FacadeIdOf(0);
    EXPECT_EQ(FacadeIdOf(0), uiFacade);
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":1}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 1u);
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef", "", false), "");
    EXPECT_EQ(m_pCommands->ProcessQueue(), 1u);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
    EXPECT_EQ(LiveFacades(), 0u);
    // The prefab gets a new facade.
    EXPECT_EQ(FacadeIdOf(0), uiFacade + 1);
}

TEST_F(GaitRpcTest, FacadeOfAPrefabWithoutGaitIsSilentExceptForReset)
{
    RPC::CGaitComponent* pFacade = m_pSingleton->GetPrefabComponent(m_kPrefabs[2]);
    ASSERT_NE(pFacade, nullptr);
    EXPECT_EQ(Component(m_pBare), nullptr);
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    EXPECT_FALSE(pFacade->IsActive());
    pFacade->Activate(true);
    pFacade->SetSpeed(1.5f);
    pFacade->SetRotation(Math::Quaternion(0.0f, 0.0f, 0.7071068f, 0.7071068f));
    pFacade->ReloadFromJson("{ not json");
    EXPECT_FALSE(pFacade->IsActive());
    EXPECT_FALSE(pFacade->GetState().m_bHasComponent);  // answered as null
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_TRUE(kLog.Lines().empty());
    pFacade->Reset();
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{"Assertion \"false\" failed. Couldn't get link user data of "
                                                         "type <GaitPlugin::GaitComponent>"});
    TARN_DELETE(pFacade);
}

TEST_F(GaitRpcTest, FacadesOutliveTheSingleton)
{
    const uint32 uiFacade = FacadeIdOf(0);
    // The plug-in's release deletes the singleton and the builder; the
    // facade stays with its client's reference, the component in its link.
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(m_pManager));
    EXPECT_EQ(ResolverSingleton(), nullptr);
    EXPECT_EQ(LiveFacades(), 1u);
    EXPECT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":2"), "{}");
    EXPECT_EQ(m_pComponent->GetSpeed(), 2.0f);
    // Its last release destroys it without a registry to leave.
    EXPECT_EQ(CallFacade(uiFacade, "ReleaseRef"), "{\"Res\":0}");
    EXPECT_EQ(LiveFacades(), 0u);
}

TEST_F(GaitRpcTest, FacadesOfARemovedPrefabAreRefusedAndNeverReachALaterOne)
{
    const std::string kRefused = "{\"Error\":\"Assertion \\\"pInstance\\\" failed. The prefab has been removed\"}";
    TestSupport::CAssertCapture kReports;
    // With a Gait component on the removed instance, and without.
    for (PrefabInstance** ppInstance : {&m_pFirst, &m_pBare})
    {
        const uint32 uiPrefab = ppInstance == &m_pFirst ? 0 : 2;
        SCOPED_TRACE(uiPrefab);
        const uint32 uiFacade = FacadeIdOf(uiPrefab);
        TarnEngine::PrefabContainer* pContainer = (*ppInstance)->GetContainer();
        ASSERT_TRUE(m_pEngine->RemoveInstance(*ppInstance));
        *ppInstance = nullptr;
        // A new instance may take the removed one's memory: the facade must
        // not reach it.
        PrefabInstance* pLater =
            m_pEngine->InstancePrefab(pContainer, {0.0f, 9.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(pLater, nullptr);
        for (const auto& [pMethod, pArgs] : {std::pair("Activate", "\"Arg0\":true"),
                                             {"SetSpeed", "\"Arg0\":1"},
                                             {"SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":1,\"w\":0}"},
                                             {"ReloadFromJson", "\"Arg0\":\"{}\""},
                                             {"Reset", ""},
                                             {"IsActive", ""},
                                             {"GetState", ""}})
            EXPECT_EQ(CallFacade(uiFacade, pMethod, pArgs), kRefused) << pMethod;
        EXPECT_EQ(GetPrefabComponent(uiPrefab), kRefused);
        if (GaitComponent* pComponent = Component(pLater))
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
    const uint32 uiFacade = FacadeIdOf(0);
    ASSERT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":1.5"), "{}");
    ASSERT_EQ(CallFacade(uiFacade, "SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0.6,\"w\":0.8}"), "{}");
    EXPECT_EQ(m_pComponent->GetRotation().w, 0.8f);
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
        EXPECT_EQ(m_pComponent->GetSpeed(), 1.5f);
        EXPECT_EQ(m_pComponent->GetRotation().z, 0.6f);
    }
    EXPECT_EQ(Component(m_pSecond)->GetSpeed(), 0.0f);  // the other prefab's
    // The ends of the range are taken.
    for (float fSpeed : {10.0f, 0.0f})
    {
        EXPECT_EQ(CallFacade(uiFacade, "SetSpeed", "\"Arg0\":" + std::to_string(fSpeed)), "{}");
        EXPECT_EQ(m_pComponent->GetSpeed(), fSpeed);
    }
}

TEST_F(GaitRpcTest, ExtremeValuesThatBypassTheRemoteChecksStillLeaveEveryStepShort)
{
    // Engine code may hand the component anything; the component and the
    // runtime keep every step of the engine bounded (a regression hangs here
    // until the test's time-out).
    m_pComponent->Activate(true);
    TestSupport::CAssertCapture kReports;
    for (float fSpeed :
         {3.0f, std::numeric_limits<float>::infinity(), -1.0f, std::numeric_limits<float>::quiet_NaN(), 1e7f, 2.0f})
    {
        // A speed the animation cannot follow is refused: the last one stays.
        const float fBefore = m_pComponent->GetSpeed();
        m_pComponent->SetSpeed(fSpeed);
        EXPECT_EQ(m_pComponent->GetSpeed(), fSpeed >= 0.0f && fSpeed <= GaitPlugin::kMaxSpeed ? fSpeed : fBefore);
        m_pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 1e30f, 1e30f));
        m_pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 0.0f, 0.0f));
        Steps(30);
        const Math::LocalVector3 kPosition = m_pFirst->GetLink()->GetWorldPosition();
        EXPECT_TRUE(std::isfinite(kPosition.x) && std::isfinite(kPosition.y) && std::isfinite(kPosition.z));
    }
    // The rotation of no length was refused; the large one kept its direction.
    EXPECT_NEAR(m_pComponent->GetRotation().z, 0.7071068f, 1e-6f);
    EXPECT_TRUE(kReports.Has("Assertion \"dLengthSq > 0.0 && std::isfinite(dLengthSq)\" failed. GaitComponent : a "
                             "rotation of no length is ignored"));
}

TEST_F(GaitPluginEntryTest, AnotherBuildIsRefusedWithTheInstanceSlotsBound)
{
    const uint32 uiCommands = m_pCommands->GetCommandCount();
    DataProvider::DataPoviderInterface* pOther = TARN_NEW(DataProvider::DataPoviderInterface);
    TarnEngine::PluginParam kParam;
    FillParam(kParam);
    kParam.m_pDataProvider = pOther;
    kParam.m_pEditorPickCallback = [](void*, uint32*) {};
    kParam.m_pBuildStamp->m_ui64PointerSize = 4;
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(GaitComponentBuilder::InitPluginStatic(&kParam));
    EXPECT_EQ(DataProvider::DataPoviderInterface::GetInstance(), pOther);
    EXPECT_EQ(GaitPlugin::GetEditorPickCallback(), kParam.m_pEditorPickCallback);
    EXPECT_EQ(CEngine::GetInstance(), m_pEngine);
    EXPECT_TRUE(Released());
    EXPECT_EQ(RegisteredGait(), nullptr);
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiCommands);
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
    GaitComponentBuilder* pBuilder = GaitPlugin::GetPluginBuilder();
    CGaitComponentBuilderRpc* pSingleton = GaitPlugin::GetPluginBuilderRpc();
    ASSERT_NE(pBuilder, nullptr);
    EXPECT_EQ(RegisteredGait(), pBuilder);
    EXPECT_STREQ(pBuilder->GetDesc()->m_acName, "Gait");
    EXPECT_STREQ(pBuilder->GetDesc()->m_acContainerType, "PrefabContainer");
    EXPECT_STREQ(pBuilder->GetDesc()->m_acDisplayName, "Gait Plugin");
    EXPECT_EQ(ResolverSingleton(), pSingleton);
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(),
              uiEngineCommands + kMethodCount + kSubscriptionMethodCount + kViewMethodCount);
    // Every command runs on the engine thread only.
    const auto Find = [&](size_t i) {
        return m_pCommands->FindCommand(i < 3 ? "GaitComponentBuilderRpc" : "GaitComponentRpc", kMethods[i]);
    };
    TarnEngine::EngineCommand* apFirst[kMethodCount] = {};
    for (size_t i = 0; i < kMethodCount; ++i)
    {
        ASSERT_NE(apFirst[i] = Find(i), nullptr) << kMethods[i];
        EXPECT_FALSE(apFirst[i]->IsSafeOffEngineThread()) << kMethods[i];
    }
    // The second start registers the commands again: the first ones stay.
    TestSupport::CLogCapture kLog;
    EXPECT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    EXPECT_TRUE(kLog.Contains(" : Instance has already been set"));
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(),
              uiEngineCommands + kMethodCount + kSubscriptionMethodCount + kViewMethodCount);
    for (size_t i = 0; i < kMethodCount; ++i)
        EXPECT_EQ(Find(i), apFirst[i]) << kMethods[i];
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), pBuilder);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), pSingleton);
    EXPECT_EQ(RegisteredGait(), pBuilder);
    // Released, the commands stay.
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(m_pManager));
    EXPECT_TRUE(Released());
    EXPECT_EQ(RegisteredGait(), nullptr);
    EXPECT_EQ(m_pCommands->GetCommandCount(),
              uiEngineCommands + kMethodCount + kSubscriptionMethodCount + kViewMethodCount);
}

TEST_F(GaitPluginEntryTest, ReleaseWithAManagerThatNeverRegisteredTheBuilder)
{
    ASSERT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    TarnEngine::PluginComponentBuilder* pBuilder = RegisteredGait();
    ASSERT_NE(pBuilder, nullptr);
    TarnEngine::BasePluginManager kOther;
    TestSupport::CAssertCapture kReports;
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(&kOther));
    EXPECT_EQ(kOther.GetComponentBuilders().GetSize(), 0u);
    EXPECT_EQ(kReports.Count(), 0u);
    EXPECT_TRUE(Released());
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
    const auto Registered = [&] {
        return pEngine->GetPluginManager()->GetComponentBuilders().Lookup(GenerateUIntIdFromString("Gait"));
    };
    TestSupport::CAssertCapture kReports;
    EXPECT_TRUE(GaitComponentBuilder::InitPluginStatic(&kParam));
    EXPECT_EQ(kReports.Texts(),
              (std::vector<std::string>{
                  "Assertion \"pEngineNet\" failed. No EngineNet instance",
                  "Assertion \"CPointerResolver::GetInstance()\" failed. Instance ptr should be set (plugin?)"}));
    EXPECT_NE(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_NE(Registered(), nullptr);
    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(pEngine->GetPluginManager()));
    EXPECT_EQ(Registered(), nullptr);
    CEngine::DestroyInstance();
}

TEST_F(GaitRpcClientTest, AListedCharacterIsSteeredThroughTurnWalkAndStopAndSaysWhereItIs)
{
    // The first character the host placed, found in the list.
    const int iManager = IdOf(Call("Root", "GetPrefabManager", 0));
    const rapidjson::Document kList = Call("PrefabManager", "ListPrefabs", iManager);
    ASSERT_EQ(kList["Res"].Size(), 3u);
    const uint64 uiId = kList["Res"][0]["Id"].GetUint64();
    EXPECT_EQ(uiId, m_pFirst->GetHandle());
    const int iPrefab = IdOf(Call("PrefabManager", "GetPrefab", iManager, "\"Arg0\":" + std::to_string(uiId)));
    const int iGait = IdOf(Call("GaitComponentBuilderRpc", "GetPrefabComponent", 0, PrefabArg(iPrefab)));
    const auto Movement = [](const rapidjson::Value& kState) {
        return kState["Movement"].IsNull() ? std::string("-") : std::string(kState["Movement"].GetString());
    };
    rapidjson::Document kState = Call("GaitComponentRpc", "GetState", iGait);
    EXPECT_FALSE(kState["Res"]["Active"].GetBool());
    EXPECT_EQ(Movement(kState["Res"]), "-");

    // A quarter turn to the left, then a walk.
    Call("GaitComponentRpc", "Activate", iGait, "\"Arg0\":true");
    Call("GaitComponentRpc", "SetRotation", iGait, "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0.70710678,\"w\":0.70710678}");
    Call("GaitComponentRpc", "SetSpeed", iGait, "\"Arg0\":1");
    kState = Call("GaitComponentRpc", "GetState", iGait);
    EXPECT_NEAR(kState["Res"]["HeadingError"].GetDouble(), 90.0, 1e-3);
    EXPECT_FALSE(kState["Res"]["Arrived"].GetBool());

    // Steps until the character has arrived, polling its state; true when it arrived in kMovement. kSeen gets the
    // movements it went through, a movement that lasted several polls once, and kContacts every foot contact.
    struct SContact
    {
        std::string kMovement;
        uint32 uiFrame;
        uint64 uiTimeMs;
        double dY;
    };
    std::vector<SContact> kContacts;
    const auto RunUntilArrivedIn = [&](const std::string& kMovement, std::vector<std::string>& kSeen) {
        for (int iPoll = 0; iPoll < 1000; ++iPoll)
        {
            Steps(4);
            kState = Call("GaitComponentRpc", "GetState", iGait);
            const rapidjson::Value& kRes = kState["Res"];
            if (kSeen.empty() || kSeen.back() != Movement(kRes))
                kSeen.push_back(Movement(kRes));
            for (const rapidjson::Value& kContact : kRes["Contacts"].GetArray())
                kContacts.push_back({Movement(kContact), kContact["Frame"].GetUint(), kContact["TimeMs"].GetUint64(),
                                     kContact["Position"]["y"].GetDouble()});
            EXPECT_EQ(kRes["ContactsDropped"].GetUint(), 0u);
            if (kRes["Arrived"].GetBool())
                return Movement(kRes) == kMovement;
        }
        return false;
    };
    std::vector<std::string> kSeen;
    ASSERT_TRUE(RunUntilArrivedIn("Walk", kSeen));
    // Turned in place first (a quarter turn is beyond what a walk steers to), then started.
    ASSERT_GE(kSeen.size(), 3u);
    EXPECT_EQ(kSeen[kSeen.size() - 3], "TurnLeft");
    EXPECT_TRUE(kSeen[kSeen.size() - 2] == "IdleToWalkLeft" || kSeen[kSeen.size() - 2] == "IdleToWalkRight");
    Steps(240);

    Call("GaitComponentRpc", "SetSpeed", iGait, "\"Arg0\":0");
    kSeen.clear();
    ASSERT_TRUE(RunUntilArrivedIn("Idle", kSeen));
    ASSERT_GE(kSeen.size(), 2u);
    EXPECT_TRUE(kSeen[kSeen.size() - 2] == "WalkToIdleLeft" || kSeen[kSeen.size() - 2] == "WalkToIdleRight");
    EXPECT_LE(std::fabs(kState["Res"]["HeadingError"].GetDouble()), GaitComponent::kArrivedDegrees);
    EXPECT_NEAR(kState["Res"]["Heading"].GetDouble(), 90.0, GaitComponent::kArrivedDegrees);
    EXPECT_EQ(kState["Res"]["Position"]["y"].GetDouble(), m_pFirst->GetLink()->GetWorldPosition().y);

    // The walk's feet touched down in turn, each contact once, while the character went along +Y.
    ASSERT_GE(kContacts.size(), 4u);
    for (size_t i = 1; i < kContacts.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(kContacts[i].kMovement, "Walk");
        EXPECT_NE(kContacts[i].uiFrame, kContacts[i - 1].uiFrame);
        EXPECT_GT(kContacts[i].uiTimeMs, kContacts[i - 1].uiTimeMs);
    }
    EXPECT_GT(kContacts.back().dY, kContacts.front().dY + 1.0);
}

TEST_F(GaitComponentTest, FootContactsAreKeptFromTheFirstTakeUpToTheLastOnesAndTheRestCounted)
{
    GaitPlugin::SFootContact akContacts[GaitComponent::kMaxFootContacts];
    uint32 uiDropped = 1;
    m_pComponent->Activate(true);
    m_pComponent->SetSpeed(GaitPlugin::kMaxSpeed);
    Steps(100);
    EXPECT_EQ(m_pComponent->TakeFootContacts(akContacts, uiDropped), 0u);  // nothing kept before
    EXPECT_EQ(uiDropped, 0u);
    Steps(600);
    const uint64 uiNow = m_pComponent->GetElapsedMs();
    ASSERT_EQ(m_pComponent->TakeFootContacts(akContacts, uiDropped), GaitComponent::kMaxFootContacts);
    EXPECT_GT(uiDropped, 0u);
    // The last ones, oldest first.
    for (uint32 i = 1; i < GaitComponent::kMaxFootContacts; ++i)
        EXPECT_GT(akContacts[i].uiTimeMs, akContacts[i - 1].uiTimeMs) << i;
    EXPECT_LE(akContacts[GaitComponent::kMaxFootContacts - 1].uiTimeMs, uiNow);
    EXPECT_GT(akContacts[0].uiTimeMs, uiNow - 6000);
    EXPECT_EQ(m_pComponent->TakeFootContacts(akContacts, uiDropped), 0u);
    EXPECT_EQ(uiDropped, 0u);
}
