// The Gait plug-in's remote classes on a real command manager and the demo
// character, and the plug-in's entry statics on an engine with its network
// endpoint.
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>
#include <string>

#include <gtest/gtest.h>

#include "Commands/CommandManager.h"
#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugin/GaitPluginEntry.h"
#include "RPC/GaitComponentBuilderRpc.h"
#include "RPC/GaitComponentRpc.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/ClassName.h"
#include "World/PrefabInstance.h"
#include "support/ReportCapture.h"

using GaitPlugin::GaitComponent;
using GaitPlugin::GaitComponentBuilder;
using RPC::CGaitComponentBuilderRpc;
using RPC::IRPCStub_CGaitComponent;
using RPC::IRPCStub_CGaitComponentBuilder;
using TarnEngine::CEngine;
using TarnEngine::CommandManager;
using TarnEngine::CReturnBuffer;

namespace {

const char* const kNoComponentReport =
    "Assertion \"false\" failed. Couldn't get link user data of type <GaitPlugin::GaitComponent>";

std::string Request(const char* pClass, const char* pMethod, uint32 uiInstance, bool bWaitAck,
                    const std::string& kArgs = "")
{
    std::string kText = std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
                        "\",\"InstanceID\":" + std::to_string(uiInstance) +
                        ",\"WaitAck\":" + (bWaitAck ? "true" : "false") + ",\"UseTcpThread\":false";
    if (!kArgs.empty())
        kText += "," + kArgs;
    return kText + "}";
}

std::string InstanceRef(uint32 uiId)
{
    return "{\"InstanceID\":" + std::to_string(uiId) + "}";
}

uint32 LiveFacades()
{
    return TarnEngine::CPointerResolver::GetInstance()->GetObjectCount(Common::GetClassId<IRPCStub_CGaitComponent>());
}

GaitComponentBuilder* s_pTestBuilder = nullptr;

bool InitTestGait(TarnEngine::PluginParam* pParam)
{
    s_pTestBuilder = TARN_NEW(GaitComponentBuilder);
    pParam->m_pPluginManager->RegisterComponentBuilder(s_pTestBuilder);
    return true;
}

bool ReleaseTestGait(TarnEngine::IPluginManager* pManager)
{
    pManager->UnregisterComponentBuilder(s_pTestBuilder->GetDesc()->m_uiComponentId);
    TARN_DELETE(s_pTestBuilder);
    s_pTestBuilder = nullptr;
    return true;
}

// A command manager with the Gait commands and the builder's singleton, an
// engine running the Gait builder with two instances of the demo character,
// and a bare instance that carries no Gait component.
class GaitRpcTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(CEngine::HasInstance());
        ASSERT_TRUE(m_kCommands.Init());
        RPC::RegisterGaitRemoteClasses(m_kCommands);
        m_pSingleton = TARN_NEW(CGaitComponentBuilderRpc);

