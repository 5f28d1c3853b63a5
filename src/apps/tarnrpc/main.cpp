// tarn-rpc: the command-line client of the engine host. Sends one request
// (or a whole JSON request, or a script of them) and prints the replies;
// "tarn-rpc demo" steers the demo character of a running host.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

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
    CLI::App kApp{"tarn-rpc: sends remote calls to a running tarn-host and prints the replies.\n"
                  "  tarn-rpc [--host H] [--port P] CLASS METHOD [--id N] [--no-ack] [ARG ...]\n"
                  "  tarn-rpc --raw '{\"ClassName\":...}'     tarn-rpc --script FILE     tarn-rpc demo\n"
                  "Arguments are JSON values: 1.5, true, '\"text\"', '{\"x\":0,\"y\":0,\"z\":0.38,\"w\":0.92}', "
                  "'{\"InstanceID\":0}'.\n"
                  "Exit code 0 on success, 1 on a bad argument, 2 on a connection failure, 3 on an error reply.",
                  "tarn-rpc"};
    kApp.set_version_flag("--version", std::string("tarn-rpc ") + TARN_VERSION);
    std::string kHost = "127.0.0.1";
    uint16 uiPort = 27921;
    int iInstance = 0;
    bool bNoAck = false;
    std::string kRaw, kScript;
    double dSeconds = 4.0;
    std::vector<std::string> kWords;
    kApp.add_option("--host", kHost, "Address of the host")->capture_default_str();
    kApp.add_option("--port", uiPort, "Port of the host")->capture_default_str();
    kApp.add_option("--id", iInstance, "InstanceID of the call (0 for singletons)")->capture_default_str();
    kApp.add_flag("--no-ack", bNoAck, "Ask for no reply (\"WaitAck\": false)");
    CLI::Option* pRaw = kApp.add_option("--raw", kRaw, "Send this whole JSON request");
    CLI::Option* pScript = kApp.add_option("--script", kScript, "Send one JSON request per line of FILE");
    kApp.add_option("--seconds", dSeconds, "How long \"demo\" watches the character")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    TarnRpc::SLoadOptions kLoad;
    kApp.add_option("-c,--connections", kLoad.uiConnections, "bench: connections, each on its own thread")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    kApp.add_option("-n,--requests", kLoad.uiRequests, "bench: requests in all")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000000u));
    kApp.add_option("--spin-us", kLoad.uiSpinMicroseconds,
                    "bench: microseconds each connection polls for its reply before it sleeps (default 0)")
        ->check(CLI::Range(0u, 1000000u));
    kApp.add_option("--method", kLoad.kMethod,
                    "bench: Root.KeepAlive, GaitComponentRpc.IsActive or GaitComponentRpc.SetSpeed")
        ->capture_default_str();
    kApp.add_option("words", kWords, "CLASS METHOD [ARG ...], demo or bench");
    pRaw->excludes(pScript);
    try
    {
        kApp.parse(iArgc, ppArgv);
    }
    catch (const CLI::ParseError& kError)
    {
        return kApp.exit(kError) == 0 ? ExitOk : ExitUsage;
    }

    const bool bDemo = kWords.size() == 1 && kWords[0] == "demo";
    if (kWords.size() == 1 && kWords[0] == "bench" && pRaw->count() == 0 && pScript->count() == 0)
    {
        kLoad.kHost = kHost;
        kLoad.uiPort = uiPort;
        kLoad.bWaitAck = !bNoAck;
        return TarnRpc::RunLoad(kLoad);
    }
    const int iModes = (pRaw->count() > 0) + (pScript->count() > 0) + (bDemo || !kWords.empty());
    if (iModes != 1 || (!bDemo && !kWords.empty() && kWords.size() < 2))
    {
        fprintf(stderr, "tarn-rpc: give CLASS METHOD [ARG ...], --raw, --script, demo or bench (one of them); see "
                        "--help\n");
        return ExitUsage;
    }

    std::string kRequest;
    if (!bDemo && kWords.size() >= 2)
    {
        const std::vector<std::string> kArgs(kWords.begin() + 2, kWords.end());
        const int iExit = CRpcSession::BuildRequest(kWords[0], kWords[1], iInstance, !bNoAck, kArgs, kRequest);
        if (iExit != ExitOk)
            return iExit;
    }

    CRpcSession kSession;
    int iExit = kSession.Connect(kHost, uiPort);
    if (iExit != ExitOk)
        return iExit;
    if (bDemo)
        iExit = RunDemo(kSession, dSeconds);
    else if (pScript->count() > 0)
        iExit = RunScript(kSession, kScript);
    else
        iExit = SendRaw(kSession, pRaw->count() > 0 ? kRaw : kRequest);
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
