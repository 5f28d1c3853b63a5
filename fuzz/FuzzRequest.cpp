// The request path of the engine host: the input is the byte stream a client
// sends on one connection, framed messages (a 4-byte little-endian length,
// then the text). It is read through the same frame reader the host's
// connection thread uses, over a local socket pair, and every message goes
// to the command manager of an engine that has the Gait plug-in (linked in
// statically) and its remote commands. The fuzzer's thread is the engine
// thread: requests that wait for their reply run at once, the others run
// when the queue is drained after the input, and the engine steps a little
// when characters were placed.
//
// One engine serves the whole run, as long as inputs leave nothing behind;
// after one that does, the engine is made anew (see LeftStateBehind), so that
// nothing grows from one input to the next and every input runs the same way
// each time. The data root is fuzz/data: the demo prefab with a lighter
// AnimSet (three channels), so that inputs that load it stay quick. Every
// input runs twice, the second time checking that no engine memory is left
// behind (TarnFuzz::RunTwiceCheckingEngineMemory).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Engine/RPC/EngineRemoteClasses.h"
#include "FuzzSupport.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "RPC/GaitComponentRpc.h"
#include "System/Net/TcpSocket.h"
#include "Utils/ClassName.h"
#include "World/World.h"

namespace {

using TarnEngine::CEngine;

// Inputs up to this size are written to the socket pair before reading
// starts (they fit its buffer); longer ones are written by a thread.
constexpr size_t kInlineWriteBytes = 32 * 1024;
// Steps run after an input that left characters in the world.
constexpr uint32 kStepsWithCharacters = 3;

CEngine* s_pEngine = nullptr;
// TARN_FUZZ_ECHO=1 prints every reply on the standard error (to follow what
// an input does when reproducing it).
bool s_bEcho = false;

void StartEngine()
{
    static const std::string s_kDataDir = TARN_FUZZ_DATA_DIR;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.uiRandomSeed = 1;
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = 0;
    kStartup.kNetOptions.uiSpinMicroseconds = 0;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitPlugin::GaitComponentBuilder::InitPluginStatic,
                                       &GaitPlugin::GaitComponentBuilder::ReleasePluginStatic);
    };
    s_pEngine = CEngine::CreateInstance(kStartup);
    TarnEngine::CEngineNet* pNet = s_pEngine ? s_pEngine->GetEngineNet() : nullptr;
    if (!pNet || !pNet->GetCommandManager() || !pNet->GetCommandManager()->FindCommand("GaitComponentRpc", "SetSpeed"))
    {
        fprintf(stderr, "fuzz_request: the engine did not start with the Gait remote commands\n");
        abort();
    }
    // The plug-in seeds the random generator from the clock; an input must
    // run the same way every time.
    Math::SeedRandom(1);
    // Requests come from the fuzzer only: nobody is listened for. The
    // command manager stays.
    pNet->Stop();
    pNet->GetCommandManager()->GetQueue().SetEngineThread();
}

template <class I> uint32 CountCreated()
{
    TarnEngine::CPointerResolver* pResolver = TarnEngine::CPointerResolver::GetInstance();
    return pResolver ? pResolver->GetNextID(Common::GetClassId<I>()) : 0u;
}

// Whether the input changed anything that a later input could see: the
// IDs handed out (an input must find the objects it makes under the same IDs
// on every run), characters, loaded prefab files, a quit request. Such an
// input is followed by a new engine.
bool LeftStateBehind()
{
    return CountCreated<RPC::IRPCStub_CPrefabManager>() != 0 || CountCreated<RPC::IRPCStub_CPrefab>() != 0 ||
           CountCreated<RPC::IRPCStub_CGaitComponent>() != 0 || s_pEngine->GetPrefabCount() != 0 ||
           s_pEngine->GetWorld()->GetInstances().GetSize() != 0 || s_pEngine->IsQuitRequested();
}

void WriteAll(int iDescriptor, const uint8_t* pData, size_t uiSize)
{
    while (uiSize > 0)
    {
        const ssize_t iSent = send(iDescriptor, pData, uiSize, MSG_NOSIGNAL);
        if (iSent <= 0)
            break;  // the reader stopped (a frame over the limit, the close marker)
        pData += iSent;
        uiSize -= static_cast<size_t>(iSent);
    }
    shutdown(iDescriptor, SHUT_WR);
}

// Serves the messages of one connection as the host's connection thread
// does, until the stream ends or the host would close the connection.
void ServeConnection(Common::TcpSocket& kSocket, TarnEngine::CommandManager& kManager)
{
    Common::MessageFraming::CReader kReader(TarnEngine::SNetOptions().uiMaxFrameBytes);
    TarnEngine::CReturnBuffer kReply;
    const char* pText = nullptr;
    for (;;)
    {
        uint32 uiLength = 0;
        switch (kReader.Receive(kSocket, &pText, &uiLength))
        {
            case Common::MessageFraming::EReceive::Empty:
                continue;
            case Common::MessageFraming::EReceive::Message:
                kReply.Clear();
                kManager.ExecuteJSon(pText, uiLength, &kReply);
                if (s_bEcho)
                    fprintf(stderr, "reply: %.*s\n", static_cast<int>(strnlen(kReply.GetText(), kReply.GetLength())),
                            kReply.GetText());
                continue;
            case Common::MessageFraming::EReceive::CloseMarker:
            case Common::MessageFraming::EReceive::TooLong:
            case Common::MessageFraming::EReceive::Closed:
            case Common::MessageFraming::EReceive::TimedOut:
                return;
        }
    }
}

void RunInput(const uint8_t* pData, size_t uiSize)
{
    int aiPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, aiPair) != 0)
        abort();
    std::thread kWriter;
    if (uiSize <= kInlineWriteBytes)
        WriteAll(aiPair[1], pData, uiSize);
    else
        kWriter = std::thread(&WriteAll, aiPair[1], pData, uiSize);
    {
        Common::TcpSocket kSocket(aiPair[0]);
        ServeConnection(kSocket, *s_pEngine->GetEngineNet()->GetCommandManager());
    }
    if (kWriter.joinable())
        kWriter.join();
    close(aiPair[1]);

    // What was queued without waiting runs now, then the characters move.
    s_pEngine->ProcessCommands();
    if (s_pEngine->GetWorld()->GetInstances().GetSize() != 0)
        for (uint32 i = 0; i < kStepsWithCharacters; ++i)
            s_pEngine->Step(16);
    // What the queue keeps for reuse follows how many commands were in flight
    // at once, not the input: it goes before memory is counted.
    s_pEngine->GetEngineNet()->GetCommandManager()->GetQueue().ReleaseCaches();

    if (LeftStateBehind())
    {
        CEngine::DestroyInstance();
        StartEngine();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TarnFuzz::QuietReports();
    const char* pEcho = getenv("TARN_FUZZ_ECHO");
    s_bEcho = pEcho && pEcho[0] == '1';
    StartEngine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    TarnFuzz::RunTwiceCheckingEngineMemory([&] { RunInput(pData, uiSize); });
    return 0;
}
