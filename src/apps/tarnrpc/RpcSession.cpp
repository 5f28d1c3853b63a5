#include "RpcSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Commands/ReturnBuffer.h"
#include "Utils/JsonText.h"

namespace TarnRpc {

std::string WhyNotAnObject(const std::string& kText)
{
    // Parsing recurses once per level: deeper text is refused unread (the
    // host would refuse it too).
    if (Common::FindExcessiveJsonNesting(kText.data(), kText.size()) < kText.size())
        return "nested deeper than " + std::to_string(Common::kMaxJsonNesting) + " levels";
    rapidjson::Document kDocument;
    kDocument.Parse(kText.c_str(), kText.size());
    if (kDocument.HasParseError())
        return std::string(rapidjson::GetParseError_En(kDocument.GetParseError())) + " (at offset " +
               std::to_string(kDocument.GetErrorOffset()) + ")";
    if (kDocument.IsObject())
        return std::string();
    if (kDocument.IsArray())
        return "the text is an array";
    if (kDocument.IsString())
        return "the text is a string";
    if (kDocument.IsNumber())
        return "the text is a number";
    return kDocument.IsNull() ? "the text is null" : "the text is a bool";
}

std::string HeadingToRotation(double dDegrees)
{
    const double dHalf = dDegrees * 3.14159265358979323846 / 360.0;
    char acText[96];
    // "+ 0.0" writes a zero as 0, never as -0.
    snprintf(acText, sizeof(acText), "{\"x\":0,\"y\":0,\"z\":%.9g,\"w\":%.9g}", std::sin(dHalf) + 0.0,
             std::cos(dHalf) + 0.0);
    return acText;
}

int ResolveHost(const std::string& kHost, std::string& kAddress)
{
    // The engine's sockets take dotted IPv4 addresses only.
    addrinfo kHints = {};
    kHints.ai_family = AF_INET;
    kHints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const int iError = getaddrinfo(kHost.c_str(), nullptr, &kHints, &pList);
    char acAddress[INET_ADDRSTRLEN] = "";
    const bool bFound = iError == 0 && pList && pList->ai_addr &&
                        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(pList->ai_addr)->sin_addr, acAddress,
                                  sizeof(acAddress));
    if (pList)
        freeaddrinfo(pList);
    if (!bFound)
    {
        fprintf(stderr, "tarn-rpc: cannot resolve the host \"%s\": %s\n", kHost.c_str(),
                iError != 0 ? gai_strerror(iError) : "no IPv4 address");
        return ExitConnection;
    }
    kAddress = acAddress;
    return ExitOk;
}

CRpcSession::CReplyDeadline::CReplyDeadline(double dSeconds) : m_dSeconds(dSeconds)
{
    Start();
}

void CRpcSession::CReplyDeadline::Start()
{
    m_kStart = std::chrono::steady_clock::now();
    m_kDeadline = m_kStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(m_dSeconds));
    m_bExpired = false;
}

bool CRpcSession::CReplyDeadline::OnIdle()
{
    using namespace std::chrono_literals;
    const std::chrono::steady_clock::time_point kNow = std::chrono::steady_clock::now();
    if (kNow >= m_kDeadline)
    {
        m_bExpired = true;
        return false;
    }
    // The client looks for the reply between two calls. A quick reply is
    // caught by polling; a slow one is looked for every millisecond, so that
    // the wait does not hold a core.
    if (kNow - m_kStart > 200us)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(1ms, m_kDeadline - kNow));
    return true;
}

CRpcSession::CRpcSession(double dTimeoutSeconds) : m_kDeadline(dTimeoutSeconds)
{
    m_kClient.SetIdleCallback(&m_kDeadline);
}

int CRpcSession::Connect(const std::string& kAddress, uint16 uiPort, const char* pShownAs)
{
    // TryConnect: the client's own report is an assertion, not a message for
    // the person at the command line.
    if (m_kClient.TryConnect(kAddress.c_str(), uiPort))
        return ExitOk;
    const std::string kShown =
        pShownAs && kAddress != pShownAs ? std::string(pShownAs) + " (" + kAddress + ")" : kAddress;
    fprintf(stderr, "tarn-rpc: cannot connect to %s port %u: is tarn-host running there?\n", kShown.c_str(),
            static_cast<unsigned>(uiPort));
    return ExitConnection;
}

