// tarn-rpc: the command-line client of the engine host. Sends one request
// (or a whole JSON request, or a script of them) and prints the replies;
// "tarn-rpc demo" steers the demo character of a running host.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "CommandLine.h"
#include "LoadGenerator.h"
#include "RpcSession.h"
#include "System/MemoryManager/MemoryManager.h"

namespace {

using namespace TarnRpc;

// Sends a whole request and prints the reply (when one was asked for).
int SendRaw(CRpcSession& kSession, const std::string& kRequest)
{
    std::string kReply;
    const bool bWait = CRpcSession::AsksForReply(kRequest);
    const int iExit = kSession.Send(kRequest, bWait, kReply);
    if (bWait && iExit != ExitConnection)
        printf("%s\n", kReply.c_str());
    return iExit;
}

// One request per line; blank lines and lines starting with '#' are skipped.
// Stops at a broken connection; otherwise the first failure is the result.
int RunScript(CRpcSession& kSession, const std::string& kPath)
{
    std::ifstream kFile(kPath);
    if (!kFile)
    {
        fprintf(stderr, "tarn-rpc: cannot read the script %s\n", kPath.c_str());
        return ExitUsage;
    }
    int iResult = ExitOk;
    std::string kLine;
    for (uint32 uiLine = 1; std::getline(kFile, kLine); ++uiLine)
    {
        const size_t uiStart = kLine.find_first_not_of(" \t\r");
        if (uiStart == std::string::npos || kLine[uiStart] == '#')
            continue;
        const int iExit = SendRaw(kSession, kLine.substr(uiStart));
        if (iExit != ExitOk)
        {
            fprintf(stderr, "tarn-rpc: %s:%u: the request failed\n", kPath.c_str(), uiLine);
            if (iResult == ExitOk)
                iResult = iExit;
            if (iExit == ExitConnection)
                break;
        }
    }
    return iResult;
}

int Run(int iArgc, char** ppArgv)
{
    SCommandLine kLine;
    int iExit = ExitOk;
    if (!ParseCommandLine(iArgc, ppArgv, kLine, &iExit, std::cout, std::cerr))
        return iExit;
    if (kLine.eMode == ERunMode::Bench)
        return TarnRpc::RunLoad(kLine.kLoad);

    CRpcSession kSession;
    iExit = kSession.Connect(kLine.kHost, kLine.uiPort);
    if (iExit != ExitOk)
        return iExit;
    switch (kLine.eMode)
    {
        case ERunMode::Demo:
            iExit = RunDemo(kSession, kLine.dSeconds);
            break;
        case ERunMode::Script:
            iExit = RunScript(kSession, kLine.kScript);
            break;
        case ERunMode::Raw:
            iExit = SendRaw(kSession, kLine.kRaw);
            break;
        case ERunMode::Request:
        case ERunMode::Bench:
            iExit = SendRaw(kSession, kLine.kRequest);
            break;
    }
    kSession.Disconnect();
    return iExit;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    const int iExit = Run(iArgc, ppArgv);
    // The engine library's memory manager reports leaks as it shuts down,
    // through the debug log on standard output; standard output holds the
    // replies, so the report goes to standard error.
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (Common::Mem::CMemoryManager::PeekInstance() && Common::Mem::CMemoryManager::DestroyInstance() != 0)
        return iExit ? iExit : ExitErrorReply;
    return iExit;
}
