#include <atomic>
#include <cmath>
#include <iomanip>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "Commands/CommandManager.h"
#include "Commands/InstanceManager.h"
#include "Commands/SingletonManager.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

namespace {

// A call as its method's name and arguments, floats exact: "SetSpeed 2.5".
template <class... T> std::string Text(const char* pMethod, const T&... kArgs)
{
    std::ostringstream kText;
    kText << std::setprecision(9) << std::boolalpha << pMethod;
    ((kText << ' ' << kArgs), ...);
    return kText.str();
}

// Small remote classes of the tests: a thing with many instances that
// records its calls, a second class with instances, and a singleton hub.

class CTestThing : public TarnEngine::CInstanceManager<CTestThing>
{
public:
    static inline int s_iDestroyed = 0;
    ~CTestThing() override { ++s_iDestroyed; }

    void Reset() { Record("Reset"); }
    void SetSpeed(const float& fSpeed) { Record("SetSpeed", fSpeed); }
    // Checks its own range, as remote methods do.
    void SetScale(const float& fScale)
    {
        if (TARN_REMOTE_CHECK(fScale > 0.0f, "Arg0", "argument Arg0 must be a scale above 0"))
            Record("SetScale", fScale);
    }
    void SetRotation(const Math::Quaternion& k) { Record("SetRotation", k.x, k.y, k.z, k.w); }
    void SetPosition(const Math::LocalVector3& k) { Record("SetPosition", k.x, k.y, k.z); }
    void SetName(const char* const& pName) { Record("SetName", pName); }
    void Activate(const bool& bActive) { Record("Activate", bActive); }
    void SetPartner(CTestThing* const& p) { Record("SetPartner", p ? int64(p->GetInstanceID()) : -1); }
    void Configure(const int32& iA, const uint32& uiB, const double& dC, const uint64& uiD, const bool& bE,
                   const char* const& pF)
    {
        Record("Configure", iA, uiB, dC, uiD, bE, pF);
    }
    // Arguments a request may leave out ("-" when it did).
    void Place(const char* const& pName, const std::optional<Math::LocalVector3>& kAt,
               const std::optional<float>& fHeading)
    {
        Record("Place", pName, kAt ? Text("", kAt->x, kAt->y, kAt->z).substr(1) : "-",
               fHeading ? Text("", *fHeading).substr(1) : "-");
    }
    bool IsActive() { return m_bActive; }
    int GetCount() { return 7; }
    float GetSpeed() { return m_fSpeed; }
    Math::Quaternion GetRotation() { return m_kRotation; }
    Math::LocalVector3 GetPosition() { return m_kPosition; }
    const char* GetName() { return m_pName; }
    uint64 GetBig() { return 0x123456789ull; }
    CTestThing* GetPartner() { return m_pPartner; }

    template <class... T> void Record(const char* pMethod, const T&... kArgs)
    {
        m_kCalls.push_back(Text(pMethod, kArgs...));
        m_uiCallThread = Common::CThread::GetCurrentThreadId();
    }

    std::vector<std::string> m_kCalls;
    uint32 m_uiCallThread = 0;
    bool m_bActive = false;
    float m_fSpeed = 0.0f;
    Math::Quaternion m_kRotation;
    Math::LocalVector3 m_kPosition;
    const char* m_pName = "walker";
    CTestThing* m_pPartner = nullptr;
};

class CTestOther : public TarnEngine::CInstanceManager<CTestOther>
{
};

class CTestHub : public TarnEngine::CSingletonManager<CTestHub>
{
public:
    CTestThing* MakeThing(const float& fSpeed)
    {
        if (!TARN_REMOTE_CHECK(fSpeed >= 0.0f, "Arg0", "argument Arg0 must be a speed of 0 or more"))
            return nullptr;
        CTestThing* pThing = TARN_NEW(CTestThing);
        pThing->m_fSpeed = fSpeed;
        return pThing;
    }
};

using Calls = std::vector<std::string>;
// A result longer than a reply buffer holds at first.
const std::string kLongName(300, 'n');

// A request; by default to the thing of ID 0, waiting for its reply.
std::string Request(const char* pMethod, const std::string& kArgs = "", bool bWaitAck = true,
                    const std::string& kId = "0", const char* pClass = "Thing", bool bTcp = false)
{
    return std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod + "\",\"InstanceID\":" + kId +
           ",\"WaitAck\":" + (bWaitAck ? "true" : "false") + ",\"UseTcpThread\":" + (bTcp ? "true" : "false") +
           (kArgs.empty() ? "" : "," + kArgs) + "}";
}

// The text of an {"Error": text} reply; anything else is returned marked.
std::string ErrorOf(const std::string& kReply)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (kDocument.IsObject() && kDocument.MemberCount() == 1 && kDocument.HasMember("Error") &&
        kDocument["Error"].IsString())
        return kDocument["Error"].GetString();
    return "<not an error reply> " + kReply;
}

class CommandManagerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        CTestThing::s_iDestroyed = 0;
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.Register("Thing", "Reset", &CTestThing::Reset);
        m_kManager.Register("Thing", "SetSpeed", &CTestThing::SetSpeed);
        m_kManager.Register("Thing", "SetScale", &CTestThing::SetScale);
        m_kManager.Register("Thing", "SetRotation", &CTestThing::SetRotation);
        m_kManager.Register("Thing", "SetPosition", &CTestThing::SetPosition);
        m_kManager.Register("Thing", "SetName", &CTestThing::SetName);
        m_kManager.Register("Thing", "Activate", &CTestThing::Activate);
        m_kManager.Register("Thing", "SetPartner", &CTestThing::SetPartner);
        m_kManager.Register("Thing", "Configure", &CTestThing::Configure);
        m_kManager.Register("Thing", "IsActive", &CTestThing::IsActive);
        m_kManager.Register("Thing", "GetCount", &CTestThing::GetCount, true);
        m_kManager.Register("Thing", "GetSpeed", &CTestThing::GetSpeed);
        m_kManager.Register("Thing", "GetRotation", &CTestThing::GetRotation);
        m_kManager.Register("Thing", "GetPosition", &CTestThing::GetPosition);
        m_kManager.Register("Thing", "GetName", &CTestThing::GetName);
        m_kManager.Register("Thing", "GetBig", &CTestThing::GetBig);
        m_kManager.Register("Thing", "GetPartner", &CTestThing::GetPartner);
        m_kManager.Register("Thing", "Place", &CTestThing::Place);
        m_kManager.RegisterReleaseRef<CTestThing>("Thing");
        m_kManager.RegisterSingleton<CTestHub>("Hub");
        m_kManager.Register("Hub", "MakeThing", &CTestHub::MakeThing);
        m_kManager.RegisterReleaseRef<CTestHub>("Hub");
        m_pThing = TARN_NEW(CTestThing);
    }
    void TearDown() override
    {
        TARN_DELETE(m_pThing);
        EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 0u);
    }

    // Runs a request on this (the engine) thread and returns the reply.
    std::string Call(const std::string& kRequest)
    {
        m_kReply.Clear();
        m_kManager.ExecuteJSon(kRequest.c_str(), &m_kReply);
        return m_kReply.GetText();
    }
    // Runs a request on a thread of its own, as a connection does; kReply
    // gets the reply as the call returned it.
    std::thread Push(const std::string& kRequest, std::string& kReply)
    {
        return std::thread([this, kRequest, &kReply] {
            CReturnBuffer kBuffer;
            m_kManager.ExecuteJSon(kRequest.c_str(), &kBuffer);
            kReply = kBuffer.GetText();
            ++m_iReturned;
        });
    }

    CommandManager m_kManager;
    CReturnBuffer m_kReply;
    CTestThing* m_pThing = nullptr;
    std::atomic<int> m_iReturned{0};
};

