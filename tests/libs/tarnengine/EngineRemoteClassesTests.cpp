// The engine's remote classes called over a real connection: prefabs the host placed itself and those a client
// loads, listed and reached by their Id, and the list of remote classes the command registry gives.
#include <cmath>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "World/PrefabInstance.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

namespace {

const std::string kDemo = "demo/biped.prefab.json";

// An engine with its endpoint on an ephemeral port and two demo characters placed by the host itself, 2 m apart
// along Y as "tarn-host --demo 2" places them; a client connected to it. While the client waits for a reply, this
// (the engine) thread runs the queued commands.
class EngineRemoteClassesTest : public testing::Test, public IClientIdleCallback
{
protected:
    void SetUp() override
    {
        SEngineStartup kStartup;
        kStartup.pDataRoot = TARN_DATA_DIR;
        kStartup.bStartNetwork = true;
        kStartup.kNetOptions.uiPort = 0;
        m_pEngine = CEngine::CreateInstance(kStartup);
        ASSERT_NE(m_pEngine->GetEngineNet(), nullptr);
        PrefabContainer* pDemo = m_pEngine->LoadPrefab(kDemo.c_str());
        ASSERT_NE(pDemo, nullptr);
        for (float fY : {0.0f, 2.0f})
            ASSERT_NE(m_pEngine->InstancePrefab(pDemo, {0.0f, fY, 0.0f}, Math::Quaternion::Identity()), nullptr);
        m_kClient.SetIdleCallback(this);
        ASSERT_TRUE(m_kClient.Connect("127.0.0.1", m_pEngine->GetEngineNet()->GetPort()));
        m_iManager = Call("Root", "GetPrefabManager", 0)["Res"]["InstanceID"].GetInt();
    }
    void TearDown() override
    {
        m_kClient.Disconnect();
        CEngine::DestroyInstance();
    }
    bool OnIdle() override
    {
        m_pEngine->ProcessCommands();
        return true;
    }

    rapidjson::Document Call(const char* pClass, const char* pMethod, int iInstance, const std::string& kArgs = "")
    {
        const std::string kRequest = std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
                                     "\",\"InstanceID\":" + std::to_string(iInstance) +
                                     ",\"WaitAck\":true,\"UseTcpThread\":false" + kArgs + "}";
        CReturnBuffer kReply;
        EXPECT_TRUE(m_kClient.DoCall(kRequest.c_str(), &kReply)) << kRequest;
        rapidjson::Document kDocument;
        kDocument.Parse(kReply.GetText());
        EXPECT_TRUE(kDocument.IsObject()) << kReply.GetText();
        return kDocument;
    }
    rapidjson::Document CallManager(const char* pMethod, const std::string& kArgs = "")
    {
        return Call("PrefabManager", pMethod, m_iManager, kArgs);
    }
    // The Prefab object a call answered (-1 for none).
    static int PrefabOf(const rapidjson::Document& kReply)
    {
        const rapidjson::Value* pId = rapidjson::Pointer("/Res/InstanceID").Get(kReply);
        return pId && pId->IsInt() ? pId->GetInt() : -1;
    }
    static std::string ErrorOf(const rapidjson::Document& kReply)
    {
        return kReply.HasMember("Error") ? kReply["Error"].GetString() : "<no error>";
    }
    static float Member(const rapidjson::Document& kReply, const char* pName)
    {
        return kReply["Res"][pName].GetFloat();
    }

