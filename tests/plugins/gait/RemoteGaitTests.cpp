// The typical remote road, end to end: an engine with its network endpoint
// on an ephemeral loopback port, the Gait plug-in loaded as a module from a
// temporary plug-in folder, the engine loop on the test thread, and a client
// on another thread steering the demo character.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Client/EngineClient.h"
#include "Engine/EngineNet.h"
#include "System/Event/Event.h"
#include "support/ReportCapture.h"
#include "support/TextFile.h"

using TarnEngine::CEngine;

namespace {

// A temporary folder holding Plugins/ with a copy of the built module.
class CPluginFolder
{
public:
    CPluginFolder()
    {
        char acTemplate[] = "/tmp/tarn-plugins-XXXXXX";
        if (!mkdtemp(acTemplate))
            return;
        m_kBase = std::string(acTemplate) + "/";
        mkdir((m_kBase + "Plugins").c_str(), 0755);
        const std::string kModule = TARN_GAIT_MODULE_PATH;
        const std::string kName = kModule.substr(kModule.find_last_of('/') + 1);
        const std::string kBytes = TestSupport::ReadTextFile(kModule);
        m_kCopy = m_kBase + "Plugins/" + kName;
        if (FILE* pFile = fopen(m_kCopy.c_str(), "wb"))
        {
            m_bReady = !kBytes.empty() && fwrite(kBytes.data(), 1, kBytes.size(), pFile) == kBytes.size();
            fclose(pFile);
        }
    }
    ~CPluginFolder()
    {
        unlink(m_kCopy.c_str());
        rmdir((m_kBase + "Plugins").c_str());
        rmdir(m_kBase.c_str());
    }
    bool IsReady() const { return m_bReady; }
    const std::string& GetBase() const { return m_kBase; }

private:
    std::string m_kBase;
    std::string m_kCopy;
    bool m_bReady = false;
};

// One request and its reply's "Res" member (as JSON text), or "" on failure.
std::string Call(TarnEngine::CEngineClientRPC& kClient, const std::string& kClass, const std::string& kMethod,
                 int iInstance, const std::string& kArgs = "", bool bWait = true)
{
    const std::string kRequest = "{\"ClassName\":\"" + kClass + "\",\"MethodName\":\"" + kMethod +
                                 "\",\"InstanceID\":" + std::to_string(iInstance) + ",\"WaitAck\":" +
                                 (bWait ? "true" : "false") + ",\"UseTcpThread\":false" + kArgs + "}";
    TarnEngine::CReturnBuffer kReply;
    if (!kClient.DoCall(kRequest.c_str(), bWait ? &kReply : nullptr))
        return "";
    return bWait ? std::string(kReply.GetText(), kReply.GetLength()) : std::string("sent");
}

int InstanceIdOf(const std::string& kReply)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject() || !kDocument.HasMember("Res") ||
        !kDocument["Res"].IsObject() || !kDocument["Res"].HasMember("InstanceID"))
        return -1;
    return kDocument["Res"]["InstanceID"].GetInt();
}

double XOf(const std::string& kReply)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject() || !kDocument.HasMember("Res"))
        return -1.0;
    return kDocument["Res"]["x"].GetDouble();
}

}  // namespace

TEST(RemoteGait, AClientSteersTheDemoCharacterThroughTheLoadedModule)
{
    CPluginFolder kPlugins;
    ASSERT_TRUE(kPlugins.IsReady());
    static const std::string s_kDataDir = TARN_DATA_DIR;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.pPluginBasePath = kPlugins.GetBase().c_str();
    kStartup.bLoadPlugins = true;
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = 0;
    TestSupport::CLogCapture kLog;
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine->GetEngineNet(), nullptr);
    EXPECT_TRUE(kLog.Contains("loading : Ok"));
    const uint16 uiPort = pEngine->GetEngineNet()->GetPort();
    ASSERT_NE(uiPort, 0);

    // The client's road, on its own thread.
    std::atomic<bool> bDone{false};
    std::string kFacade1, kFacade2, kActive, kStart, kEnd, kError;
    std::thread kClientThread([&] {
        TarnEngine::CEngineClientRPC kClient;
        if (kClient.Connect("127.0.0.1", uiPort))
        {
            const int iManager = InstanceIdOf(Call(kClient, "Root", "GetPrefabManager", 0));
            const int iPrefab = InstanceIdOf(
                Call(kClient, "PrefabManager", "LoadFile", iManager, ",\"Arg0\":\"demo/biped.prefab.json\""));
            Call(kClient, "GaitComponentBuilderRpc", "GetRPCSingleton", 0);
            const std::string kPrefabArg = ",\"Arg0\":{\"InstanceID\":" + std::to_string(iPrefab) + "}";
            kFacade1 = Call(kClient, "GaitComponentBuilderRpc", "GetPrefabComponent", 0, kPrefabArg);
            kFacade2 = Call(kClient, "GaitComponentBuilderRpc", "GetPrefabComponent", 0, kPrefabArg);
            const int iGait = InstanceIdOf(kFacade1);
            Call(kClient, "GaitComponentRpc", "Activate", iGait, ",\"Arg0\":true");
            Call(kClient, "GaitComponentRpc", "SetRotation", iGait, ",\"Arg0\":{\"x\":0,\"y\":0,\"z\":0,\"w\":1}");
            // Without "WaitAck": no reply, but the command runs.
            Call(kClient, "GaitComponentRpc", "SetSpeed", iGait, ",\"Arg0\":1.5", false);
            kActive = Call(kClient, "GaitComponentRpc", "IsActive", iGait);
            kStart = Call(kClient, "Prefab", "GetPosition", iPrefab);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            kEnd = Call(kClient, "Prefab", "GetPosition", iPrefab);
            kError = Call(kClient, "GaitComponentRpc", "IsActive", 12345);
            for (int i = 0; i < 2; ++i)
                Call(kClient, "GaitComponentRpc", "ReleaseRef", iGait);
            Call(kClient, "Prefab", "ReleaseRef", iPrefab);
            Call(kClient, "PrefabManager", "ReleaseRef", iManager);
            kClient.Disconnect();
        }
        bDone.store(true);
    });

    // The engine loop: wakes at once for queued commands, steps every 16 ms.
    Common::CEvent& kWake = pEngine->GetEngineNet()->GetCommandManager()->GetWakeEvent();
    while (!bDone.load())
    {
        if (kWake.Wait(16))
            pEngine->ProcessCommands();
        else
            pEngine->Step(16);
    }
    kClientThread.join();
    pEngine->ProcessCommands();

    EXPECT_NE(InstanceIdOf(kFacade1), -1) << kFacade1;
    EXPECT_EQ(kFacade1, kFacade2);
    EXPECT_EQ(kActive, "{\"Res\":true}");
    EXPECT_GT(XOf(kEnd), XOf(kStart) + 0.3) << kStart << " -> " << kEnd;
    EXPECT_NE(kError.find("\"Error\""), std::string::npos) << kError;

    TestSupport::CAssertCapture kReports;
    CEngine::DestroyInstance();
}