TEST_F(CommandManagerTest, FirstRegistrationOfAPairIsKept)
{
    const uint32 uiCount = m_kManager.GetCommandCount();
    EngineCommand* pFirst = m_kManager.FindCommand("Thing", "SetSpeed");
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(m_kManager.FindCommand(GenerateUIntIdFromString("Thing", "SetSpeed")), pFirst);
    EXPECT_NE(m_kManager.Register("Thing", "SetSpeed", &CTestThing::SetScale, true), pFirst);
    EXPECT_EQ(m_kManager.FindCommand("Thing", "SetSpeed"), pFirst);
    EXPECT_EQ(m_kManager.GetCommandCount(), uiCount);
    EXPECT_FALSE(pFirst->IsSafeOffEngineThread());
    EXPECT_EQ(Call(Request("SetSpeed", R"("Arg0":2.5)")), "{}");
    EXPECT_EQ(m_pThing->m_kCalls, Calls{"SetSpeed 2.5"});
}

TEST_F(CommandManagerTest, QueuedRequestsRunInArrivalOrderAndBeforeAWaitingOneOfTheEngineThread)
{
    Calls kExpected;
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ(Call(Request("SetSpeed", "\"Arg0\":" + std::to_string(i), false)), "");
        kExpected.push_back(Text("SetSpeed", i));
    }
    EXPECT_TRUE(m_pThing->m_kCalls.empty());
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 10u);
    EXPECT_TRUE(m_kManager.GetWakeEvent().Wait(0));
    EXPECT_EQ(Call(Request("Reset")), "{}");
    kExpected.push_back("Reset");
    EXPECT_EQ(m_pThing->m_kCalls, kExpected);
    EXPECT_EQ(m_kManager.ProcessQueue(), 0u);
}

TEST_F(CommandManagerTest, ResultsOfEveryType)
{
    CTestThing* pPartner = TARN_NEW(CTestThing);  // ID 1
    m_pThing->m_bActive = true;
    m_pThing->m_fSpeed = 1.5f;
    m_pThing->m_kRotation = Math::Quaternion(0.0f, 0.5f, -0.25f, 1.0f);
    m_pThing->m_kPosition = Math::LocalVector3(1.0f, -2.0f, 0.125f);
    m_pThing->m_pName = kLongName.c_str();
    m_pThing->m_pPartner = pPartner;
    const std::pair<const char*, std::string> akCases[] = {
        {"Reset", "{}"},
        {"IsActive", R"({"Res":true})"},
        {"GetCount", R"({"Res":7})"},
        {"GetSpeed", R"({"Res":1.5})"},
        {"GetRotation", R"({"Res":{"x":0.0,"y":0.5,"z":-0.25,"w":1.0}})"},
        {"GetPosition", R"({"Res":{"x":1.0,"y":-2.0,"z":0.125}})"},
        {"GetName", R"({"Res":")" + kLongName + "\"}"},
        {"GetBig", R"({"Res":4886718345})"},
        {"GetPartner", R"({"Res":{"InstanceID":1}})"}};
    for (const auto& [pMethod, kReply] : akCases)
        EXPECT_EQ(Call(Request(pMethod)), kReply) << pMethod;
    EXPECT_EQ(m_pThing->m_kCalls, Calls{"Reset"});
    EXPECT_EQ(pPartner->GetRefCount(), 1u);  // handing an object out adds a reference

    m_pThing->m_pPartner = nullptr;
    m_pThing->m_pName = nullptr;
    m_pThing->m_fSpeed = std::numeric_limits<float>::infinity();
    for (const char* pMethod : {"GetPartner", "GetName", "GetSpeed"})
        EXPECT_EQ(Call(Request(pMethod)), R"({"Res":null})") << pMethod;

    // Without "WaitAck" nothing is written and no reference is added.
    m_pThing->m_pPartner = pPartner;
    EXPECT_EQ(Call(Request("GetPartner", "", false)), "");
    m_kManager.ProcessQueue();
    EXPECT_EQ(pPartner->GetRefCount(), 1u);
    TARN_DELETE(pPartner);
}

