#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Commands/CommandManager.h"
#include "Commands/InstanceManager.h"
#include "Commands/SingletonManager.h"
#include "System/Thread/Thread.h"
#include "Utils/idfromstring.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

// Small remote classes of the tests: a thing with many instances, a second
// instance type, and a singleton hub.
namespace RPC {

class CTestThing;

class IRPCStub_CTestThing : public TarnEngine::CInstanceManager<IRPCStub_CTestThing>
{
public:
    virtual void Reset() = 0;
    virtual void SetSpeed(const float& fSpeed) = 0;
    virtual void SetScale(const float& fScale) = 0;
    virtual void SetRotation(const Math::Quaternion& kRotation) = 0;
    virtual void SetPosition(const Math::LocalVector3& kPosition) = 0;
    virtual void SetName(const char* const& pName) = 0;
    virtual void Activate(const bool& bActive) = 0;
    virtual void Append(const int32& iValue) = 0;
    virtual void SetPartner(CTestThing* const& pPartner) = 0;
    virtual void Configure(const int32& iA, const uint32& uiB, const double& dC, const uint64& uiD,
                           const bool& bE, const char* const& pF) = 0;
    virtual bool IsActive() = 0;
    virtual int GetCount() = 0;
    virtual float GetSpeed() = 0;
    virtual Math::Quaternion GetRotation() = 0;
    virtual Math::LocalVector3 GetPosition() = 0;
    virtual const char* GetName() = 0;
    virtual uint64 GetBig() = 0;
    virtual CTestThing* GetPartner() = 0;
};

class CTestThing : public IRPCStub_CTestThing
{
public:
    static inline int s_iDestroyed = 0;
    ~CTestThing() override { ++s_iDestroyed; }

    void Reset() override { Record("Reset"); }
    void SetSpeed(const float& fSpeed) override
    {
        m_fSpeed = fSpeed;
        Record("SetSpeed");
    }
    // Checks its own range, as remote methods do.
    void SetScale(const float& fScale) override
    {
        if (!TARN_REMOTE_CHECK(fScale > 0.0f, "Arg0", "argument Arg0 must be a scale above 0"))
            return;
        m_fScale = fScale;
        Record("SetScale");
    }
    void SetRotation(const Math::Quaternion& kRotation) override
    {
        m_kRotation = kRotation;
        Record("SetRotation");
    }
    void SetPosition(const Math::LocalVector3& kPosition) override
    {
        m_kPosition = kPosition;
        Record("SetPosition");
    }
    void SetName(const char* const& pName) override
    {
        m_kName = pName;
        Record("SetName");
    }
    void Activate(const bool& bActive) override
    {
        m_bActive = bActive;
        Record("Activate");
    }
    void Append(const int32& iValue) override
    {
        m_kAppended.push_back(iValue);
        Record("Append");
    }
    void SetPartner(CTestThing* const& pPartner) override
    {
        m_pPartner = pPartner;
        Record("SetPartner");
    }
    void Configure(const int32& iA, const uint32& uiB, const double& dC, const uint64& uiD, const bool& bE,
                   const char* const& pF) override
    {
        m_kConfigured = std::to_string(iA) + "," + std::to_string(uiB) + "," + std::to_string(dC) + "," +
                        std::to_string(uiD) + "," + (bE ? "true" : "false") + "," + pF;
        Record("Configure");
    }
    bool IsActive() override { return m_bActive; }
    int GetCount() override { return m_iCount; }
    float GetSpeed() override { return m_fSpeed; }
    Math::Quaternion GetRotation() override { return m_kRotation; }
    Math::LocalVector3 GetPosition() override { return m_kPosition; }
    const char* GetName() override { return m_pNameResult; }
    uint64 GetBig() override { return 0x123456789ull; }
    CTestThing* GetPartner() override { return m_pPartner; }

    void Record(const char* pCall)
    {
        m_kCalls.emplace_back(pCall);
        m_uiCallThread = Common::CThread::GetCurrentThreadId();
    }

    std::vector<std::string> m_kCalls;
    std::vector<int32> m_kAppended;
    uint32 m_uiCallThread = 0;
    float m_fSpeed = 0.0f;
    float m_fScale = 0.0f;
    Math::Quaternion m_kRotation;
    Math::LocalVector3 m_kPosition;
    std::string m_kName = "unset";
    const char* m_pNameResult = "walker";
    std::string m_kConfigured;
    bool m_bActive = false;
    int m_iCount = 7;
    CTestThing* m_pPartner = nullptr;
};

class IRPCStub_CTestOther : public TarnEngine::CInstanceManager<IRPCStub_CTestOther>
{
public:
    virtual int Ping() = 0;
};

class CTestOther : public IRPCStub_CTestOther
{
public:
    int Ping() override { return 1; }
};

class IRPCStub_CTestHub : public TarnEngine::CSingletonManager<IRPCStub_CTestHub>
{
public:
    virtual CTestThing* MakeThing(const float& fSpeed) = 0;
};

class CTestHub : public IRPCStub_CTestHub
{
public:
    CTestThing* MakeThing(const float& fSpeed) override
    {
        if (!TARN_REMOTE_CHECK(fSpeed >= 0.0f, "Arg0", "argument Arg0 must be a speed of 0 or more"))
            return nullptr;
        CTestThing* pThing = TARN_NEW(CTestThing);
        pThing->m_fSpeed = fSpeed;
        return pThing;
    }
};

}  // namespace RPC

