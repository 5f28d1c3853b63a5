// Gait subscriptions over a real connection: an engine with its endpoint and
// the plug-in runs on this thread, one step per batch of requests, while a
// client on another thread subscribes, steers a character and reads.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DataProvider/DataProvider.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugin/GaitPluginEntry.h"
#include "Plugins/PluginManager.h"
#include "RPC/GaitComponentBuilderRpc.h"
#include "RPC/GaitComponentRpc.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Net/TcpSocket.h"
#include "World/PrefabInstance.h"

using TarnEngine::CEngine;

namespace {

std::string Request(const char* pClass, const char* pMethod, uint32 uiInstance, const std::string& kArg0 = "")
{
    return std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
           "\",\"InstanceID\":" + std::to_string(uiInstance) + ",\"WaitAck\":true,\"UseTcpThread\":false" +
           (kArg0.empty() ? "" : ",\"Arg0\":" + kArg0) + "}";
}
std::string Subscription(const char* pMethod, const std::string& kArg0 = "")
{
    return Request("GaitSubscriptionRpc", pMethod, 0, kArg0);
}

// Checks the replies among kFrames against kReplies, in order and all of
// them, and hands every pushed frame to kOnEvent with the count of replies
// read before it.
template <class F>
void CheckFrames(const std::vector<std::string>& kFrames, const std::vector<std::string>& kReplies, F&& kOnEvent)
{
    size_t uiReplies = 0;
    for (const std::string& kText : kFrames)
    {
        rapidjson::Document kFrame;
        ASSERT_FALSE(kFrame.Parse(kText.c_str()).HasParseError()) << kText;
        if (!kFrame.HasMember("Event"))
        {
            ASSERT_LT(uiReplies, kReplies.size());
            EXPECT_EQ(kText, kReplies[uiReplies++]);
            continue;
        }
        kOnEvent(kFrame, kText, uiReplies);
    }
    EXPECT_EQ(uiReplies, kReplies.size());
}

class GaitSubscriptionTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_pProvider = TARN_NEW(DataProvider::DataPoviderInterface);
        DataProvider::DataPoviderInterface::SetInstance(m_pProvider);
        TarnEngine::SEngineStartup kStartup;
        kStartup.pDataRoot = TARN_DATA_DIR;
        kStartup.bStartNetwork = true;
        kStartup.kNetOptions.uiPort = 0;
        kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
            pManager->RegisterStaticPlugin(&GaitPlugin::GaitComponentBuilder::InitPluginStatic,
                                           &GaitPlugin::GaitComponentBuilder::ReleasePluginStatic);
        };
        m_pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_TRUE(m_pEngine && m_pEngine->GetEngineNet());
        m_kBareFile = testing::TempDir() + "bare" + std::to_string(getpid()) + ".prefab.json";
        std::ofstream(m_kBareFile) << "{\"Name\":\"Bare\"}";
        TarnEngine::PrefabContainer* apContainers[] = {m_pEngine->LoadPrefab("demo/biped.prefab.json"),
                                                       m_pEngine->LoadPrefab(m_kBareFile.c_str())};
        ASSERT_TRUE(apContainers[0] && apContainers[1]);
        // The facades of a walker, of one removed before anyone subscribes,
        // and of one without a Gait component.
        for (int i = 0; i < 3; ++i)
        {
            TarnEngine::PrefabInstance* pInstance = m_pEngine->InstancePrefab(
                apContainers[i / 2], {0.0f, 3.0f * float(i), 0.0f}, Math::Quaternion::Identity());
            ASSERT_NE(pInstance, nullptr);
            RPC::CPrefab kPrefab(pInstance->GetHandle());
            RPC::CPrefab* pPrefab = &kPrefab;
            RPC::CGaitComponent* pFacade = GaitPlugin::GetPluginBuilderRpc()->GetPrefabComponent(pPrefab);
            ASSERT_NE(pFacade, nullptr);
            m_kFacades.push_back(pFacade->GetInstanceID());
            m_kHandles.push_back(pInstance->GetHandle());
            ASSERT_TRUE(i != 1 || m_pEngine->RemoveInstance(pInstance));
        }
    }
    void TearDown() override
    {
        CEngine::DestroyInstance();
        DataProvider::DataPoviderInterface::SetInstance(nullptr);
        TARN_DELETE(m_pProvider);
        remove(m_kBareFile.c_str());
    }

    // Sends the requests from a client thread, each once the reply to the
    // one before has come, and returns every frame it read.
    std::vector<std::string> Run(const std::vector<std::string>& kRequests)
    {
        std::vector<std::string> kFrames;
        std::atomic<bool> bDone{false};
        const uint16 uiPort = m_pEngine->GetEngineNet()->GetPort();
        std::thread kClient([&] {
            Common::TcpSocket kSocket;
            for (size_t i = 0; i < kRequests.size() && (i > 0 || kSocket.Connect("127.0.0.1", uiPort)); ++i)
            {
                const uint32 ui = static_cast<uint32>(kRequests[i].size());
                const std::string kOut =
                    std::string{char(ui), char(ui >> 8), char(ui >> 16), char(ui >> 24)} + kRequests[i];
                // Events, then the reply.
                bool bEvent = kSocket.Send(kOut.data(), kOut.size());
                unsigned char acLength[4];
                while (bEvent && kSocket.HasData(10000) && kSocket.Receive(acLength, 4))
                {
                    std::string kText(acLength[0] | acLength[1] << 8 | acLength[2] << 16 | size_t(acLength[3]) << 24,
                                      '\0');
                    kSocket.Receive(kText.data(), kText.size());
                    bEvent = kText.rfind("{\"Event\":", 0) == 0;
                    kFrames.push_back(kText);
                }
            }
            bDone = true;
        });
        TarnEngine::CommandManager* pCommands = m_pEngine->GetEngineNet()->GetCommandManager();
        while (!bDone)
            if (pCommands->GetWakeEvent().Wait(10) || pCommands->GetQueue().GetPendingCount() > 0)
                m_pEngine->Step(16);
        kClient.join();
        return kFrames;
    }

    DataProvider::DataPoviderInterface* m_pProvider = nullptr;
    CEngine* m_pEngine = nullptr;
    std::string m_kBareFile;
    std::vector<uint32> m_kFacades;
    std::vector<uint64> m_kHandles;
};