TEST_F(CommandManagerTest, ArgumentsOfEveryForm)
{
    CTestThing* pPartner = TARN_NEW(CTestThing);  // ID 1
    // Rotations arrive normalised in double precision, also when their
    // members are too large to square in float precision.
    const double dLength = std::sqrt(0.25 * 0.25 + 1.0 + 4.0 + 0.5 * 0.5);
    const std::tuple<const char*, std::string, std::string> akCases[] = {
        {"SetSpeed", R"("Arg0":3)", "SetSpeed 3"},
        {"SetRotation", R"("Arg0":{"w":0.5,"x":0.25,"y":-1,"z":2})",
         Text("SetRotation", float(0.25 / dLength), float(-1.0 / dLength), float(2.0 / dLength), float(0.5 / dLength))},
        {"SetRotation", R"("Arg0":{"x":1e20,"y":0,"z":0,"w":0})", "SetRotation 1 0 0 0"},
        {"SetScale", R"("Arg0":2)", "SetScale 2"},
        {"SetPosition", R"("Arg0":{"x":1,"y":2.5,"z":-3})", "SetPosition 1 2.5 -3"},
        {"SetName", R"("Arg0":"a \"quoted\" name")", "SetName a \"quoted\" name"},
        {"SetName", R"("Arg0":null)", "SetName "},  // an empty name
        {"Activate", R"("Arg0":true)", "Activate true"},
        {"SetPartner", R"("Arg0":{"InstanceID":1})", "SetPartner 1"},
        {"SetPartner", R"("Arg0":null)", "SetPartner -1"},
        {"Configure", R"("Arg0":-4,"Arg1":4000000000,"Arg2":0.5,"Arg3":12345678901,"Arg4":false,"Arg5":"six")",
         "Configure -4 4000000000 0.5 12345678901 false six"},
        // Strings longer than the parser's stacks hold inside a command, and
        // far longer, arrive whole.
        {"SetName", "\"Arg0\":\"" + std::string(3000, 'a') + "\"", "SetName " + std::string(3000, 'a')},
        {"SetName", "\"Arg0\":\"" + std::string(40000, 'b') + "\"", "SetName " + std::string(40000, 'b')},
    };
    for (const auto& [pMethod, kArgs, kCall] : akCases)
    {
        m_pThing->m_kCalls.clear();
        EXPECT_EQ(Call(Request(pMethod, kArgs)), "{}") << kArgs;
        EXPECT_EQ(m_pThing->m_kCalls, Calls{kCall}) << kArgs;
    }
    // The instance the request names is the one called.
    EXPECT_EQ(Call(Request("Reset", "", true, "1")), "{}");
    EXPECT_EQ(pPartner->m_kCalls, Calls{"Reset"});
    TARN_DELETE(pPartner);
}

TEST_F(CommandManagerTest, TheListingDescribesEveryCommandAsRegistered)
{
    // A pair registered again is not listed again.
    m_kManager.Register("Thing", "SetSpeed", &CTestThing::SetPosition);
    TarnRenderer::TArray<SRemoteMethodInfo> kList;
    m_kManager.ListCommands(kList);
    ASSERT_EQ(kList.GetSize(), m_kManager.GetCommandCount());
    EXPECT_STREQ(kList[0].pMethodName, "Reset");
    // Class, method: arguments, result, singleton class, safe off the engine thread.
    const std::tuple<const char*, const char*, const char*, const char*, bool, bool> akCases[] = {
        {"Thing", "SetSpeed", "float", "void", false, false},
        {"Thing", "SetRotation", "quat", "void", false, false},
        {"Thing", "SetPartner", "Thing", "void", false, false},
        {"Thing", "Configure", "int32 uint32 double uint64 bool string", "void", false, false},
        {"Thing", "GetCount", "", "int32", false, true},
        {"Thing", "GetPosition", "", "vec", false, false},
        {"Thing", "GetBig", "", "uint64", false, false},
        {"Thing", "GetPartner", "", "Thing", false, false},
        {"Thing", "Place", "string vec? float?", "void", false, false},
        {"Thing", "ReleaseRef", "", "int32", false, false},
        {"Hub", "GetRPCSingleton", "", "Hub", true, false},
        {"Hub", "MakeThing", "float", "Thing", true, false},
    };
    for (const auto& [pClass, pMethod, pArgs, pResult, bSingleton, bSafe] : akCases)
    {
        SCOPED_TRACE(std::string(pClass) + "." + pMethod);
        const SRemoteMethodInfo* pInfo = nullptr;
        for (const SRemoteMethodInfo& kInfo : kList)
            if (std::string(kInfo.pClassName) == pClass && std::string(kInfo.pMethodName) == pMethod)
                pInfo = &kInfo;
        ASSERT_NE(pInfo, nullptr);
        std::string kArgs;
        for (uint32 i = 0; i < pInfo->uiArgCount; ++i)
            kArgs += (i ? " " : "") + std::string(pInfo->apArgTypes[i]);
        EXPECT_EQ(kArgs, pArgs);
        EXPECT_STREQ(pInfo->pResultType, pResult);
        EXPECT_EQ(pInfo->bSingletonClass, bSingleton);
        EXPECT_EQ(pInfo->bSafeOffEngineThread, bSafe);
    }
}