namespace {

using RPC::CTestThing;
using RPC::IRPCStub_CTestThing;

// A document on the engine's memory, as the system's own code makes them.
struct SJsonDocument
{
    Common::CJsonAllocator kHeap;
    Common::JsonPool kPool{1024, &kHeap};
    Common::JsonDocument kDocument{&kPool, 256, &kHeap};
};

std::string Request(const char* pClass, const char* pMethod, int iId, bool bWaitAck, bool bTcp = false,
                    const std::string& kArgs = "")
{
    std::string kText = std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
                        "\",\"InstanceID\":" + std::to_string(iId) + ",\"WaitAck\":" + (bWaitAck ? "true" : "false") +
                        ",\"UseTcpThread\":" + (bTcp ? "true" : "false");
    if (!kArgs.empty())
        kText += "," + kArgs;
    return kText + "}";
}

class CommandManagerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        RPC::CTestThing::s_iDestroyed = 0;
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.Register("Thing", "Reset", &IRPCStub_CTestThing::Reset);
        m_kManager.Register("Thing", "SetSpeed", &IRPCStub_CTestThing::SetSpeed);
        m_kManager.Register("Thing", "SetScale", &IRPCStub_CTestThing::SetScale);
        m_kManager.Register("Thing", "SetRotation", &IRPCStub_CTestThing::SetRotation);
        m_kManager.Register("Thing", "SetPosition", &IRPCStub_CTestThing::SetPosition);
        m_kManager.Register("Thing", "SetName", &IRPCStub_CTestThing::SetName);
        m_kManager.Register("Thing", "Activate", &IRPCStub_CTestThing::Activate);
        m_kManager.Register("Thing", "Append", &IRPCStub_CTestThing::Append);
        m_kManager.Register("Thing", "SetPartner", &IRPCStub_CTestThing::SetPartner);
        m_kManager.Register("Thing", "Configure", &IRPCStub_CTestThing::Configure);
        m_kManager.Register("Thing", "IsActive", &IRPCStub_CTestThing::IsActive);
        m_kManager.Register("Thing", "GetCount", &IRPCStub_CTestThing::GetCount, true);
        m_kManager.Register("Thing", "GetSpeed", &IRPCStub_CTestThing::GetSpeed);
        m_kManager.Register("Thing", "GetRotation", &IRPCStub_CTestThing::GetRotation);
        m_kManager.Register("Thing", "GetPosition", &IRPCStub_CTestThing::GetPosition);
        m_kManager.Register("Thing", "GetName", &IRPCStub_CTestThing::GetName);
        m_kManager.Register("Thing", "GetBig", &IRPCStub_CTestThing::GetBig);
        m_kManager.Register("Thing", "GetPartner", &IRPCStub_CTestThing::GetPartner);
        m_kManager.RegisterReleaseRef<IRPCStub_CTestThing>("Thing");
        m_kManager.RegisterSingleton<RPC::IRPCStub_CTestHub>("Hub");
        m_kManager.Register("Hub", "MakeThing", &RPC::IRPCStub_CTestHub::MakeThing);
        m_kManager.RegisterReleaseRef<RPC::IRPCStub_CTestHub>("Hub");
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

    CommandManager m_kManager;
    CReturnBuffer m_kReply;
    CTestThing* m_pThing = nullptr;
};

TEST_F(CommandManagerTest, FirstRegistrationOfAPairIsKept)
{
    const uint32 uiCount = m_kManager.GetCommandCount();
    EngineCommand* pFirst = m_kManager.FindCommand("Thing", "SetSpeed");
    ASSERT_NE(pFirst, nullptr);
    EngineCommand* pSecond = m_kManager.Register("Thing", "SetSpeed", &IRPCStub_CTestThing::SetScale, true);
    EXPECT_NE(pSecond, pFirst);
    EXPECT_EQ(m_kManager.FindCommand("Thing", "SetSpeed"), pFirst);
    EXPECT_EQ(m_kManager.GetCommandCount(), uiCount);
    EXPECT_FALSE(pFirst->IsSafeOffEngineThread());

    EXPECT_EQ(Call(Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":2.5")), "{}");
    EXPECT_EQ(m_pThing->m_kCalls, std::vector<std::string>{"SetSpeed"});
    EXPECT_EQ(m_pThing->m_fSpeed, 2.5f);
    EXPECT_EQ(m_pThing->m_fScale, 0.0f);
}

TEST_F(CommandManagerTest, CommandIdIsTheTwoTextIdentifier)
{
    EXPECT_EQ(CommandManager::GetCommandId("GaitComponentRpc", "SetSpeed"),
              GenerateUIntIdFromString("GaitComponentRpc", "SetSpeed"));
    EXPECT_NE(CommandManager::GetCommandId("GaitComponentRpc", "SetSpeed"),
              CommandManager::GetCommandId("GaitComponentBuilderRpc", "SetSpeed"));
    EXPECT_EQ(m_kManager.FindCommand(GenerateUIntIdFromString("Thing", "Reset")),
              m_kManager.FindCommand("Thing", "Reset"));
}

