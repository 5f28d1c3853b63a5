#include "LoadGenerator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "Client/EngineClient.h"
#include "Commands/ReturnBuffer.h"
#include "RpcSession.h"

namespace TarnRpc {

namespace {

using Clock = std::chrono::steady_clock;

// The instance ids of the Gait set-up, to release afterwards.
struct SGaitSetup
{
    int iManager = -1;
    int iPrefab = -1;
    int iGait = -1;
};

int InstanceOf(const std::string& kResult)
{
    const size_t uiAt = kResult.find("\"InstanceID\":");
    return uiAt == std::string::npos ? -1 : std::atoi(kResult.c_str() + uiAt + 13);
}

int SetUpGait(CRpcSession& kSession, SGaitSetup& kSetup)
{
    std::string kResult;
    int iExit = kSession.Call("Root", "GetPrefabManager", 0, {}, kResult);
    kSetup.iManager = InstanceOf(kResult);
    if (iExit == ExitOk)
        iExit = kSession.Call("PrefabManager", "LoadFile", kSetup.iManager, {"\"demo/biped.prefab.json\""}, kResult);
    kSetup.iPrefab = InstanceOf(kResult);
    if (iExit == ExitOk)
        iExit = kSession.Call("GaitComponentBuilderRpc", "GetPrefabComponent", 0,
                              {"{\"InstanceID\":" + std::to_string(kSetup.iPrefab) + "}"}, kResult);
    kSetup.iGait = InstanceOf(kResult);
    if (iExit == ExitOk && kSetup.iGait < 0)
    {
        fprintf(stderr, "tarn-rpc: the host has no Gait component to call (is the plug-in loaded?)\n");
        iExit = ExitErrorReply;
    }
    return iExit;
}

void TearDownGait(CRpcSession& kSession, const SGaitSetup& kSetup)
{
    std::string kResult;
    if (kSetup.iGait >= 0)
        kSession.Call("GaitComponentRpc", "ReleaseRef", kSetup.iGait, {}, kResult);
    if (kSetup.iPrefab >= 0)
    {
        kSession.Call("PrefabManager", "RemovePrefab", kSetup.iManager,
                      {"{\"InstanceID\":" + std::to_string(kSetup.iPrefab) + "}"}, kResult);
        kSession.Call("Prefab", "ReleaseRef", kSetup.iPrefab, {}, kResult);
    }
    if (kSetup.iManager >= 0)
        kSession.Call("PrefabManager", "ReleaseRef", kSetup.iManager, {}, kResult);
}

// The host's count of commands run, or -1 when it cannot be read.
long long ExecutedCount(CRpcSession& kSession)
{
    std::string kResult;
    if (kSession.Call("Root", "GetExecutedCount", 0, {}, kResult) != ExitOk)
        return -1;
    // The session hands over the "Res" value alone.
    return kResult.empty() || kResult[0] < '0' || kResult[0] > '9' ? -1 : std::atoll(kResult.c_str());
}

double Percentile(const std::vector<double>& kSorted, double dFraction)
{
    if (kSorted.empty())
        return 0.0;
    const size_t uiIndex = std::min(kSorted.size() - 1, static_cast<size_t>(dFraction * kSorted.size()));
    return kSorted[uiIndex];
}

}  // namespace

// One connection of a pipelined bench: sends uiCount requests in batches of
// kOptions.uiPipeline frames, each batch with one send, and with "WaitAck"
// reads the batch's replies before the next; without, one acknowledged
// kFlush ends it. False when the connection fails or a reply is missing.
bool RunPipelined(const SLoadOptions& kOptions, const std::string& kRequest, const std::string& kFlush, uint32 uiCount,
                  std::vector<double>& kLatencies)
{
    Common::TcpSocket kSocket;
    if (!kSocket.Connect(kOptions.kHost.c_str(), kOptions.uiPort))
        return false;
    const auto Frame = [](const std::string& kText) {
        const uint32 ui = static_cast<uint32>(kText.size());
        return std::string{static_cast<char>(ui), static_cast<char>(ui >> 8), static_cast<char>(ui >> 16),
                           static_cast<char>(ui >> 24)} +
               kText;
    };
    const std::string kFrame = Frame(kRequest);
    std::string kBatch;
    for (uint32 i = 0; i < kOptions.uiPipeline; ++i)
        kBatch += kFrame;
    Common::MessageFraming::CReader kReader(16u << 20);
    const auto ReadReplies = [&](uint32 uiReplies) {
        for (uint32 i = 0; i < uiReplies; ++i)
        {
            const char* pText = nullptr;
            uint32 uiLength = 0;
            if (kReader.Receive(kSocket, &pText, &uiLength) != Common::MessageFraming::EReceive::Message)
                return false;
        }
        return true;
    };
    if (kOptions.bWaitAck)
        kLatencies.reserve(uiCount / kOptions.uiPipeline + 1);
    for (uint32 uiSent = 0; uiSent < uiCount;)
    {
        const uint32 uiBatch = std::min(kOptions.uiPipeline, uiCount - uiSent);
        const Clock::time_point kSent = Clock::now();
        if (!kSocket.Send(kBatch.data(), kFrame.size() * uiBatch))
            return false;
        if (kOptions.bWaitAck)
        {
            if (!ReadReplies(uiBatch))
                return false;
            kLatencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - kSent).count());
        }
        uiSent += uiBatch;
    }
    // Requests of one connection run in order: once this one is answered,
    // every earlier one has run.
    if (!kOptions.bWaitAck)
    {
        const std::string kLast = Frame(kFlush);
        if (!kSocket.Send(kLast.data(), kLast.size()) || !ReadReplies(1))
            return false;
    }
    Common::MessageFraming::SendCloseMarker(kSocket);
    kSocket.Close();
    return true;
}