TEST_F(CommandManagerTest, MalformedRequestsRunNothingAndWaitingOnesGetOneError)
{
    TestSupport::CAssertCapture kCapture;
    const std::string kDeep = std::string(300, '[') + std::string(300, ']');
    std::string kManyValues = "\"Arg0\":[0";
    for (uint32 i = 0; i < CommandManager::kMaxRequestValues; ++i)
        kManyValues += ",0";
    kManyValues += "]";
    struct SCase
    {
        const char* pName;
        std::string kText;
        bool bErrorReply;
    };
    const SCase akCases[] = {
        {"not JSON", "{\"ClassName\":", false},
        // Text that cannot be parsed is answered when its raw text asks for
        // a reply: a waiting client must never hang.
        {"trailing text", Request("Reset") + "x", true},
        {"trailing text, no ack", Request("Reset", "", false) + "x", false},
        {"a NaN literal", Request("SetSpeed", R"("Arg0":NaN)"), true},
        {"a number beyond double", Request("SetSpeed", R"("Arg0":1e400)"), true},
        {"an array", "[1,2]", false},
        {"too deep", kDeep, false},
        {"too deep, waiting", Request("Reset", "\"Arg0\":" + kDeep), true},
        {"too many values, waiting", Request("Reset", kManyValues), true},
        {"too many values, no ack", Request("Reset", kManyValues, false), false},
        {"class name with a NUL", Request("Reset", "", true, "0", "Thi\\u0000ng"), true},
        {"method name with a NUL", Request("Reset\\u0000"), true},
        {"string argument with a NUL", Request("SetName", R"("Arg0":"a\u0000b")"), true},
        {"float beyond the float range", Request("SetSpeed", R"("Arg0":1e39)"), true},
        {"float below the float range", Request("SetSpeed", R"("Arg0":-3.5e38)"), true},
        {"quaternion of no length", Request("SetRotation", R"("Arg0":{"x":0,"y":0,"z":0,"w":0})"), true},
        {"quaternion beyond the float range", Request("SetRotation", R"("Arg0":{"x":0,"y":0,"z":1e39,"w":1})"), true},
        {"vector beyond the float range", Request("SetPosition", R"("Arg0":{"x":0,"y":1e39,"z":0})"), true},
        {"refused by the method", Request("SetScale", R"("Arg0":0)"), true},
        {"refused by the method, no ack", Request("SetScale", R"("Arg0":-1)", false), false},
        {"no ClassName", R"({"MethodName":"Reset","InstanceID":0,"WaitAck":true,"UseTcpThread":false})", true},
        {"ClassName a number",
         R"({"ClassName":3,"MethodName":"Reset","InstanceID":0,"WaitAck":true,"UseTcpThread":false})", true},
        {"InstanceID a string", Request("Reset", "", true, "\"0\""), true},
        {"InstanceID too large", Request("Reset", "", true, "4294967296"), true},
        {"InstanceID real", Request("Reset", "", true, "0.5"), true},
        {"WaitAck not a bool",
         R"({"ClassName":"Thing","MethodName":"Reset","InstanceID":0,"WaitAck":1,"UseTcpThread":false})", false},
        {"no UseTcpThread", R"({"ClassName":"Thing","MethodName":"Reset","InstanceID":0,"WaitAck":true})", true},
        {"unregistered", Request("Fly"), true},
        {"unregistered, no ack", Request("Fly", "", false), false},
        {"unknown instance", Request("Reset", "", true, "5"), true},
        {"negative instance", Request("Reset", "", true, "-1"), true},
        {"missing argument", Request("SetSpeed"), true},
        {"argument a string", Request("SetSpeed", R"("Arg0":"fast")"), true},
        {"argument null for a number", Request("SetSpeed", R"("Arg0":null)"), true},
        {"bool as number", Request("Activate", R"("Arg0":1)"), true},
        {"quaternion without w", Request("SetRotation", R"("Arg0":{"x":0,"y":0,"z":0})"), true},
        {"vector member a string", Request("SetPosition", R"("Arg0":{"x":0,"y":"1","z":0})"), true},
        {"unknown object", Request("SetPartner", R"("Arg0":{"InstanceID":9})"), true},
        {"object without ID", Request("SetPartner", R"("Arg0":{})"), true},
        {"sixth argument missing", Request("Configure", R"("Arg0":1,"Arg1":2,"Arg2":3,"Arg3":4,"Arg4":true)"), true},
        {"unsigned argument negative",
         Request("Configure", R"("Arg0":1,"Arg1":-2,"Arg2":3,"Arg3":4,"Arg4":true,"Arg5":"")"), true},
        {"failing, no ack", Request("SetSpeed", R"("Arg0":"fast")", false), false},
        {"failing on the network thread", Request("GetCount", "", true, "3", "Thing", true), true},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        kCapture.Clear();
        const std::string kReply = Call(kCase.kText);
        m_kManager.ProcessQueue();
        EXPECT_TRUE(m_pThing->m_kCalls.empty());
        EXPECT_GE(kCapture.Count(), 1u);
        // One JSON object, {"Error": text}, the text one of the reports.
        if (kCase.bErrorReply)
            EXPECT_TRUE(kCapture.Has(ErrorOf(kReply))) << kReply;
        else
            EXPECT_EQ(kReply, "");
    }
}

