// The engine's network endpoint as CEngineNet starts and stops it, and the real Gait module served through it.
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Plugins/PluginManager.h"
#include "System/Net/TcpSocket.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

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

// The "InstanceID" of a reply, or -1.
int InstanceId(const std::string& kReply)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    const rapidjson::Value* pId = rapidjson::Pointer("/Res/InstanceID").Get(kDocument);
    return !kDocument.HasParseError() && pId && pId->IsInt() ? pId->GetInt() : -1;
}

TEST(EngineNetEndpointTest, InitServesTheEngineRemoteClassesUntilShutdown)
{
    SNetOptions kOptions;
    kOptions.uiPort = 0;
    {
        // Beside another resolver its objects would register where nobody resolves: refused, nothing half made.
        CommandManager kOther;
        ASSERT_TRUE(kOther.Init());
        CEngineNet kRefused;
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kRefused.Init(kOptions));
        EXPECT_EQ(kRefused.GetCommandManager(), nullptr);
        EXPECT_EQ(kRefused.GetRoot(), nullptr);
        EXPECT_EQ(kRefused.GetPort(), 0);
        EXPECT_TRUE(kReports.Has("Assertion \"m_pCommandManager->Init()\" failed. another pointer resolver is "
                                 "installed already"));
    }
    CEngineNet kNet;
    ASSERT_TRUE(kNet.Init(kOptions));
    const uint16 uiPort = kNet.GetPort();
    ASSERT_NE(uiPort, 0);
    // "KeepAlive" is safe off the engine thread: no engine loop needed.
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", uiPort));
    CReturnBuffer kReply;
    ASSERT_TRUE(kClient.DoCall("{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"WaitAck\":true,"
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

// The root's reference on its prefab manager is one like the clients': a client releasing more than it was given
// takes it and destroys the manager. The root then makes a new one (it once handed out the destroyed one).
TEST(EngineNetEndpointTest, RootMakesANewPrefabManagerAfterClientsReleasedItsOwnReference)
{
    // Class, method, instance, reply.
    using SCall = std::tuple<const char*, const char*, int, const char*>;
    const char* const pGone = "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}";
    const auto Get = [](const char* pReply) { return SCall{"Root", "GetPrefabManager", 0, pReply}; };
    const auto Release = [](int iId, const char* pReply) { return SCall{"PrefabManager", "ReleaseRef", iId, pReply}; };
    const char* const pId0 = "{\"Res\":{\"InstanceID\":0}}";
    const char* const pId1 = "{\"Res\":{\"InstanceID\":1}}";
    // Released as often as handed out; the root's own reference released too; destroyed twice.
    const std::vector<SCall> akCases[] = {
        {Get(pId0), Get(pId0), Release(0, "{\"Res\":2}"), Release(0, "{\"Res\":1}"), Get(pId0)},
        {Get(pId0), Release(0, "{\"Res\":1}"), Release(0, "{\"Res\":0}"), Release(0, pGone), Get(pId1), Get(pId1),
         Release(1, "{\"Res\":2}")},
        {Get(pId0), Release(0, "{\"Res\":1}"), Release(0, "{\"Res\":0}"), Get(pId1), Release(1, "{\"Res\":1}"),
         Release(1, "{\"Res\":0}"), Get("{\"Res\":{\"InstanceID\":2}}")},
    };
    for (const std::vector<SCall>& kCalls : akCases)
    {
        SCOPED_TRACE(&kCalls - akCases);
        // The endpoint is made on this thread, so requests run here at once.
        CEngineNet kNet;
        SNetOptions kOptions;
        kOptions.uiPort = 0;
        ASSERT_TRUE(kNet.Init(kOptions));
        TestSupport::CAssertCapture kReports;
        for (const auto& [pClass, pMethod, iInstance, pReply] : kCalls)
            EXPECT_EQ(Call(*kNet.GetCommandManager(), pClass, pMethod, iInstance), pReply)
                << pClass << "." << pMethod << " " << iInstance;
        // Shut down as the engine does: what clients hold is released once, the root's manager included.
        kNet.Stop();
        kNet.ReleaseRemoteObjects();
        kNet.Shutdown();
    }
}

}  // namespace

// The real module twice in one plug-in folder: the copy is refused before it hooks anything into the host
// (commands, remote singleton); the first one serves remote calls.
TEST(PluginManager, ASecondGaitModuleIsRefusedAndTheFirstServesRemoteCalls)
{
    namespace fs = std::filesystem;
    struct STempDir
    {
        ~STempDir() { fs::remove_all(kPath); }
        fs::path kPath = fs::temp_directory_path() / ("tarn_gait_plugins_" + std::to_string(getpid()));
    } kTemp;
    ASSERT_TRUE(fs::create_directories(kTemp.kPath));
    const std::string kPluginDir = kTemp.kPath.string();
    const std::string kFirst = kPluginDir + "/PLUGIN_Gait_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so";
    const std::string kCopy = kPluginDir + "/PLUGIN_Gait_copy_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so";
    fs::copy_file(TARN_GAIT_MODULE_PATH, kFirst);
    fs::copy_file(TARN_GAIT_MODULE_PATH, kCopy);
    SEngineStartup kStartup;
    kStartup.pDataRoot = TARN_DATA_DIR;
    kStartup.pPluginDirectory = kPluginDir.c_str();
    kStartup.bLoadPlugins = true;
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = 0;
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine->GetEngineNet(), nullptr);
    EXPECT_TRUE(
        kLog.Has("plugin " + kCopy + " refused: component builder \"Gait\" is already registered by " + kFirst));
    EXPECT_FALSE(kLog.Contains("Instance has already been set"));
    EXPECT_EQ(pEngine->GetPluginManager()->GetNumStartedPlugins(), 1u);
    // The first serves its remote classes; walking them is the end-to-end test's.
    CommandManager& kCommands = *pEngine->GetEngineNet()->GetCommandManager();
    EXPECT_EQ(Call(kCommands, "GaitComponentBuilderRpc", "GetRPCSingleton", 0), "{\"Res\":{\"InstanceID\":0}}");
    const int iManager = InstanceId(Call(kCommands, "Root", "GetPrefabManager", 0));
    const int iPrefab =
        InstanceId(Call(kCommands, "PrefabManager", "LoadFile", iManager, ",\"Arg0\":\"demo/biped.prefab.json\""));
    ASSERT_GE(iPrefab, 0);
    EXPECT_GE(InstanceId(Call(kCommands, "GaitComponentBuilderRpc", "GetPrefabComponent", 0,
                              ",\"Arg0\":{\"InstanceID\":" + std::to_string(iPrefab) + "}")),
              0);
    EXPECT_EQ(kReports.Texts(), std::vector<std::string>{});
    CEngine::DestroyInstance();
}