        static const std::string s_kDataDir = TARN_DATA_DIR;
        TarnEngine::SEngineStartup kStartup;
        kStartup.pDataRoot = s_kDataDir.c_str();
        kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
            pManager->RegisterStaticPlugin(&InitTestGait, &ReleaseTestGait);
        };
        CEngine* pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(pEngine, nullptr);
        TarnEngine::PrefabContainer* pContainer = pEngine->LoadPrefab("demo/biped.prefab.json");
        ASSERT_NE(pContainer, nullptr);
        m_pFirst = pEngine->InstancePrefab(pContainer, {0.0f, 0.0f, 0.0f}, Math::Quaternion::Identity());
        m_pSecond = pEngine->InstancePrefab(pContainer, {0.0f, 3.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(m_pFirst, nullptr);
        ASSERT_NE(m_pSecond, nullptr);
        // A prefab with no add-in at all: its instances carry no Gait
        // component.
        m_kBareFile = testing::TempDir() + "bare.prefab.json";
        FILE* pFile = fopen(m_kBareFile.c_str(), "wb");
        ASSERT_NE(pFile, nullptr);
        fputs("{\"Name\":\"Bare\"}", pFile);
        fclose(pFile);
        TarnEngine::PrefabContainer* pBare = pEngine->LoadPrefab(m_kBareFile.c_str());
        ASSERT_NE(pBare, nullptr);
        m_pBare = pEngine->InstancePrefab(pBare, {0.0f, 6.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(m_pBare, nullptr);
        m_pFirstPrefab = TARN_NEW(RPC::CPrefab, m_pFirst->GetHandle());   // prefab ID 0
        m_pSecondPrefab = TARN_NEW(RPC::CPrefab, m_pSecond->GetHandle()); // 1
        m_pBarePrefab = TARN_NEW(RPC::CPrefab, m_pBare->GetHandle());     // 2
    }
    void TearDown() override
    {
        EXPECT_EQ(m_kCommands.GetQueue().GetPendingCount(), 0u);
        TARN_DELETE(m_pFirstPrefab);
        TARN_DELETE(m_pSecondPrefab);
        TARN_DELETE(m_pBarePrefab);
        TARN_DELETE(m_pSingleton);
        CEngine::DestroyInstance();
        remove(m_kBareFile.c_str());
    }

    // Runs a request on this (the engine) thread and returns the reply.
    std::string Call(const std::string& kRequest)
    {
        m_kReply.Clear();
        m_kCommands.ExecuteJSon(kRequest.c_str(), &m_kReply);
        return m_kReply.GetText();
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

    CommandManager m_kCommands;
    CReturnBuffer m_kReply;
    CGaitComponentBuilderRpc* m_pSingleton = nullptr;
    TarnEngine::PrefabInstance* m_pFirst = nullptr;
    TarnEngine::PrefabInstance* m_pSecond = nullptr;
    TarnEngine::PrefabInstance* m_pBare = nullptr;
    std::string m_kBareFile;
    RPC::CPrefab* m_pFirstPrefab = nullptr;
    RPC::CPrefab* m_pSecondPrefab = nullptr;
    RPC::CPrefab* m_pBarePrefab = nullptr;
};

} // namespace

TEST_F(GaitRpcTest, TheTenCommandsAreRegisteredWithTheirKindsAndTheFirstRegistrationStays)
{
    using namespace TarnEngine;
    using B = IRPCStub_CGaitComponentBuilder;
    using C = IRPCStub_CGaitComponent;
    struct SCase
    {
        const char* pClass;
        const char* pMethod;
        bool (*pIsKind)(EngineCommand*);
    };
    const SCase akCases[] = {
        {"GaitComponentBuilderRpc", "ReleaseRef",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT0<B, int>*>(p); }},
        {"GaitComponentBuilderRpc", "GetRPCSingleton",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandSingleton<B>*>(p); }},
        {"GaitComponentBuilderRpc", "GetPrefabComponent",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT1<B, RPC::CGaitComponent*, RPC::CPrefab*>*>(p); }},
        {"GaitComponentRpc", "ReleaseRef",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT0<C, int>*>(p); }},
        {"GaitComponentRpc", "Reset", [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT0<C, void>*>(p); }},
        {"GaitComponentRpc", "SetRotation",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT1<C, void, Math::Quaternion>*>(p); }},
        {"GaitComponentRpc", "SetSpeed",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT1<C, void, float>*>(p); }},
        {"GaitComponentRpc", "ReloadFromJson",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT1<C, void, const char*>*>(p); }},
        {"GaitComponentRpc", "Activate",
         [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT1<C, void, bool>*>(p); }},
        {"GaitComponentRpc", "IsActive", [](EngineCommand* p) { return !!dynamic_cast<EngineCommandT0<C, bool>*>(p); }},
    };
    EXPECT_EQ(m_kCommands.GetCommandCount(), 10u);
    EngineCommand* apFirst[10] = {};
    for (size_t i = 0; i < 10; ++i)
    {
        SCOPED_TRACE(std::string(akCases[i].pClass) + "." + akCases[i].pMethod);
        apFirst[i] = m_kCommands.FindCommand(akCases[i].pClass, akCases[i].pMethod);
        ASSERT_NE(apFirst[i], nullptr);
        EXPECT_TRUE(akCases[i].pIsKind(apFirst[i]));
        EXPECT_FALSE(apFirst[i]->IsSafeOffEngineThread());
    }
    RPC::RegisterGaitRemoteClasses(m_kCommands);
    EXPECT_EQ(m_kCommands.GetCommandCount(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(m_kCommands.FindCommand(akCases[i].pClass, akCases[i].pMethod), apFirst[i]) << akCases[i].pMethod;
}

TEST_F(GaitRpcTest, OneFacadePerPrefabLink)
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

TEST_F(GaitRpcTest, RequestsReachTheComponentOfTheirPrefab)
{
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(m_pFirst->GetLink());
    GaitComponent* pOther = GaitComponentBuilder::GetComponent(m_pSecond->GetLink());
    ASSERT_NE(pComponent, nullptr);
    ASSERT_NE(pOther, nullptr);

    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(FacadeIdOf(m_pFirstPrefab->GetInstanceID()), uiFacade);
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
        EXPECT_EQ(Call(Request("GaitComponentRpc", kCase.pMethod, uiFacade, kCase.bWaitAck, kCase.kArgs)),
                  kCase.pReply);
        m_kCommands.ProcessQueue();
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
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReloadFromJson", uiFacade, true, "\"Arg0\":\"{ not json\"")), "{}");
    EXPECT_GT(kReports.Count(), 0u);
    kReports.Clear();
    EXPECT_EQ(Call(Request("GaitComponentRpc", "Activate", uiFacade, true, "\"Arg0\":false")), "{}");
    EXPECT_EQ(Call(Request("GaitComponentRpc", "IsActive", uiFacade, true)), "{\"Res\":false}");
    EXPECT_EQ(Call(Request("GaitComponentRpc", "Reset", uiFacade, true)), "{}");
    EXPECT_EQ(kReports.Count(), 0u);

    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":1}");
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":0}");
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiOtherFacade, true)), "{\"Res\":0}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, SingletonReleaseRefReturnsTheCountAndTheSingletonKeepsAnswering)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
    EXPECT_EQ(m_pSingleton->GetRefCount(), 2u);
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true)), "{\"Res\":1}");
    EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true)), "{\"Res\":0}");
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance()->GetSingleton<IRPCStub_CGaitComponentBuilder>(),
              m_pSingleton);
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":0}");
}