TEST_F(CommandManagerTest, FailureReportsHaveTheirTexts)
{
    TestSupport::CAssertCapture kCapture;
    CTestHub kHub;
    const std::pair<std::string, const char*> akCases[] = {
        {Request("Fly"), R"(Assertion "false" failed. this command is not registred)"},
        {Request("Reset", "", true, "4"), R"(Assertion "pRes != 0" failed. Cannot retreive instance ptr)"},
        {Request("SetSpeed", R"("Arg0":1e39)"),
         R"(Assertion "Arg0" failed. argument Arg0 must be a number between -3.4e38 and 3.4e38)"},
        {Request("SetScale", R"("Arg0":-2)"), R"(Assertion "Arg0" failed. argument Arg0 must be a scale above 0)"},
        {Request("SetRotation", R"("Arg0":{"x":0,"y":0,"z":0})"),
         R"(Assertion "Arg0" failed. argument Arg0 must be an object with the numbers "x", "y", "z" and "w")"},
        {Request("SetName", R"("Arg0":"x\u0000")"),
         R"(Assertion "Arg0" failed. argument Arg0 must be a string without NUL characters)"},
        {Request("Reset", "", true, "0", "Thing\\u0000"),
         R"(Assertion "ClassName" failed. remote request member ClassName must be a string without NUL characters)"},
        {"{\"WaitAck\": true,", R"~(Assertion "!kDocument.HasParseError() && kDocument.IsObject()" failed. remote )~"
                                R"(request is not a JSON object: Missing a name for object member. (at offset 17))"},
        // A method that refuses gives no result, here no object.
        {Request("MakeThing", R"("Arg0":-1)", true, "0", "Hub"),
         R"(Assertion "Arg0" failed. argument Arg0 must be a speed of 0 or more)"},
    };
    for (const auto& [kRequest, pReport] : akCases)
    {
        EXPECT_EQ(ErrorOf(Call(kRequest)), pReport) << kRequest;
        EXPECT_TRUE(kCapture.Has(pReport)) << kRequest;
    }
    EXPECT_TRUE(kCapture.Has(R"(Assertion "ret == 1" failed. engine command failed!)"));
}

