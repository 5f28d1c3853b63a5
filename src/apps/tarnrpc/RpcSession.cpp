#include "RpcSession.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Commands/ReturnBuffer.h"
#include "Utils/JsonText.h"

namespace TarnRpc {

int CRpcSession::Connect(const std::string& kHost, uint16 uiPort)
{
    if (m_kClient.Connect(kHost.c_str(), uiPort))
        return ExitOk;
    fprintf(stderr, "tarn-rpc: cannot connect to %s:%u\n", kHost.c_str(), static_cast<unsigned>(uiPort));
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
            fprintf(stderr, "tarn-rpc: argument %zu is not a JSON value: %s\n", i + 1, kArgs[i].c_str());
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
    if (!m_kClient.DoCall(kRequest.c_str(), kRequest.size(), bWaitAck ? &kBuffer : nullptr))
    {
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

int RunDemo(CRpcSession& kSession, double dSeconds)
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
    printf("demo: prefab %d, gait component %d; activating, turning 45 degrees left, walking at 1.0\n", iPrefab, iGait);
    // 45 degrees about Z (up): (0, 0, sin 22.5, cos 22.5).
    const std::vector<std::pair<std::string, std::string>> kSteps = {
        {"Activate", "true"},
        {"SetRotation", "{\"x\":0,\"y\":0,\"z\":0.382683,\"w\":0.923880}"},
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
        printf("t=%5.2f s  position (%7.3f, %7.3f, %7.3f) m  heading %7.2f deg\n", iTick * 0.25, NumberOf(kP, "x"),
               NumberOf(kP, "y"), NumberOf(kP, "z"), dHeading);
        fflush(stdout);
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