int CRpcSession::BuildRequest(const std::string& kClass, const std::string& kMethod, int iInstance, bool bWaitAck,
                              const std::vector<std::string>& kArgs, std::string& kOut)
{
    rapidjson::Document kRequest;
    kRequest.SetObject();
    rapidjson::Document::AllocatorType& kAlloc = kRequest.GetAllocator();
    kRequest.AddMember("ClassName", rapidjson::Value(kClass.c_str(), kAlloc), kAlloc);
    kRequest.AddMember("MethodName", rapidjson::Value(kMethod.c_str(), kAlloc), kAlloc);
    kRequest.AddMember("InstanceID", iInstance, kAlloc);
    kRequest.AddMember("WaitAck", bWaitAck, kAlloc);
    kRequest.AddMember("UseTcpThread", false, kAlloc);
    if (kArgs.size() > kMaxRequestArgs)
    {
        fprintf(stderr, "tarn-rpc: a request takes at most %zu arguments (Arg0 to Arg%zu), not %zu\n", kMaxRequestArgs,
                kMaxRequestArgs - 1, kArgs.size());
        return ExitUsage;
    }
    for (size_t i = 0; i < kArgs.size(); ++i)
    {
        // The host refuses deeper requests, and parsing them could exhaust
        // the stack.
        if (Common::FindExcessiveJsonNesting(kArgs[i].data(), kArgs[i].size()) < kArgs[i].size())
        {
            fprintf(stderr, "tarn-rpc: argument %zu is nested deeper than %u levels\n", i + 1, Common::kMaxJsonNesting);
            return ExitUsage;
        }
        rapidjson::Document kArg(&kAlloc);
        kArg.Parse(kArgs[i].c_str());
        if (kArg.HasParseError())
        {
            fprintf(stderr, "tarn-rpc: argument %zu is not a JSON value: %s (%s); strings need quotes: '\"text\"'\n",
                    i + 1, kArgs[i].c_str(), rapidjson::GetParseError_En(kArg.GetParseError()));
            return ExitUsage;
        }
        const std::string kName = "Arg" + std::to_string(i);
        kRequest.AddMember(rapidjson::Value(kName.c_str(), kAlloc), rapidjson::Value(kArg, kAlloc), kAlloc);
    }
    rapidjson::StringBuffer kBuffer;
    rapidjson::Writer<rapidjson::StringBuffer> kWriter(kBuffer);
    kRequest.Accept(kWriter);
    kOut.assign(kBuffer.GetString(), kBuffer.GetSize());
    return ExitOk;
}

bool CRpcSession::AsksForReply(const std::string& kRequest)
{
    // Text nested deeper than the host reads is never answered (and is not
    // parsed here either: parsing recurses once per level).
    if (Common::FindExcessiveJsonNesting(kRequest.data(), kRequest.size()) < kRequest.size())
        return false;
    rapidjson::Document kDocument;
    kDocument.Parse(kRequest.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject())
        return false;
    const auto kMember = kDocument.FindMember("WaitAck");
    return kMember != kDocument.MemberEnd() && kMember->value.IsBool() && kMember->value.GetBool();
}

int CRpcSession::Send(const std::string& kRequest, bool bWaitAck, std::string& kReply)
{
    kReply.clear();
    TarnEngine::CReturnBuffer kBuffer;
    m_kDeadline.Start();
    if (!m_kClient.DoCall(kRequest.c_str(), kRequest.size(), bWaitAck ? &kBuffer : nullptr))
    {
        if (m_kDeadline.HasExpired())
        {
            fprintf(stderr, "tarn-rpc: no reply within %g s (--timeout)\n", m_kDeadline.GetSeconds());
            return ExitTimeout;
        }
        fprintf(stderr, "tarn-rpc: the connection broke during the call\n");
        return ExitConnection;
    }
    if (!bWaitAck)
        return ExitOk;
    kReply.assign(kBuffer.GetText(), kBuffer.GetLength());
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (!kDocument.HasParseError() && kDocument.IsObject() && kDocument.HasMember("Error"))
        return ExitErrorReply;
    return ExitOk;
}

int CRpcSession::Call(const std::string& kClass, const std::string& kMethod, int iInstance,
                      const std::vector<std::string>& kArgs, std::string& kResult)
{
    kResult.clear();
    std::string kRequest;
    int iExit = BuildRequest(kClass, kMethod, iInstance, true, kArgs, kRequest);
    if (iExit != ExitOk)
        return iExit;
    std::string kReply;
    iExit = Send(kRequest, true, kReply);
    if (iExit == ExitErrorReply)
        fprintf(stderr, "tarn-rpc: %s.%s: %s\n", kClass.c_str(), kMethod.c_str(), kReply.c_str());
    if (iExit != ExitOk)
        return iExit;
    rapidjson::Document kDocument;
    kDocument.Parse(kReply.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject())
    {
        fprintf(stderr, "tarn-rpc: %s.%s: the reply is not a JSON object: %s\n", kClass.c_str(), kMethod.c_str(),
                kReply.c_str());
        return ExitErrorReply;
    }
    const auto kRes = kDocument.FindMember("Res");
    if (kRes != kDocument.MemberEnd())
    {
        rapidjson::StringBuffer kBuffer;
        rapidjson::Writer<rapidjson::StringBuffer> kWriter(kBuffer);
        kRes->value.Accept(kWriter);
        kResult.assign(kBuffer.GetString(), kBuffer.GetSize());
    }
    return ExitOk;
}