TEST_F(CommandManagerTest, QueuedRequestsRunInArrivalOrderWithinOneProcessQueue)
{
    for (int iIdx = 0; iIdx < 10; ++iIdx)
    {
        EXPECT_EQ(Call(Request("Thing", "Append", 0, false, false, "\"Arg0\":" + std::to_string(iIdx))), "");
    }
    EXPECT_TRUE(m_pThing->m_kAppended.empty());
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 10u);
    EXPECT_TRUE(m_kManager.GetWakeEvent().Wait(0));

    EXPECT_EQ(m_kManager.ProcessQueue(), 10u);
    EXPECT_EQ(m_pThing->m_kAppended, (std::vector<int32>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(m_kManager.ProcessQueue(), 0u);
}

TEST_F(CommandManagerTest, WaitAckOnTheEngineThreadRunsEarlierRequestsFirst)
{
    Call(Request("Thing", "Append", 0, false, false, "\"Arg0\":1"));
    Call(Request("Thing", "Append", 0, false, false, "\"Arg0\":2"));
    EXPECT_EQ(Call(Request("Thing", "Append", 0, true, false, "\"Arg0\":3")), "{}");
    EXPECT_EQ(m_pThing->m_kAppended, (std::vector<int32>{1, 2, 3}));
}

TEST_F(CommandManagerTest, ResultsOfEveryType)
{
    CTestThing* pPartner = TARN_NEW(CTestThing);  // ID 1
    m_pThing->m_bActive = true;
    m_pThing->m_fSpeed = 1.5f;
    m_pThing->m_kRotation = Math::Quaternion(0.0f, 0.5f, -0.25f, 1.0f);
    m_pThing->m_kPosition = Math::LocalVector3(1.0f, -2.0f, 0.125f);
    m_pThing->m_pPartner = pPartner;

    struct SCase
    {
        const char* pMethod;
        const char* pReply;
    };
    const SCase akCases[] = {
        {"Reset", "{}"},
        {"IsActive", "{\"Res\":true}"},
        {"GetCount", "{\"Res\":7}"},
        {"GetSpeed", "{\"Res\":1.5}"},
        {"GetRotation", "{\"Res\":{\"x\":0.0,\"y\":0.5,\"z\":-0.25,\"w\":1.0}}"},
        {"GetPosition", "{\"Res\":{\"x\":1.0,\"y\":-2.0,\"z\":0.125}}"},
        {"GetName", "{\"Res\":\"walker\"}"},
        {"GetBig", "{\"Res\":4886718345}"},
        {"GetPartner", "{\"Res\":{\"InstanceID\":1}}"},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pMethod);
        EXPECT_EQ(Call(Request("Thing", kCase.pMethod, 0, true)), kCase.pReply);
    }
    // Handing an object out adds a reference.
    EXPECT_EQ(pPartner->GetRefCount(), 1u);

    m_pThing->m_pPartner = nullptr;
    m_pThing->m_pNameResult = nullptr;
    m_pThing->m_fSpeed = std::numeric_limits<float>::infinity();
    EXPECT_EQ(Call(Request("Thing", "GetPartner", 0, true)), "{\"Res\":null}");
    EXPECT_EQ(Call(Request("Thing", "GetName", 0, true)), "{\"Res\":null}");
    EXPECT_EQ(Call(Request("Thing", "GetSpeed", 0, true)), "{\"Res\":null}");

    // Without "WaitAck" nothing is written and no reference is added.
    m_pThing->m_pPartner = pPartner;
    EXPECT_EQ(Call(Request("Thing", "IsActive", 0, false)), "");
    EXPECT_EQ(Call(Request("Thing", "GetPartner", 0, false)), "");
    m_kManager.ProcessQueue();
    EXPECT_EQ(pPartner->GetRefCount(), 1u);
    TARN_DELETE(pPartner);
}