TEST_F(GaitRpcTest, FacadeReleasedToZeroLeavesTheRegistry)
{
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(FacadeIdOf(m_pFirstPrefab->GetInstanceID()), uiFacade); // two references
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":1}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 1u);
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, false)), "");
    EXPECT_EQ(m_kCommands.ProcessQueue(), 1u);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
    EXPECT_EQ(LiveFacades(), 0u);

    // The old ID is gone for good; the prefab gets a new facade.
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(Call(Request("GaitComponentRpc", "IsActive", uiFacade, true)),
              "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}");
    const uint32 uiNew = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    EXPECT_EQ(uiNew, uiFacade + 1);
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 1u);
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiNew, true)), "{\"Res\":0}");
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, FacadesOutliveTheSingleton)
{
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    TARN_DELETE(m_pSingleton);
    m_pSingleton = nullptr;
    EXPECT_EQ(LiveFacades(), 1u);
    EXPECT_EQ(Call(Request("GaitComponentRpc", "SetSpeed", uiFacade, true, "\"Arg0\":2")), "{}");
    EXPECT_EQ(GaitComponentBuilder::GetComponent(m_pFirst->GetLink())->GetSpeed(), 2.0f);
    // Its last release destroys it without a registry to leave.
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":0}");
    EXPECT_EQ(LiveFacades(), 0u);
}

TEST_F(GaitRpcTest, FacadesOfARemovedPrefabAreRefusedAndNeverReachALaterOne)
{
    const std::string kRemoved =
        "{\"Error\":\"Assertion \\\"pInstance\\\" failed. The prefab has been removed\"}";
    CEngine* pEngine = CEngine::GetInstance();
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
        ASSERT_TRUE(pEngine->RemoveInstance(*kCase.ppInstance));
        *kCase.ppInstance = nullptr;
        // A new instance may take the removed one's memory: the facade must
        // not reach it.
        TarnEngine::PrefabInstance* pLater =
            pEngine->InstancePrefab(pContainer, {0.0f, 9.0f, 0.0f}, Math::Quaternion::Identity());
        ASSERT_NE(pLater, nullptr);

        for (const auto& [pMethod, kArgs] : std::vector<std::pair<const char*, std::string>>{
                 {"Activate", "\"Arg0\":true"},
                 {"SetSpeed", "\"Arg0\":1"},
                 {"SetRotation", "\"Arg0\":{\"x\":0,\"y\":0,\"z\":1,\"w\":0}"},
                 {"ReloadFromJson", "\"Arg0\":\"{}\""},
                 {"Reset", ""},
                 {"IsActive", ""}})
            EXPECT_EQ(Call(Request("GaitComponentRpc", pMethod, uiFacade, true, kArgs)), kRemoved) << pMethod;
        EXPECT_EQ(Call(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true,
                               "\"Arg0\":" + InstanceRef(kCase.pPrefab->GetInstanceID()))),
                  kRemoved);
        if (GaitComponent* pComponent = GaitComponentBuilder::GetComponent(pLater->GetLink()))
        {
            EXPECT_FALSE(pComponent->IsActive());
            EXPECT_EQ(pComponent->GetSpeed(), 0.0f);
        }
        EXPECT_TRUE(kReports.Has("Assertion \"pInstance\" failed. The prefab has been removed"));
        EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":0}");
        kReports.Clear();
    }
    EXPECT_EQ(m_pSingleton->GetFacadeCount(), 0u);
}