TEST_F(GaitSubscriptionTest, StatesArriveEveryStepBetweenRepliesUntilUnsubscribed)
{
    const auto Ref = [&](int i) { return "{\"InstanceID\":" + std::to_string(m_kFacades[i]) + "}"; };
    const std::string kIsActive = Request("GaitComponentRpc", "IsActive", m_kFacades[0]);
    const std::vector<std::string> kFrames =
        Run({Subscription("Subscribe", "0"), Subscription("Add", Ref(0)), Subscription("Add", Ref(1)),
             Subscription("Add", Ref(2)), Request("GaitComponentRpc", "Activate", m_kFacades[0], "true"),
             Request("GaitComponentRpc", "SetSpeed", m_kFacades[0], "1.5"), kIsActive, kIsActive, kIsActive,
             Subscription("Unsubscribe"), Subscription("Add", Ref(0)), Subscription("Subscribe", "60001")});

    const std::vector<std::string> kReplies = {
        "{}",
        "{}",
        "{}",
        "{}",
        "{}",
        "{}",
        "{\"Res\":true}",
        "{\"Res\":true}",
        "{\"Res\":true}",
        "{\"Res\":true}",
        "{\"Error\":\"Assertion \\\"pSubscription\\\" failed. no subscription on this connection: call Subscribe "
        "first\"}",
        "{\"Error\":\"Assertion \\\"Arg0\\\" failed. argument Arg0 must be a period from 0 to 60000 ms\"}"};
    uint64 uiStep = 0, uiSeq = 0;
    bool bRemovedSeen = false;
    CheckFrames(kFrames, kReplies, [&](const rapidjson::Document& kFrame, const std::string& kText, size_t uiReplies) {
        // One frame per step, counted from 0, none after Unsubscribe's reply.
        EXPECT_TRUE(uiStep == 0 || kFrame["Step"].GetUint64() == uiStep + 1) << kText;
        uiStep = kFrame["Step"].GetUint64();
        EXPECT_EQ(kFrame["Seq"].GetUint64(), uiSeq++);
        EXPECT_LT(uiReplies, 10u);
        for (const auto& kState : kFrame["States"].GetArray())
        {
            const uint32 uiId = kState["InstanceID"].GetUint();
            if (uiId == m_kFacades[1])
            {
                // Reported removed once, then left out.
                EXPECT_TRUE(!bRemovedSeen && kState.HasMember("Removed") && !kState.HasMember("State"));
                bRemovedSeen = true;
            }
            else if (uiId == m_kFacades[2])
            {
                EXPECT_TRUE(kState["State"].IsNull());
            }
            else if (uiReplies >= 6)
            {
                // Made after SetSpeed ran, as every frame after its reply.
                EXPECT_TRUE(kState["State"]["Active"].GetBool());
                EXPECT_EQ(kState["State"]["Speed"].GetDouble(), 1.5);
                EXPECT_TRUE(kState["State"]["Movement"].IsString());
            }
        }
    });
    EXPECT_TRUE(bRemovedSeen);
}