TEST_F(CommandManagerTest, ArgumentsOfEveryForm)
{
    CTestThing* pPartner = TARN_NEW(CTestThing);  // ID 1
    EXPECT_EQ(Call(Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":3")), "{}");
    EXPECT_EQ(m_pThing->m_fSpeed, 3.0f);
    EXPECT_EQ(Call(Request("Thing", "SetRotation", 0, true, false,
                           "\"Arg0\":{\"w\":0.5,\"x\":0.25,\"y\":-1,\"z\":2}")),
              "{}");
    // Rotations arrive normalised, also when their components are too large
    // to square in float precision.
    const double dLength = std::sqrt(0.25 * 0.25 + 1.0 + 4.0 + 0.5 * 0.5);
    EXPECT_EQ(m_pThing->m_kRotation, Math::Quaternion(static_cast<float>(0.25 / dLength), static_cast<float>(-1.0 / dLength),
                                                      static_cast<float>(2.0 / dLength), static_cast<float>(0.5 / dLength)));
    EXPECT_EQ(Call(Request("Thing", "SetRotation", 0, true, false, "\"Arg0\":{\"x\":1e20,\"y\":0,\"z\":0,\"w\":0}")),
              "{}");
    EXPECT_EQ(m_pThing->m_kRotation, Math::Quaternion(1.0f, 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(Call(Request("Thing", "SetScale", 0, true, false, "\"Arg0\":2")), "{}");
    EXPECT_EQ(m_pThing->m_fScale, 2.0f);
    EXPECT_EQ(Call(Request("Thing", "SetPosition", 0, true, false, "\"Arg0\":{\"x\":1,\"y\":2.5,\"z\":-3}")), "{}");
    EXPECT_EQ(m_pThing->m_kPosition, Math::LocalVector3(1.0f, 2.5f, -3.0f));
    EXPECT_EQ(Call(Request("Thing", "SetName", 0, true, false, "\"Arg0\":\"a \\\"quoted\\\" name\"")), "{}");
    EXPECT_EQ(m_pThing->m_kName, "a \"quoted\" name");
    EXPECT_EQ(Call(Request("Thing", "SetName", 0, true, false, "\"Arg0\":null")), "{}");
    EXPECT_EQ(m_pThing->m_kName, "");
    EXPECT_EQ(Call(Request("Thing", "Activate", 0, true, false, "\"Arg0\":true")), "{}");
    EXPECT_TRUE(m_pThing->m_bActive);
    EXPECT_EQ(Call(Request("Thing", "SetPartner", 0, true, false, "\"Arg0\":{\"InstanceID\":1}")), "{}");
    EXPECT_EQ(m_pThing->m_pPartner, pPartner);
    EXPECT_EQ(Call(Request("Thing", "SetPartner", 0, true, false, "\"Arg0\":null")), "{}");
    EXPECT_EQ(m_pThing->m_pPartner, nullptr);
    EXPECT_EQ(Call(Request("Thing", "Configure", 1, true, false,
                           "\"Arg0\":-4,\"Arg1\":4000000000,\"Arg2\":0.5,\"Arg3\":12345678901,"
                           "\"Arg4\":false,\"Arg5\":\"six\"")),
              "{}");
    EXPECT_EQ(pPartner->m_kConfigured, "-4,4000000000,0.500000,12345678901,false,six");
    TARN_DELETE(pPartner);
}

TEST_F(CommandManagerTest, VoidMethodWithWaitAckAnswersEmptyObject)
{
    EXPECT_EQ(Call(Request("Thing", "Reset", 0, true)), "{}");
    EXPECT_EQ(m_pThing->m_kCalls, std::vector<std::string>{"Reset"});
}

TEST_F(CommandManagerTest, MalformedRequestsRunNothingAndWaitingOnesGetOneError)
{
    TestSupport::CAssertCapture kCapture;
    const std::string kDeep = std::string(300, '[') + std::string(300, ']');
    std::string kManyValues = "0";
    for (uint32 i = 0; i < CommandManager::kMaxRequestValues; ++i)
        kManyValues += ",0";
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
        {"trailing text", Request("Thing", "Reset", 0, true) + "x", true},
        {"trailing text, no ack", Request("Thing", "Reset", 0, false) + "x", false},
        {"a NaN literal", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":NaN"), true},
        {"a number beyond double", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":1e400"), true},
        {"an array", "[1,2]", false},
        {"too deep", kDeep, false},
        {"too deep, waiting", Request("Thing", "Reset", 0, true, false, "\"Arg0\":" + kDeep), true},
        {"too many values, waiting", Request("Thing", "Reset", 0, true, false, "\"Arg0\":[" + kManyValues + "]"), true},
        {"too many values, no ack", Request("Thing", "Reset", 0, false, false, "\"Arg0\":[" + kManyValues + "]"), false},
        {"class name with a NUL", Request("Thi\\u0000ng", "Reset", 0, true), true},
        {"method name with a NUL", Request("Thing", "Reset\\u0000", 0, true), true},
        {"string argument with a NUL", Request("Thing", "SetName", 0, true, false, "\"Arg0\":\"a\\u0000b\""), true},
        {"float beyond the float range", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":1e39"), true},
        {"float below the float range", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":-3.5e38"), true},
        {"quaternion of no length",
         Request("Thing", "SetRotation", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0,\"w\":0}"), true},
        {"quaternion beyond the float range",
         Request("Thing", "SetRotation", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":0,\"z\":1e39,\"w\":1}"), true},
        {"vector beyond the float range",
         Request("Thing", "SetPosition", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":1e39,\"z\":0}"), true},
        {"refused by the method", Request("Thing", "SetScale", 0, true, false, "\"Arg0\":0"), true},
        {"refused by the method, no ack", Request("Thing", "SetScale", 0, false, false, "\"Arg0\":-1"), false},
        {"no ClassName",
         "{\"MethodName\":\"Reset\",\"InstanceID\":0,\"WaitAck\":true,\"UseTcpThread\":false}", true},
        {"ClassName a number",
         "{\"ClassName\":3,\"MethodName\":\"Reset\",\"InstanceID\":0,\"WaitAck\":true,\"UseTcpThread\":false}",
         true},
        {"InstanceID a string",
         "{\"ClassName\":\"Thing\",\"MethodName\":\"Reset\",\"InstanceID\":\"0\",\"WaitAck\":true,"
         "\"UseTcpThread\":false}",
         true},
        {"InstanceID too large",
         "{\"ClassName\":\"Thing\",\"MethodName\":\"Reset\",\"InstanceID\":4294967296,\"WaitAck\":true,"
         "\"UseTcpThread\":false}",
         true},
        {"InstanceID real",
         "{\"ClassName\":\"Thing\",\"MethodName\":\"Reset\",\"InstanceID\":0.5,\"WaitAck\":true,"
         "\"UseTcpThread\":false}",
         true},
        {"WaitAck not a bool",
         "{\"ClassName\":\"Thing\",\"MethodName\":\"Reset\",\"InstanceID\":0,\"WaitAck\":1,\"UseTcpThread\":false}",
         false},
        {"no UseTcpThread", "{\"ClassName\":\"Thing\",\"MethodName\":\"Reset\",\"InstanceID\":0,\"WaitAck\":true}",
         true},
        {"unregistered", Request("Thing", "Fly", 0, true), true},
        {"unregistered, no ack", Request("Thing", "Fly", 0, false), false},
        {"unknown instance", Request("Thing", "Reset", 5, true), true},
        {"negative instance", Request("Thing", "Reset", -1, true), true},
        {"missing argument", Request("Thing", "SetSpeed", 0, true), true},
        {"argument a string", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":\"fast\""), true},
        {"argument null for a number", Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":null"), true},
        {"bool as number", Request("Thing", "Activate", 0, true, false, "\"Arg0\":1"), true},
        {"quaternion without w", Request("Thing", "SetRotation", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0}"),
         true},
        {"vector component a string",
         Request("Thing", "SetPosition", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":\"1\",\"z\":0}"), true},
        {"unknown object", Request("Thing", "SetPartner", 0, true, false, "\"Arg0\":{\"InstanceID\":9}"), true},
        {"object without ID", Request("Thing", "SetPartner", 0, true, false, "\"Arg0\":{}"), true},
        {"sixth argument missing",
         Request("Thing", "Configure", 0, true, false,
                 "\"Arg0\":1,\"Arg1\":2,\"Arg2\":3,\"Arg3\":4,\"Arg4\":true"),
         true},
        {"unsigned argument negative",
         Request("Thing", "Configure", 0, true, false,
                 "\"Arg0\":1,\"Arg1\":-2,\"Arg2\":3,\"Arg3\":4,\"Arg4\":true,\"Arg5\":\"\""),
         true},
        {"failing, no ack", Request("Thing", "SetSpeed", 0, false, false, "\"Arg0\":\"fast\""), false},
        {"failing on the network thread",
         Request("Thing", "GetCount", 3, true, true), true},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        kCapture.Clear();
        const std::string kReply = Call(kCase.kText);
        m_kManager.ProcessQueue();
        EXPECT_TRUE(m_pThing->m_kCalls.empty());
        EXPECT_GE(kCapture.Count(), 1u);
        if (!kCase.bErrorReply)
        {
            EXPECT_EQ(kReply, "");
            continue;
        }
        // One JSON object, {"Error": text}, the text one of the reports.
        SJsonDocument kParsed;
        Common::JsonDocument& kDocument = kParsed.kDocument;
        kDocument.Parse(kReply.c_str(), kReply.size());
        ASSERT_FALSE(kDocument.HasParseError()) << kReply;
        ASSERT_TRUE(kDocument.IsObject());
        ASSERT_EQ(kDocument.MemberCount(), 1u);
        ASSERT_TRUE(kDocument.HasMember("Error") && kDocument["Error"].IsString());
        EXPECT_TRUE(kCapture.Has(kDocument["Error"].GetString())) << kReply;
    }
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 0u);
}