TEST_F(CommandManagerTest, WaitAckPushFromAnotherThreadBlocksUntilTheEngineThreadRanIt)
{
    m_pThing->m_pName = kLongName.c_str();
    std::string kReply;
    std::thread kPusher = Push(Request("GetName"), kReply);
    // The engine loop: wait for the queue's signal, then drain.
    EXPECT_TRUE(m_kManager.GetWakeEvent().Wait());
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 1u);
    EXPECT_EQ(m_iReturned.load(), 0);
    EXPECT_EQ(m_kManager.ProcessQueue(), 1u);
    kPusher.join();
    EXPECT_EQ(kReply, R"({"Res":")" + kLongName + "\"}");
}

TEST_F(CommandManagerTest, UseTcpThreadRunsOnlyCommandsSafeOffTheEngineThread)
{
    // Safe: runs on the pushing thread, nothing queued.
    std::string kReply;
    Push(Request("GetCount", "", true, "0", "Thing", true), kReply).join();
    EXPECT_EQ(kReply, R"({"Res":7})");
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 0u);
    // Not safe: queued for the engine thread as if the flag were false,
    // and without "WaitAck" the push returns at once.
    Push(Request("SetSpeed", R"("Arg0":6)", false, "0", "Thing", true), kReply).join();
    EXPECT_EQ(kReply, "");
    EXPECT_TRUE(m_pThing->m_kCalls.empty());
    EXPECT_TRUE(m_kManager.GetWakeEvent().Wait());
    EXPECT_EQ(m_kManager.ProcessQueue(), 1u);
    EXPECT_EQ(m_pThing->m_kCalls, Calls{"SetSpeed 6"});
    EXPECT_EQ(m_pThing->m_uiCallThread, Common::CThread::GetCurrentThreadId());
}

TEST_F(CommandManagerTest, ResolverGivesIdsPerClassNeverReused)
{
    CPointerResolver* pResolver = CPointerResolver::GetInstance();
    const uint32 uiThing = Common::GetClassId<CTestThing>();
    CTestThing* pSecond = TARN_NEW(CTestThing);
    CTestOther* pOther = TARN_NEW(CTestOther);
    EXPECT_EQ(m_pThing->GetInstanceID(), 0u);
    EXPECT_EQ(pSecond->GetInstanceID(), 1u);
    EXPECT_EQ(pOther->GetInstanceID(), 0u);  // its own class, its own IDs

    // The first one is handed out once and given back: deleted, its ID
    // refused from then on.
    m_pThing->AddRef();
    EXPECT_EQ(Call(Request("ReleaseRef")), R"({"Res":0})");
    EXPECT_EQ(CTestThing::s_iDestroyed, 1);
    m_pThing = nullptr;
    EXPECT_EQ(pResolver->FindPtr(uiThing, 0), nullptr);
    CTestThing* pThird = TARN_NEW(CTestThing);
    EXPECT_EQ(pThird->GetInstanceID(), 2u);
    {
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(ErrorOf(Call(Request("GetCount"))), R"(Assertion "pRes != 0" failed. Cannot retreive instance ptr)");
    }
    EXPECT_EQ(Call(Request("GetCount", "", true, "2")), R"({"Res":7})");
    EXPECT_EQ(pResolver->GetObjectCount(uiThing), 2u);
    EXPECT_EQ(pResolver->GetNextID(uiThing), 3u);
    TARN_DELETE(pSecond);
    TARN_DELETE(pThird);
    TARN_DELETE(pOther);
    EXPECT_EQ(pResolver->GetObjectCount(uiThing), 0u);
}

