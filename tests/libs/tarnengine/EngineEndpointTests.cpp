// The engine's network endpoint: its command manager, the Root object and
// the host, as CEngineNet starts and stops them, and the remote classes of
// the real Gait module served through it.
#include <filesystem>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <rapidjson/document.h>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Plugins/ModuleLoader.h"
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

TEST(EngineNetEndpointTest, InitServesTheEngineRemoteClassesUntilShutdown)
{
    CEngineNet kNet;
    SNetOptions kOptions;
    kOptions.uiPort = 0;
    ASSERT_TRUE(kNet.Init(kOptions));
    ASSERT_NE(kNet.GetRoot(), nullptr);
    const uint16 uiPort = kNet.GetPort();
    ASSERT_NE(uiPort, 0);
    EXPECT_NE(kNet.GetCommandManager()->FindCommand("Root", "GetRPCSingleton"), nullptr);

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

TEST(EngineNetEndpointTest, InitRefusesWhenAnotherResolverIsInstalled)
{
    // The endpoint's remote objects would register with a resolver that
    // nobody resolves through: refused, and nothing is left half made.
    CommandManager kOther;
    ASSERT_TRUE(kOther.Init());
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
    const char* const pGone = "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}";
    const auto Get = [](const char* pReply) { return SCall{"Root", "GetPrefabManager", 0, pReply}; };
    const auto Release = [](int iId, const char* pReply) { return SCall{"PrefabManager", "ReleaseRef", iId, pReply}; };
    const char* const pId0 = "{\"Res\":{\"InstanceID\":0}}";
    const char* const pId1 = "{\"Res\":{\"InstanceID\":1}}";
    const struct
    {
        const char* pName;
        std::vector<SCall> kCalls;
    } akCases[] = {
        {"released as often as handed out",
         {Get(pId0), Get(pId0), Release(0, "{\"Res\":2}"), Release(0, "{\"Res\":1}"), Get(pId0)}},
        {"the root's own reference released too",
         {Get(pId0), Release(0, "{\"Res\":1}"), Release(0, "{\"Res\":0}"), Release(0, pGone), Get(pId1), Get(pId1),
          Release(1, "{\"Res\":2}")}},
        {"destroyed twice",
         {Get(pId0), Release(0, "{\"Res\":1}"), Release(0, "{\"Res\":0}"), Get(pId1), Release(1, "{\"Res\":1}"),
          Release(1, "{\"Res\":0}"), Get("{\"Res\":{\"InstanceID\":2}}")}},
    };
    for (const auto& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        // The endpoint is made on this thread, so requests run here at once.
        CEngineNet kNet;
        SNetOptions kOptions;
        kOptions.uiPort = 0;
        ASSERT_TRUE(kNet.Init(kOptions));
        TestSupport::CAssertCapture kReports;
        for (const SCall& kCall : kCase.kCalls)
            EXPECT_EQ(Call(*kNet.GetCommandManager(), kCall.pClass, kCall.pMethod, kCall.iInstance), kCall.pReply)
                << kCall.pClass << "." << kCall.pMethod << " " << kCall.iInstance;
        // Shutting down as the engine does releases what clients still hold,
        // the root's manager included, once.
        kNet.Stop();
        kNet.ReleaseRemoteObjects();
        kNet.Shutdown();
    }
}

}  // namespace

// The real module twice in one plug-in folder: the copy is refused before it
// hooks anything into the host (commands, remote singleton), is unloaded,
// and the first one serves the remote road and walks the demo character.
TEST(PluginManager, ASecondGaitModuleIsRefusedAndTheFirstServesRemoteCalls)
{
    namespace fs = std::filesystem;
    struct STempDir
    {
        ~STempDir() { fs::remove_all(kPath); }
        fs::path kPath = fs::temp_directory_path() / ("tarn_gait_plugins_" + std::to_string(getpid()));
    } kTemp;
    ASSERT_TRUE(fs::create_directories(kTemp.kPath));
    const auto ModulePath = [&](const char* pName) {
        return (kTemp.kPath /
                ("PLUGIN_" + std::string(pName) + "_DLL_" + CModuleLoader::GetConfigurationName() + "_64.so"))
            .string();
    };
    const std::string kFirst = ModulePath("Gait");
    const std::string kCopy = ModulePath("Gait_copy");
    fs::copy_file(TARN_GAIT_MODULE_PATH, kFirst);
    fs::copy_file(TARN_GAIT_MODULE_PATH, kCopy);

    const std::string kDataDir = TARN_DATA_DIR;
    const std::string kPluginDir = kTemp.kPath.string();
    SEngineStartup kStartup;
    kStartup.pDataRoot = kDataDir.c_str();
    kStartup.pPluginDirectory = kPluginDir.c_str();
    kStartup.bLoadPlugins = true;
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = 0;
    TestSupport::CAssertCapture kReports;
    TestSupport::CLogCapture kLog;
    CEngine* pEngine = CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine, nullptr);
    ASSERT_NE(pEngine->GetEngineNet(), nullptr);
    std::vector<std::string> kLoaderLines;
    for (const std::string& kLine : kLog.Lines())
        if (kLine.rfind("plugin ", 0) == 0)
            kLoaderLines.push_back(kLine);
    EXPECT_EQ(kLoaderLines,
              (std::vector<std::string>{"plugin " + kFirst + " loading : Ok",
                                        "plugin " + kCopy +
                                            " refused: component builder \"Gait\" is already registered by " + kFirst,
                                        "plugin " + kCopy + " loading : Failed"}));
    EXPECT_FALSE(kLog.Contains("Instance has already been set"));
    EXPECT_EQ(pEngine->GetPluginManager()->GetNumStartedPlugins(), 1u);
    void* hCopy = dlopen(kCopy.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_EQ(hCopy, nullptr) << "the refused copy stayed loaded";
    if (hCopy)
        dlclose(hCopy);

    CommandManager& kCommands = *pEngine->GetEngineNet()->GetCommandManager();
    EXPECT_EQ(Call(kCommands, "GaitComponentBuilderRpc", "GetRPCSingleton", 0), "{\"Res\":{\"InstanceID\":0}}");
    const auto Id = [](const std::string& kReply) { return static_cast<int>(ResultMember(kReply, "InstanceID")); };
    const int iManager = Id(Call(kCommands, "Root", "GetPrefabManager", 0));
    const int iPrefab =
        Id(Call(kCommands, "PrefabManager", "LoadFile", iManager, ",\"Arg0\":\"demo/biped.prefab.json\""));
    ASSERT_GE(iPrefab, 0);
    const int iGait = Id(Call(kCommands, "GaitComponentBuilderRpc", "GetPrefabComponent", 0,
                              ",\"Arg0\":{\"InstanceID\":" + std::to_string(iPrefab) + "}"));
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