TEST_F(CommandManagerTest, FailureReportsHaveTheirTexts)
{
    TestSupport::CAssertCapture kCapture;
    EXPECT_EQ(Call(Request("Thing", "Fly", 0, true)),
              "{\"Error\":\"Assertion \\\"false\\\" failed. this command is not registred\"}");
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. this command is not registred"));
    kCapture.Clear();
    EXPECT_EQ(Call(Request("Thing", "Reset", 4, true)),
              "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}");
    EXPECT_TRUE(kCapture.Has("Assertion \"pRes != 0\" failed. Cannot retreive instance ptr"));
    EXPECT_TRUE(kCapture.Has("Assertion \"ret == 1\" failed. engine command failed!"));

    struct SCase
    {
        std::string kRequest;
        const char* pError;
    };
    const SCase akCases[] = {
        {Request("Thing", "SetSpeed", 0, true, false, "\"Arg0\":1e39"),
         "Assertion \\\"Arg0\\\" failed. argument Arg0 must be a number between -3.4e38 and 3.4e38"},
        {Request("Thing", "SetScale", 0, true, false, "\"Arg0\":-2"),
         "Assertion \\\"Arg0\\\" failed. argument Arg0 must be a scale above 0"},
        {Request("Thing", "SetRotation", 0, true, false, "\"Arg0\":{\"x\":0,\"y\":0,\"z\":0}"),
         "Assertion \\\"Arg0\\\" failed. argument Arg0 must be an object with the numbers \\\"x\\\", "
         "\\\"y\\\", \\\"z\\\" and \\\"w\\\""},
        {Request("Thing", "SetName", 0, true, false, "\"Arg0\":\"x\\u0000\""),
         "Assertion \\\"Arg0\\\" failed. argument Arg0 must be a string without NUL characters"},
        {Request("Thing\\u0000", "Reset", 0, true),
         "Assertion \\\"ClassName\\\" failed. remote request member ClassName must be a string without NUL characters"},
        {"{\"WaitAck\": true,", "Assertion \\\"!kDocument.HasParseError() && kDocument.IsObject()\\\" failed. remote "
                               "request is not a JSON object: Missing a name for object member. (at offset 17)"},
    };
    for (const SCase& kCase : akCases)
        EXPECT_EQ(Call(kCase.kRequest), std::string("{\"Error\":\"") + kCase.pError + "\"}") << kCase.kRequest;

    // A method that refuses gives no result: here no object is made, and no
    // reference handed out.
    RPC::CTestHub* pHub = TARN_NEW(RPC::CTestHub);
    const uint32 uiThings = TarnEngine::CPointerResolver::GetInstance()->GetObjectCount(
        Common::GetClassId<IRPCStub_CTestThing>());
    EXPECT_EQ(Call(Request("Hub", "MakeThing", 0, true, false, "\"Arg0\":-1")),
              "{\"Error\":\"Assertion \\\"Arg0\\\" failed. argument Arg0 must be a speed of 0 or more\"}");
    EXPECT_EQ(TarnEngine::CPointerResolver::GetInstance()->GetObjectCount(Common::GetClassId<IRPCStub_CTestThing>()),
              uiThings);
    TARN_DELETE(pHub);
}

