// Remote calls: the round trip of one request with "WaitAck" over loopback
// TCP, run on the engine thread (woken by the command queue) or on the
// connection's own thread, and the command manager's parse-and-call cost
// without the network.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "System/Event/Event.h"

namespace {

using TarnEngine::CEngine;

// An engine with its endpoint on an ephemeral port and its loop on a thread
// of its own, as the engine host runs it.
class CRunningEngine
{
public:
    CRunningEngine()
    {
        TarnEngine::SEngineStartup kStartup;
        kStartup.bLoadPlugins = false;
        kStartup.bStartNetwork = true;
        kStartup.kNetOptions.uiPort = 0;
        m_pEngine = CEngine::CreateInstance(kStartup);
        m_kLoop = std::thread([this] {
            Common::CEvent& kWake = m_pEngine->GetEngineNet()->GetCommandManager()->GetWakeEvent();
            while (!m_bStop.load(std::memory_order_acquire))
            {
                if (kWake.Wait(16))
                    m_pEngine->ProcessCommands();
                else
                    m_pEngine->Step(16);
            }
        });
    }
    ~CRunningEngine()
    {
        m_bStop.store(true, std::memory_order_release);
        m_kLoop.join();
        CEngine::DestroyInstance();
    }
    uint16 GetPort() const { return m_pEngine->GetEngineNet()->GetPort(); }
    TarnEngine::CommandManager& GetCommands() const { return *m_pEngine->GetEngineNet()->GetCommandManager(); }

private:
    CEngine* m_pEngine = nullptr;
    std::atomic<bool> m_bStop{false};
    std::thread m_kLoop;
};

void RoundTrip(benchmark::State& kState, const char* pRequest)
{
    CRunningEngine kEngine;
    TarnEngine::CEngineClientRPC kClient;
    if (!kClient.Connect("127.0.0.1", kEngine.GetPort()))
    {
        kState.SkipWithError("cannot connect to the engine");
        return;
    }
    TarnEngine::CReturnBuffer kReply;
    for (auto _ : kState)
    {
        if (!kClient.DoCall(pRequest, &kReply))
        {
            kState.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(kReply.GetText());
    }
    kClient.Disconnect();
}

void BM_RoundTripOnEngineThread(benchmark::State& kState)
{
    RoundTrip(kState, "{\"ClassName\":\"Root\",\"MethodName\":\"IsLoadingFinished\",\"InstanceID\":0,"
                      "\"WaitAck\":true,\"UseTcpThread\":false}");
}
BENCHMARK(BM_RoundTripOnEngineThread)->Unit(benchmark::kMicrosecond);

void BM_RoundTripOnConnectionThread(benchmark::State& kState)
{
    RoundTrip(kState, "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,"
                      "\"WaitAck\":true,\"UseTcpThread\":true}");
}
BENCHMARK(BM_RoundTripOnConnectionThread)->Unit(benchmark::kMicrosecond);

// Parsing the request, resolving the singleton and writing the reply, on
// the calling thread.
void BM_ExecuteJSonInline(benchmark::State& kState)
{
    CRunningEngine kEngine;
    static const char s_acRequest[] = "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,"
                                      "\"WaitAck\":true,\"UseTcpThread\":true}";
    TarnEngine::CReturnBuffer kReply;
    for (auto _ : kState)
    {
        kEngine.GetCommands().ExecuteJSon(s_acRequest, &kReply);
        benchmark::DoNotOptimize(kReply.GetText());
    }
}
BENCHMARK(BM_ExecuteJSonInline)->Unit(benchmark::kNanosecond);

}  // namespace