TEST_F(GaitRpcTest, ArgumentsOutsideTheirRangeAreRefusedAndChangeNothing)
{
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(m_pFirst->GetLink());
    ASSERT_NE(pComponent, nullptr);
    const uint32 uiFacade = FacadeIdOf(m_pFirstPrefab->GetInstanceID());
    ASSERT_EQ(Call(Request("GaitComponentRpc", "SetSpeed", uiFacade, true, "\"Arg0\":1.5")), "{}");
    ASSERT_EQ(Call(Request("GaitComponentRpc", "SetRotation", uiFacade, true,
                           "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0.6,\"w\":0.8}")),
              "{}");
    const std::string kSpeedRange = "argument Arg0 must be a speed from 0 to 10";
    struct SCase
    {
        const char* pMethod;
        const char* pArg;
        std::string kExplanation;
    };
    const SCase akCases[] = {
        {"SetSpeed", "-1", kSpeedRange},
        {"SetSpeed", "10.5", kSpeedRange},
        {"SetSpeed", "3.4e38", kSpeedRange},
        {"SetSpeed", "1e39", "argument Arg0 must be a number between -3.4e38 and 3.4e38"},
        {"SetSpeed", "-1e39", "argument Arg0 must be a number between -3.4e38 and 3.4e38"},
        {"SetRotation", "{\"x\":0,\"y\":0,\"z\":0,\"w\":0}",
         "argument Arg0 must be a rotation: the numbers \\\"x\\\", \\\"y\\\", \\\"z\\\" and \\\"w\\\" between -3.4e38 "
         "and 3.4e38, not all zero"},
        {"SetRotation", "{\"x\":0,\"y\":0,\"z\":1e39,\"w\":1}",
         "argument Arg0 must be a rotation: the numbers \\\"x\\\", \\\"y\\\", \\\"z\\\" and \\\"w\\\" between -3.4e38 "
         "and 3.4e38, not all zero"},
    };
    TestSupport::CAssertCapture kReports;
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(std::string(kCase.pMethod) + " " + kCase.pArg);
        EXPECT_EQ(Call(Request("GaitComponentRpc", kCase.pMethod, uiFacade, true, std::string("\"Arg0\":") + kCase.pArg)),
                  "{\"Error\":\"Assertion \\\"Arg0\\\" failed. " + kCase.kExplanation + "\"}");
        EXPECT_EQ(pComponent->GetSpeed(), 1.5f);
        EXPECT_EQ(pComponent->GetRotation().z, 0.6f);
    }
    // The ends of the range are taken.
    EXPECT_EQ(Call(Request("GaitComponentRpc", "SetSpeed", uiFacade, true, "\"Arg0\":10")), "{}");
    EXPECT_EQ(pComponent->GetSpeed(), 10.0f);
    EXPECT_EQ(Call(Request("GaitComponentRpc", "SetSpeed", uiFacade, true, "\"Arg0\":0")), "{}");
    EXPECT_EQ(pComponent->GetSpeed(), 0.0f);
    EXPECT_EQ(Call(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true)), "{\"Res\":0}");
}