TEST_F(GaitSubscriptionTest, AViewShowsEveryCharacterAndTheSelectedOnesDetails)
{
    const auto View = [](const char* pMethod, const std::string& kArg0 = "") {
        return Request("GaitViewRpc", pMethod, 0, kArg0);
    };
    const uint32 uiWalker = m_kFacades[0];
    const std::string kWalkerId = std::to_string(m_kHandles[0]);
    const std::string kIsActive = Request("GaitComponentRpc", "IsActive", uiWalker);
    // 90 degrees to the left.
    const std::string kLeft = R"({"x":0,"y":0,"z":0.70710678,"w":0.70710678})";
    const std::vector<std::string> kFrames =
        Run({View("Select", kWalkerId), View("Subscribe", "0"), View("Select", kWalkerId),
             Request("GaitComponentRpc", "Activate", uiWalker, "true"),
             Request("GaitComponentRpc", "SetRotation", uiWalker, kLeft),
             Request("GaitComponentRpc", "SetSpeed", uiWalker, "1.5"), kIsActive, kIsActive, kIsActive, kIsActive,
             View("Select", std::to_string(m_kHandles[1])), View("Unsubscribe"), View("Select", "0")});

    const std::string kNoView =
        R"({"Error":"Assertion \"pView\" failed. no view on this connection: call Subscribe first"})";
    const std::vector<std::string> kReplies = {
        kNoView,
        "{}",
        "{}",
        "{}",
        "{}",
        "{}",
        R"({"Res":true})",
        R"({"Res":true})",
        R"({"Res":true})",
        R"({"Res":true})",
        R"({"Error":"Assertion \"Arg0\" failed. argument Arg0 must be the Id of a placed prefab, or 0: none has )" +
            std::to_string(m_kHandles[1]) + "\"}",
        R"({"Res":true})",
        kNoView};
    uint64 uiSeq = 0;
    bool bSawWeights = false;
    CheckFrames(kFrames, kReplies, [&](const rapidjson::Document& kFrame, const std::string& kText, size_t uiReplies) {
        EXPECT_STREQ(kFrame["Event"].GetString(), "GaitView");
        EXPECT_EQ(kFrame["Seq"].GetUint64(), uiSeq++);
        EXPECT_LT(uiReplies, 12u) << "a frame after the reply to Unsubscribe";
        const auto& kMovements = kFrame["Movements"].GetArray();
        // Only the walker: the removed one is gone, the bare one has no Gait.
        const auto& kCharacters = kFrame["Characters"].GetArray();
        ASSERT_EQ(kCharacters.Size(), 1u) << kText;
        const auto& kRow = kCharacters[0].GetArray();
        ASSERT_EQ(kRow.Size(), 8u);
        EXPECT_EQ(kRow[0].GetUint64(), m_kHandles[0]);
        const int iMovement = kRow[5].GetInt();
        EXPECT_TRUE(iMovement >= -1 && iMovement < int(kMovements.Size()));
        const auto& kSelected = kFrame["Selected"];
        // Frames made before Select ran come first, with nobody selected.
        if (kSelected.IsNull() && uiReplies < 3)
            return;
        ASSERT_TRUE(kSelected.IsObject()) << kText;
        EXPECT_EQ(kSelected["Id"].GetUint64(), m_kHandles[0]);
        ASSERT_EQ(kSelected["Weights"].Size(), kMovements.Size());
        if (uiReplies >= 6)
        {
            // Made after SetSpeed ran: active, asked for 1.5 and a heading of
            // 90 degrees, in the row and in the details alike.
            EXPECT_EQ(kRow[7].GetUint() & 2u, 2u);
            EXPECT_EQ(kRow[6].GetDouble(), 1.5);
            EXPECT_NEAR(kRow[4].GetDouble(), 90.0, 0.1);
            EXPECT_NEAR(kSelected["RequestedHeading"].GetDouble(), 90.0, 0.1);
            EXPECT_NEAR(kSelected["HeadingError"].GetDouble(),
                        kSelected["RequestedHeading"].GetDouble() - kSelected["Heading"].GetDouble(), 0.2);
            EXPECT_TRUE(kSelected["Active"].GetBool());
            double dWeights = 0.0;
            for (const auto& kWeight : kSelected["Weights"].GetArray())
                dWeights += kWeight.GetDouble();
            bSawWeights = bSawWeights || dWeights > 0.5;
        }
    });
    EXPECT_GT(uiSeq, 0u);
    EXPECT_TRUE(bSawWeights);
}

}  // namespace
