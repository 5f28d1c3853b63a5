// tarn-host: the headless engine host. Creates the engine, loads the plug-in
// modules of its plug-in folder, serves remote calls over TCP and runs the
// engine loop at a fixed step until SIGINT, SIGTERM or "Root"."ForceQuit".
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "Engine/Engine.h"
#include "Engine/EngineNet.h"
#include "Factory/PrefabContainer.h"
#include "HostLoop.h"
#include "Http/WebServer.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Plugins/PluginManager.h"
#include "StartupChecks.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/debuglog.h"
#include "shared/AppPaths.h"

namespace {

// Exit codes.
constexpr int kExitOk = 0;
// A bad command line or input: an option, the data folder, the log file, a
// prefab, and with --strict a plug-in or a component document.
constexpr int kExitInput = 1;
// The port cannot be opened.
constexpr int kExitConnection = 2;
// Memory of the engine was left over at shutdown.
constexpr int kExitLeak = 3;

constexpr const char* kExitCodeHelp =
    "Exit codes: 0 after a clean shutdown; 1 a bad command line or input (an option, the data folder, the log "
    "file, a prefab; with --strict also a plug-in module or a component document that does not load); 2 the "
    "port cannot be opened; 3 memory leaked (after an otherwise clean shutdown).\n";

constexpr const char* kDemoPrefab = "demo/biped.prefab.json";
// Distance between the placed characters, in metres, along Y.
constexpr float kRowSpacing = 2.0f;

TarnHost::CHostLoop* s_pLoop = nullptr;

void OnSignal(int)
{
    // Only an atomic store: safe in a signal handler.
    if (s_pLoop)
        s_pLoop->Stop();
}

struct SOptions
{
    std::string kPlugins;
    uint16 uiPort = Common::TcpSocket::kDefaultPort;
    std::string kBind = "127.0.0.1";
    uint32 uiHz = 60;
    uint32 uiSpinMicroseconds = TarnEngine::SNetOptions().uiSpinMicroseconds;
    uint32 uiThreads = 0;  // one per processor
    uint32 uiCount = 1;
    bool bDemo = false;
    std::string kPrefab;
    std::string kData;
    std::string kLog;
    bool bStrict = false;
    // The live page: off unless --http is given.
    bool bHttp = false;
    std::string kHttpAddress = "127.0.0.1";
    uint16 uiHttpPort = 0;
    std::string kWeb;
};

// Reads "[ADDR:]PORT" of --http; false for anything else.
bool ParseHttpEndpoint(const std::string& kText, std::string& kAddress, uint16& uiPort)
{
    const size_t uiColon = kText.rfind(':');
    const std::string kPort = uiColon == std::string::npos ? kText : kText.substr(uiColon + 1);
    if (uiColon != std::string::npos)
    {
        kAddress = kText.substr(0, uiColon);
        if (kAddress.empty())
            return false;
    }
    if (kPort.empty() || kPort.size() > 5 || kPort.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long ulPort = strtoul(kPort.c_str(), nullptr, 10);
    if (ulPort > 65535)
        return false;
    uiPort = static_cast<uint16>(ulPort);
    return true;
}

// Loads the prefab and places uiCount instances of it in a row; the number
// of characters among them (see TarnHost::CountCharacters) in uiCharacters.
// False (with a message on stderr) when the prefab is refused, or with
// bStrict when one of its add-ins gives no usable component.
bool PlaceCharacters(TarnEngine::CEngine& kEngine, const std::string& kPrefab, uint32 uiCount, bool bStrict,
                     uint32& uiCharacters)
{
    Common::CInputErrors kError;
    TarnEngine::PrefabContainer* pContainer = kEngine.LoadPrefab(kPrefab.c_str(), &kError);
    if (!pContainer)
    {
        fprintf(stderr, "tarn-host: cannot load prefab %s: %s\n", kPrefab.c_str(), kError.GetText());
        return false;
    }
    if (bStrict)
    {
        const std::vector<std::string> kProblems = TarnHost::FindAddInProblems(*pContainer);
        for (const std::string& kProblem : kProblems)
            fprintf(stderr, "tarn-host: --strict: %s\n", kProblem.c_str());
        if (!kProblems.empty())
            return false;
    }
    std::vector<TarnEngine::PrefabInstance*> kPlaced;
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const Math::LocalVector3 kPosition(0.0f, kRowSpacing * static_cast<float>(i), 0.0f);
        TarnEngine::PrefabInstance* pInstance =
            kEngine.InstancePrefab(pContainer, kPosition, Math::Quaternion::Identity());
        if (!pInstance)
        {
            fprintf(stderr, "tarn-host: cannot place instance %u of %s\n", i + 1, kPrefab.c_str());
            return false;
        }
        kPlaced.push_back(pInstance);
    }
    uiCharacters = TarnHost::CountCharacters(kEngine, *pContainer, kPlaced);
    return true;
}

int RunHost(const SOptions& kOptions)
{
    if (!kOptions.kLog.empty() && !Common::CDebugLog::SetLogFile(kOptions.kLog.c_str()))
    {
        fprintf(stderr, "tarn-host: cannot write the log file %s\n", kOptions.kLog.c_str());
        return kExitInput;
    }
    const std::string kExeDir = TarnApp::ExecutableDirectory();
    const std::string kPlugins = kOptions.kPlugins.empty() ? kExeDir + "/Plugins" : kOptions.kPlugins;
    std::string kData = kOptions.kData;
    if (kData.empty())
        kData = TarnApp::DefaultDataDirectory();
    if (!TarnApp::IsDirectory(kData))
    {
        fprintf(stderr, "tarn-host: the data folder %s does not exist\n", kData.c_str());
        return kExitInput;
    }
    if (!kOptions.kPrefab.empty() && kOptions.bDemo)
    {
        fprintf(stderr, "tarn-host: --demo and --prefab exclude each other\n");
        return kExitInput;
    }
    Common::CDebugLog::Print(Common::CDebugLog::ELevel::Debug,
                             "tarn-host: data folder %s, plug-in folder %s, %u steps per second, spin %u us%s",
                             kData.c_str(), kPlugins.c_str(), kOptions.uiHz, kOptions.uiSpinMicroseconds,
                             kOptions.bStrict ? ", strict" : "");

    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kData.c_str();
    kStartup.bLoadPlugins = true;
    kStartup.pPluginDirectory = kPlugins.c_str();
    kStartup.bStartNetwork = true;
    kStartup.kNetOptions.uiPort = kOptions.uiPort;
    kStartup.kNetOptions.pBindAddress = kOptions.kBind.c_str();
    kStartup.kNetOptions.uiSpinMicroseconds = kOptions.uiSpinMicroseconds;
    kStartup.uiThreads = kOptions.uiThreads;
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    if (!pEngine)
    {
        fprintf(stderr, "tarn-host: cannot create the engine\n");
        return kExitInput;
    }
    TarnEngine::CEngineNet* pNet = pEngine->GetEngineNet();
    const uint16 uiPort = pNet ? pNet->GetPort() : 0;
    const uint32 uiPlugins = pEngine->GetPluginManager() ? pEngine->GetPluginManager()->GetNumStartedPlugins() : 0u;
    int iExit = kExitOk;
    if (uiPort == 0)
    {
        fprintf(stderr, "tarn-host: cannot listen on %s:%u (see the log above)\n", kOptions.kBind.c_str(),
                static_cast<unsigned>(kOptions.uiPort));
        iExit = kExitConnection;
    }
    if (iExit == kExitOk && kOptions.bStrict)
    {
        const std::vector<std::string> kProblems = TarnHost::FindPluginProblems(kPlugins, uiPlugins);
        for (const std::string& kProblem : kProblems)
            fprintf(stderr, "tarn-host: --strict: %s\n", kProblem.c_str());
        if (!kProblems.empty())
            iExit = kExitInput;
    }
    const std::string kPrefab = kOptions.bDemo ? std::string(kDemoPrefab) : kOptions.kPrefab;
    uint32 uiCharacters = 0;
    if (iExit == kExitOk && !kPrefab.empty() &&
        !PlaceCharacters(*pEngine, kPrefab, kOptions.uiCount, kOptions.bStrict, uiCharacters))
        iExit = kExitInput;

    TarnWeb::CWebServer kWeb;
    if (iExit == kExitOk && kOptions.bHttp)
    {
        TarnWeb::SWebOptions kWebOptions;
        kWebOptions.kBindAddress = kOptions.kHttpAddress;
        kWebOptions.uiPort = kOptions.uiHttpPort;
        kWebOptions.kRoot = kOptions.kWeb.empty() ? TarnApp::DefaultWebDirectory() : kOptions.kWeb;
        std::string kError;
        if (!pNet || !pNet->GetCommandManager() || !kWeb.Start(*pNet->GetCommandManager(), kWebOptions, &kError))
        {
            fprintf(stderr, "tarn-host: --http: %s\n", kError.empty() ? "no command manager" : kError.c_str());
            iExit = kError.rfind("cannot listen", 0) == 0 ? kExitConnection : kExitInput;
        }
    }

    if (iExit == kExitOk)
    {
        const uint32 uiStepMs = (1000 + kOptions.uiHz / 2) / kOptions.uiHz;
        TarnHost::CHostLoop kLoop(*pEngine, uiStepMs, kOptions.uiSpinMicroseconds);
        s_pLoop = &kLoop;
        struct sigaction kAction = {};
        kAction.sa_handler = OnSignal;
        sigemptyset(&kAction.sa_mask);
        sigaction(SIGINT, &kAction, nullptr);
        sigaction(SIGTERM, &kAction, nullptr);

        std::string kPage;
        if (kWeb.IsRunning())
            kPage = ", page: http://" + kOptions.kHttpAddress + ":" + std::to_string(kWeb.GetPort()) + "/";
        printf("tarn-host ready: listening on %s:%u, plug-ins loaded: %u, characters: %u, step: %u ms%s\n",
               kOptions.kBind.c_str(), static_cast<unsigned>(uiPort), uiPlugins, uiCharacters, uiStepMs, kPage.c_str());
        fflush(stdout);
        const uint64 uiSteps = kLoop.Run();
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        s_pLoop = nullptr;
        Common::CDebugLog::Print("tarn-host: stopping after %llu steps%s", static_cast<unsigned long long>(uiSteps),
                                 pEngine->IsQuitRequested() ? " (ForceQuit)" : "");
        Common::CDebugLog::Print("tarn-host: step time mean %.0f us, median %.0f us, 99th percentile %.0f us",
                                 kLoop.GetMeanStepMicroseconds(), kLoop.GetStepQuantileMicroseconds(0.5),
                                 kLoop.GetStepQuantileMicroseconds(0.99));
        if (kWeb.IsRunning())
            Common::CDebugLog::Print("tarn-host: live streams sent %llu bytes",
                                     static_cast<unsigned long long>(kWeb.GetStreamBytes()));
    }
    // The page's requests in flight are answered (this is the engine
    // thread) before the engine goes.
    kWeb.Stop();

    TarnEngine::CEngine::DestroyInstance();
    // The memory manager prints its closing report, on standard error, as it
    // shuts down.
    const uint32 uiLeaks = Common::Mem::CMemoryManager::DestroyInstance();
    if (uiLeaks != 0)
    {
        fprintf(stderr, "tarn-host: %u blocks leaked\n", uiLeaks);
        return iExit != kExitOk ? iExit : kExitLeak;
    }
    return iExit;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    // The host runs a thread per connection. The C library would give each
    // new thread an allocation arena of its own, up to eight per core, and
    // keep what those arenas once held: with clients coming and going the
    // resident size then creeps up for minutes. One arena per core bounds
    // it; the memory manager serialises a heap's allocations anyway.
    const long iCores = sysconf(_SC_NPROCESSORS_ONLN);
    mallopt(M_ARENA_MAX, iCores > 0 ? static_cast<int>(iCores) : 1);
    CLI::App kApp{"tarn-host: the headless engine host. Loads the plug-in modules of its plug-in folder, serves "
                  "remote calls (JSON over TCP) and runs the engine loop at a fixed step until SIGINT, SIGTERM or "
                  "\"Root\".\"ForceQuit\". When it is ready it prints one line on standard output: \"tarn-host "
                  "ready: listening on ADDRESS:PORT, plug-ins loaded: N, characters: N, step: N ms\", where the "
                  "characters are the placed instances with a working Gait component. Its log lines (standard "
                  "output, and --log) start with the seconds since the start and the level; the memory manager's "
                  "closing report goes to standard error.",
                  "tarn-host"};
    kApp.footer(kExitCodeHelp);
    // Every message of the parser names the program.
    kApp.failure_message([](const CLI::App* pApp, const CLI::Error& kError) {
        return "tarn-host: " + CLI::FailureMessage::simple(pApp, kError);
    });
    kApp.set_version_flag("--version", std::string("tarn-host ") + TARN_VERSION);
    SOptions kOptions;
    kApp.add_option("--plugins", kOptions.kPlugins,
                    "Folder of the plug-in modules (default: Plugins beside "
                    "the executable)");
    kApp.add_option("--port", kOptions.uiPort,
                    "TCP port to listen on; 0 picks a free port, printed in the "
                    "ready line")
        ->capture_default_str();
    kApp.add_option("--bind", kOptions.kBind,
                    "Address to listen on; anything but 127.0.0.1 lets other machines "
                    "call the engine without authentication")
        ->capture_default_str();
    kApp.add_option("--spin-us", kOptions.uiSpinMicroseconds,
                    "Microseconds the engine and connection threads look for the next call before they sleep, "
                    "once calls flow (lower latency for a busy client; 0 always sleeps at once)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 10000u));
    kApp.add_option("--threads", kOptions.uiThreads,
                    "Threads that share each step's character updates and animation (0: one per processor; 1: "
                    "the engine thread alone); the characters move the same whatever the count")
        ->capture_default_str()
        ->check(CLI::Range(0u, 256u));
    kApp.add_option("--hz", kOptions.uiHz,
                    "Engine steps per second (the step is a whole number of "
                    "milliseconds)")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u));
    std::vector<std::string> kDemoCount;
    CLI::Option* pDemo = kApp.add_option("--demo", kDemoCount,
                                         "Load the demo character and place N instances "
                                         "in a row (default 1)")
                             ->expected(0, 1)
                             ->type_name("[N]");
    CLI::Option* pPrefab = kApp.add_option("--prefab", kOptions.kPrefab,
                                           "Load another prefab (relative to the data folder, or absolute) and "
                                           "place --count instances");
    kApp.add_option("--count", kOptions.uiCount, "Instances placed with --prefab")
        ->capture_default_str()
        ->check(CLI::Range(1u, 10000u));
    kApp.add_option("--data", kOptions.kData,
                    "Data folder (default: data beside the executable, the installed "
                    "share/tarn/data, else the source tree's data)");
    kApp.add_option("--log", kOptions.kLog, "Also write the log to this file");
    std::string kLogLevel = Common::CDebugLog::GetLevelName(Common::CDebugLog::ELevel::Info);
    kApp.add_option("--log-level", kLogLevel,
                    "The most detailed log lines written: error, warn (also what was skipped or put right), info "
                    "(also the normal course of events) or debug (also details)")
        ->capture_default_str()
        ->check(CLI::IsMember({"error", "warn", "info", "debug"}));
    std::string kHttp;
    kApp.add_option("--http", kHttp,
                    "Serve the live page on [ADDR:]PORT (address 127.0.0.1 unless given; 0 picks a free port, "
                    "printed in the ready line as the page's URL); anything but a loopback address lets other "
                    "machines steer the engine without authentication")
        ->type_name("[ADDR:]PORT");
    kApp.add_option("--web", kOptions.kWeb,
                    "Folder of the live page's files (default: web beside the executable, the installed "
                    "share/tarn/web, else the source tree's web)");
    kApp.add_flag("--strict", kOptions.bStrict,
                  "Refuse to start (exit code 1, naming what failed) unless every plug-in module of the plug-in "
                  "folder starts and every add-in of the prefab gives a working component (its document loads)");
    pDemo->excludes(pPrefab);
    try
    {
        kApp.parse(iArgc, ppArgv);
    }
    catch (const CLI::ParseError& kParseError)
    {
        // --help and --version end here too, with CLI11's code 0.
        return kApp.exit(kParseError) == 0 ? kExitOk : kExitInput;
    }
    if (!kHttp.empty())
    {
        kOptions.bHttp = true;
        if (!ParseHttpEndpoint(kHttp, kOptions.kHttpAddress, kOptions.uiHttpPort))
        {
            fprintf(stderr, "tarn-host: --http takes [ADDR:]PORT with a port from 0 to 65535, not \"%s\"\n",
                    kHttp.c_str());
            return kExitInput;
        }
    }
    Common::CDebugLog::ELevel eLevel = Common::CDebugLog::ELevel::Info;
    Common::CDebugLog::ParseLevel(kLogLevel.c_str(), eLevel);
    Common::CDebugLog::SetLevel(eLevel);

    if (pDemo->count() > 0)
    {
        kOptions.bDemo = true;
        // "--demo" alone may come with an empty value.
        const std::string kCount = kDemoCount.empty() ? std::string() : kDemoCount.front();
        char* pEnd = nullptr;
        const unsigned long ulCount = kCount.empty() ? 1ul : strtoul(kCount.c_str(), &pEnd, 10);
        if ((!kCount.empty() && (*pEnd != '\0' || kCount[0] == '-')) || ulCount == 0 || ulCount > 10000)
        {
            fprintf(stderr, "tarn-host: --demo takes 1 to 10000 characters, not \"%s\"\n", kCount.c_str());
            return kExitInput;
        }
        kOptions.uiCount = static_cast<uint32>(ulCount);
    }
    return RunHost(kOptions);
}