// Pushes one request from its own thread, the way a connection does.
class CPushThread : public Common::CThread
{
public:
    CPushThread(CommandManager& kManager, std::string kRequest)
        : m_kManager(kManager), m_kRequest(std::move(kRequest))
    {
    }
    uint32 Run() override
    {
        m_uiThreadId = GetCurrentThreadId();
        m_kManager.ExecuteJSon(m_kRequest.c_str(), &m_kReply);
        m_kReplyAtReturn = m_kReply.GetText();
        m_bReturned.store(true, std::memory_order_release);
        return 0;
    }

    CommandManager& m_kManager;
    std::string m_kRequest;
    CReturnBuffer m_kReply;
    // The reply as the pusher saw it when its call returned.
    std::string m_kReplyAtReturn;
    std::atomic<bool> m_bReturned{false};
    uint32 m_uiThreadId = 0;
};

TEST_F(CommandManagerTest, WaitAckPushFromAnotherThreadBlocksUntilTheEngineThreadRanIt)
{
    m_pThing->m_bActive = true;
    CPushThread kPusher(m_kManager, Request("Thing", "IsActive", 0, true));
    ASSERT_TRUE(kPusher.Start("pusher"));

    // The engine loop: wait for the queue's signal, then drain.
    ASSERT_TRUE(m_kManager.GetWakeEvent().Wait());
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 1u);
    EXPECT_FALSE(kPusher.m_bReturned.load(std::memory_order_acquire));
    EXPECT_EQ(m_kManager.ProcessQueue(), 1u);

    kPusher.Wait();
    EXPECT_TRUE(kPusher.m_bReturned.load(std::memory_order_acquire));
    EXPECT_EQ(kPusher.m_kReplyAtReturn, "{\"Res\":true}");
}

TEST_F(CommandManagerTest, PushWithoutWaitAckFromAnotherThreadReturnsAtOnce)
{
    CPushThread kPusher(m_kManager, Request("Thing", "SetSpeed", 0, false, false, "\"Arg0\":4"));
    ASSERT_TRUE(kPusher.Start("pusher"));
    kPusher.Wait();  // returns without the engine thread's help
    EXPECT_TRUE(m_pThing->m_kCalls.empty());
    EXPECT_STREQ(kPusher.m_kReply.GetText(), "");
    ASSERT_TRUE(m_kManager.GetWakeEvent().Wait());
    EXPECT_EQ(m_kManager.ProcessQueue(), 1u);
    EXPECT_EQ(m_pThing->m_fSpeed, 4.0f);
    EXPECT_EQ(m_pThing->m_uiCallThread, Common::CThread::GetCurrentThreadId());
}

TEST_F(CommandManagerTest, UseTcpThreadRunsOnlyCommandsSafeOffTheEngineThread)
{
    // Safe: runs on the pushing thread, nothing queued.
    CPushThread kSafe(m_kManager, Request("Thing", "GetCount", 0, true, true));
    ASSERT_TRUE(kSafe.Start("safe"));
    kSafe.Wait();
    EXPECT_EQ(kSafe.m_kReplyAtReturn, "{\"Res\":7}");
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 0u);

    // Not safe: queued for the engine thread as if the flag were false.
    CPushThread kUnsafe(m_kManager, Request("Thing", "SetSpeed", 0, false, true, "\"Arg0\":6"));
    ASSERT_TRUE(kUnsafe.Start("unsafe"));
    kUnsafe.Wait();
    EXPECT_TRUE(m_pThing->m_kCalls.empty());
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), 1u);
    EXPECT_EQ(m_kManager.ProcessQueue(), 1u);
    EXPECT_EQ(m_pThing->m_kCalls, std::vector<std::string>{"SetSpeed"});
    EXPECT_EQ(m_pThing->m_uiCallThread, Common::CThread::GetCurrentThreadId());
    EXPECT_NE(m_pThing->m_uiCallThread, kUnsafe.m_uiThreadId);

    EXPECT_TRUE(m_kManager.FindCommand("Thing", "GetCount")->IsSafeOffEngineThread());
    EXPECT_FALSE(m_kManager.FindCommand("Thing", "SetSpeed")->IsSafeOffEngineThread());
}