int RunLoad(const SLoadOptions& kOptions, FILE* pOut)
{
    const size_t uiDot = kOptions.kMethod.find('.');
    const std::string kClass = kOptions.kMethod.substr(0, uiDot);
    const std::string kMethod = uiDot == std::string::npos ? std::string() : kOptions.kMethod.substr(uiDot + 1);
    const bool bGait = kClass == "GaitComponentRpc";
    if (!(kOptions.kMethod == "Root.KeepAlive" || (bGait && (kMethod == "IsActive" || kMethod == "SetSpeed"))))
    {
        fprintf(stderr,
                "tarn-rpc: bench calls Root.KeepAlive, GaitComponentRpc.IsActive or GaitComponentRpc.SetSpeed, "
                "not %s\n",
                kOptions.kMethod.c_str());
        return ExitUsage;
    }

    CRpcSession kControl(kOptions.dTimeoutSeconds);
    int iExit = kControl.Connect(kOptions.kHost, kOptions.uiPort);
    if (iExit != ExitOk)
        return iExit;
    SGaitSetup kSetup;
    if (bGait && (iExit = SetUpGait(kControl, kSetup)) != ExitOk)
    {
        TearDownGait(kControl, kSetup);
        return iExit;
    }
    const int iInstance = bGait ? kSetup.iGait : 0;
    const std::vector<std::string> kArgs =
        kMethod == "SetSpeed" ? std::vector<std::string>{"0.0"} : std::vector<std::string>{};
    // KeepAlive is safe off the engine thread: it runs on the connection's.
    std::string kRequest;
    CRpcSession::BuildRequest(kClass, kMethod, iInstance, kOptions.bWaitAck, kArgs, kRequest);
    if (kClass == "Root")
        kRequest.replace(kRequest.find("\"UseTcpThread\":false"), 20, "\"UseTcpThread\":true");
    std::string kFlush;
    CRpcSession::BuildRequest(kClass, bGait ? "IsActive" : kMethod, iInstance, true, {}, kFlush);

    const uint32 uiConnections = std::max(1u, kOptions.uiConnections);
    const long long iExecutedBefore = ExecutedCount(kControl);
    std::vector<std::vector<double>> kLatencies(uiConnections);
    std::atomic<uint32> uiFailures{0};
    std::atomic<uint64> uiDone{0};
    std::vector<std::thread> kThreads;
    const Clock::time_point kStart = Clock::now();
    for (uint32 c = 0; c < uiConnections; ++c)
    {
        const uint32 uiCount = kOptions.uiRequests / uiConnections + (c < kOptions.uiRequests % uiConnections);
        kThreads.emplace_back([&, c, uiCount] {
            if (kOptions.uiPipeline > 1)
            {
                if (RunPipelined(kOptions, kRequest, kFlush, uiCount, kLatencies[c]))
                    uiDone.fetch_add(uiCount);
                else
                    uiFailures.fetch_add(1);
                return;
            }
            TarnEngine::CEngineClientRPC kClient;
            if (!kClient.TryConnect(kOptions.kHost.c_str(), kOptions.uiPort))
            {
                uiFailures.fetch_add(1);
                return;
            }
            kClient.SetSpinMicroseconds(kOptions.uiSpinMicroseconds);
            TarnEngine::CReturnBuffer kReply;
            std::vector<double>& kMine = kLatencies[c];
            if (kOptions.bWaitAck)
                kMine.reserve(uiCount);
            for (uint32 i = 0; i < uiCount; ++i)
            {
                const Clock::time_point kSent = Clock::now();
                if (!kClient.DoCall(kRequest.c_str(), kRequest.size(), kOptions.bWaitAck ? &kReply : nullptr))
                {
                    uiFailures.fetch_add(1);
                    return;
                }
                if (kOptions.bWaitAck)
                    kMine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - kSent).count());
            }
            // Requests of one connection run in order: once this one is
            // answered, every earlier one has run.
            if (!kOptions.bWaitAck && !kClient.DoCall(kFlush.c_str(), kFlush.size(), &kReply))
            {
                uiFailures.fetch_add(1);
                return;
            }
            uiDone.fetch_add(uiCount);
            kClient.Disconnect();
        });
    }
    for (std::thread& kThread : kThreads)
        kThread.join();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - kStart).count();
    // Between the two readings: every request, each connection's closing
    // call without "WaitAck", and the second reading itself.
    const long long iExecutedAfter = ExecutedCount(kControl);
    const long long iExecuted =
        iExecutedAfter - iExecutedBefore - 1 - (kOptions.bWaitAck ? 0 : static_cast<long long>(uiConnections));

    if (bGait)
        TearDownGait(kControl, kSetup);
    kControl.Disconnect();

    std::vector<double> kAll;
    for (const std::vector<double>& kMine : kLatencies)
        kAll.insert(kAll.end(), kMine.begin(), kMine.end());
    std::sort(kAll.begin(), kAll.end());
    fprintf(pOut, "bench: %s, %s, %u connection(s)%s: %llu requests in %.3f s = %.0f requests/s\n",
            kOptions.kMethod.c_str(), kOptions.bWaitAck ? "WaitAck" : "no WaitAck", uiConnections,
            kOptions.uiPipeline > 1 ? (", " + std::to_string(kOptions.uiPipeline) + " pipelined").c_str() : "",
            static_cast<unsigned long long>(uiDone.load()), dSeconds,
            dSeconds > 0.0 ? static_cast<double>(uiDone.load()) / dSeconds : 0.0);
    if (kOptions.bWaitAck)
        fprintf(pOut, "bench: round trip%s p50 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us\n",
                kOptions.uiPipeline > 1 ? " of a batch" : "", Percentile(kAll, 0.50), Percentile(kAll, 0.99),
                Percentile(kAll, 0.999), kAll.empty() ? 0.0 : kAll.back());
    if (iExecutedBefore >= 0 && iExecutedAfter >= 0)
        fprintf(pOut, "bench: the host ran %lld of the %llu requests\n", iExecuted,
                static_cast<unsigned long long>(uiDone.load()));
    else
        fprintf(pOut, "bench: the host does not count the commands it runs\n");
    if (uiFailures.load() != 0)
    {
        fprintf(stderr, "tarn-rpc: %u connection(s) failed during the bench\n", uiFailures.load());
        return ExitConnection;
    }
    if (iExecutedBefore >= 0 && iExecutedAfter >= 0 && iExecuted < static_cast<long long>(uiDone.load()))
    {
        fprintf(stderr, "tarn-rpc: the host ran %lld of the %llu requests sent\n", iExecuted,
                static_cast<unsigned long long>(uiDone.load()));
        return ExitErrorReply;
    }
    return ExitOk;
}

}  // namespace TarnRpc
