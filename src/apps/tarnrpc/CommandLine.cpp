#include "CommandLine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
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

// A number from dMin to dMax. CLI11's ranges let "nan" through, as every
// comparison with it is false.
CLI::Validator Within(double dMin, double dMax)
{
    char acRange[64];
    snprintf(acRange, sizeof(acRange), "[%g - %g]", dMin, dMax);
    const std::string kRange = acRange;
    return CLI::Validator(
        [dMin, dMax, kRange](std::string& kText) -> std::string {
            double dValue = 0.0;
            if (!CLI::detail::lexical_cast(kText, dValue) || !(dValue >= dMin && dValue <= dMax))
                return "Value " + kText + " not in range " + kRange;
            return std::string();
        },
        "NUMBER in " + kRange);
}

}  // namespace

bool ParseCommandLine(int iArgc, const char* const* ppArgv, SCommandLine& kLine, int* piExit, std::ostream& kOut,
                      std::ostream& kErr)
{
    *piExit = ExitOk;
    CLI::App kApp{"tarn-rpc: sends remote calls to a running tarn-host and prints the replies.\n"
                  "  tarn-rpc [--host H] [--port P] CLASS METHOD [--id N] [--no-ack] [--heading DEG] [ARG ...]\n"
                  "  tarn-rpc --raw '{\"ClassName\":...}'     tarn-rpc --script FILE     tarn-rpc demo     "
                  "tarn-rpc bench\n"
                  "Arguments (at most 6) are JSON values: 1.5, true, '\"text\"', "
                  "'{\"x\":0,\"y\":0,\"z\":0.38,\"w\":0.92}', '{\"InstanceID\":0}'.\n"
                  "Replies go to the standard output, messages to the standard error.\n"
                  "Exit code 0 success, 1 usage or input error, 2 connection failure, 3 error reply, 4 timeout "
                  "(no reply within --timeout).",
                  "tarn-rpc"};
    kApp.failure_message([](const CLI::App* pApp, const CLI::Error& kError) {
        return "tarn-rpc: " + CLI::FailureMessage::simple(pApp, kError);
    });
    kApp.set_version_flag("--version", std::string("tarn-rpc ") + TARN_VERSION);
    kApp.add_option("--host", kLine.kHost, "Name or address of the host")->capture_default_str()->envname("TARN_HOST");
    kApp.add_option("--port", kLine.uiPort, "Port of the host")->capture_default_str()->envname("TARN_PORT");
    kApp.add_option("--timeout", kLine.dTimeoutSeconds, "Seconds to wait for each reply")
        ->capture_default_str()
        ->check(Within(0.001, 86400.0));
    kApp.add_flag("--verbose", kLine.bVerbose,
                  "Also print the engine's log and the memory manager's closing report (on the standard error)");
    kApp.add_option("--id", kLine.iInstance, "InstanceID of the call (0 for singletons)")->capture_default_str();
    kApp.add_flag("--no-ack", kLine.bNoAck, "Ask for no reply (\"WaitAck\": false)");
    double dHeading = 0.0;
    CLI::Option* pHeading =
        kApp.add_option("--heading", dHeading,
                        "A rotation about Z (up) by DEG degrees, positive to the left, as the next argument")
            ->check(Within(-1.0e6, 1.0e6));
    CLI::Option* pRaw = kApp.add_option("--raw", kLine.kRaw, "Send this whole JSON request (a JSON object)");
    CLI::Option* pScript =
        kApp.add_option("--script", kLine.kScript, "Send one JSON request per line of FILE ('#' starts a comment)");
    kApp.add_option("--seconds", kLine.dSeconds, "How long \"demo\" watches the character")
        ->capture_default_str()
        ->check(Within(0.0, 3600.0));
    SLoadOptions& kLoad = kLine.kLoad;
    kApp.add_option("-c,--connections", kLoad.uiConnections, "bench: connections, each on its own thread")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    kApp.add_option("-n,--requests", kLoad.uiRequests, "bench: requests in all")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000000u));
    kApp.add_option("-P,--pipeline", kLoad.uiPipeline,
                    "bench: requests each connection sends before reading their replies (default 1)")
        ->check(CLI::Range(1u, 4096u));
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
    const bool bBench = kWords.size() == 1 && kWords[0] == "bench" && pRaw->count() == 0 && pScript->count() == 0;
    const int iModes = (pRaw->count() > 0) + (pScript->count() > 0) + (bDemo || !kWords.empty());
    if (!bBench && (iModes != 1 || (!bDemo && !kWords.empty() && kWords.size() < 2)))
    {
        kErr << "tarn-rpc: give CLASS METHOD [ARG ...], --raw, --script, demo or bench (one of them); see --help\n";
        *piExit = ExitUsage;
        return false;
    }
    if (pHeading->count() > 0 && (bBench || bDemo || kWords.size() < 2))
    {
        kErr << "tarn-rpc: --heading goes with CLASS METHOD (it becomes the call's next argument)\n";
        *piExit = ExitUsage;
        return false;
    }

    if (bBench)
    {
        kLoad.kHost = kLine.kHost;
        kLoad.uiPort = kLine.uiPort;
        kLoad.bWaitAck = !kLine.bNoAck;
        kLoad.dTimeoutSeconds = kLine.dTimeoutSeconds;
        kLine.eMode = ERunMode::Bench;
    }
    else if (bDemo)
        kLine.eMode = ERunMode::Demo;
    else if (pScript->count() > 0)
        kLine.eMode = ERunMode::Script;
    else if (pRaw->count() > 0)
    {
        kLine.eMode = ERunMode::Raw;
        const std::string kWhy = WhyNotAnObject(kLine.kRaw);
        if (!kWhy.empty())
        {
            kErr << "tarn-rpc: --raw: not a JSON object: " << kWhy << "\n";
            *piExit = ExitUsage;
            return false;
        }
    }
    else
    {
        kLine.eMode = ERunMode::Request;
        std::vector<std::string> kArgs(kWords.begin() + 2, kWords.end());
        if (pHeading->count() > 0)
            kArgs.push_back(HeadingToRotation(dHeading));
        *piExit =
            CRpcSession::BuildRequest(kWords[0], kWords[1], kLine.iInstance, !kLine.bNoAck, kArgs, kLine.kRequest);
        if (*piExit != ExitOk)
            return false;
    }
    return true;
}