    CEngine* m_pEngine = nullptr;
    CEngineClientRPC m_kClient;
    int m_iManager = -1;
};

TEST_F(EngineRemoteClassesTest, ThePrefabsTheHostPlacedAreListedAndReachedByTheirId)
{
    rapidjson::Document kList = CallManager("ListPrefabs");
    ASSERT_TRUE(kList["Res"].IsArray());
    ASSERT_EQ(kList["Res"].Size(), 2u);
    uint64 uiPreviousId = 0;
    for (rapidjson::SizeType i = 0; i < 2; ++i)
    {
        const rapidjson::Value& kEntry = kList["Res"][i];
        EXPECT_EQ(std::string(kEntry["File"].GetString()), kDemo);
        EXPECT_STREQ(kEntry["Name"].GetString(), "Biped");
        const uint64 uiId = kEntry["Id"].GetUint64();
        EXPECT_GT(uiId, uiPreviousId);  // in the order they were placed
        uiPreviousId = uiId;
        const int iPrefab = PrefabOf(CallManager("GetPrefab", ",\"Arg0\":" + std::to_string(uiId)));
        ASSERT_GE(iPrefab, 0);
        EXPECT_EQ(Call("Prefab", "GetId", iPrefab)["Res"].GetUint64(), uiId);
        EXPECT_EQ(Call("Prefab", "GetPosition", iPrefab)["Res"]["y"].GetDouble(), 2.0 * i);
    }
    // A removed prefab leaves the list, and its Id reaches nothing any more.
    const std::string kFirstId = std::to_string(kList["Res"][0]["Id"].GetUint64());
    const int iFirst = PrefabOf(CallManager("GetPrefab", ",\"Arg0\":" + kFirstId));
    EXPECT_TRUE(
        CallManager("RemovePrefab", ",\"Arg0\":{\"InstanceID\":" + std::to_string(iFirst) + "}")["Res"].GetBool());
    EXPECT_EQ(CallManager("ListPrefabs")["Res"].Size(), 1u);
    TestSupport::CAssertCapture kReports;
    EXPECT_EQ(ErrorOf(CallManager("GetPrefab", ",\"Arg0\":" + kFirstId)),
              "Assertion \"Arg0\" failed. argument Arg0 must be the Id of a placed prefab: none has " + kFirstId);
}

TEST_F(EngineRemoteClassesTest, LoadFilePlacesAtTheGivenPositionAndHeading)
{
    const float fHalf = std::sqrt(0.5f);
    // Arguments after the path; expected position x, y and rotation z, w.
    const std::tuple<std::string, float, float, float, float> akCases[] = {
        {"", 0.0f, 0.0f, 0.0f, 1.0f},
        {R"(,"Arg1":{"x":3,"y":-2,"z":0})", 3.0f, -2.0f, 0.0f, 1.0f},
        {R"(,"Arg1":{"x":1,"y":1,"z":0},"Arg2":90)", 1.0f, 1.0f, fHalf, fHalf},
        {R"(,"Arg1":null,"Arg2":-180)", 0.0f, 0.0f, -1.0f, 0.0f},
        {R"(,"Arg2":450)", 0.0f, 0.0f, fHalf, fHalf},  // whole turns dropped
    };
    for (const auto& [kArgs, fX, fY, fZ, fW] : akCases)
    {
        SCOPED_TRACE(kArgs);
        const int iPrefab = PrefabOf(CallManager("LoadFile", ",\"Arg0\":\"" + kDemo + "\"" + kArgs));
        ASSERT_GE(iPrefab, 0);
        const rapidjson::Document kPosition = Call("Prefab", "GetPosition", iPrefab);
        EXPECT_EQ(Member(kPosition, "x"), fX);
        EXPECT_EQ(Member(kPosition, "y"), fY);
        const rapidjson::Document kRotation = Call("Prefab", "GetOrientation", iPrefab);
        EXPECT_NEAR(Member(kRotation, "z"), fZ, 1e-6f);
        EXPECT_NEAR(Member(kRotation, "w"), fW, 1e-6f);
        // The new one is listed last, under the Id its Prefab gives.
        const rapidjson::Document kList = CallManager("ListPrefabs");
        EXPECT_EQ(kList["Res"][kList["Res"].Size() - 1]["Id"].GetUint64(),
                  Call("Prefab", "GetId", iPrefab)["Res"].GetUint64());
    }
    EXPECT_EQ(CallManager("ListPrefabs")["Res"].Size(), 2u + std::size(akCases));
}

TEST_F(EngineRemoteClassesTest, ALoadFileRefusedAnswersWhyAndPlacesNothing)
{
    const std::string kBroken = testing::TempDir() + "broken" + std::to_string(getpid()) + ".prefab.json";
    std::ofstream(kBroken) << "{\"Name\":";
    // Arguments; the error text, or (for the loader's) the file it starts with, the loader's problem after it.
    const std::tuple<std::string, std::string, bool> akCases[] = {
        {R"("demo/missing.prefab.json")", std::string(TARN_DATA_DIR) + "/demo/missing.prefab.json: ", false},
        {"\"" + kBroken + "\"", kBroken + ": ", false},
        {R"("demo/biped.prefab.json","Arg1":{"x":0,"y":100001,"z":0})",
         "Assertion \"Arg1\" failed. argument Arg1 must be a position within 100000 m of the origin on each axis",
         true},
        {R"("demo/biped.prefab.json","Arg2":"left")", "Assertion \"Arg2\" failed. argument Arg2 must be a number",
         true},
    };
    TestSupport::CAssertCapture kReports;
    for (const auto& [kArgs, kError, bWhole] : akCases)
    {
        const std::string kText = ErrorOf(CallManager("LoadFile", ",\"Arg0\":" + kArgs));
        if (bWhole)
            EXPECT_EQ(kText, kError);
        else
            EXPECT_TRUE(kText.size() > kError.size() && kText.compare(0, kError.size(), kError) == 0) << kText;
    }
    remove(kBroken.c_str());
    EXPECT_EQ(CallManager("ListPrefabs")["Res"].Size(), 2u);
}

TEST_F(EngineRemoteClassesTest, GetClassesListsEveryRegisteredMethodWithItsTypes)
{
    // Every listed method as "Class.Method(arguments) result", marked when its class is a singleton or it may run
    // on the connection thread.
    std::set<std::string> kListed;
    const rapidjson::Document kClasses = Call("Root", "GetClasses", 0);
    for (const rapidjson::Value& kClass : kClasses["Res"].GetArray())
        for (const rapidjson::Value& kMethod : kClass["Methods"].GetArray())
        {
            std::string kText = std::string(kClass["Class"].GetString()) + "." + kMethod["Method"].GetString() + "(";
            for (const rapidjson::Value& kArg : kMethod["Args"].GetArray())
                kText += std::string(kText.back() == '(' ? "" : " ") + kArg.GetString();
            kText += std::string(") ") + kMethod["Result"].GetString();
            kListed.insert(kText + (kClass["Singleton"].GetBool() ? " singleton" : "") +
                           (kMethod["UseTcpThread"].GetBool() ? " tcp" : ""));
        }
    for (const char* pMethod :
         {"Root.GetRPCSingleton() Root singleton", "Root.KeepAlive() bool singleton tcp",
          "Root.GetClasses() ClassList singleton", "PrefabManager.LoadFile(string vec? float?) Prefab",
          "PrefabManager.RemovePrefab(Prefab) bool", "PrefabManager.ListPrefabs() PrefabList",
          "PrefabManager.GetPrefab(uint64) Prefab", "Prefab.SetOrientation(quat) void", "Prefab.GetPosition() vec",
          "Prefab.ReleaseRef() int32"})
        EXPECT_EQ(kListed.count(pMethod), 1u) << pMethod;
    // Each registered command once, under one entry per class.
    EXPECT_EQ(kListed.size(), m_pEngine->GetEngineNet()->GetCommandManager()->GetCommandCount());
    EXPECT_EQ(kClasses["Res"].Size(), 3u);
}

}  // namespace
