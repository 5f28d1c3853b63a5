// tarn-rpc: the command-line client of the engine host. Sends one request
// (or a whole JSON request, or a script of them) and prints the replies;
// "tarn-rpc demo" steers the demo character of a running host.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "CommandLine.h"
#include "LoadGenerator.h"
#include "RpcSession.h"
#include "System/MemoryManager/MemoryManager.h"

namespace {

using namespace TarnRpc;

// The engine's libraries log to the standard output (the debug log, the
// memory manager's closing report), which is for replies only. Replies get
// a stream of their own on the original standard output; the descriptor the
// libraries write to becomes the standard error with bVerbose, else
// /dev/null. Should that fail, everything stays on the standard output.
FILE* SeparateReplies(bool bVerbose)
{
    fflush(stdout);
    const int iReplies = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (iReplies < 0)
        return stdout;
    FILE* pReplies = fdopen(iReplies, "w");
    if (!pReplies)
    {
        close(iReplies);
        return stdout;
    }
    const int iLog = bVerbose ? STDERR_FILENO : open("/dev/null", O_WRONLY | O_CLOEXEC);
    const bool bMoved = iLog >= 0 && dup2(iLog, STDOUT_FILENO) >= 0;
    if (iLog >= 0 && iLog != STDERR_FILENO)
        close(iLog);
    if (!bMoved)
    {
        fclose(pReplies);
        return stdout;
    }
    // Line by line, so that replies and messages keep their order on a
    // terminal.
    setvbuf(pReplies, nullptr, _IOLBF, 0);
    return pReplies;
}

// Sends a whole request and prints the reply (when one was asked for and
// came).
int SendRaw(CRpcSession& kSession, const std::string& kRequest, FILE* pOut)
{
    std::string kReply;
    const bool bWait = CRpcSession::AsksForReply(kRequest);
    const int iExit = kSession.Send(kRequest, bWait, kReply);
    if (bWait && (iExit == ExitOk || iExit == ExitErrorReply))
        fprintf(pOut, "%s\n", kReply.c_str());
    return iExit;
}

// The requests of a script, over one connection. Stops when the connection
// broke or a reply did not come in time; otherwise the first failure is the
// result.
int RunScript(CRpcSession& kSession, const std::string& kPath, const std::vector<SScriptRequest>& kRequests, FILE* pOut)
{
    int iResult = ExitOk;
    for (const SScriptRequest& kRequest : kRequests)
    {
        const int iExit = SendRaw(kSession, kRequest.kText, pOut);
        if (iExit == ExitOk)
            continue;
        fprintf(stderr, "tarn-rpc: %s:%u: the request failed\n", kPath.c_str(), kRequest.uiLine);
        if (iResult == ExitOk)
            iResult = iExit;
        if (iExit == ExitConnection || iExit == ExitTimeout)
            break;
    }
    return iResult;
}

int Run(SCommandLine& kLine, FILE* pOut)
{
    // Input first: a script that cannot be sent is refused before any
    // connection is made.
    std::vector<SScriptRequest> kScript;
    if (kLine.eMode == ERunMode::Script && ReadScript(kLine.kScript, kScript, std::cerr) != ExitOk)
        return ExitUsage;

    std::string kAddress;
    int iExit = ResolveHost(kLine.kHost, kAddress);
    if (iExit != ExitOk)
        return iExit;
    if (kLine.eMode == ERunMode::Bench)
    {
        kLine.kLoad.kHost = kAddress;
        return TarnRpc::RunLoad(kLine.kLoad, pOut);
    }

    CRpcSession kSession(kLine.dTimeoutSeconds);
    iExit = kSession.Connect(kAddress, kLine.uiPort, kLine.kHost.c_str());
    if (iExit != ExitOk)
        return iExit;
    switch (kLine.eMode)
    {
        case ERunMode::Demo:
            iExit = RunDemo(kSession, kLine.dSeconds, pOut);
            break;
        case ERunMode::Script:
            iExit = RunScript(kSession, kLine.kScript, kScript, pOut);
            break;
        case ERunMode::Raw:
            iExit = SendRaw(kSession, kLine.kRaw, pOut);
            break;
        case ERunMode::Request:
        case ERunMode::Bench:
            iExit = SendRaw(kSession, kLine.kRequest, pOut);
            break;
    }
    kSession.Disconnect();
    return iExit;
}

// Shuts the memory manager down. Its closing report goes to the standard
// error with bVerbose (the libraries print it there, or on the standard
// output, which is the standard error then); otherwise both descriptors
// point to /dev/null meanwhile. Returns the blocks that leaked.
uint32 ShutDownMemory(bool bVerbose)
{
    if (!Common::Mem::CMemoryManager::PeekInstance())
        return 0;
    if (bVerbose)
        return Common::Mem::CMemoryManager::DestroyInstance();
    fflush(stdout);
    fflush(stderr);
    const int aiStreams[2] = {STDOUT_FILENO, STDERR_FILENO};
    int aiSaved[2] = {-1, -1};
    const int iNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int i = 0; i < 2 && iNull >= 0; ++i)
        if ((aiSaved[i] = fcntl(aiStreams[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1)) >= 0)
            dup2(iNull, aiStreams[i]);
    const uint32 uiLeaks = Common::Mem::CMemoryManager::DestroyInstance();
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 2; ++i)
        if (aiSaved[i] >= 0)
        {
            dup2(aiSaved[i], aiStreams[i]);
            close(aiSaved[i]);
        }
    if (iNull >= 0)
        close(iNull);
    return uiLeaks;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    SCommandLine kLine;
    int iExit = ExitOk;
    const bool bRun = ParseCommandLine(iArgc, ppArgv, kLine, &iExit, std::cout, std::cerr);
    FILE* pReplies = SeparateReplies(kLine.bVerbose);
    if (bRun)
        iExit = Run(kLine, pReplies);
    if (pReplies != stdout)
        fclose(pReplies);

    const uint32 uiLeaks = ShutDownMemory(kLine.bVerbose);
    if (uiLeaks == 0)
        return iExit;
    if (!kLine.bVerbose)
        fprintf(stderr, "tarn-rpc: %u blocks of engine memory were still allocated at exit (--verbose lists them)\n",
                uiLeaks);
    return iExit ? iExit : ExitErrorReply;
}