int ReadScript(const std::string& kPath, std::vector<SScriptRequest>& kRequests, std::ostream& kErr)
{
    kRequests.clear();
    std::ifstream kFile(kPath);
    if (!kFile)
    {
        kErr << "tarn-rpc: cannot read the script " << kPath << "\n";
        return ExitUsage;
    }
    int iResult = ExitOk;
    std::string kLine;
    for (uint32 uiLine = 1; std::getline(kFile, kLine); ++uiLine)
    {
        const size_t uiStart = kLine.find_first_not_of(" \t\r");
        if (uiStart == std::string::npos || kLine[uiStart] == '#')
            continue;
        const size_t uiEnd = kLine.find_last_not_of(" \t\r");
        SScriptRequest kRequest{uiLine, kLine.substr(uiStart, uiEnd + 1 - uiStart)};
        const std::string kWhy = WhyNotAnObject(kRequest.kText);
        if (!kWhy.empty())
        {
            kErr << "tarn-rpc: " << kPath << ":" << uiLine << ": not a JSON object: " << kWhy << "\n";
            iResult = ExitUsage;
        }
        kRequests.push_back(std::move(kRequest));
    }
    if (kFile.bad())
    {
        kErr << "tarn-rpc: cannot read the script " << kPath << "\n";
        iResult = ExitUsage;
    }
    if (iResult != ExitOk)
        kRequests.clear();
    return iResult;
}

}  // namespace TarnRpc