TEST_F(GaitRpcTest, ExtremeValuesThatBypassTheRemoteChecksStillLeaveEveryStepShort)
{
    // Engine code may hand the component anything; the component and the
    // runtime keep every step of the engine bounded (a regression hangs
    // here until the test's time-out).
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(m_pFirst->GetLink());
    ASSERT_NE(pComponent, nullptr);
    pComponent->Activate(true);
    CEngine* pEngine = CEngine::GetInstance();
    TestSupport::CAssertCapture kReports;
    const float afSpeeds[] = {3.0f, std::numeric_limits<float>::infinity(), -1.0f, std::numeric_limits<float>::quiet_NaN(),
                              1e7f, 2.0f};
    for (float fSpeed : afSpeeds)
    {
        // A speed the animation cannot follow is refused: the last one stays.
        const float fBefore = pComponent->GetSpeed();
        pComponent->SetSpeed(fSpeed);
        EXPECT_EQ(pComponent->GetSpeed(), fSpeed >= 0.0f && fSpeed <= GaitPlugin::kMaxSpeed ? fSpeed : fBefore);
        pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 1e30f, 1e30f));
        pComponent->SetRotation(Math::Quaternion(0.0f, 0.0f, 0.0f, 0.0f));
        for (int i = 0; i < 30; ++i)
            pEngine->Step(16);
        const Math::LocalVector3 kPosition = m_pFirst->GetLink()->GetWorldPosition();
        EXPECT_TRUE(std::isfinite(kPosition.x) && std::isfinite(kPosition.y) && std::isfinite(kPosition.z));
    }
    // The rotation of no length was refused; the large one kept its direction.
    EXPECT_NEAR(pComponent->GetRotation().z, 0.7071068f, 1e-6f);
    EXPECT_TRUE(kReports.Has("Assertion \"dLengthSq > 0.0 && std::isfinite(dLengthSq)\" failed. GaitComponent : a "
                             "rotation of no length is ignored"));
}

// ---------------------------------------------------------------------------
// Plug-in entry statics

namespace {

void TestPick(void*, uint32*)
{
}

// An engine with its network endpoint (an ephemeral port on 127.0.0.1) and
// a data provider the test owns, and a host context for the Gait plug-in.
class GaitPluginEntryTest : public testing::Test
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
        m_pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(m_pEngine, nullptr);
        ASSERT_NE(m_pEngine->GetEngineNet(), nullptr);
        m_pCommands = m_pEngine->GetEngineNet()->GetCommandManager();
        ASSERT_NE(m_pCommands, nullptr);
        m_pManager = m_pEngine->GetPluginManager();
        FillParam(m_kParam);
    }
    void TearDown() override
    {
        if (GaitPlugin::GetPluginBuilder())
            GaitComponentBuilder::ReleasePluginStatic(m_pManager);
        CEngine::DestroyInstance();
        DataProvider::DataPoviderInterface::SetInstance(nullptr);
        TARN_DELETE(m_pProvider);
    }

    void FillParam(TarnEngine::PluginParam& kParam)
    {
        kParam.m_pPluginManager = m_pManager;
        kParam.m_pMemoryManager = Common::Mem::CMemoryManager::GetInstance();
        kParam.m_pEngine = m_pEngine;
        kParam.m_pDataProvider = m_pProvider;
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

    DataProvider::DataPoviderInterface* m_pProvider = nullptr;
    CEngine* m_pEngine = nullptr;
    CommandManager* m_pCommands = nullptr;
    TarnEngine::BasePluginManager* m_pManager = nullptr;
    TarnEngine::PluginParam m_kParam;
};

} // namespace

TEST(GaitPluginSeeds, SeedsAreTheLowBitsOfTheTimeAndOfTheTimePlusTheFirstOutput)
{
    struct SCase
    {
        uint64 ui64TimeMs;
        uint32 uiFirstOutput;
        uint32 uiFirstSeed;
        uint32 uiSecondSeed;
    };
    const SCase akCases[] = {
        {0u, 0u, 0u, 0u},
        {1234u, 10u, 1234u, 1244u},
        {0x123456789ull, 1u, 0x23456789u, 0x2345678Au},
        {0xFFFFFFFFull, 2u, 0xFFFFFFFFu, 1u},
    };
    for (const SCase& kCase : akCases)
    {
        EXPECT_EQ(GaitPlugin::ComputeFirstSeed(kCase.ui64TimeMs), kCase.uiFirstSeed);
        EXPECT_EQ(GaitPlugin::ComputeSecondSeed(kCase.ui64TimeMs, kCase.uiFirstOutput), kCase.uiSecondSeed);
    }
}

