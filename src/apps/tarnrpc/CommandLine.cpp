#include "CommandLine.h"

#include <cstring>
#include <ostream>

#include <CLI/CLI.hpp>

#include "RpcSession.h"
#include "Utils/JsonText.h"

namespace TarnRpc {

namespace {

// CLI11 reads an argument in brackets that goes to a list (the words) as a
// list itself, once more for every further bracket, copying the text at each
// level: a long run of '[' exhausts the stack. Nothing the host accepts nests
// deeper than Common::kMaxJsonNesting levels, so such an argument is refused
// before CLI11 sees it.
bool IsBracketedTooDeep(const char* pArgument)
{
    const size_t uiLength = strlen(pArgument);
    if (uiLength < 2 || pArgument[0] != '[' || pArgument[uiLength - 1] != ']')
        return false;
    size_t uiRun = 0;
    for (size_t i = 0; i < uiLength; ++i)
    {
        uiRun = pArgument[i] == '[' ? uiRun + 1 : 0;
        if (uiRun > Common::kMaxJsonNesting)
            return true;
    }
    return false;
}

}  // namespace

bool ParseCommandLine(int iArgc, const char* const* ppArgv, SCommandLine& kLine, int* piExit, std::ostream& kOut,
                      std::ostream& kErr)
{
    *piExit = ExitOk;
    CLI::App kApp{"tarn-rpc: sends remote calls to a running tarn-host and prints the replies.\n"
                  "  tarn-rpc [--host H] [--port P] CLASS METHOD [--id N] [--no-ack] [ARG ...]\n"
                  "  tarn-rpc --raw '{\"ClassName\":...}'     tarn-rpc --script FILE     tarn-rpc demo\n"
                  "Arguments are JSON values: 1.5, true, '\"text\"', '{\"x\":0,\"y\":0,\"z\":0.38,\"w\":0.92}', "
                  "'{\"InstanceID\":0}'.\n"
                  "Exit code 0 on success, 1 on a bad argument, 2 on a connection failure, 3 on an error reply.",
                  "tarn-rpc"};
    kApp.set_version_flag("--version", std::string("tarn-rpc ") + TARN_VERSION);
    kApp.add_option("--host", kLine.kHost, "Address of the host")->capture_default_str();
    kApp.add_option("--port", kLine.uiPort, "Port of the host")->capture_default_str();
    kApp.add_option("--id", kLine.iInstance, "InstanceID of the call (0 for singletons)")->capture_default_str();
    kApp.add_flag("--no-ack", kLine.bNoAck, "Ask for no reply (\"WaitAck\": false)");
    CLI::Option* pRaw = kApp.add_option("--raw", kLine.kRaw, "Send this whole JSON request");
    CLI::Option* pScript = kApp.add_option("--script", kLine.kScript, "Send one JSON request per line of FILE");
    kApp.add_option("--seconds", kLine.dSeconds, "How long \"demo\" watches the character")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    SLoadOptions& kLoad = kLine.kLoad;
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
    kApp.add_option("words", kLine.kWords, "CLASS METHOD [ARG ...], demo or bench");
    pRaw->excludes(pScript);
    for (int i = 1; i < iArgc; ++i)
        if (IsBracketedTooDeep(ppArgv[i]))
        {
            kErr << "tarn-rpc: argument " << i << " is nested deeper than " << Common::kMaxJsonNesting << " levels\n";
            *piExit = ExitUsage;
            return false;
        }
    try
    {
        kApp.parse(iArgc, ppArgv);
    }
    catch (const CLI::ParseError& kError)
    {
        *piExit = kApp.exit(kError, kOut, kErr) == 0 ? ExitOk : ExitUsage;
        return false;
    }

    const std::vector<std::string>& kWords = kLine.kWords;
    const bool bDemo = kWords.size() == 1 && kWords[0] == "demo";
    if (kWords.size() == 1 && kWords[0] == "bench" && pRaw->count() == 0 && pScript->count() == 0)
    {
        kLoad.kHost = kLine.kHost;
        kLoad.uiPort = kLine.uiPort;
        kLoad.bWaitAck = !kLine.bNoAck;
        kLine.eMode = ERunMode::Bench;
        return true;
    }
    const int iModes = (pRaw->count() > 0) + (pScript->count() > 0) + (bDemo || !kWords.empty());
    if (iModes != 1 || (!bDemo && !kWords.empty() && kWords.size() < 2))
    {
        kErr << "tarn-rpc: give CLASS METHOD [ARG ...], --raw, --script, demo or bench (one of them); see --help\n";
        *piExit = ExitUsage;
        return false;
    }

    if (bDemo)
        kLine.eMode = ERunMode::Demo;
    else if (pScript->count() > 0)
        kLine.eMode = ERunMode::Script;
    else if (pRaw->count() > 0)
        kLine.eMode = ERunMode::Raw;
    else
    {
        kLine.eMode = ERunMode::Request;
        const std::vector<std::string> kArgs(kWords.begin() + 2, kWords.end());
        *piExit =
            CRpcSession::BuildRequest(kWords[0], kWords[1], kLine.iInstance, !kLine.bNoAck, kArgs, kLine.kRequest);
        if (*piExit != ExitOk)
            return false;
    }
    return true;
}

}  // namespace TarnRpc