TEST_F(CommandManagerTest, ResolverGivesIdsPerInterfaceNeverReused)
{
    TestSupport::CAssertCapture kCapture;
    CPointerResolver* pResolver = CPointerResolver::GetInstance();
    ASSERT_EQ(pResolver, m_kManager.GetPointerResolver());
    const uint32 uiThingKey = GenerateUIntIdFromString("class RPC::IRPCStub_CTestThing");
    EXPECT_EQ(Common::GetClassId<IRPCStub_CTestThing>(), uiThingKey);

    CTestThing* pSecond = TARN_NEW(CTestThing);
    RPC::CTestOther* pOther = TARN_NEW(RPC::CTestOther);
    EXPECT_EQ(m_pThing->GetInstanceID(), 0u);
    EXPECT_EQ(pSecond->GetInstanceID(), 1u);
    EXPECT_EQ(pOther->GetInstanceID(), 0u);  // its own interface, its own IDs
    EXPECT_EQ(pResolver->FindPtr(uiThingKey, 1), static_cast<void*>(static_cast<CInstanceManager<IRPCStub_CTestThing>*>(pSecond)));
    EXPECT_EQ(pResolver->GetPtr<IRPCStub_CTestThing>(1), pSecond);
    EXPECT_EQ(pResolver->GetID<IRPCStub_CTestThing>(pSecond), 1u);
    EXPECT_EQ(pResolver->GetPtr<RPC::IRPCStub_CTestOther>(0), pOther);

    // The first one is handed out once and given back: deleted, ID refused.
    m_pThing->AddRef();
    EXPECT_EQ(Call(Request("Thing", "ReleaseRef", 0, true)), "{\"Res\":0}");
    EXPECT_EQ(CTestThing::s_iDestroyed, 1);
    m_pThing = nullptr;
    EXPECT_EQ(pResolver->FindPtr(uiThingKey, 0), nullptr);

    CTestThing* pThird = TARN_NEW(CTestThing);
    EXPECT_EQ(pThird->GetInstanceID(), 2u);
    kCapture.Clear();
    EXPECT_EQ(Call(Request("Thing", "GetCount", 0, true)),
              "{\"Error\":\"Assertion \\\"pRes != 0\\\" failed. Cannot retreive instance ptr\"}");
    EXPECT_TRUE(kCapture.Has("Assertion \"pRes != 0\" failed. Cannot retreive instance ptr"));
    EXPECT_EQ(Call(Request("Thing", "GetCount", 2, true)), "{\"Res\":7}");
    EXPECT_EQ(pResolver->GetObjectCount(uiThingKey), 2u);
    EXPECT_EQ(pResolver->GetNextID(uiThingKey), 3u);

    TARN_DELETE(pSecond);
    TARN_DELETE(pThird);
    TARN_DELETE(pOther);
    EXPECT_EQ(pResolver->GetObjectCount(uiThingKey), 0u);
}

TEST_F(CommandManagerTest, ReferencesCountedThroughCommands)
{
    RPC::CTestHub kHub;
    EXPECT_EQ(Call(Request("Hub", "MakeThing", 0, true, false, "\"Arg0\":2")), "{\"Res\":{\"InstanceID\":1}}");
    CTestThing* pMade = static_cast<CTestThing*>(CPointerResolver::GetInstance()->GetPtr<IRPCStub_CTestThing>(1));
    ASSERT_NE(pMade, nullptr);
    EXPECT_EQ(pMade->m_fSpeed, 2.0f);
    EXPECT_EQ(pMade->GetRefCount(), 1u);
    pMade->AddRef();
    EXPECT_EQ(Call(Request("Thing", "ReleaseRef", 1, true)), "{\"Res\":1}");
    EXPECT_EQ(CTestThing::s_iDestroyed, 0);
    EXPECT_EQ(Call(Request("Thing", "ReleaseRef", 1, true)), "{\"Res\":0}");
    EXPECT_EQ(CTestThing::s_iDestroyed, 1);
    EXPECT_EQ(CPointerResolver::GetInstance()->FindPtr(Common::GetClassId<IRPCStub_CTestThing>(), 1), nullptr);
}

