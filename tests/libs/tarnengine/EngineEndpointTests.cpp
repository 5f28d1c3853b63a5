// The engine's network endpoint: its command manager, the Root object and
// the host, as CEngineNet starts and stops them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/EngineNet.h"
#include "System/Net/TcpSocket.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

namespace {

TEST(EngineNetEndpointTest, InitServesTheEngineRemoteClassesUntilShutdown)
{
    CEngineNet kNet;
    SNetOptions kOptions;
    kOptions.uiPort = 0;
    ASSERT_TRUE(kNet.Init(kOptions));
    ASSERT_NE(kNet.GetCommandManager(), nullptr);
    ASSERT_NE(kNet.GetRoot(), nullptr);
    const uint16 uiPort = kNet.GetPort();
    ASSERT_NE(uiPort, 0);
    EXPECT_NE(kNet.GetCommandManager()->FindCommand("Root", "GetRPCSingleton"), nullptr);

    // "KeepAlive" is safe off the engine thread: no engine loop needed.
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", uiPort));
    CReturnBuffer kReply;
    ASSERT_TRUE(kClient.DoCall(
        "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"WaitAck\":true,"
        "\"UseTcpThread\":true}",
        &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":true}");

    kNet.Shutdown();
    EXPECT_EQ(kNet.GetCommandManager(), nullptr);
    EXPECT_EQ(kNet.GetPort(), 0);
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(kClient.DoCall("{}", &kReply));
    Common::TcpSocket kLate;
    EXPECT_FALSE(kLate.Connect("127.0.0.1", uiPort));
}

TEST(EngineNetEndpointTest, InitRefusesWhenAnotherResolverIsInstalled)
{
    // The endpoint's remote objects would register with a resolver that
    // nobody resolves through: refused, and nothing is left half made.
    CommandManager kOther;
    ASSERT_TRUE(kOther.Init());
    {
        CEngineNet kNet;
        SNetOptions kOptions;
        kOptions.uiPort = 0;
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kNet.Init(kOptions));
        EXPECT_EQ(kNet.GetCommandManager(), nullptr);
        EXPECT_EQ(kNet.GetRoot(), nullptr);
        EXPECT_EQ(kNet.GetPort(), 0);
        EXPECT_TRUE(kReports.Has("Assertion \"m_pCommandManager->Init()\" failed. another pointer resolver is installed "
                                 "already"));
    }
}

// The root's reference on its prefab manager is a reference like the
// clients' ones: a client that releases more than it was given can take it,
// which destroys the manager. The root must then make a new one instead of
// handing out the destroyed one (it did, a use after free).
TEST(EngineNetEndpointTest, RootMakesANewPrefabManagerAfterClientsReleasedItsOwnReference)
{
    struct SCall
    {
        const char* pClass;
        const char* pMethod;
        int iInstance;
        const char* pReply;
    };
    struct SCase
    {
        const char* pName;
        std::vector<SCall> kCalls;
    };
    const char* const pGone = "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}";
    const SCase akCases[] = {
        {"released as often as handed out",
         {{"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":0}}"},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":0}}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":2}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":1}"},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":0}}"}}},
        {"the root's own reference released too",
         {{"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":0}}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":1}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":0}"},
          {"PrefabManager", "ReleaseRef", 0, pGone},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":1}}"},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":1}}"},
          {"PrefabManager", "ReleaseRef", 1, "{\"Res\":2}"}}},
        {"destroyed twice",
         {{"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":0}}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":1}"},
          {"PrefabManager", "ReleaseRef", 0, "{\"Res\":0}"},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":1}}"},
          {"PrefabManager", "ReleaseRef", 1, "{\"Res\":1}"},
          {"PrefabManager", "ReleaseRef", 1, "{\"Res\":0}"},
          {"Root", "GetPrefabManager", 0, "{\"Res\":{\"InstanceID\":2}}"}}},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        // The endpoint is made on this thread, so requests run here at once.
        CEngineNet kNet;
        SNetOptions kOptions;
        kOptions.uiPort = 0;
        ASSERT_TRUE(kNet.Init(kOptions));
        TestSupport::CAssertCapture kReports;
        for (const SCall& kCall : kCase.kCalls)
        {
            const std::string kRequest = std::string("{\"ClassName\":\"") + kCall.pClass + "\",\"MethodName\":\"" +
                                         kCall.pMethod + "\",\"InstanceID\":" + std::to_string(kCall.iInstance) +
                                         ",\"WaitAck\":true,\"UseTcpThread\":false}";
            CReturnBuffer kReply;
            kNet.GetCommandManager()->ExecuteJSon(kRequest.c_str(), &kReply);
            EXPECT_STREQ(kReply.GetText(), kCall.pReply) << kRequest;
        }
        // Shutting down as the engine does releases what clients still hold,
        // the root's manager included, once.
        kNet.Stop();
        kNet.ReleaseRemoteObjects();
        kNet.Shutdown();
    }
}

}  // namespace