TEST_F(CommandManagerTest, ReferencesHandedOutAreCountedAndTheSingletonSurvivesItsReleases)
{
    const std::string kGetHub = Request("GetRPCSingleton", "", true, "0", "Hub");
    {
        TestSupport::CAssertCapture kCapture;
        EXPECT_EQ(ErrorOf(Call(kGetHub)),
                  R"(Assertion "pCast" failed. Couldn't retrieve singleton pointer when executing command)");
    }
    CTestHub* pHub = TARN_NEW(CTestHub);
    EXPECT_EQ(Call(kGetHub), R"({"Res":{"InstanceID":0}})");
    EXPECT_EQ(Call(Request("GetRPCSingleton", "", true, "55", "Hub")), R"({"Res":{"InstanceID":0}})");
    EXPECT_EQ(pHub->GetRefCount(), 2u);
    EXPECT_EQ(Call(Request("ReleaseRef", "", true, "0", "Hub")), R"({"Res":1})");
    EXPECT_EQ(Call(Request("ReleaseRef", "", true, "0", "Hub")), R"({"Res":0})");
    EXPECT_EQ(Call(kGetHub), R"({"Res":{"InstanceID":0}})");
    EXPECT_EQ(pHub->GetRefCount(), 1u);

    // A made object carries the client's reference and goes with its last.
    EXPECT_EQ(Call(Request("MakeThing", R"("Arg0":2)", true, "0", "Hub")), R"({"Res":{"InstanceID":1}})");
    CTestThing* pMade = CPointerResolver::GetInstance()->GetPtr<CTestThing>(1);
    ASSERT_NE(pMade, nullptr);
    EXPECT_EQ(pMade->m_fSpeed, 2.0f);
    pMade->AddRef();
    EXPECT_EQ(Call(Request("ReleaseRef", "", true, "1")), R"({"Res":1})");
    EXPECT_EQ(CTestThing::s_iDestroyed, 0);
    EXPECT_EQ(Call(Request("ReleaseRef", "", true, "1")), R"({"Res":0})");
    EXPECT_EQ(CTestThing::s_iDestroyed, 1);
    EXPECT_EQ(CPointerResolver::GetInstance()->FindPtr(Common::GetClassId<CTestThing>(), 1), nullptr);
    TARN_DELETE(pHub);
    EXPECT_EQ(CPointerResolver::GetInstance()->GetSingleton<CTestHub>(), nullptr);
}

TEST_F(CommandManagerTest, OneResolverServesTheProcess)
{
    TestSupport::CLogCapture kLog;
    TestSupport::CAssertCapture kCapture;
    CPointerResolver* pOwn = CPointerResolver::GetInstance();
    CommandManager kSecond;
    EXPECT_FALSE(kSecond.Init());
    EXPECT_TRUE(kLog.Contains("CommandInstanceHelper.cpp : Instance has already been set"));
    EXPECT_TRUE(m_kManager.Init());  // its own again: no change
    EXPECT_EQ(CPointerResolver::GetInstance(), pOwn);

    // Without one, a new object is reported and gets no ID.
    CPointerResolver::ReleaseInstance(pOwn);
    EXPECT_EQ(CTestOther().GetInstanceID(), kInvalidIndex);
    EXPECT_TRUE(
        kCapture.Has(R"~(Assertion "CPointerResolver::GetInstance()" failed. Instance ptr should be set (plugin?))~"));
    EXPECT_TRUE(CPointerResolver::SetInstance(pOwn));
}

TEST_F(CommandManagerTest, ExecuteDirectTakesTextArguments)
{
    TestSupport::CAssertCapture kCapture;
    const std::string kLongest(CommandManager::kDirectArgumentsSize - 1, '1');
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetSpeed", "  2.25 "));
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetName", "runner extra"));
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetName", kLongest.c_str()));
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "Place", "walker"));  // the optional arguments left out
    EXPECT_EQ(kCapture.Count(), 0u);
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "Fly", ""));
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "Activate", "true"));
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "SetSpeed", ""));
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "SetSpeed", (kLongest + "1").c_str()));
    EXPECT_EQ(m_pThing->m_kCalls,
              (Calls{"SetSpeed 2.25", "SetName runner", "SetName " + kLongest, "Place walker - -"}));
    for (const char* pReport : {R"(Assertion "false" failed. this command is not registred)",
                                R"(Assertion "false" failed. unknown paremeter type !)",
                                R"(Assertion "ret == 1" failed. engine command failed!)"})
        EXPECT_TRUE(kCapture.Has(pReport)) << pReport;
}

}  // namespace