TEST_F(CommandManagerTest, SingletonSurvivesItsReleases)
{
    TestSupport::CAssertCapture kCapture;
    EXPECT_EQ(Call(Request("Hub", "GetRPCSingleton", 0, true)),
              "{\"Error\":\"Assertion \\\"pCast\\\" failed. Couldn't retrieve singleton pointer when executing "
              "command\"}");
    {
        RPC::CTestHub kHub;
        EXPECT_EQ(CPointerResolver::GetInstance()->GetSingleton<RPC::IRPCStub_CTestHub>(), &kHub);
        EXPECT_EQ(Call(Request("Hub", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
        EXPECT_EQ(Call(Request("Hub", "GetRPCSingleton", 55, true)), "{\"Res\":{\"InstanceID\":0}}");
        EXPECT_EQ(kHub.GetRefCount(), 2u);
        EXPECT_EQ(Call(Request("Hub", "ReleaseRef", 0, true)), "{\"Res\":1}");
        EXPECT_EQ(Call(Request("Hub", "ReleaseRef", 0, true)), "{\"Res\":0}");
        EXPECT_EQ(Call(Request("Hub", "GetRPCSingleton", 0, true)), "{\"Res\":{\"InstanceID\":0}}");
        EXPECT_EQ(kHub.GetRefCount(), 1u);
    }
    EXPECT_EQ(CPointerResolver::GetInstance()->GetSingleton<RPC::IRPCStub_CTestHub>(), nullptr);
}

TEST_F(CommandManagerTest, SecondResolverInstallationIsRefused)
{
    TestSupport::CLogCapture kLog;
    CPointerResolver* pFirst = CPointerResolver::GetInstance();
    CommandManager kOther;
    EXPECT_FALSE(kOther.Init());
    EXPECT_EQ(CPointerResolver::GetInstance(), pFirst);
    EXPECT_TRUE(kLog.Contains("CommandInstanceHelper.cpp : Instance has already been set"));
    EXPECT_TRUE(m_kManager.Init());  // its own again: no change
    EXPECT_EQ(CPointerResolver::GetInstance(), pFirst);
}

TEST_F(CommandManagerTest, ObjectsWithoutResolverAreReported)
{
    TestSupport::CAssertCapture kCapture;
    CPointerResolver::ReleaseInstance(m_kManager.GetPointerResolver());
    {
        RPC::CTestOther kOther;
        EXPECT_EQ(kOther.GetInstanceID(), kInvalidIndex);
    }
    EXPECT_TRUE(kCapture.Has("Assertion \"CPointerResolver::GetInstance()\" failed. Instance ptr should be set (plugin?)"));
    EXPECT_TRUE(CPointerResolver::SetInstance(m_kManager.GetPointerResolver()));
}

TEST_F(CommandManagerTest, ExecuteDirectTakesTextArguments)
{
    TestSupport::CAssertCapture kCapture;
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetSpeed", "  2.25 "));
    EXPECT_EQ(m_pThing->m_fSpeed, 2.25f);
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetName", "runner extra"));
    EXPECT_EQ(m_pThing->m_kName, "runner");
    EXPECT_EQ(kCapture.Count(), 0u);

    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "Fly", ""));
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. this command is not registred"));
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "Activate", "true"));
    EXPECT_TRUE(kCapture.Has("Assertion \"false\" failed. unknown paremeter type !"));
    EXPECT_TRUE(kCapture.Has("Assertion \"ret == 1\" failed. engine command failed!"));
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "SetSpeed", ""));

    const std::string kLong(CommandManager::kDirectArgumentsSize, '1');
    EXPECT_FALSE(m_kManager.ExecuteDirect("Thing", "SetSpeed", kLong.c_str()));
    const std::string kLongest(CommandManager::kDirectArgumentsSize - 1, '1');
    EXPECT_TRUE(m_kManager.ExecuteDirect("Thing", "SetName", kLongest.c_str()));
    EXPECT_EQ(m_pThing->m_kName, kLongest);
}

TEST(ReturnBufferTest, GrowsByDoublingAndStaysTerminated)
{
    struct SCase
    {
        size_t uiLength;
        size_t uiCapacity;
    };
    const SCase akCases[] = {{0, 256},    {255, 256},  {256, 512},  {300, 512},
                             {511, 512},  {512, 1024}, {1023, 1024}, {1024, 2048}};
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.uiLength);
        CReturnBuffer kBuffer;
        EXPECT_EQ(kBuffer.GetCapacity(), CReturnBuffer::kInitialCapacity);
        std::string kExpected;
        for (size_t uiIdx = 0; uiIdx < kCase.uiLength; ++uiIdx)
        {
            const char cChar = static_cast<char>('a' + uiIdx % 26);
            kExpected += cChar;
            EXPECT_EQ(kBuffer.Put(cChar), uiIdx + 1);
        }
        EXPECT_EQ(kBuffer.GetCapacity(), kCase.uiCapacity);
        EXPECT_EQ(kBuffer.GetLength(), kCase.uiLength);
        EXPECT_EQ(strlen(kBuffer.GetText()), kCase.uiLength);
        EXPECT_EQ(kExpected, kBuffer.GetText());

        CReturnBuffer kCopy;
        kCopy.Put('z');
        kCopy = kBuffer;
        EXPECT_EQ(kExpected, kCopy.GetText());
        EXPECT_GE(kCopy.GetCapacity(), kBuffer.GetCapacity());

        kBuffer.Clear();
        EXPECT_EQ(kBuffer.GetCapacity(), CReturnBuffer::kInitialCapacity);
        EXPECT_STREQ(kBuffer.GetText(), "");
    }
}

TEST(ReturnBufferTest, LongResultWrittenThroughTheReader)
{
    const std::string kName(300, 'n');
    SJsonDocument kParsed;
    Common::JsonDocument& kRequest = kParsed.kDocument;
    kRequest.SetObject();
    CReturnBuffer kBuffer;
    JSonParamReader kReader(kRequest, &kBuffer);
    kReader.WriteResult(kName.c_str());
    EXPECT_EQ(kBuffer.GetCapacity(), 512u);
    EXPECT_EQ(std::string(kBuffer.GetText()), "{\"Res\":\"" + kName + "\"}");
}

}  // namespace