namespace {

// The "InstanceID" of a result ({"InstanceID":n}), or -1.
int InstanceOf(const std::string& kResult)
{
    rapidjson::Document kDocument;
    kDocument.Parse(kResult.c_str());
    if (kDocument.HasParseError() || !kDocument.IsObject())
        return -1;
    const auto kId = kDocument.FindMember("InstanceID");
    return kId != kDocument.MemberEnd() && kId->value.IsInt() ? kId->value.GetInt() : -1;
}

// Reads member pName of an object result as a number (0 when missing).
double NumberOf(const rapidjson::Value& kObject, const char* pName)
{
    const auto kMember = kObject.FindMember(pName);
    return kMember != kObject.MemberEnd() && kMember->value.IsNumber() ? kMember->value.GetDouble() : 0.0;
}

}  // namespace

int RunDemo(CRpcSession& kSession, double dSeconds, FILE* pOut)
{
    std::string kResult;
    int iExit = kSession.Call("Root", "GetPrefabManager", 0, {}, kResult);
    const int iManager = InstanceOf(kResult);
    if (iExit == ExitOk)
        iExit = kSession.Call("PrefabManager", "LoadFile", iManager, {"\"demo/biped.prefab.json\""}, kResult);
    const int iPrefab = InstanceOf(kResult);
    if (iExit == ExitOk)
        iExit = kSession.Call("GaitComponentBuilderRpc", "GetRPCSingleton", 0, {}, kResult);
    if (iExit == ExitOk)
        iExit = kSession.Call("GaitComponentBuilderRpc", "GetPrefabComponent", 0,
                              {"{\"InstanceID\":" + std::to_string(iPrefab) + "}"}, kResult);
    const int iGait = InstanceOf(kResult);
    if (iExit != ExitOk)
        return iExit;
    if (iManager < 0 || iPrefab < 0 || iGait < 0)
    {
        fprintf(stderr, "tarn-rpc: the host has no demo character with a Gait component (is the plug-in loaded?)\n");
        return ExitErrorReply;
    }
    fprintf(pOut, "demo: prefab %d, gait component %d; activating, turning 45 degrees left, walking at 1.0\n", iPrefab,
            iGait);
    const std::vector<std::pair<std::string, std::string>> kSteps = {
        {"Activate", "true"},
        {"SetRotation", HeadingToRotation(45.0)},
        {"SetSpeed", "1.0"},
    };
    for (const auto& kStep : kSteps)
        if ((iExit = kSession.Call("GaitComponentRpc", kStep.first, iGait, {kStep.second}, kResult)) != ExitOk)
            return iExit;

    const int iTicks = static_cast<int>(dSeconds * 4.0 + 0.5);
    for (int iTick = 0; iTick <= iTicks; ++iTick)
    {
        std::string kPosition, kOrientation;
        if ((iExit = kSession.Call("Prefab", "GetPosition", iPrefab, {}, kPosition)) != ExitOk ||
            (iExit = kSession.Call("Prefab", "GetOrientation", iPrefab, {}, kOrientation)) != ExitOk)
            return iExit;
        rapidjson::Document kP, kQ;
        kP.Parse(kPosition.c_str());
        kQ.Parse(kOrientation.c_str());
        if (kP.HasParseError() || !kP.IsObject() || kQ.HasParseError() || !kQ.IsObject())
        {
            fprintf(stderr, "tarn-rpc: unexpected position or orientation: %s %s\n", kPosition.c_str(),
                    kOrientation.c_str());
            return ExitErrorReply;
        }
        const double dX = NumberOf(kQ, "x"), dY = NumberOf(kQ, "y"), dZ = NumberOf(kQ, "z"), dW = NumberOf(kQ, "w");
        const double dHeading =
            std::atan2(2.0 * (dW * dZ + dX * dY), 1.0 - 2.0 * (dY * dY + dZ * dZ)) * 180.0 / 3.14159265358979;
        fprintf(pOut, "t=%5.2f s  position (%7.3f, %7.3f, %7.3f) m  heading %7.2f deg\n", iTick * 0.25,
                NumberOf(kP, "x"), NumberOf(kP, "y"), NumberOf(kP, "z"), dHeading);
        fflush(pOut);
        if (iTick < iTicks)
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    kSession.Call("GaitComponentRpc", "SetSpeed", iGait, {"0.0"}, kResult);
    kSession.Call("GaitComponentRpc", "ReleaseRef", iGait, {}, kResult);
    kSession.Call("Prefab", "ReleaseRef", iPrefab, {}, kResult);
    kSession.Call("PrefabManager", "ReleaseRef", iManager, {}, kResult);
    return ExitOk;
}

}  // namespace TarnRpc