TEST_F(GaitPluginEntryTest, ADifferentBuildStampIsRefusedWithTheInstanceSlotsBound)
{
    struct SCase
    {
        const char* pName;
        void (*pChange)(TarnEngine::PluginBuildStamp&);
    };
    const SCase akCases[] = {
        {"flag", [](TarnEngine::PluginBuildStamp& k) { k.m_uiDebugBuild ^= 1u; }},
        {"pointer size", [](TarnEngine::PluginBuildStamp& k) { k.m_ui64PointerSize = 4; }},
        {"toolset", [](TarnEngine::PluginBuildStamp& k) { k.m_ui64ToolsetVersion += 1; }},
    };
    const uint32 uiCommands = m_pCommands->GetCommandCount();
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        DataProvider::DataPoviderInterface* pOther = TARN_NEW(DataProvider::DataPoviderInterface);
        TarnEngine::PluginParam kParam;
        FillParam(kParam);
        kParam.m_pDataProvider = pOther;
        kParam.m_pEditorPickCallback = &TestPick;
        kCase.pChange(*kParam.m_pBuildStamp);

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
    }

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
    EXPECT_EQ(ResolverSingleton(), GaitPlugin::GetPluginBuilderRpc());
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
    static const char* const s_aapCommands[10][2] = {
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
    TarnEngine::EngineCommand* apFirst[10] = {};
    for (size_t i = 0; i < 10; ++i)
    {
        apFirst[i] = m_pCommands->FindCommand(s_aapCommands[i][0], s_aapCommands[i][1]);
        EXPECT_NE(apFirst[i], nullptr) << s_aapCommands[i][1];
    }
    GaitComponentBuilder* pBuilder = GaitPlugin::GetPluginBuilder();
    CGaitComponentBuilderRpc* pSingleton = GaitPlugin::GetPluginBuilderRpc();

    TestSupport::CLogCapture kLog;
    EXPECT_TRUE(GaitComponentBuilder::InitPluginStatic(&m_kParam));
    EXPECT_TRUE(kLog.Contains(" : Instance has already been set"));
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance(), m_pCommands->GetPointerResolver());
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(m_pCommands->FindCommand(s_aapCommands[i][0], s_aapCommands[i][1]), apFirst[i])
            << s_aapCommands[i][1];
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), pBuilder);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), pSingleton);
    EXPECT_EQ(RegisteredGait(), pBuilder);

    // The started plug-in builds the component of a demo instance, and the
    // host's command manager reaches it.
    TarnEngine::PrefabContainer* pContainer = m_pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pContainer, nullptr);
    TarnEngine::PrefabInstance* pInstance =
        m_pEngine->InstancePrefab(pContainer, {0.0f, 0.0f, 0.0f}, Math::Quaternion::Identity());
    ASSERT_NE(pInstance, nullptr);
    RPC::CPrefab* pPrefab = TARN_NEW(RPC::CPrefab, pInstance->GetHandle());
    CReturnBuffer kReply;
    m_pCommands->ExecuteJSon(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true,
                                     "\"Arg0\":" + InstanceRef(pPrefab->GetInstanceID()))
                                 .c_str(),
                             &kReply);
    const uint32 uiFacade =
        TarnEngine::CPointerResolver::GetInstance()->GetNextID(Common::GetClassId<IRPCStub_CGaitComponent>()) - 1;
    EXPECT_EQ(std::string(kReply.GetText()), "{\"Res\":" + InstanceRef(uiFacade) + "}");
    m_pCommands->ExecuteJSon(Request("GaitComponentRpc", "Activate", uiFacade, false, "\"Arg0\":true").c_str(),
                             nullptr);
    m_pCommands->ExecuteJSon(Request("GaitComponentRpc", "SetSpeed", uiFacade, false, "\"Arg0\":1.5").c_str(), nullptr);
    m_pEngine->ProcessCommands();
    GaitComponent* pComponent = GaitComponentBuilder::GetComponent(pInstance->GetLink());
    ASSERT_NE(pComponent, nullptr);
    EXPECT_TRUE(pComponent->IsActive());
    EXPECT_EQ(pComponent->GetSpeed(), 1.5f);
    kReply.Clear();
    m_pCommands->ExecuteJSon(Request("GaitComponentRpc", "ReleaseRef", uiFacade, true).c_str(), &kReply);
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":0}");
    TARN_DELETE(pPrefab);

    EXPECT_TRUE(GaitComponentBuilder::ReleasePluginStatic(m_pManager));
    EXPECT_EQ(RegisteredGait(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilder(), nullptr);
    EXPECT_EQ(GaitPlugin::GetPluginBuilderRpc(), nullptr);
    EXPECT_EQ(ResolverSingleton(), nullptr);
    // The commands stay; the component stays in the link's user data.
    EXPECT_EQ(m_pCommands->GetCommandCount(), uiEngineCommands + 10);
    EXPECT_EQ(GaitComponentBuilder::GetComponent(pInstance->GetLink()), pComponent);
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
